// The visualiser: the live waveform or spectrum of a player's output, drawn
// from its analyser on the player's canvas once per animation frame, or the
// whole waveform of a file with the playhead over it (waveform.js gives the
// peaks).

export class Visualiser {
  constructor() {
    this.freqBuf = null;
    this.timeBuf = null;
    this.drawn = null; // what the canvas shows when it is a file's peaks
  }

  /** Draw one frame of analyser (may be null: a blank canvas) as type ("waveform" | "spectrum"). */
  draw(canvas, analyser, type, color) {
    this.drawn = null;
    const { g, w, h } = prepare(canvas);
    if (!analyser) return;
    const a = analyser;
    g.fillStyle = color;
    g.strokeStyle = color;
    if (type === "spectrum") {
      const bins = this.freqBuf && this.freqBuf.length === a.frequencyBinCount ? this.freqBuf : (this.freqBuf = new Uint8Array(a.frequencyBinCount));
      a.getByteFrequencyData(bins);
      // bars on a logarithmic frequency scale, 40 Hz to 16 kHz (or Nyquist)
      const bars = Math.min(64, Math.floor(w / 4));
      const hzPerBin = a.context.sampleRate / a.fftSize;
      const lo = 40;
      const hi = Math.min(16000, a.context.sampleRate / 2);
      const bw = w / bars;
      for (let i = 0; i < bars; i++) {
        let m = 0;
        const from = Math.floor((lo * Math.pow(hi / lo, i / bars)) / hzPerBin);
        const to = Math.max(from + 1, Math.floor((lo * Math.pow(hi / lo, (i + 1) / bars)) / hzPerBin));
        for (let j = from; j < to && j < bins.length; j++) if (bins[j] > m) m = bins[j];
        const bh = (m / 255) * h;
        if (bh >= 1) g.fillRect(i * bw + 1, h - bh, Math.max(1, bw - 2), bh);
      }
    } else {
      const data = this.timeBuf && this.timeBuf.length === a.fftSize ? this.timeBuf : (this.timeBuf = new Uint8Array(a.fftSize));
      a.getByteTimeDomainData(data);
      g.lineWidth = Math.max(1, Math.round(h / 40));
      g.beginPath();
      const n = data.length;
      for (let i = 0; i < n; i++) {
        const x = (i / (n - 1)) * w;
        const y = (data[i] / 255) * h;
        if (i === 0) g.moveTo(x, y);
        else g.lineTo(x, y);
      }
      g.stroke();
    }
  }

  /** Draw a whole file's peaks, played part in full colour, playhead at fraction (0..1). */
  drawPeaks(canvas, peaks, fraction, color) {
    const f = Math.max(0, Math.min(1, Number.isFinite(fraction) ? fraction : 0));
    const d = this.drawn;
    const cw = canvas.clientWidth;
    const ch = canvas.clientHeight;
    if (d && d.canvas === canvas && d.peaks === peaks && d.color === color && d.cw === cw && d.ch === ch && Math.abs(d.f - f) * canvas.width < 0.5) {
      return; // nothing moved: keep the picture
    }
    this.drawn = { canvas, peaks, color, cw, ch, f };
    const { g, w, h } = prepare(canvas);
    const n = peaks.min.length;
    const mid = h / 2;
    const head = f * w;
    g.fillStyle = color;
    for (let x = 0; x < w; x++) {
      const from = Math.floor((x / w) * n);
      const to = Math.max(from + 1, Math.floor(((x + 1) / w) * n));
      let lo = 0;
      let hi = 0;
      for (let b = from; b < to && b < n; b++) {
        if (peaks.min[b] < lo) lo = peaks.min[b];
        if (peaks.max[b] > hi) hi = peaks.max[b];
      }
      const top = mid - Math.min(1, hi) * (mid - 1);
      const bottom = mid - Math.max(-1, lo) * (mid - 1);
      g.globalAlpha = x < head ? 1 : 0.35;
      g.fillRect(x, top, 1, Math.max(1, bottom - top));
    }
    g.globalAlpha = 1;
    g.fillStyle = "#1f2328";
    g.fillRect(Math.min(w - 2, Math.round(head)), 0, 2, h);
  }
}

function prepare(canvas) {
  const w = Math.max(50, Math.round(canvas.clientWidth * (window.devicePixelRatio || 1))) || 300;
  const h = Math.max(16, Math.round(canvas.clientHeight * (window.devicePixelRatio || 1))) || 64;
  if (canvas.width !== w) canvas.width = w;
  if (canvas.height !== h) canvas.height = h;
  const g = canvas.getContext("2d");
  g.clearRect(0, 0, w, h);
  return { g, w, h };
}
