"""Probes shared by the browser tests: page-side measurements and test sounds."""

from __future__ import annotations

import wave

import numpy as np

# Pixels of the player's visualiser drawn in its colour, and on how many rows.
CANVAS_INK = """([cid, rgb]) => {
  const c = document.querySelector(`.vt-player[data-cid="${cid}"] canvas.vt-viz`);
  if (!c || c.hidden) return null;
  const {data, width, height} = c.getContext("2d").getImageData(0, 0, c.width, c.height);
  const rows = new Set();
  let pixels = 0;
  for (let y = 0; y < height; y++) for (let x = 0; x < width; x++) {
    const i = (y * width + x) * 4;
    if (data[i + 3] > 100 && Math.abs(data[i] - rgb[0]) < 60 && Math.abs(data[i + 1] - rgb[1]) < 60
        && Math.abs(data[i + 2] - rgb[2]) < 60) { pixels++; rows.add(y); }
  }
  return {pixels, rows: rows.size, height};
}"""

# The dominant frequency and level at the player's analyser (its output).
TONE = """cid => {
  const a = window.vtPlayers[cid].analyser;
  const f = new Float32Array(a.frequencyBinCount);
  a.getFloatFrequencyData(f);
  let best = 1;
  for (let i = 1; i < f.length; i++) if (f[i] > f[best]) best = i;
  const t = new Float32Array(a.fftSize);
  a.getFloatTimeDomainData(t);
  let s = 0;
  for (const v of t) s += v * v;
  return {peakHz: best * a.context.sampleRate / a.fftSize, rms: Math.sqrt(s / t.length)};
}"""


def sine(freq: float, seconds: float, rate: int, amplitude: float = 0.25, channels: int = 2) -> np.ndarray:
    n = round(seconds * rate)
    mono = (np.sin(2 * np.pi * freq * np.arange(n) / rate) * amplitude * 32767).astype(np.int16)
    return np.repeat(mono, channels) if channels > 1 else mono


def write_wav(path, seconds: float, rate: int = 44100, freq: float = 440.0) -> None:
    with wave.open(str(path), "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(sine(freq, seconds, rate, 0.5).tobytes())
