// Ring storage: the audio of a player's stream between the message that
// brought it and the output that plays it. No policy: when to play, when a
// stream ends and what is reported are the owner's (pcm-ring.js).
//
// Contract. One thread only: the audio rendering thread (worklet engine) or
// the page's main thread (main-thread engine). Frames are source frames (one
// sample per channel at the stream's rate), indices absolute since the storage
// was made; the output runs at the context rate; times are seconds. read()
// allocates nothing; put() allocates only when the ring grows (on the first
// audio of a rate that needs more room) and keeps the arrays it queues.
//
// put() takes whole interleaved frames (int16; mono is played on both sides)
// into a float ring of ringSeconds at the fastest rate seen (8 kHz at least).
// When the ring is full, further arrays wait in order in a backlog (nothing is
// copied or dropped) until the ring has room, up to backlogBytes; put()
// refuses only audio beyond that cap. A rate change takes effect at the frame
// written with it. read() resamples linearly to the context rate, gaplessly;
// running dry it plays the last frame in full (the resampler's last partial
// step too) rather than interpolating towards a frame not yet there.

export class RingStorage {
  /** @param {number} contextRate  frames per second of the output */
  constructor(contextRate) {
    this.rate = contextRate;
    this.ringSeconds = 20;
    this.backlogBytes = Infinity;
    this.capacity = 0; // frames; allocated on the first audio
    this.left = null;
    this.right = null;
    this.written = 0; // absolute index of the next frame to write
    this.readIdx = 0; // absolute index of the frame being read
    this.frac = 0; // fractional position between readIdx and readIdx + 1
    this.marks = []; // [{at, rate}]: rate changes at absolute frame positions
    this.srcRate = 0; // rate of the frames being read
    this.lastWriteRate = 0;
    this.backlog = []; // [{data, rate, channels, offset}] waiting for room in the ring
    this.backlogFrames = 0;
    this.backlogSize = 0; // bytes
    this.framesWritten = 0; // frames accepted into the ring, over the storage's life
    this.framesPlayed = 0; // frames consumed by read(), over the storage's life
    this.playedFrames = 0; // of the stream being read: source frames played at playedRate
    this.playedRate = 0;
    this.playedBefore = 0; // of the stream being read: seconds played at earlier rates
  }

  /** Frames in the ring not read yet (the backlog not counted). */
  get available() {
    return this.written - this.readIdx;
  }

  /** Frames held, ring and backlog. */
  get heldFrames() {
    return this.available + this.backlogFrames;
  }

  /** The rate of the frames being read (else of the last written). */
  get sourceRate() {
    return this.srcRate || this.lastWriteRate;
  }

  /** A new stream at `rate` is read from the write position on; its played time starts at 0. */
  restart(rate) {
    this.readIdx = this.written;
    this.frac = 0;
    this.marks = [];
    this.srcRate = rate;
    this.playedFrames = 0;
    this.playedRate = rate;
    this.playedBefore = 0;
  }

  /** Forget what is not read, ring and backlog. */
  clear() {
    this.readIdx = this.written;
    this.frac = 0;
    this.marks = [];
    this.backlog = [];
    this.backlogFrames = 0;
    this.backlogSize = 0;
  }

  /** Seconds of the stream read so far (the resampler's position included). */
  playedSeconds() {
    return this.playedBefore + (this.playedFrames + this.frac) / this.playedRate;
  }

  /** Seconds held and not read, ring and backlog. */
  heldSeconds() {
    let secs = 0;
    let pos = this.readIdx;
    let rate = this.readRate();
    for (const m of this.marks) {
      if (m.at > pos) secs += (m.at - pos) / rate;
      pos = Math.max(pos, m.at);
      rate = m.rate;
    }
    secs += Math.max(0, this.written - pos - this.frac) / rate;
    for (const b of this.backlog) secs += (b.data.length - b.offset) / b.channels / b.rate;
    return secs;
  }

  /** Output frames read() can give now without running dry (the last two source frames kept). */
  framesInHand() {
    return Math.floor((this.heldSeconds() - 2 / this.readRate()) * this.rate);
  }

  readRate() {
    return this.srcRate || this.lastWriteRate || this.rate;
  }

  /**
   * Take `samples` (whole interleaved int16 frames of `channels` at `rate`):
   * into the ring, else into the backlog; false when the backlog cap refuses it.
   */
  put(samples, rate, channels) {
    const n = Math.floor(samples.length / channels);
    this.ensureCapacity(rate);
    if (this.backlog.length === 0 && this.capacity - this.available >= n) {
      this.write(samples, 0, n, rate, channels);
      return true;
    }
    if (this.backlogSize + samples.byteLength > this.backlogBytes) return false;
    this.backlog.push({ data: samples, rate, channels, offset: 0 });
    this.backlogFrames += n;
    this.backlogSize += samples.byteLength;
    this.refill();
    return true;
  }

  ensureCapacity(rate) {
    const want = Math.ceil(this.ringSeconds * Math.max(rate, 8000));
    if (want <= this.capacity) return;
    const left = new Float32Array(want);
    const right = new Float32Array(want);
    for (let i = this.readIdx; i < this.written; i++) {
      const s = i % this.capacity;
      left[i % want] = this.left[s];
      right[i % want] = this.right[s];
    }
    this.left = left;
    this.right = right;
    this.capacity = want;
  }

  // Copy frames [from, from + n) of samples into the ring (the caller made room).
  write(samples, from, n, rate, ch) {
    if (rate !== this.lastWriteRate) this.marks.push({ at: this.written, rate });
    this.lastWriteRate = rate;
    const cap = this.capacity;
    const L = this.left;
    const R = this.right;
    let w = this.written % cap;
    const scale = 1 / 32768;
    if (ch === 1) {
      for (let i = from, end = from + n; i < end; i++) {
        const v = samples[i] * scale;
        L[w] = v;
        R[w] = v;
        if (++w === cap) w = 0;
      }
    } else {
      for (let i = 0, j = from * ch; i < n; i++, j += ch) {
        L[w] = samples[j] * scale;
        R[w] = samples[j + 1] * scale;
        if (++w === cap) w = 0;
      }
    }
    this.written += n;
    this.framesWritten += n;
  }

  // Move waiting audio into the ring while it has room, oldest first.
  refill() {
    while (this.backlog.length) {
      const b = this.backlog[0];
      const room = this.capacity - this.available;
      if (room <= 0) return;
      const left = (b.data.length - b.offset) / b.channels;
      const n = Math.min(room, left);
      this.write(b.data, b.offset / b.channels, n, b.rate, b.channels);
      b.offset += n * b.channels;
      this.backlogFrames -= n;
      if (n === left) {
        this.backlog.shift();
        this.backlogSize -= b.data.byteLength;
      }
    }
  }

  /**
   * Fill oL (and oR, when given) at the context rate from the read position;
   * returns how many frames carry audio. Running dry, the rest is silence and
   * the resampler's partial step is forgotten.
   */
  read(oL, oR) {
    if (this.backlog.length) this.refill();
    const frames = oL.length;
    const L = this.left;
    const R = this.right;
    const cap = this.capacity;
    let step = this.readRate() / this.rate;
    let i = 0;
    for (; i < frames; i++) {
      // apply a pending rate change once the read position reaches it
      while (this.marks.length && this.readIdx >= this.marks[0].at) {
        this.playedBefore += this.playedFrames / this.playedRate;
        this.playedFrames = 0;
        this.srcRate = this.playedRate = this.marks.shift().rate;
        step = this.srcRate / this.rate;
      }
      const avail = this.written - this.readIdx;
      if (avail <= 0) break; // dry
      const a = this.readIdx % cap;
      // the last received frame is held rather than interpolated towards a
      // frame that has not arrived: it plays in full
      const b = avail >= 2 ? (a + 1 === cap ? 0 : a + 1) : a;
      const f = this.frac;
      const l = L[a];
      const r = R[a];
      oL[i] = l + (L[b] - l) * f;
      if (oR) oR[i] = r + (R[b] - r) * f;
      let nf = f + step;
      if (nf >= 1) {
        let adv = Math.floor(nf);
        nf -= adv;
        if (adv > avail) {
          adv = avail;
          nf = 0;
        }
        this.readIdx += adv;
        this.framesPlayed += adv;
        this.playedFrames += adv;
      }
      this.frac = nf;
    }
    if (i < frames) {
      oL.fill(0, i);
      if (oR) oR.fill(0, i);
      this.frac = 0;
    }
    return i;
  }
}
