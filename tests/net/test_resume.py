"""A pushed utterance across a broken link and a restarted host: one stream, and what was heard is what is reported.

The other machine's link is taken down (``ip link set ... down``) in the middle
of 10 s pushed in real time: for 2 s (TCP delivers it late), for longer than
the liveness bound (both sides cut the link, the page reconnects and resumes
from the host's tail), for longer than the tail (a gap of exact length); and
the host is stopped and started again with the same secret.
"""

from __future__ import annotations

import threading
import time

import pytest

from browser.conftest import Events
from vt_core import server as vt_server

from .test_remote import speak, tone

pytestmark = [pytest.mark.browser, pytest.mark.net]

RATE, CHANNELS, SECONDS, CUT_AT = 48000, 2, 10.0, 3.0


def push_and_cut(player, cut, during) -> threading.Thread:
    """10 s pushed in real time on a thread; ``cut(during)`` runs ``CUT_AT`` s in."""
    pusher = threading.Thread(target=speak, args=(player, tone(SECONDS, RATE, CHANNELS), RATE, CHANNELS), daemon=True)
    pusher.start()
    time.sleep(CUT_AT)
    cut(during)
    return pusher


def link_down(machine):
    def cut(seconds: float) -> None:
        machine.set_link("down")
        try:
            time.sleep(seconds)
        finally:
            machine.set_link("up")
    return cut


CUTS = [  # (cut seconds, server options, player options)
    pytest.param(2.0, {}, {}, id="2s"),
    pytest.param(8.0, {"resume_seconds": 12.0}, {"latePolicy": "late"}, id="past-liveness-resumed-whole"),
    pytest.param(8.0, {"resume_seconds": 1.0}, {}, id="past-the-tail"),
    pytest.param(45.0, {}, {}, id="45s", marks=pytest.mark.slow),
]


@pytest.mark.parametrize("cut, server_options, player_options", CUTS)
def test_one_utterance_is_one_stream_across_a_broken_link(other_machine, remote_page, cm, wa, cut, server_options,
                                                          player_options):
    srv = vt_server.start(other_machine.host_ip, 0, **server_options)
    try:
        events = Events()
        p = wa.web_audio(onended=events.callback("ended"), onerror=events.callback("error"), **player_options)
        p.on_stream_start(events.callback("start"))
        page = remote_page(srv.url, [p.id])
        push_and_cut(p, link_down(other_machine), cut).join()
        _, _, ended = events.wait("ended", timeout=cut + 40)
        time.sleep(1.0)  # (no second end follows)
        print(f"\n10 s pushed, the link down {cut:g} s from {CUT_AT:g} s in: {ended}; "
              f"errors {[e for n, _, e in events.items if n == 'error']}")
        assert events.names().count("start") == 1 and events.names().count("ended") == 1, events.items
        assert ended["played"] + ended["lost"] == pytest.approx(SECONDS, abs=0.05), ended
        assert (ended["reason"] == "drained") == (ended["lost"] == 0) and ended["reason"] in ("drained", "incomplete")
        gaps = sum(g["seconds"] for g in ended["gaps"])
        assert gaps + ended.get("skipped", 0) == pytest.approx(ended["lost"], abs=0.002), ended
        told = [e for n, _, e in events.items if n == "error"]
        assert [e["lost"] for e in told] == [g["seconds"] for g in ended["gaps"]]  # each gap told once, as it came
        if player_options.get("latePolicy") == "late":
            assert ended["lost"] == 0  # the tail held all of it: heard whole, late
        if server_options.get("resume_seconds") == 1.0:
            assert gaps > 0  # the tail could not cover the cut
        assert page.errors() == []
    finally:
        srv.stop()


def test_a_restarted_host_ends_the_open_utterance_as_interrupted(other_machine, remote_page, cm, wa):
    srv = vt_server.start(other_machine.host_ip, 0)
    port, token = srv.port, srv.token
    events = Events()
    p = wa.web_audio(onended=events.callback("ended"), onerror=events.callback("error"))
    p.on_stream_start(events.callback("start"))
    page = remote_page(srv.url, [p.id])
    again: list = []

    def restart(seconds: float) -> None:
        srv.stop()
        time.sleep(seconds)
        again.append(vt_server.start(other_machine.host_ip, port, token=token))

    try:
        push_and_cut(p, restart, 2.2).join()
        _, _, first = events.wait("ended", timeout=30)
        print(f"\nthe host restarted {CUT_AT:g} s into 10 s: {[e for n, _, e in events.items if n == 'ended']}")
        assert first["reason"] == "interrupted" and 1.0 < first["played"] < CUT_AT + 1.0, first
        assert page.evaluate("() => window.vtReady") is True  # the page is back on the new host
        assert [e for e in page.errors() if "ERR_CONNECTION_REFUSED" not in e] == []  # (while the host was away)
    finally:
        for s in again:
            s.stop()
