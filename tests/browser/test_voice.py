"""Utterances and turns on the push path, in headless chromium through the real module.

A voice app writes one utterance after another, interrupts them, and writes
faster than real time; the page must end each stream, say what was heard, and
lose nothing.  What the page played is measured independently of the player's
own counters by a probe on the player's output (a worklet of the test's own
that records the levels it sees, sample by sample).
"""

from __future__ import annotations

import time

import numpy as np
import pytest

from vt_core import getcm
from vt_core.bus import bus

from .test_player import join, paced, start_thread

pytestmark = pytest.mark.browser


@pytest.fixture
def page(stream_page):
    """Every test here runs once per stream engine."""
    return stream_page

# A probe on the player's output: runs of equal level (rounded to 1/64), so a
# test can tell how many samples carried audio and in which order the levels came.
# Its worklet comes from a blob: URL, which the page's CSP refuses: tests that use
# it are marked bypass_csp.
PROBE = """async cid => {
  const p = window.vtPlayers[cid];
  const ctx = p.gain.context;
  if (!window.__probeLoaded) {
    const src = `registerProcessor("test-level-probe", class extends AudioWorkletProcessor {
      constructor() {
        super();
        this.runs = [];
        this.port.onmessage = () => this.port.postMessage({runs: this.runs, rate: sampleRate});
      }
      process(inputs) {
        const x = inputs[0][0];
        if (!x) return true;
        const runs = this.runs;
        for (let i = 0; i < x.length; i++) {
          const level = Math.round(x[i] * 64);
          const last = runs[runs.length - 1];
          if (last && last[0] === level) last[1]++;
          else runs.push([level, 1]);
        }
        return true;
      }
    });`;
    await ctx.audioWorklet.addModule(URL.createObjectURL(new Blob([src], {type: "text/javascript"})));
    window.__probeLoaded = true;
  }
  const node = new AudioWorkletNode(ctx, "test-level-probe", {numberOfInputs: 1, numberOfOutputs: 1});
  p.gain.connect(node);
  node.connect(ctx.destination);
  window.__probe = node;
}"""

# Count the player's animation frames from now on.
COUNT_TICKS = """cid => {
  const p = window.vtPlayers[cid];
  const tick = p.tick.bind(p);
  window.__ticks = 0;
  p.tick = () => { window.__ticks++; tick(); };
}"""

PROBE_READ = """() => new Promise((resolve) => {
  window.__probe.port.onmessage = (e) => resolve(e.data);
  window.__probe.port.postMessage(0);
})"""


class Probe:
    def __init__(self, page, cid: str) -> None:
        self.page = page
        page.page.evaluate(PROBE, cid)

    def read(self) -> tuple[list[tuple[int, int]], int]:
        got = self.page.page.evaluate(PROBE_READ)
        return [tuple(r) for r in got["runs"]], got["rate"]

    def heard_seconds(self) -> float:
        runs, rate = self.read()
        return sum(n for level, n in runs if level != 0) / rate

    def levels(self, min_run: int = 100) -> list[int]:
        """The levels heard for at least min_run samples, in order, repeats merged."""
        out: list[int] = []
        for level, n in self.read()[0]:
            if level and n >= min_run and (not out or out[-1] != level):
                out.append(level)
        return out


def dc(level64: int, seconds: float, rate: int, channels: int = 1) -> bytes:
    """A constant level of level64/64 full scale: survives resampling unchanged."""
    return np.full(round(seconds * rate) * channels, level64 * 512, dtype=np.int16).tobytes()


def tone(seconds: float, rate: int, channels: int = 1, freq: float = 330.0) -> bytes:
    n = round(seconds * rate)
    mono = (np.sin(2 * np.pi * freq * np.arange(n) / rate) * 0.3 * 32767).astype(np.int16)
    return (np.repeat(mono, channels) if channels > 1 else mono).tobytes()


def chunked(pcm: bytes, size: int) -> list[bytes]:
    return [pcm[i : i + size] for i in range(0, len(pcm), size)]


def speak(player, pcm: bytes, rate: int, channels: int, chunk: int = 2048) -> None:
    """One utterance as an engine writes it: a new writer, configure, real-time pace, finish."""
    w = player.stream_writer()
    w.configure(rate, channels)
    paced(chunked(pcm, chunk), rate * channels * 2, w.write)
    w.finish()


# -- the end of pushed speech ------------------------------------------------------


def test_each_utterance_is_a_stream_that_ends_after_its_last_sample(page, wa, events):
    """22.05 kHz mono: every sample plays (the resampler's last step too), then the stream ends."""
    fresh = wa.web_audio(jitterMs=250)  # never streams: the buffer a new stream starts with
    p = wa.web_audio(show_wave=True, onended=events.callback("ended"), jitterMs=250, streamEndMs=250)
    p.on_stream_start(events.callback("start"))
    page.open().player(p.id)
    rate = 22050
    total = 0
    for k, seconds in enumerate((0.8, 1.3, 0.55)):
        pcm = tone(seconds, rate, freq=200 + 100 * k)
        speak(p, pcm, rate, 1)
        total += len(pcm) // 2
        _, _, ended = events.wait("ended", k + 1)
        st = page.stats(p.id)
        assert ended == {"source": "push", "reason": "drained", "lost": 0, "gaps": [], "underruns": 0,
                         "played": pytest.approx(len(pcm) / 2 / rate, abs=0.001)}, st
        assert st["state"] == "idle" and not st["streamActive"], st
        assert st["jitterSeconds"] == page.stats(fresh.id)["jitterSeconds"] >= 0.25, st  # a new stream's size again
        assert st["framesPlayed"] == st["framesWritten"] == total  # nothing left behind mid-sample
    assert events.names().count("start") == 3
    assert page.stats(p.id)["streams"] == 3

    # idle after the end: no silence counted, and after a short tail no frame drawn
    a = page.stats(p.id)
    time.sleep(0.8)
    b = page.stats(p.id)
    assert b["starvedFrames"] == a["starvedFrames"] and b["framesPlayed"] == a["framesPlayed"]
    page.page.evaluate(COUNT_TICKS, p.id)
    time.sleep(0.5)
    assert page.page.evaluate("() => window.__ticks") == 0
    p.stream_binary(tone(0.2, rate))  # the next frame wakes the page again
    events.wait("ended", 4)
    assert page.page.evaluate("() => window.__ticks") > 5


def test_a_gap_shorter_than_the_hold_off_continues_the_stream(page, wa, events):
    p = wa.web_audio(onended=events.callback("ended"), streamEndMs=1000)
    p.on_stream_start(events.callback("start"))
    page.open().player(p.id)
    rate = 16000
    p.close_stream()
    p.send_audio_metadata(rate, 1)
    p.stream_binary(tone(0.5, rate))
    page.wait_stats(p.id, lambda s: s["dryEvents"] == 1)
    time.sleep(0.4)  # dry, but within the hold-off: the stream is still open
    assert "ended" not in events.names() and page.stats(p.id)["streamActive"]
    p.stream_binary(tone(0.3, rate))
    _, _, ended = events.wait("ended", timeout=8)
    assert ended == {"source": "push", "reason": "drained", "lost": 0, "gaps": [], "played": pytest.approx(0.8, abs=0.001), "underruns": 1}, \
        page.stats(p.id)
    assert events.names().count("start") == 1


# -- interruptions ------------------------------------------------------------------


@pytest.mark.bypass_csp
@pytest.mark.parametrize("how", ["close_stream", "stop", "mute"])
def test_an_interruption_reports_what_was_heard_and_what_was_dropped(page, wa, events, how):
    p = wa.web_audio(onended=events.callback("ended"))
    p.on_stream_start(events.callback("start"))
    page.open().player(p.id)
    probe = Probe(page, p.id)
    rate = 24000
    w = p.stream_writer()
    w.configure(rate, 1)
    for part in chunked(dc(16, 3.0, rate), 8000):  # 3 s, far faster than real time
        w.write(part)
    events.wait("start")
    time.sleep(0.7)
    {"close_stream": p.close_stream, "stop": p.stop, "mute": lambda: setattr(w, "mute", True)}[how]()
    _, _, ended = events.wait("ended")
    time.sleep(0.1)
    heard = probe.heard_seconds()
    _, ctx_rate = probe.read()
    print(f"\n{how}: played {ended['played']} s, the output carried {heard:.4f} s, dropped {ended['dropped']} s")
    assert set(ended) == {"source", "reason", "played", "lost", "gaps", "dropped", "underruns"}
    assert ended["source"] == "push" and ended["reason"] == "closed" and ended["underruns"] == 0
    assert 0.5 < ended["played"] < 2.5
    assert abs(ended["played"] - heard) <= 128 / ctx_rate + 0.001  # within one render quantum
    assert ended["played"] + ended["dropped"] == pytest.approx(3.0, abs=0.002)
    st = page.stats(p.id)
    assert st["state"] == "idle" and st["buffered"] == 0


# -- the jitter buffer ---------------------------------------------------------------


# (one engine: both play from the ring whose lessons this tests; each engine's gap count is the hold-off test's)
@pytest.mark.parametrize("stream_engine", ["worklet"])
def test_the_jitter_buffer_shrinks_after_steady_streams_and_grows_at_a_late_frame(page, wa, events):
    """What one stream teaches the page's next streams, on any player; jitterMs stays a floor."""
    p = wa.web_audio(onended=events.callback("ended"), streamEndMs=1000)
    p.on_stream_start(events.callback("start"))
    other = wa.web_audio(onended=events.callback("other-ended"), jitterMs=120)
    other.on_stream_start(events.callback("other-start"))
    fixed = wa.web_audio(onended=events.callback("fixed-ended"), jitterMs=120, jitterAdaptive=False)
    fixed.on_stream_start(events.callback("fixed-start"))
    page.open().player(other.id)
    rate = 16000

    def burst(player, seconds: float) -> None:  # far ahead of real time: no frame is ever late
        player.close_stream()
        player.send_audio_metadata(rate, 1)
        for part in chunked(tone(seconds, rate), 3200):
            player.stream_binary(part)

    first = page.stats(p.id)
    assert first["engine"] and not first["engineActive"]  # no engine before the first stream
    burst(p, 2.0)
    _, _, start1 = events.wait("start")
    events.wait("ended")
    burst(p, 0.5)
    _, _, start2 = events.wait("start", 2)
    events.wait("ended", 2)
    print(f"\nbuffer: first stream {start1['bufferMs']} ms, after 2 s of steady audio {start2['bufferMs']} ms")
    assert start1["bufferMs"] - start2["bufferMs"] > 100  # what the page expected at first was far too much

    # another player on the page starts from the same lesson, but never below its floor
    burst(other, 0.3)
    _, _, start3 = events.wait("other-start")
    assert start3["bufferMs"] == pytest.approx(120, abs=0.2)

    # a frame 0.6 s late (inside the hold-off): an audible gap, and the next stream waits longer
    p.close_stream()
    p.send_audio_metadata(rate, 1)
    p.stream_binary(tone(0.2, rate))
    time.sleep(0.8)
    p.stream_binary(tone(0.2, rate))
    _, _, ended = events.wait("ended", 3)
    assert ended["underruns"] == 1
    st = page.stats(p.id)
    assert st["lateFrames"] >= 1 and st["arrivalJitterSeconds"] > 0.3, st
    burst(p, 0.3)
    _, _, start4 = events.wait("start", 4)
    assert start4["bufferMs"] > 300
    burst(fixed, 0.3)  # a fixed buffer does not listen
    _, _, start5 = events.wait("fixed-start")
    assert start5["bufferMs"] == pytest.approx(120, abs=0.2)


def test_arrivals_are_stamped_on_a_clock_that_moves_with_real_time(open_page, wa):
    """The page's context clock reads to the millisecond, not in steps of the output's callback.

    ctx.currentTime moves in steps (10 ms in chromium): a frame stamped with it
    looks up to a step late, and the jitter buffer would hold that for jitter.
    """
    wa.web_audio()
    page = open_page().open()
    got = page.page.evaluate("""async () => {
      const { engine } = await import("/vt/static/audio-engine.js");
      await engine.ready;
      engine.requestStart();
      while (engine.ctx.state !== "running") await new Promise((r) => setTimeout(r, 10));
      const rows = [];
      const t0 = performance.now();
      while (performance.now() - t0 < 600) {
        const p = performance.now();
        const c = engine.ctx.currentTime; // read first: it may move on while contextNow runs
        rows.push([p / 1000, engine.contextNow(p), c]);
        await new Promise((r) => setTimeout(r, 1));
      }
      return rows;
    }""")
    p, now, ct = (np.array(col) for col in zip(*got))
    steps = np.diff(ct)
    step = steps[steps > 0].max()
    print(f"\n{len(p)} readings; currentTime steps up to {step * 1000:.1f} ms")
    assert (now >= ct).all() and np.all(np.diff(now) >= 0)  # never behind the context, never back
    settled = slice(len(p) // 3, None)  # the pairing has seen a few steps
    residual = (now - p)[settled]
    # moves with performance.now() to within the clocks' pairing, while currentTime lags by up to a step
    assert residual.max() - residual.min() < 0.003, residual.max() - residual.min()


def test_an_idle_player_holds_no_engine(page, wa, events):
    """The engine comes with the first stream and goes when the player has been idle a moment."""
    p = wa.web_audio(onended=events.callback("ended"))
    page.open().player(p.id)
    assert not page.stats(p.id)["engineActive"]
    rate = 16000
    for k in range(2):
        p.close_stream()
        p.send_audio_metadata(rate, 1)
        p.stream_binary(tone(0.3, rate))
        assert page.wait_stats(p.id, lambda s: s["engineActive"] and s["framesPlayed"] > 0)
        events.wait("ended", k + 1)
        st = page.wait_stats(p.id, lambda s: not s["engineActive"], timeout=5)
        # the counters outlive the engines that kept them
        assert st["streams"] == k + 1 and st["framesPlayed"] == st["framesWritten"] == 4800 * (k + 1), st
        assert st["state"] == "idle" and st["underruns"] == 0


# -- seams ---------------------------------------------------------------------------


@pytest.mark.bypass_csp
def test_seams_and_a_pause_neither_repeat_nor_lose_a_sample(page, wa, events):
    """A constant level through every seam (messages, the engine's blocks, a pause and its resume).

    A gap at a seam shows as silence inside the stream, an overlap as a doubled
    level, a replayed or skipped stretch as more or less audio than was written.
    """
    p = wa.web_audio(onended=events.callback("ended"))
    p.on_stream_start(events.callback("start"))
    page.open().player(p.id)
    probe = Probe(page, p.id)
    rate = 16000  # resampled to the context rate: a constant level stays exact
    p.close_stream()
    p.send_audio_metadata(rate, 1)
    for part in chunked(dc(16, 2.0, rate), 3000):
        p.stream_binary(part)
    events.wait("start")
    time.sleep(0.5)
    p.pause()
    page.wait_stats(p.id, lambda s: s["state"] == "paused")
    time.sleep(0.3)
    heard_at_pause = probe.heard_seconds()
    time.sleep(0.3)
    assert probe.heard_seconds() == heard_at_pause  # nothing plays while paused
    assert 0.3 < heard_at_pause < 1.5
    p.play()
    _, _, ended = events.wait("ended")
    runs, ctx_rate = probe.read()
    loud = [(level, n) for level, n in runs if level]
    print(f"\nseams: {len(loud)} runs of audio, {sum(n for _, n in loud)} samples at {ctx_rate} Hz")
    assert {level for level, _ in loud} == {16}
    assert len(loud) == 2  # one silence inside the stream: the pause
    assert sum(n for _, n in loud) / ctx_rate == pytest.approx(2.0, abs=0.0005)
    assert ended == {"source": "push", "reason": "drained", "lost": 0, "gaps": [], "played": pytest.approx(2.0, abs=0.001), "underruns": 0}


# -- nothing pushed is lost ------------------------------------------------------------


@pytest.mark.bypass_csp
def test_audio_beyond_the_ring_waits_in_order(page, wa, events):
    """A writer far ahead of real time: the ring (1 s here) fills, the rest waits, all of it plays in order."""
    p = wa.web_audio(onended=events.callback("ended"), onerror=events.callback("error"), ringSeconds=1)
    page.open().player(p.id)
    probe = Probe(page, p.id)
    rate = 16000
    p.close_stream()
    p.send_audio_metadata(rate, 1)  # straight to the page: the writer's running gain would change the levels
    for level in range(1, 9):  # 8 segments of 0.25 s, each at its own level
        p.stream_binary(dc(level * 4, 0.25, rate))
    st = page.wait_stats(p.id, lambda s: s["framesWritten"] + s["backlogFrames"] == 8 * 4000)
    assert st["backlogFrames"] > 0 and st["droppedFrames"] == 0, st  # the ring could not hold it all
    _, _, ended = events.wait("ended", timeout=10)
    assert ended == {"source": "push", "reason": "drained", "lost": 0, "gaps": [], "played": pytest.approx(2.0, abs=0.001), "underruns": 0}
    assert probe.levels() == [level * 4 for level in range(1, 9)]
    assert probe.heard_seconds() == pytest.approx(2.0, abs=0.003)
    assert "error" not in events.names()


def test_past_the_backlog_cap_an_error_says_how_much_was_dropped(page, wa, events):
    p = wa.web_audio(onended=events.callback("ended"), onerror=events.callback("error"), ringSeconds=1, backlogMB=0.05)
    page.open().player(p.id)
    rate = 16000
    p.close_stream()
    p.send_audio_metadata(rate, 1)
    for part in chunked(tone(5.0, rate), 4096):  # 5 s at once: 1 s ring + 1.6 s backlog
        p.stream_binary(part)
    _, _, ended = events.wait("ended", timeout=10)
    errors = [payload for name, _, payload in events.items if name == "error"]
    assert errors, events.names()
    last = errors[-1]
    assert "dropped" in last["error"] and "MiB" in last["error"]
    assert 1.5 < last["dropped"] < 3.0
    assert ended["played"] + last["dropped"] == pytest.approx(5.0, abs=0.002)  # every second accounted for


def test_a_page_that_connects_mid_stream_plays_what_follows(engine_page, wa, events, monkeypatch):
    """A page that opens while a push stream goes on plays every frame published after it joined.

    Frames published while no page is connected are not kept (a live stream is live), so what
    the page can play starts where its socket joined the host's fan-out.  That point is read
    from the host (the audio published when the page's component snapshot was taken, with the
    bus held), not guessed from how long a page takes to open: on a busy machine that is
    seconds.  The producer goes on for a second after the page joined, however late that is.
    """
    rate = 16000
    published = [0]  # bytes of audio published on the bus
    joined: list[int] = []  # published[0] when a page joined

    def count(message) -> None:
        if message[0] == "binary":
            published[0] += len(message[1])

    cm = getcm()
    snapshot = cm.snapshot

    def snapshot_at_join():
        joined.append(published[0])  # under the bus lock: no frame is published meanwhile
        return snapshot()

    monkeypatch.setattr(cm, "snapshot", snapshot_at_join)
    unsubscribe = bus.subscribe(count)
    try:
        target = wa.web_audio(label="speaking", onended=events.callback("ended"), jitterMs=300)
        other = wa.web_audio(label="created later")
        target.on_stream_start(events.callback("start"))
        target.close_stream()  # the frames go to "speaking", not to the newest player
        pcm = tone(30.0, rate)
        w = target.stream_writer()
        w.configure(rate, 1)

        def produce() -> None:
            """Real-time pace until a second of audio has followed the page's join."""
            t0 = time.monotonic()
            sent = 0
            for chunk in chunked(pcm, 2048):
                if joined and sent - joined[0] >= rate * 2:
                    break
                delay = t0 + sent / (rate * 2) - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
                w.write(chunk)
                sent += len(chunk)

        producer = start_thread(produce)
        while published[0] < rate * 2:  # a second of the stream has gone by
            time.sleep(0.01)
        page = engine_page()
        page.open().player(target.id)
        _, _, started = events.wait("start")
        assert started["sample_rate"] == rate and started["channels"] == 1
        join(producer)
        w.finish()
        _, _, ended = events.wait("ended", timeout=8)
    finally:
        unsubscribe()
    assert len(joined) == 1, joined  # one connection, never dropped
    assert rate * 2 <= joined[0] < published[0] - rate, (joined, published)  # mid-stream
    after = (published[0] - joined[0]) // 2  # frames the page could receive
    print(f"\n{page.engine}: joined {joined[0] / 2 / rate:.3f} s into the stream; {after / rate:.3f} s followed")
    st = page.stats(target.id)
    assert st["framesReceived"] == after, (st["framesReceived"], after)  # every frame that followed
    assert ended["played"] == pytest.approx(after / rate, abs=0.001) and ended["underruns"] == 0, ended
    assert page.stats(other.id)["framesReceived"] == 0
    assert not page.errors, page.errors


def test_a_page_that_opens_before_any_stream_plays_with_the_newest_player(page, wa, events):
    """Without any stream command the newest player is the target (the rule the host keeps too)."""
    first = wa.web_audio()
    second = wa.web_audio(onended=events.callback("ended"))
    page.open().player(second.id)
    second.send_audio_metadata(8000, 1)
    first.stream_binary(tone(0.3, 8000))
    _, _, ended = events.wait("ended")
    assert ended["played"] == pytest.approx(0.3, abs=0.001)
    assert page.stats(first.id)["framesReceived"] == 0
