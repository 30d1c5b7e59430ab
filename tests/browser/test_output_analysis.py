"""The listening tests' measure of a recording (output.py), on made-up signals.

These run without a browser: they show that what the listening tests call a
seamless stream would really show a lost, repeated or misplaced sample, that
a hole the output itself makes is told apart from one, and that the sound
server records a client that falls behind with holes but no losses.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import time

import numpy as np
import pytest

from .output import RATE, Recording

AMP = 0.25


def tone(seconds: float, hz: float = 440.0, rate: int = RATE) -> np.ndarray:
    n = round(seconds * rate)
    return (np.sin(2 * np.pi * hz * np.arange(n) / rate) * AMP * 32767).astype(np.int16)


def heard(mono: np.ndarray, hz: float = 440.0):
    padded = np.concatenate([np.zeros(2000, np.int16), mono, np.zeros(2000, np.int16)])
    return Recording(np.stack([padded, padded], 1)).heard(tone_hz=hz, amplitude=AMP)


def test_a_clean_tone_and_one_resampled_linearly_have_no_jumps():
    h = heard(tone(2.0))
    assert (h.gaps, h.jumps) == (0, 0)
    assert h.seconds == pytest.approx(2.0, abs=1e-3) and h.start == pytest.approx(2000 / RATE, abs=1e-3)
    assert h.peak_hz == pytest.approx(440, abs=0.5)
    assert h.rms == pytest.approx(AMP / np.sqrt(2), rel=0.01)
    # 22.05 kHz brought to 48 kHz by linear interpolation, as the player does
    src = tone(1.5, 330, rate=22050).astype(np.float64)
    t = np.arange(round(1.5 * RATE)) * 22050 / RATE
    up = np.interp(t, np.arange(len(src)), src).astype(np.int16)
    h = heard(up, 330)
    assert (h.gaps, h.jumps) == (0, 0) and h.peak_hz == pytest.approx(330, abs=0.5)
    # cut off at its crest, the ringing of a resampling output is no jump; samples lost before it are
    crest = round(RATE / 440 * 100.25)
    ring = np.array([-1450, -720, 200, -30], np.int16)
    assert heard(np.concatenate([x := tone(2.0)[:crest], ring])).jumps == 0
    zero = crest - 136  # a zero crossing, where a loss is steepest
    assert heard(np.concatenate([x[:zero], x[zero + 5 :], ring])).jumps == 1
    assert Recording(np.zeros((RATE, 2), np.int16)).heard() is None


@pytest.mark.parametrize("fault", ["five samples lost", "three samples repeated", "a chunk's bytes shifted"])
def test_a_faulty_seam_is_one_jump(fault):
    x = tone(2.0)
    seam = 30011
    if fault == "five samples lost":
        y = np.concatenate([x[:seam], x[seam + 5 :]])
    elif fault == "three samples repeated":
        y = np.concatenate([x[:seam], x[seam - 3 :]])
    else:  # the low byte of the next sample read as the high byte: noise from the seam on
        b = x.tobytes()
        y = np.frombuffer(b[: 2 * seam] + b[2 * seam + 1 :] + b"\0", np.int16)
    h = heard(y)
    assert h.jumps >= 1, (fault, h)
    assert h.gaps == 0


def test_a_hole_of_the_output_is_a_gap_and_not_a_jump():
    x = tone(2.0)
    hole = np.zeros(1200, np.int16)
    h = heard(np.concatenate([x[:30000], hole, x[30000:]]))  # the output went on with the next sample
    assert (h.gaps, h.jumps) == (1, 0), h
    assert h.seconds == pytest.approx(2.0, abs=1e-3) and h.span == pytest.approx(2.025, abs=1e-3)
    # a seam fault away from the hole is still seen
    h = heard(np.concatenate([x[:30000], hole, x[30000:60000], x[60004:]]))
    assert (h.gaps, h.jumps) == (1, 1), h


@pytest.mark.browser  # (the listening set-up's sound server: the suites without it preload sanitizers into children)
@pytest.mark.parametrize("fmt, dtype, scale", [("float32le", "<f4", 1 / 32768), ("s16le", "<i2", 1)])
def test_a_client_that_falls_behind_is_recorded_with_holes_and_every_sample(sound_server, fmt, dtype, scale):
    """A client that underruns at the sink (a busy browser) is recorded with holes, and every sample it wrote."""
    pacat = shutil.which("pacat") or pytest.skip("pacat is not installed (apt-get install pulseaudio-utils)")
    frames = (np.repeat(tone(1.0)[:, None], 2, 1) * scale).astype(dtype)
    chunk = RATE // 20 + 7  # (a chunk that began on a zero sample would lose it to the hole before it)
    with sound_server.recording() as rec, subprocess.Popen(
            [pacat, "--playback", f"--format={fmt}", f"--rate={RATE}", "--channels=2", "--raw", "--latency-msec=19"],
            stdin=subprocess.PIPE, env=dict(os.environ, **sound_server.env)) as client:
        for k, at in enumerate(range(0, len(frames), chunk)):
            client.stdin.write(frames[at : at + chunk].tobytes())
            client.stdin.flush()
            time.sleep(0.15 if k % 5 == 2 else 0.045)  # every fifth chunk far too late: an underrun
    h = rec.heard(tone_hz=440, amplitude=AMP)
    assert h.gaps >= 1 and h.jumps == 0 and h.seconds == pytest.approx(1.0, abs=2 / RATE), h  # (it fell behind)
