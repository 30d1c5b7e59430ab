"""What a stream costs the thread that plays it: the page's ring taking and rendering audio, in headless chromium.

A PcmRing (vt_core/static/pcm-ring.js, of the host installed) on its own, no audio device: it takes a stream in 20 ms messages that
arrive at real-time pace and renders it a quantum (128 frames of the 48 kHz context) at a time, as the worklet
engine does on the audio rendering thread.  The figure is CPU time over the audio's duration (a real-time
factor: 1 % is a hundredth of the audio thread), the least of interleaved rounds (what it costs when nothing else
takes the CPU), for audio at the context's rate (48 kHz stereo) and audio it resamples (22.05 kHz mono).

--baseline adds another checkout's player files (its host/vt_core/static) to the same run, round by round
against this tree's, and prints the ratio of the two:

    .venv/bin/python bench/bench_ring.py [--rounds 9] [--seconds 30] [--baseline /path/to/other/host/vt_core/static]
"""

from __future__ import annotations

import argparse
import shutil
import sys
from pathlib import Path

import vt_core

STATIC = Path(vt_core.__file__).parent / "static"  # the player's files as installed
FORMATS = ((48000, 2), (22050, 1))

# One round: the ring's CPU time over the stream's duration.  The messages are made before the clock starts.
ROUND = """async ([tree, rate, channels, seconds]) => {
  const { PcmRing } = await import(`/${tree}/pcm-ring.js`);
  const ring = new PcmRing({}, 48000, () => {});
  const frames = Math.round(0.02 * rate);
  let x = 1;
  const messages = Array.from({ length: Math.round(seconds / 0.02) }, () =>
    Int16Array.from({ length: frames * channels }, () => ((x = (x * 1103515245 + 12345) & 0x7fffffff) >> 15) - 32768));
  const [L, R] = [new Float32Array(128), new Float32Array(128)];
  const quanta = Math.ceil((seconds * 48000) / 128) + 4;
  const t0 = performance.now();
  for (let q = 0, k = 0; q < quanta; q++) {
    const at = (q * 128) / 48000;
    for (; k < messages.length && k * 0.02 <= at; k++) {
      ring.onMessage({ type: "pcm", data: messages[k], rate, channels, push: true, t: k * 0.02 });
    }
    ring.render(L, R, at);
  }
  return (performance.now() - t0) / 1000 / seconds;
}"""


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rounds", type=int, default=9)
    ap.add_argument("--seconds", type=float, default=30.0, help="of audio per round")
    ap.add_argument("--baseline", type=Path, help="another checkout's host/vt_core/static, measured in the same run")
    args = ap.parse_args()
    chromium = shutil.which("chromium")
    if not chromium:
        print("bench_ring: chromium is not installed; skipped")
        return 0
    from playwright.sync_api import sync_playwright

    trees = {"this": STATIC, **({"baseline": args.baseline.resolve()} if args.baseline else {})}
    with sync_playwright() as pw:
        browser = pw.chromium.launch(executable_path=chromium, args=["--headless", "--no-sandbox", "--disable-gpu"])
        context = browser.new_context()
        context.route("http://vt.test/**", lambda route: route.fulfill(
            path=trees[route.request.url.split("/")[3]] / route.request.url.split("/", 4)[4]))
        page = context.new_page()
        page.goto("http://vt.test/this/util.js")
        figures: dict[tuple, list[float]] = {}
        for r in range(args.rounds + 1):  # the first round warms up
            order = list(trees) if r % 2 else list(reversed(trees))
            for rate, channels in FORMATS:
                for tree in order:
                    value = page.evaluate(ROUND, [tree, rate, channels, args.seconds])
                    if r:
                        figures.setdefault((rate, channels, tree), []).append(value)
        browser.close()
    print(f"ring take + render, {args.seconds:g} s of audio per round, the least of {args.rounds} rounds "
          "(CPU time over audio time):")
    for rate, channels in FORMATS:
        row = {tree: min(figures[rate, channels, tree]) for tree in trees}
        line = "  ".join(f"{tree} {value * 100:6.3f} %" for tree, value in row.items())
        if "baseline" in row:
            line += f"  this / baseline {row['this'] / row['baseline']:5.2f}"
        print(f"  {rate / 1000:g} kHz x{channels} into 48 kHz:  {line}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
