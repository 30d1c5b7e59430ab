"""The live speech path in the browsers: utterance latency, underruns and the page's CPU cost.

Utterances: N times in a row on one player, a new writer, configure, 1-3 s of
audio at real-time pace in engine-sized chunks, finish(), wait for the
player's ended callback.  For each utterance:

  start     first write() called -> first sample played in the page
  pause     the writer's one-time start-up pause (inside the first write)
  start-pause   the same without it
  underruns audible gaps the page reported for it
  end       last sample played in the page -> the Python ended callback runs
            (includes the stream-end hold-off, streamEndMs)

Page and Python share the machine's clock (the page reports epoch times:
performance.timeOrigin + the context time of the sample, from the context
clock and its base latency).

One run compares, on the same machine and in the same minutes:
  - the adaptive jitter buffer (the default) and a fixed 150 ms buffer
    (jitterMs=150, jitterAdaptive=False: the old default), alternating utterance
    by utterance on two players;
  - at 48 kHz stereo and 22.05 kHz mono;
  - on an otherwise idle machine, then beside two CPU-burning processes and two
    spinning Python threads in this (the host's) process (once the load has
    begun, each player speaks one utterance that the rows leave out: they
    measure a busy machine; what that first utterance met is printed apart);
  - on the AudioWorklet engine, then on the main-thread engine (the page opened
    with ?streamEngine=scheduled, as pages that are not a secure context use
    it; the adaptive buffer only);
  - in headless chromium, then in Firefox (headful on an Xvfb display of its
    own, playing into a sound server of its own: the tests' set-up,
    tests/browser/output.py), with --browsers.
The first-audio times include the context's output latency (stats()
outputLatencyMs, printed per engine).
CPU (chromium only): renderer process CPU time over wall time (DevTools Performance.getMetrics,
"ProcessTime"), in % of one core: a page without players, a page with two idle
players (their engines released), and during a 48 kHz stereo push with the
visualiser drawing, on each engine.

    PYTHONPATH=python .venv/bin/python bench/bench_voice.py [--utterances 20] [--no-load] [--runs 3]
        [--browsers chromium,firefox] [--engines worklet,main-thread] [--burners 1]
"""

from __future__ import annotations

import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from contextlib import ExitStack
from pathlib import Path

import numpy as np

from vt_core import server as vt_server

from veltrane.vt_ui.web_audio import web_audio

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))
from tests.browser.drivers import ChromiumDriver, Firefox  # noqa: E402 - the tests' browser set-up
from tests.browser.output import Display, SoundServer  # noqa: E402

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
    """One page (a tests/browser/drivers.py Driver) and the players' ended callbacks."""

    def __init__(self, driver, url: str, players: list) -> None:
        self.driver = driver
        self.cdp = None
        if isinstance(driver, ChromiumDriver):  # renderer CPU figures: chromium's DevTools only
            self.cdp = driver.context.new_cdp_session(driver.page)
            self.cdp.send("Performance.enable")
        self.cond = threading.Condition()
        self.ended: dict[str, list[tuple[float, dict]]] = {p.id: [] for p in players}
        for p in players:
            p.on_ended(lambda payload=None, cid=p.id: self.on_ended(cid, payload))
        driver.goto(url)
        for p in players:
            driver.player(p.id)

    def close(self) -> None:
        self.driver.close()

    def on_ended(self, cid: str, payload=None) -> None:
        with self.cond:
            self.ended[cid].append((time.time(), payload))
            self.cond.notify_all()

    def wait_ended(self, player, count: int, timeout: float = 20.0) -> tuple[float, dict]:
        with self.cond:
            got = self.ended[player.id]
            if not self.cond.wait_for(lambda: len(got) >= count, timeout):
                raise RuntimeError("no ended event")
            return got[count - 1]

    def stats(self, player) -> dict:
        return self.driver.stats(player.id)

    def cpu(self, seconds: float) -> float | None:
        """Renderer CPU over the next ``seconds``, in % of one core (None: not measured in this browser)."""
        if self.cdp is None:
            return None

        def process_time() -> float:
            return next(m["value"] for m in self.cdp.send("Performance.getMetrics")["metrics"] if m["name"] == "ProcessTime")

        a, t = process_time(), time.monotonic()
        time.sleep(seconds)
        return (process_time() - a) / (time.monotonic() - t) * 100


FORMATS = ((48000, 2), (22050, 1))


def utterance(bench: "Bench", player, seconds: float, rate: int, channels: int, chunk_frames: int, seed: int) -> dict:
    pcm = speech_like(seconds, rate, channels, seed)
    base = len(bench.ended[player.id])
    player.close_stream()  # frames go to the player that last had a stream command
    writer = player.stream_writer()
    writer.configure(rate, channels)
    first_at, pause = paced_write(writer, pcm, rate * channels * 2, chunk_frames * channels * 2)
    writer.finish()
    called_at, payload = bench.wait_ended(player, base + 1)
    st = bench.stats(player)
    heard_at = (st["lastStartEpochMs"] or 0) / 1000
    return {
        "start": (heard_at - first_at) * 1000,
        "end": (called_at - (st["lastSampleAt"] or 0) / 1000) * 1000,
        "pause": pause * 1000,
        "output": st.get("outputLatencyMs") or 0,
        "underruns": payload.get("underruns", 0),
        "buffer": st.get("lastStartBufferMs") or 0,
        "head": st.get("lastStartHeadStartMs") or 0,
        "played_off": abs(payload.get("played", 0) - round(seconds * rate) / rate) * 1000,
    }


def run_utterances(
    bench: "Bench", players: dict, n: int, chunk_frames: int, label: str, table: list, verbose: bool = False,
    warmups: "list | None" = None,
) -> None:
    """n utterances per player and format, the players taking turns; one table row per player and format.

    With warmups (a list to report into), each player first speaks one utterance that is not
    counted: the rows then measure a machine that is busy, not one becoming busy (what that first
    utterance met is printed apart).
    """
    rng = random.Random(5)
    if warmups is not None:
        rate, channels = FORMATS[0]
        for name, player in players.items():
            r = utterance(bench, player, 2.0, rate, channels, chunk_frames, 99)
            warmups.append({"case": f"{label} {name}", "underruns": r["underruns"], "start": r["start"],
                            "buffer": r["buffer"]})
            print(f"  {label} {name}: first utterance as the load began (not counted): start {r['start']:.1f} ms, "
                  f"buffer {r['buffer']:.1f} ms, underruns {r['underruns']}", flush=True)
    for rate, channels in FORMATS:
        rows: dict[str, list[dict]] = {name: [] for name in players}
        for k in range(n):
            seconds = rng.uniform(1.0, 3.0)
            for name, player in players.items():
                rows[name].append(utterance(bench, player, seconds, rate, channels, chunk_frames, k))
                if verbose:
                    r = rows[name][-1]
                    print(f"    {name:<14} {seconds:4.2f} s  start {r['start']:6.1f}  -pause {r['start'] - r['pause']:6.1f}  "
                          f"buffer {r['buffer']:6.1f}  underruns {r['underruns']}", flush=True)
        for name, got in rows.items():
            start = [r["start"] for r in got]
            net = [r["start"] - r["pause"] for r in got]
            out = [r["output"] for r in got]
            table.append({
                "case": f"{label} {name}", "format": f"{rate / 1000:g} kHz x{channels}",
                "p95": p95(start), "median": statistics.median(start), "p95_net": p95(net),
                "median_net": statistics.median(net),
                "p95_ctx": p95([a - o for a, o in zip(start, out)]),
                "p95_net_ctx": p95([a - o for a, o in zip(net, out)]), "underruns": sum(r["underruns"] for r in got),
                "with_gaps": sum(1 for r in got if r["underruns"]), "n": len(got),
                "buffer": statistics.median(r["buffer"] for r in got), "head": statistics.median(r["head"] for r in got),
                "played_off": max(r["played_off"] for r in got),
                "end": p95([r["end"] for r in got]),
            })
            print(f"  {table[-1]['case']:<44} {table[-1]['format']:<12} first audio p95 {p95(start):6.1f} ms "
                  f"(without the pause {p95(net):6.1f}; before the output's latency {table[-1]['p95_ctx']:6.1f} / "
                  f"{table[-1]['p95_net_ctx']:6.1f}), underruns {table[-1]['underruns']}", flush=True)


def print_table(table: list) -> None:
    print(f"\n{'case':<44} {'format':<12} {'p95':>7} {'median':>7} {'p95-pause':>10} {'median-pause':>13} "
          f"{'underruns':>10} {'buffer':>7} {'head':>6} {'end p95':>8} {'ctx p95':>8} {'ctx p95-pause':>14}")
    for r in table:
        print(f"{r['case']:<44} {r['format']:<12} {r['p95']:7.1f} {r['median']:7.1f} {r['p95_net']:10.1f} "
              f"{r['median_net']:13.1f} {r['underruns']:4d} ({r['with_gaps']}/{r['n']}) {r['buffer']:6.1f} "
              f"{r['head']:6.1f} {r['end']:8.1f} {r['p95_ctx']:8.1f} {r['p95_net_ctx']:14.1f}   (ms)")


def print_comparisons(table: list) -> None:
    """The rows set beside each other: idle run after run, loaded against idle, engine against engine.

    A row's case is "<browser> <engine> <condition> <player>"; idle conditions start with "idle".
    Figures are p95s of first audio before the output's latency (ctx), with the pause / without it.
    """
    rows: dict[tuple, dict[str, list[dict]]] = {}
    for r in table:
        player = next(p for p in ("adaptive", "fixed 150 ms") if r["case"].endswith(p))
        browser, engine, condition = r["case"][: -len(player) - 1].split(" ", 2)
        kind = "idle" if condition.startswith("idle") else "loaded"
        rows.setdefault((browser, engine, r["format"], player), {}).setdefault(kind, []).append(r)
    print("\ncomparisons (ctx p95 with the pause / without it, ms):")
    for (browser, engine, fmt, player), got in rows.items():
        idle, loaded = got.get("idle", []), got.get("loaded", [])
        if not idle:
            continue
        worst = max(r["p95_ctx"] for r in idle), max(r["p95_net_ctx"] for r in idle)
        line = (f"  {browser + ' ' + engine + ' ' + player:<33} {fmt:<12} idle runs "
                + ", ".join(f"{r['p95_ctx']:.1f}/{r['p95_net_ctx']:.1f}" for r in idle)
                + f" (worst {worst[0]:.1f}/{worst[1]:.1f})")
        mean = statistics.mean(r["p95_ctx"] for r in idle)
        for r in loaded:
            fixed = rows.get((browser, engine, fmt, "fixed 150 ms"), {}).get("loaded", [])
            line += (f"; loaded {r['p95_ctx']:.1f}/{r['p95_net_ctx']:.1f}, {r['p95_ctx'] - mean:+.1f} against the "
                     f"idle runs' mean, underruns {r['underruns']}"
                     + (f" (fixed buffer: {fixed[0]['underruns']})" if fixed and player != "fixed 150 ms" else ""))
        if engine != "worklet":
            other = rows.get((browser, "worklet", fmt, player), {}).get("idle", [])
            if other:
                line += f"; worst idle {worst[0] - max(r['p95_ctx'] for r in other):+.1f} against the worklet engine"
        print(line)


class Load:
    """CPU-burning processes, and spinning Python threads in this (the host's) process."""

    def __init__(self, burners: int = 1, spinners: int = 0) -> None:
        self.burners, self.spinners = burners, spinners

    def __enter__(self) -> "Load":
        self.stop = False
        self.procs = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(self.burners)]
        self.threads = [threading.Thread(target=self.spin, daemon=True) for _ in range(self.spinners)]
        for t in self.threads:
            t.start()
        return self

    def spin(self) -> None:
        while not self.stop:
            pass

    def __exit__(self, *exc) -> None:
        self.stop = True
        for p in self.procs:
            p.kill()
            p.wait()
        for t in self.threads:
            t.join()


def push_cpu(bench: Bench, player, seconds: float = 6.0) -> float:
    """Renderer CPU during a 48 kHz stereo real-time push with the visualiser drawing."""
    rate, channels = 48000, 2
    pcm = speech_like(seconds + 2, rate, channels, 0)
    base = len(bench.ended[player.id])
    player.close_stream()
    writer = player.stream_writer()
    writer.configure(rate, channels)
    t = threading.Thread(target=paced_write, args=(writer, pcm, rate * 4, 4096), daemon=True)
    t.start()
    time.sleep(1.0)
    pushing = bench.cpu(seconds)
    t.join()
    writer.finish()
    bench.wait_ended(player, base + 1)
    return pushing


def browsers(stack: ExitStack, names: list[str]):
    """(name, new_page) for each browser asked for that can run here; the stack closes them."""
    for name in names:
        if name == "chromium":
            chromium = shutil.which("chromium")
            if not chromium:
                print("bench_voice: chromium is not installed; its rows are skipped")
                continue
            from playwright.sync_api import sync_playwright

            pw = stack.enter_context(sync_playwright())
            browser = pw.chromium.launch(executable_path=chromium, args=CHROMIUM_ARGS)
            stack.callback(browser.close)
            yield name, lambda b=browser: ChromiumDriver(b)
        elif name == "firefox":
            root = Path(stack.enter_context(tempfile.TemporaryDirectory(prefix="bench-voice-")))
            try:
                sound = SoundServer(root / "sound")
                stack.callback(sound.stop)
                display = Display()
                stack.callback(display.stop)
                firefox = Firefox(dict(sound.env, DISPLAY=display.name), root / "firefox")
            except Exception as exc:  # noqa: BLE001 - a browser that cannot run here skips its rows
                print(f"bench_voice: Firefox cannot run here ({exc}); its rows are skipped")
                continue
            stack.callback(firefox.close)
            yield name, firefox.page
        else:
            raise SystemExit(f"bench_voice: no browser {name!r} (chromium, firefox)")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--utterances", type=int, default=20, help="per player, format and condition")
    ap.add_argument("--chunk-frames", type=int, default=1024, help="frames per write() (an engine's chunk)")
    ap.add_argument("--no-load", action="store_true", help="skip the runs beside the CPU burners")
    ap.add_argument("--burners", type=int, default=1, help="CPU-burning processes of the loaded runs")
    ap.add_argument("--spinners", type=int, default=0, help="spinning Python threads in the host's process, loaded")
    ap.add_argument("--runs", type=int, default=1, help="idle runs in a row (each one its own rows)")
    ap.add_argument("--browsers", default="chromium", help="browsers to run (comma-separated: chromium,firefox)")
    ap.add_argument("--engines", default="worklet,main-thread", help="stream engines to run (comma-separated)")
    ap.add_argument("--verbose", action="store_true", help="print every utterance")
    args = ap.parse_args()
    srv = vt_server.start("127.0.0.1", 0)
    table: list[dict] = []
    cpu: list[tuple[str, float | None]] = []
    warmups: list[dict] = []
    latencies: list[str] = []
    conditions = [(f"idle{'' if args.runs == 1 else f' run {k + 1}'}", None) for k in range(args.runs)]
    if not args.no_load:
        conditions.append((f"{args.burners} burner{'s' if args.burners != 1 else ''}", Load))
    try:
        with ExitStack() as stack:
            adaptive = web_audio(show_wave=True, minimal=False, label="adaptive")
            fixed = web_audio(show_wave=True, minimal=False, label="fixed 150 ms", jitterMs=150, jitterAdaptive=False)
            for browser, new_page in browsers(stack, args.browsers.split(",")):
                empty = Bench(new_page(), srv.url, [])
                time.sleep(2.0)
                cpu.append((f"{browser}: page without players", empty.cpu(4.0)))
                empty.close()
                engines = (
                    ("worklet", "", {"adaptive": adaptive, "fixed 150 ms": fixed}),
                    ("main-thread", "&streamEngine=scheduled", {"adaptive": adaptive, "fixed 150 ms": fixed}),
                )
                for engine, query, players in (e for e in engines if e[0] in args.engines.split(",")):
                    bench = Bench(new_page(), srv.url + query, [adaptive, fixed])
                    st = bench.stats(adaptive)
                    print(f"\n{browser}, {engine} engine (stats: {st['engine']!r}):", flush=True)
                    time.sleep(2.0)
                    name = f"{browser} {engine}"
                    cpu.append((f"{name}: page with two idle players", bench.cpu(4.0)))
                    cpu.append((f"{name}: 48 kHz stereo push, visualiser drawn", push_cpu(bench, adaptive)))
                    time.sleep(3.0)  # the engine is released after 1.5 s idle
                    idle_after = bench.cpu(4.0)
                    st = bench.stats(adaptive)
                    cpu.append((f"{name}: idle again after the push (engine held: {st['engineActive']})", idle_after))
                    latencies.append(f"{name}: output latency {st.get('outputLatencyMs')} ms (in the first-audio times)")
                    for label, load in conditions:
                        case = f"{name} {label}"
                        if load is None:
                            run_utterances(bench, players, args.utterances, args.chunk_frames, case, table, args.verbose)
                        else:
                            with load(args.burners, args.spinners):
                                run_utterances(bench, players, args.utterances, args.chunk_frames, case, table,
                                               args.verbose, warmups)
                    bench.close()
    finally:
        srv.stop()
    print(f"\n{args.utterances} utterances of 1-3 s per row, real-time pace, {args.chunk_frames}-frame chunks; "
          "first write() -> first sample heard (output latency included; with the writer's start-up pause, and "
          "without it); underruns: total (utterances with any / all); buffer: median jitter buffer at the start; head: median head start "
          "counted on (how late the page expects a first message: it may start that much sooner); "
          f"end: last sample out -> onended, p95; ctx: the same p95s less the context's output latency (the "
          f"first sample handed to the output; what the page's buffer decides); 1-minute load average at the end: {os.getloadavg()[0]:.2f}")
    print_table(table)
    print_comparisons(table)
    for line in latencies:
        print("  " + line)
    if warmups:
        print("\nthe first utterance of each player once the load began (not in the rows above):")
        for w in warmups:
            print(f"  {w['case']:<44} start {w['start']:6.1f} ms, buffer {w['buffer']:6.1f} ms, underruns {w['underruns']}")
    print("\nrenderer CPU (% of one core):")
    for name, value in cpu:
        print(f"  {name:<72} {'n/a' if value is None else f'{value:5.1f}'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
