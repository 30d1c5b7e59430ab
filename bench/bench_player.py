"""Per-call cost of the player's hot operations: the extension against a plain Python transcription.

Both implementations make the same calls into the same host (vt_core) with no bus
subscriber, so the figures are the cost of the module itself plus the host's
minimal work.  Repetitions are interleaved (C++, Python, Python, C++, ...) and the
median of the rounds is reported, less the cost of an empty loop of the same length.

    PYTHONPATH=python .venv/bin/python bench/bench_player.py [--rounds N] [--scale F]
"""

from __future__ import annotations

import argparse
import gc
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import plain_player  # noqa: E402
import vt_core  # noqa: E402
from vt_core.bus import bus  # noqa: E402

import veltrane.vt_ui.web_audio as wa  # noqa: E402


def _noop(*args):
    return None


# Each benchmark: (label, calls per round, setup(impl) -> state, loop(state, n)).
def loop_factory(impl, n):
    factory = impl.web_audio
    for _ in range(n):
        factory()


def loop_play(player, n):
    for _ in range(n):
        player.play()


def loop_volume(player, n):
    for _ in range(n):
        player.volume = 0.5


def loop_on_play(player, n):
    for _ in range(n):
        player.on_play(_noop)


def loop_empty(_state, n):
    for _ in range(n):
        pass


BENCHMARKS = [
    ("web_audio()", 2_000, lambda impl: impl, loop_factory),
    ("play()", 50_000, lambda impl: impl.web_audio(), loop_play),
    ("volume = x", 30_000, lambda impl: impl.web_audio(), loop_volume),
    ("on_play(cb)", 50_000, lambda impl: impl.web_audio(), loop_on_play),
]

IMPLEMENTATIONS = [("C++", wa), ("Python", plain_player)]


def timed(loop, state, n) -> float:
    gc.collect()
    start = time.perf_counter_ns()
    loop(state, n)
    return time.perf_counter_ns() - start


def check_same_traffic() -> None:
    """Both implementations must send the same host traffic for the benchmarked operations."""
    cm = vt_core.getcm()
    traffic = {}
    for name, impl in IMPLEMENTATIONS:
        seen = []
        unsubscribe = bus.subscribe(seen.append)
        try:
            player = impl.web_audio(label="x")
            player.play()
            player.volume = 0.5
            player.on_play(_noop)
            record = cm.components[player.id]
        finally:
            unsubscribe()
        cid = player.id
        normalised = [tuple("<cid>" if v == cid else v for v in m) for m in seen]
        for m in normalised:
            if m[0] == "message" and isinstance(m[2], dict) and m[2].get("cid") == cid:
                m[2]["cid"] = "<cid>"
        traffic[name] = (normalised, record["handlers"], record["content"])
        cm.clear()
    if traffic["C++"] != traffic["Python"]:
        raise SystemExit(f"implementations differ:\n  C++:    {traffic['C++']}\n  Python: {traffic['Python']}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=11)
    parser.add_argument("--scale", type=float, default=1.0, help="multiply the calls per round")
    args = parser.parse_args()

    if bus.subscriber_count:
        raise SystemExit("the host bus has subscribers; the benchmark needs a silent bus")
    check_same_traffic()
    cm = vt_core.getcm()

    rows = []
    for label, per_round, setup, loop in BENCHMARKS:
        n = max(1, int(per_round * args.scale))
        samples = {name: [] for name, _ in IMPLEMENTATIONS}
        baseline = []
        for r in range(args.rounds):
            order = IMPLEMENTATIONS if r % 2 == 0 else IMPLEMENTATIONS[::-1]
            for name, impl in order:
                state = setup(impl)
                samples[name].append(timed(loop, state, n) / n)
                cm.clear()
            baseline.append(timed(loop_empty, None, n) / n)
        empty = min(baseline)
        cpp = statistics.median(samples["C++"]) - empty
        py = statistics.median(samples["Python"]) - empty
        rows.append((label, cpp, py, cpp / py))

    print(f"player benchmark: {args.rounds} interleaved rounds, median ns per call (empty-loop cost removed)")
    print(f"{'operation':<14} {'C++ ns/call':>12} {'Python ns/call':>15} {'ratio C++/Py':>13}")
    for label, cpp, py, ratio in rows:
        flag = "" if ratio <= 1.0 else "  (goal <= 1.0)"
        print(f"{label:<14} {cpp:>12.0f} {py:>15.0f} {ratio:>13.2f}{flag}")


if __name__ == "__main__":
    main()
