"""A pushed utterance across a broken link and a restarted host: one stream, and what was heard is what is reported.

The other machine's link goes down 2 s into 4 s pushed in real time: for 2 s (TCP delivers it late), past the
liveness bound (the page comes back and resumes from the host's tail), past the tail (a gap of exact length).
"""

from __future__ import annotations

import threading
import time

import pytest

from browser.conftest import Events
from vt_core import server as vt_server

from .test_remote import speak, tone

pytestmark = [pytest.mark.browser, pytest.mark.net]

RATE, CHANNELS, SECONDS, CUT_AT = 48000, 2, 4.0, 2.0


def utterance(wa, remote_page, srv, cut, seconds=SECONDS, **options) -> Events:
    """A player on a page of the other machine; ``seconds`` pushed in real time, ``cut()`` run ``CUT_AT`` s in."""
    events = Events()
    p = wa.web_audio(onended=events.callback("ended"), onerror=events.callback("error"), **options)
    p.on_stream_start(events.callback("start"))
    events.page = remote_page(srv.url, [p.id])
    threading.Timer(CUT_AT, cut).start()  # (the end comes after the cut is over)
    speak(p, tone(seconds, RATE, CHANNELS), RATE, CHANNELS)
    return events


@pytest.mark.parametrize("down, server_options, player_options", [
    pytest.param(2.0, {}, {}, id="2s"),
    pytest.param(6.0, {"resume_seconds": 12.0}, {"latePolicy": "late"}, id="past-liveness-resumed-whole"),
    pytest.param(6.0, {"resume_seconds": 1.0}, {}, id="past-the-tail"),
    pytest.param(45.0, {}, {}, id="45s", marks=pytest.mark.slow),
])
def test_one_utterance_is_one_stream_across_a_broken_link(other_machine, remote_page, cm, wa, down, server_options,
                                                          player_options, request):
    if down > 30 and "slow" not in (request.config.getoption("markexpr") or ""):
        pytest.skip("the 45 s cut runs when the slow mark is selected (-m slow), as the soaks do")

    def cut():
        other_machine.set_link("down")
        time.sleep(down)
        other_machine.set_link("up")

    seconds = 10.0 if down > 30 else SECONDS  # (past the tail: more is written during the cut than it holds)
    with vt_server.start(other_machine.host_ip, 0, **server_options) as srv:
        events = utterance(wa, remote_page, srv, cut, seconds, **player_options)
        _, _, ended = events.wait("ended", timeout=down + 40)
        time.sleep(1.0)  # (no second end follows)
    told = [e for n, _, e in events.items if n == "error"]
    print(f"\n{seconds:g} s pushed, the link down {down:g} s from {CUT_AT:g} s in: {ended}; errors {told}")
    assert events.names().count("start") == 1 and events.names().count("ended") == 1, events.items
    assert ended["played"] + ended["lost"] == pytest.approx(seconds, abs=0.05), ended
    assert (ended["reason"] == "drained") == (ended["lost"] == 0) and ended["reason"] in ("drained", "incomplete")
    gaps = sum(g["seconds"] for g in ended["gaps"])
    assert gaps + ended.get("skipped", 0) == pytest.approx(ended["lost"], abs=0.002), ended
    assert [e["lost"] for e in told] == [g["seconds"] for g in ended["gaps"]]  # each gap told once, as it came
    assert (ended["lost"] == 0) is ("latePolicy" in player_options)  # a tail that held all of it: heard whole, late
    assert (gaps > 0) is (server_options.get("resume_seconds", 5.0) < down)  # a tail that could not cover the cut
    assert events.page.errors() == []


def test_a_restarted_host_ends_the_open_utterance_as_interrupted(other_machine, remote_page, cm, wa):
    srv = vt_server.start(other_machine.host_ip, 0)
    again: list = []

    def restart():
        srv.stop()
        time.sleep(2.2)
        again.append(vt_server.start(other_machine.host_ip, srv.port, token=srv.token))

    try:
        events = utterance(wa, remote_page, srv, restart)
        _, _, first = events.wait("ended", timeout=30)
        print(f"\nthe host restarted {CUT_AT:g} s into {SECONDS:g} s: {[e for n, _, e in events.items if n == 'ended']}")
        assert first["reason"] == "interrupted" and 1.0 < first["played"] < CUT_AT + 1.0, first
        assert events.page.evaluate("() => window.vtReady") is True  # the page is back, on the new host
        assert [e for e in events.page.errors() if "ERR_CONNECTION_REFUSED" not in e] == []  # (while it was away)
    finally:
        srv.stop()
        for s in again:
            s.stop()
