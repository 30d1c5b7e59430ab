"""A browser that reads slower than audio is pushed: what it gets and what it is told.

Within the per-browser bound it gets everything, late.  Past the bound it is
dropped, but not silently: what was already written to its socket still
reaches it while it keeps reading, then a notice saying how much pushed audio
it lost, and the player's error callback in Python hears the same figure.
"""

from __future__ import annotations

import json
import queue
import threading
import time

import pytest

import vt_core
from host.conftest import RawWebSocket
from vt_core import ledger
from vt_core import server as vt_server

RATE, CHANNELS = 48000, 2
FRAME = 16 * 1024  # bytes of PCM per binary frame


def _wait(predicate, timeout: float = 20.0) -> None:
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.01)


def _slow_reader(ws: RawWebSocket, per_frame: float, out: "queue.Queue") -> threading.Event:
    """Read every frame, pausing after each binary one: a browser on a slow link.

    Returns an event set once the first binary frame has been read."""
    first_binary = threading.Event()

    def run():
        try:
            for opcode, payload in ws.frames():
                out.put((opcode, payload))
                if opcode == 2:
                    first_binary.set()
                    time.sleep(per_frame)
        except OSError:  # closed by the test
            pass
        finally:
            out.put(None)

    threading.Thread(target=run, daemon=True).start()
    return first_binary


def _collect(out: "queue.Queue") -> list:
    frames = []
    while (item := out.get(timeout=60)) is not None:
        frames.append(item)
    return frames


@pytest.mark.parametrize("count", [60, 400], ids=["within-the-bound", "past-the-bound"])
def test_a_slow_reader_gets_all_that_was_sent_and_is_told_what_was_lost(cm, count):
    errors: "queue.Queue[dict]" = queue.Queue()
    cm.add_component("web_audio", {}, {"web-audio-error": errors.put})
    # drop_grace is short: a browser that keeps reading is never cut off for being slow
    with vt_server.start(max_queue_bytes=2 * 1024 * 1024, drop_grace=0.5) as srv:
        ws = RawWebSocket(srv.port, rcvbuf=8192, token=f"{srv.token}&page=tab-1")  # a page says who it is
        try:
            assert ws.status == 101
            _wait(lambda: srv.client_count == 1)
            out: "queue.Queue" = queue.Queue()
            first_read = _slow_reader(ws, 0.004, out)  # about 4 MB/s
            vt_core.send_message("audio_metadata", {"sample_rate": RATE, "channels": CHANNELS})
            pushed = [bytes([i % 251]) * FRAME for i in range(count)]
            vt_core.send_binary_message(pushed[0])
            # (the first frame waits until it is read: a busy loop could otherwise find the
            # queue over its bound before it wrote anything at all; text frames come first)
            assert first_read.wait(10)
            for frame in pushed[1:]:
                vt_core.send_binary_message(frame)
            if count == 60:
                got = []
                while len(got) < count:
                    opcode, payload = out.get(timeout=30)
                    if opcode == 2:
                        got.append(payload)
                assert got == pushed and srv.dropped_clients == 0
                return
            frames = _collect(out)
            # audio pushed while the page is away is lost too, until it is back
            _wait(lambda: srv.client_count == 0)
            for frame in pushed[:10]:
                vt_core.send_binary_message(frame)
            assert errors.empty()  # the figure is not known before the page is back (or gone for good)
            received = sum(len(p) for op, p in frames if op == 2)
            again = RawWebSocket(srv.port, token=f"{srv.token}&page=tab-1&received={received}")
            try:
                first = again.frames()
                lost = [json.loads(p) for op, p in (next(first), next(first), next(first)) if op == 1][-1]
            finally:
                again.close()
            error = errors.get(timeout=10)  # (before the server stops: stopping drops queued events)
        finally:
            ws.close()
    binary = [payload for opcode, payload in frames if opcode == 2]
    texts = [json.loads(payload) for opcode, payload in frames if opcode == 1]
    assert frames[-1][0] == 8 and int.from_bytes(frames[-1][1][:2], "big") == 1013
    dropped = texts[-1]
    assert dropped["type"] == "dropped" and "behind" in dropped["reason"]
    # an intact prefix, then the notice; every byte pushed is either received or counted as lost
    assert binary == pushed[: len(binary)] and 0 < len(binary) < count
    assert lost["type"] == "lost" and lost["lostBytes"] == (count + 10 - len(binary)) * FRAME
    assert 0 < dropped["lostBytes"] <= lost["lostBytes"] - 10 * FRAME
    assert lost["lostSeconds"] == pytest.approx(lost["lostBytes"] / (2 * CHANNELS * RATE), abs=0.001)
    assert error["dropped"] == lost["lostSeconds"] and error["lostBytes"] == lost["lostBytes"]
    assert error["reason"] == "slow-connection" and f"{lost['lostSeconds']:.2f} s" in error["error"]
    assert errors.empty()  # told once


def test_a_page_that_does_not_come_back_is_reported_after_the_window(cm, monkeypatch):
    errors: "queue.Queue[dict]" = queue.Queue()
    cm.add_component("web_audio", {}, {"web-audio-error": errors.put})
    monkeypatch.setattr(ledger, "LOSS_WINDOW", 0.5)
    with vt_server.start(max_queue_bytes=256 * 1024, drop_grace=0.5) as srv:
        ws = RawWebSocket(srv.port, rcvbuf=4096, token=srv.token)  # no page id: never recognised again
        try:
            _wait(lambda: srv.client_count == 1)
            vt_core.send_message("audio_metadata", {"sample_rate": RATE, "channels": 1})
            for _ in range(200):
                vt_core.send_binary_message(bytes(FRAME))
            _wait(lambda: srv.dropped_clients == 1)
            list(ws.frames())
            error = errors.get(timeout=10)
        finally:
            ws.close()
        assert "did not come back" in error["error"] and error["lostBytes"] > 0
        assert error["dropped"] == pytest.approx(error["lostBytes"] / (2 * RATE), abs=0.001)
