"""The README's Example, taken from README.md itself and run as a newcomer runs it."""

from __future__ import annotations

import ast
import http.cookiejar
import os
import queue
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


def example_code() -> str:
    text = README.read_text(encoding="utf-8")
    section = text.split("\n## Example\n", 1)[1].split("\n## ", 1)[0]
    (code,) = re.findall(r"^```python\n(.*?)^```$", section, re.M | re.S)
    return code


def lines_of(proc: subprocess.Popen) -> queue.Queue:
    out: queue.Queue = queue.Queue()

    def pump():
        for line in proc.stdout:
            out.put(line.rstrip("\n"))
        out.put(None)

    threading.Thread(target=pump, daemon=True).start()
    return out


def next_line(out: queue.Queue, pattern: str, proc: subprocess.Popen) -> re.Match:
    seen = []
    while True:
        line = out.get(timeout=60)
        if line is None:
            raise AssertionError(f"exited {proc.wait()} before printing {pattern!r}: {seen}\n{proc.stderr.read()}")
        if m := re.fullmatch(pattern, line):
            return m
        seen.append(line)


def test_readme_example_serves_its_page_writes_a_normalised_take_and_stops_on_ctrl_c(tmp_path):
    (tmp_path / "app.py").write_text(example_code(), encoding="utf-8")
    proc = subprocess.Popen(
        [sys.executable, "app.py"], cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        env={**os.environ, "PYTHONUNBUFFERED": "1"},
        # Ctrl-C reaches it even when this run was started with SIGINT ignored (a background job)
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    try:
        out = lines_of(proc)
        url = next_line(out, r"http://127\.0\.0\.1:\d+/\?token=[\w-]+", proc)[0]
        summary = ast.literal_eval(next_line(out, r"\{.*\}", proc)[0])
        assert summary == {"audio_path": "take.wav", "sample_rate": 22050, "channels": 1, "audio_bytes": 88200}
        for name, (rate, seconds, peak) in {"take.wav": (22050, 2.0, (29990, 30000)),
                                            "music.wav": (44100, 3.0, (11000, 12000))}.items():
            with wave.open(str(tmp_path / name), "rb") as wav:
                assert (wav.getnchannels(), wav.getsampwidth(), wav.getframerate()) == (1, 2, rate), name
                assert wav.getnframes() == seconds * rate, name
                samples = array("h", wav.readframes(wav.getnframes()))
            assert peak[0] <= max(map(abs, samples)) <= peak[1], name

        # still serving once the take is saved (until Ctrl-C, not to the script's end): the page, with
        # the cookie its secret is traded for
        with pytest.raises(subprocess.TimeoutExpired):
            proc.wait(timeout=1)
        browser = urllib.request.build_opener(urllib.request.HTTPCookieProcessor(http.cookiejar.CookieJar()))
        with browser.open(url, timeout=30) as page:
            assert page.status == 200 and page.headers.get_content_type() == "text/html"
            assert '<script type="module"' in page.read().decode()
        proc.send_signal(signal.SIGINT)
        assert proc.wait(timeout=30) == 0
        assert "Traceback" not in proc.stderr.read()
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
