"""File and URL sources in headless chromium: other origins, common formats,
the whole-file waveform and the front-end options.

The second and third origins are plain HTTP servers on other ports of
127.0.0.1 (see the ``origins`` fixture): one sends CORS headers, one does not.
"""

from __future__ import annotations

import shutil
import subprocess
import time
import wave

import numpy as np
import pytest

from .probes import CANVAS_INK, TONE, sine, write_wav

pytestmark = pytest.mark.browser

# (file suffix, ffmpeg output arguments, tone in Hz: a different one per format)
FORMATS = {
    "wav": (".wav", ["-c:a", "pcm_s16le"], 330),
    "mp3": (".mp3", ["-c:a", "libmp3lame", "-b:a", "128k"], 440),
    "vorbis": (".ogg", ["-c:a", "libvorbis", "-q:a", "5"], 523),
    "opus": (".opus", ["-c:a", "libopus", "-b:a", "96k"], 587),
    "flac": (".flac", ["-c:a", "flac"], 659),
    "aac": (".m4a", ["-c:a", "aac", "-b:a", "128k"], 784),
}
MIME = {
    "wav": "audio/wav",
    "mp3": "audio/mpeg",
    "vorbis": 'audio/ogg; codecs="vorbis"',
    "opus": 'audio/ogg; codecs="opus"',
    "flac": "audio/flac",
    "aac": 'audio/mp4; codecs="mp4a.40.2"',
}

# Where the whole waveform has ink: rows touched in the left and right halves,
# and the colour of the column at a fraction of the width.
WAVE_INK = """([cid, at]) => {
  const c = document.querySelector(`.vt-player[data-cid="${cid}"] canvas.vt-viz`);
  const {data, width, height} = c.getContext("2d").getImageData(0, 0, c.width, c.height);
  const rows = (x0, x1) => {
    let n = 0;
    for (let y = 0; y < height; y++) {
      for (let x = x0; x < x1; x++) if (data[(y * width + x) * 4 + 3] > 40) { n++; break; }
    }
    return n;
  };
  const x = Math.min(width - 1, Math.round(at * width));
  let dark = 0;
  for (let dx = -2; dx <= 2; dx++) {
    const i = ((height >> 2) * width + Math.max(0, Math.min(width - 1, x + dx))) * 4;
    if (data[i + 3] > 200 && data[i] < 60 && data[i + 1] < 60 && data[i + 2] < 60) dark++;
  }
  return {left: rows(6, width >> 1), right: rows(width >> 1, width), height, playheadNear: dark > 0};
}"""

WAVE_STATS = """async () => (await import(new URL("/vt/static/waveform.js", location.href).href)).waveStats"""


def ffmpeg_tone(path, freq: float, seconds: float, codec_args: list[str]) -> None:
    subprocess.run(
        ["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi",
         "-i", f"sine=frequency={freq}:sample_rate=48000:duration={seconds}",
         "-af", "volume=4", "-ac", "2", *codec_args, str(path)],
        check=True,
        timeout=60,
    )


def write_mono(path, samples: np.ndarray, rate: int) -> None:
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(samples.astype(np.int16).tobytes())


def option(cm, player, **changes) -> None:
    """Change front-end options from Python, as an application does: write them, publish."""
    cm.components[player.id]["content"]["options"].update(changes)
    player.update_cm()


# -- other origins ------------------------------------------------------------------


def test_cross_origin_sources_are_heard_or_explained(page, wa, events, origins):
    write_wav(origins.root / "tone.wav", 8.0, freq=440)
    (origins.root / "garbage.bin").write_bytes(np.random.default_rng(3).bytes(20000))
    cors, plain = origins.cors, origins.plain
    through = {  # through the graph: the analyser hears them
        "cors": wa.web_audio(src=cors.url("tone.wav"), show_wave=True, minimal=False, label="cors"),
        "redirect within the CORS origin": wa.web_audio(src=cors.redirect(cors.url("tone.wav"))),
    }
    alone = {  # outside the graph: the element plays them
        "no CORS": wa.web_audio(src=plain.url("tone.wav"), show_wave=True, minimal=False, label="plain"),
        "redirect to the no-CORS origin": wa.web_audio(src=cors.redirect(plain.url("tone.wav"))),
        "no-CORS redirect to the CORS origin": wa.web_audio(src=plain.redirect(cors.url("tone.wav"))),
    }
    failing = {
        "HTTP 404": wa.web_audio(src=cors.url("missing.wav")),
        "cannot be decoded": wa.web_audio(src=cors.url("garbage.bin")),
        "could not be loaded": wa.web_audio(src=plain.url("missing.wav")),
    }
    for name, p in {**through, **alone, **failing}.items():
        p.on_play(events.callback(f"play {name}")).on_error(events.callback(f"error {name}"))
    page.open()
    for p in failing.values():
        page.player(p.id)

    for name, p in {**through, **alone}.items():
        p.play()
        events.wait(f"play {name}")
    for name, p in {**through, **alone}.items():
        st = page.wait_stats(p.id, lambda s: s["file"]["currentTime"] > 0.5)
        assert not st["file"]["paused"], (name, st)
        if name in through:
            assert st["file"]["route"] == "graph", (name, st["file"])
            tone = page.page.evaluate(TONE, p.id)
            assert abs(tone["peakHz"] - 440) <= 25 and tone["rms"] > 0.05, (name, tone)
        else:
            assert st["file"]["route"] == "direct", (name, st["file"])
            assert st["file"]["elementVolume"] == 1 and not st["file"]["elementMuted"], (name, st["file"])
    playing_errors = [e for e in events.items if e[0] in {f"error {n}" for n in {**through, **alone}}]
    assert not playing_errors, playing_errors

    # the element plays on: its time moves, and volume and mute are the element's
    p = alone["no CORS"]
    before = page.stats(p.id)["file"]["currentTime"]
    p.volume = 0.3
    st = page.wait_stats(p.id, lambda s: s["file"]["elementVolume"] == pytest.approx(0.3))
    assert st["file"]["currentTime"] > before
    box = page.page.locator(f'.vt-player[data-cid="{p.id}"]')
    note = box.locator(".vt-viz-note")
    assert note.is_visible() and "cross-origin" in note.inner_text()
    assert st["wave"] is None  # no bytes to read: the live view stays
    cors_box = page.page.locator(f'.vt-player[data-cid="{through["cors"].id}"]')
    assert not cors_box.locator(".vt-viz-note").is_visible()
    page.wait_stats(through["cors"].id, lambda s: s["wave"] is not None)

    for text, p in failing.items():
        _, _, err = events.wait(f"error {text}")
        assert text in err["error"] and p.src.split("/")[-1] in err["error"], (text, err)
    assert not [e for e in page.errors if e.startswith("pageerror")], page.errors


# -- formats --------------------------------------------------------------------------


def format_tones(root, seconds: float) -> dict:
    """A tone of FORMATS' frequency in each of them, this long, in root: {name: path}."""
    if not shutil.which("ffmpeg"):
        pytest.fail("ffmpeg is missing: scripts/setup-system.sh installs it")
    files = {}
    for name, (suffix, args, freq) in FORMATS.items():
        files[name] = root / f"tone-{name}{suffix}"
        ffmpeg_tone(files[name], freq, seconds, args)
    return files


@pytest.fixture(scope="module")
def format_files(tmp_path_factory):
    return format_tones(tmp_path_factory.mktemp("formats"), 4.0)


def test_common_formats_play_at_their_pitch(page, wa, events, format_files):
    players = {name: wa.web_audio(src=str(path), onerror=events.callback(f"error {name}")) for name, path in format_files.items()}
    page.open()
    for p in players.values():
        page.player(p.id)
    decodable = page.page.evaluate(
        "mimes => Object.fromEntries(Object.entries(mimes).map(([k, m]) => [k, new Audio().canPlayType(m)]))", MIME
    )
    for name in ("wav", "mp3", "vorbis", "opus", "flac"):
        assert decodable[name], f"chromium says it cannot play {name}: {decodable}"
    heard = {}
    for name, p in players.items():
        if not decodable[name]:
            print(f"\n{name}: this chromium does not decode it (canPlayType is empty); skipped")
            continue
        p.play()
        page.wait_stats(p.id, lambda s: s["file"]["currentTime"] > 0.6)
        heard[name] = page.page.evaluate(TONE, p.id)
        p.pause()
    print("\nformats heard:", {k: round(v["peakHz"]) for k, v in heard.items()})
    wrong = {n: t for n, t in heard.items() if abs(t["peakHz"] - FORMATS[n][2]) > 25 or t["rms"] < 0.05}
    assert not wrong, wrong
    assert not [n for n in events.names() if n.startswith("error")], events.items


# -- the whole waveform -------------------------------------------------------------


def test_whole_waveform_shows_and_seeks_by_click_and_drag(page, wa, tmp_path):
    rate = 44100
    quiet_then_tone = np.concatenate([np.zeros(2 * rate, dtype=np.int16), sine(440, 2.0, rate, 0.6, channels=1)])
    path = tmp_path / "half.wav"
    write_mono(path, quiet_then_tone, rate)
    color = (0xE9, 0x1E, 0x63)
    p = wa.web_audio(src=str(path), show_wave=True, minimal=False, block=True, visualizer_color="#E91E63")
    twin = wa.web_audio(src=str(path), show_wave=True)
    page.open().player(p.id)
    st = page.wait_stats(p.id, lambda s: s["wave"] is not None and (s["file"]["duration"] or 0) > 0)
    assert st["wave"]["duration"] == pytest.approx(4.0, abs=0.01)
    page.wait_stats(twin.id, lambda s: s["wave"] is not None)
    assert page.page.evaluate(WAVE_STATS)["decodes"] == 1  # one decode per source

    canvas = page.page.locator(f'.vt-player[data-cid="{p.id}"] canvas.vt-viz')
    page.page.wait_for_function(f"() => ({WAVE_INK})(['{p.id}', 0]).right > 10")
    ink = page.page.evaluate(WAVE_INK, [p.id, 0.0])
    assert ink["left"] <= 3 < 10 < ink["right"], ink  # silence is a line, the tone is tall
    assert page.page.evaluate(CANVAS_INK, [p.id, color])["pixels"] == 0  # nothing played yet: all pale

    box = canvas.bounding_box()
    duration = st["file"]["duration"]
    for frac in (0.25, 0.8):
        canvas.click(position={"x": box["width"] * frac, "y": box["height"] / 2})
        page.wait_stats(p.id, lambda s: abs(s["file"]["currentTime"] - frac * duration) < 0.05, timeout=3)
    page.page.wait_for_function(f"() => ({WAVE_INK})(['{p.id}', 0.8]).playheadNear")
    assert page.page.evaluate(CANVAS_INK, [p.id, color])["rows"] > 10  # the played part in full colour

    mouse = page.page.mouse
    mouse.move(box["x"] + box["width"] * 0.1, box["y"] + box["height"] / 2)
    mouse.down()
    mouse.move(box["x"] + box["width"] * 0.4, box["y"] + box["height"] / 2, steps=4)
    mid = page.stats(p.id)["file"]["currentTime"]
    mouse.move(box["x"] + box["width"] * 0.6, box["y"] + box["height"] / 2, steps=4)
    mouse.up()
    assert mid == pytest.approx(0.4 * duration, abs=0.05)  # the drag seeks as it goes
    page.wait_stats(p.id, lambda s: abs(s["file"]["currentTime"] - 0.6 * duration) < 0.05, timeout=3)


def test_long_file_waveform_is_computed_in_slices(page, wa, tmp_path):
    rate = 8000
    path = tmp_path / "long.wav"
    write_mono(path, sine(220, 600.0, rate, 0.3, channels=1), rate)  # ten minutes
    p = wa.web_audio(src=str(path), show_wave=True)
    page.open().player(p.id)
    st = page.wait_stats(p.id, lambda s: s["wave"] is not None, timeout=30)
    print(f"\nten-minute waveform: computed in {st['wave']['slices']} slices")
    assert st["wave"]["duration"] == pytest.approx(600.0, abs=0.01)
    assert st["wave"]["slices"] > 1  # the peaks did not take the page's thread in one go


# -- front-end options ----------------------------------------------------------------


def test_front_end_options_apply_at_once(page, wa, events, cm, tmp_path):
    path = tmp_path / "short.wav"
    write_wav(path, 1.5, freq=440)
    p = wa.web_audio(
        src=str(path), autoplay=True, loop=True, muted=True, playbackRate=1.5, preload="metadata",
        onplay=events.callback("play"), onended=events.callback("ended"),
    )
    later = wa.web_audio(src=str(path), onplay=events.callback("later play"))
    page.open().player(later.id)
    events.wait("play")  # autoplay: nobody called play()
    st = page.wait_stats(p.id, lambda s: s["file"]["currentTime"] > 0.3)
    f = st["file"]
    assert (f["loop"], f["playbackRate"], f["preservesPitch"], f["preload"]) == (True, 1.5, True, "metadata"), f
    assert st["muted"] and st["outputGain"] == 0
    assert page.page.evaluate(TONE, p.id)["rms"] < 1e-3

    time.sleep(1.5)  # more than the whole file at 1.5x: it loops instead of ending
    assert "ended" not in events.names()
    assert not page.stats(p.id)["file"]["paused"]

    option(cm, p, muted=False)
    page.wait_stats(p.id, lambda s: not s["muted"] and s["outputGain"] == 1)
    time.sleep(0.2)  # the analyser window fills with sound
    tone = page.page.evaluate(TONE, p.id)
    assert abs(tone["peakHz"] - 440) <= 25 and tone["rms"] > 0.05, tone  # 660 Hz if the pitch followed the rate

    option(cm, p, loop=False, playbackRate=1, preload="none")
    st = page.wait_stats(p.id, lambda s: not s["file"]["loop"])
    assert (st["file"]["playbackRate"], st["file"]["preload"]) == (1, "none")
    events.wait("ended", timeout=5)

    option(cm, later, autoplay=True)  # switched on while it stands at its start
    events.wait("later play")
