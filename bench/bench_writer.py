"""Writer benchmark: the extension's AudioStreamWriter against the plain Python + numpy transcription.

Both run in this process on the same data (start-up pause patched out in both,
a no-op player), interleaved, several rounds; the tables give medians and ratios.

* write throughput at 256 B, 4 KiB, 64 KiB and 1 MiB chunks, without and with
  recording, against the transcription (speed-up = plain time / extension time)
  and against memcpy of the same bytes (the ceiling);
* finish on a 30-minute 48 kHz stereo take: time against the transcription, and
  the extra peak memory of each (measured in a fresh process per implementation).

Goals: write >= 10x the transcription at 4 KiB and >= 3x at 1 MiB; at 1 MiB at
least 25 % of memcpy throughput; finish no slower than the transcription with
at most 16 MiB of extra peak memory.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
# The plain Python transcriptions live with the tests, which check them against the extension.
REFERENCE = HERE.parent / "tests" / "reference"
sys.path.insert(0, str(REFERENCE))
import plain_writer  # noqa: E402
from plain_writer import NoSleep, NullPlayer  # noqa: E402

import veltrane.vt_ui.web_audio as wa  # noqa: E402


wa.time = NoSleep
plain_writer.time = NoSleep
IMPLS = {"ext": wa.AudioStreamWriter, "plain": plain_writer.PlainAudioStreamWriter}


def run_writes(cls, chunks, path):
    w = cls(NullPlayer())
    w.configure(48000, 2)
    if path:
        w.set_output_file(path)
    t0 = time.perf_counter()
    for c in chunks:
        w.write(c)
    elapsed = time.perf_counter() - t0
    if path:
        w._output_file_handle.close()
        w._output_file_handle = None
        os.unlink(path)
    return elapsed


def run_memcpy(chunks):
    out = bytearray(max(len(c) for c in chunks))
    t0 = time.perf_counter()
    for c in chunks:
        out[: len(c)] = c
    return time.perf_counter() - t0


def write_table(rounds: int, tmp: str) -> list[str]:
    rng = np.random.default_rng(1)
    lines = [f"{'write':28} {'ext MB/s':>9} {'plain MB/s':>10} {'speed-up':>9} {'memcpy MB/s':>12} {'of memcpy':>10}"]
    for size, total in ((256, 8 << 20), (4096, 32 << 20), (65536, 128 << 20), (1 << 20, 256 << 20)):
        count = max(total // size, 8)
        pool = [rng.integers(-12000, 12000, size // 2, dtype=np.int16).tobytes() for _ in range(min(count, 64))]
        chunks = [pool[i % len(pool)] for i in range(count)]
        for recording in (False, True):
            times = {"ext": [], "plain": [], "memcpy": []}
            for r in range(rounds):
                order = ["ext", "plain"] if r % 2 == 0 else ["plain", "ext"]
                for name in order:
                    path = os.path.join(tmp, f"{name}.raw") if recording else None
                    times[name].append(run_writes(IMPLS[name], chunks, path))
                times["memcpy"].append(run_memcpy(chunks))
            mb = size * count / 1e6
            ext, plain, cpy = (statistics.median(times[k]) for k in ("ext", "plain", "memcpy"))
            label = f"{size if size < 1024 else str(size // 1024) + ' Ki'}B chunks" + (", recording" if recording else "")
            lines.append(f"{label:28} {mb / ext:9.0f} {mb / plain:10.0f} {plain / ext:8.1f}x {mb / cpy:12.0f} "
                         f"{cpy / ext * 100:9.0f}%")
    return lines


FINISH_CHILD = r"""
import json, os, resource, sys, time
sys.path.insert(0, sys.argv[1])
import plain_writer
import veltrane.vt_ui.web_audio as wa
class P:
    def send_audio_metadata(self, *a): pass
    def stream_binary(self, d): pass
    def stop(self): pass
impl, path, seconds = sys.argv[2], sys.argv[3], float(sys.argv[4])
cls = wa.AudioStreamWriter if impl == "ext" else plain_writer.PlainAudioStreamWriter
w = cls(P()); w._initial_delay_sent = True
w.configure(48000, 2); w.set_output_file(path); w.mute = True
import random
random.seed(5)
block = bytes(random.getrandbits(8) for _ in range(1 << 16))
total = int(seconds * 48000) * 4
written = 0
while written < total:
    piece = block[: min(len(block), total - written)]
    w.write(piece); written += len(piece)
w._output_file_handle.flush()
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
t0 = time.perf_counter()
w.finish()
elapsed = time.perf_counter() - t0
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"seconds": elapsed, "extra_kib": after - before, "bytes": total}))
"""


def finish_table(rounds: int, tmp: str, minutes: float) -> list[str]:
    results = {"ext": [], "plain": []}
    for r in range(rounds):
        for name in (["ext", "plain"] if r % 2 == 0 else ["plain", "ext"]):
            path = os.path.join(tmp, f"take-{name}.wav")
            out = subprocess.run([sys.executable, "-c", FINISH_CHILD, str(REFERENCE), name, path, str(minutes * 60)],
                                 capture_output=True, text=True, check=True).stdout
            results[name].append(json.loads(out))
            os.unlink(path)
    take_mb = results["ext"][0]["bytes"] / 1e6
    ext_t = statistics.median(r["seconds"] for r in results["ext"])
    plain_t = statistics.median(r["seconds"] for r in results["plain"])
    ext_m = max(r["extra_kib"] for r in results["ext"]) / 1024
    plain_m = max(r["extra_kib"] for r in results["plain"]) / 1024
    return [
        f"finish, {minutes:g}-minute 48 kHz stereo take ({take_mb:.0f} MB)",
        f"  time        ext {ext_t:7.2f} s   plain {plain_t:7.2f} s   ratio ext/plain {ext_t / plain_t:.2f}",
        f"  extra peak  ext {ext_m:7.1f} MiB plain {plain_m:7.1f} MiB",
    ]


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--finish-rounds", type=int, default=3)
    ap.add_argument("--minutes", type=float, default=30.0)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        for line in write_table(args.rounds, tmp):
            print(line)
        for line in finish_table(args.finish_rounds, tmp, args.minutes):
            print(line)


if __name__ == "__main__":
    main()
