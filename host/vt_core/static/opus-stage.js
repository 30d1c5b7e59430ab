// The Opus stage in front of a player's ring (the interface is pcm-stage.js's):
// the host's headed frames of Opus packets (layout in docs/PROTOCOL.md and
// host/vt_core/opus.py) decoded with WebCodecs' AudioDecoder, the encoder's
// pre-skip and final padding dropped, and the rest resampled to exactly the
// source frames the packets stand for, as int16 at the stream's own rate. So
// the ring, and every report, counts in samples of what was written, whatever
// travelled.
//
// Decoding is asynchronous: the sink is called from the decoders' output
// callbacks, in order. Each encoder of the host (a FIRST frame starts one) gets
// a decoder of its own, as a new stream's decoder must start afresh.

export const FIRST = 1; // the first packets of a new encoder
export const LAST = 2; // the encoder's last packets: padding follows the last one's kept samples
const MAGIC = 0x4f;
const HEAD_BYTES = 20;
const CLOCK = 48000; // the rate skip and keep count at
const PACKET = 960; // 48 kHz samples of a 20 ms packet

/** The decoder's settings for a stream of `channels`. */
export function opusConfig(channels) {
  return { codec: "opus", sampleRate: CLOCK, numberOfChannels: channels };
}

/** Whether this page can decode Opus (a Promise): WebCodecs with opus, mono and stereo. */
export async function opusSupported() {
  if (typeof AudioDecoder === "undefined" || typeof EncodedAudioChunk === "undefined") return false;
  try {
    for (const channels of [1, 2]) {
      if (!(await AudioDecoder.isConfigSupported(opusConfig(channels))).supported) return false;
    }
    return true;
  } catch {
    return false;
  }
}

/** A headed frame's fields: {flags, channels, position, frames, packets: [{data, skip, keep}]}; throws if it is none. */
export function parseFrame(bytes) {
  if (bytes.length < HEAD_BYTES || bytes[0] !== MAGIC) throw new Error("not a headed Opus frame");
  const v = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const n = bytes[3];
  const skip = v.getUint16(16, true);
  const keep = v.getUint16(18, true);
  let at = HEAD_BYTES + 2 * n;
  const packets = [];
  for (let i = 0; i < n; i++) {
    const length = v.getUint16(HEAD_BYTES + 2 * i, true);
    const first = i === 0 ? skip : 0;
    packets.push({ data: bytes.subarray(at, at + length), skip: first, keep: i === n - 1 ? keep : PACKET - first });
    at += length;
  }
  if (at !== bytes.length || n === 0) throw new Error(`a headed Opus frame of ${bytes.length} bytes says ${at}`);
  return {
    flags: bytes[1],
    channels: bytes[2],
    position: v.getUint32(4, true) + v.getUint32(8, true) * 2 ** 32,
    frames: v.getUint32(12, true),
    packets,
  };
}

/**
 * Kept 48 kHz-clock samples to exactly the source frames they stand for, linearly, across packets.
 * push(samples, due, final): samples interleaved Float32 of `channels` (the kept ones, in order); due:
 * source frames they complete (0 while a frame's packets are still coming); final: the run ends here,
 * every frame due comes out. Returns the frames it can give now as an Int16Array.
 */
export class RunResampler {
  constructor(rate, channels, inputRate = CLOCK) {
    this.step = inputRate / rate; // input samples per source frame
    this.channels = channels;
    this.restart();
  }

  restart() {
    this.held = new Float32Array(0); // input from input frame `base` on
    this.base = 0;
    this.taken = 0; // input frames so far in this run
    this.due = 0; // source frames the input so far stands for
    this.out = 0; // source frames given out
  }

  push(samples, due, final) {
    const ch = this.channels;
    const held = new Float32Array(this.held.length + samples.length);
    held.set(this.held, 0);
    held.set(samples, this.held.length);
    this.taken += samples.length / ch;
    this.due += due;
    const last = this.taken - 1; // the last input frame there is
    let n = 0;
    while (this.out + n < this.due && (final || (this.out + n) * this.step <= last - 1)) n++;
    const out = new Int16Array(n * ch);
    for (let k = 0; k < n; k++) {
      const p = Math.min((this.out + k) * this.step, Math.max(0, last));
      const i = Math.floor(p);
      const frac = p - i;
      const a = (i - this.base) * ch;
      const b = (Math.min(i + 1, last) - this.base) * ch;
      for (let c = 0; c < ch; c++) {
        const x = (held[a + c] || 0) * (1 - frac) + (held[b + c] || 0) * frac;
        out[k * ch + c] = Math.max(-32768, Math.min(32767, Math.round(x * 32768)));
      }
    }
    this.out += n;
    const keepFrom = Math.max(0, Math.min(Math.floor(this.out * this.step), last) - this.base);
    this.held = held.slice(keepFrom * ch);
    this.base += keepFrom;
    if (final) this.restart();
    return out;
  }
}

export class OpusStage {
  constructor(sink) {
    this.sink = sink;
    // One decoder per encoder of the host: a run of packets, decoded in order. Outputs of a run
    // wait until the runs before it have given all theirs.
    this.runs = []; // {decoder, channels, queue: [{skip, keep, due, final, format, t, bytes}], early: [AudioData]}
    this.pending = 0;
    this.resampler = null;
    this.ended = null; // end()'s callback, once every run is done
    this.seq = 0;
  }

  get pendingBytes() {
    return this.pending;
  }

  open(channels) {
    const run = { decoder: null, channels, queue: [], early: [] };
    run.decoder = new AudioDecoder({
      output: (data) => this.decoded(run, data),
      error: (err) => {
        console.error("[vt] the Opus decoder failed:", err);
        this.drop(run);
      },
    });
    run.decoder.configure(opusConfig(channels));
    this.runs.push(run);
    return run;
  }

  write(bytes, format, t) {
    let f;
    try {
      f = parseFrame(bytes);
    } catch (err) {
      console.warn("[vt] dropped a binary frame:", err.message);
      return;
    }
    let run = this.runs[this.runs.length - 1];
    if (!run || f.channels !== run.channels || f.flags & FIRST) {
      if (run) run.decoder.flush().catch(() => {}); // its last outputs come out
      run = this.open(f.channels);
    }
    f.packets.forEach((p, i) => {
      const last = i === f.packets.length - 1;
      run.queue.push({ skip: p.skip, keep: p.keep, due: last ? f.frames : 0, final: last && !!(f.flags & LAST),
        format, t, bytes: p.data.length });
      this.pending += p.data.length;
      run.decoder.decode(new EncodedAudioChunk({ type: "key", timestamp: 20000 * this.seq++, data: p.data }));
    });
    if (f.flags & LAST) run.decoder.flush().catch(() => {}); // nothing follows: out with all of it now
  }

  decoded(run, data) {
    if (run !== this.runs[0]) {
      if (this.runs.includes(run)) run.early.push(data);
      else data.close();
      return;
    }
    try {
      this.take(run, data);
    } finally {
      data.close();
    }
    // a run whose packets have all come out gives way to the next one (whose outputs may be waiting)
    while (this.runs.length > 1 && !this.runs[0].queue.length) {
      this.close(this.runs.shift());
      const next = this.runs[0];
      for (const d of next.early.splice(0)) {
        try {
          this.take(next, d);
        } finally {
          d.close();
        }
      }
    }
    this.settle();
  }

  take(run, data) {
    const m = run.queue.shift();
    if (!m) return;
    this.pending -= m.bytes;
    const ch = run.channels;
    const r = this.resampler;
    if (!r || r.rate !== m.format.rate || r.inputRate !== data.sampleRate || r.channels !== ch) {
      this.resampler = new RunResampler(m.format.rate, ch, data.sampleRate);
      Object.assign(this.resampler, { rate: m.format.rate, inputRate: data.sampleRate });
    }
    const scale = data.sampleRate / CLOCK;
    const from = Math.round(m.skip * scale);
    const count = Math.max(0, Math.min(data.numberOfFrames - from, Math.round(m.keep * scale)));
    const kept = new Float32Array(count * ch);
    const plane = new Float32Array(data.numberOfFrames);
    for (let c = 0; c < ch; c++) {
      data.copyTo(plane, { planeIndex: Math.min(c, data.numberOfChannels - 1), format: "f32-planar" });
      for (let i = 0; i < count; i++) kept[i * ch + c] = plane[from + i];
    }
    const out = this.resampler.push(kept, m.due, m.final);
    if (out.length) this.sink(out, m.format, m.t);
  }

  /** A run whose decoder failed: what it still held is not played. */
  drop(run) {
    const at = this.runs.indexOf(run);
    if (at < 0) return;
    this.runs.splice(at, 1);
    for (const m of run.queue) this.pending -= m.bytes;
    for (const d of run.early) d.close();
    this.close(run);
    this.resampler = null;
    this.settle();
  }

  settle() {
    if (this.ended && this.runs.every((run) => !run.queue.length)) {
      const done = this.ended;
      this.ended = null;
      done();
    }
  }

  end(done) {
    this.ended = done;
    for (const run of this.runs) if (run.queue.length) run.decoder.flush().catch(() => {});
    this.settle();
  }

  close(run) {
    if (run.decoder.state !== "closed") run.decoder.close();
  }

  reset() {
    for (const run of this.runs.splice(0)) {
      for (const d of run.early) d.close();
      this.close(run);
    }
    this.pending = 0;
    this.resampler = null;
    this.ended = null;
  }
}
