"""Speech pushed into a page in a background tab, whose timers wake it once a second at best, plays whole."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
from bench_hidden import utterance  # noqa: E402 - the bench's run, in a hidden page

pytestmark = pytest.mark.browser


def test_a_hidden_page_plays_pushed_speech_whole(server, cm, wa, stream_engine):
    # its end soon after its last sample (an app speaks its next utterance then), not when throttled timers let
    # the page say it (that was 14-15 s later)
    run = utterance(server, wa, stream_engine, hidden=True, seconds=4.0, end_within=6.0)
    print(f"\n{stream_engine}, hidden: {run['report']} {run['end']:.2f} s after the last write; "
          f"{run['hole'] * 1000:.1f} ms of silence inside it; {run['ticks']} ticks of a 10 ms timer in {run['pushed']:.1f} s")
    assert run["shown"] == "hidden" and run["ticks"] <= 3.5 * run["pushed"], run  # 10 ms timers, throttled to ~2/s
    ended, st = run["report"], run["stats"]
    assert ended is not None and st["engine"] == stream_engine and not run["errors"], run
    assert ended["reason"] == "drained" and ended["underruns"] == 0 and st["framesPlayed"] == st["framesWritten"]
    assert abs(run["hole"]) < 0.02, run  # (a tick that came too late for the queue leaves one, counted or not)
