// The stream engine on the page's main thread, for contexts without
// AudioWorklet (a page that is not a secure context, an older browser).
//
// The same PcmRing as the worklet engine (pcm-ring.js: jitter buffer, ends,
// reports) renders blocks of BLOCK_SECONDS at the context rate; each block
// with audio becomes an AudioBuffer played by its own AudioBufferSourceNode,
// started at an exact sample position of the context clock: block k + 1
// starts at the frame where block k ends, so seams have no gap and no
// overlap. A block is rendered
//   - when its start is less than URGENT_SECONDS away, whatever the ring
//     holds (its time has come: running dry then is a real underrun), or
//   - earlier, up to AHEAD_SECONDS ahead (or twice the jitter buffer, up to
//     MAX_AHEAD_SECONDS), from the audio the ring holds (a
//     block of up to BLOCK_SECONDS, never running the ring dry): what is
//     queued in the graph carries playback through a busy main thread, and
//     audio that arrives in time is never cut off by silence rendered early.
// Its ticks come from timers that the audio clock backs while the page is
// hidden (wakeTimers): a hidden page's own timers wake it once a second at
// best, far less often than the queue, built for a busy main thread, lasts.
// A block whose start has already passed when its turn comes means the main
// thread was held up longer than the queue lasted: that gap is counted as an
// underrun and the next block starts a little after the present.
//
// Pause and close act at once on the queue: blocks not yet heard are stopped;
// after a pause they are played again from where they stopped, after a close
// the report's "played" and "dropped" are corrected by what was not heard.
//
// A StreamEngine (stream-engine.js): `port.postMessage(msg)` in,
// `port.onmessage({data})` out (delivered as a microtask, in order). It reads
// the time from env.clock and sets its timers through env.timers, so that it
// can run on a clock of the caller's.

import { PcmRing } from "./pcm-ring.js";
import { StreamEngine } from "./stream-engine.js";

const BLOCK_SECONDS = 0.02;
const MIN_FRAMES = 128; // the shortest block rendered ahead of time
const START_SECONDS = 0.015; // the first block after idle starts this far after the present
const URGENT_SECONDS = 0.03;
const AHEAD_SECONDS = 0.2;
const MAX_AHEAD_SECONDS = 3;
const TICK_MS = 10;

/**
 * The page's timers, backed by the audio clock while the page is hidden. A
 * hidden page's timers are throttled (to one wake-up a second, or fewer),
 * while the audio graph's events are not: a timer set while the page is
 * hidden and the context runs also starts a silent source on the context that
 * stops when the timer is due, and whichever of the two comes first runs it.
 * An interval is a chain of such timers. Visible, they are the page's own.
 * @param {BaseAudioContext} ctx
 * @param {{visibilityState: string}} [doc]  the page's document
 */
export function wakeTimers(ctx, doc = globalThis.document) {
  const live = new Map(); // id -> {timer, src}
  const chains = new Map(); // interval id -> id of its current timer
  let ids = 0;
  const clearTimer = (id) => {
    const t = live.get(id);
    if (!t) return;
    live.delete(id);
    clearTimeout(t.timer);
    if (t.src) {
      t.src.onended = null;
      t.src.disconnect(); // it ends on its own, silent
    }
  };
  const setTimer = (fn, ms) => {
    const id = ++ids;
    const fire = () => {
      if (!live.has(id)) return;
      clearTimer(id);
      fn();
    };
    const t = { timer: setTimeout(fire, ms), src: null };
    if (doc && doc.visibilityState === "hidden" && ctx.state === "running") {
      t.src = ctx.createConstantSource();
      t.src.offset.value = 0;
      t.src.connect(ctx.destination);
      t.src.onended = fire;
      t.src.start();
      t.src.stop(ctx.currentTime + ms / 1000);
    }
    live.set(id, t);
    return id;
  };
  return {
    setTimeout: setTimer,
    clearTimeout: clearTimer,
    setInterval(fn, ms) {
      const id = ++ids;
      const again = () => chains.set(id, setTimer(() => (again(), fn()), ms));
      again();
      return id;
    },
    clearInterval(id) {
      clearTimer(chains.get(id));
      chains.delete(id);
    },
  };
}

export class ScheduledOutput extends StreamEngine {
  /** How far ahead of the output the ring renders: audio must be in by then. */
  static lookAheadSeconds = URGENT_SECONDS + TICK_MS / 1000;

  /**
   * @param {BaseAudioContext} ctx
   * @param {AudioNode} output  where the blocks play
   * @param {object} settings   the ring's settings (pcm-ring.js)
   * @param {{clock?: () => number, timers?: object}} [env]  the context time now (default:
   *        ctx.currentTime, which moves in steps of the output's callback), and
   *        {setTimeout, clearTimeout, setInterval, clearInterval} (default: wakeTimers(ctx), the
 *        page's, which the audio clock backs while the page is hidden)
   */
  constructor(ctx, output, settings, env = {}) {
    super(settings);
    this.ctx = ctx;
    this.clock = env.clock || (() => ctx.currentTime);
    this.timers = env.timers || wakeTimers(ctx);
    this.output = output;
    this.rate = ctx.sampleRate;
    this.block = Math.max(128, 128 * Math.round((this.rate * BLOCK_SECONDS) / 128));
    this.scratchL = new Float32Array(this.block);
    this.scratchR = new Float32Array(this.block);
    this.next = -1; // context frame where the next block starts (-1: none queued)
    this.queue = []; // [{src, buffer, start, frames, before, after}] blocks not yet over
    this.held = []; // [{buffer, offset, before, after}] blocks stopped by a pause, to play again
    this.lastHadAudio = false;
    this.cutAt = -1; // context frame where the last pause or close cut the queue
    this.outbox = []; // [{msg, due}]: messages to the owner, due at context time
    this.flushTimer = null;
    this.timer = null;
    this.released = false;
    this.ring = new PcmRing(this.settings, this.rate, (msg) => this.fromRing(msg));
  }

  toRing(msg) {
    if (this.released) return;
    switch (msg.type) {
      case "pause":
        this.ring.onMessage(msg);
        this.held.push(...this.cut().held);
        break;
      case "close":
        this.unheard = this.cut().unheard; // rendered is not heard: what was queued and stopped counts as dropped
        this.ring.onMessage(msg); // its "ended" report passes fromRing() now
        this.unheard = 0;
        this.held = [];
        break;
      case "release":
        this.ring.onMessage(msg);
        this.stop();
        return;
      default:
        this.ring.onMessage(msg);
    }
    this.pump();
  }

  deliver(msg) {
    // a stream that played to its end is reported when its last sample is
    // heard, not when it was rendered ahead (as the worklet engine does);
    // later messages wait behind it, in order
    const due = msg.type === "ended" && msg.report.reason !== "closed" ? msg.lastAt : 0;
    this.outbox.push({ msg, due });
    this.flush();
  }

  flush() {
    if (this.flushTimer) return;
    const box = this.outbox;
    const now = this.clock();
    const running = this.ctx.state === "running";
    let n = 0;
    while (n < box.length && (!running || box[n].due <= now)) n++;
    const ready = box.splice(0, n);
    if (ready.length) {
      queueMicrotask(() => {
        for (const { msg } of ready) if (this.port.onmessage) this.port.onmessage({ data: msg });
      });
    }
    if (box.length) {
      const wait = Math.max(1, (box[0].due - now) * 1000);
      this.flushTimer = this.timers.setTimeout(() => {
        this.flushTimer = null;
        this.flush();
      }, wait);
    }
  }

  nowFrame() {
    return Math.ceil(this.clock() * this.rate);
  }

  /**
   * Stop the queue a little after the present (a time the audio thread has
   * not reached yet, so the cut falls on that exact sample). Returns the
   * stream seconds rendered and not heard (unheard: of the queue, and of the
   * blocks held by an earlier pause), and the queued blocks' parts after the
   * cut (held) to play again after a pause.
   */
  cut() {
    const running = this.ctx.state === "running";
    const at = this.nowFrame() + (running ? Math.round(START_SECONDS * this.rate) : 0);
    const held = [];
    let unheard = 0;
    for (const h of this.held) unheard += unheardPart(h, h.offset);
    for (const b of this.queue) {
      b.src.onended = null;
      const base = b.start - b.offset; // context frame of the buffer's first sample
      const end = base + b.buffer.length;
      const from = Math.max(at, b.start);
      try {
        b.src.stop(from / this.rate);
      } catch (err) {
        // already stopped: nothing to do
      }
      const src = b.src;
      this.timers.setTimeout(() => src.disconnect(), Math.max(0, (from / this.rate - this.clock()) * 1000) + 100);
      if (from >= end) continue;
      const part = { buffer: b.buffer, offset: from - base, audio: b.audio, before: b.before, after: b.after };
      unheard += unheardPart(part, part.offset);
      held.push(part);
    }
    this.queue = [];
    this.next = -1;
    this.cutAt = at;
    this.lastHadAudio = false;
    return { held, unheard };
  }

  pump() {
    if (this.released) return;
    const ring = this.ring;
    const ctx = this.ctx;
    const active = ring.streamId !== 0 || this.queue.length > 0;
    if (active && !this.timer) this.timer = this.timers.setInterval(() => this.pump(), TICK_MS);
    else if (!active && this.timer) {
      this.timers.clearInterval(this.timer);
      this.timer = null;
    }
    if (ctx.state !== "running") return;
    const now = this.nowFrame();
    this.queue = this.queue.filter((b) => b.start - b.offset + b.buffer.length > now);
    if (!ring.streamId && !this.held.length) return;
    const lead = Math.round(START_SECONDS * this.rate);
    if (this.next < 0 || this.next < now + 1) {
      // a gap of our own only when the ring had audio for the time we missed
      // (a stream about to run dry anyway is not late)
      const missed = now - this.next;
      if (this.next >= 0 && this.lastHadAudio && ring.state === "playing" && ring.framesInHand() >= missed) {
        ring.outputLate();
      }
      this.next = Math.max(now + lead, this.cutAt);
    }
    if (ring.state !== "paused") this.replayHeld();
    const urgent = now + Math.round(URGENT_SECONDS * this.rate);
    // everything the jitter buffer holds may go into the graph: then a busy
    // main thread is no worse here than on the worklet engine
    const aheadSeconds = Math.min(MAX_AHEAD_SECONDS, Math.max(AHEAD_SECONDS, 2 * ring.bufferSeconds()));
    const ahead = now + Math.round(aheadSeconds * this.rate);
    while (ring.streamId) {
      if (this.next < urgent) {
        // its time has come, whatever the ring holds (while waiting to start,
        // in short steps: the start falls within MIN_FRAMES of its time)
        this.renderBlock(ring.state === "playing" ? this.block : MIN_FRAMES);
        continue;
      }
      if (this.next >= ahead || ring.state !== "playing") break;
      // ahead of time: only audio in hand, never running the ring dry
      const n = Math.min(this.block, ring.framesInHand());
      if (n < MIN_FRAMES) break;
      this.renderBlock(n);
    }
  }

  renderBlock(frames) {
    const ring = this.ring;
    const L = frames === this.block ? this.scratchL : this.scratchL.subarray(0, frames);
    const R = frames === this.block ? this.scratchR : this.scratchR.subarray(0, frames);
    const stream = ring.streamId;
    const before = ring.playedSeconds();
    const n = ring.render(L, R, this.next / this.rate);
    const after = ring.streamId === stream ? ring.playedSeconds() : before + n / this.rate;
    if (n > 0) {
      const buffer = this.ctx.createBuffer(2, frames, this.rate);
      buffer.copyToChannel(L, 0);
      buffer.copyToChannel(R, 1);
      this.schedule({ buffer, offset: 0, audio: n, before, after });
    } else {
      this.next += frames;
    }
    this.lastHadAudio = n > 0;
  }

  // Play part ({buffer, offset, audio, before, after}) from its offset at this.next.
  schedule(part) {
    const src = this.ctx.createBufferSource();
    src.buffer = part.buffer;
    src.connect(this.output);
    src.onended = () => {
      src.disconnect();
      this.pump();
    };
    src.start(this.next / this.rate, part.offset / this.rate);
    this.queue.push({ ...part, src, start: this.next });
    this.next += part.buffer.length - part.offset;
  }

  replayHeld() {
    const held = this.held;
    this.held = [];
    for (const h of held) this.schedule(h);
  }

  release() {
    this.toRing({ type: "release" });
  }

  stop() {
    this.released = true;
    this.cut();
    this.held = [];
    if (this.timer) this.timers.clearInterval(this.timer);
    if (this.flushTimer) this.timers.clearTimeout(this.flushTimer);
    this.timer = this.flushTimer = null;
    this.outbox = [];
    super.release();
  }
}

// Stream seconds of a block's audio ({audio, before, after}) from buffer position pos on.
function unheardPart(b, pos) {
  return b.audio > 0 ? ((b.after - b.before) * Math.max(0, b.audio - pos)) / b.audio : 0;
}
