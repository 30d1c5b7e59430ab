// A player's stream on its ring: the stream's life (buffering, playing,
// paused, its end), its reports and counters, behind every stream engine.
// The audio itself is kept in ring-storage.js; when it may play is the
// jitter policy's (jitter-policy.js).
//
// Engines. The same PcmRing runs on the audio rendering thread inside an
// AudioWorkletProcessor (pcm-worklet.js) where the page may use AudioWorklet,
// or on the page's main thread where it may not (scheduled-output.js renders
// blocks ahead and schedules them on the context clock). Either way the main
// thread (stream-ingest.js) talks to it only through messages. What an engine
// uses of it, and nothing more:
//   onMessage(msg)         a message from the main thread (below)
//   render(oL, oR, at)     the next block of output; returns its frames with audio
//   released               no more audio is taken ("release")
//   state, streamId        "idle" | "buffering" | "playing" | "paused"; the open
//                          stream's number (0: none)
//   playedSeconds()        seconds played of the open stream (0: none)
//   framesInHand()         output frames it can render now without running dry
//   bufferSeconds()        the jitter buffer in force
//   outputLate()           the engine could not render in time (an audible gap)
// Frames are counted in source frames (one sample per channel at the stream's
// rate) unless named otherwise; times are seconds on the context clock.
//
// A stream starts with the first frame after idle and waits for its jitter
// buffer: audio at stream second p plays at earliest + p + bufferSeconds
// (jitter-policy.js). A stream that runs dry while playing waits for the
// buffer again; more audio within the hold-off is an audible gap (an
// underrun), which raises what the stream expects. At its end the stream's
// lesson goes back to the main thread, which weighs the page's lessons and
// hands what it expects to the next stream (expectedSeconds).
//
// A stream ends:
//   drained  a pushed stream ran dry and no frame came for holdSeconds; a
//            pulled stream marked finished ("eos") played its last frame.
//            With confirmEnd (pushed streams from the host) a dry stream
//            only says so ("dry") and waits: the main thread ends it ("end")
//            once the host confirms every frame written is here
//   incomplete  as drained, but part of the stream was lost (gaps, skipped
//            late audio, the backlog cap): never "drained" then
//   interrupted  the host that wrote it is gone for good ("eos" or "end"
//            with that reason): it ends once what it holds has played
//   closed   the main thread sent "close" (close_stream, stop(), muting)
//
// Late audio (lateLive): after the stream ran dry or lost a gap, audio that
// comes more than lateSeconds behind its place in the stream's schedule is
// skipped up to the live edge and counted as lost; without it, it plays late.
//
// Messages from the main thread:
//   {type: "pcm", data: Int16Array, rate, channels, push, t}  audio of a stream
//                        (whole frames; t: context time at which it reached the page)
//   {type: "eos", reason?}  no more audio comes: play out, then end (reason:
//                        "drained" by default, "interrupted")
//   {type: "end", reason}  a dry stream ends now (the host confirmed it)
//   {type: "gap", at, seconds}  the stream's audio from stream second `at`
//                        never comes (the host could not resend it)
//   {type: "close"}      end the stream now, forgetting what is buffered
//   {type: "pause"} / {type: "resume"}
//   {type: "config", floorSeconds?, holdSeconds?, ringSeconds?, backlogBytes?,
//                    lookAheadSeconds?, expectedSeconds?, headStartSeconds?, adaptive?,
//                    confirmEnd?, lateLive?, lateSeconds?}
//                        the settings (jitter-policy.js DEFAULTS); expectedSeconds,
//                        headStartSeconds: what the page learnt, for the next stream
//   {type: "stats", id}  reply with the counters
//   {type: "release"}    the node is gone: no more audio is taken
//
// Messages to the main thread:
//   {type: "started", at, received, buffer}  first audio of a stream left the
//                                     ring; at = context time of that block;
//                                     buffer = the jitter buffer it started with
//   {type: "dry", received}           a pushed stream (confirmEnd) ran dry and
//                                     nothing came for holdSeconds
//   {type: "ended", source, reason, played, dropped, underruns, overflowed, lost, gaps,
//    skipped, lastAt, received, lesson}  the stream's end, before its engine corrects
//                                     it (stream-engine.js endReport);
//                                     played/dropped/overflowed in seconds;
//                                     lastAt = context time just after the last
//                                     sample played; received = pcm messages
//                                     taken so far (tells the main thread
//                                     whether frames it sent since belong to a
//                                     newer stream); lesson: the delay this
//                                     stream says to expect
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

import { DEFAULTS, StreamJitter, bufferSeconds, jitterStats, startingDelay } from "./jitter-policy.js";
import { RingStorage } from "./ring-storage.js";

/** The name the worklet engine's processor is registered under. */
export const RING_PROCESSOR = "vt-pcm-ring";

const STATE_IDLE = "idle"; // no stream: output silence
const STATE_BUFFERING = "buffering"; // waiting for the jitter buffer to fill
const STATE_PLAYING = "playing";
const STATE_PAUSED = "paused";
const SETTINGS = Object.keys(DEFAULTS);
/** The ring's own settings besides the jitter policy's, and their defaults. */
export const END_DEFAULTS = Object.freeze({ confirmEnd: false, lateLive: false, lateSeconds: 1 });

export class PcmRing {
  /**
   * @param {object} o            settings (the config message's fields)
   * @param {number} contextRate  frames per second of the output
   * @param {(msg: object) => void} send  delivers a message to the main thread
   */
  constructor(o, contextRate, send) {
    this.rate = contextRate;
    this.send = send;
    this.now = 0; // context time of the last rendered block's start
    this.settings = { ...DEFAULTS, ...END_DEFAULTS };
    this.learnt = null; // what the page expects (null: it has measured nothing)
    this.learntHead = null; // the head start the page learnt (null: nothing)
    this.store = new RingStorage(contextRate);
    this.state = STATE_IDLE;
    this.pausedWhile = STATE_IDLE;
    this.released = false;
    this.received = 0; // pcm messages taken
    this.streams = 0; // streams opened
    this.s = null; // the open stream (see openStream), null when idle
    this.configure(o || {});
    this.c = {
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

  configure(o) {
    for (const k of SETTINGS) if (o[k] != null) this.settings[k] = k === "adaptive" ? o[k] !== false : o[k];
    for (const k of Object.keys(END_DEFAULTS)) if (o[k] != null) this.settings[k] = o[k];
    if (o.expectedSeconds != null && !this.s) this.learnt = o.expectedSeconds;
    if (o.headStartSeconds !== undefined && !this.s) this.learntHead = o.headStartSeconds;
    this.store.ringSeconds = this.settings.ringSeconds || DEFAULTS.ringSeconds; // takes effect as the ring grows
    this.store.backlogBytes = this.settings.backlogBytes;
  }

  onMessage(msg) {
    switch (msg.type) {
      case "pcm":
        this.received++;
        this.take(msg.data, msg.rate, msg.channels, msg.push !== false, msg.t);
        break;
      case "eos": // the producer finished: play out what is left, then end
        if (!this.s) break;
        this.s.eos = msg.reason || "drained";
        if (this.state === STATE_BUFFERING) this.maybeBegin();
        break;
      case "end": // the host confirmed a dry stream is over
        if (this.s && this.s.starved) this.finish(msg.reason || "drained");
        break;
      case "gap":
        if (this.s) this.lose(msg.at, msg.seconds);
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
          } else if (this.pausedWhile === STATE_PLAYING && this.store.available > 0) {
            this.begin();
          } else {
            this.state = STATE_BUFFERING;
            this.maybeBegin();
          }
        }
        break;
      case "config":
        this.configure(msg);
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
    const store = this.store;
    return Object.assign({ framesWritten: store.framesWritten, framesPlayed: store.framesPlayed }, this.c, {
      state: this.state,
      buffered: store.heldFrames,
      backlogFrames: store.backlogFrames,
      backlogBytes: store.backlogSize,
      capacity: store.capacity,
      sourceRate: store.sourceRate,
      contextRate: this.rate,
      ...(s ? jitterStats(this.settings, s.jitter.expected, s.jitter.maxDelay)
        : jitterStats(this.settings, startingDelay(this.settings, this.learnt))),
      currentTime: this.now,
      streamPlayed: this.playedSeconds(),
      streamUnderruns: s ? s.jitter.gaps : 0,
    });
  }

  get streamId() {
    return this.s ? this.s.id : 0;
  }

  // -- streams ----------------------------------------------------------------

  // The first audio after idle opens a stream: reading starts clean at the
  // write position, and the jitter expected is what the page learnt.
  openStream(rate, push) {
    this.store.restart(rate);
    this.c.lowWater = -1;
    this.s = {
      id: ++this.streams,
      push, // pushed (ends after the hold-off) or pulled (ends at "eos")
      eos: false,
      started: false,
      starved: false, // ran dry while playing and nothing came since
      gap: false, // audio came after running dry: the next start is an underrun
      dryFrames: 0, // output frames since it ran dry (context rate)
      jitter: new StreamJitter(this.settings, this.learnt, this.learntHead), // arrivals, what it expects, its gaps
      overflowSeconds: 0, // audio dropped at the backlog cap
      overflowUnreported: false,
      overflowNoticeAt: -Infinity,
      lastAt: this.now,
      dryTold: false, // "dry" was sent for this dry spell
      catchingUp: false, // ran dry or lost a gap: late audio may be skipped (lateLive)
      gaps: [], // [{at, seconds}] the host could not resend
      skipped: 0, // seconds of late audio skipped to the live edge
      skipping: false, // skipping late audio until it is on schedule
      behind: 0, // stream seconds that will never play (gaps, skipped): the schedule goes on past them
    };
    if (this.state === STATE_PAUSED) this.pausedWhile = STATE_BUFFERING;
    else this.state = STATE_BUFFERING;
  }

  /** The jitter buffer: seconds between a frame's earliest arrival and its play time. */
  bufferSeconds() {
    if (this.s) return this.s.jitter.bufferSeconds();
    return bufferSeconds(startingDelay(this.settings, this.learnt), this.settings);
  }

  /** Seconds played of the open stream (0: none open). */
  playedSeconds() {
    return this.s ? this.store.playedSeconds() : 0;
  }

  /** Output frames the ring can render now without running dry (its last two source frames kept). */
  framesInHand() {
    return this.s ? this.store.framesInHand() : 0;
  }

  // End the open stream, tell the main thread, forget what is left.
  finish(reason) {
    this.noticeOverflow();
    const s = this.s;
    const lost = s.gaps.reduce((a, g) => a + g.seconds, 0) + s.skipped + s.overflowSeconds;
    const msg = {
      type: "ended",
      source: s.push ? "push" : "pull",
      reason: reason === "drained" && lost > 0 ? "incomplete" : reason,
      played: this.store.playedSeconds(),
      dropped: reason === "closed" ? this.store.heldSeconds() : 0,
      underruns: s.jitter.gaps,
      overflowed: s.overflowSeconds,
      lost,
      gaps: s.gaps,
      skipped: s.skipped,
      lastAt: s.lastAt,
      received: this.received,
      lesson: s.jitter.lesson(),
      headStart: s.jitter.headStartSeen(),
    };
    this.clear();
    this.send(msg);
  }

  clear() {
    this.store.clear();
    this.s = null;
    this.state = STATE_IDLE;
    this.pausedWhile = STATE_IDLE;
  }

  // -- writing ----------------------------------------------------------------

  take(samples, rate, channels, push, t) {
    const ch = Math.max(1, channels | 0);
    let n = Math.floor(samples.length / ch);
    if (n <= 0 || !(rate > 0) || this.released) return;
    if (!this.s) this.openStream(rate, push);
    const s = this.s;
    t = Number.isFinite(t) ? t : this.now;
    if (s.starved && s.started) s.catchingUp = true;
    if (s.catchingUp && this.settings.lateLive) {
      // late by more than the bound: skip to the live edge (what the schedule plays now)
      const late = this.lateness(t);
      if (s.skipping || late > this.settings.lateSeconds) {
        s.skipping = true;
        const skip = Math.min(n, Math.floor(Math.max(0, late) * rate));
        s.skipped += skip / rate;
        s.behind += skip / rate;
        s.jitter.skipped(skip / rate);
        samples = samples.subarray(skip * ch);
        n -= skip;
        if (n === 0) {
          s.dryFrames = 0; // still dry: the hold-off starts again from this arrival
          s.dryTold = false;
          return;
        }
      }
    }
    s.catchingUp = false;
    s.skipping = false;
    if (s.starved) {
      // more audio within the hold-off: the stream goes on after a gap
      s.starved = false;
      s.dryFrames = 0;
      s.dryTold = false;
      s.gap = true;
    }
    if (s.eos !== "interrupted") s.eos = false;
    if (s.jitter.arrived(t, n / rate)) this.c.lateFrames++;
    if (this.store.put(samples, rate, ch)) {
      this.noticeOverflow();
    } else {
      this.c.droppedFrames += n;
      s.overflowSeconds += n / rate;
      s.overflowUnreported = true;
      if (this.now - s.overflowNoticeAt >= 1) this.noticeOverflow();
    }
    if (this.state === STATE_BUFFERING) this.maybeBegin();
  }

  /** Seconds by which audio arriving at t is behind its place in the stream's schedule. */
  lateness(t) {
    const j = this.s.jitter;
    return j.earliest === Infinity ? 0 : t - j.received - j.earliest - j.bufferSeconds();
  }

  /** The stream's audio from stream second `at` for `seconds` never comes: a gap, lost. */
  lose(at, seconds) {
    const s = this.s;
    if (!(seconds > 0)) return;
    s.gaps.push({ at, seconds });
    s.behind += seconds;
    s.jitter.skipped(seconds);
    s.catchingUp = s.started;
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

  // -- playing ----------------------------------------------------------------

  // A stream that has ended ("eos") plays whatever is left at once.
  maybeBegin() {
    const s = this.s;
    if (!s || !s.eos) return;
    if (this.store.available > 0) this.begin();
    else this.finish(s.eos);
  }

  begin() {
    const s = this.s;
    if (s.gap) {
      s.gap = false;
      this.countGap();
    }
    s.jitter.began();
    this.state = STATE_PLAYING;
  }

  // A pushed stream dry for the hold-off: it ends, or (confirmEnd) says so once and waits for "end".
  dry() {
    const s = this.s;
    if (!this.settings.confirmEnd) this.finish("drained");
    else if (!s.dryTold) {
      s.dryTold = true;
      this.send({ type: "dry", received: this.received });
    }
  }

  // An audible gap: count it, and hold back more audio from now on.
  countGap() {
    this.s.jitter.gap();
    this.c.underruns++;
    if (this.c.underrunAt.length < 16) this.c.underrunAt.push(this.store.framesPlayed);
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
    const store = this.store;
    if (this.state !== STATE_PLAYING) {
      oL.fill(0);
      if (oR) oR.fill(0);
      if (s && this.state === STATE_BUFFERING) {
        if (s.starved) {
          this.c.starvedFrames += frames;
          s.dryFrames += frames;
          if (s.push && s.dryFrames >= this.settings.holdSeconds * this.rate) this.dry();
        } else if (store.available > 0 && s.jitter.due(at, store.playedSeconds() + s.behind)) {
          this.begin();
        }
      }
      if (this.state !== STATE_PLAYING) return 0;
    }
    const i = store.read(oL, oR);
    if (i > 0) {
      s.lastAt = this.now + i / this.rate;
      if (!s.started) {
        s.started = true;
        this.c.streams++;
        this.send({ type: "started", at: this.now, received: this.received, buffer: this.bufferSeconds(),
          headStart: s.jitter.counted });
      }
    }
    if (i === frames) {
      const left = store.heldFrames;
      if (this.c.lowWater < 0 || left < this.c.lowWater) this.c.lowWater = left;
      return i;
    }
    if (s.eos) {
      this.finish(s.eos);
      return i;
    }
    this.c.dryEvents++;
    this.c.lastDryAt = store.framesPlayed;
    this.c.starvedFrames += frames - i;
    s.starved = true;
    s.dryFrames = frames - i;
    this.state = STATE_BUFFERING;
    return i;
  }
}
