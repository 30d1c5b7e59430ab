"""Keyboard, accessibility and phone behaviour of the player in headless chromium."""

from __future__ import annotations

import re
import sys
from pathlib import Path

import numpy as np
import pytest

from vt_core import getcm

from .probes import sine
from .test_sources import write_mono

pytestmark = pytest.mark.browser

FOCUS_STYLE = """() => {
  const e = document.activeElement;
  const s = getComputedStyle(e);
  return {cls: e.className, outline: s.outlineStyle, width: parseFloat(s.outlineWidth)};
}"""


def test_keyboard_plays_seeks_and_sets_volume(page, wa, events, tmp_path):
    rate = 8000
    path = tmp_path / "long.wav"
    write_mono(path, sine(300, 200.0, rate, 0.3, channels=1), rate)  # 3:20
    p = wa.web_audio(
        src=str(path), minimal=False, label="keys", onplay=events.callback("play"), onpause=events.callback("pause")
    )
    page.open().player(p.id)
    page.wait_stats(p.id, lambda s: s["file"]["duration"] == pytest.approx(200, abs=0.01))
    keys = page.page.keyboard
    keys.press("Tab")  # the first stop is the player itself, with a visible focus ring
    focus = page.page.evaluate(FOCUS_STYLE)
    assert "vt-player" in focus["cls"] and focus["outline"] != "none" and focus["width"] >= 2, focus

    keys.press("k")
    events.wait("play")
    keys.press(" ")
    events.wait("pause")

    p.seek(60)
    page.wait_stats(p.id, lambda s: s["file"]["currentTime"] == pytest.approx(60, abs=0.01))
    keys.press("ArrowRight")
    page.wait_stats(p.id, lambda s: s["file"]["currentTime"] == pytest.approx(65, abs=0.01))
    seek = page.page.locator(f'.vt-player[data-cid="{p.id}"] .vt-seek')
    page.page.wait_for_function("e => e.getAttribute('aria-valuetext') === '1:05 of 3:20'", arg=seek.element_handle())
    keys.press("ArrowLeft")
    keys.press("ArrowLeft")
    page.wait_stats(p.id, lambda s: s["file"]["currentTime"] == pytest.approx(55, abs=0.01))
    keys.press("ArrowDown")
    keys.press("ArrowDown")
    page.wait_stats(p.id, lambda s: s["volume"] == pytest.approx(0.9))
    keys.press("ArrowUp")
    page.wait_stats(p.id, lambda s: s["volume"] == pytest.approx(0.95))
    volume = page.page.locator(f'.vt-player[data-cid="{p.id}"] .vt-volume')
    assert volume.get_attribute("aria-valuetext") == "95 %"

    # each control shows its focus; space on the play button toggles once
    keys.press("Tab")
    assert page.page.evaluate(FOCUS_STYLE)["cls"] == "vt-play"
    assert page.page.evaluate(FOCUS_STYLE)["outline"] != "none"
    keys.press(" ")
    events.wait("play", count=2)
    keys.press("Tab")
    assert page.page.evaluate(FOCUS_STYLE)["cls"] == "vt-seek"
    assert page.page.evaluate(FOCUS_STYLE)["outline"] != "none"
    keys.press("Tab")
    keys.press("ArrowLeft")  # on the volume slider the arrows stay the slider's own
    page.wait_stats(p.id, lambda s: s["volume"] == pytest.approx(0.94))
    assert events.names().count("play") == 2 and events.names().count("pause") == 1
    assert not page.errors, page.errors


def test_a_volume_set_from_python_is_one_change_and_a_key_between_its_frames_stands(page, wa):
    """`volume = x` reaches the page in two frames: the options update, then a setVolume command.

    The link may hold the second back for a while (the host writes the two in separate flushes).
    A key the user pressed after the first took effect must not be undone by the second, and a
    later `volume = x` of the same value must still win over the key.
    """
    p = wa.web_audio(label="volume")
    box = page.page.locator(f'.vt-player[data-cid="{p.id}"]')
    held, link = [], {}
    hold = {"on": False}

    def route(ws):
        server = ws.connect_to_server()
        link["ws"] = ws

        def to_page(message):
            if hold["on"] and isinstance(message, str) and '"setVolume"' in message:
                held.append(message)
            else:
                ws.send(message)

        server.on_message(to_page)

    page.page.route_web_socket(re.compile(r"/vt/ws"), route)
    page.open().player(p.id)

    def delivered() -> None:
        """Every frame sent so far has been handled by the page (a later frame has)."""
        delivered.n = getattr(delivered, "n", 0) + 1
        p.label = f"volume {delivered.n}"
        page.page.wait_for_function("([sel, t]) => document.querySelector(sel).textContent === t",
                                    arg=[f'.vt-player[data-cid="{p.id}"] .vt-label', p.label])

    hold["on"] = True
    p.volume = 0.3
    page.wait_stats(p.id, lambda s: s["volume"] == pytest.approx(0.3))  # the options update
    page.page.wait_for_function("() => true")  # lets the route see the held command
    assert len(held) == 1, held
    box.press("ArrowDown")
    page.wait_stats(p.id, lambda s: s["volume"] == pytest.approx(0.25))
    hold["on"] = False
    link["ws"].send(held.pop())
    delivered()
    assert page.stats(p.id)["volume"] == pytest.approx(0.25)

    # the same value again, after the key: the options do not change, the command sets it
    p.volume = 0.3
    page.wait_stats(p.id, lambda s: s["volume"] == pytest.approx(0.3))

    # the option published by itself applies at once; a key after it, then `volume = x` of
    # that value (options unchanged again): the command is no repeat of that update and wins
    getcm().components[p.id]["content"]["options"]["volume"] = 0.7
    p.update_cm()
    page.wait_stats(p.id, lambda s: s["volume"] == pytest.approx(0.7))
    box.press("ArrowUp")
    page.wait_stats(p.id, lambda s: s["volume"] == pytest.approx(0.75))
    p.volume = 0.7
    page.wait_stats(p.id, lambda s: s["volume"] == pytest.approx(0.7))
    delivered()
    assert page.stats(p.id)["volume"] == pytest.approx(0.7)
    assert not page.errors, page.errors


def test_demo_page_has_no_axe_violations(open_page, server, tmp_path, artifacts_dir):
    from axe_playwright_python.sync_playwright import Axe

    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
    import demo

    d = demo.Demo(tmp_path, server.url)
    page = open_page().open()
    page.player(d.file_player.id)
    page.wait_stats(d.file_player.id, lambda s: s["wave"] is not None)
    results = Axe().run(page.page)
    found = [
        (v["id"], v["impact"], [n["target"] for n in v["nodes"]][:3])
        for v in results.response["violations"]
    ]
    assert results.violations_count == 0, found


# A phone as far as the page can tell: an audio session to set, and a page
# that the test sends to the background and back.
PHONE = """(() => {
  let visibility = "visible";
  Object.defineProperty(document, "visibilityState", {get: () => visibility, configurable: true});
  Object.defineProperty(document, "hidden", {get: () => visibility === "hidden", configurable: true});
  window.__setVisibility = (v) => { visibility = v; document.dispatchEvent(new Event("visibilitychange")); };
  Object.defineProperty(navigator, "audioSession", {value: {type: "auto"}, configurable: true});
})();"""


def test_phone_session_and_recovery_after_an_interruption(open_page, wa, events, tmp_path):
    rate = 8000
    path = tmp_path / "call.wav"
    write_mono(path, sine(300, 30.0, rate, 0.3, channels=1), rate)
    p = wa.web_audio(src=str(path), onplay=events.callback("play"), onpause=events.callback("pause"))
    page = open_page()
    page.page.add_init_script(PHONE)
    page.open().player(p.id)
    assert page.page.evaluate("navigator.audioSession.type") == "playback"
    p.play()
    events.wait("play")
    page.wait_stats(p.id, lambda s: s["file"]["currentTime"] > 0.3 and s["contextState"] == "running")

    # a call: the page goes to the background, the system stops the context and the element
    page.page.evaluate("cid => { __setVisibility('hidden'); window.vtPlayers[cid].gain.context.suspend(); }", p.id)
    page.wait_stats(p.id, lambda s: s["contextState"] == "suspended")
    page.page.evaluate("cid => window.vtPlayers[cid].audio.pause()", p.id)
    events.wait("pause")
    at = page.stats(p.id)["file"]["currentTime"]
    page.page.wait_for_timeout(300)
    st = page.stats(p.id)
    assert st["contextState"] == "suspended" and st["file"]["paused"]  # nothing resumes in the background

    page.page.evaluate("__setVisibility('visible')")
    events.wait("play", count=2)
    st = page.wait_stats(p.id, lambda s: s["contextState"] == "running" and s["file"]["currentTime"] > at + 0.2)
    assert not st["file"]["paused"]
    assert not page.errors, page.errors


def test_a_paused_player_stays_paused_when_the_page_comes_back(open_page, wa, events, tmp_path):
    rate = 8000
    path = tmp_path / "still.wav"
    write_mono(path, np.zeros(rate * 5, dtype=np.int16), rate)
    p = wa.web_audio(src=str(path), onplay=events.callback("play"), onpause=events.callback("pause"))
    page = open_page()
    page.page.add_init_script(PHONE)
    page.open().player(p.id)
    p.play()
    events.wait("play")
    p.pause()
    events.wait("pause")
    page.page.evaluate("cid => { __setVisibility('hidden'); window.vtPlayers[cid].gain.context.suspend(); }", p.id)
    page.wait_stats(p.id, lambda s: s["contextState"] == "suspended")
    page.page.evaluate("__setVisibility('visible')")
    page.wait_stats(p.id, lambda s: s["contextState"] == "running")
    page.page.wait_for_timeout(300)
    assert page.stats(p.id)["file"]["paused"] and events.names().count("play") == 1
