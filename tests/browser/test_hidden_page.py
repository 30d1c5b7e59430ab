"""Speech pushed into a page in a background tab, whose timers wake it once a second at best, plays whole."""

from __future__ import annotations

import time

import pytest

from .hidden_page import CoveredTab
from .test_voice import speak, tone

pytestmark = pytest.mark.browser

SECONDS, RATE = 5.0, 48000
THROTTLED = """new Promise((done) => { let n = 0; const t = setInterval(() => n++, 10);
  setTimeout(() => { clearInterval(t); done([document.visibilityState, n]); }, 1500); })"""


def test_a_hidden_page_plays_pushed_speech_whole(server, cm, wa, events, stream_engine):
    cm.clear()
    p = wa.web_audio(onended=events.callback("ended"), onerror=events.callback("error"))
    query = "" if stream_engine == "worklet" else ("&" if "?" in server.url else "?") + f"streamEngine={stream_engine}"
    tab = CoveredTab(server.url + query)
    try:
        tab.wait(f"!!(window.vtReady && window.vtPlayers && window.vtPlayers[{p.id!r}])")
        tab.hide()
        shown, ticks = tab.evaluate(THROTTLED)
        assert shown == "hidden" and ticks <= 5, (shown, ticks)  # 10 ms timers in a background tab: throttled
        speak(p, tone(SECONDS, RATE, 2), RATE, 2)
        written = time.monotonic()
        # its end soon after its last sample (an app speaks its next utterance then), not when throttled timers
        # let the page say it: within seconds of the last write, whatever the load
        _, at, ended = events.wait("ended", timeout=6.0)
        st = tab.evaluate(f"window.vtPlayers[{p.id!r}].stats()")
    finally:
        tab.close()
    print(f"\n{stream_engine}, hidden: {ended} {at - written:.2f} s after the last write; heard from the first to the last sample in "
          f"{(st['lastSampleAt'] - st['lastStartEpochMs']) / 1000:.4f} s")
    assert st["engine"] == stream_engine and "error" not in events.names()
    assert ended["reason"] == "drained" and ended["underruns"] == 0 and st["framesPlayed"] == st["framesWritten"]
    # no silence inside it (a tick that came too late for the queue leaves one, counted or not)
    assert (st["lastSampleAt"] - st["lastStartEpochMs"]) / 1000 == pytest.approx(SECONDS, abs=0.02)
