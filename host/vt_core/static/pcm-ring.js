// PCM ring-buffer player: the jitter buffer, stream ends and reports behind
// every streaming player, whichever engine renders it.
//
// Engines. The same PcmRing runs on the audio rendering thread inside an
// AudioWorkletProcessor (pcm-worklet.js) where the page may use AudioWorklet,
// or on the page's main thread where it may not (scheduled-output.js renders
// blocks ahead and schedules them on the context clock). Either way the main
// thread (stream-ingest.js) talks to it only through messages, and the engine
// calls render() once per block of output. Frames are counted in source
// frames (one sample per channel at the stream's rate) unless named
// otherwise; times are seconds.
//
// The main thread posts whole int16 frames (never a partial one) together with
// their format. They go into one float ring per player (maxSeconds long). When
// the ring is full, further audio waits in order in a backlog of the received
// arrays (nothing is copied or dropped) until the ring has room, up to
// backlogBytes; only audio beyond that cap is dropped, and reported.
//
// A stream starts with the first frame after idle. Playback waits for an
// adaptive jitter buffer, measured in time rather than in audio held:
//   Every message carries its arrival time t (context clock, read precisely
//   on the main thread: audio-engine.js contextNow). With m the stream
//   seconds received before it, its offset is t - m; a message that arrives
//   as early as it can has the stream's smallest offset so far (minOffset),
//   and one that comes later than that is late by its delay = offset -
//   minOffset. Audio at stream second p can play at minOffset + p + buffer,
//   where buffer = max(floor, jitter + margin + engineSeconds)
//   (adaptiveBuffer): floor is the player's jitterSeconds, jitter the largest
//   delay expected (what this page learnt from earlier streams, raised at
//   once by a later frame), margin GUARD_SECONDS plus a share of a busy
//   link's jitter, engineSeconds how far the engine renders ahead of the
//   clock. So a writer's frame plays as soon as it is in, plus the jitter
//   measured; a writer that sends a backlog at once starts at once.
//   An audible gap (an underrun) raises jitter by half plus 10 ms; the stream
//   then waits for the larger buffer before it goes on.
//   At the end of a stream its lesson goes back to the main thread: the
//   jitter it grew to after a late frame or a gap, else the largest delay it
//   saw. The main thread weighs the lessons of the page's last streams
//   (stream-ingest.js) and hands what it expects to the next stream
//   (learntJitter), so the buffer shrinks only between streams (a shorter
//   silence before the first sample), never by dropping audio, and only as
//   steady streams follow a spike. A page that has measured nothing yet
//   expects FIRST_JITTER_SECONDS.
// Playback resamples linearly to the context rate and is gapless. Running dry
// plays out the last received frame in full (also the resampler's last partial
// step).
//
// A stream ends:
//   drained  a pushed stream ran dry and no frame came for holdSeconds; a
//            pulled stream marked finished ("eos") played its last frame
//   closed   the main thread sent "close" (close_stream, stop(), muting)
//
// Messages from the main thread:
//   {type: "pcm", data: Int16Array, rate, channels, push, t}  audio of a stream
//                        (t: context time at which it reached the page)
//   {type: "eos"}        the pulled stream's body ended: play out, then end
//   {type: "close"}      end the stream now, forgetting what is buffered
//   {type: "pause"} / {type: "resume"}
//   {type: "config", jitterSeconds?, holdSeconds?, maxSeconds?, backlogBytes?,
//                    engineSeconds?, learntJitter?, adaptive?}
//                        adaptive false: a fixed buffer, every stream starting
//                        from jitterSeconds (raised only by a gap, for that stream)
//   {type: "stats", id}  reply with the counters
//   {type: "release"}    the node is gone: no more audio is taken
//
// Messages to the main thread:
//   {type: "started", at, received, buffer}  first audio of a stream left the
//                                     ring; at = context time of that block;
//                                     buffer = the jitter buffer it started with
//   {type: "ended", source, reason, played, dropped, underruns, overflowed, lastAt, received,
//    lesson}                          lesson: the delay this stream says to expect
//                                     played/dropped/overflowed in seconds;
//                                     lastAt = context time just after the last
//                                     sample played; received = pcm messages
//                                     taken so far (tells the main thread
//                                     whether frames it sent since belong to a
//                                     newer stream)
//   {type: "overflow", dropped}       backlog full: seconds dropped so far in
//                                     this stream (when a run of drops ends,
//                                     at the end, at most once a second between)
//   {type: "stats", id, stats}        reply to {type: "stats", id}
//
// Counters (cumulative over the node's life):
//   framesWritten   frames accepted into the ring
//   framesPlayed    frames consumed by playback
//   underruns       times the ring ran dry while playing and more audio of the
//                   same stream arrived within the hold-off (an audible gap)
//   dryEvents       every time the ring ran dry while playing, tail included
//   starvedFrames   output frames (context rate) of silence played while a
//                   stream was open and dry
//   droppedFrames   frames dropped because the backlog was at its cap
//   lateOutputs     underruns that were the engine's own: it could not render
//                   in time (the main-thread engine on a busy main thread)
//   lateFrames      messages that came later than the jitter expected
//   streams         streams started (first audio) since the node was created
//   lowWater        fewest frames left (ring and backlog) after a render
//                   quantum while playing, in the current stream (-1: none yet)
//   lastDryAt       framesPlayed when the ring last ran dry (-1: never)
//   underrunAt      framesPlayed at the first 16 underruns

const STATE_IDLE = "idle"; // no stream: output silence
const STATE_BUFFERING = "buffering"; // waiting for the jitter buffer to fill
const STATE_PLAYING = "playing";
const STATE_PAUSED = "paused";
const MAX_JITTER_SECONDS = 1.0;
const GUARD_SECONDS = 0.003; // margin on top of the measured jitter
// A busy link's largest delay is one sample of a wide spread: the next stream
// may well see more, so half of what lies above a quiet link's jitter is added.
const BUSY_MARGIN = 0.5;
const QUIET_JITTER_SECONDS = 0.01;

/**
 * The adaptive jitter buffer (seconds) for a stream that expects arrival
 * delays up to `jitter`: never below `floor`; `engineSeconds` is how far
 * ahead of the output the engine renders.
 */
export function adaptiveBuffer(jitter, floor, engineSeconds) {
  const margin = GUARD_SECONDS + BUSY_MARGIN * Math.max(0, jitter - QUIET_JITTER_SECONDS);
  return Math.max(floor, jitter + margin + engineSeconds);
}
const FIRST_JITTER_SECONDS = 0.1; // what a page expects before it has measured anything (a buffer of ~150 ms)

export class PcmRing {
  /**
   * @param {object} o            settings (see the config message)
   * @param {number} contextRate  frames per second of the output
   * @param {(msg: object) => void} send  delivers a message to the main thread
   */
  constructor(o, contextRate, send) {
    o = o || {};
    this.rate = contextRate;
    this.send = send;
    this.now = 0; // context time of the last rendered block's start
    this.maxSeconds = o.maxSeconds || 20;
    this.floor = o.jitterSeconds == null ? 0 : o.jitterSeconds; // the buffer never goes below it
    this.engineSeconds = o.engineSeconds || 0; // the engine renders this far ahead of the output
    this.adaptive = o.adaptive !== false; // false: every stream starts from the floor, as a fixed buffer
    this.learnt = o.learntJitter == null ? FIRST_JITTER_SECONDS : o.learntJitter;
    this.holdSeconds = o.holdSeconds == null ? 0.3 : o.holdSeconds;
    this.backlogBytes = o.backlogBytes == null ? 128 * 1024 * 1024 : o.backlogBytes;
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
    this.state = STATE_IDLE;
    this.pausedWhile = STATE_IDLE;
    this.released = false;
    this.received = 0; // pcm messages taken
    this.s = null; // the open stream (see openStream), null when idle
    this.c = {
      framesWritten: 0,
      framesPlayed: 0,
      underruns: 0,
      dryEvents: 0,
      starvedFrames: 0,
      droppedFrames: 0,
      lateOutputs: 0,
      lateFrames: 0,
      streams: 0,
      lowWater: -1,
      lastDryAt: -1,
      underrunAt: [],
    };
  }

  onMessage(msg) {
    switch (msg.type) {
      case "pcm":
        this.received++;
        this.take(msg.data, msg.rate, msg.channels, msg.push !== false, msg.t);
        break;
      case "eos": // the producer finished: play out what is left, then end
        if (!this.s) break;
        this.s.eos = true;
        if (this.state === STATE_BUFFERING) this.maybeBegin();
        break;
      case "close":
        if (this.s) this.finish("closed");
        break;
      case "pause":
        if (this.state !== STATE_PAUSED) {
          this.pausedWhile = this.state;
          this.state = STATE_PAUSED;
        }
        break;
      case "resume":
        if (this.state === STATE_PAUSED) {
          if (this.pausedWhile === STATE_IDLE || !this.s) {
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
        if (msg.jitterSeconds != null) this.floor = msg.jitterSeconds;
        if (msg.engineSeconds != null) this.engineSeconds = msg.engineSeconds;
        if (msg.adaptive != null) this.adaptive = msg.adaptive !== false;
        if (msg.learntJitter != null && !this.s) this.learnt = msg.learntJitter;
        if (msg.holdSeconds != null) this.holdSeconds = msg.holdSeconds;
        if (msg.maxSeconds != null) this.maxSeconds = msg.maxSeconds; // takes effect as the ring grows
        if (msg.backlogBytes != null) this.backlogBytes = msg.backlogBytes;
        break;
      case "stats":
        this.send({ type: "stats", id: msg.id, stats: this.stats() });
        break;
      case "release":
        this.released = true;
        this.clear();
        break;
    }
  }

  stats() {
    const s = this.s;
    return Object.assign({}, this.c, {
      state: this.state,
      buffered: this.available() + this.backlogFrames,
      backlogFrames: this.backlogFrames,
      backlogBytes: this.backlogSize,
      capacity: this.capacity,
      sourceRate: this.srcRate || this.lastWriteRate,
      contextRate: this.rate,
      jitterSeconds: this.bufferSeconds(), // the jitter buffer in force (the next stream's, when idle)
      jitterFloorSeconds: this.floor,
      arrivalJitterSeconds: s ? s.jitter : this.learnt, // the largest arrival delay expected
      maxDelaySeconds: s ? s.maxDelay : 0, // the largest arrival delay seen in this stream
      holdSeconds: this.holdSeconds,
      currentTime: this.now,
      streamPlayed: s ? this.playedSeconds() : 0,
      streamUnderruns: s ? s.underruns : 0,
    });
  }

  available() {
    return this.written - this.readIdx;
  }

  // -- streams ----------------------------------------------------------------

  // The first audio after idle opens a stream: reading starts clean at the
  // write position, and the jitter expected is what the page learnt.
  openStream(rate, push) {
    this.readIdx = this.written;
    this.frac = 0;
    this.marks = [];
    this.srcRate = rate;
    this.c.lowWater = -1;
    this.s = {
      push, // pushed (ends after the hold-off) or pulled (ends at "eos")
      eos: false,
      started: false,
      starved: false, // ran dry while playing and nothing came since
      gap: false, // audio came after running dry: the next start is an underrun
      dryFrames: 0, // output frames since it ran dry (context rate)
      received: 0, // stream seconds received
      minOffset: Infinity, // smallest arrival time - stream seconds before it
      maxDelay: 0, // largest arrival delay seen (seconds after minOffset)
      jitter: this.adaptive ? this.learnt : this.floor, // the largest arrival delay expected
      lateFrames: 0, // frames that came later than expected
      startBuffer: 0, // the buffer the stream started with
      playedFrames: 0, // source frames played at playedRate
      playedRate: rate,
      playedBefore: 0, // seconds played at earlier rates
      underruns: 0,
      overflowSeconds: 0, // audio dropped at the backlog cap
      overflowUnreported: false,
      overflowNoticeAt: -Infinity,
      lastAt: this.now,
    };
    if (this.state === STATE_PAUSED) this.pausedWhile = STATE_BUFFERING;
    else this.state = STATE_BUFFERING;
  }

  /** The jitter buffer: seconds between a frame's earliest arrival and its play time. */
  bufferSeconds() {
    if (!this.adaptive) return Math.max(this.floor, this.s ? this.s.jitter : 0); // as set, raised only by a gap
    return adaptiveBuffer(this.s ? this.s.jitter : this.learnt, this.floor, this.engineSeconds);
  }

  // What this stream teaches the next ones: the jitter it grew to after a
  // late frame or a gap, else the largest delay it saw.
  lesson() {
    const s = this.s;
    if (!this.adaptive) return s.maxDelay; // a fixed buffer's growth says nothing about the link
    return s.underruns > 0 || s.lateFrames > 0 ? s.jitter : s.maxDelay;
  }

  playedSeconds() {
    const s = this.s;
    return s.playedBefore + (s.playedFrames + this.frac) / s.playedRate;
  }

  // Seconds of audio held for the stream and not heard (ring and backlog).
  bufferedSeconds() {
    let secs = 0;
    let pos = this.readIdx;
    let rate = this.srcRate || this.lastWriteRate || this.rate;
    for (const m of this.marks) {
      if (m.at > pos) secs += (m.at - pos) / rate;
      pos = Math.max(pos, m.at);
      rate = m.rate;
    }
    secs += Math.max(0, this.written - pos - this.frac) / rate;
    for (const b of this.backlog) secs += (b.data.length - b.offset) / b.channels / b.rate;
    return secs;
  }

  /** Output frames the ring can render now without running dry (its last two source frames kept). */
  outputFramesInHand() {
    if (!this.s) return 0;
    return Math.floor((this.bufferedSeconds() - 2 / this.currentSourceRate()) * this.rate);
  }

  // End the open stream, tell the main thread, forget what is left.
  finish(reason) {
    this.noticeOverflow();
    const s = this.s;
    const msg = {
      type: "ended",
      source: s.push ? "push" : "pull",
      reason,
      played: this.playedSeconds(),
      dropped: reason === "closed" ? this.bufferedSeconds() : 0,
      underruns: s.underruns,
      overflowed: s.overflowSeconds,
      lastAt: s.lastAt,
      received: this.received,
      lesson: this.lesson(),
    };
    this.clear();
    this.send(msg);
  }

  clear() {
    this.readIdx = this.written;
    this.frac = 0;
    this.marks = [];
    this.backlog = [];
    this.backlogFrames = 0;
    this.backlogSize = 0;
    this.s = null;
    this.state = STATE_IDLE;
    this.pausedWhile = STATE_IDLE;
  }

  // -- writing ----------------------------------------------------------------

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

  take(samples, rate, channels, push, t) {
    const ch = Math.max(1, channels | 0);
    const n = Math.floor(samples.length / ch);
    if (n <= 0 || !(rate > 0) || this.released) return;
    this.ensureCapacity(rate);
    if (!this.s) this.openStream(rate, push);
    const s = this.s;
    if (s.starved) {
      // more audio within the hold-off: the stream goes on after a gap
      s.starved = false;
      s.dryFrames = 0;
      s.gap = true;
    }
    s.eos = false;
    this.arrived(Number.isFinite(t) ? t : this.now, n / rate);
    if (this.backlog.length === 0 && this.capacity - this.available() >= n) {
      this.write(samples, 0, n, rate, ch);
      this.noticeOverflow();
    } else if (this.backlogSize + samples.byteLength <= this.backlogBytes) {
      this.backlog.push({ data: samples, rate, channels: ch, offset: 0 });
      this.backlogFrames += n;
      this.backlogSize += samples.byteLength;
      this.refill();
      this.noticeOverflow();
    } else {
      this.c.droppedFrames += n;
      s.overflowSeconds += n / rate;
      s.overflowUnreported = true;
      if (this.now - s.overflowNoticeAt >= 1) this.noticeOverflow();
    }
    if (this.state === STATE_BUFFERING) this.maybeBegin();
  }

  // Measure a message's arrival: a late one raises the jitter expected at once.
  arrived(t, seconds) {
    const s = this.s;
    const offset = t - s.received;
    s.received += seconds;
    if (offset < s.minOffset) s.minOffset = offset;
    const delay = offset - s.minOffset;
    if (delay > s.maxDelay) s.maxDelay = delay;
    if (delay > s.jitter && this.adaptive) {
      s.jitter = Math.min(MAX_JITTER_SECONDS, delay);
      s.lateFrames++;
      this.c.lateFrames++;
    }
  }

  // Tell the main thread how much this stream lost at the backlog cap: when a
  // run of drops ends, at the stream's end, and at most once a second between.
  noticeOverflow() {
    const s = this.s;
    if (!s || !s.overflowUnreported) return;
    s.overflowUnreported = false;
    s.overflowNoticeAt = this.now;
    this.send({ type: "overflow", dropped: s.overflowSeconds });
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
    this.c.framesWritten += n;
  }

  // Move waiting audio into the ring while it has room, oldest first.
  refill() {
    while (this.backlog.length) {
      const b = this.backlog[0];
      const room = this.capacity - this.available();
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

  // -- playing ----------------------------------------------------------------

  // A stream that has ended ("eos") plays whatever is left at once.
  maybeBegin() {
    const s = this.s;
    if (!s || !s.eos) return;
    if (this.available() > 0) this.begin();
    else this.finish("drained");
  }

  // Whether audio at the read position may play at context time `at`: its
  // earliest arrival plus the jitter buffer has come.
  due(at) {
    const s = this.s;
    return at - this.playedSeconds() >= s.minOffset + this.bufferSeconds() - 1e-9;
  }

  currentSourceRate() {
    return this.srcRate || this.lastWriteRate || this.rate;
  }

  begin() {
    const s = this.s;
    if (s.gap) {
      s.gap = false;
      this.countGap();
    }
    this.state = STATE_PLAYING;
  }

  // An audible gap: count it, and hold back more audio from now on.
  countGap() {
    const s = this.s;
    s.underruns++;
    this.c.underruns++;
    if (this.c.underrunAt.length < 16) this.c.underrunAt.push(this.c.framesPlayed);
    s.jitter = Math.min(MAX_JITTER_SECONDS, s.jitter * 1.5 + 0.01);
  }

  /** The engine could not render in time: the output had a gap while the stream played. */
  outputLate() {
    if (this.s && this.state === STATE_PLAYING) {
      this.c.lateOutputs++;
      this.countGap();
    }
  }

  /**
   * Render the next block of output (context rate) into oL (and oR, when
   * given): the block starts at context time `at`. Returns how many of its
   * frames carry the stream's audio (the rest is silence).
   */
  render(oL, oR, at) {
    this.now = at;
    const frames = oL.length;
    const s = this.s;
    if (this.state !== STATE_PLAYING) {
      oL.fill(0);
      if (oR) oR.fill(0);
      if (s && this.state === STATE_BUFFERING) {
        if (s.starved) {
          this.c.starvedFrames += frames;
          s.dryFrames += frames;
          if (s.push && s.dryFrames >= this.holdSeconds * this.rate) this.finish("drained");
        } else if (this.available() > 0 && this.due(at)) {
          this.begin();
        }
      }
      if (this.state !== STATE_PLAYING) return 0;
    }
    if (this.backlog.length) this.refill();
    const L = this.left;
    const R = this.right;
    const cap = this.capacity;
    let step = this.currentSourceRate() / this.rate;
    let i = 0;
    for (; i < frames; i++) {
      // apply a pending rate change once the read position reaches it
      while (this.marks.length && this.readIdx >= this.marks[0].at) {
        s.playedBefore += s.playedFrames / s.playedRate;
        s.playedFrames = 0;
        this.srcRate = s.playedRate = this.marks.shift().rate;
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
        this.c.framesPlayed += adv;
        s.playedFrames += adv;
      }
      this.frac = nf;
    }
    if (i > 0) {
      s.lastAt = this.now + i / this.rate;
      if (!s.started) {
        s.started = true;
        this.c.streams++;
        s.startBuffer = this.bufferSeconds();
        this.send({ type: "started", at: this.now, received: this.received, buffer: s.startBuffer });
      }
    }
    if (i === frames) {
      const left = this.available() + this.backlogFrames;
      if (this.c.lowWater < 0 || left < this.c.lowWater) this.c.lowWater = left;
      return i;
    }
    oL.fill(0, i);
    if (oR) oR.fill(0, i);
    this.frac = 0;
    if (s.eos) {
      this.finish("drained");
      return i;
    }
    this.c.dryEvents++;
    this.c.lastDryAt = this.c.framesPlayed;
    this.c.starvedFrames += frames - i;
    s.starved = true;
    s.dryFrames = frames - i;
    this.state = STATE_BUFFERING;
    return i;
  }
}

