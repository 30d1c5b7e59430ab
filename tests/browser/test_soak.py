"""Long pushes through the writer: real time at 48 kHz stereo and 22.05 kHz mono, and a bursty engine.

Each run must play every written sample exactly once, without a gap, and end
with a drained report whose played duration matches what was written.  CI runs
a short form (3 s of audio with the default, adaptive jitter buffer; the bursty
one 5 s with a 2 s ring, so the backlog carries most of it); the full 120 s, with the default
settings, runs when the ``slow`` mark is selected (on an otherwise idle machine):

    PYTHONPATH=python .venv/bin/python -m pytest -m slow -s tests/browser/test_soak.py
"""

from __future__ import annotations

import time

import numpy as np
import pytest

pytestmark = pytest.mark.browser


@pytest.fixture
def page(stream_page):
    """Every soak runs once per stream engine."""
    return stream_page

CHUNK_FRAMES = 1024  # what an engine hands over per write()


def engine_pcm(seconds: float, rate: int, channels: int) -> bytes:
    n = round(seconds * rate)
    t = np.arange(n) / rate
    mono = (np.sin(2 * np.pi * 220 * t) * (0.2 + 0.1 * np.sin(2 * np.pi * 3 * t)) * 32767).astype(np.int16)
    return (np.repeat(mono, channels) if channels > 1 else mono).tobytes()


def write_paced(writer, pcm: bytes, bytes_per_second: float, chunk: int, bursty: bool) -> float:
    """Real-time pace, or bursts of 5x real time for 0.5 s followed by 0.4 s of silence; returns wall seconds."""
    t0 = time.monotonic()
    due = t0
    for i in range(0, len(pcm), chunk):
        if bursty:
            elapsed = time.monotonic() - t0
            if elapsed % 0.9 >= 0.5:  # the engine is silent: wait for the next burst
                time.sleep(0.9 - elapsed % 0.9)
                due = time.monotonic()
            due += len(pcm[i : i + chunk]) / (5 * bytes_per_second)
        else:
            due = t0 + i / bytes_per_second
        delay = due - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        writer.write(pcm[i : i + chunk])
    return time.monotonic() - t0


CASES = {
    "48k-stereo": (48000, 2, False),
    "22k-mono": (22050, 1, False),
    "bursty-22k-mono": (22050, 1, True),
}


def soak(page, wa, events, case: str, seconds: float, **options) -> None:
    rate, channels, bursty = CASES[case]
    ring_seconds = options.get("ringSeconds")
    p = wa.web_audio(onended=events.callback("ended"), onerror=events.callback("error"), show_wave=True, **options)
    page.open().player(p.id)
    pcm = engine_pcm(seconds, rate, channels)
    frames = len(pcm) // (2 * channels)
    w = p.stream_writer()
    w.configure(rate, channels)
    wall = write_paced(w, pcm, rate * channels * 2, CHUNK_FRAMES * channels * 2, bursty)
    w.finish()
    peak_backlog = 0
    if bursty:
        peak_backlog = page.stats(p.id)["backlogFrames"]
    _, _, ended = events.wait("ended", timeout=seconds + 30)
    st = page.stats(p.id)
    print(f"\nsoak {case} {seconds:.0f} s (written in {wall:.1f} s): played {ended['played']:.4f} s of "
          f"{frames / rate:.4f} s, underruns {ended['underruns']}, frames played {st['framesPlayed']} / "
          f"written {frames}, dropped {st['droppedFrames']}, backlog after writing {peak_backlog / rate:.1f} s; "
          f"jitter buffer {st['jitterSeconds'] * 1000:.0f} ms, late frames {st['lateFrames']}")
    assert ended["reason"] == "drained" and ended["underruns"] == 0
    assert abs(ended["played"] - frames / rate) < 0.02
    assert st["framesReceived"] == st["framesWritten"] == st["framesPlayed"] == frames
    assert st["droppedFrames"] == 0 and "error" not in events.names()
    if bursty and ring_seconds is not None:
        assert peak_backlog > 0  # the ring alone could not have held it


@pytest.mark.parametrize("case", list(CASES))
def test_soak_short(page, wa, events, case):
    bursty = CASES[case][2]
    options = {"ringSeconds": 2.0} if bursty else {}  # the default, adaptive jitter buffer
    soak(page, wa, events, case, 5.0 if bursty else 3.0, **options)


@pytest.mark.slow
@pytest.mark.parametrize("case", list(CASES))
def test_soak_120s(page, wa, events, case, request):
    if "slow" not in (request.config.getoption("markexpr") or ""):
        pytest.skip("the 120 s soak runs when the slow mark is selected (-m slow)")
    soak(page, wa, events, case, 120.0)  # the default settings
