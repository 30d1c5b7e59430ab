"""Writer benchmark: the extension's AudioStreamWriter against the plain Python + numpy transcription.

Both run in this process on the same data, interleaved, several rounds; the
table reports the median time of each and the ratio (extension / plain: below
1.0 means the extension is faster).
"""

from __future__ import annotations

import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import plain_writer  # noqa: E402

import veltrane.vt_ui.web_audio as wa  # noqa: E402


class NullPlayer:
    def send_audio_metadata(self, sample_rate, channels):
        pass

    def stream_binary(self, data):
        pass

    def stop(self):
        pass


class NoSleep:
    @staticmethod
    def sleep(seconds):
        pass


wa.time = NoSleep
plain_writer.time = NoSleep


def make_writer(cls, path=None):
    w = cls(NullPlayer())
    w.configure(48000, 2)
    if path:
        w.set_output_file(path)
    return w


def time_writes(cls, chunks, path=None):
    w = make_writer(cls, path)
    t0 = time.perf_counter()
    for c in chunks:
        w.write(c)
    t1 = time.perf_counter()
    if path:
        w._output_file_handle.close()
        w._output_file_handle = None
    return (t1 - t0) / len(chunks)


def time_finish(cls, chunks, path):
    w = make_writer(cls, path)
    w.mute = True
    for c in chunks:
        w.write(c)
    t0 = time.perf_counter()
    w.finish()
    return time.perf_counter() - t0


def median_pair(fn_a, fn_b, rounds):
    a, b = [], []
    for _ in range(rounds):
        a.append(fn_a())
        b.append(fn_b())
    return statistics.median(a), statistics.median(b)


def main() -> None:
    rng = np.random.default_rng(1)
    rows = []
    for label, chunk_bytes, count in (("write, 640 B chunks", 640, 4000), ("write, 4096 B chunks", 4096, 2000),
                                      ("write, 64 KiB chunks", 65536, 300)):
        chunks = [rng.integers(-12000, 12000, chunk_bytes // 2, dtype=np.int16).tobytes() for _ in range(count)]
        ours, plain = median_pair(lambda: time_writes(wa.AudioStreamWriter, chunks),
                                  lambda: time_writes(plain_writer.PlainAudioStreamWriter, chunks), 5)
        rows.append((label + " (per call)", ours * 1e6, plain * 1e6, "us"))
    with tempfile.TemporaryDirectory() as d:
        chunks = [rng.integers(-12000, 12000, 2048, dtype=np.int16).tobytes() for _ in range(1000)]
        ours, plain = median_pair(lambda: time_writes(wa.AudioStreamWriter, chunks, os.path.join(d, "a.raw")),
                                  lambda: time_writes(plain_writer.PlainAudioStreamWriter, chunks,
                                                      os.path.join(d, "b.raw")), 5)
        rows.append(("write + recording, 4096 B (per call)", ours * 1e6, plain * 1e6, "us"))
        big = [rng.integers(-12000, 12000, 1 << 19, dtype=np.int16).tobytes() for _ in range(64)]  # 64 MiB take
        ours, plain = median_pair(lambda: time_finish(wa.AudioStreamWriter, big, os.path.join(d, "a.wav")),
                                  lambda: time_finish(plain_writer.PlainAudioStreamWriter, big,
                                                      os.path.join(d, "b.wav")), 3)
        rows.append(("finish, 64 MiB take", ours * 1e3, plain * 1e3, "ms"))
    print(f"{'writer operation':40} {'extension':>12} {'plain+numpy':>12} {'ratio':>7}")
    for label, ours, plain, unit in rows:
        print(f"{label:40} {ours:>9.2f} {unit} {plain:>9.2f} {unit} {ours / plain:>7.3f}")


if __name__ == "__main__":
    main()
