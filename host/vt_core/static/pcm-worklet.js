// PCM ring-buffer player: the AudioWorkletProcessor behind every streaming player.
//
// The main thread posts whole int16 frames (never a partial one) together with
// their format; this processor keeps them in one ring per player, waits for a
// small jitter buffer before it starts (and again after running dry; each gap
// makes that buffer half as large again, up to 0.4 s), resamples linearly to
// the context rate and plays them gaplessly. It reports to the main thread:
//   {type: "started"}               first audio of a stream left the ring
//   {type: "ended"}                 a stream marked finished ("eos") drained
//   {type: "stats", id, stats}      reply to {type: "stats", id}
//
// Counters (all in source frames unless named otherwise):
//   framesWritten   frames accepted into the ring
//   framesPlayed    frames consumed by playback
//   underruns       times the ring ran dry while playing and more audio of the
//                   same stream arrived afterwards (an audible gap); running dry
//                   at the end of a stream is not a gap
//   dryEvents       every time the ring ran dry while playing, tail included
//   starvedFrames   output frames of silence played while dry (context rate;
//                   the silence after the end of a push stream counts too)
//   droppedFrames   oldest frames discarded because the ring was full
//   streams         streams started (first audio) since the node was created
//   lowWater        fewest frames left in the ring after a render quantum
//                   while playing, in the current stream (-1: none yet)
//   lastDryAt       framesPlayed when the ring last ran dry (-1: never)
//   underrunAt      framesPlayed at the first 16 underruns

const STATE_IDLE = "idle"; // no stream: output silence
const STATE_BUFFERING = "buffering"; // waiting for the jitter buffer to fill
const STATE_PLAYING = "playing";
const STATE_PAUSED = "paused";

class PcmRingPlayer extends AudioWorkletProcessor {
  constructor(options) {
    super();
    const o = (options && options.processorOptions) || {};
    this.maxSeconds = o.maxSeconds || 20;
    this.jitterSeconds = o.jitterSeconds == null ? 0.1 : o.jitterSeconds;
    this.maxJitterSeconds = Math.max(this.jitterSeconds, 0.4);
    this.capacity = 0; // frames; allocated on the first audio
    this.left = null;
    this.right = null;
    this.written = 0; // absolute index of the next frame to write
    this.readIdx = 0; // absolute index of the frame being read
    this.frac = 0; // fractional position between readIdx and readIdx + 1
    this.marks = []; // [{at, rate}]: rate changes at absolute frame positions
    this.srcRate = 0; // rate of the frames being read
    this.lastWriteRate = 0;
    this.state = STATE_IDLE;
    this.pausedWhile = STATE_IDLE;
    this.eos = false;
    this.streamOpen = false; // audio of the current stream has arrived
    this.starved = false; // ran dry while playing and not yet resumed
    this.startedThisStream = false;
    this.c = {
      framesWritten: 0,
      framesPlayed: 0,
      underruns: 0,
      dryEvents: 0,
      starvedFrames: 0,
      droppedFrames: 0,
      streams: 0,
      lowWater: -1,
      lastDryAt: -1,
      underrunAt: [],
    };
    this.port.onmessage = (e) => this.onMessage(e.data);
  }

  onMessage(msg) {
    switch (msg.type) {
      case "pcm":
        this.write(msg.data, msg.rate, msg.channels);
        break;
      case "eos": // the producer finished: play out what is left, then end
        if (!this.streamOpen) break;
        this.eos = true;
        this.maybeBegin();
        break;
      case "reset": // the stream was closed: silence now, forget buffered audio
        this.readIdx = this.written;
        this.frac = 0;
        this.marks = [];
        this.eos = false;
        this.streamOpen = false;
        this.starved = false;
        this.startedThisStream = false;
        this.state = STATE_IDLE;
        break;
      case "pause":
        if (this.state !== STATE_PAUSED) {
          this.pausedWhile = this.state;
          this.state = STATE_PAUSED;
        }
        break;
      case "resume":
        if (this.state === STATE_PAUSED) {
          if (this.pausedWhile === STATE_IDLE) {
            this.state = STATE_IDLE;
          } else if (this.pausedWhile === STATE_PLAYING && this.available() > 0) {
            this.begin();
          } else {
            this.state = STATE_BUFFERING;
            this.maybeBegin();
          }
        }
        break;
      case "config":
        if (msg.jitterSeconds != null) this.jitterSeconds = msg.jitterSeconds;
        break;
      case "stats":
        this.port.postMessage({ type: "stats", id: msg.id, stats: this.stats() });
        break;
    }
  }

  stats() {
    return Object.assign({}, this.c, {
      state: this.state,
      buffered: this.available(),
      capacity: this.capacity,
      sourceRate: this.srcRate || this.lastWriteRate,
      contextRate: sampleRate,
      jitterSeconds: this.jitterSeconds,
      currentTime: currentTime,
    });
  }

  available() {
    return this.written - this.readIdx;
  }

  ensureCapacity(rate) {
    const want = Math.ceil(this.maxSeconds * Math.max(rate, 8000));
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

  write(samples, rate, channels) {
    const ch = Math.max(1, channels | 0);
    const n = Math.floor(samples.length / ch);
    if (n <= 0 || !(rate > 0)) return;
    this.ensureCapacity(rate);
    if (!this.streamOpen) {
      // a new stream: start clean at the write position
      this.readIdx = this.written;
      this.frac = 0;
      this.marks = [];
      this.srcRate = rate;
      this.streamOpen = true;
      this.startedThisStream = false;
      this.starved = false;
      if (this.state === STATE_PAUSED) this.pausedWhile = STATE_BUFFERING;
      else this.state = STATE_BUFFERING;
    } else if (rate !== this.lastWriteRate) {
      this.marks.push({ at: this.written, rate });
    }
    this.lastWriteRate = rate;
    this.eos = false;
    // Drop the oldest audio when the ring would overflow: latency stays bounded.
    const overflow = this.available() + n - this.capacity;
    if (overflow > 0) {
      this.readIdx += overflow;
      this.frac = 0;
      this.c.droppedFrames += overflow;
    }
    const cap = this.capacity;
    const L = this.left;
    const R = this.right;
    let w = this.written % cap;
    const scale = 1 / 32768;
    if (ch === 1) {
      for (let i = 0; i < n; i++) {
        const v = samples[i] * scale;
        L[w] = v;
        R[w] = v;
        if (++w === cap) w = 0;
      }
    } else {
      for (let i = 0, j = 0; i < n; i++, j += ch) {
        L[w] = samples[j] * scale;
        R[w] = samples[j + 1] * scale;
        if (++w === cap) w = 0;
      }
    }
    this.written += n;
    this.c.framesWritten += n;
    this.maybeBegin();
  }

  // Leave the buffering state once the jitter buffer holds enough audio
  // (or the stream has ended and whatever is left should play).
  maybeBegin() {
    if (this.state !== STATE_BUFFERING) return;
    const need = Math.max(1, Math.round(this.jitterSeconds * this.currentSourceRate()));
    const avail = this.available();
    if (avail >= need || (this.eos && avail > 0)) this.begin();
    else if (this.eos) this.finish(true);
  }

  currentSourceRate() {
    return this.srcRate || this.lastWriteRate || sampleRate;
  }

  begin() {
    if (this.starved) {
      // an audible gap: count it, and hold back more audio from now on
      this.c.underruns++;
      if (this.c.underrunAt.length < 16) this.c.underrunAt.push(this.c.framesPlayed);
      this.starved = false;
      this.jitterSeconds = Math.min(this.maxJitterSeconds, this.jitterSeconds * 1.5);
    }
    this.state = STATE_PLAYING;
  }

  // Called when a render quantum carried audio: the first one of a stream is
  // its start (not the moment the jitter buffer filled: a suspended context
  // renders nothing).
  announce() {
    if (this.startedThisStream) return;
    this.startedThisStream = true;
    this.c.streams++;
    this.c.lowWater = -1;
    this.port.postMessage({ type: "started", rate: this.currentSourceRate() });
  }

  finish(notify) {
    this.state = STATE_IDLE;
    this.starved = false;
    this.eos = false;
    this.streamOpen = false;
    this.marks = [];
    if (notify && this.startedThisStream) this.port.postMessage({ type: "ended" });
    this.startedThisStream = false;
  }

  process(inputs, outputs) {
    const out = outputs[0];
    const oL = out[0];
    const oR = out.length > 1 ? out[1] : null;
    const frames = oL.length;
    if (this.state !== STATE_PLAYING) {
      if (this.starved && this.state === STATE_BUFFERING) this.c.starvedFrames += frames;
      oL.fill(0);
      if (oR) oR.fill(0);
      return true;
    }
    const L = this.left;
    const R = this.right;
    const cap = this.capacity;
    let step = this.currentSourceRate() / sampleRate;
    let i = 0;
    for (; i < frames; i++) {
      // apply a pending rate change once the read position reaches it
      while (this.marks.length && this.readIdx >= this.marks[0].at) {
        this.srcRate = this.marks.shift().rate;
        step = this.srcRate / sampleRate;
      }
      const avail = this.written - this.readIdx;
      let a;
      let b;
      let f = this.frac;
      if (avail >= 2) {
        a = this.readIdx % cap;
        b = (this.readIdx + 1) % cap;
      } else if (avail === 1 && (f === 0 || this.eos)) {
        a = this.readIdx % cap;
        b = a;
        f = 0;
      } else {
        break; // dry
      }
      const l = L[a];
      const r = R[a];
      oL[i] = l + (L[b] - l) * f;
      if (oR) oR[i] = r + (R[b] - r) * f;
      let nf = this.frac + step;
      let adv = 0;
      while (nf >= 1) {
        nf -= 1;
        adv++;
      }
      if (adv > this.written - this.readIdx) adv = this.written - this.readIdx;
      this.readIdx += adv;
      this.c.framesPlayed += adv;
      this.frac = nf;
    }
    if (i > 0) this.announce();
    if (i === frames) {
      const left = this.written - this.readIdx;
      if (this.c.lowWater < 0 || left < this.c.lowWater) this.c.lowWater = left;
    } else {
      oL.fill(0, i);
      if (oR) oR.fill(0, i);
      if (this.eos) {
        this.finish(true);
      } else {
        this.c.dryEvents++;
        this.c.lastDryAt = this.c.framesPlayed;
        this.c.starvedFrames += frames - i;
        this.starved = true;
        this.state = STATE_BUFFERING;
      }
    }
    return true;
  }
}

registerProcessor("vt-pcm-ring", PcmRingPlayer);
