"""The WebSocket's one writer: control frames on a live server, the heartbeat under a synthetic clock."""

from __future__ import annotations

import json
from types import SimpleNamespace

import pytest

import vt_core
from vt_core.wswriter import Heartbeat

from .conftest import RawWebSocket


class Clock:
    """The loop's ``time`` and ``call_at``, advanced by hand."""

    def __init__(self) -> None:
        self.now, self.timers = 0.0, []

    def time(self) -> float:
        return self.now

    def call_at(self, when, fn):
        timer = SimpleNamespace(when=when, fn=fn, cancelled=False)
        timer.cancel = lambda: setattr(timer, "cancelled", True)
        self.timers.append(timer)
        return timer

    def run_until(self, end: float, heard_at, heartbeat) -> None:
        pending = sorted(heard_at)
        while True:
            due = [t for t in self.timers if not t.cancelled and t.when <= end]
            nxt = min(due, key=lambda t: t.when, default=None)
            if pending and (nxt is None or pending[0] < nxt.when):
                self.now = pending.pop(0)
                heartbeat.heard()
            elif nxt is not None:
                self.timers.remove(nxt)
                self.now = nxt.when
                nxt.fn()
            else:
                return


@pytest.mark.parametrize("heard_at, pings, cut_at", [
    ([], [30], 45),  # silent: pinged after 30 s, cut 15 s later
    ([31], [30, 61], 76),  # answered the first ping, not the second
    ([20], [50], 65),  # the wait starts again at every frame heard
    (list(range(10, 200, 10)), [], None),  # a chatty browser is never pinged
    ([31, 62, 93, 124], [30, 61, 92, 123, 154], 169),
])
def test_the_heartbeat_pings_a_quiet_browser_and_cuts_a_silent_one(heard_at, pings, cut_at):
    clock, sent, cut = Clock(), [], []
    writer = SimpleNamespace(ping=lambda: sent.append(clock.now),
                             transport=SimpleNamespace(abort=lambda: cut.append(clock.now)))
    heartbeat = Heartbeat(writer, 30.0, loop=clock)
    clock.run_until(200.0, heard_at, heartbeat)
    assert (sent, cut) == (pings, [cut_at] if cut_at is not None else [])


def test_a_browsers_ping_is_answered_and_the_stream_goes_on(server):
    ws = RawWebSocket(server.port, token=server.token)
    try:
        frames = ws.frames()
        assert json.loads(next(frames)[1])["type"] == "components"
        ws.sock.sendall(bytes([0x89, 0x80 | 5]) + b"\0\0\0\0" + b"hello")  # a masked ping (zero key)
        assert next(frames) == (0xA, b"hello")
        vt_core.send_message("after", 2)
        assert json.loads(next(frames)[1])["action"] == "after"
    finally:
        ws.close()
