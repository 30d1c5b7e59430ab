// The "web_audio" component: one audio player per component.
//
// Audio graph (one AudioContext for the page, audio-engine.js):
//
//   <audio> ── MediaElementAudioSourceNode ─┐
//                                            ├─ GainNode ─ AnalyserNode ─ destination
//   streams ── AudioWorkletNode (ring) ─────┘
//
// This module is the player's transport and routing: it builds the graph,
// takes the commands from Python and the controls, and hands each to the part
// that plays the current source:
//   file-playback.js  files and URLs, through the <audio> element
//   stream-ingest.js  pushed PCM (binary frames) and pulled streams
//                     (start_stream), into a ring buffer in pcm-worklet.js
//   controls.js       the player's view and the user's actions on it
//   visualiser.js     the waveform / spectrum drawn from the analyser, live
//                     for files and streams alike

import { engine } from "./audio-engine.js";
import { Controls } from "./controls.js";
import { FilePlayback } from "./file-playback.js";
import { StreamIngest } from "./stream-ingest.js";
import { Visualiser } from "./visualiser.js";

export { engine };

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

    const host = {
      emit: (event, payload) => this.emit(event, payload),
      changed: () => this.renderState(),
      timeChanged: () => this.controls.renderTime(),
    };
    this.buildGraph();
    this.file = new FilePlayback(host);
    this.audio = this.file.audio;
    this.routeMedia();
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

  routeMedia() {
    if (!this.gain) return;
    try {
      this.mediaNode = engine.ctx.createMediaElementSource(this.audio);
      this.mediaNode.connect(this.gain);
    } catch (err) {
      console.warn("[vt] media element not routed through Web Audio:", err);
    }
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
  }

  // -- options / content ----------------------------------------------------

  /** Apply new content ({"src", "options"}) in place. */
  update(content, first = false) {
    content = content && typeof content === "object" ? content : {};
    const options = content.options && typeof content.options === "object" ? content.options : {};
    const prev = this.options;
    this.content = content;
    this.options = options;

    // the option "src" wins once it has been set (also when set to "")
    const src = Object.prototype.hasOwnProperty.call(options, "src") ? options.src : content.src;
    const newSrc = typeof src === "string" ? src : src ? String(src) : "";
    if (newSrc !== this.src) {
      this.src = newSrc;
      this.loadSrc(false);
    }
    if (options.volume !== undefined && (first || options.volume !== prev.volume)) {
      this.setVolume(options.volume);
    }
    this.controls.render(options);
    if (first && options.streamMode && options.streamUrl) {
      // a page opened (or re-opened) while the component streams from a URL
      // the format comes from the response (WAV header or X-Audio-* headers)
      this.startStream({ url: options.streamUrl });
    }
  }

  loadSrc(resume) {
    this.lastError = "";
    this.file.load(this.src, resume);
    this.renderState();
  }

  // -- commands -------------------------------------------------------------

  play() {
    engine.unlock();
    if (this.stream.play()) return;
    this.file.play();
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

  setVolume(volume) {
    const v = Number(volume);
    if (!Number.isFinite(v)) return;
    this.volume = Math.max(0, v);
    if (this.gain) this.gain.gain.value = this.volume;
    else this.audio.volume = Math.min(1, this.volume);
    this.controls && this.controls.showVolume(this.volume);
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
  pushPcm(buffer, meta) {
    this.stream.push(buffer, meta);
  }

  // -- test / diagnostics hook ----------------------------------------------

  /** Counters of this player, read from the worklet (a Promise). */
  stats() {
    return this.stream.stats(() => ({
      contextState: engine.ctx ? engine.ctx.state : "none",
      file: this.file.info(),
      volume: this.gain ? this.gain.gain.value : this.audio.volume,
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
    const canvas = this.controls.canvas;
    if (canvas) this.visualiser.draw(canvas, this.analyser, this.controls.vizType, this.controls.vizColor);
  }

  destroy() {
    this.stream.destroy();
    this.file.destroy();
    for (const n of [this.mediaNode, this.gain, this.analyser]) {
      if (n) n.disconnect();
    }
    this.controls.destroy();
  }
}
