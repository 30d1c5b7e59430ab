// The page's audio engine: one AudioContext for every player, the stream
// worklet module, the autoplay unlock (a button when the browser wants a
// user gesture before it plays sound, or refused to start a media element),
// and when rendered audio is heard (whenHeard: after the output's latency).
//
// Phones: where navigator.audioSession exists its type is "playback", so that
// the silent switch does not mute Web Audio. A context that a call or the lock
// screen interrupted (state "interrupted", or "suspended" after it ran) is
// resumed when it may be again and whenever the page comes back to the
// foreground; subscribers (the players) hear "interrupted" and "recovered".

const WORKLET_URL = new URL("./pcm-worklet.js", import.meta.url).href;
const CLOCK_WINDOW_MS = 2000;
const LATENCY_SETTLE_MS = 300;
const MAX_CLOCK_STEP_SECONDS = 0.1; // the context clock never lags performance.now() by more while it runs
const MAX_OUTPUT_DELAY_SECONDS = 2; // an end is never held back longer (a larger latency is a wrong answer)
// Firefox answers outputLatency by a round trip to its audio server with a lock
// held that its audio callback needs: on a busy machine the two can wait on each
// other, and the page hangs for good (its main thread, its audio, every script).
// There the output's latency is not read: it is unknown, and an end waits
// UNKNOWN_OUTPUT_SECONDS instead (Firefox's is 35-50 ms on the sound servers
// measured), so that it comes after the sound rather than before it.
const OUTPUT_LATENCY_READABLE = typeof navigator === "undefined" || !/\bFirefox\//.test(navigator.userAgent || "");
const UNKNOWN_OUTPUT_SECONDS = 0.1;

class AudioEngine {
  constructor() {
    this.ctx = null;
    this.error = null; // why streaming (or Web Audio as a whole) is unavailable
    this.workletLoaded = false;
    this.streamEngine = null; // "worklet" | "scheduled" | null (streams cannot play)
    this.unlockButton = null;
    this.waiters = new Set(); // callbacks to run once the context is running
    this.gestureWaiters = new Set(); // plays the browser refused: the unlock button's click runs them
    this.subscribers = new Set(); // fn("interrupted" | "recovered")
    this.wasRunning = false; // the context has run: a later stop is an interruption
    this.interrupted = false;
    // pairing of the context clock with performance.now() (see contextNow)
    this.clock = { cur: Infinity, prev: Infinity, since: -Infinity, last: 0 };
    this.outputLatency = OUTPUT_LATENCY_READABLE ? 0 : null; // seconds, cached (see latency); null: never read
    this.streaming = new Set(); // the players' stream ingests with a stream open
    this.ready = this.init();
  }

  /**
   * The context clock now, in seconds, to within a millisecond or so.
   * ctx.currentTime moves in steps of the output's callback (10 ms and more
   * in some browsers): read alone, it would make a frame that came in just
   * before a step look up to a step late. performance.now() - currentTime is
   * smallest just after a step; its least value over the last few seconds
   * (a window: the clocks drift apart slowly, and a context that stopped
   * and started again moves its origin) pairs the two clocks.
   */
  contextNow(perfMs = performance.now()) {
    const ctx = this.ctx;
    if (!ctx) return 0;
    const c = ctx.currentTime;
    const k = this.clockOffset(perfMs, c);
    // never back: a new pairing may be a fraction of a millisecond later than the last
    const t = Math.max(c, perfMs / 1000 - k, this.clock.last);
    this.clock.last = t;
    return t;
  }

  /** performance.now() (ms) at which the context clock reads t. */
  performanceTimeOf(t) {
    const now = performance.now();
    if (!this.ctx || !Number.isFinite(t)) return now;
    return (t + this.clockOffset(now, this.ctx.currentTime)) * 1000;
  }

  clockOffset(perfMs, c) {
    const w = this.clock;
    const d = perfMs / 1000 - c;
    if (perfMs - w.since > CLOCK_WINDOW_MS) {
      w.prev = w.cur;
      w.cur = Infinity;
      w.since = perfMs;
    }
    if (d < w.cur) w.cur = d;
    let k = Math.min(w.cur, w.prev);
    if (d - k > MAX_CLOCK_STEP_SECONDS || this.ctx.state !== "running") {
      // the context stood still (suspended, or a stalled output): pair the clocks afresh
      w.cur = w.prev = k = d;
      w.since = perfMs;
      w.last = 0;
    }
    return k;
  }

  /**
   * Seconds from a sample's context time to the listener: {base, output, total},
   * the context's processing latency (read now) and its output's (as last read
   * by readLatency; null where it is never read: OUTPUT_LATENCY_READABLE). Some
   * browsers answer outputLatency by asking the audio thread, which can hold the
   * main thread up for long while a stream starts: it is read only while no
   * player has a stream open (this.streaming), when the context starts running
   * and whenever a stream has ended.
   */
  latency() {
    const base = positive(this.ctx && this.ctx.baseLatency);
    return { base, output: this.outputLatency, total: base + (this.outputLatency || 0) };
  }

  readLatency() {
    const c = this.ctx;
    if (this.outputLatency !== null && c && !this.streaming.size && c.state === "running") this.outputLatency = positive(c.outputLatency);
  }

  /**
   * Run fn once what the context renders at its time t has been heard (t
   * defaults to now): an end is reported when the sound has played out, not
   * when its last sample left the graph. At once when the context does not
   * run (nothing more will be heard).
   */
  whenHeard(fn, t = this.contextNow()) {
    this.readLatency(); // the output's latency as it is now (chromium answers 0 until its output has run a while)
    if (!this.running) {
      fn();
      return;
    }
    const { total, output } = this.latency();
    const wait = Math.min(t - this.contextNow() + total + (output === null ? UNKNOWN_OUTPUT_SECONDS : 0), MAX_OUTPUT_DELAY_SECONDS);
    if (wait > 0.001) setTimeout(fn, wait * 1000);
    else fn();
  }

  /** Call fn("interrupted" | "recovered") on those changes; returns the unsubscribe function. */
  subscribe(fn) {
    this.subscribers.add(fn);
    return () => this.subscribers.delete(fn);
  }

  /** Drop a callback given to whenRunning() that is no longer wanted. */
  forget(fn) {
    this.waiters.delete(fn);
  }

  notify(what) {
    for (const fn of [...this.subscribers]) {
      try {
        fn(what);
      } catch (err) {
        console.error("[vt] audio engine subscriber failed", err);
      }
    }
  }

  async init() {
    const Ctx = window.AudioContext || window.webkitAudioContext;
    if (!Ctx) {
      this.error = noWebAudio("this browser has no Web Audio");
      console.error("[vt] " + this.error);
      return;
    }
    const opts = { latencyHint: "interactive" };
    const forced = Number(new URLSearchParams(location.search).get("sampleRate"));
    if (forced > 0) opts.sampleRate = forced;
    setPlaybackSession();
    try {
      this.ctx = new Ctx(opts);
    } catch (err) {
      this.error = noWebAudio(`the browser could not open an audio output (${err && err.message ? err.message : err})`);
      console.error("[vt] " + this.error);
      return;
    }
    this.ctx.addEventListener("statechange", () => this.onStateChange());
    const back = () => {
      if (document.visibilityState !== "hidden") this.recover();
    };
    document.addEventListener("visibilitychange", back);
    window.addEventListener("pageshow", back);
    window.addEventListener("focus", back);
    await this.pickStreamEngine();
    this.requestStart();
  }

  // Streams play through the AudioWorklet engine where the context has one
  // (a secure context: HTTPS or localhost), else through the main-thread
  // engine (scheduled-output.js). ?streamEngine=scheduled forces the latter.
  async pickStreamEngine() {
    const forced = new URLSearchParams(location.search).get("streamEngine");
    const worklet = this.ctx.audioWorklet;
    if (worklet && forced !== "scheduled") {
      try {
        await worklet.addModule(WORKLET_URL);
        this.workletLoaded = true;
        this.streamEngine = "worklet";
        return;
      } catch (err) {
        console.warn(`[vt] the stream worklet did not load (${err && err.message ? err.message : err}): ` +
          "streams play on the main thread");
      }
    } else if (!worklet) {
      console.info(`[vt] no AudioWorklet here${window.isSecureContext ? "" : " (the page is not a secure context)"}: ` +
        "streams play on the main thread");
    }
    if (typeof this.ctx.createBufferSource === "function" && typeof this.ctx.createBuffer === "function") {
      this.streamEngine = "scheduled";
    } else {
      this.error = noWebAudio("this browser's Web Audio can neither run an AudioWorklet nor schedule audio buffers");
      console.error("[vt] " + this.error);
    }
  }

  get running() {
    return !!this.ctx && this.ctx.state === "running";
  }

  // Try to start the context; when the browser wants a gesture first, show the
  // unlock button instead.
  requestStart() {
    if (!this.ctx || this.running) return;
    this.ctx.resume().catch(() => {});
    setTimeout(() => {
      if (this.ctx && this.ctx.state === "suspended") this.showUnlock();
    }, 250);
  }

  // Run fn once the context is running (now, if it already is).
  whenRunning(fn) {
    if (this.running || !this.ctx) fn();
    else {
      this.waiters.add(fn);
      this.requestStart();
    }
  }

  onStateChange() {
    const state = this.ctx.state;
    if (this.running) {
      this.wasRunning = true;
      this.readLatency();
      setTimeout(() => this.readLatency(), LATENCY_SETTLE_MS); // an output knows its latency once it has run a while
      this.hideUnlock();
      if (this.interrupted) {
        this.interrupted = false;
        this.notify("recovered");
      }
      const waiters = [...this.waiters];
      this.waiters.clear();
      for (const fn of waiters) fn();
    } else if (this.wasRunning && (state === "interrupted" || state === "suspended") && !this.interrupted) {
      this.interrupted = true;
      this.notify("interrupted");
      // an interruption ends on its own: try again now, and when the page is back
      if (document.visibilityState !== "hidden") this.recover();
    }
  }

  // The page is in the foreground again (or the interruption may be over):
  // resume a context that had been running.
  recover() {
    if (!this.ctx || this.running || !this.wasRunning) return;
    setPlaybackSession();
    this.ctx.resume().catch(() => {});
  }

  showUnlock() {
    if (!this.unlockButton) {
      const b = document.createElement("button");
      b.id = "vt-unlock";
      b.type = "button";
      b.className = "vt-unlock";
      b.textContent = "🔊 Click to enable sound";
      b.title = "The browser blocks sound until you interact with the page";
      b.addEventListener("click", () => this.onUnlockClick());
      document.body.appendChild(b);
      this.unlockButton = b;
    }
    this.unlockButton.hidden = false;
  }

  // Hidden once the context runs and no refused play waits for a click.
  hideUnlock() {
    if (this.unlockButton && !this.gestureWaiters.size) this.unlockButton.hidden = true;
  }

  /**
   * The browser refused to start a playback without a user gesture (a media
   * element's play(), which some browsers refuse a few seconds after the last
   * gesture although the context runs): show the unlock button; its click, a
   * gesture, calls fn. Never retried on its own: a refusal is final until the
   * user acts.
   */
  askGesture(fn) {
    this.gestureWaiters.add(fn);
    this.showUnlock();
  }

  /** Drop a callback given to askGesture() (its player played or went). */
  forgetGesture(fn) {
    if (!this.gestureWaiters.delete(fn)) return;
    if (this.running) this.hideUnlock();
  }

  // Called from any user gesture (the unlock button, a play button).
  unlock() {
    if (this.ctx && !this.running) this.ctx.resume().catch(() => {});
  }

  // The unlock button: start the context, and the plays that waited for a gesture, inside this one.
  onUnlockClick() {
    this.unlock();
    const waiting = [...this.gestureWaiters];
    this.gestureWaiters.clear();
    for (const fn of waiting) {
      try {
        fn();
      } catch (err) {
        console.error("[vt] a play after the unlock failed", err);
      }
    }
    if (this.running) this.hideUnlock();
  }
}

function positive(v) {
  return Number.isFinite(Number(v)) && Number(v) > 0 ? Number(v) : 0;
}

// Why streams cannot play, and what the user can do about it.
function noWebAudio(why) {
  const hint = window.isSecureContext
    ? "open the page in a current browser"
    : "serve the page over HTTPS or open it on localhost, or use a current browser";
  return `stream playback unavailable: ${why}; ${hint}`;
}

function setPlaybackSession() {
  const session = navigator.audioSession;
  if (!session) return;
  try {
    if (session.type !== "playback") session.type = "playback";
  } catch (err) {
    console.warn("[vt] could not set the audio session type:", err);
  }
}

export const engine = new AudioEngine();
