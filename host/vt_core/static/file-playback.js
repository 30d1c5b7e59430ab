// File playback: the <audio> element that plays a player's file or URL source.
//
// Two ways to play a source:
//   "graph"   the element is routed through the player's Web Audio graph (gain,
//             analyser): same-origin sources and servers that allow CORS. The
//             element asks with CORS (crossOrigin = "anonymous") so that a
//             redirect to another origin is checked too.
//   "direct"  an element outside the graph, playing to the speakers itself
//             (volume and mute on the element; no analyser, so no live
//             visualiser):
//             - a second element for a source whose server allows no
//               cross-origin reads (the browser would feed silence into the
//               graph);
//             - the only element where the page has no Web Audio, or where
//               this browser's routed elements run out of step with its
//               output (media-routing.js). The source's bytes are readable
//               there, so the whole waveform can still be drawn.
// When the graph element fails, a fetch tells why: the HTTP status, a format
// the browser cannot decode, or no readable answer at all (CORS refused or a
// network error), in which case the direct element gets its turn.
//
// "ended" means heard: through the graph it is reported once the element's
// last sound has left the graph and the output's latency has passed
// (host.whenSoundOut). A play the browser refuses for want
// of a user gesture is reported ("web-audio-error") and waits for a click on
// the unlock button or the play button: it is never retried on its own.
//
// A file that should be playing but whose element's clock stands (it happens
// now and then in some engines, with no event and no error) is loaded again
// where it stood and played on; standing again, it is reported as an error
// (stall-watch.js).
//
// The owner passes a host {emit(event, payload), changed(), timeChanged(),
// modeChanged(), canRoute(), takeRouted(), giveBack(element), routing(),
// whenSoundOut(fn)}: emit
// sends a player event to Python, changed() redraws the play state,
// timeChanged() the time display, modeChanged() follows a switch between
// "graph" and "direct"; takeRouted() lends an element routed through the graph
// (null when it cannot), taken with the first source, and giveBack() returns
// it; routing() resolves with whether routed elements play in step here;
// whenSoundOut(fn) calls fn once the routed element's last sound is heard.

import { engine } from "./audio-engine.js";
import { StallWatch } from "./stall-watch.js";
import { errorText } from "./util.js";

const PRELOADS = new Set(["none", "metadata", "auto"]);
const WATCH_MS = 250; // how often a playing file's clock is looked at

export class FilePlayback {
  constructor(host) {
    this.host = host;
    this.src = "";
    this.wantPlay = false; // play() waits for the context / for a gesture
    this.resumeAfterInterruption = false;
    this.loadSeq = 0; // bumped by every load: late answers of an older one are dropped
    this.settings = { loop: false, rate: 1, preload: "auto", volume: 1, muted: false };
    this.listeners = new Map(); // element -> AbortController of its listeners
    this.graphOk = host.canRoute();
    this.routed = null; // the element of the graph, taken with the first source
    this.direct = null;
    // stands in until the first source: no listeners, nothing to give back
    this.audio = new Audio();
    this.mode = this.graphOk ? "graph" : "direct";
    this.unsubscribe = engine.subscribe((what) => this.onEngine(what));
    this.retry = () => this.play(); // what the unlock button's click runs after a refused play
    this.stall = new StallWatch();
    this.watchTimer = null;
    this.reloading = false; // a stalled element is being loaded again: its pause and play are not news
  }

  /** True when the page can read the source's bytes (for its whole waveform). */
  get readable() {
    return !!this.src && !this.direct;
  }

  // The element for sources: one routed through the graph (the owner lends it),
  // or a plain one when Web Audio cannot take it.
  takeElement() {
    let a = this.graphOk ? this.host.takeRouted() : null;
    if (a) a.crossOrigin = "anonymous";
    else {
      this.graphOk = false;
      a = new Audio();
    }
    this.adopt(a);
    return a;
  }

  adopt(a) {
    const ctl = new AbortController();
    this.listeners.set(a, ctl);
    this.bind(a, ctl.signal);
    this.applySettings(a);
  }

  dropElement(a) {
    if (!a) return;
    a.pause();
    a.removeAttribute("src");
    try {
      a.load();
    } catch (_) {
      /* ignore */
    }
    const ctl = this.listeners.get(a);
    if (ctl) ctl.abort();
    this.listeners.delete(a);
  }

  // -- options ----------------------------------------------------------------

  /** Element settings: {loop, rate, preload, volume, muted}; volume and mute apply to the
   * element only when it plays outside the graph (the graph's gain does it otherwise). */
  configure(settings) {
    Object.assign(this.settings, settings);
    for (const a of this.listeners.keys()) this.applySettings(a);
  }

  applySettings(a) {
    const s = this.settings;
    a.loop = !!s.loop;
    const rate = Number(s.rate);
    const r = Number.isFinite(rate) && rate > 0 ? Math.min(16, Math.max(0.0625, rate)) : 1;
    // written only when they change: some engines restart a playing element's output on every write
    if (!a.preservesPitch) a.preservesPitch = true;
    if (a.defaultPlaybackRate !== r) a.defaultPlaybackRate = r;
    if (a.playbackRate !== r) a.playbackRate = r;
    const preload = PRELOADS.has(s.preload) ? s.preload : "auto";
    if (a.preload !== preload) a.preload = preload;
    const alone = !this.graphOk || (a !== this.routed && a === this.direct);
    a.volume = alone ? Math.min(1, Math.max(0, Number(s.volume) || 0)) : 1;
    a.muted = alone ? !!s.muted : false;
  }

  // -- loading ----------------------------------------------------------------

  /** Load src ("" clears); with resume, go on playing if it was playing. */
  load(src, resume) {
    this.loadSeq++;
    if (!resume) engine.forgetGesture(this.retry);
    const wasPlaying = resume && !this.audio.paused;
    this.src = src;
    if (this.direct) {
      this.dropElement(this.direct);
      this.direct = null;
    }
    if (src && !this.routed) this.routed = this.takeElement();
    if (!this.routed) {
      this.wantPlay = false; // no source was ever given: nothing to load or clear
      return;
    }
    this.setMode(this.graphOk ? "graph" : "direct", this.routed);
    if (src) {
      this.routed.src = src;
      this.routed.load();
      if (wasPlaying || (resume && this.wantPlay)) this.play();
    } else {
      this.wantPlay = false;
      this.routed.removeAttribute("src");
      this.routed.load();
    }
  }

  setMode(mode, element) {
    const changed = mode !== this.mode || element !== this.audio;
    this.mode = mode;
    this.audio = element;
    if (changed) this.host.modeChanged();
  }

  // The graph element failed: find out why, and play outside the graph when
  // the server answers but refuses cross-origin reads.
  async onRoutedError() {
    const seq = this.loadSeq;
    const src = this.src;
    const found = await probe(src);
    if (seq !== this.loadSeq) return;
    if (found.blocked && this.graphOk) {
      this.playDirect();
      return;
    }
    this.fail(found.blocked ? found.text : describe(found, this.audio.error));
  }

  // This browser's routed elements run out of step with its output: the source
  // plays on a bare element from here on, from where it stood.
  leaveGraph() {
    if (!this.graphOk || !this.routed) return;
    const old = this.routed;
    const at = old.currentTime;
    this.dropElement(old);
    this.host.giveBack(old);
    this.graphOk = false;
    this.routed = this.takeElement();
    this.setMode("direct", this.routed);
    if (this.src) {
      this.routed.src = this.src;
      this.routed.load();
      if (at > 0) this.routed.currentTime = at;
    }
  }

  playDirect() {
    const d = new Audio();
    this.direct = d;
    this.adopt(d);
    this.routed.removeAttribute("src");
    this.routed.load();
    this.setMode("direct", d);
    d.src = this.src;
    d.load();
    if (this.wantPlay) this.play();
  }

  fail(text) {
    this.wantPlay = false;
    this.host.emit("web-audio-error", { error: `${text} (${this.src})` });
    this.host.changed();
  }

  // -- commands ---------------------------------------------------------------

  play() {
    if (!this.src) return;
    engine.forgetGesture(this.retry);
    this.wantPlay = true;
    const seq = this.loadSeq;
    const start = () => {
      if (!this.wantPlay || seq !== this.loadSeq) return;
      const a = this.audio;
      const p = a.play();
      this.watch();
      if (p && p.catch) {
        p.catch((err) => {
          if (seq !== this.loadSeq || a !== this.audio) return; // another source or element since
          if (err && err.name === "NotAllowedError") this.refused(err);
          else if (err && err.name !== "AbortError" && err.name !== "NotSupportedError") {
            // a source that cannot be loaded is reported by its error event
            this.host.emit("web-audio-error", { error: errorText(err) });
          }
        });
      }
    };
    // an element outside the graph does not need the context
    if (this.mode === "direct") start();
    else {
      engine.whenRunning(() =>
        this.host.routing().then((inStep) => {
          if (!inStep) this.leaveGraph();
          start();
        }),
      );
    }
  }

  // The browser wants a user gesture for this play (its autoplay policy; some
  // refuse a media element a few seconds after the last gesture though the
  // context runs). The player stops wanting to play, says why, and the unlock
  // button's click plays it; the player's own play button does too.
  refused(err) {
    if (!this.wantPlay) return; // paused meanwhile
    this.wantPlay = false;
    engine.askGesture(this.retry);
    this.host.emit("web-audio-error", {
      error: `the browser refused to play without a user gesture (${errorText(err)}): ` +
        "click the page's sound button or the player's play button",
      name: "NotAllowedError",
    });
    this.host.changed();
  }

  pause() {
    this.wantPlay = false;
    engine.forgetGesture(this.retry);
    this.audio.pause();
  }

  /** Stop a playing file and go back to its start. */
  stop() {
    engine.forgetGesture(this.retry);
    if (this.audio.paused) return;
    this.wantPlay = false;
    this.audio.pause();
    this.audio.currentTime = 0;
  }

  seek(s) {
    const d = this.audio.duration;
    this.audio.currentTime = Math.max(0, Number.isFinite(d) ? Math.min(s, d) : s);
  }

  get playing() {
    return !this.audio.paused || this.wantPlay;
  }

  get currentTime() {
    return this.audio.currentTime || 0;
  }

  get duration() {
    return this.audio.duration;
  }

  info() {
    const a = this.audio;
    return {
      src: this.src,
      paused: a.paused,
      ended: a.ended,
      currentTime: a.currentTime,
      duration: a.duration,
      route: this.mode,
      loop: a.loop,
      playbackRate: a.playbackRate,
      preservesPitch: a.preservesPitch,
      preload: a.preload,
      elementVolume: a.volume,
      elementMuted: a.muted,
    };
  }

  // A phone call or the lock screen stopped the audio; the page is back.
  onEngine(what) {
    if (what === "interrupted") {
      this.resumeAfterInterruption = this.resumeAfterInterruption || !this.audio.paused || this.wantPlay;
    } else if (what === "recovered") {
      if (this.resumeAfterInterruption && this.audio.paused && this.src) this.play();
      this.resumeAfterInterruption = false;
    }
  }

  // -- stalls -----------------------------------------------------------------

  watch() {
    if (!this.watchTimer) this.watchTimer = setInterval(() => this.lookForStall(), WATCH_MS);
  }

  unwatch() {
    clearInterval(this.watchTimer);
    this.watchTimer = null;
    this.stall.reset();
  }

  lookForStall() {
    const a = this.audio;
    if (!this.src || (!this.wantPlay && !this.reloading && (a.paused || a.ended))) {
      this.unwatch();
      return;
    }
    const playing = (this.wantPlay || this.reloading) && !a.paused && !a.ended && !a.seeking;
    const verdict = this.stall.look({ now: performance.now(), time: a.currentTime, playing, hasData: a.readyState >= 3 });
    if (verdict === "reload") {
      const at = a.currentTime;
      console.warn(`[vt] playback stood still at ${at.toFixed(2)} s: loading ${this.src} again there`);
      this.reloading = true;
      a.load();
      if (at > 0) a.currentTime = at;
      const p = a.play();
      if (p && p.catch) p.catch(() => {}); // a failure shows as the next stall
    } else if (verdict === "fail") {
      const at = a.currentTime;
      this.unwatch();
      this.reloading = false;
      this.wantPlay = false;
      a.pause();
      this.host.emit("web-audio-error", {
        error: `playback stood still at ${at.toFixed(2)} s and did not go on after loading the source again (${this.src})`,
      });
      this.host.changed();
    }
  }

  // -- media element events ---------------------------------------------------

  bind(a, signal) {
    const on = (type, fn) =>
      a.addEventListener(
        type,
        () => {
          if (a === this.audio) fn();
        },
        { signal },
      );
    on("play", () => {
      if (!this.reloading) this.host.emit("web-audio-play", { currentTime: a.currentTime });
      this.host.changed();
    });
    on("playing", () => {
      this.reloading = false;
      this.watch();
    });
    on("pause", () => {
      this.host.changed();
      if (a.ended || this.reloading) return; // the end of playback is reported as "ended" alone
      if (engine.interrupted) this.resumeAfterInterruption = true;
      this.host.emit("web-audio-pause", { currentTime: a.currentTime });
    });
    on("ended", () => {
      this.wantPlay = false;
      const payload = { currentTime: a.currentTime, duration: a.duration };
      // through the graph the last samples have the way into the graph and the output's latency still to go
      if (this.mode === "graph") this.host.whenSoundOut(() => this.host.emit("web-audio-ended", payload));
      else this.host.emit("web-audio-ended", payload);
      this.host.changed();
    });
    on("error", () => {
      if (!this.src) return; // clearing the source is not an error
      if (a === this.routed) this.onRoutedError();
      else this.fail(this.graphOk ? BLOCKED_DIRECT : describe({ blocked: true }, a.error));
    });
    // load() resets the rate to the default; the option stays
    on("loadstart", () => this.applySettings(a));
    for (const ev of ["timeupdate", "durationchange", "loadedmetadata", "seeked"]) {
      on(ev, () => this.host.timeChanged());
    }
  }

  /** Stop, let go of every listener, and give the graph's element back to the owner. */
  destroy() {
    this.wantPlay = false;
    this.unwatch();
    this.loadSeq++;
    engine.forgetGesture(this.retry);
    this.unsubscribe();
    this.dropElement(this.direct);
    this.direct = null;
    if (this.routed) {
      this.dropElement(this.routed);
      if (this.graphOk) this.host.giveBack(this.routed);
      this.routed = null;
    }
  }
}

const BLOCKED_DIRECT =
  "the audio could not be loaded: a network error, or the server refused the request " +
  "(it allows no cross-origin reads, so its HTTP status cannot be shown)";

// What a GET of the source says: {ok, status, statusText, type} or {blocked, text}.
async function probe(url) {
  const ctl = new AbortController();
  try {
    const r = await fetch(url, { signal: ctl.signal, cache: "no-store", credentials: "same-origin" });
    const found = { ok: r.ok, status: r.status, statusText: r.statusText, type: r.headers.get("Content-Type") || "" };
    ctl.abort(); // the headers are all we need
    return found;
  } catch (err) {
    return { blocked: true, text: `the audio could not be loaded (${errorText(err)})` };
  }
}

function describe(found, mediaError) {
  if (found.blocked) return found.text || BLOCKED_DIRECT;
  if (!found.ok) return `HTTP ${found.status} ${found.statusText || ""}`.trim();
  const detail = mediaError && mediaError.message ? `: ${mediaError.message}` : "";
  return `the audio format cannot be decoded by this browser (${found.type || "no content type"})${detail}`;
}
