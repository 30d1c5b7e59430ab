"""Push streams and their resume: ids, positions, the tail, gaps of exact length, the end a page asks about."""

from __future__ import annotations

import json
from contextlib import closing

import pytest

import vt_core
from vt_core import server as vt_server
from vt_core.stream_tail import StreamBook

from .conftest import RawWebSocket

META = {"sample_rate": 1000, "channels": 2}  # 4 bytes a frame: 1 s is 4000 bytes


@pytest.mark.parametrize("chunks, tail_seconds, have, gap, at, resent", [
    ([4000] * 6, 1.0, 5500, 0, 5500, 2000),  # within the tail: from the frame the page asks for
    ([4000] * 6, 1.0, 2000, 3000, 5000, 4000),  # before it: a gap up to the tail's first frame
    ([4000, 4000, 4001, 4000, 4000, 4000], 1.0, 0, 5001, 5001, 3997),  # a chunk that ends in a frame: the next whole one
    ([4000] * 6, 1.0, 9999, 0, 6000, 0),  # a page that has it all gets nothing
    ([4000] * 6, 0.0, 3000, 3000, 6000, 0),  # no tail: all of it is a gap
    ([1000] * 24, 2.5, 0, 3500, 3500, 10000),  # the tail keeps the fewest chunks that cover it
])
def test_the_tail_resends_what_it_holds_and_names_the_rest_a_gap(chunks, tail_seconds, have, gap, at, resent):
    book = StreamBook(tail_seconds, nonce="n")
    assert [book.chunk(bytes(n), META) for n in chunks] == [True] + [False] * (len(chunks) - 1)
    back = book.current.resume(have)
    assert (back.gap, back.at, sum(map(len, back.pieces))) == (gap, at, resent)


@pytest.mark.parametrize("have, idle, hold, want", [
    (6000, 0.5, 0.3, {"open": False}),  # all here, quiet for the hold-off: over, and closed
    (6000, 0.1, 0.3, {"open": True}),  # a frame came just now: more may follow
    (5000, 0.5, 0.3, {"open": True}),  # frames still on their way to the page
])
def test_a_page_asking_whether_its_stream_is_over(have, idle, hold, want):
    book = StreamBook(1.0, nonce="n")
    book.chunk(bytes(24000), META, now=100.0)
    answer = book.state("n-1", have, hold, now=100.0 + idle)
    assert answer == {"type": "state", "stream": "n-1", "known": True, "written": 6000, "idleMs": round(idle * 1000),
                      **want}
    assert (book.current is None) is (not want["open"])  # closed: the next chunk opens stream n-2
    assert book.chunk(b"\0" * 4, META) is (not want["open"]) and book.find("n-1") is not None
    assert book.state("other-1", 0, 0) == {"type": "state", "stream": "other-1", "known": False}


def read(frames, n: int) -> list:
    """The next ``n`` frames: text as JSON, binary as bytes."""
    return [json.loads(p) if op == 1 else p for op, p in (next(frames) for _ in range(n))]


def test_a_page_that_comes_back_gets_the_gap_then_the_tail(cm, wa):
    p = wa.web_audio()
    with vt_server.start(resume_seconds=1.0, beat=0.05) as srv:  # (beats come quickly)
        p.send_audio_metadata(1000, 2)
        for i in range(6):
            p.stream_binary(bytes([i]) * 4000)
        assert (sid := srv.hub.stream.book.current.id).startswith(srv.hub.stream.book.nonce + "-")
        with closing(RawWebSocket(srv.port, token=f"{srv.token}&page=tab&stream={sid}&have=2000")) as ws:
            hello, gap, stream, tail = read(ws.frames(), 4)
        assert hello["type"] == "components" and gap == {"type": "gap", "stream": sid, "at": 2000, "frames": 3000, "seconds": 3.0, "reported": False}
        assert stream == {"type": "stream", "target": p.id, "metadata": META, "codec": "pcm", "stream": sid, "at": 5000}
        assert tail == bytes([5]) * 4000
        # a stream this host never had (the one before a restart): it says so, then where streams are now
        with closing(RawWebSocket(srv.port, token=f"{srv.token}&page=tab&stream=gone-1&have=10")) as ws:
            frames = ws.frames()
            _, unknown, now = read(frames, 3)
            assert unknown == {"type": "state", "stream": "gone-1", "known": False} and now["stream"] == sid
            # an ask is answered after every frame queued before it: the page learns it has not got them all yet
            vt_core.send_binary_message(b"\7" * 4)
            ws.sock.sendall(masked(json.dumps({"type": "ask", "stream": sid, "have": 6000, "holdMs": 0})))
            got: list = []
            while len(got) < 2:  # (beats may come between)
                got += [f for f in read(frames, 1) if f != {"type": "beat"}]
            assert got[0] == b"\7" * 4 and got[1]["written"] == 6001 and got[1]["open"] is True, got


def masked(text: str) -> bytes:
    """A client's short text frame (masked with a zero key)."""
    return bytes([0x81, 0x80 | len(text)]) + b"\0\0\0\0" + text.encode()
