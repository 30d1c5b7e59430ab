// The stage in front of a player's ring: what the stream's bytes carried,
// turned into the PCM the ring takes. This one passes raw int16 PCM through,
// cut into whole frames.
//
// A stage (this one, or a decoder in its place) has:
//   constructor(sink)  sink(samples, format, t): whole interleaved int16
//                      frames of format.channels at format.rate (the stream's
//                      own), in order; format is the one they were written
//                      with, t the arrival time of the bytes they came from. A
//                      stage may call it later than write() (a decoder's output
//                      is asynchronous); never after reset().
//   write(bytes, format, t)  bytes of the stream as they came (a Uint8Array,
//                      any length) in format ({rate, channels, ...})
//   end(done)          no more bytes: done() once every sample has gone to the sink
//   reset()            forget what is pending (the stream was closed)
//   pendingBytes       bytes taken and not yet given to the sink

const LITTLE_ENDIAN = new Uint8Array(new Uint16Array([1]).buffer)[0] === 1;

export class PcmStage {
  constructor(sink) {
    this.sink = sink;
    this.carry = new Uint8Array(0); // bytes of an incomplete frame
    this.channels = 0;
  }

  get pendingBytes() {
    return this.carry.length;
  }

  write(bytes, format, t) {
    const channels = format.channels;
    if (channels !== this.channels) {
      if (this.channels) this.carry = new Uint8Array(0); // a frame of the old layout is no frame of the new
      this.channels = channels;
    }
    const frameBytes = 2 * channels;
    const total = this.carry.length + bytes.length;
    const whole = total - (total % frameBytes);
    if (whole === 0) {
      this.carry = concat(this.carry, bytes);
      return;
    }
    const out = new Uint8Array(whole);
    out.set(this.carry.subarray(0, Math.min(this.carry.length, whole)), 0);
    const fromBytes = whole - this.carry.length;
    out.set(bytes.subarray(0, fromBytes), this.carry.length);
    this.carry = bytes.slice(fromBytes);
    if (!LITTLE_ENDIAN) {
      for (let i = 0; i < whole; i += 2) {
        const b = out[i];
        out[i] = out[i + 1];
        out[i + 1] = b;
      }
    }
    this.sink(new Int16Array(out.buffer), format, t);
  }

  /** An incomplete last frame is not played. */
  end(done) {
    this.reset();
    done();
  }

  reset() {
    this.carry = new Uint8Array(0);
  }
}

export function concat(a, b) {
  if (!a.length) return b;
  if (!b.length) return a;
  const out = new Uint8Array(a.length + b.length);
  out.set(a, 0);
  out.set(b, a.length);
  return out;
}
