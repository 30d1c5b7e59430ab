"""Codec benchmark: speech through the Opus stream encoder against raw PCM, in one run.

Speech from espeak-ng (22.05 kHz mono, its own rate; 48 kHz stereo made from it with ffmpeg),
fed to the encoder in the writer's 4096-byte frames.  For each format:

* bytes per second of speech: the Opus packets' payload against the PCM's (goals: <= 1/10 at
  22.05 kHz mono, <= 1/20 at 48 kHz stereo); the framing the host puts around either is not
  counted;
* encode CPU (this thread's CPU time over the audio's duration, the least of three passes) as a
  share of one core per real-time stream (goal: <= 2 %), decode CPU beside it;
* wideband PESQ of decode(encode(speech)) against the source, both taken to 16 kHz by ffmpeg
  (goal: >= 3.8), the `pesq` package as the oracle; PCM's row is the source against itself.

Usage: python bench/bench_codec.py [--seconds N] [--bitrate BPS]
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import time

import numpy as np
from pesq import pesq

from veltrane.vt_ui import _codec

TEXT = (
    "The quick brown fox jumps over the lazy dog. A speech engine writes its voice chunk by chunk, "
    "and the listener hears it live in the browser, over a phone's mobile link or a hotel network. "
    "Numbers matter too: one, two, three, four thousand five hundred and sixty-seven. "
    "She sells sea shells by the sea shore, and the shells she sells are surely sea shells. "
)
FRAME_BYTES = 4096
GOALS = {(22050, 1): 1 / 10, (48000, 2): 1 / 20}
CPU_GOAL = 0.02
PESQ_GOAL = 3.8


def tool_env() -> dict[str, str]:
    # programs of their own: without the libraries a sanitizer run preloads into Python
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def espeak(seconds: float) -> bytes:
    """int16 mono speech at 22.05 kHz, at least `seconds` long."""
    exe = shutil.which("espeak-ng")
    if not exe:
        sys.exit("bench_codec needs espeak-ng (apt-get install espeak-ng)")
    out = b""
    while len(out) < seconds * 22050 * 2:
        wav = subprocess.run([exe, "--stdout", "-s", "165"], input=TEXT.encode(), capture_output=True, check=True,
                             env=tool_env()).stdout
        out += wav[44:]
    return out


def ffmpeg(pcm: bytes, rate: int, channels: int, to_rate: int, to_channels: int) -> bytes:
    exe = shutil.which("ffmpeg")
    if not exe:
        sys.exit("bench_codec needs ffmpeg (apt-get install ffmpeg)")
    fmt = ["-f", "s16le"]
    return subprocess.run(
        [exe, "-v", "error", *fmt, "-ar", str(rate), "-ac", str(channels), "-i", "pipe:0",
         *fmt, "-ar", str(to_rate), "-ac", str(to_channels), "pipe:1"],
        input=pcm, capture_output=True, check=True, env=tool_env()).stdout


def code(pcm: bytes, rate: int, channels: int, bitrate: int | None, rounds: int = 3):
    """(packets, decoded PCM, encode CPU seconds, decode CPU seconds): the least CPU of `rounds`
    passes, the one least disturbed by other work on the machine."""
    enc_cpu = dec_cpu = float("inf")
    for _ in range(rounds):
        enc = _codec.OpusEncoder(rate, channels, bitrate)
        packets = []
        t0 = time.thread_time()
        for i in range(0, len(pcm), FRAME_BYTES):
            packets += enc.encode(pcm[i:i + FRAME_BYTES])
        packets += enc.flush()
        t1 = time.thread_time()
        dec = _codec.OpusDecoder(rate, channels)
        out = b"".join([dec.decode(p) for p in packets]) + dec.flush()
        t2 = time.thread_time()
        enc_cpu, dec_cpu = min(enc_cpu, t1 - t0), min(dec_cpu, t2 - t1)
    return packets, out, enc_cpu, dec_cpu


def wideband_pesq(ref: bytes, deg: bytes, rate: int, channels: int) -> float:
    a = np.frombuffer(ffmpeg(ref, rate, channels, 16000, 1), np.int16).astype(np.float32)
    b = np.frombuffer(ffmpeg(deg, rate, channels, 16000, 1), np.int16).astype(np.float32)
    n = min(len(a), len(b))
    return pesq(16000, a[:n], b[:n], "wb")


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=20.0)
    ap.add_argument("--bitrate", type=int, default=None, help="bit/s (default: the encoder's speech default)")
    args = ap.parse_args()
    mono = espeak(args.seconds)
    sources = {(22050, 1): mono, (48000, 2): ffmpeg(mono, 22050, 1, 48000, 2)}
    print(f"{_codec.opus_version}, {_codec.soxr_version}; espeak-ng speech, {len(mono) / 44100:.1f} s, "
          f"{FRAME_BYTES}-byte frames")
    print(f"{'stream':18} {'codec':6} {'kbit/s':>8} {'of PCM':>8} {'goal':>12} {'enc CPU':>9} {'dec CPU':>9} "
          f"{'PESQ wb':>8} {'goal':>10}")
    for (rate, channels), pcm in sources.items():
        seconds = len(pcm) / (2 * channels * rate)
        name = f"{rate / 1000:g} kHz {'mono' if channels == 1 else 'stereo'}"
        pcm_rate = len(pcm) / seconds
        ceiling = wideband_pesq(pcm, pcm, rate, channels)
        print(f"{name:18} {'PCM':6} {pcm_rate * 8 / 1000:8.1f} {1:8.3f} {'':>12} {'':>9} {'':>9} {ceiling:8.2f}")
        packets, decoded, enc_cpu, dec_cpu = code(pcm, rate, channels, args.bitrate)
        assert len(decoded) == len(pcm), (len(decoded), len(pcm))
        share = sum(len(p.data) for p in packets) / seconds / pcm_rate
        cpu = enc_cpu / seconds
        quality = wideband_pesq(pcm, decoded, rate, channels)
        goal = GOALS[(rate, channels)]
        print(f"{'':18} {'Opus':6} {share * pcm_rate * 8 / 1000:8.1f} {share:8.3f} "
              f"{'<= 1/%d %s' % (round(1 / goal), 'met' if share <= goal else 'MISSED'):>12} "
              f"{cpu:9.2%} {dec_cpu / seconds:9.2%} {quality:8.2f} "
              f"{'>= %.1f %s' % (PESQ_GOAL, 'met' if quality >= PESQ_GOAL else 'MISSED'):>10}")
        print(f"{'':18} encode CPU goal <= {CPU_GOAL:.0%} of a core: {'met' if cpu <= CPU_GOAL else 'MISSED'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
