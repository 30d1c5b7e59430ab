// The Opus stage in front of a player's ring (the interface is pcm-stage.js's):
// the host's headed frames of Opus packets (layout in docs/PROTOCOL.md and
// host/vt_core/opus.py) decoded with WebCodecs' AudioDecoder, the encoder's
// pre-skip and final padding dropped, and the rest resampled to exactly the
// source frames the packets stand for, as int16 at the stream's own rate. So
// the ring, and every report, counts in samples of what was written, whatever
// travelled.
//
// Decoding is asynchronous: the sink is called from the decoders' output
// callbacks, in the order the frames came. A FIRST frame starts a decoder
// afresh (the host's next encoder, a resume); the one before gives out what it
// holds first. Every frame states its position in the stream: what the sink
// already has (an encoder's pre-roll, a resume's) is dropped, so the ring gets
// each source frame once, in order.

export const FIRST = 1; // decode from here with a fresh decoder
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

/** {flags, channels, position, frames} of a headed frame (an ArrayBuffer), or null when it is none. */
export function parseHead(buffer) {
  if (buffer.byteLength < HEAD_BYTES) return null;
  const v = new DataView(buffer);
  if (v.getUint8(0) !== MAGIC) return null;
  return { flags: v.getUint8(1), channels: v.getUint8(2), position: v.getUint32(4, true) + v.getUint32(8, true) * 2 ** 32,
    frames: v.getUint32(12, true) };
}

/** The bytes of PCM a headed frame stands for (what the page tells the host it received). */
export function sourceBytes(buffer) {
  const h = parseHead(buffer);
  return h ? 2 * h.channels * h.frames : buffer.byteLength;
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
    this.items = []; // every packet taken, in order: {run, bytes, at, samples, done, ...}
    this.main = null; // the run frames go to: {decoder, channels, queue, resampler, outAt, seq}
    this.runs = new Set();
    this.next = 0; // the stream position the sink has everything before
    this.reached = 0; // the end of the frames taken (a stream position)
    this.pending = 0;
    this.ended = null; // end()'s callback, once every packet has come out
  }

  get pendingBytes() {
    return this.pending;
  }

  /** Source frames the frames taken stand for that have not reached the sink yet. */
  get pendingFrames() {
    return Math.max(0, this.reached - this.next);
  }

  /** A new stream, whose first frame the sink gets is `at`. */
  begin(at) {
    this.next = this.reached = at;
  }

  /** A resume: the frames that follow start a fresh decoder (FIRST); what the last one holds still comes out. */
  resume() {}

  open(channels, rate, at) {
    const run = { decoder: null, channels, queue: [], resampler: new RunResampler(rate, channels), outAt: at, clock: 0 };
    run.decoder = new AudioDecoder({
      output: (data) => this.decoded(run, data),
      error: (err) => {
        console.error("[vt] the Opus decoder failed:", err);
        this.drop(run);
      },
    });
    run.decoder.configure(opusConfig(channels));
    this.runs.add(run);
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
    this.reached = Math.max(this.reached, f.position + f.frames);
    let run = this.main;
    if (!run || f.channels !== run.channels || f.flags & FIRST) {
      if (run) this.finish(run); // its last outputs come out
      run = this.main = this.open(f.channels, format.rate, f.position);
    }
    f.packets.forEach((p, i) => {
      const last = i === f.packets.length - 1;
      const item = { run, skip: p.skip, keep: p.keep, due: last ? f.frames : 0, final: last && !!(f.flags & LAST),
        format, t, bytes: p.data.length, samples: null, at: 0, done: false };
      this.items.push(item);
      run.queue.push(item);
      this.pending += item.bytes;
      // timestamps as long as each packet lasts (a synced chunk's is 10 ms; an encoder's last one is padded to 20)
      run.decoder.decode(new EncodedAudioChunk({ type: "key", timestamp: Math.round(run.clock * 1e6 / CLOCK), data: p.data }));
      run.clock += item.final ? PACKET : p.skip + p.keep;
    });
    if (f.flags & LAST) this.finish(run); // nothing follows: out with all of it now
  }

  finish(run) {
    if (run.decoder.state === "configured") run.decoder.flush().catch(() => {});
    if (run === this.main && run.queue.length === 0) this.main = null;
    else if (run === this.main) run.finishing = true;
  }

  decoded(run, data) {
    try {
      const item = run.queue.shift();
      if (item && this.runs.has(run)) this.take(run, item, data);
    } finally {
      data.close();
    }
    this.emit();
  }

  take(run, item, data) {
    const ch = run.channels;
    const scale = data.sampleRate / CLOCK;
    const from = Math.round(item.skip * scale);
    const count = Math.max(0, Math.min(data.numberOfFrames - from, Math.round(item.keep * scale)));
    const kept = new Float32Array(count * ch);
    const plane = new Float32Array(data.numberOfFrames);
    for (let c = 0; c < ch; c++) {
      data.copyTo(plane, { planeIndex: Math.min(c, data.numberOfChannels - 1), format: "f32-planar" });
      for (let i = 0; i < count; i++) kept[i * ch + c] = plane[from + i];
    }
    if (run.resampler.step !== data.sampleRate / item.format.rate) {
      run.resampler = new RunResampler(item.format.rate, ch, data.sampleRate); // (decoders give 48 kHz)
    }
    item.samples = run.resampler.push(kept, item.due, item.final);
    item.at = run.outAt;
    run.outAt += item.samples.length / ch;
    item.done = true;
  }

  // Out to the sink, in the order the frames came: what the sink has already is dropped.
  emit() {
    const items = this.items;
    while (items.length && items[0].done) {
      const m = items.shift();
      this.pending -= m.bytes;
      const ch = m.run.channels;
      const n = m.samples ? m.samples.length / ch : 0;
      const cut = Math.max(0, Math.min(n, this.next - m.at));
      if (n > cut) {
        this.sink(cut ? m.samples.subarray(cut * ch) : m.samples, m.format, m.t);
        this.next = m.at + n;
      }
    }
    for (const run of this.runs) {
      if (run.queue.length || (run === this.main && !run.finishing)) continue;
      this.close(run);
      if (run === this.main) this.main = null;
    }
    this.settle();
  }

  /** A run whose decoder failed: what it still held is not played. */
  drop(run) {
    for (const m of run.queue.splice(0)) m.done = true;
    this.close(run);
    if (run === this.main) this.main = null;
    this.emit();
  }

  settle() {
    if (this.ended && !this.items.length) {
      const done = this.ended;
      this.ended = null;
      done();
    }
  }

  end(done) {
    this.ended = done;
    for (const run of this.runs) if (run.queue.length) this.finish(run);
    this.settle();
  }

  close(run) {
    this.runs.delete(run);
    if (run.decoder.state !== "closed") run.decoder.close();
  }

  reset() {
    for (const run of [...this.runs]) this.close(run);
    this.items = [];
    this.main = null;
    this.pending = 0;
    this.ended = null;
  }
}
