"""Opus on the wire: coded once in the host for the pages that decode it, PCM for the others."""

import asyncio
import json

import aiohttp
import numpy as np
import pytest

from vt_core import opus
from vt_core import server as vt_server

from .test_server import receive

_codec = pytest.importorskip("veltrane.vt_ui._codec")


def speechlike(seconds: float, rate: int, channels: int) -> bytes:
    t = np.arange(int(seconds * rate)) / rate
    x = 8000 * np.sin(2 * np.pi * 220 * t) * (1 + np.sin(2 * np.pi * 3 * t)) / 2
    return np.repeat(x.astype("<i2")[:, None], channels, axis=1).tobytes()


async def frames_until_quiet(ws, quiet: float = 0.5) -> list:
    out = []
    while True:
        try:
            msg = await asyncio.wait_for(ws.receive(), quiet)
        except asyncio.TimeoutError:
            return out
        out.append(json.loads(msg.data) if isinstance(msg.data, str) else msg.data)


@pytest.mark.parametrize("rate,channels,options", [(22050, 1, {}), (48000, 2, {"bitrate": 48000}),
                                                    (16000, 1, {"codec": "pcm"})])
def test_a_stream_coded_once_its_encoder_ended_by_a_long_silence_and_by_its_end(server, cm, wa, rate, channels, options):
    p = wa.web_audio(**options)
    pcm = speechlike(0.7, rate, channels)
    chunks = [pcm[i:i + 4096] for i in range(0, len(pcm), 4096)]
    half = len(chunks) // 2
    coded = options.get("codec") != "pcm"

    async def main():
        async with aiohttp.ClientSession() as session, \
                session.ws_connect(server.ws_url) as plain, session.ws_connect(server.ws_url + "&codecs=opus") as ws:
            await receive(plain, 2)
            [_, stream] = await receive(ws, 2)
            assert stream["codec"] == "pcm"  # no stream coded yet
            p.send_audio_metadata(rate, channels)
            for chunk in chunks[:half]:
                p.stream_binary(chunk)
            got = await frames_until_quiet(ws)  # a quiet writer between the halves
            for chunk in chunks[half:]:
                p.stream_binary(chunk)
            p.send_audio_metadata(rate, channels)  # at once, the next utterance: this stream ends
            return await frames_until_quiet(plain), got + await frames_until_quiet(ws)

    sent_before = server.hub.opus.frames_sent
    plain, got = asyncio.run(main())
    assert [f for f in plain if isinstance(f, bytes)] == chunks  # the PCM page: the frames as written
    notices = [f for f in got if isinstance(f, dict) and f["type"] == "stream"]
    assert [n["codec"] for n in notices] == ["opus" if coded else "pcm"] and notices[0]["at"] == 0
    binary = [f for f in got if isinstance(f, bytes)]
    assert isinstance(got[-1], dict) and got[-1]["type"] == "message"  # the last packets came before what ended it
    if not coded:
        assert binary == chunks
        return
    heads = [opus.parse(f) for f in binary]
    assert server.hub.opus.frames_sent - sent_before == len(binary)  # once, for one page or many
    # the writer's silence between the halves ended the encoder (its padded tail out at once, LAST), the
    # next chunk started the next one with 20 ms of pre-roll; the stream's end, the last
    firsts = [i for i, h in enumerate(heads) if h["flags"] & opus.FIRST] + [len(heads)]
    assert len(firsts) == 3 and all(heads[i - 1]["flags"] & opus.LAST for i in firsts[1:])
    split, written = sum(map(len, chunks[:half])) // (2 * channels), len(pcm) // (2 * channels)
    for (a, b), start, part in zip(zip(firsts, firsts[1:]), [0, split - rate // 50], [chunks[:half], chunks[half:]]):
        run = heads[a:b]
        assert run[0]["position"] == start and run[0]["skip"] == 312
        for h, g in zip(run, run[1:]):  # positions that follow each other
            assert h["position"] + h["frames"] == g["position"] and h["channels"] == channels
        assert run[-1]["position"] + run[-1]["frames"] == (split if a == 0 else written)
        if a == 0:  # the packets, skips and keeps are those of the stream coded on its own
            encoder = _codec.OpusEncoder(rate, channels, options.get("bitrate"))
            alone = [q for chunk in part for q in encoder.encode(chunk, sync=True)] + encoder.flush()
            framed = [(x, h["skip"] if i == 0 else 0) for h in run for i, x in enumerate(h["packets"])]
            assert framed == [(q.data, q.skip) for q in alone] and run[-1]["keep"] == alone[-1].keep
    assert sum(len(x) for h in heads for x in h["packets"]) < len(pcm) / 8


def test_a_page_that_comes_back_resumes_at_a_packet_boundary(cm, wa):
    p = wa.web_audio()
    pcm = speechlike(1.0, 22050, 1)
    with vt_server.start(resume_seconds=0.5) as srv:

        async def main() -> list:
            async with aiohttp.ClientSession() as session:
                async with session.ws_connect(srv.ws_url + "&codecs=opus") as ws:  # a page the stream is coded for
                    await receive(ws, 1)  # (joined: its components frame came)
                    p.send_audio_metadata(22050, 1)
                    for i in range(0, len(pcm), 4096):
                        p.stream_binary(pcm[i:i + 4096])
                    await frames_until_quiet(ws)
                sid, out = srv.hub.stream.book.current.id, []
                for have in (22050 - 2000, 0):  # within the tail, and before it
                    async with session.ws_connect(f"{srv.ws_url}&codecs=opus&stream={sid}&have={have}") as ws:
                        out.append((have, await frames_until_quiet(ws)))
                return out

        for have, got in asyncio.run(main()):
            heads = [opus.parse(f) for f in got if isinstance(f, bytes)]
            told = {f["type"]: f for f in got if isinstance(f, dict)}
            gap = told.get("gap", {"frames": 0})["frames"]
            at = told["stream"]["at"]
            assert told["stream"]["codec"] == "opus" and at == have + gap
            assert (gap > 0) is (have == 0) and (at <= 22050 - 11025 if have == 0 else at == have)  # 0.5 s kept
            assert heads[0]["flags"] & opus.FIRST and heads[0]["position"] <= at  # pre-roll before it, if held
            assert max(h["position"] + h["frames"] for h in heads) == len(pcm) // 2  # to the last frame written


@pytest.mark.parametrize("query,expected", [("opus", {"opus"}), ("flac,opus", {"opus"}), ("", set()),
                                            (None, set()), ("OPUS", set())])
def test_what_a_page_may_ask_for(query, expected):
    assert opus.page_codecs(query) == expected


@pytest.mark.parametrize("frame", [b"", b"\x4f" * 10, opus.HEAD.pack(0x4F, 0, 1, 1, 0, 0, 0, 0, 0) + b"\x05\x00"])
def test_what_is_no_headed_frame(frame):
    with pytest.raises(ValueError):
        opus.parse(frame)


@pytest.mark.parametrize("late,buffer,options,due,pace", [
    (0.03, None, {}, False, 0.02),  # a hiccup before any page reported: a first stream waits 100 ms at least
    (0.03, 0.0, {}, True, 0.02),  # a page with no head start would run dry
    (0.1, None, {"jitterMs": 300}, False, 0.02),  # the player's jitter buffer outlasts the stall...
    (0.16, None, {"jitterMs": 300}, True, 0.02),  # ... until 150 ms before the held frames would be due
    (0.03, None, {"jitterMs": 300}, True, 0.0),  # a short utterance written at once: its end goes when it is quiet
])
def test_a_paced_writers_stall_is_a_long_silence_by_the_pages_head_start(monkeypatch, late, buffer, options, due, pace):
    class Stream:
        id, tail_bytes, written_bytes = "s", 1 << 20, 0
        written = property(lambda self: self.written_bytes // 2)

    class Book:
        current = Stream()
        find = staticmethod(lambda sid: True)

    clock = [100.0]
    monkeypatch.setattr(opus.time, "monotonic", lambda: clock[0])
    feed, book = opus.OpusFeed(), Book()
    feed._format({"sample_rate": 48000, "channels": 1}, options)
    for k in range(10):  # 20 ms chunks, each as its audio is due (pace 0.02) or all at once
        clock[0] = 100.0 + pace * k
        book.current.written_bytes += 1920
        feed._chunk(bytes(1920), book, encode=True)
    assert feed.due(100.0 + 10 * pace + late, buffer) is due
