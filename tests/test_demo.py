"""The demo's headless mode runs every path end to end and exits cleanly."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import wave
from pathlib import Path

DEMO = Path(__file__).resolve().parents[1] / "examples" / "demo.py"


def test_demo_once_speaks_relays_and_saves_a_normalised_wav(tmp_path):
    proc = subprocess.run([sys.executable, str(DEMO), "--once", "--port", "0", "--workdir", str(tmp_path)],
                          capture_output=True, text=True, timeout=120, env={**os.environ, "PYTHONUNBUFFERED": "1"})
    assert proc.returncode == 0, proc.stdout + proc.stderr
    speech = re.search(r"speech: engine=(\S+) audio_bytes=(\d+) peak (\d+) -> (\d+) wav=(\S+)", proc.stdout)
    assert speech, proc.stdout
    engine, audio_bytes, _, after, path = speech.groups()
    assert engine in ("espeak-ng", "synthetic")
    with wave.open(path, "rb") as wf:
        assert wf.getnframes() * wf.getnchannels() * 2 == int(audio_bytes) > 0
        frames = wf.readframes(wf.getnframes())
    peak = max(abs(int.from_bytes(frames[i:i + 2], "little", signed=True)) for i in range(0, len(frames), 2))
    assert peak == int(after) and 29990 <= peak <= 30000
    relayed = re.search(r"relay: (\d+) bytes relayed", proc.stdout)
    assert relayed and int(relayed.group(1)) == 4 * 24000 * 2 * 2  # 4 s of 24 kHz stereo, header cut
