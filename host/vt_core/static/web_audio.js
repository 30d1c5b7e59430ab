// The "web_audio" component: one audio player per component.
//
// Audio graph (one AudioContext for the page, audio-engine.js):
//
//   <audio> ── MediaElementAudioSourceNode ─┐
//                                            ├─ GainNode ─ AnalyserNode ─ destination
//   streams ── AudioWorkletNode (ring) ─────┘
//
// (Where this browser's routed elements run out of step with its output,
// media-routing.js, files play on a bare element outside the graph.)
//
// This module is the player's transport and routing: it builds the graph,
// takes the commands from Python and the controls, and hands each to the part
// that plays the current source:
//   file-playback.js  files and URLs, through the <audio> element (outside
//                     the graph for a cross-origin source without CORS)
//   stream-ingest.js  pushed PCM (binary frames) and pulled streams
//                     (start_stream), into a ring buffer in the page's stream
//                     engine (stream-engine.js)
//   controls.js       the player's view and the user's actions on it
//   visualiser.js     the waveform / spectrum drawn from the analyser, live
//                     for files and streams alike, or a file's whole waveform
//                     (waveform.js decodes it) with the playhead over it
//
// Options (camelCase keyword arguments of web_audio(); a props update applies
// at once): loop, playbackRate (pitch kept), autoplay, muted, preload, and
// the view's options (visible, minimal, block, width, label, showWave,
// visualizerType, visualizerColor, volume).

import { engine } from "./audio-engine.js";
import { Controls } from "./controls.js";
import { FilePlayback } from "./file-playback.js";
import { checkRouting } from "./media-routing.js";
import { StreamIngest } from "./stream-ingest.js";
import { Visualiser } from "./visualiser.js";
import { peaksFor } from "./waveform.js";

export { engine };

// The browser never frees a MediaElementAudioSourceNode (nor its element)
// while the context lives, connected or not: a removed player's pair waits
// here for the next player, so a page holds no more of them than it once had
// file players at the same time.
const sparePairs = [];

/** How many routed elements wait for a player (diagnostics). */
export function spareElements() {
  return sparePairs.length;
}

function newPair() {
  try {
    const element = new Audio();
    const node = engine.ctx.createMediaElementSource(element);
    // what the element still sends into the graph once its own clock has ended (whenSoundOut)
    const tap = engine.ctx.createAnalyser();
    tap.fftSize = TAP_FRAMES;
    return { element, node, tap };
  } catch (err) {
    console.warn("[vt] media element not routed through Web Audio:", err);
    return null;
  }
}

const TAP_FRAMES = 256;
const TAP_LOOK_MS = 20;
const TAP_GIVE_UP_MS = 2000;

/**
 * Call fn once the analyser has seen two silent blocks in a row: an element's
 * "ended" tells that its clock reached the end, while the browser may still
 * hold some of its audio on the way into the graph (a busy machine: a tenth of
 * a second and more). Never later than TAP_GIVE_UP_MS.
 */
function whenSilent(tap, fn) {
  const block = new Float32Array(TAP_FRAMES);
  const until = performance.now() + TAP_GIVE_UP_MS;
  let quiet = 0;
  const look = () => {
    tap.getFloatTimeDomainData(block);
    quiet = block.every((x) => x === 0) ? quiet + 1 : 0;
    if (quiet >= 2 || performance.now() >= until) fn();
    else setTimeout(look, TAP_LOOK_MS);
  };
  look();
}

// Whether routed elements play in step with the output here (media-routing.js):
// asked once, when the first file source is loaded and the context runs; a file
// waits for the answer before it plays. null until asked; inStep once known.
const routing = { asked: null, inStep: null, aheadSeconds: null };

export function mediaRouting() {
  if (!routing.asked) {
    routing.asked = new Promise((resolve) => engine.whenRunning(resolve)).then(async () => {
      const pair = engine.ctx ? newPair() : null;
      if (!pair) return (routing.inStep = false);
      const found = await checkRouting(engine.ctx, pair);
      Object.assign(routing, found);
      if (found.inStep) sparePairs.push(pair);
      else {
        console.info(`[vt] media elements routed through Web Audio run ${found.aheadSeconds.toFixed(2)} s ahead ` +
          "of the output here: files play outside the graph");
      }
      return found.inStep;
    });
  }
  return routing.asked;
}

/** What the page found out about routed elements (diagnostics). */
export function routingFound() {
  return { inStep: routing.inStep, aheadSeconds: routing.aheadSeconds };
}

export class WebAudioPlayer {
  /**
   * @param {string} cid        component id
   * @param {object} content    {"src", "options"}
   * @param {HTMLElement} root  element to render into
   * @param {(event: string, payload: object) => void} emit  sends an event to the host
   */
  constructor(cid, content, root, emit) {
    this.cid = cid;
    this.root = root;
    this.send = emit;
    this.content = { src: "", options: {} };
    this.options = {};
    this.src = "";
    this.lastError = "";
    this.volume = 1;
    this.muted = false;
    this.peaks = null; // the whole waveform of the file source, once decoded
    this.peaksFor = ""; // the source it was asked for
    this.streamPlayed = null; // seconds the last stream played, once it has ended

    const host = {
      emit: (event, payload) => this.emit(event, payload),
      changed: () => this.renderState(),
      timeChanged: () => {
        this.controls.renderTime();
        this.drawWave(); // a paused player gets no animation frames: move its playhead now
      },
      modeChanged: () => this.onModeChanged(),
      canRoute: () => !!this.gain,
      takeRouted: () => this.takeRouted(),
      giveBack: (element) => this.giveBack(element),
      whenSoundOut: (fn) => this.whenSoundOut(fn),
      routing: () => (this.gain ? mediaRouting() : Promise.resolve(false)),
    };
    this.buildGraph();
    this.file = new FilePlayback(host);
    this.stream = new StreamIngest(this.gain || null, host);
    this.controls = new Controls(this, root);
    this.visualiser = new Visualiser();
    this.update(content, true);
  }

  // -- audio graph ----------------------------------------------------------

  buildGraph() {
    const ctx = engine.ctx;
    if (!ctx) return;
    this.gain = ctx.createGain();
    this.analyser = ctx.createAnalyser();
    this.analyser.fftSize = 2048;
    this.analyser.smoothingTimeConstant = 0.7;
    this.analyser.minDecibels = -85;
    this.analyser.maxDecibels = -15;
    this.gain.connect(this.analyser);
    this.analyser.connect(ctx.destination);
  }

  /** An <audio> element routed into this player's gain; null when it cannot be. */
  takeRouted() {
    if (!this.gain) return null;
    mediaRouting();
    if (routing.inStep === false) return null;
    const pair = sparePairs.pop() || newPair();
    if (!pair) return null;
    this.mediaPair = pair;
    pair.node.connect(pair.tap);
    // connected once routed elements are known to play in step: until then what one plays goes
    // nowhere (an engine whose elements run ahead pushes a loading element's first blocks out);
    // out of step, it never is (play() moves the source to a bare element)
    if (routing.inStep) pair.node.connect(this.gain);
    else {
      mediaRouting().then((inStep) => {
        if (inStep && this.mediaPair === pair && this.gain) pair.node.connect(this.gain);
      });
    }
    return pair.element;
  }

  /** Call fn once the routed element's last sound has left the graph and the output's latency has passed. */
  whenSoundOut(fn) {
    const tap = this.mediaPair && this.mediaPair.tap;
    if (!tap || !engine.running) engine.whenHeard(fn);
    else whenSilent(tap, () => engine.whenHeard(fn));
  }

  /** The routed element comes back (emptied, without listeners): keep it for the next player. */
  giveBack(element) {
    const pair = this.mediaPair;
    if (!pair || pair.element !== element) return;
    pair.node.disconnect();
    this.mediaPair = null;
    sparePairs.push(pair);
  }

  /** The element that plays the file source (it changes when a source plays outside the graph). */
  get audio() {
    return this.file.audio;
  }

  onModeChanged() {
    this.applyOutput();
    this.renderState();
  }

  // Volume and mute: on the graph's gain, and on the element when it plays alone.
  applyOutput() {
    if (this.gain) this.gain.gain.value = this.muted ? 0 : this.volume;
    this.file.configure({ volume: this.volume, muted: this.muted });
    this.controls.showVolume(this.volume);
  }

  emit(event, payload) {
    if (event === "web-audio-error") {
      this.lastError = payload.error;
      console.warn(`[vt] ${this.cid}: ${payload.error}`);
    } else if (event === "web-audio-play" || event === "web-audio-stream-start") {
      this.lastError = "";
    }
    this.send(event, payload);
    this.renderState();
    if (event === "web-audio-ended" && payload.source) {
      // a stream ended: the time shows what it played, not the last progress read
      this.streamPlayed = payload.played;
      this.controls.renderTime();
    }
  }

  // -- options / content ----------------------------------------------------

  /** Apply new content ({"src", "options"}) in place; returns the volume it set from the
   * options, or null when it left the volume as it was. */
  update(content, first = false) {
    content = content && typeof content === "object" ? content : {};
    const options = content.options && typeof content.options === "object" ? content.options : {};
    const prev = this.options;
    this.content = content;
    this.options = options;

    // the option "src" wins once it has been set (also when set to "")
    const src = Object.prototype.hasOwnProperty.call(options, "src") ? options.src : content.src;
    const newSrc = typeof src === "string" ? src : src ? String(src) : "";
    const rate = options.playbackRate !== undefined ? options.playbackRate : options.playback_rate;
    this.file.configure({
      loop: !!options.loop,
      rate: rate === undefined || rate === null ? 1 : Number(rate),
      preload: options.preload === undefined || options.preload === null ? "auto" : String(options.preload),
    });
    const muted = !!options.muted;
    if (muted !== this.muted) {
      this.muted = muted;
      this.applyOutput();
    }
    const newSource = newSrc !== this.src;
    if (newSource) {
      this.src = newSrc;
      this.loadSrc(false);
    }
    let volumeSet = null;
    if (options.volume !== undefined && (first || options.volume !== prev.volume)) {
      this.setVolume(options.volume);
      volumeSet = Number(options.volume);
    }
    this.controls.render(options);
    this.stream.configure(options);
    this.wantPeaks();
    // autoplay: a new source starts on its own, and so does a loaded one when
    // the option is switched on while it stands at its start
    const autoplay = !!options.autoplay;
    if (autoplay && this.src && !this.stream.active && !this.file.playing) {
      if (newSource || !prev.autoplay) {
        if (newSource || this.file.currentTime === 0) this.play();
      }
    }
    if (first && options.streamMode && options.streamUrl) {
      // a page opened (or re-opened) while the component streams from a URL
      // the format comes from the response (WAV header or X-Audio-* headers)
      this.startStream({ url: options.streamUrl });
    }
    return volumeSet;
  }

  loadSrc(resume) {
    this.lastError = "";
    this.peaks = null;
    this.peaksFor = "";
    this.file.load(this.src, resume);
    this.renderState();
  }

  // Ask for the whole waveform of the file source when it is to be shown (not
  // before the element loads anything with preload "none").
  wantPeaks() {
    const o = this.options;
    const src = this.src;
    if (!src || this.peaksFor === src || !o.showWave || !this.file.readable || !engine.ctx) return;
    // the live spectrum needs no peaks; outside the graph they are the only view
    if (o.visualizerType === "spectrum" && this.file.mode === "graph") return;
    if (this.file.settings.preload === "none" && !this.file.playing) return;
    this.peaksFor = src;
    peaksFor(src, engine.ctx).then((peaks) => {
      if (this.peaksFor === src && !this.destroyed) {
        this.peaks = peaks;
        this.renderState();
        this.drawWave();
      }
    });
  }

  /** True when the canvas shows a file's whole waveform that a click can seek. */
  waveSeekable() {
    return !!this.peaks && !this.stream.active && this.file.readable;
  }

  // -- commands -------------------------------------------------------------

  play() {
    engine.unlock();
    if (this.stream.play()) return;
    this.file.play();
    this.wantPeaks();
  }

  toggle() {
    if (this.isPlaying()) this.pause();
    else this.play();
  }

  pause() {
    this.file.wantPlay = false;
    if (this.stream.pause()) return;
    this.file.pause();
  }

  reload() {
    this.loadSrc(true);
  }

  seek(seconds) {
    const s = Number(seconds);
    if (!Number.isFinite(s) || this.stream.active) return;
    this.file.seek(s);
    this.controls.renderTime();
  }

  /** Seek by a number of seconds from the current time (files). */
  seekBy(seconds) {
    if (this.stream.active) return;
    this.seek(this.file.currentTime + seconds);
  }

  /** Seek to a fraction (0..1) of the file's duration. */
  seekFraction(f) {
    const d = this.file.duration;
    if (this.stream.active || !Number.isFinite(d) || !(d > 0)) return;
    this.seek(Math.max(0, Math.min(1, f)) * d);
  }

  setVolume(volume) {
    const v = Number(volume);
    if (!Number.isFinite(v)) return;
    this.volume = Math.max(0, v);
    this.applyOutput();
  }

  /** The close command (also what stop() sends): end the current stream at
   * once, dropping what is buffered; with no stream open, stop the file. */
  closeStream() {
    if (!this.stream.end()) this.file.stop();
    this.renderState();
  }

  /** Pull a stream: {url, sample_rate, channels, params?}. */
  startStream(cmd) {
    this.stream.start(cmd);
  }

  /** A binary frame routed to this player; meta = the last "audio_metadata". */
  pushPcm(buffer, meta, codec) {
    this.stream.push(buffer, meta, codec);
  }

  // -- test / diagnostics hook ----------------------------------------------

  /** Counters of this player, read from the worklet (a Promise). */
  stats() {
    return this.stream.stats(() => ({
      contextState: engine.ctx ? engine.ctx.state : "none",
      file: this.file.info(),
      volume: this.volume,
      muted: this.muted,
      outputGain: this.gain ? this.gain.gain.value : null,
      routing: routingFound(),
      wave: this.peaks ? { buckets: this.peaks.min.length, duration: this.peaks.duration, slices: this.peaks.slices } : null,
    }));
  }

  currentTime() {
    return this.stream.active ? this.stream.currentTime() : this.file.currentTime;
  }

  isPlaying() {
    if (this.stream.active) return !this.stream.paused;
    return this.file.playing;
  }

  // -- UI -------------------------------------------------------------------

  renderState() {
    this.controls.renderState();
  }

  /** One animation frame: time display and visualiser. */
  tick() {
    if (!this.controls.ui) return;
    if (this.stream.active) {
      this.controls.renderTime();
      this.stream.tick();
    }
    if (!this.drawWave()) {
      const canvas = this.controls.canvas;
      const c = this.controls;
      if (canvas) this.visualiser.draw(canvas, this.file.mode === "direct" && !this.stream.active ? null : this.analyser, c.vizType, c.vizColor);
    }
  }

  /** Draw the file's whole waveform and playhead when the canvas shows it; false otherwise. */
  drawWave() {
    const canvas = this.controls.canvas;
    const c = this.controls;
    // the whole waveform: the waveform view's, and outside the graph (no live view) the spectrum's too
    if (!canvas || !this.waveSeekable() || (c.vizType !== "waveform" && this.file.mode === "graph")) return false;
    const d = this.file.duration;
    this.visualiser.drawPeaks(canvas, this.peaks, Number.isFinite(d) && d > 0 ? this.file.currentTime / d : 0, c.vizColor);
    return true;
  }

  /** Release everything the player holds: elements, audio nodes, listeners, its view. */
  destroy() {
    this.destroyed = true;
    this.stream.destroy();
    this.file.destroy(); // gives its routed element back
    for (const n of [this.gain, this.analyser]) {
      if (n) n.disconnect();
    }
    this.gain = this.analyser = null;
    this.peaks = null;
    this.controls.destroy();
  }
}
