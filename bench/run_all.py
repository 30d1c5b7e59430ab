"""Run every bench/bench_*.py in turn, each in its own interpreter, and print what each reports.

Exits non-zero when any benchmark failed.
"""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent


def main() -> int:
    scripts = sorted(HERE.glob("bench_*.py"))
    if not scripts:
        print("no benchmarks found in", HERE)
        return 1
    failed = []
    for script in scripts:
        print(f"=== {script.name} ===", flush=True)
        proc = subprocess.run(
            [sys.executable, str(script)],
            cwd=HERE.parent,
            env=os.environ.copy(),
            capture_output=True,
            text=True,
        )
        sys.stdout.write(proc.stdout)
        if proc.returncode != 0:
            failed.append(script.name)
            sys.stdout.write(proc.stderr)
            print(f"--- {script.name} failed with exit code {proc.returncode}")
        print(flush=True)
    if failed:
        print("failed:", ", ".join(failed))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
