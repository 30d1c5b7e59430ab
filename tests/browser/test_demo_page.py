"""The demo page in a real browser: type a sentence, press Speak, hear it and get the WAV."""

from __future__ import annotations

import re
import sys
import time
import wave
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))

pytestmark = pytest.mark.browser


def test_typed_text_is_spoken_live_and_saved(open_page, server, tmp_path, artifacts_dir, capsys):
    import demo

    d = demo.Demo(tmp_path, server.origin + "/", server.token)
    page = open_page()
    page.open()
    cid = d.speech_player.id
    page.player(cid)
    box = page.page.locator(".vt-widget-text_input input").first
    box.fill("Testing one two three, the demo speaks.")
    speak = page.page.get_by_role("button", name="Speak", exact=True)
    speak.click()
    st = page.wait_stats(cid, lambda s: s["framesPlayed"] > 0, timeout=15)
    deadline = time.monotonic() + 20
    while not list(tmp_path.glob("take-*.wav")) or "Download take" not in page.page.content():
        assert time.monotonic() < deadline, "no finished take"
        time.sleep(0.1)
    take = sorted(tmp_path.glob("take-*.wav"))[-1]
    with wave.open(str(take), "rb") as wf:
        assert wf.getnframes() > wf.getframerate() // 2  # at least half a second of speech
    st = page.wait_stats(cid, lambda s: s["framesPlayed"] >= s["framesReceived"] - 2048, timeout=15)
    assert st["underruns"] == 0
    link = page.page.locator(".vt-link").last
    href = link.get_attribute("href")
    assert href and href.startswith("/vt/files/")
    body = page.page.request.get(server.origin + href).body()
    assert body == take.read_bytes()
    # the file player shows its whole waveform, the playhead part-way (the README's picture)
    d.file_player.seek(2.5)
    page.wait_stats(d.file_player.id, lambda s: s["wave"] is not None and s["file"]["currentTime"] == 2.5)
    page.page.wait_for_timeout(200)
    # what was heard of the utterance: all of it
    heard = page.page.locator(".vt-text", has_text="Heard")
    heard.wait_for(timeout=10_000)
    said = re.search(r"Heard ([0-9.]+) s of ([0-9.]+) s", heard.inner_text())
    assert said and said.group(1) == said.group(2) and float(said.group(1)) > 0.5, heard.inner_text()
    page.page.screenshot(path=str(artifacts_dir / "demo.png"), full_page=True)

    # a long sentence, stopped mid-way: the page says how much was heard
    box.fill("This is a much longer sentence that the demo will not be allowed to finish, "
             "because the test presses the stop button while it is still being spoken aloud.")
    speak.click()
    page.wait_stats(cid, lambda s: s["streamActive"] and s["framesPlayed"] > 0, timeout=15)
    time.sleep(1.0)
    page.page.get_by_role("button", name="Stop speaking", exact=True).click()
    stopped = page.page.locator(".vt-text", has_text="Stopped")
    stopped.wait_for(timeout=10_000)
    cut = re.search(r"Stopped: heard ([0-9.]+) s of ([0-9.]+) s", stopped.inner_text())
    assert cut and 0.5 < float(cut.group(1)) <= float(cut.group(2)), stopped.inner_text()
    out = capsys.readouterr().out
    assert re.search(r"event speech ended: \{'source': 'push', 'reason': 'drained', 'played': [0-9.]+", out), out
    assert re.search(r"event speech ended: \{'source': 'push', 'reason': 'closed', 'played': [0-9.]+, 'dropped'", out), out
    assert not page.errors, page.errors
