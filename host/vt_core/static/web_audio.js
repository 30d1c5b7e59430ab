// The "web_audio" component: one audio player per component.
//
// Audio graph (one AudioContext for the page):
//
//   <audio> ── MediaElementAudioSourceNode ─┐
//                                            ├─ GainNode ─ AnalyserNode ─ destination
//   streams ── AudioWorkletNode (ring) ─────┘
//
// Files and URLs play through the <audio> element; pushed PCM (binary frames)
// and pulled streams (start_stream) feed one ring buffer per player that lives
// in pcm-worklet.js. The analyser feeds the waveform / spectrum canvas, so the
// visualiser is live for files and streams alike.

const WORKLET_URL = new URL("./pcm-worklet.js", import.meta.url).href;
const PROCESSOR = "vt-pcm-ring";
const RING_SECONDS = 20; // bounded ring: older audio is dropped beyond this
const JITTER_SECONDS = 0.1; // audio held back before a stream starts playing
const LITTLE_ENDIAN = new Uint8Array(new Uint16Array([1]).buffer)[0] === 1;

// ---------------------------------------------------------------------------
// The page's audio engine: the AudioContext, the worklet module, autoplay.

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

// ---------------------------------------------------------------------------
// Helpers

function fmtTime(s) {
  if (!Number.isFinite(s) || s < 0) return "0:00";
  const m = Math.floor(s / 60);
  const sec = Math.floor(s % 60);
  return `${m}:${sec < 10 ? "0" : ""}${sec}`;
}

function cssSize(v) {
  if (v === undefined || v === null || v === "") return "";
  return typeof v === "number" ? `${v}px` : String(v);
}

function el(tag, cls, attrs = {}) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  for (const [k, v] of Object.entries(attrs)) e.setAttribute(k, v);
  return e;
}

function errorText(err) {
  if (!err) return "unknown error";
  if (typeof err === "string") return err;
  return err.message || err.name || String(err);
}

const MEDIA_ERRORS = {
  1: "playback aborted",
  2: "network error while loading the audio",
  3: "the audio could not be decoded",
  4: "the audio source is not supported or could not be loaded",
};

// ---------------------------------------------------------------------------
// The player

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
    this.ui = null;
    this.lastError = "";

    // file playback
    this.audio = new Audio();
    this.audio.preload = "auto";
    this.wantPlay = false; // play() waits for the context / for a gesture

    // stream state (main thread side)
    this.streamActive = false; // a stream is open (push or pull)
    this.streamSource = null; // "push" | "pull"
    this.streamFormat = null; // {rate, channels} of the frames being fed
    this.streamPaused = false;
    this.carry = new Uint8Array(0); // bytes of an incomplete frame
    this.pull = null; // {controller} of the running fetch
    this.firstFrameAt = 0;
    this.streamFramesAtStart = 0;
    this.counters = {
      framesReceived: 0,
      bytesReceived: 0,
      streamStarts: 0,
      lastStartLatencyMs: null,
    };
    this.progress = null; // last stats the worklet reported on its own
    this.statsWaiters = new Map();
    this.statsSeq = 0;

    this.buildGraph();
    this.bindMedia();
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
    try {
      this.mediaNode = ctx.createMediaElementSource(this.audio);
      this.mediaNode.connect(this.gain);
    } catch (err) {
      console.warn("[vt] media element not routed through Web Audio:", err);
    }
    if (engine.workletLoaded) {
      this.node = new AudioWorkletNode(ctx, PROCESSOR, {
        numberOfInputs: 0,
        numberOfOutputs: 1,
        outputChannelCount: [2],
        processorOptions: { maxSeconds: RING_SECONDS, jitterSeconds: JITTER_SECONDS },
      });
      this.node.connect(this.gain);
      this.node.port.onmessage = (e) => this.onWorkletMessage(e.data);
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

  onWorkletMessage(msg) {
    if (msg.type === "started") {
      this.counters.streamStarts++;
      if (this.firstFrameAt) {
        this.counters.lastStartLatencyMs = performance.now() - this.firstFrameAt;
      }
      this.streamFramesAtStart = this.progress ? this.progress.framesPlayed : 0;
      const fmt = this.streamFormat || {};
      this.emit("web-audio-stream-start", {
        sample_rate: fmt.rate,
        channels: fmt.channels,
        source: this.streamSource,
      });
      this.renderState();
    } else if (msg.type === "ended") {
      // a pulled stream played to its end
      this.streamActive = false;
      this.firstFrameAt = 0;
      this.emit("web-audio-ended", { source: this.streamSource });
      this.renderState();
    } else if (msg.type === "stats") {
      this.progress = msg.stats;
      const resolve = this.statsWaiters.get(msg.id);
      if (resolve) {
        this.statsWaiters.delete(msg.id);
        resolve(msg.stats);
      }
    }
  }

  post(msg, transfer) {
    if (this.node) this.node.port.postMessage(msg, transfer || []);
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
    this.render();
    if (first && options.streamMode && options.streamUrl) {
      // a page opened (or re-opened) while the component streams from a URL
      // the format comes from the response (WAV header or X-Audio-* headers)
      this.startStream({ url: options.streamUrl });
    }
  }

  loadSrc(resume) {
    const wasPlaying = resume && !this.audio.paused;
    this.lastError = "";
    if (this.src) {
      this.audio.src = this.src;
      this.audio.load();
      if (wasPlaying || (resume && this.wantPlay)) this.play();
    } else {
      this.wantPlay = false;
      this.audio.removeAttribute("src");
      this.audio.load();
    }
    this.renderState();
  }

  // -- commands -------------------------------------------------------------

  play() {
    engine.unlock();
    if (this.streamActive) {
      if (this.streamPaused) {
        this.streamPaused = false;
        this.post({ type: "resume" });
        this.emit("web-audio-play", { currentTime: this.currentTime() });
      }
      engine.requestStart();
      this.renderState();
      return;
    }
    if (!this.src) return;
    this.wantPlay = true;
    const start = () => {
      if (!this.wantPlay) return;
      const p = this.audio.play();
      if (p && p.catch) {
        p.catch((err) => {
          if (err && err.name === "NotAllowedError") {
            engine.showUnlock();
            engine.waiters.add(start);
          } else if (err && err.name !== "AbortError") {
            this.emit("web-audio-error", { error: errorText(err) });
          }
        });
      }
    };
    engine.whenRunning(start);
  }

  pause() {
    this.wantPlay = false;
    if (this.streamActive) {
      if (!this.streamPaused) {
        this.streamPaused = true;
        this.post({ type: "pause" });
        this.emit("web-audio-pause", { currentTime: this.currentTime() });
      }
      this.renderState();
      return;
    }
    this.audio.pause();
  }

  reload() {
    this.loadSrc(true);
  }

  seek(seconds) {
    const s = Number(seconds);
    if (!Number.isFinite(s) || this.streamActive) return;
    const d = this.audio.duration;
    this.audio.currentTime = Math.max(0, Number.isFinite(d) ? Math.min(s, d) : s);
    this.renderTime();
  }

  setVolume(volume) {
    const v = Number(volume);
    if (!Number.isFinite(v)) return;
    this.volume = Math.max(0, v);
    if (this.gain) this.gain.gain.value = this.volume;
    else this.audio.volume = Math.min(1, this.volume);
    if (this.ui) this.ui.volume.value = String(Math.min(1, this.volume));
  }

  /** The close command (also what stop() sends): end the current stream at
   * once, dropping what is buffered; with no stream open, stop the file. */
  closeStream() {
    const hadStream = this.endStream();
    if (!hadStream && !this.audio.paused) {
      this.wantPlay = false;
      this.audio.pause();
      this.audio.currentTime = 0;
    }
    this.renderState();
  }

  endStream() {
    const hadStream = this.streamActive || !!this.pull;
    if (this.pull) {
      this.pull.controller.abort();
      this.pull = null;
    }
    this.carry = new Uint8Array(0);
    this.streamActive = false;
    this.streamPaused = false;
    this.firstFrameAt = 0;
    this.post({ type: "reset" });
    return hadStream;
  }

  /** Pull a stream: {url, sample_rate, channels, params?}. */
  startStream(cmd) {
    this.endStream();
    const url = cmd.url;
    if (!url) {
      this.emit("web-audio-error", { error: "start_stream without a URL" });
      return;
    }
    // Without a format in the command, the response tells it (else 48 kHz stereo).
    const given = cmd.sample_rate !== undefined || cmd.channels !== undefined;
    const fmt = {
      rate: Number(cmd.sample_rate) || 48000,
      channels: Math.max(1, Math.floor(Number(cmd.channels) || 2)),
      fromResponse: !given,
    };
    const controller = new AbortController();
    const pull = { controller };
    this.pull = pull;
    const init = { signal: controller.signal, cache: "no-store" };
    if (cmd.params !== undefined && cmd.params !== null) {
      init.method = "POST";
      init.headers = { "Content-Type": "application/json" };
      init.body = JSON.stringify(cmd.params);
    }
    this.readStream(url, init, fmt, pull).catch((err) => {
      if (pull !== this.pull) return; // superseded or closed: not an error
      this.pull = null;
      this.emit("web-audio-error", { error: `stream ${url}: ${errorText(err)}` });
    });
  }

  async readStream(url, init, fmt, pull) {
    const resp = await fetch(url, init);
    if (!resp.ok) throw new Error(`HTTP ${resp.status} ${resp.statusText}`.trim());
    if (!resp.body) throw new Error("the response has no readable body");
    if (fmt.fromResponse) {
      const r = Number(resp.headers.get("X-Audio-Sample-Rate"));
      const c = Number(resp.headers.get("X-Audio-Channels"));
      if (r > 0) fmt.rate = r;
      if (c >= 1) fmt.channels = Math.floor(c);
    }
    const reader = resp.body.getReader();
    let head = new Uint8Array(0); // the first bytes, until we know whether they are a WAV header
    let headerDone = false;
    for (;;) {
      const { done, value } = await reader.read();
      if (pull !== this.pull) {
        reader.cancel().catch(() => {});
        return;
      }
      if (done) break;
      let chunk = value;
      if (!headerDone) {
        head = concat(head, chunk);
        if (head.length < 4) continue;
        const riff = isRiff(head);
        if (riff && head.length < 44) continue;
        if (riff && fmt.fromResponse) readWavFormat(head, fmt);
        chunk = riff ? head.subarray(44) : head;
        headerDone = true;
      }
      if (chunk.length) this.feed(chunk, fmt.rate, fmt.channels, "pull");
    }
    if (!headerDone && head.length && !isRiff(head)) this.feed(head, fmt.rate, fmt.channels, "pull");
    this.pull = null;
    this.carry = new Uint8Array(0);
    if (this.streamActive) this.post({ type: "eos" });
    else this.emit("web-audio-ended", { source: "pull" });
  }

  /** A binary frame routed to this player; meta = the last "audio_metadata". */
  pushPcm(buffer, meta) {
    if (!meta) {
      console.warn("[vt] audio frame before any audio_metadata: dropped");
      return;
    }
    const rate = Number(meta.sample_rate);
    const channels = Math.floor(Number(meta.channels));
    if (!(rate > 0) || !(channels >= 1)) {
      this.emit("web-audio-error", { error: `bad audio_metadata ${JSON.stringify(meta)}` });
      return;
    }
    this.feed(new Uint8Array(buffer), rate, channels, "push");
  }

  // Hand whole frames to the ring; keep an incomplete frame for the next call.
  feed(bytes, rate, channels, source) {
    if (!this.node) {
      if (!this.streamErrorSent) {
        this.streamErrorSent = true;
        this.emit("web-audio-error", { error: engine.error || "stream playback unavailable" });
      }
      return;
    }
    const fmt = this.streamFormat;
    if (!fmt || fmt.rate !== rate || fmt.channels !== channels) {
      if (fmt && fmt.channels !== channels) this.carry = new Uint8Array(0);
      this.streamFormat = { rate, channels };
    }
    if (!this.streamActive) {
      this.streamActive = true;
      this.streamPaused = false;
      this.streamSource = source;
      this.firstFrameAt = performance.now();
      engine.requestStart();
      this.renderState();
    }
    this.counters.bytesReceived += bytes.length;
    const frameBytes = 2 * channels;
    const total = this.carry.length + bytes.length;
    const whole = total - (total % frameBytes);
    if (whole === 0) {
      this.carry = concat(this.carry, bytes);
      return;
    }
    const out = new Uint8Array(whole);
    out.set(this.carry.subarray(0, Math.min(this.carry.length, whole)), 0);
    const fromBytes = whole - this.carry.length;
    out.set(bytes.subarray(0, fromBytes), this.carry.length);
    this.carry = bytes.slice(fromBytes);
    if (!LITTLE_ENDIAN) {
      for (let i = 0; i < whole; i += 2) {
        const t = out[i];
        out[i] = out[i + 1];
        out[i + 1] = t;
      }
    }
    const samples = new Int16Array(out.buffer);
    this.counters.framesReceived += whole / frameBytes;
    this.post({ type: "pcm", data: samples, rate, channels }, [out.buffer]);
  }

  // -- test / diagnostics hook ----------------------------------------------

  /** Counters of this player, read from the worklet (a Promise). */
  stats() {
    const base = () => ({
      ...(this.progress || {}),
      ...this.counters,
      pendingBytes: this.carry.length,
      streamActive: this.streamActive,
      streamSource: this.streamSource,
      contextState: engine.ctx ? engine.ctx.state : "none",
      file: {
        src: this.src,
        paused: this.audio.paused,
        ended: this.audio.ended,
        currentTime: this.audio.currentTime,
        duration: this.audio.duration,
      },
      volume: this.gain ? this.gain.gain.value : this.audio.volume,
    });
    if (!this.node) return Promise.resolve(base());
    const id = ++this.statsSeq;
    return new Promise((resolve) => {
      const timer = setTimeout(() => {
        this.statsWaiters.delete(id);
        resolve(base());
      }, 1000);
      this.statsWaiters.set(id, () => {
        clearTimeout(timer);
        resolve(base());
      });
      this.post({ type: "stats", id });
    });
  }

  currentTime() {
    if (this.streamActive) {
      const p = this.progress;
      const rate = (this.streamFormat && this.streamFormat.rate) || 1;
      return p ? Math.max(0, (p.framesPlayed - this.streamFramesAtStart) / rate) : 0;
    }
    return this.audio.currentTime || 0;
  }

  // -- media element events -------------------------------------------------

  bindMedia() {
    const a = this.audio;
    a.addEventListener("play", () => {
      this.emit("web-audio-play", { currentTime: a.currentTime });
      this.renderState();
    });
    a.addEventListener("pause", () => {
      this.renderState();
      if (a.ended) return; // the end of playback is reported as "ended" alone
      this.emit("web-audio-pause", { currentTime: a.currentTime });
    });
    a.addEventListener("ended", () => {
      this.wantPlay = false;
      this.emit("web-audio-ended", { currentTime: a.currentTime, duration: a.duration });
      this.renderState();
    });
    a.addEventListener("error", () => {
      if (!this.src) return; // clearing the source is not an error
      const e = a.error;
      const text = (e && (e.message || MEDIA_ERRORS[e.code])) || "the audio could not be played";
      this.emit("web-audio-error", { error: `${text} (${this.src})` });
      this.renderState();
    });
    for (const ev of ["timeupdate", "durationchange", "loadedmetadata", "seeked"]) {
      a.addEventListener(ev, () => this.renderTime());
    }
  }

  // -- UI -------------------------------------------------------------------

  render() {
    const o = this.options;
    const visible = o.visible !== false && o.visible !== 0;
    this.root.classList.toggle("vt-invisible", !visible);
    if (!visible) {
      // no UI at all; playback goes on in the background
      if (this.ui) {
        this.root.replaceChildren();
        this.ui = null;
      }
      return;
    }
    if (!this.ui) this.buildUi();
    const ui = this.ui;
    const minimal = o.minimal !== false && o.minimal !== 0;
    ui.box.classList.toggle("vt-minimal", minimal);
    ui.box.classList.toggle("vt-full", !minimal);
    ui.box.classList.toggle("vt-block", !!o.block);
    const width = cssSize(o.width);
    ui.box.style.width = width;
    this.root.classList.toggle("vt-block", !!o.block || !!width);
    const label = o.label === undefined || o.label === null ? "" : String(o.label);
    ui.label.textContent = label;
    ui.label.hidden = !label;
    ui.box.setAttribute("aria-label", label || "audio player");
    const showWave = !!o.showWave;
    ui.canvas.hidden = !showWave;
    this.vizType = o.visualizerType === "spectrum" ? "spectrum" : "waveform";
    this.vizColor = typeof o.visualizerColor === "string" && o.visualizerColor ? o.visualizerColor : "#1976D2";
    ui.box.style.setProperty("--vt-accent", this.vizColor);
    ui.canvas.dataset.type = this.vizType;
    this.renderState();
    this.renderTime();
  }

  buildUi() {
    const box = el("div", "vt-player");
    box.dataset.cid = this.cid;
    const label = el("div", "vt-label");
    const canvas = el("canvas", "vt-viz");
    canvas.height = 64;
    canvas.width = 300;
    const bar = el("div", "vt-bar");
    const playBtn = el("button", "vt-play", { type: "button", "aria-label": "Play" });
    const time = el("span", "vt-time");
    const seek = el("input", "vt-seek", { type: "range", min: "0", max: "1000", value: "0", step: "1", "aria-label": "Seek" });
    const volume = el("input", "vt-volume", { type: "range", min: "0", max: "1", step: "0.01", "aria-label": "Volume" });
    volume.value = String(Math.min(1, this.volume === undefined ? 1 : this.volume));
    const status = el("span", "vt-status");
    bar.append(playBtn, time, seek, volume, status);
    box.append(label, canvas, bar);
    this.root.replaceChildren(box);

    playBtn.addEventListener("click", () => {
      engine.unlock();
      if (this.isPlaying()) this.pause();
      else this.play();
    });
    let seeking = false;
    seek.addEventListener("input", () => {
      seeking = true;
    });
    seek.addEventListener("change", () => {
      seeking = false;
      const d = this.audio.duration;
      if (Number.isFinite(d) && d > 0) this.seek((Number(seek.value) / 1000) * d);
    });
    volume.addEventListener("input", () => this.setVolume(Number(volume.value)));
    this.ui = { box, label, canvas, bar, playBtn, time, seek, volume, status, isSeeking: () => seeking };
  }

  isPlaying() {
    if (this.streamActive) return !this.streamPaused;
    return !this.audio.paused || this.wantPlay;
  }

  renderState() {
    const ui = this.ui;
    if (!ui) return;
    const playing = this.isPlaying();
    ui.playBtn.textContent = playing ? "❚❚" : "▶";
    ui.playBtn.setAttribute("aria-label", playing ? "Pause" : "Play");
    ui.box.classList.toggle("vt-playing", playing);
    ui.box.classList.toggle("vt-streaming", this.streamActive);
    ui.seek.disabled = this.streamActive || !this.src;
    ui.playBtn.disabled = !this.src && !this.streamActive;
    ui.box.classList.toggle("vt-error", !!this.lastError);
    ui.status.title = this.lastError;
    ui.status.textContent = this.lastError
      ? "error"
      : this.streamActive
        ? this.streamSource === "pull"
          ? "stream"
          : "live"
        : "";
  }

  renderTime() {
    const ui = this.ui;
    if (!ui) return;
    if (this.streamActive) {
      ui.time.textContent = fmtTime(this.currentTime());
      ui.seek.value = "0";
      return;
    }
    const t = this.audio.currentTime || 0;
    const d = this.audio.duration;
    ui.time.textContent = `${fmtTime(t)} / ${fmtTime(Number.isFinite(d) ? d : 0)}`;
    if (!ui.isSeeking()) ui.seek.value = Number.isFinite(d) && d > 0 ? String(Math.round((t / d) * 1000)) : "0";
  }

  /** One animation frame: time display and visualiser. */
  tick() {
    if (!this.ui) return;
    if (this.streamActive) {
      this.renderTime();
      if (this.node && !this.streamPaused) this.post({ type: "stats", id: 0 });
    }
    if (!this.ui.canvas.hidden) this.draw();
  }

  draw() {
    const canvas = this.ui.canvas;
    const w = Math.max(50, Math.round(canvas.clientWidth * (window.devicePixelRatio || 1))) || 300;
    const h = Math.max(16, Math.round(canvas.clientHeight * (window.devicePixelRatio || 1))) || 64;
    if (canvas.width !== w) canvas.width = w;
    if (canvas.height !== h) canvas.height = h;
    const g = canvas.getContext("2d");
    g.clearRect(0, 0, w, h);
    if (!this.analyser) return;
    const a = this.analyser;
    g.fillStyle = this.vizColor;
    g.strokeStyle = this.vizColor;
    if (this.vizType === "spectrum") {
      const bins = this.freqBuf && this.freqBuf.length === a.frequencyBinCount ? this.freqBuf : (this.freqBuf = new Uint8Array(a.frequencyBinCount));
      a.getByteFrequencyData(bins);
      // bars on a logarithmic frequency scale, 40 Hz to 16 kHz (or Nyquist)
      const bars = Math.min(64, Math.floor(w / 4));
      const hzPerBin = a.context.sampleRate / a.fftSize;
      const lo = 40;
      const hi = Math.min(16000, a.context.sampleRate / 2);
      const bw = w / bars;
      for (let i = 0; i < bars; i++) {
        let m = 0;
        const from = Math.floor((lo * Math.pow(hi / lo, i / bars)) / hzPerBin);
        const to = Math.max(from + 1, Math.floor((lo * Math.pow(hi / lo, (i + 1) / bars)) / hzPerBin));
        for (let j = from; j < to && j < bins.length; j++) if (bins[j] > m) m = bins[j];
        const bh = (m / 255) * h;
        if (bh >= 1) g.fillRect(i * bw + 1, h - bh, Math.max(1, bw - 2), bh);
      }
    } else {
      const data = this.timeBuf && this.timeBuf.length === a.fftSize ? this.timeBuf : (this.timeBuf = new Uint8Array(a.fftSize));
      a.getByteTimeDomainData(data);
      g.lineWidth = Math.max(1, Math.round(h / 40));
      g.beginPath();
      const n = data.length;
      for (let i = 0; i < n; i++) {
        const x = (i / (n - 1)) * w;
        const y = (data[i] / 255) * h;
        if (i === 0) g.moveTo(x, y);
        else g.lineTo(x, y);
      }
      g.stroke();
    }
  }

  destroy() {
    this.endStream();
    this.wantPlay = false;
    this.audio.pause();
    this.audio.removeAttribute("src");
    try {
      this.audio.load();
    } catch (_) {
      /* ignore */
    }
    for (const n of [this.node, this.mediaNode, this.gain, this.analyser]) {
      if (n) n.disconnect();
    }
    if (this.node) this.node.port.onmessage = null;
    this.root.replaceChildren();
    this.ui = null;
  }
}

function isRiff(b) {
  return b.length >= 4 && b[0] === 0x52 && b[1] === 0x49 && b[2] === 0x46 && b[3] === 0x46; // "RIFF"
}

// Channels and rate from a canonical 44-byte WAV header ("fmt " chunk first).
function readWavFormat(h, fmt) {
  if (h[12] !== 0x66 || h[13] !== 0x6d || h[14] !== 0x74 || h[15] !== 0x20) return; // "fmt "
  const v = new DataView(h.buffer, h.byteOffset, 44);
  const channels = v.getUint16(22, true);
  const rate = v.getUint32(24, true);
  if (channels >= 1) fmt.channels = channels;
  if (rate > 0) fmt.rate = rate;
}

function concat(a, b) {
  if (!a.length) return b;
  if (!b.length) return a;
  const out = new Uint8Array(a.length + b.length);
  out.set(a, 0);
  out.set(b, a.length);
  return out;
}
