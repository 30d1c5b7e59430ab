"""The browser player in headless chromium, driven through the real module.

Headless chromium has no sound card, but its AudioContext runs in real time on
a fake output, so playback, the ring buffer counters and the analyser all work.
"""

from __future__ import annotations

import math
import threading
import time

import numpy as np
import pytest

import vt_core
from vt_core import server as vt_server

from .probes import CANVAS_INK, TONE, sine, write_wav

pytestmark = pytest.mark.browser

# Split the player's output into left and right analysers.
TAP_CHANNELS = """cid => {
  const p = window.vtPlayers[cid];
  const ctx = p.gain.context;
  const split = ctx.createChannelSplitter(2);
  p.gain.connect(split);
  const make = (ch) => { const a = ctx.createAnalyser(); a.fftSize = 8192; split.connect(a, ch); return a; };
  window.__tap = {left: make(0), right: make(1), rate: ctx.sampleRate};
}"""

# Level of each channel and how much of the left one is a pure tone of hz.
CHANNEL_LEVELS = """hz => {
  const measure = (a) => {
    const x = new Float32Array(a.fftSize);
    a.getFloatTimeDomainData(x);
    const n = x.length, w = 2 * Math.PI * hz / window.__tap.rate;
    let re = 0, im = 0, wsum = 0, power = 0;
    for (let i = 0; i < n; i++) {
      const win = 0.5 - 0.5 * Math.cos(2 * Math.PI * i / (n - 1));
      re += win * x[i] * Math.cos(w * i); im += win * x[i] * Math.sin(w * i);
      wsum += win; power += x[i] * x[i];
    }
    const amp = 2 * Math.hypot(re, im) / wsum;
    const rms = Math.sqrt(power / n);
    return {rms, purity: rms > 0 ? (amp * amp / 2) / (rms * rms) : 0};
  };
  return {left: measure(window.__tap.left), right: measure(window.__tap.right)};
}"""


def paced(chunks, rate_bytes_per_s: float, send) -> float:
    """Call send(chunk) for each chunk at real-time pace; returns the first call's start time."""
    t0 = time.monotonic()
    sent = 0
    for chunk in chunks:
        delay = t0 + sent / rate_bytes_per_s - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        send(chunk)
        sent += len(chunk)
    return t0


def start_thread(fn) -> threading.Thread:
    box: dict = {}

    def run():
        try:
            box["result"] = fn()
        except BaseException as exc:  # reported by join()
            box["error"] = exc

    t = threading.Thread(target=run, daemon=True)
    t.box = box  # type: ignore[attr-defined]
    t.start()
    return t


def join(t: threading.Thread, timeout: float = 30.0):
    t.join(timeout)
    assert not t.is_alive(), "producer thread did not finish"
    if "error" in t.box:  # type: ignore[attr-defined]
        raise t.box["error"]  # type: ignore[attr-defined]
    return t.box.get("result")  # type: ignore[attr-defined]


# -- push streaming ---------------------------------------------------------------


def test_live_writer_stream_is_gapless_and_drawn(stream_page, wa, events, artifacts_dir):
    """3 s of 48 kHz stereo through the writer, at real-time pace, 4096-byte frames."""
    page = stream_page
    color = (0x43, 0xA0, 0x47)
    # jitterMs: the screenshot below, on a busy CI machine, can hold the page up for
    # several hundred ms; a second of audio in hand keeps the stream gapless through it
    p = wa.web_audio(show_wave=True, minimal=False, label="live writer", visualizer_color="#43A047", jitterMs=1000)
    p.on_stream_start(events.callback("start"))
    page.open().player(p.id)
    idle = page.page.evaluate(CANVAS_INK, [p.id, color])
    assert idle is not None and idle["rows"] <= 4, idle  # a flat line while silent

    rate, seconds, frame_bytes = 48000, 3.0, 4096
    pcm = sine(440, seconds, rate, 0.25).tobytes()
    w = p.stream_writer()
    w.configure(rate, 2)
    chunks = [pcm[i : i + frame_bytes] for i in range(0, len(pcm), frame_bytes)]
    producer = start_thread(lambda: paced(chunks, rate * 4, w.write))

    _, t_start, payload = events.wait("start", timeout=5)
    time.sleep(1.0)
    drawn = page.page.evaluate(CANVAS_INK, [p.id, color])
    page.page.screenshot(path=str(artifacts_dir / "player-stream.png"))
    mid = page.stats(p.id)
    tone = page.page.evaluate(TONE, p.id)
    t0 = join(producer, timeout=seconds + 10)
    low_water = page.stats(p.id)["lowWater"]  # before the tail drains
    w.flush()
    sent_frames = len(pcm) // 4

    st = page.wait_stats(p.id, lambda s: s["framesReceived"] == sent_frames and s["buffered"] == 0, timeout=5)
    latency_ms = (t_start - t0) * 1000
    print(
        f"\npush 48k stereo {seconds:g} s: first audio {latency_ms:.1f} ms after the first write "
        f"(browser: {st['lastStartLatencyMs']:.1f} ms from first frame to first audio; "
        f"context {st['contextRate']} Hz), underruns {st['underruns']}, "
        f"frames played {st['framesPlayed']} / sent {sent_frames}, dropped {st['droppedFrames']}, "
        f"lowest ring level while streaming {low_water / rate * 1000:.0f} ms"
    )
    latency = payload.pop("latencyMs")
    assert payload.pop("bufferMs") == 1000 and payload.pop("outputLatencyMs") >= 0  # jitterMs: the least buffer
    assert payload == {"sample_rate": rate, "channels": 2, "source": "push"}
    assert latency == pytest.approx(st["lastStartLatencyMs"], abs=0.1) and 0 <= latency < 2000
    assert latency_ms < 2000
    assert mid["state"] == "playing" and mid["contextState"] == "running"
    assert 430 <= tone["peakHz"] <= 450 and tone["rms"] > 0.05, tone
    assert drawn["rows"] > 12, (idle, drawn)  # the waveform moves while audio plays
    assert st["underruns"] == 0
    assert st["droppedFrames"] == 0
    assert st["streams"] == 1
    assert st["framesWritten"] == sent_frames and st["pendingBytes"] == 0
    assert sent_frames - 2 <= st["framesPlayed"] <= sent_frames
    assert not page.errors, page.errors


def test_frames_of_any_size_play_in_order_on_the_right_channels(engine_page, wa, events):
    """Frames that end inside a sample or inside a stereo frame, pushed as they come.

    The context runs at the stream's rate here: no resampling, every frame plays.
    """
    p = wa.web_audio(minimal=True, jitterMs=300)  # a busy CI machine can stall producer or page
    p.on_stream_start(events.callback("start"))
    page = engine_page(query="sampleRate=32000").open()
    page.player(p.id)
    page.page.evaluate(TAP_CHANNELS, p.id)

    rate, seconds = 32000, 2.5
    left = sine(1000, seconds, rate, 0.5, channels=1)
    stereo = np.zeros(2 * len(left), dtype=np.int16)
    stereo[0::2] = left  # the right channel stays silent
    pcm = stereo.tobytes()
    rng = np.random.default_rng(7)
    sizes = [1, 3, 5, 4095, 2, 1, 7]
    chunks, i = [], 0
    while i < len(pcm):
        n = sizes[len(chunks)] if len(chunks) < len(sizes) else int(rng.integers(1, 6000))
        chunks.append(pcm[i : i + n])
        i += n
    assert any(len(c) % 2 for c in chunks) and any(len(c) % 4 == 2 for c in chunks)

    p.send_audio_metadata(rate, 2)
    producer = start_thread(lambda: paced(chunks, rate * 4, p.stream_binary))
    events.wait("start", timeout=5)
    time.sleep(1.2)
    levels = page.page.evaluate(CHANNEL_LEVELS, 1000)
    join(producer)
    st = page.wait_stats(p.id, lambda s: s["framesReceived"] == len(left) and s["buffered"] == 0, timeout=5)

    print(f"\nodd-sized frames: levels {levels}, underruns {st['underruns']}")
    assert abs(levels["left"]["rms"] - 0.5 / math.sqrt(2)) < 0.05, levels
    assert levels["left"]["purity"] > 0.9, levels  # a misplaced byte would turn it into noise
    assert levels["right"]["rms"] < 0.01, levels
    assert st["contextRate"] == rate
    assert st["pendingBytes"] == 0 and st["underruns"] == 0
    assert st["framesPlayed"] == len(left)


def test_frames_route_to_the_stream_target_and_restart_after_close(stream_page, wa, events):
    page = stream_page
    first = wa.web_audio(label="first")
    second = wa.web_audio(label="second")
    first.on_stream_start(events.callback("first-start"))
    second.on_stream_start(events.callback("second-start"))
    page.open().player(second.id)

    rate = 24000
    burst = sine(300, 1.0, rate, channels=1).tobytes()
    # no stream command yet: frames go to the most recently created player
    first.send_audio_metadata(rate, 1)
    first.stream_binary(burst)
    events.wait("second-start")
    st2 = page.wait_stats(second.id, lambda s: s["framesReceived"] == rate)
    assert page.stats(first.id)["framesReceived"] == 0
    assert st2["buffered"] > 0  # sent faster than real time: still queued

    # a close command makes "first" the target and stops "second" at once
    second.close_stream()
    st2 = page.wait_stats(second.id, lambda s: s["state"] == "idle")
    assert st2["buffered"] == 0 and not st2["streamActive"]
    first.close_stream()
    first.stream_binary(burst[: len(burst) // 2])  # no new metadata: the last one applies
    _, _, payload = events.wait("first-start")
    assert payload["sample_rate"] == rate and payload["channels"] == 1
    st1 = page.wait_stats(first.id, lambda s: s["framesReceived"] == rate // 2)
    assert page.stats(second.id)["framesReceived"] == rate

    # after a close, new frames start a new stream on the same player
    first.close_stream()
    first.stream_binary(burst[:8000])
    events.wait("first-start", count=2)
    st1 = page.stats(first.id)
    assert st1["streams"] == 2 and st1["framesReceived"] == rate // 2 + 4000


# -- pulled streams ---------------------------------------------------------------


def test_pull_stream_get_resamples_mono_and_ends(stream_page, wa, events, server):
    page = stream_page
    rate, seconds = 22050, 1.5
    vt_server.register_audio(
        "t_get_mono",
        lambda params: vt_server.tone(440, seconds, rate, channels=1, chunk_frames=1000),
        sample_rate=rate,
        channels=1,
        wav_header=False,
    )
    vt_server.register_audio(
        "t_wav_mono", lambda params: vt_server.tone(300, 0.5, 16000, channels=1), sample_rate=16000, channels=1
    )
    # a component already in stream mode starts pulling when the page mounts it,
    # with the format that the response announces
    mounted = wa.web_audio(stream_mode=True, stream_url=server.origin + "/vt/audio/t_wav_mono")
    mounted.on_stream_start(events.callback("mounted-start"))
    p = wa.web_audio(onended=events.callback("ended"), onerror=events.callback("error"))
    p.on_stream_start(events.callback("start"))
    page.open().player(p.id)
    _, _, announced = events.wait("mounted-start")
    assert announced.pop("latencyMs") >= 0 and announced.pop("bufferMs") > 0 and announced.pop("outputLatencyMs") >= 0
    assert announced == {"sample_rate": 16000, "channels": 1, "source": "pull"}
    page.wait_stats(mounted.id, lambda s: s["framesPlayed"] == 8000 and not s["streamActive"])

    p.start_stream(server.origin + "/vt/audio/t_get_mono", sample_rate=rate, channels=1)
    _, _, payload = events.wait("start")
    assert payload.pop("latencyMs") >= 0 and payload.pop("bufferMs") > 0 and payload.pop("outputLatencyMs") >= 0
    assert payload == {"sample_rate": rate, "channels": 1, "source": "pull"}
    time.sleep(0.4)
    tone = page.page.evaluate(TONE, p.id)
    _, _, ended = events.wait("ended", timeout=5)
    st = page.stats(p.id)
    # the end of a pulled stream says what was heard, as a pushed one does
    assert ended == {"source": "pull", "reason": "drained", "played": pytest.approx(seconds, abs=0.001), "underruns": 0}
    assert abs(tone["peakHz"] - 440) <= 25, tone  # pitch survives 22.05 kHz -> context rate
    assert st["framesReceived"] == st["framesPlayed"] == round(rate * seconds)
    assert st["underruns"] == 0 and not st["streamActive"]
    assert "error" not in events.names()


def test_pull_stream_post_sends_params_and_skips_the_wav_header(stream_page, wa, events, server):
    page = stream_page
    seen: list[dict] = []

    def generator(params):
        seen.append(dict(params))
        return vt_server.tone(float(params["frequency"]), float(params["seconds"]), 48000, 2)

    vt_server.register_audio("t_post", generator, sample_rate=48000, channels=2, wav_header=True)
    p = wa.web_audio(onended=events.callback("ended"), onerror=events.callback("error"))
    p.on_stream_start(events.callback("start"))
    page.open().player(p.id)
    p.start_stream(server.origin + "/vt/audio/t_post", params={"frequency": 880, "seconds": 1.0, "voice": "é"})
    events.wait("start")
    time.sleep(0.4)
    tone = page.page.evaluate(TONE, p.id)
    events.wait("ended", timeout=5)
    st = page.stats(p.id)
    assert seen == [{"frequency": 880, "seconds": 1.0, "voice": "é"}]
    assert abs(tone["peakHz"] - 880) <= 25, tone
    assert st["framesReceived"] == 48000  # the 44 header bytes are not audio
    assert st["underruns"] == 0

    # an endpoint that fails reaches the error callback
    p.start_stream(server.origin + "/vt/audio/no_such_stream")
    _, _, err = events.wait("error")
    assert "404" in err["error"]


# -- files -------------------------------------------------------------------------


def test_file_playback_commands_events_and_layout(page, wa, events, tmp_path, artifacts_dir):
    path = tmp_path / "tone.wav"
    write_wav(path, 2.0)
    other = tmp_path / "other.wav"
    write_wav(other, 3.0, freq=660)
    color = (0xE9, 0x1E, 0x63)
    p = wa.web_audio(
        src=str(path),
        minimal=False,
        show_wave=True,
        visualizer_type="spectrum",
        visualizer_color="#E91E63",
        onplay=events.callback("play"),
        onpause=events.callback("pause"),
        onended=events.callback("ended"),
        label="file player",
        block=True,
    )
    bar = wa.web_audio(src=str(other), label="minimal bar", width=220)
    broken = wa.web_audio(src="/vt/files/nope/missing.wav", onerror=events.callback("error"))
    page.open().player(p.id)
    box = page.page.locator(f'.vt-player[data-cid="{p.id}"]')
    assert box.locator(".vt-label").inner_text() == "file player"
    assert page.page.locator(f'.vt-player[data-cid="{bar.id}"]').evaluate("e => e.classList.contains('vt-minimal')")
    root_w = page.page.locator("#vt-root").evaluate("e => e.clientWidth")
    assert abs(box.bounding_box()["width"] - (root_w - 32)) <= 2  # block: the whole row (less padding)
    assert page.page.locator(f'.vt-player[data-cid="{bar.id}"]').bounding_box()["width"] == pytest.approx(220, abs=1)

    p.play()
    _, _, played = events.wait("play")
    assert played["currentTime"] == pytest.approx(0, abs=0.05)
    page.wait_stats(p.id, lambda s: s["file"]["currentTime"] > 0.4)
    drawn = page.page.evaluate(CANVAS_INK, [p.id, color])
    assert drawn["pixels"] > 50, drawn  # spectrum bars while the tone plays
    tone = page.page.evaluate(TONE, p.id)
    assert abs(tone["peakHz"] - 440) <= 25, tone

    p.volume = 0.25
    page.wait_stats(p.id, lambda s: s["volume"] == pytest.approx(0.25))
    assert box.locator(".vt-volume").input_value() == "0.25"
    time.sleep(0.15)  # let the analyser window pass the change
    quiet = page.page.evaluate(TONE, p.id)
    assert quiet["rms"] < tone["rms"] * 0.5, (quiet, tone)

    p.pause()
    _, _, paused = events.wait("pause")
    assert paused["currentTime"] > 0.4
    p.seek(1.5)
    page.wait_stats(p.id, lambda s: abs(s["file"]["currentTime"] - 1.5) < 0.05)
    page.page.screenshot(path=str(artifacts_dir / "player.png"))
    p.play()
    _, _, ended = events.wait("ended", timeout=5)
    assert ended["currentTime"] == pytest.approx(2.0, abs=0.05)
    assert events.names().count("pause") == 1  # the end is reported as "ended" only

    # a new source replaces the old one in place
    element = box.element_handle()
    p.src = str(other)
    page.wait_stats(p.id, lambda s: s["file"]["duration"] == pytest.approx(3.0, abs=0.05))
    p.label = "renamed"
    page.page.wait_for_function(
        "cid => document.querySelector(`.vt-player[data-cid='${cid}'] .vt-label`).textContent === 'renamed'", arg=p.id
    )
    assert element.evaluate("e => e.isConnected")

    broken.play()
    _, _, err = events.wait("error")
    assert "missing.wav" in err["error"]
    assert not any("pageerror" in e for e in page.errors), page.errors


def test_invisible_player_renders_nothing_but_plays(page, wa, events, tmp_path):
    path = tmp_path / "bg.wav"
    write_wav(path, 1.0)
    p = wa.web_audio(src=str(path), visible=False, show_wave=True, onplay=events.callback("play"))
    page.open().player(p.id)
    host = page.page.locator(f'.vt-component[data-cid="{p.id}"]')
    assert host.locator("*").count() == 0
    assert not host.is_visible()
    p.play()
    events.wait("play")
    st = page.wait_stats(p.id, lambda s: s["file"]["currentTime"] > 0.3)
    assert not st["file"]["paused"]
    assert page.page.evaluate(TONE, p.id)["rms"] > 0.05


# -- page life ---------------------------------------------------------------------


# Chromium started by Playwright lets Web Audio start without a gesture whatever
# --autoplay-policy says, so the page gets the policy's behaviour from this
# script: a context stays suspended, and resume() only works within a second
# of a click or key press (a pending promise otherwise, as Chromium does when
# it blocks).
GESTURE_POLICY = """(() => {
  const Base = window.AudioContext;
  const resume = Base.prototype.resume;
  const suspend = Base.prototype.suspend;
  let gestureUntil = -1;
  for (const type of ["click", "keydown"]) {
    window.addEventListener(type, (e) => { if (e.isTrusted) gestureUntil = performance.now() + 1000; }, true);
  }
  const allowed = () => performance.now() < gestureUntil;
  window.AudioContext = class extends Base {
    constructor(options) {
      super(options);
      this.unlocked = false;
      const hold = () => { if (this.state === "running" && !this.unlocked) suspend.call(this); };
      this.addEventListener("statechange", hold);
      hold();
    }
    resume() {
      if (!allowed()) return new Promise(() => {});
      this.unlocked = true;
      return resume.call(this);
    }
  };
})();"""


def test_blocked_autoplay_shows_unlock_button_and_buffers_until_clicked(engine_page, wa, events):
    page = engine_page()
    page.page.add_init_script(GESTURE_POLICY)
    page.open()
    p = wa.web_audio()
    p.on_stream_start(events.callback("start"))
    page.player(p.id)
    button = page.page.locator("#vt-unlock")
    button.wait_for(state="visible", timeout=3000)
    assert "enable sound" in button.inner_text().lower()

    p.send_audio_metadata(16000, 1)
    p.stream_binary(sine(500, 0.5, 16000, channels=1).tobytes())
    st = page.wait_stats(p.id, lambda s: s["framesWritten"] == 8000)  # kept while suspended
    assert st["contextState"] == "suspended" and st["framesPlayed"] == 0
    time.sleep(0.3)
    assert "start" not in events.names()

    button.click()
    events.wait("start", timeout=5)
    button.wait_for(state="hidden", timeout=3000)
    st = page.wait_stats(p.id, lambda s: s["framesPlayed"] >= 7999)
    assert st["contextState"] == "running" and st["underruns"] == 0


# Some browsers refuse a media element's play() a while after the last gesture: this makes chromium refuse
# it outside a click's dispatch (muted plays stay allowed, as in browsers), and counts the refusals.
MEDIA_GESTURE_POLICY = """(() => {
  let gesture = false;
  window.addEventListener("click", (e) => { gesture = e.isTrusted; setTimeout(() => { gesture = false; }); }, true);
  const play = HTMLMediaElement.prototype.play;
  window.vtRefusedPlays = 0;
  HTMLMediaElement.prototype.play = function () {
    if (this.muted || gesture) return play.call(this);
    window.vtRefusedPlays++;
    return Promise.reject(new DOMException("play() wants a user gesture", "NotAllowedError"));
  };
})();"""


def test_a_refused_play_is_reported_once_and_waits_for_a_click(page, wa, events, tmp_path):
    page.page.add_init_script(MEDIA_GESTURE_POLICY)
    write_wav(tmp_path / "tone.wav", 0.4)
    p = wa.web_audio(src=str(tmp_path / "tone.wav"), minimal=False, onerror=events.callback("error"),
                     onended=events.callback("ended"))
    page.open().player(p.id)
    unlock, play = page.page.locator("#vt-unlock"), page.page.locator(f'.vt-player[data-cid="{p.id}"] .vt-play')
    for k, click in enumerate([unlock, play], 1):  # the unlock button, then the player's own: either plays it
        p.play()
        _, _, err = events.wait("error", count=k)
        assert err["name"] == "NotAllowedError" and "user gesture" in err["error"], err
        # refused once, and left so (a player retrying at once is refused hundreds of times by now)
        assert page.page.evaluate("() => window.vtRefusedPlays") == k
        unlock.wait_for(state="visible", timeout=3000)
        assert play.get_attribute("aria-label") == "Play"
        click.click()
        events.wait("ended", count=k)
        unlock.wait_for(state="hidden", timeout=3000)
    assert events.names().count("error") == 2


# The stall policy under a synthetic clock, looked at every 250 ms: runs of (looks, clock from,
# step per look, playing, has data); returns what it said other than "ok".
STALL_LOOKS = """async (runs) => {
  const { StallWatch } = await import("/vt/static/stall-watch.js");
  const w = new StallWatch({ withDataMs: 2000, withoutDataMs: 8000 });
  const said = [];
  let now = 0;
  for (const [looks, from, step, playing, hasData] of runs) {
    for (let i = 0; i < looks; i++, now += 250) said.push(w.look({ now, time: from + i * step, playing, hasData }));
  }
  return said.filter((v) => v !== "ok");
}"""


@pytest.mark.parametrize("runs, said", [
    ([(40, 0, 0.25, 1, 1), (40, 1, 0, 0, 1)], []),  # moves; then paused or ended
    ([(31, 0, 0, 1, 0)], []),  # waiting for a slow server, not long enough yet
    ([(34, 0, 0, 1, 0)], ["reload"]),
    ([(4, 0, 0.25, 1, 1), (18, 1, 0, 1, 1)], ["reload", "fail"]),  # stands after the reload too
    ([(10, 1, 0, 1, 1), (4, 1, 0.25, 1, 1), (10, 2, 0, 1, 1)], ["reload", "reload"]),  # went on in between
    ([(10, 1, 0, 1, 1), (1, 0, 0, 1, 1), (10, 1, 0, 1, 1)], ["reload", "fail"]),  # 0 before the reload's seek
])
def test_a_file_whose_clock_stands_is_reloaded_once_then_reported(page, runs, said):
    assert page.open().page.evaluate(STALL_LOOKS, runs) == said


def test_page_reconnects_and_remounts(open_page, wa):
    s = vt_server.start("127.0.0.1", 0)
    port = s.port
    try:
        page = open_page(url=s.url).open()
        kept = wa.web_audio(label="kept")
        page.player(kept.id)
        s.stop()
        page.page.wait_for_function("() => window.vtReady === false", timeout=5000)
        added = wa.web_audio(label="added while away")
        s = vt_server.start("127.0.0.1", port, token=s.token)  # the page keeps its cookie
        page.page.wait_for_function("() => window.vtReady === true", timeout=10000)
        page.player(added.id)
        assert page.page.evaluate("Object.keys(window.vtPlayers)") == [kept.id, added.id]
        vt_core.getcm().remove_component(kept.id)
        page.page.wait_for_function("cid => !window.vtPlayers[cid]", arg=kept.id)
        assert page.page.locator(f'[data-cid="{kept.id}"]').count() == 0
    finally:
        s.stop()
