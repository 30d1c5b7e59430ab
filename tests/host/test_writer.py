"""The WebSocket's one writer: a browser's ping answered, the heartbeat under a synthetic clock."""

from __future__ import annotations

import json
from contextlib import closing
from types import SimpleNamespace

import pytest

import vt_core
from vt_core.wswriter import Heartbeat

from .conftest import RawWebSocket


class Clock:  # the loop's time() and call_at(): the test runs the timers
    def __init__(self) -> None:
        self.now, self.timers = 0.0, []

    def time(self) -> float:
        return self.now

    def call_at(self, when, fn):
        self.timers.append(timer := SimpleNamespace(when=when, fn=fn))
        timer.cancel = lambda: self.timers.remove(timer)
        return timer


@pytest.mark.parametrize("beat, heard_at, pings, cut_at", [
    ((30.0,), [], [30], [45]),  # silent: pinged after 30 s, cut 15 s later
    ((30.0,), [31], [30, 61], [76]),  # answered the first ping, not the second
    ((30.0,), [20], [50], [65]),  # the wait starts again at every frame heard
    ((30.0,), list(range(10, 200, 10)), [], []),  # a chatty browser is never pinged
    ((1.0, 5.0), [], [1, 2, 3, 4], [5]),  # a page: pinged every second of silence, cut after 5 s of it
    ((1.0, 5.0), [3.5], [1, 2, 3, 4.5, 5.5, 6.5, 7.5], [8.5]),  # (a pong is heard like any frame)
])
def test_the_heartbeat_pings_a_quiet_browser_and_cuts_a_silent_one(beat, heard_at, pings, cut_at):
    clock, sent, cut = Clock(), [], []
    writer = SimpleNamespace(ping=lambda: sent.append(clock.now), transport=SimpleNamespace(abort=lambda: cut.append(clock.now)))
    heartbeat = Heartbeat(writer, *beat, loop=clock)
    for when in heard_at:
        clock.call_at(when, heartbeat.heard)
    while due := sorted((t for t in clock.timers if t.when <= 200), key=lambda t: t.when):
        clock.timers.remove(due[0])
        clock.now = due[0].when
        due[0].fn()
    assert (sent, cut) == (pings, cut_at)


def test_a_browsers_ping_is_answered_and_the_stream_goes_on(server):
    with closing(RawWebSocket(server.port, token=server.token)) as ws:
        frames = ws.frames()
        assert json.loads(next(frames)[1])["type"] == "components"
        ws.sock.sendall(bytes([0x89, 0x80 | 5]) + b"\0\0\0\0" + b"hello")  # a masked ping (zero key)
        assert next(frames) == (0xA, b"hello")
        vt_core.send_message("after", 2)
        assert json.loads(next(frames)[1])["action"] == "after"
