"""The live speech path in headless chromium: utterance latency and the page's CPU cost.

Utterances: on one player, N times in a row: a new writer, configure, write 1-3 s
of audio at real-time pace in engine-sized chunks, finish(), wait for the
player's ended callback.  For each utterance:

  start     first write() called -> first sample played in the page
  pause     the writer's one-time start-up pause (inside the first write)
  start-pause
  end       last sample played in the page -> the Python ended callback runs
            (includes the stream-end hold-off, streamEndMs)

Page and Python share the machine's clock (the page reports epoch times:
performance.timeOrigin + the output timestamp of the sample).

CPU: renderer process CPU time over wall time (DevTools Performance.getMetrics,
"ProcessTime"), in % of one core: an idle player with its visualiser, during a
48 kHz stereo real-time push with the visualiser drawing, and idle again after
the stream ended.

    PYTHONPATH=python .venv/bin/python bench/bench_voice.py [--utterances 20] [--rate 48000] [--channels 2]
"""

from __future__ import annotations

import argparse
import random
import shutil
import statistics
import sys
import threading
import time

import numpy as np

from vt_core import server as vt_server

from veltrane.vt_ui.web_audio import web_audio

CHROMIUM_ARGS = ["--headless", "--no-sandbox", "--disable-gpu", "--autoplay-policy=no-user-gesture-required"]


def p95(values: list[float]) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, round(0.95 * (len(ordered) - 1)))]


def speech_like(seconds: float, rate: int, channels: int, seed: int) -> bytes:
    """A voice-like test signal: a 150 Hz buzz with a syllable envelope (never digital silence)."""
    n = round(seconds * rate)
    t = np.arange(n) / rate
    env = 0.3 + 0.7 * np.abs(np.sin(np.pi * 4 * t + seed))
    mono = (np.sign(np.sin(2 * np.pi * 150 * t)) * 0.2 * env * 32767).astype(np.int16)
    return np.repeat(mono, channels).tobytes() if channels > 1 else mono.tobytes()


def paced_write(writer, pcm: bytes, bytes_per_second: float, chunk: int) -> tuple[float, float]:
    """Write pcm at real-time pace; returns (epoch time of the first call, its duration)."""
    t0 = time.monotonic()
    first_at = first_took = 0.0
    for i in range(0, len(pcm), chunk):
        delay = t0 + i / bytes_per_second - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        if i == 0:
            first_at = time.time()
            began = time.monotonic()
            writer.write(pcm[i : i + chunk])
            first_took = time.monotonic() - began
        else:
            writer.write(pcm[i : i + chunk])
    return first_at, first_took


class Bench:
    def __init__(self, page, player) -> None:
        self.page = page
        self.player = player
        self.cdp = page.context.new_cdp_session(page)
        self.cdp.send("Performance.enable")
        self.cond = threading.Condition()
        self.ended: list[tuple[float, dict]] = []
        player.on_ended(self.on_ended)

    def on_ended(self, payload=None) -> None:
        with self.cond:
            self.ended.append((time.time(), payload))
            self.cond.notify_all()

    def wait_ended(self, count: int, timeout: float = 15.0) -> tuple[float, dict]:
        with self.cond:
            if not self.cond.wait_for(lambda: len(self.ended) >= count, timeout):
                raise RuntimeError("no ended event")
            return self.ended[count - 1]

    def stats(self) -> dict:
        return self.page.evaluate("cid => window.vtPlayers[cid].stats()", self.player.id)

    def cpu(self, seconds: float) -> float:
        """Renderer CPU over the next ``seconds``, in % of one core."""
        def process_time() -> float:
            return next(m["value"] for m in self.cdp.send("Performance.getMetrics")["metrics"] if m["name"] == "ProcessTime")

        a, t = process_time(), time.monotonic()
        time.sleep(seconds)
        return (process_time() - a) / (time.monotonic() - t) * 100


def run_utterances(bench: Bench, n: int, rate: int, channels: int, chunk_frames: int) -> None:
    rng = random.Random(5)
    rows = []
    base = len(bench.ended)
    for k in range(n):
        seconds = rng.uniform(1.0, 3.0)
        pcm = speech_like(seconds, rate, channels, k)
        writer = bench.player.stream_writer()
        writer.configure(rate, channels)
        first_at, pause = paced_write(writer, pcm, rate * channels * 2, chunk_frames * channels * 2)
        writer.finish()
        called_at, payload = bench.wait_ended(base + k + 1)
        st = bench.stats()
        heard_at = (st["lastStartEpochMs"] or 0) / 1000
        last_at = (st["lastSampleAt"] or 0) / 1000
        rows.append({
            "seconds": seconds,
            "start": (heard_at - first_at) * 1000,
            "pause": pause * 1000,
            "end": (called_at - last_at) * 1000,
            "played": payload.get("played"),
            "underruns": payload.get("underruns"),
            "browser": st["lastStartLatencyMs"],
        })
    print(f"\n{n} utterances of 1-3 s at {rate} Hz x {channels}, {chunk_frames}-frame chunks, real-time pace:")
    print(f"{'':>8} {'start':>8} {'pause':>8} {'start-pause':>12} {'frame->audio':>13} {'end':>8}")
    for name, fn in (("median", statistics.median), ("p95", p95), ("max", max)):
        print(f"{name:>8} {fn([r['start'] for r in rows]):8.1f} {fn([r['pause'] for r in rows]):8.1f} "
              f"{fn([r['start'] - r['pause'] for r in rows]):12.1f} {fn([r['browser'] for r in rows]):13.1f} "
              f"{fn([r['end'] for r in rows]):8.1f}   (ms)")
    off = [abs(r["played"] - round(r["seconds"] * rate) / rate) * 1000 for r in rows]
    print(f"underruns {sum(r['underruns'] for r in rows)}; played vs written: max {max(off):.2f} ms off; "
          f"stream starts {bench.stats()['streamStarts'] - base} for {n} utterances")


def run_cpu(bench: Bench, seconds: float = 6.0) -> None:
    time.sleep(2.0)  # let the page settle after loading
    idle = bench.cpu(4.0)
    rate, channels = 48000, 2
    pcm = speech_like(seconds + 2, rate, channels, 0)
    writer = bench.player.stream_writer()
    writer.configure(rate, channels)
    before = len(bench.ended)
    t = threading.Thread(target=paced_write, args=(writer, pcm, rate * 4, 4096), daemon=True)
    t.start()
    time.sleep(1.0)
    pushing = bench.cpu(seconds)
    t.join()
    writer.finish()
    bench.wait_ended(before + 1)
    time.sleep(1.0)
    after = bench.cpu(4.0)
    print(f"\nrenderer CPU (% of one core): idle player {idle:.1f}; 48 kHz stereo push with the visualiser "
          f"{pushing:.1f}; idle after the stream ended {after:.1f}")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--utterances", type=int, default=20)
    ap.add_argument("--rate", type=int, default=48000)
    ap.add_argument("--channels", type=int, default=2)
    ap.add_argument("--chunk-frames", type=int, default=1024, help="frames per write() (an engine's chunk)")
    ap.add_argument("--jitter-ms", type=float, default=None)
    args = ap.parse_args()
    chromium = shutil.which("chromium")
    if not chromium:
        print("bench_voice: chromium is not installed; skipped")
        return 0
    from playwright.sync_api import sync_playwright

    srv = vt_server.start("127.0.0.1", 0)
    options = {} if args.jitter_ms is None else {"jitterMs": args.jitter_ms}
    player = web_audio(show_wave=True, minimal=False, label="bench", **options)
    try:
        with sync_playwright() as pw:
            browser = pw.chromium.launch(executable_path=chromium, args=CHROMIUM_ARGS)
            page = browser.new_page()
            page.goto(srv.url)
            page.wait_for_function("() => window.vtReady === true")
            page.wait_for_function("cid => !!window.vtPlayers[cid]", arg=player.id)
            bench = Bench(page, player)
            run_cpu(bench)
            run_utterances(bench, args.utterances, args.rate, args.channels, args.chunk_frames)
            browser.close()
    finally:
        srv.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
