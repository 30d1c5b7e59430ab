"""Speech for the demo: espeak-ng when it is installed, else a synthetic voice-like signal.

Both produce int16 mono PCM chunk by chunk and hand every chunk to a writer
(``writer.configure(rate, 1)`` first, then ``writer.write(chunk)`` per chunk),
paced so that the producer stays at most ``lead`` seconds ahead of real time,
as a live speech engine would.
"""

from __future__ import annotations

import array
import math
import os
import shutil
import struct
import subprocess
import time
from typing import Iterator

SYNTH_RATE = 22050


def espeak_path() -> str | None:
    return shutil.which("espeak-ng")


def espeak_chunks(text: str, chunk_bytes: int = 4096) -> tuple[int, int, Iterator[bytes]]:
    """Start espeak-ng on ``text``; returns (sample_rate, channels, chunk iterator)."""
    # The engine is a program of its own: it gets our environment without our
    # preloaded libraries (a sanitizer run preloads its runtime into Python).
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    proc = subprocess.Popen([espeak_path() or "espeak-ng", "--stdout", "-s", "165"], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
    assert proc.stdin and proc.stdout
    proc.stdin.write(text.encode("utf-8"))
    proc.stdin.close()
    header = proc.stdout.read(44)
    if len(header) < 44 or header[:4] != b"RIFF":
        proc.wait()
        raise RuntimeError("espeak-ng produced no audio")
    channels, rate = struct.unpack("<HI", header[22:28])

    def chunks() -> Iterator[bytes]:
        carry = b""
        try:
            while True:
                piece = proc.stdout.read1(chunk_bytes) if hasattr(proc.stdout, "read1") else proc.stdout.read(chunk_bytes)
                if not piece:
                    break
                piece = carry + piece
                cut = len(piece) & ~1
                carry = piece[cut:]
                if cut:
                    yield piece[:cut]
        finally:
            proc.stdout.close()
            proc.wait()

    return rate, channels, chunks()


# Formants (F1, F2) of a few vowels; each word gets one, from its letters.
_VOWELS = [(730, 1090), (530, 1840), (270, 2290), (570, 840), (300, 870), (660, 1720)]


def synthetic_chunks(text: str, chunk_samples: int = 1024) -> tuple[int, int, Iterator[bytes]]:
    """A voice-like stand-in: a glottal pulse train through two formant resonators per word."""
    words = text.split() or ["..."]

    def resonator(freq: float, bandwidth: float):
        r = math.exp(-math.pi * bandwidth / SYNTH_RATE)
        return 2 * r * math.cos(2 * math.pi * freq / SYNTH_RATE), -r * r

    def chunks() -> Iterator[bytes]:
        out = array.array("h")
        for n, word in enumerate(words):
            f1, f2 = _VOWELS[sum(map(ord, word)) % len(_VOWELS)]
            (a1, b1), (a2, b2) = resonator(f1, 90), resonator(f2, 120)
            y1 = y2 = z1 = z2 = 0.0
            length = int(SYNTH_RATE * (0.12 + 0.045 * min(len(word), 8)))
            pitch = 125 + 20 * math.sin(n)
            period = SYNTH_RATE / pitch
            phase = 0.0
            for i in range(length):
                env = math.sin(math.pi * i / length) ** 0.6
                phase += 1
                pulse = 1.0 if phase >= period else 0.0
                if pulse:
                    phase -= period
                y = pulse + a1 * y1 + b1 * y2
                y2, y1 = y1, y
                z = y + a2 * z1 + b2 * z2
                z2, z1 = z1, z
                out.append(max(-32767, min(32767, int(env * (y * 900 + z * 500)))))
                if len(out) >= chunk_samples:
                    yield out.tobytes()
                    out = array.array("h")
            out.extend([0] * int(SYNTH_RATE * 0.07))  # a short pause between words
        if out:
            yield out.tobytes()

    return SYNTH_RATE, 1, chunks()


def speak(text: str, writer, lead: float = 1.0, prefer_espeak: bool = True, stop=None) -> str:
    """Synthesise ``text`` into ``writer``; returns the engine used ("espeak-ng" or "synthetic").

    ``stop`` (a ``threading.Event``) ends the synthesis early: no chunk is
    written once it is set.
    """
    if prefer_espeak and espeak_path():
        rate, channels, chunks = espeak_chunks(text)
        engine = "espeak-ng"
    else:
        rate, channels, chunks = synthetic_chunks(text)
        engine = "synthetic"
    writer.configure(rate, channels)
    start = time.monotonic()
    written = 0
    for chunk in chunks:
        if stop is not None and stop.is_set():
            break
        writer.write(chunk)
        written += len(chunk) // (2 * channels)
        ahead = written / rate - (time.monotonic() - start)
        if ahead > lead:
            if stop is not None:
                stop.wait(ahead - lead)
            else:
                time.sleep(ahead - lead)
    return engine
