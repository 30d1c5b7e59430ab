// The page's audio engine: one AudioContext for every player, the stream
// worklet module, and the autoplay unlock (a button when the browser wants a
// user gesture before it plays sound).

const WORKLET_URL = new URL("./pcm-worklet.js", import.meta.url).href;

class AudioEngine {
  constructor() {
    this.ctx = null;
    this.error = null; // why streaming (or Web Audio as a whole) is unavailable
    this.workletLoaded = false;
    this.unlockButton = null;
    this.waiters = new Set(); // callbacks to run once the context is running
    this.ready = this.init();
  }

  async init() {
    const Ctx = window.AudioContext || window.webkitAudioContext;
    if (!Ctx) {
      this.error = "Web Audio is not available in this browser";
      return;
    }
    const opts = { latencyHint: "interactive" };
    const forced = Number(new URLSearchParams(location.search).get("sampleRate"));
    if (forced > 0) opts.sampleRate = forced;
    this.ctx = new Ctx(opts);
    this.ctx.addEventListener("statechange", () => this.onStateChange());
    try {
      await this.ctx.audioWorklet.addModule(WORKLET_URL);
      this.workletLoaded = true;
    } catch (err) {
      this.error = `stream playback unavailable: ${err && err.message ? err.message : err}`;
      console.error("[vt] " + this.error);
    }
    this.requestStart();
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
    if (this.running) {
      this.hideUnlock();
      const waiters = [...this.waiters];
      this.waiters.clear();
      for (const fn of waiters) fn();
    }
  }

  showUnlock() {
    if (!this.unlockButton) {
      const b = document.createElement("button");
      b.id = "vt-unlock";
      b.type = "button";
      b.className = "vt-unlock";
      b.textContent = "🔊 Click to enable sound";
      b.title = "The browser blocks sound until you interact with the page";
      b.addEventListener("click", () => this.unlock());
      document.body.appendChild(b);
      this.unlockButton = b;
    }
    this.unlockButton.hidden = false;
  }

  hideUnlock() {
    if (this.unlockButton) this.unlockButton.hidden = true;
  }

  // Called from any user gesture (the unlock button, a play button).
  unlock() {
    if (this.ctx && !this.running) this.ctx.resume().catch(() => {});
  }
}

export const engine = new AudioEngine();
