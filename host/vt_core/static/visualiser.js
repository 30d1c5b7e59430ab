// The visualiser: the live waveform or spectrum of a player's output, drawn
// from its analyser on the player's canvas once per animation frame.

export class Visualiser {
  constructor() {
    this.freqBuf = null;
    this.timeBuf = null;
  }

  /** Draw one frame of analyser (may be null: a blank canvas) as type ("waveform" | "spectrum"). */
  draw(canvas, analyser, type, color) {
    const w = Math.max(50, Math.round(canvas.clientWidth * (window.devicePixelRatio || 1))) || 300;
    const h = Math.max(16, Math.round(canvas.clientHeight * (window.devicePixelRatio || 1))) || 64;
    if (canvas.width !== w) canvas.width = w;
    if (canvas.height !== h) canvas.height = h;
    const g = canvas.getContext("2d");
    g.clearRect(0, 0, w, h);
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
}
