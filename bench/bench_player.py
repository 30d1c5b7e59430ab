"""Per-call cost of the player's hot operations: the extension against a plain Python transcription.

Both implementations make the same calls into the same host (vt_core) with no bus
subscriber, so the figures are the cost of the module itself plus the host's
minimal work.  Repetitions are interleaved (C++, Python, Python, C++, ...) and the
median of the rounds is reported, less the cost of an empty loop of the same length.

    PYTHONPATH=python .venv/bin/python bench/bench_player.py [--rounds N] [--scale F] [--baseline SO]

--baseline adds another build of the extension (say, of main) to the same run,
so that a change is measured against it round by round.
"""

from __future__ import annotations

import argparse
import gc
import importlib.machinery
import importlib.util
import os
import statistics
import sys
import time
from operator import call

# The plain Python transcriptions live with the tests, which check them against the extension.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests", "reference"))

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


# The floor under the one-message commands: each calls a Python function of the host
# (getcm, send_message, props.update_cm).  A call made from C enters the interpreter
# anew; the same call made from Python is a frame push inside the running loop.
# Measured apart with operator.call, whose own dispatch is taken out with a builtin.
def loop_py_calls_py(_state, n):
    for _ in range(n):
        _noop()


def loop_c_calls_py(_state, n):
    for _ in range(n):
        call(_noop)


def loop_py_calls_builtin(_state, n):
    for _ in range(n):
        len(())


def loop_c_calls_builtin(_state, n):
    for _ in range(n):
        call(len, ())


def entry_cost(rounds: int, n: int) -> float:
    """ns a call from C into a Python function costs beyond the same call from Python."""
    loops = [loop_py_calls_py, loop_c_calls_py, loop_py_calls_builtin, loop_c_calls_builtin]
    samples = {loop: [] for loop in loops}
    for _ in range(rounds):
        for loop in loops:
            samples[loop].append(timed(loop, None, n) / n)
    m = {loop: statistics.median(times) for loop, times in samples.items()}
    return (m[loop_c_calls_py] - m[loop_py_calls_py]) - (m[loop_c_calls_builtin] - m[loop_py_calls_builtin])


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


def load_baseline(path: str):
    """Another build of the extension, imported under a name of its own."""
    loader = importlib.machinery.ExtensionFileLoader("baseline.web_audio", path)
    spec = importlib.util.spec_from_file_location("baseline.web_audio", path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


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
    for name, seen in traffic.items():
        if seen != traffic["Python"]:
            raise SystemExit(f"implementations differ:\n  {name}: {seen}\n  Python: {traffic['Python']}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=11)
    parser.add_argument("--scale", type=float, default=1.0, help="multiply the calls per round")
    parser.add_argument("--baseline", metavar="SO", help="another build of the extension to measure in the same run")
    args = parser.parse_args()
    if args.baseline:
        IMPLEMENTATIONS.append(("baseline", load_baseline(args.baseline)))

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
        cost = {name: statistics.median(times) - empty for name, times in samples.items()}
        rows.append((label, cost))

    print(f"player benchmark: {args.rounds} interleaved rounds, median ns per call (empty-loop cost removed)")
    extra = [name for name, _ in IMPLEMENTATIONS if name not in ("C++", "Python")]
    header = f"{'operation':<14} {'C++ ns/call':>12} {'Python ns/call':>15} {'ratio C++/Py':>13}"
    for name in extra:
        header += f" {name + ' ns/call':>18} {name + '/Py':>13}"
    print(header)
    for label, cost in rows:
        ratio = cost["C++"] / cost["Python"]
        line = f"{label:<14} {cost['C++']:>12.0f} {cost['Python']:>15.0f} {ratio:>13.2f}"
        for name in extra:
            line += f" {cost[name]:>18.0f} {cost[name] / cost['Python']:>13.2f}"
        flag = "" if ratio <= 1.0 else "  (goal <= 1.0)"
        print(line + flag)
    print(
        f"part of the floor: a call from C into a Python function costs {entry_cost(args.rounds, 200_000):.0f} ns more "
        "than from Python; play() makes 1 (send_message), volume = x 3 (getcm, update_cm, send_message), on_play 1 "
        "(getcm); bench/count_player.py counts the rest"
    )


if __name__ == "__main__":
    main()
