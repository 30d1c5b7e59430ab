"""Instructions per call of the player's hot operations, counted by valgrind (callgrind).

A deterministic companion to bench_player.py for a shared, loaded machine: each
operation runs in its own interpreter under callgrind, once with N calls and once
with none, and the difference over N is reported, for the extension, the plain
Python transcription and, with --baseline, another build of the extension.  Also
counts the floor bench_player.py times: a call from C into a Python function
(operator.call(g), less operator.call(len, ())) against the same call from Python.

    PYTHONPATH=python .venv/bin/python bench/count_player.py [--baseline SO] [-n N]
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

CHILD = r"""
import sys
sys.path.insert(0, {bench!r})
import bench_player as b
impl, op, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
if impl == "C++":
    import veltrane.vt_ui.web_audio as m
elif impl == "Python":
    import plain_player as m
elif impl == "floor":
    m = None
else:
    m = b.load_baseline(impl)
loops = {{"web_audio()": (lambda: m, b.loop_factory), "play()": (lambda: m.web_audio(), b.loop_play),
         "volume = x": (lambda: m.web_audio(), b.loop_volume), "on_play(cb)": (lambda: m.web_audio(), b.loop_on_play),
         "py->py": (lambda: None, b.loop_py_calls_py), "c->py": (lambda: None, b.loop_c_calls_py),
         "py->builtin": (lambda: None, b.loop_py_calls_builtin), "c->builtin": (lambda: None, b.loop_c_calls_builtin)}}
setup, loop = loops[op]
state = setup()
loop(state, n)
"""


def instructions(impl: str, op: str, n: int) -> tuple[int, int]:
    """(all instructions, those executed in the extension's own code) of one run."""
    code = CHILD.format(bench=HERE)
    env = dict(os.environ, PYTHONHASHSEED="0")  # the same dict probes in every run
    with tempfile.NamedTemporaryFile(suffix=".callgrind") as out:
        proc = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out.name}", sys.executable, "-c", code]
            + [impl, op, str(n)],
            capture_output=True,
            text=True,
            env=env,
        )
        found = re.search(r"refs:\s+([\d,]+)", proc.stderr)
        if proc.returncode != 0 or not found:
            raise SystemExit(f"{impl} {op}: valgrind failed\n{proc.stderr[-2000:]}")
        report = subprocess.run(
            ["callgrind_annotate", "--threshold=100", out.name], capture_output=True, text=True
        ).stdout
    own = sum(
        int(m.group(1).replace(",", ""))
        for m in re.finditer(r"^\s*([\d,]+) \(.*\[.*web_audio\.cpython[^\]]*\]$", report, flags=re.M)
    )
    return int(found.group(1).replace(",", "")), own


def per_call(impl: str, op: str, n: int) -> tuple[float, float]:
    (total_n, own_n), (total_0, own_0) = instructions(impl, op, n), instructions(impl, op, 0)
    return (total_n - total_0) / n, (own_n - own_0) / n


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", metavar="SO", help="another build of the extension")
    parser.add_argument("-n", type=int, default=20_000, help="calls per count (web_audio(): a tenth)")
    args = parser.parse_args()
    impls = ["C++", "Python"] + ([args.baseline] if args.baseline else [])
    print("player operations: instructions per call (callgrind)")
    header = f"{'operation':<14} {'C++':>9} {'own code':>9} {'Python':>9} {'C++/Py':>7} {'C++ less own/Py':>16}"
    if args.baseline:
        header += f" {'baseline':>9} {'base/Py':>8}"
    print(header)
    for op in ["web_audio()", "play()", "volume = x", "on_play(cb)"]:
        n = max(1, args.n // 10) if op == "web_audio()" else args.n
        counts = [per_call(impl, op, n) for impl in impls]
        (cpp, own), (py, _) = counts[0], counts[1]
        line = f"{op:<14} {cpp:>9.0f} {own:>9.0f} {py:>9.0f} {cpp / py:>7.3f} {(cpp - own) / py:>16.3f}"
        if args.baseline:
            line += f" {counts[2][0]:>9.0f} {counts[2][0] / py:>8.3f}"
        print(line)
    print("own code: instructions in the extension itself; the rest is CPython's C API and the host's Python code")
    c = {op: per_call("floor", op, args.n)[0] for op in ["py->py", "c->py", "py->builtin", "c->builtin"]}
    floor = (c["c->py"] - c["py->py"]) - (c["c->builtin"] - c["py->builtin"])
    print(f"floor: a call from C into a Python function costs {floor:.0f} instructions more than from Python")


if __name__ == "__main__":
    main()
