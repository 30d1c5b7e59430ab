"""Every queue has a bound, bad input gets 400, and nothing outlives its client or the server.

Hostile clients are raw sockets; slow callbacks and generators wait on events
the test releases, so nothing here depends on timing.
"""

from __future__ import annotations

import json
import logging
import os
import socket
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

import vt_core
from vt_core import server as vt_server
from vt_core.utils import convertPath2Url

from .conftest import WAIT, RawWebSocket, auth, http_raw

HOST_DIR = Path(vt_core.__file__).resolve().parents[1]


def wait_until(predicate, timeout: float = WAIT) -> None:
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.01)


def ws_text(payload: bytes) -> bytes:
    """A masked client text frame (zero mask key) carrying ``payload``."""
    n = len(payload)
    if n < 126:
        head = bytes([0x81, 0x80 | n])
    elif n < 65536:
        head = bytes([0x81, 0x80 | 126]) + n.to_bytes(2, "big")
    else:
        head = bytes([0x81, 0x80 | 127]) + n.to_bytes(8, "big")
    return head + b"\0\0\0\0" + payload


def event_frame(cid: str, name: str, pad: int = 0) -> bytes:
    return ws_text(json.dumps({"type": "event", "id": cid, "event": name, "payload": {"pad": "x" * pad}}).encode())


# --------------------------------------------------------------------------
# Events from browsers


def test_event_flood_is_bounded_per_browser_and_dropped_with_it(cm, wa, caplog):
    """A callback that blocks and one browser sending 3,000 events of 32 KiB."""
    gate, entered, calls = threading.Event(), threading.Event(), []

    def slow(payload):
        calls.append(len(payload["pad"]))
        entered.set()
        gate.wait()

    player = wa.web_audio("http://127.0.0.1:1/a.wav", onplay=slow)
    sentinel = threading.Event()
    other = wa.web_audio("http://127.0.0.1:1/b.wav", onplay=lambda payload: sentinel.set())
    count, pad = 3000, 32 * 1024
    with caplog.at_level(logging.WARNING, logger="vt_core"), \
            vt_server.start(max_pending_events=100, max_pending_event_bytes=1 << 20) as srv:
        flood = RawWebSocket(srv.port, token=srv.token)
        try:
            assert flood.status == 101
            frame = event_frame(player.id, "web-audio-play", pad)
            sender = threading.Thread(target=lambda: [flood.sock.sendall(frame) for _ in range(count)])
            sender.start()
            assert entered.wait(WAIT)
            sender.join(6 * WAIT)  # 96 MiB through a loaded machine
            wait_until(lambda: len(calls) + srv.pending_events + srv.dropped_events == count, 6 * WAIT)
            queued = srv.pending_events
            assert 0 < queued <= (1 << 20) // pad  # the byte bound is the tighter one here
            assert srv.dropped_events == count - 1 - queued
        finally:
            flood.close()  # the browser goes away: its queued events go with it
        wait_until(lambda: srv.pending_events == 0)
        later = RawWebSocket(srv.port, token=srv.token)
        try:
            later.sock.sendall(event_frame(other.id, "web-audio-play"))
            gate.set()
            # A wrongly kept event of the flood would be queued ahead of this one.
            assert sentinel.wait(WAIT)
        finally:
            later.close()
        assert calls == [pad]
    warnings = [r for r in caplog.records if r.levelno == logging.WARNING and "events faster" in r.getMessage()]
    assert len(warnings) == 1


def test_repeated_callback_faults_are_counted_not_logged_in_full(server, cm, wa, caplog):
    from vt_core.manager import callback_faults
    done = threading.Semaphore(0)

    def broken(payload):
        done.release()
        raise ZeroDivisionError("again")

    player = wa.web_audio("http://127.0.0.1:1/a.wav", onended=broken)
    ws = RawWebSocket(server.port, token=server.token)
    with caplog.at_level(logging.ERROR, logger="vt_core"):
        try:
            for _ in range(50):
                ws.sock.sendall(event_frame(player.id, "web-audio-ended"))
            for _ in range(50):
                assert done.acquire(timeout=WAIT)
            key = (player.id, "web-audio-ended", "ZeroDivisionError")
            wait_until(lambda: callback_faults.counts.get(key) == 50)
        finally:
            ws.close()
    records = [r for r in caplog.records if "web-audio-ended" in r.getMessage()]
    assert len(records) == 3 + 1
    assert all(r.exc_info[0] is ZeroDivisionError for r in records[:3])
    assert records[3].exc_info is None and "10 times" in records[3].getMessage()


def test_nested_json_and_unknown_charsets_get_400_never_500(server, cm, wa, caplog):
    ran = threading.Event()
    player = wa.web_audio("http://127.0.0.1:1/a.wav", onplay=lambda payload: ran.set())
    vt_server.register_audio("sink", lambda params: iter([b"\0\0"]))
    port, a = server.port, auth(server)

    def post(body: bytes, content_type="application/json"):
        return http_raw(port, "/vt/audio/sink", "POST",
                        f"{a}Content-Type: {content_type}\r\nContent-Length: {len(body)}\r\n", body=body)

    try:
        with caplog.at_level(logging.WARNING):
            assert post(b"[" * 100_000 + b"]" * 100_000)[0] == 400
            assert post(b'{"a":' * 50_000 + b"1" + b"}" * 50_000)[0] == 400
            assert post(b"{}", "application/json; charset=x-no-such-charset")[0] == 400
            assert post(b"{}", "application/json; charset=rot13")[0] == 400
            assert post(b'{"a": "\xff"}')[0] == 400
            assert post(b'{"a": 1}', "application/json; charset=latin-1")[0] == 200
            assert post(b"x" * (2 << 20))[0] == 413

            # On the WebSocket such a frame is ignored and the connection goes on.
            ws = RawWebSocket(port, token=server.token)
            try:
                ws.sock.sendall(ws_text(b"[" * 200_000) + ws_text(b'{"type": "event", "id": ' * 30_000))
                ws.sock.sendall(event_frame(player.id, "web-audio-play"))
                assert ran.wait(WAIT)
                vt_core.send_message("still", "open")
                frames = ws.frames()
                assert [json.loads(next(frames)[1])["type"] for _ in range(2)] == ["components", "stream"]
                assert json.loads(next(frames)[1])["action"] == "still"
            finally:
                ws.close()
    finally:
        vt_server.unregister_audio("sink")
    assert not [r for r in caplog.records if r.exc_info or r.levelno >= logging.ERROR]


def test_connections_that_never_finish_their_request_head_are_closed():
    with vt_server.start(header_timeout=0.5) as srv:
        socks = []
        try:
            for i in range(100):
                sock = socket.create_connection(("127.0.0.1", srv.port), timeout=WAIT)
                sock.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " if i % 2 else b"")
                socks.append(sock)
            for sock in socks:  # each one is closed by the server, not left hanging
                try:
                    assert sock.recv(4096) == b""
                except ConnectionResetError:
                    pass
        finally:
            for sock in socks:
                sock.close()
        assert http_raw(srv.port, "/", headers=auth(srv))[0] == 200


# --------------------------------------------------------------------------
# Files


def test_a_registered_file_swapped_for_a_link_or_another_file_is_not_served(server, tmp_path):
    song, secret = tmp_path / "song.wav", tmp_path / "secret.txt"
    song.write_bytes(b"the song")
    secret.write_bytes(b"not for the browser")
    url = convertPath2Url(song)
    assert http_raw(server.port, url) == (200, b"the song")

    # The registered file stays alive elsewhere, so no replacement can reuse its inode number.
    song.rename(tmp_path / "kept.wav")
    song.symlink_to(secret)
    assert http_raw(server.port, url)[0] == 404
    song.unlink()
    (tmp_path / "elsewhere").mkdir()
    (tmp_path / "elsewhere" / "song.wav").write_bytes(b"not the song")
    (tmp_path / "elsewhere" / "song.wav").rename(song)  # another file under the same name
    assert http_raw(server.port, url)[0] == 404
    assert convertPath2Url(song) == url  # converting again vouches for the file there now
    assert http_raw(server.port, url) == (200, b"not the song")

    later = tmp_path / "later.wav"  # registered before it exists: pinned on first use
    later_url = convertPath2Url(later)
    assert http_raw(server.port, later_url)[0] == 404
    later.write_bytes(b"first")
    assert http_raw(server.port, later_url) == (200, b"first")
    later.unlink()
    later.symlink_to(secret)
    assert http_raw(server.port, later_url)[0] == 404


# --------------------------------------------------------------------------
# Audio streams


def test_abandoned_slow_streams_neither_starve_other_endpoints_nor_outlive_their_client(server):
    gate = threading.Event()
    lock = threading.Lock()
    state = {"started": 0, "pulled": 0, "closed": 0}

    def slow(params):
        with lock:
            state["started"] += 1
        try:
            yield b"\0\0" * 8
            gate.wait()  # a generator waiting for data that does not come
            for _ in range(1000):
                with lock:
                    state["pulled"] += 1
                yield b"\0\0" * 8
        finally:
            with lock:
                state["closed"] += 1

    vt_server.register_audio("slow", slow, max_streams=4)
    vt_server.register_audio("fast", lambda params: iter([b"\1\0" * 4]), wav_header=False)
    try:
        statuses = []
        for i in range(40):  # POST and GET, read the status line, go away
            sock = socket.create_connection(("127.0.0.1", server.port), timeout=WAIT)
            body = b"{}" if i % 2 else b""
            method = "POST" if i % 2 else "GET"
            sock.sendall(f"{method} /vt/audio/slow?token={server.token} HTTP/1.1\r\nHost: 127.0.0.1:{server.port}\r\n"
                         f"Content-Type: application/json\r\nContent-Length: {len(body)}\r\n\r\n".encode() + body)
            statuses.append(int(sock.recv(64).split(b" ")[1]))
            sock.close()
        assert sorted(statuses) == [200] * 4 + [503] * 36
        assert state["started"] == 4

        # Another endpoint answers while the four stuck generators still hold their slots.
        status, body = http_raw(server.port, "/vt/audio/fast", headers=auth(server))
        assert status == 200 and b"\1\0" * 4 in body

        gate.set()  # the generators get their data: each is closed at once, nothing more pulled
        wait_until(lambda: state["closed"] == 4)
        assert state["pulled"] <= 4  # at most the chunk each one was asked for before its client left
        assert http_raw(server.port, "/vt/audio/fast", headers=auth(server))[0] == 200
        wait_until(lambda: not [t for t in threading.enumerate() if t.name == "vt-audio-slow"])
    finally:
        gate.set()
        vt_server.unregister_audio("slow")
        vt_server.unregister_audio("fast")


# --------------------------------------------------------------------------
# Shutdown


def test_a_blocked_callback_does_not_keep_the_interpreter_alive_after_stop(tmp_path):
    script = textwrap.dedent(
        """
        import asyncio, sys, threading, time
        import aiohttp, vt_core
        from vt_core import server
        from vt_core.manager import getcm

        entered = threading.Event()
        def blocked(payload):
            entered.set()
            threading.Event().wait()  # never returns
        cid = getcm().add_component("toggle", {}, {"change": blocked})
        srv = server.start()

        async def fire():
            async with aiohttp.ClientSession() as session, session.ws_connect(srv.ws_url) as ws:
                await ws.receive()
                await ws.send_json({"type": "event", "id": cid, "event": "change", "payload": {}})
                await asyncio.to_thread(entered.wait, 10)

        asyncio.run(fire())
        assert entered.is_set()
        srv.stop()
        print("stopped", flush=True)
        """
    )
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(HOST_DIR), os.environ.get("PYTHONPATH", "")])}
    try:
        proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60, env=env)
    except subprocess.TimeoutExpired as exc:
        pytest.fail(f"the interpreter did not exit after stop(): {exc.stdout!r}")
    assert proc.returncode == 0 and proc.stdout.strip() == "stopped", proc.stderr


# --------------------------------------------------------------------------
# Writing to browsers


def test_queued_frames_go_out_in_batches_with_the_loop_running_between_them():
    """One socket write carries many frames, and the loop runs other work between writes."""
    frames = 4000  # within the queue's bound of frames
    with vt_server.start() as srv:
        ws = RawWebSocket(srv.port, token=srv.token)
        try:
            assert ws.status == 101
            wait_until(lambda: srv.client_count == 1)
            transport = srv.hub.clients[0].transport
            loop = srv._loop
            ticks, writes, spinning = [0], [], [True]

            def tick():  # runs once per turn of the loop while the test watches
                ticks[0] += 1
                if spinning[0]:
                    loop.call_soon(tick)

            inside = [0]

            def counted(method):  # one write per outermost call (writelines may call write)
                def call(*args):
                    if not inside[0]:
                        writes.append(ticks[0])
                    inside[0] += 1
                    try:
                        return method(*args)
                    finally:
                        inside[0] -= 1
                return call

            transport.write = counted(transport.write)
            transport.writelines = counted(transport.writelines)
            loop.call_soon_threadsafe(tick)
            wait_until(lambda: ticks[0] > 0)
            with vt_core.bus.hold():  # all queued before the loop may write any
                for i in range(frames):
                    vt_core.send_binary_message(i.to_bytes(4, "big") * 64)
            received = []
            for opcode, payload in ws.frames():
                if opcode == 2:
                    received.append(int.from_bytes(payload[:4], "big"))
                    if len(received) == frames:
                        break
            spinning[0] = False
        finally:
            ws.close()
    assert received == list(range(frames))
    assert 1 < len(writes) <= frames // 50
    assert all(b > a for a, b in zip(writes, writes[1:])), "a write followed another without the loop running"
