"""The local web server, driven end to end with aiohttp's client and raw sockets."""

from __future__ import annotations

import _thread
import asyncio
import io
import json
import logging
import math
import os
import sys
import threading
import time
import traceback
import wave

import aiohttp
import numpy as np
import pytest

import vt_core
from vt_core import server as vt_server
from vt_core.bus import bus
from vt_core.utils import convertPath2Url

from .conftest import WAIT, RawWebSocket, auth, http_raw, rss_bytes, run

# Timing- and RSS-bound checks of the pure-Python server: meaningless under a
# sanitizer build (which exists to check the extension), so they skip there.
SLOW_UNDER_SANITIZER = pytest.mark.skipif(bool(os.environ.get("WEB_AUDIO_SANITIZED")),
                                          reason="timing/RSS bounds do not hold under sanitizers")


def expected_frame(message: tuple):
    """What the browser must receive for one recorded bus message."""
    kind, *rest = message
    if kind == "binary":
        return rest[0]
    return {
        "add": lambda cid, k, content: {"type": "add", "id": cid, "kind": k, "content": content},
        "remove": lambda cid: {"type": "remove", "id": cid},
        "update": lambda cid, content: {"type": "update", "id": cid, "content": content},
        "message": lambda action, data: {"type": "message", "action": action, "data": data},
    }[kind](*rest)


async def receive(ws, n: int) -> list:
    """The next ``n`` frames: dicts for text, bytes for binary."""
    out = []
    for _ in range(n):
        msg = await asyncio.wait_for(ws.receive(), WAIT)
        if msg.type == aiohttp.WSMsgType.TEXT:
            out.append(json.loads(msg.data))
        elif msg.type == aiohttp.WSMsgType.BINARY:
            out.append(msg.data)
        else:
            raise AssertionError(f"unexpected {msg.type}: {msg.data!r}")
    return out


def wait_until(predicate, timeout: float = WAIT) -> None:
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.01)


# --------------------------------------------------------------------------
# The message channel


def test_protocol_end_to_end(server, cm, wa, recorder, tmp_path):
    song = tmp_path / "song.wav"
    song.write_bytes(b"RIFF")
    first = wa.web_audio(str(song), show_wave=True)
    chunks = [bytes([i]) * (1000 + i) for i in range(20)] + [bytearray(b"\x00\x01" * 3), memoryview(b"tail")]

    async def main():
        async with aiohttp.ClientSession() as session, session.ws_connect(server.ws_url) as ws:
            [hello, stream] = await receive(ws, 2)
            assert hello == {
                "type": "components",
                "components": [{"id": first.id, "kind": "web_audio", "content": cm.components[first.id]["content"]}],
            }
            notice = {"type": "stream", "target": first.id, "metadata": None, "codec": "pcm", "stream": None, "at": 0}
            assert stream == notice  # the one player
            assert hello["components"][0]["content"]["src"] == convertPath2Url(song)
            recorder.clear()

            second = wa.web_audio("http://127.0.0.1:1/x.wav")
            second.volume = 0.25  # the "add" frame must still show the content as it was added
            first.play()
            first.close_stream()  # a stream command moves the target back: "first" stays it from here
            first.volume = 0.5
            first.send_audio_metadata(44100, 1)
            for chunk in chunks:
                first.stream_binary(chunk)
            first.update_cm()
            cm.remove_component(second.id)

            got = await receive(ws, len(recorder.messages) + 3)
            expected = [expected_frame(m) for m in recorder.messages]
            # the newest player is the stream target: the page is told right after each move
            expected.insert(1, {**notice, "target": second.id})
            close = expected.index(expected_frame(("message", "call_method", {"cid": first.id, "method": "close_stream"})))
            expected.insert(close + 1, notice)
            # and before the first frame of a push stream: its id, its format, the position of that frame
            opened = next(g for g in got if isinstance(g, dict) and g.get("stream"))
            expected.insert(expected.index(bytes(chunks[0])), {**notice, "metadata": {"sample_rate": 44100, "channels": 1},
                                                               "stream": opened["stream"]})
            assert got == expected
            assert "volume" not in got[0]["content"]["options"]
            assert {"type": "message", "action": "call_method", "data": {"cid": first.id, "method": "play"}} in got
            assert {"type": "message", "action": "audio_metadata", "data": {"sample_rate": 44100, "channels": 1}} in got
            assert [g for g in got if isinstance(g, bytes)] == [bytes(c) for c in chunks]
            assert got[-1] == {"type": "remove", "id": second.id}

    run(main())


def test_messages_with_values_json_cannot_encode(server):
    cycle: list = [1]
    cycle.append(cycle)

    class Odd:
        def __str__(self):
            return "odd!"

    async def main():
        async with aiohttp.ClientSession() as session, session.ws_connect(server.ws_url) as ws:
            await receive(ws, 1)
            vt_core.send_message("weird", {"nan": math.nan, "inf": [math.inf], 3: "int key", (1, 2): "tuple key",
                                           "obj": Odd(), "cycle": cycle, "bytes": b"\x00", "text": "h\u00e9\ud800"})
            vt_core.send_message("after", [1, 2])
            weird, after = await receive(ws, 2)
            data = weird["data"]
            assert data["nan"] is None and data["inf"] == [None]
            assert data["3"] == "int key" and data["(1, 2)"] == "tuple key"
            assert data["obj"] == "odd!" and data["bytes"] == "b'\\x00'"
            assert data["cycle"][0] == 1 and isinstance(data["cycle"][1], str)
            assert data["text"] == "h\u00e9\ud800"
            assert after == {"type": "message", "action": "after", "data": [1, 2]}

    run(main())


def test_component_list_and_later_changes_never_overlap(server, cm):
    """Browsers that connect while components are being added see each exactly once.

    The churn is bounded by a count of operations, and the browsers connect
    at set points of it (not at set times), so they overlap it under any
    load.  A browser is on the fan-out once it has its component list (the
    WebSocket handshake completes before that), so "done" goes out only when
    every browser has its list and the churn is over.
    """
    browsers, ops_between = 10, 60
    done_ops = [0]

    def churn():
        for _ in range(browsers * ops_between):
            cid = cm.add_component("web_audio", {"n": 1})
            if int(cid[1:]) % 3 == 0:
                cm.remove_component(cid)
            done_ops[0] += 1

    async def client(session, listed):
        async with session.ws_connect(server.ws_url) as ws:
            [hello] = await receive(ws, 1)
            listed.release()
            ids = [c["id"] for c in hello["components"]]
            while True:
                [msg] = await receive(ws, 1)
                if msg["type"] == "add":
                    assert msg["id"] not in ids, "component announced twice"
                    ids.append(msg["id"])
                elif msg["type"] == "remove":
                    ids.remove(msg["id"])
                elif msg["type"] == "message":
                    return ids

    async def main():
        listed = asyncio.Semaphore(0)
        worker = threading.Thread(target=churn)
        try:
            async with aiohttp.ClientSession() as session:
                worker.start()
                tasks = []
                for k in range(browsers):
                    while done_ops[0] < k * ops_between // 2 and worker.is_alive():
                        await asyncio.sleep(0.001)
                    tasks.append(asyncio.create_task(client(session, listed)))
                for _ in range(browsers):
                    await listed.acquire()
                await asyncio.to_thread(worker.join)
                vt_core.send_message("done", None)
                return await asyncio.gather(*tasks)
        finally:
            if worker.is_alive():
                worker.join()

    views = run(main())
    assert len(cm.components) == browsers * ops_between * 2 // 3
    for ids in views:
        assert ids == list(cm.components)


def test_events_reach_the_components_callbacks(server, cm, wa, caplog):
    calls = []
    done = threading.Event()

    def on_play_a(payload):
        calls.append(("a play", payload, threading.get_ident()))

    def on_play_b(payload):
        calls.append(("b play", payload, threading.get_ident()))

    def broken(payload):
        raise ZeroDivisionError("callback fault")

    a = wa.web_audio("http://127.0.0.1:1/a.wav", onplay=on_play_a, onended=broken)
    a.on_pause(lambda: calls.append(("a pause", None, threading.get_ident())))
    a.on_error(lambda payload: calls.append(("a error", payload, threading.get_ident())))
    a.on_stream_start(lambda payload: done.set())
    b = wa.web_audio("http://127.0.0.1:1/b.wav", onplay=on_play_b)

    def event(cid, name, payload=None):
        msg = {"type": "event", "id": cid, "event": name}
        if payload is not None:
            msg["payload"] = payload
        return json.dumps(msg)

    async def main():
        async with aiohttp.ClientSession() as session, session.ws_connect(server.ws_url) as ws:
            await receive(ws, 2)  # the components, and where audio goes
            for frame in [
                event(a.id, "web-audio-play", {"currentTime": 1.5}),
                event(b.id, "web-audio-play", {"currentTime": 0.0}),
                event(a.id, "web-audio-ended", {}),  # raises: logged, the rest still runs
                "not json",
                json.dumps({"type": "hello"}),
                json.dumps(["event"]),
                event("c-unknown", "web-audio-play", {}),
                event(b.id, "web-audio-pause", {}),  # no handler registered
                event(a.id, "web-audio-pause", {"currentTime": 2.0}),  # handler takes no argument
                event(a.id, "web-audio-error", {"error": "decode failed"}),
                event(a.id, "web-audio-stream-start"),
            ]:
                await ws.send_str(frame)
            await ws.send_bytes(b"ignored")
            assert await asyncio.to_thread(done.wait, WAIT)
            # the connection is still served after all of that
            vt_core.send_message("still", "here")
            assert (await receive(ws, 1))[0]["action"] == "still"

    with caplog.at_level(logging.ERROR, logger="vt_core"):
        run(main())

    assert [(name, payload) for name, payload, _ in calls] == [
        ("a play", {"currentTime": 1.5}),
        ("b play", {"currentTime": 0.0}),
        ("a pause", None),
        ("a error", {"error": "decode failed"}),
    ]
    threads = {tid for *_, tid in calls}
    assert len(threads) == 1 and threading.get_ident() not in threads
    [record] = [r for r in caplog.records if r.exc_info]
    assert record.exc_info[0] is ZeroDivisionError and "web-audio-ended" in record.getMessage()


def test_websocket_origin_is_checked(server):
    async def status(origin):
        async with aiohttp.ClientSession() as session:
            try:
                async with session.ws_connect(server.ws_url, origin=origin) as ws:
                    await receive(ws, 1)
                    return 101
            except aiohttp.WSServerHandshakeError as exc:
                return exc.status

    async def main():
        port = server.port
        return [
            await status(o)
            for o in (None, server.origin, f"http://localhost:{port}", "http://evil.example",
                      f"http://127.0.0.1:{port + 1}", f"https://127.0.0.1:{port}", "null")
        ]

    assert run(main()) == [101, 101, 403, 403, 403, 403, 403]  # (localhost may be [::1], another's)
    assert server.client_count == 0


def test_default_server_binds_loopback_and_stops_cleanly():
    subscribers = bus.subscriber_count
    gate = threading.Event()

    def endless(params):
        while not gate.is_set():
            yield b"\0" * 4096

    vt_server.register_audio("endless", endless)
    try:
        with vt_server.start() as srv:
            assert srv.host == "127.0.0.1" and srv.url == f"http://127.0.0.1:{srv.port}/?token={srv.token}"
            assert srv.addresses and all(addr[0] == "127.0.0.1" for addr in srv.addresses)
            assert vt_server.default_server() is srv
            assert bus.subscriber_count == subscribers + 1

            async def main():
                async with aiohttp.ClientSession() as session, session.ws_connect(srv.ws_url) as ws:
                    await receive(ws, 1)
                    async with session.get(srv.audio_url("endless")) as stream:
                        await stream.content.readexactly(44 + 8192)
                        await asyncio.to_thread(srv.stop)  # with a browser and a stream open
                        closed = await asyncio.wait_for(ws.receive(), WAIT)
                        assert closed.type in (aiohttp.WSMsgType.CLOSE, aiohttp.WSMsgType.CLOSED)
                        with pytest.raises(aiohttp.ClientError):
                            await asyncio.wait_for(stream.content.read(), WAIT)

            run(main())
            assert not srv.running and not srv._thread.is_alive()
            assert bus.subscriber_count == subscribers
            assert vt_server.default_server() is None
            vt_core.send_message("nobody", "listens")  # publishing after stop is harmless
    finally:
        gate.set()
        vt_server.unregister_audio("endless")


def test_ctrl_c_in_serve_forever_returns_once_the_server_has_stopped():
    srv, main = vt_server.start(), threading.main_thread().ident

    def ctrl_c():  # once the main thread waits in serve_forever, whose Ctrl-C it is to catch
        while vt_server.Server.serve_forever.__code__ not in [
                f.f_code for f, _ in traceback.walk_stack(sys._current_frames()[main])]:
            time.sleep(0.01)
        _thread.interrupt_main()

    threading.Thread(target=ctrl_c, daemon=True).start()
    srv.serve_forever()
    assert srv._loop.is_closed() and not srv.running


def test_second_server_on_a_taken_port_fails_to_start(server):
    with pytest.raises(OSError):
        vt_server.start(port=server.port)


# --------------------------------------------------------------------------
# Files and static content


def test_files_are_served_by_token_only(server, tmp_path):
    data = bytes((i * 7 + i // 251) & 0xFF for i in range(10_000))
    path = tmp_path / "take one.wav"
    path.write_bytes(data)
    (tmp_path / "take one.wav.gz").write_bytes(b"not this one")
    (tmp_path / "other.wav").write_bytes(b"secret")
    url = convertPath2Url(path)
    token = url.split("/")[3]
    base = server.origin

    async def main():
        async with aiohttp.ClientSession(auto_decompress=False) as session:
            async def get(target, method="GET", **headers):
                async with session.request(method, base + target, headers=headers) as r:
                    return r.status, await r.read(), r.headers

            status, body, headers = await get(url, **{"Accept-Encoding": "gzip, br"})
            assert (status, body) == (200, data) and "Content-Encoding" not in headers
            status, body, headers = await get(url, method="HEAD")
            assert (status, body, headers["Content-Length"]) == (200, b"", "10000")
            status, body, headers = await get(url, Range="bytes=100-199")
            assert (status, body, headers["Content-Range"]) == (206, data[100:200], "bytes 100-199/10000")
            status, body, _ = await get(url, Range="bytes=-10")
            assert (status, body) == (206, data[-10:])
            status, _, _ = await get(url, Range="bytes=20000-")
            assert status == 416
            for target in [
                f"/vt/files/{token}/other.wav",  # right token, another name
                f"/vt/files/{token}/",
                f"/vt/files/{token}",
                "/vt/files/",
                "/vt/files/notatoken/take%20one.wav",
                f"/vt/files/{token[:-1]}/take%20one.wav",
            ]:
                assert (await get(target))[0] == 404, target

    run(main())

    etc_passwd = "etc/passwd"
    for target in [
        "/vt/files/../../../../etc/passwd",
        "/vt/files/%2e%2e/%2e%2e/%2e%2e/etc/passwd",
        "/vt/files/..%2f..%2f..%2f..%2fetc/passwd",
        f"/vt/files/{token}/..%2f..%2f..%2f..%2f{etc_passwd.replace('/', '%2f')}",
        f"/vt/files/{token}/../other.wav",
        f"/vt/files/{token}/..%2fother.wav",
        f"/vt/files/{token}/%2e%2e%2fother.wav",
        f"/vt/files/%2e%2e/{token}/take%20one.wav",
        "/vt/static/../server.py",
        "/vt/static/%2e%2e/server.py",
        "/vt/static/..%2fserver.py",
        "/vt/static/%2e%2e%2f%2e%2e%2fvt_core%2fserver.py",
    ]:
        status, body = http_raw(server.port, target, headers=auth(server))
        assert status in (400, 404), (target, status)
        assert b"root:" not in body and b"secret" not in body and b"def start" not in body, target


def test_page_and_static_files(tmp_path):
    static = tmp_path / "static"
    (static / "js").mkdir(parents=True)
    (static / "index.html").write_text("<!doctype html><title>vt</title>")
    (static / "js" / "player.js").write_text("export const x = 1;")
    (static / ".hidden").write_text("hidden")
    (tmp_path / "outside.txt").write_text("outside")
    (static / "link.txt").symlink_to(tmp_path / "outside.txt")

    with vt_server.start(static_dir=static) as srv:
        async def main():
            async with aiohttp.ClientSession(headers={"Authorization": f"token {srv.token}"}) as session:
                async def get(target):
                    async with session.get(srv.origin + target) as r:
                        return r.status, await r.text(), r.content_type

                assert await get("/") == (200, "<!doctype html><title>vt</title>", "text/html")
                assert await get("/vt/static/js/player.js") == (200, "export const x = 1;", "text/javascript")
                for target in ("/vt/static/.hidden", "/vt/static/link.txt", "/vt/static/js", "/vt/static/nope.js",
                               "/nothing", "/vt/"):
                    assert (await get(target))[0] == 404, target

        run(main())


# --------------------------------------------------------------------------
# Audio endpoint


def test_tone_is_a_sine_in_int16(tmp_path):
    chunks = list(vt_server.tone(frequency=1000, seconds=0.1, sample_rate=8000, channels=2, chunk_frames=300))
    assert [len(c) for c in chunks] == [1200, 1200, 800]
    pcm = np.frombuffer(b"".join(chunks), dtype="<i2").reshape(-1, 2)
    n = np.arange(800)
    expected = np.trunc(0.3 * 32767 * np.sin(2 * np.pi * 1000 * n / 8000))
    assert np.array_equal(pcm[:, 0], pcm[:, 1])
    assert np.abs(pcm[:, 0] - expected).max() <= 1
    assert len(b"".join(vt_server.tone(seconds=0.01, sample_rate=1000, channels=1))) == 20
    with pytest.raises(ValueError):
        vt_server.tone(channels=0)


def test_audio_endpoint_get_and_post(server, caplog):
    seen = []

    def generator(params):
        seen.append(params)
        return vt_server.tone(float(params.get("frequency", 440)), seconds=0.25, sample_rate=16000, channels=1,
                              chunk_frames=500)

    def failing(params):
        raise RuntimeError("no audio today")

    def failing_later(params):
        yield b"\1\0" * 100
        raise RuntimeError("ran dry")

    vt_server.register_audio("beep", generator, sample_rate=16000, channels=1)
    vt_server.register_audio("raw", generator, wav_header=False)
    vt_server.register_audio("failing", failing)
    vt_server.register_audio("failing-later", failing_later)
    try:
        async def main():
            async with aiohttp.ClientSession() as session:
                async with session.get(server.audio_url("beep", frequency=220, who="me")) as r:
                    assert (r.status, r.content_type) == (200, "audio/wav")
                    wav = await r.read()
                async with session.post(server.audio_url("raw"), json={"frequency": 330, "text": "hi"}) as r:
                    assert (r.status, r.content_type) == (200, "application/octet-stream")
                    raw = await r.read()
                async with session.post(server.audio_url("raw", q=1), headers={"Content-Type": "application/json"}) as r:
                    assert r.status == 200  # no body: no params beyond the query
                for method, name, body, status in [
                    ("GET", "missing", None, 404),
                    ("POST", "raw", "[1, 2]", 400),
                    ("POST", "raw", "{nope", 400),
                    ("GET", "failing", None, 500),
                ]:
                    json_type = {"Content-Type": "application/json"} if method == "POST" else None
                    async with session.request(method, server.audio_url(name), data=body, headers=json_type) as r:
                        assert r.status == status, name
                async with session.get(server.audio_url("failing-later")) as r:
                    assert (await r.read())[44:] == b"\1\0" * 100
                return wav, raw

        with caplog.at_level(logging.ERROR, logger="vt_core"):
            wav, raw = run(main())
    finally:
        for name in ("beep", "raw", "failing", "failing-later"):
            vt_server.unregister_audio(name)

    assert seen == [{"frequency": "220", "who": "me"}, {"frequency": 330, "text": "hi"}, {"q": "1"}]
    with wave.open(io.BytesIO(wav)) as w:
        assert (w.getframerate(), w.getnchannels(), w.getsampwidth()) == (16000, 1, 2)
    assert wav[:44] == vt_server.wav_header(16000, 1)
    assert wav[44:] == b"".join(vt_server.tone(220.0, seconds=0.25, sample_rate=16000, channels=1))
    assert raw == b"".join(vt_server.tone(330, seconds=0.25, sample_rate=16000, channels=1))
    failures = [r for r in caplog.records if r.exc_info]
    assert [r.exc_info[1].args for r in failures] == [("no audio today",), ("ran dry",)]
    assert all(r.name == "vt_core.server" for r in failures)


def test_audio_generator_stops_when_the_client_leaves(server):
    pulled = []
    closed = threading.Event()

    def endless(params):
        try:
            while True:
                pulled.append(1)
                yield b"\0\1" * 2048
        finally:
            closed.set()

    vt_server.register_audio("endless", endless, wav_header=False)
    try:
        async def main():
            async with aiohttp.ClientSession() as session, session.get(server.audio_url("endless")) as r:
                await r.content.readexactly(4096 * 10)

        run(main())
        assert closed.wait(WAIT)
        count = len(pulled)
        time.sleep(0.2)
        assert len(pulled) == count
    finally:
        vt_server.unregister_audio("endless")


# --------------------------------------------------------------------------
# Flow control and load


@SLOW_UNDER_SANITIZER
def test_slow_browser_is_dropped_and_memory_stays_flat():
    frame_size, total = 64 * 1024, 200 * 1024 * 1024
    count = total // frame_size

    def frame(i: int) -> bytes:
        return i.to_bytes(4, "little") * (frame_size // 4)  # a new object each time

    with vt_server.start(drop_grace=WAIT) as srv:
        slow = RawWebSocket(srv.port, rcvbuf=4096, token=srv.token)
        try:
            assert slow.status == 101
            wait_until(lambda: srv.client_count == 1)
            # The browser reads its component list and a first frame, then stops reading.
            # (Waiting for that frame: a loop kept from running by busy threads could
            # otherwise find the queue over its bound before it sent anything at all.)
            vt_core.send_binary_message(frame(0))
            head = slow.frames()
            first = [next(head), next(head), next(head)]  # the components, the new stream, its first frame
            before = rss_bytes()
            started = time.perf_counter()
            for i in range(1, count):
                vt_core.send_binary_message(frame(i))
            elapsed = time.perf_counter() - started
            growth = rss_bytes() - before
            wait_until(lambda: srv.dropped_clients == 1 and srv.client_count == 0)
            print(f"pushed {total >> 20} MiB in {elapsed:.2f} s past a stalled browser; RSS growth {growth >> 20} MiB")
            assert growth < 64 * 1024 * 1024

            frames = first + list(slow.frames())
        finally:
            slow.close()
        *binary, dropped, close = frames
        assert close[0] == 8 and int.from_bytes(close[1][:2], "big") == 1013
        assert dropped[0] == 1 and json.loads(dropped[1])["type"] == "dropped"
        assert "behind" in json.loads(dropped[1])["reason"]
        assert binary[0][0] == 1 and json.loads(binary[0][1])["type"] == "components"
        received = [payload for op, payload in binary[1:] if op == 2]
        assert 0 < len(received) < count
        assert received == [frame(i) for i in range(len(received))]  # an intact prefix, in order

        async def main():  # the server goes on serving others
            async with aiohttp.ClientSession() as session, session.ws_connect(srv.ws_url) as ws:
                await receive(ws, 1)
                vt_core.send_binary_message(b"fresh")
                assert await receive(ws, 1) == [b"fresh"]

        run(main())


def test_fifty_browsers_each_receive_the_stream_intact(server):
    clients, frames = 50, 200

    def frame(i: int) -> bytes:
        return bytes([i % 256]) * 4000 + i.to_bytes(4, "big")

    def push():
        vt_core.send_message("audio_metadata", {"sample_rate": 48000, "channels": 2})
        for i in range(frames):
            vt_core.send_binary_message(frame(i))
            if i % 50 == 49:
                vt_core.send_message("mark", i)
        vt_core.send_message("end", None)

    async def browser(session, connected):
        async with session.ws_connect(server.ws_url) as ws:
            await receive(ws, 1)
            connected.release()
            got = []
            while True:
                [msg] = await receive(ws, 1)
                got.append(msg)
                if isinstance(msg, dict) and msg.get("data", 0) is None:
                    return got

    async def main():
        connected = asyncio.Semaphore(0)
        async with aiohttp.ClientSession() as session:
            tasks = [asyncio.create_task(browser(session, connected)) for _ in range(clients)]
            for _ in range(clients):
                await connected.acquire()
            assert server.client_count == clients
            await asyncio.to_thread(push)
            return await asyncio.gather(*tasks)

    expected = [{"type": "message", "action": "audio_metadata", "data": {"sample_rate": 48000, "channels": 2}}]
    for i in range(frames):
        expected.append(frame(i))
        if i % 50 == 49:
            expected.append({"type": "message", "action": "mark", "data": i})
    expected.append({"type": "message", "action": "end", "data": None})
    results = run(main())
    assert len(results) == clients
    expected.insert(1, {"type": "stream", "target": None, "metadata": expected[0]["data"], "codec": "pcm",
                        "stream": results[0][1]["stream"], "at": 0})  # a push stream opens
    for got in results:
        assert got == expected


def test_page_connecting_mid_stream_gets_the_stream_target_and_format(server, cm, wa):
    """Binary frames carry neither a component id nor a format: a late page learns both on connection."""
    first, second = wa.web_audio(label="first"), wa.web_audio(label="second")

    def notice(target, metadata):
        return {"type": "stream", "target": target, "metadata": metadata, "codec": "pcm", "stream": None, "at": 0}

    async def connect_and_read(n: int) -> list:
        async with aiohttp.ClientSession() as session, session.ws_connect(server.ws_url) as ws:
            return await receive(ws, n)

    hello, stream = run(connect_and_read(2))  # before any stream command: the newest player
    assert hello["type"] == "components" and stream == notice(second.id, None)

    first.close_stream()  # the stream target is now "first" (no page saw it)
    meta = {"sample_rate": 22050, "channels": 1}
    first.send_audio_metadata(22050, 1)
    second.play()  # a player command is not a stream command: the target stays
    hello, stream = run(connect_and_read(2))
    assert hello["type"] == "components"
    assert stream == notice(first.id, meta)

    # the state follows the bus: a start_stream moves the target, new metadata replaces the format
    second.start_stream("http://127.0.0.1:1/x.pcm", 16000, 2)
    second.send_audio_metadata(48000, 2)
    _, stream = run(connect_and_read(2))
    assert stream == notice(second.id, {"sample_rate": 48000, "channels": 2})

    # a removed target is forgotten (the newest player is the target again); the format stays
    cm.remove_component(second.id)
    _, stream = run(connect_and_read(2))
    assert stream == notice(first.id, {"sample_rate": 48000, "channels": 2})
    cm.remove_component(first.id)
    _, stream = run(connect_and_read(2))
    assert stream == notice(None, {"sample_rate": 48000, "channels": 2})
