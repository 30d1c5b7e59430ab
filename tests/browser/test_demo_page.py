"""The demo page in a real browser: type a sentence, press Speak, hear it and get the WAV."""

from __future__ import annotations

import sys
import time
import wave
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))

pytestmark = pytest.mark.browser


def test_typed_text_is_spoken_live_and_saved(open_page, server, tmp_path, artifacts_dir):
    import demo

    d = demo.Demo(tmp_path, server.origin + "/", server.token)
    page = open_page()
    page.open()
    cid = d.speech_player.id
    page.player(cid)
    box = page.page.locator(".vt-widget-text_input input").first
    box.fill("Testing one two three, the demo speaks.")
    page.page.locator(".vt-widget-text_input button").first.click()
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
    page.page.screenshot(path=str(artifacts_dir / "demo.png"), full_page=True)
    assert not page.errors, page.errors
