"""The README's Example, taken from README.md itself, runs as printed."""

from __future__ import annotations

import ast
import http.cookiejar
import os
import re
import signal
import subprocess
import sys
import threading
import urllib.request
import wave
from array import array
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[1] / "README.md"


def test_readme_example_serves_its_page_saves_a_normalised_take_and_stops_on_ctrl_c(tmp_path):
    code = re.search(r"\n## Example\n.*?^```python\n(.*?)^```$", README.read_text(encoding="utf-8"), re.M | re.S)[1]
    (tmp_path / "app.py").write_text(code, encoding="utf-8")
    # SIGINT acts as Ctrl-C, also when this run was started with it ignored (a background job)
    proc = subprocess.Popen([sys.executable, "app.py"], cwd=tmp_path, text=True, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env={**os.environ, "PYTHONUNBUFFERED": "1"},
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    watchdog = threading.Timer(120, proc.kill)  # a hung example ends the lines it prints
    watchdog.start()
    try:
        url, summary = proc.stdout.readline().strip(), proc.stdout.readline().strip()
        assert re.fullmatch(r"http://127\.0\.0\.1:\d+/\?token=[\w-]+", url), (url, summary, proc.stderr.read())
        assert ast.literal_eval(summary) == {"audio_path": "take.wav", "sample_rate": 22050, "channels": 1,
                                             "audio_bytes": 88200}
        for name, rate, frames, peaks in [("take.wav", 22050, 44100, (29990, 30000)),  # normalised
                                          ("music.wav", 44100, 132300, (11000, 12000))]:
            with wave.open(str(tmp_path / name), "rb") as wav:
                assert (wav.getnchannels(), wav.getsampwidth(), wav.getframerate(), wav.getnframes()) == (1, 2, rate, frames)
                assert peaks[0] <= max(map(abs, array("h", wav.readframes(frames)))) <= peaks[1], name
        with pytest.raises(subprocess.TimeoutExpired):  # serving on after the take, until Ctrl-C
            proc.wait(timeout=1)
        browser = urllib.request.build_opener(urllib.request.HTTPCookieProcessor(http.cookiejar.CookieJar()))
        with browser.open(url, timeout=30) as page:  # the secret traded for a session cookie
            assert page.status == 200 and '<script type="module"' in page.read().decode()
        proc.send_signal(signal.SIGINT)
        assert proc.wait(timeout=30) == 0 and "Traceback" not in proc.stderr.read()
    finally:
        watchdog.cancel()
        proc.kill()
        proc.wait()
