// The Opus stage under a stand-in decoder that "decodes" packet k of a run to the 48 kHz samples
// 960k .. 960k+959 (as int16 values, mod 4096), answering late and out of turn: what reaches the sink
// is every written frame once, in order, with the pre-skip and the padding gone.
import { FIRST, LAST, OpusStage, parseFrame } from "/static/opus-stage.js";
import { eq } from "./check.js";

const decoders = [];
class FakeDecoder {
  constructor({ output }) {
    Object.assign(this, { output, state: "configured", count: 0, held: [] });
    decoders.push(this);
  }
  configure(config) { this.channels = config.numberOfChannels; }
  decode() {
    const base = 960 * this.count++;
    const channels = this.channels;
    this.held.push({ sampleRate: 48000, numberOfFrames: 960, numberOfChannels: channels, close() {},
      copyTo(plane) { plane.forEach((_, i) => { plane[i] = ((base + i) % 4096) / 32768; }); } });
  }
  answer(n = Infinity) { for (const d of this.held.splice(0, n)) this.output(d); }
  flush() { return Promise.resolve(); }
  close() { this.state = "closed"; }
}
globalThis.AudioDecoder = FakeDecoder;
globalThis.EncodedAudioChunk = class { constructor(init) { Object.assign(this, init); } };

function frame(flags, channels, position, frames, skip, keep, lengths) {
  const head = new DataView(new ArrayBuffer(20 + 2 * lengths.length));
  [0x4f, flags, channels, lengths.length].forEach((b, i) => head.setUint8(i, b));
  [[4, position % 2 ** 32], [8, Math.floor(position / 2 ** 32)], [12, frames]].forEach(([at, v]) => head.setUint32(at, v, true));
  [skip, keep, ...lengths].forEach((v, i) => head.setUint16(16 + 2 * i, v, true));
  const out = new Uint8Array(head.byteLength + lengths.reduce((a, b) => a + b, 0));
  out.set(new Uint8Array(head.buffer), 0);
  return out;
}

export const cases = {
  "a headed frame's fields, and frames that are none"() {
    const f = parseFrame(frame(FIRST, 2, 2 ** 33 + 5, 2000, 312, 500, [3, 7]));
    eq([f.flags, f.channels, f.position, f.frames], [FIRST, 2, 2 ** 33 + 5, 2000]);
    eq(f.packets.map((p) => [p.data.length, p.skip, p.keep]), [[3, 312, 648], [7, 0, 500]]);
    for (const bad of [new Uint8Array(5), frame(0, 1, 0, 0, 0, 0, [4]).subarray(0, 23), frame(0, 1, 0, 0, 0, 0, [])]) {
      let threw = false;
      try { parseFrame(bad); } catch { threw = true; }
      eq(threw, true, `${bad.length} bytes`);
    }
  },

  "two encoders' runs at 48 kHz: every written sample once, in order, the later run's early answers held back"() {
    decoders.length = 0;
    const got = [];
    const stage = new OpusStage((s) => got.push(...s));
    const fmt = { rate: 48000, channels: 1 };
    // run 1: 3 packets standing for 960 * 3 - 312 - 100 frames; run 2: 2 packets
    stage.write(frame(FIRST, 1, 0, 960 * 2 - 312, 312, 960, [1, 1]), fmt, 0);
    stage.write(frame(LAST, 1, 960 * 2 - 312, 860, 0, 860, [1]), fmt, 0);
    stage.write(frame(FIRST | LAST, 1, 960 * 3 - 412, 1500, 312, 852, [1, 1]), fmt, 0);
    decoders[1].answer(); // out of turn: held until run 1 is done
    eq(got.length, 0);
    decoders[0].answer(1);
    decoders[0].answer();
    eq(got.length, 960 * 3 - 412 + 1500);
    const want = [...Array(960 * 3 - 412).keys()].map((n) => (n + 312) % 4096)
      .concat([...Array(1500).keys()].map((n) => (n + 312) % 4096));
    eq(got.join(), want.join());
    eq(stage.pendingBytes, 0);
  },

  "at 22.05 kHz stereo the kept samples become exactly the frames written; a reset forgets what was pending"() {
    decoders.length = 0;
    const got = [];
    const stage = new OpusStage((s) => got.push(s.length / 2));
    const fmt = { rate: 22050, channels: 2 };
    stage.write(frame(FIRST, 2, 0, 1000, 312, 960, [2, 2, 2]), fmt, 0);
    stage.write(frame(LAST, 2, 1000, 577, 0, 296, [2]), fmt, 0);
    decoders[0].answer();
    eq(got.reduce((a, b) => a + b, 0), 1577);
    stage.write(frame(FIRST, 2, 1577, 400, 312, 960, [2]), fmt, 0);
    eq(stage.pendingBytes, 2);
    stage.reset();
    decoders[1].answer();
    eq([stage.pendingBytes, got.reduce((a, b) => a + b, 0), decoders[1].state], [0, 1577, "closed"]);
  },

  "an encoder after a long silence, with pre-roll: every frame once, the pre-roll dropped, in the order they came"() {
    decoders.length = 0;
    const got = [];
    const stage = new OpusStage((s) => got.push(...s));
    const fmt = { rate: 48000, channels: 1 };
    stage.begin(0);
    stage.write(frame(FIRST, 1, 0, 1608, 312, 960, [1, 1]), fmt, 0);
    stage.write(frame(LAST, 1, 1608, 392, 0, 392, [1]), fmt, 0); // ended by the silence: frames 0..1999
    stage.write(frame(FIRST | LAST, 1, 1040, 1960, 312, 352, [1, 1, 1]), fmt, 0); // 960 of pre-roll, then 2000..2999
    decoders[1].answer(); // the next decoder answers first: held until the frames before it are out
    eq(got.length, 0);
    decoders[0].answer();
    const value = (n) => (n < 2000 ? n + 312 : n - 1040 + 312) % 4096;
    eq(got.length, 3000);
    eq(got.join(), [...Array(3000).keys()].map(value).join());
  },
};
