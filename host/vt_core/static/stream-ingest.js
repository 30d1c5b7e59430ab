// Stream ingest: the pushed PCM (binary frames) and pulled streams
// (start_stream) of one player, fed to its ring buffer (pcm-ring.js) in the
// stream engine the page picked (audio-engine.js): an AudioWorkletNode
// (pcm-worklet.js) or the main-thread engine (scheduled-output.js). The engine
// is created when the player's first stream starts and released when the
// player has been idle for IDLE_RELEASE_MS: an idle player costs nothing.
// What the jitter buffer learnt about arrival jitter is kept for the page.
//
// The owner passes a host {emit(event, payload), changed()}: emit sends a
// player event to Python, changed() asks the owner to redraw its state.
//
// Stream life, as Python sees it (payloads in docs/PROTOCOL.md):
//   web-audio-stream-start  the first audio of a stream was played
//                           ({sample_rate, channels, source, latencyMs, bufferMs})
//   web-audio-ended         reason "drained": played to its end (a pushed
//                           stream: ran dry and no frame came for streamEndMs);
//                           reason "closed": interrupted by a close, with the
//                           seconds played and the seconds dropped
//   web-audio-error         also when pushed audio had to be dropped because
//                           the page's backlog reached backlogMB
// Frames that come after an end start a new stream.
//
// Player options read here: jitterMs (the least jitter buffer, default 0: as
// small as the measured arrival jitter allows; jitterAdaptive false makes it a
// fixed buffer of jitterMs), streamEndMs (hold-off
// before a dry pushed stream ends, default 300), ringSeconds (the ring buffer,
// default 20), backlogMB (pushed audio waiting for room in the ring, default
// 128 MiB).

import { engine } from "./audio-engine.js";
import { adaptiveBuffer } from "./pcm-ring.js";
import { SCHEDULED_AHEAD_SECONDS, ScheduledOutput } from "./scheduled-output.js";
import { errorText } from "./util.js";

function sameOrigin(url) {
  try {
    return new URL(url, location.href).origin === location.origin;
  } catch {
    return false;
  }
}

const PROCESSOR = "vt-pcm-ring";
const POLL_MS = 100; // progress read from the worklet at most this often while playing
const DEFAULTS = { ringSeconds: 20, jitterMs: 0, streamEndMs: 300, backlogMB: 128 };
const IDLE_RELEASE_MS = 1500; // an idle player keeps its engine this long (the next turn may follow)
// counters summed over the engines a player had
const SUMMED = ["framesWritten", "framesPlayed", "underruns", "dryEvents", "starvedFrames", "droppedFrames",
  "lateOutputs", "lateFrames", "streams"];

// What the page learnt about arrival jitter (pcm-ring.js): the lessons of its
// last LESSONS streams, on any player; the next stream expects the largest.
// A new lesson counts in full at once. Only steady streams (no gap, no delay
// over STEADY_SECONDS) shrink what older lessons say, by LESSON_DECAY each:
// on a quiet link a spike fades over a few streams, while on a busy one,
// where each stream's largest delay is a thin sample of a wide spread, the
// largest of the last LESSONS streams holds.
const LESSONS = 20;
const LESSON_DECAY = 0.9;
const STEADY_SECONDS = 0.025;
const page = { lessons: [], learntJitter: null };

function learn(lesson, underruns) {
  page.lessons.push({ lesson, steady: lesson <= STEADY_SECONDS && !underruns });
  if (page.lessons.length > LESSONS) page.lessons.shift();
  let learnt = 0;
  let weight = 1;
  for (let i = page.lessons.length - 1; i >= 0; i--) {
    learnt = Math.max(learnt, page.lessons[i].lesson * weight);
    if (page.lessons[i].steady) weight *= LESSON_DECAY;
  }
  page.learntJitter = learnt;
}
const LITTLE_ENDIAN = new Uint8Array(new Uint16Array([1]).buffer)[0] === 1;

export class StreamIngest {
  /**
   * @param {AudioNode|null} output  where the ring's audio goes (null: no Web Audio)
   * @param {{emit: Function, changed: Function}} host
   */
  constructor(output, host) {
    this.host = host;
    this.node = null;
    this.active = false; // a stream is open (push or pull)
    this.source = null; // "push" | "pull"
    this.format = null; // {rate, channels} of the frames being fed
    this.paused = false;
    this.carry = new Uint8Array(0); // bytes of an incomplete frame
    this.pull = null; // {controller} of the running fetch
    this.firstFrameAt = 0;
    this.framesAtStart = 0;
    this.posted = 0; // pcm messages posted to the worklet
    this.output = output;
    this.options = {};
    this.config = JSON.stringify(workletSettings({})); // the worklet settings in force (see configure)
    this.retired = null; // counters of engines released (SUMMED), and the last one's stats
    this.releaseTimer = null;
    this.errorSent = false;
    this.counters = {
      framesReceived: 0,
      bytesReceived: 0,
      streamStarts: 0,
      lastStartLatencyMs: null,
      lastStartBufferMs: null, // the jitter buffer the last stream started with
      lastStartEpochMs: null, // epoch ms at which the last stream's first sample was played
      lastEnded: null, // payload of the last stream end
      lastSampleAt: null, // epoch ms at which the last stream's last sample was played
    };
    this.progress = null; // last stats the worklet reported on its own
    this.statsWaiters = new Map();
    this.statsSeq = 0;
  }

  /** The stream engine, created on first use; null when streams cannot play. */
  ensureNode() {
    clearTimeout(this.releaseTimer);
    this.releaseTimer = null;
    if (this.node || !engine.ctx || !this.output || !engine.streamEngine) return this.node;
    const settings = { ...workletSettings(this.options), learntJitter: page.learntJitter };
    this.node = createStreamOutput(engine.ctx, this.output, settings);
    this.node.port.onmessage = (e) => this.onWorkletMessage(e.data);
    this.posted = 0; // the new engine counts the messages it takes from 0
    return this.node;
  }

  // Idle: release the engine after a while (its counters are kept).
  idleSoon() {
    clearTimeout(this.releaseTimer);
    this.releaseTimer = setTimeout(() => this.releaseIfIdle(), IDLE_RELEASE_MS);
  }

  releaseIfIdle() {
    this.releaseTimer = null;
    const node = this.node;
    if (!node || this.active || this.pull) return;
    const id = ++this.statsSeq;
    this.statsWaiters.set(id, (own) => {
      if (this.node !== node || this.active || this.pull) return;
      const st = this.merged(own);
      this.retired = { stats: st, sums: Object.fromEntries(SUMMED.map((k) => [k, st[k] || 0])) };
      this.dropNode();
    });
    this.post({ type: "stats", id });
  }

  dropNode() {
    const node = this.node;
    if (!node) return;
    node.port.postMessage({ type: "release" }); // its processor stops
    node.disconnect();
    node.port.onmessage = null;
    this.node = null;
  }

  // The engine's counters plus those of the engines released before it.
  merged(st) {
    const r = this.retired;
    if (!r) return st;
    const out = { ...st };
    for (const k of SUMMED) out[k] = (st[k] || 0) + r.sums[k];
    const base = r.sums.framesPlayed;
    if (st.lastDryAt >= 0) out.lastDryAt = st.lastDryAt + base;
    else out.lastDryAt = r.stats.lastDryAt;
    out.underrunAt = [...(r.stats.underrunAt || []), ...(st.underrunAt || []).map((f) => f + base)].slice(0, 16);
    return out;
  }

  /** Apply the player's options that tune the ring (sent only when they change). */
  configure(options) {
    this.options = options || {};
    const next = workletSettings(this.options);
    const key = JSON.stringify(next);
    if (key === this.config) return;
    this.config = key;
    this.post({ type: "config", ...next });
  }

  onWorkletMessage(msg) {
    if (msg.type === "started") {
      this.counters.streamStarts++;
      const heardAt = heardTimeOf(msg.at);
      const latency = this.firstFrameAt ? Math.max(0, heardAt - this.firstFrameAt) : null;
      this.counters.lastStartLatencyMs = latency;
      this.counters.lastStartEpochMs = performance.timeOrigin + heardAt;
      this.counters.lastStartBufferMs = round1(msg.buffer * 1000);
      this.framesAtStart = this.progress ? this.progress.framesPlayed : 0;
      const fmt = this.format || {};
      this.host.emit("web-audio-stream-start", {
        sample_rate: fmt.rate,
        channels: fmt.channels,
        source: this.source,
        latencyMs: latency === null ? null : round1(latency),
        bufferMs: round1(msg.buffer * 1000),
      });
      this.host.changed();
    } else if (msg.type === "ended") {
      const payload = { source: msg.source, reason: msg.reason, played: round3(msg.played) };
      if (msg.reason === "closed") payload.dropped = round3(msg.dropped);
      payload.underruns = msg.underruns;
      this.counters.lastEnded = payload;
      this.counters.lastSampleAt = performance.timeOrigin + heardTimeOf(msg.lastAt);
      if (Number.isFinite(msg.lesson)) {
        learn(msg.lesson, msg.underruns);
        this.post({ type: "config", learntJitter: page.learntJitter });
      }
      // frames posted after the worklet ended this stream opened the next one
      if (msg.reason === "drained" && this.posted <= msg.received) {
        this.active = false;
        this.paused = false;
        this.firstFrameAt = 0;
      }
      if (!this.active && !this.pull) this.idleSoon();
      this.host.emit("web-audio-ended", payload);
      this.host.changed();
    } else if (msg.type === "overflow") {
      const mb = JSON.parse(this.config || "{}").backlogBytes / 1048576;
      this.host.emit("web-audio-error", {
        error: `pushed audio arrives faster than it plays and the page holds at most ${mb} MiB of it: ` +
          `${msg.dropped.toFixed(2)} s dropped so far`,
        dropped: round3(msg.dropped),
      });
    } else if (msg.type === "stats") {
      this.progress = this.merged(msg.stats);
      const resolve = this.statsWaiters.get(msg.id);
      if (resolve) {
        this.statsWaiters.delete(msg.id);
        resolve(msg.stats); // the engine's own counters
      }
    }
  }

  post(msg, transfer) {
    if (this.node) this.node.port.postMessage(msg, transfer || []);
  }

  /** Resume a paused stream (true when a stream is open: the command is ours). */
  play() {
    if (!this.active) return false;
    if (this.paused) {
      this.paused = false;
      this.post({ type: "resume" });
      this.host.emit("web-audio-play", { currentTime: this.currentTime() });
    }
    engine.requestStart();
    this.host.changed();
    return true;
  }

  /** Pause the open stream (true when a stream is open: the command is ours). */
  pause() {
    if (!this.active) return false;
    if (!this.paused) {
      this.paused = true;
      this.post({ type: "pause" });
      this.host.emit("web-audio-pause", { currentTime: this.currentTime() });
    }
    this.host.changed();
    return true;
  }

  /** End the current stream at once, dropping what is buffered; true if one was open. */
  end() {
    const hadStream = this.active || !!this.pull;
    if (this.pull) {
      this.pull.controller.abort();
      this.pull = null;
    }
    this.carry = new Uint8Array(0);
    this.active = false;
    this.paused = false;
    this.firstFrameAt = 0;
    this.post({ type: "close" }); // the worklet answers with an "ended" (closed) report
    return hadStream;
  }

  /** Pull a stream: {url, sample_rate, channels, params?}. */
  start(cmd) {
    this.end();
    const url = cmd.url;
    if (!url) {
      this.host.emit("web-audio-error", { error: "start_stream without a URL" });
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
    const init = { signal: controller.signal, cache: "no-store", headers: {} };
    // The host lets its session cookie open a stream only for a request that shows it
    // comes from its own page; where the browser sends no Fetch Metadata (plain http
    // off loopback), this header does (no other origin can send it without asking).
    if (sameOrigin(url)) init.headers["X-VT-Page"] = "1";
    if (cmd.params !== undefined && cmd.params !== null) {
      init.method = "POST";
      init.headers["Content-Type"] = "application/json";
      init.body = JSON.stringify(cmd.params);
    }
    this.readStream(url, init, fmt, pull).catch((err) => {
      if (pull !== this.pull) return; // superseded or closed: not an error
      this.pull = null;
      this.host.emit("web-audio-error", { error: `stream ${url}: ${errorText(err)}` });
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
    if (this.active) this.post({ type: "eos" });
    else this.host.emit("web-audio-ended", { source: "pull", reason: "drained", played: 0, underruns: 0 });
  }

  /** A binary frame routed to this player; meta = the last "audio_metadata". */
  push(buffer, meta) {
    if (!meta) {
      console.warn("[vt] audio frame before any audio_metadata: dropped");
      return;
    }
    const rate = Number(meta.sample_rate);
    const channels = Math.floor(Number(meta.channels));
    if (!(rate > 0) || !(channels >= 1)) {
      this.host.emit("web-audio-error", { error: `bad audio_metadata ${JSON.stringify(meta)}` });
      return;
    }
    this.feed(new Uint8Array(buffer), rate, channels, "push");
  }

  // Hand whole frames to the ring; keep an incomplete frame for the next call.
  feed(bytes, rate, channels, source) {
    if (!this.ensureNode()) {
      if (!this.errorSent) {
        this.errorSent = true;
        this.host.emit("web-audio-error", { error: engine.error || "stream playback unavailable" });
      }
      return;
    }
    const fmt = this.format;
    if (!fmt || fmt.rate !== rate || fmt.channels !== channels) {
      if (fmt && fmt.channels !== channels) this.carry = new Uint8Array(0);
      this.format = { rate, channels };
    }
    if (!this.active) {
      this.active = true;
      this.paused = false;
      this.source = source;
      this.firstFrameAt = performance.now();
      // what the page learnt since this engine was made (another player's streams)
      if (page.learntJitter !== null) this.post({ type: "config", learntJitter: page.learntJitter });
      engine.requestStart();
      this.host.changed();
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
    this.posted++;
    const t = engine.contextNow(); // arrival, on the clock the engine plays by
    this.post({ type: "pcm", data: samples, rate, channels, push: source === "push", t }, [out.buffer]);
  }

  /** The stream's counters, read from the engine (a Promise); extra() adds the owner's. */
  stats(extra) {
    const base = () => ({
      ...(this.node ? this.progress || {} : this.idleStats()),
      ...this.counters,
      pendingBytes: this.carry.length,
      streamActive: this.active,
      streamSource: this.source,
      engine: engine.streamEngine, // the page's stream engine ("worklet" | "scheduled"), null: none can run
      engineActive: !!this.node, // this player holds one now (only while streaming, and a moment after)
      ...extra(),
    });
    if (!this.node) return Promise.resolve(base());
    const id = ++this.statsSeq;
    return new Promise((resolve) => {
      const timer = setTimeout(() => {
        this.statsWaiters.delete(id);
        resolve({ ...base(), stale: true }); // the worklet did not answer: its counters are old
      }, 1000);
      this.statsWaiters.set(id, () => {
        clearTimeout(timer);
        resolve(base());
      });
      this.post({ type: "stats", id });
    });
  }

  // Counters while no engine is held: those of the engines released.
  idleStats() {
    const r = this.retired;
    const settings = workletSettings(this.options);
    const learnt = page.learntJitter;
    const engineSeconds = engineAhead();
    const jitter = !settings.adaptive ? settings.jitterSeconds : learnt;
    const idle = {
      state: "idle",
      buffered: 0,
      backlogFrames: 0,
      backlogBytes: 0,
      contextRate: engine.ctx ? engine.ctx.sampleRate : null,
      holdSeconds: settings.holdSeconds,
      jitterFloorSeconds: settings.jitterSeconds,
      arrivalJitterSeconds: jitter,
      jitterSeconds: !settings.adaptive ? settings.jitterSeconds
        : jitter === null ? null : adaptiveBuffer(jitter, settings.jitterSeconds, engineSeconds),
      streamPlayed: 0,
      streamUnderruns: 0,
    };
    if (!r) return { ...Object.fromEntries(SUMMED.map((k) => [k, 0])), lowWater: -1, lastDryAt: -1, underrunAt: [], ...idle };
    return { ...r.stats, ...r.sums, ...idle, sourceRate: r.stats.sourceRate };
  }

  /** Seconds played of the open stream. */
  currentTime() {
    const p = this.progress;
    const rate = (this.format && this.format.rate) || 1;
    return p ? Math.max(0, (p.framesPlayed - this.framesAtStart) / rate) : 0;
  }

  /** One animation frame: ask the worklet for fresh progress while playing. */
  tick() {
    if (!this.node || !this.active || this.paused) return;
    const now = performance.now();
    if (now - (this.polledAt || 0) < POLL_MS) return; // the time display shows tenths at most
    this.polledAt = now;
    engine.contextNow(now); // keeps the clock pairing fresh between sparse frames
    this.post({ type: "stats", id: 0 });
  }

  destroy() {
    this.end();
    clearTimeout(this.releaseTimer);
    this.dropNode();
  }
}

// The worklet's settings from the player's options (out-of-range values fall back to the defaults).
function workletSettings(o) {
  const num = (v, d, lo) => (Number.isFinite(Number(v)) && Number(v) >= lo && v !== null && v !== "" ? Number(v) : d);
  return {
    maxSeconds: num(o.ringSeconds, DEFAULTS.ringSeconds, 1),
    jitterSeconds: num(o.jitterMs, DEFAULTS.jitterMs, 0) / 1000,
    holdSeconds: num(o.streamEndMs, DEFAULTS.streamEndMs, 0) / 1000,
    backlogBytes: Math.round(num(o.backlogMB, DEFAULTS.backlogMB, 0) * 1048576),
    adaptive: o.jitterAdaptive !== false,
  };
}

// The engine the page picked (audio-engine.js), as a node-like object with a
// port: an AudioWorkletNode running pcm-worklet.js, or the main-thread engine.
function createStreamOutput(ctx, output, settings) {
  settings = { ...settings, engineSeconds: engineAhead() };
  if (engine.streamEngine === "worklet") {
    const node = new AudioWorkletNode(ctx, PROCESSOR, {
      numberOfInputs: 0,
      numberOfOutputs: 1,
      outputChannelCount: [2],
      processorOptions: settings,
    });
    node.connect(output);
    node.kind = "worklet";
    return node;
  }
  return new ScheduledOutput(ctx, output, settings, () => engine.contextNow());
}

// Seconds the engine renders ahead of the clock that stamps arrivals (its
// jitter buffer adds them): the look-ahead of the main-thread engine. The
// worklet renders each output callback when the paired clock
// (engine.contextNow) has already reached its first sample, so a frame in by
// its play time on that clock is in the ring when it is rendered: nothing.
function engineAhead() {
  return engine.streamEngine === "scheduled" ? SCHEDULED_AHEAD_SECONDS : 0;
}

// performance.now() time at which a sample rendered at context time t is
// heard: the context clock paired with performance.now() (audio-engine.js),
// plus the context's fixed processing latency. Only plain properties are read
// (currentTime, baseLatency): the calls that pair the clocks for you can block
// the main thread for a long time in some browsers.
function heardTimeOf(t) {
  const base = engine.ctx ? Number(engine.ctx.baseLatency) : 0;
  return engine.performanceTimeOf(t) + (Number.isFinite(base) && base > 0 ? base * 1000 : 0);
}

function round1(x) {
  return Math.round((Number(x) || 0) * 10) / 10;
}

function round3(x) {
  return Math.round((Number(x) || 0) * 1000) / 1000;
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
