// Stream ingest: the pushed PCM (binary frames) and pulled streams
// (start_stream) of one player, through its stage (pcm-stage.js) to its ring
// (pcm-ring.js) in the stream engine the page picked (audio-engine.js,
// stream-engine.js): the worklet engine or the main-thread engine
// (scheduled-output.js). The engine is created when the player's first stream
// starts and released when the player has been idle for IDLE_RELEASE_MS: an
// idle player costs nothing. What the streams taught about arrival jitter
// (jitter-policy.js Lessons) is kept for the page.
//
// The owner passes a host {emit(event, payload), changed()}: emit sends a
// player event to Python, changed() asks the owner to redraw its state.
//
// Stream life, as Python sees it (payloads in docs/PROTOCOL.md):
//   web-audio-stream-start  the first audio of a stream was played
//                           ({sample_rate, channels, source, latencyMs, bufferMs})
//   web-audio-ended         reason "drained": played to its end (a pushed
//                           stream: ran dry, no frame came for streamEndMs and
//                           the host confirmed every frame written is here);
//                           "incomplete": as drained, with parts lost;
//                           "interrupted": the host went away for good;
//                           reason "closed": interrupted by a close, with the
//                           seconds played and the seconds dropped
//   web-audio-error         also when pushed audio had to be dropped because
//                           the page's backlog reached backlogMB, and for each
//                           gap of a pushed stream the host could not resend
// Frames that come after an end start a new stream.
//
// Push streams across reconnects (stream-link.js): the host names each push
// stream and the position of its next frame ("stream" frames: announce());
// the ingest counts the frames it has of the open one (resumeQuery() for the
// reconnection), takes the host's gaps (gap()) and answers (onState()). A
// stream the host moved on from plays out what it has and ends; frames of the
// next one wait for that end.
//
// Player options read here (jitter-policy.js settingsFrom, with the defaults):
// jitterMs (the least jitter buffer: as small as the measured arrival jitter
// allows; jitterAdaptive false makes it a fixed buffer of jitterMs),
// streamEndMs (hold-off before a dry pushed stream ends), ringSeconds (the
// ring buffer), backlogMB (pushed audio waiting for room in the ring);
// latePolicy ("live", the default for pushed streams: after a gap, audio
// later than lateMs (1000) behind the stream's schedule is skipped to the live
// edge and reported lost; "late": it plays late), resumeMs (how long a dry
// stream waits for a broken link, stream-link.js RESUME_MS).

import { engine } from "./audio-engine.js";
import { Lessons, jitterStats, settingsFrom, startingDelay } from "./jitter-policy.js";
import { OpusStage, parseHead } from "./opus-stage.js";
import { PcmStage, concat } from "./pcm-stage.js";
import { ScheduledOutput } from "./scheduled-output.js";
import { WorkletEngine, endReport } from "./stream-engine.js";
import { RESUME_MS, StreamPosition, endDecision, link } from "./stream-link.js";
import { errorText, round } from "./util.js";

function sameOrigin(url) {
  try {
    return new URL(url, location.href).origin === location.origin;
  } catch {
    return false;
  }
}

const ENGINES = { worklet: WorkletEngine, scheduled: ScheduledOutput };
const STAGES = { pcm: PcmStage, opus: OpusStage }; // what the frames carry (the host's "stream" frame says)
// A page in a background tab gets its messages later than one in view (a busy
// machine runs a hidden page's tasks after a visible one's): a stream that
// starts while the page is hidden expects at least HIDDEN_EXPECTED seconds.
const HIDDEN_EXPECTED = 0.25;

const hiddenNow = () => typeof document !== "undefined" && document.visibilityState === "hidden";
/** What the next stream expects: what the page learnt, raised while the page is hidden (null: nothing). */
function expectedNow() {
  return hiddenNow() ? Math.max(lessons.expected ?? 0, HIDDEN_EXPECTED) : lessons.expected;
}
/** The page's lessons for a stream of this format (its key), as the engine's config takes them (a hidden page counts on no head start). */
function learntNow(format) {
  return { expectedSeconds: expectedNow(), headStartSeconds: hiddenNow() ? 0 : lessons.headStart(format) };
}
const POLL_MS = 100; // progress read from the worklet at most this often while playing
const IDLE_RELEASE_MS = 1500; // an idle player keeps its engine this long (the next turn may follow)
// counters summed over the engines a player had
const SUMMED = ["framesWritten", "framesPlayed", "underruns", "dryEvents", "starvedFrames", "droppedFrames",
  "lateOutputs", "lateFrames", "streams"];

const lessons = new Lessons(); // the page's, from the streams of all its players
/** The output's latency in ms, null where the browser's cannot be read safely. */
const outputMs = () => (engine.outputLatency === null ? null : round(engine.outputLatency * 1000, 1));

/** The ring's settings from a player's options: the jitter policy's, and how pushed streams end. */
function ringSettings(o) {
  const lateMs = Number(o.lateMs);
  return { ...settingsFrom(o), confirmEnd: true, lateLive: o.latePolicy !== "late",
    lateSeconds: Number.isFinite(lateMs) && lateMs >= 0 && o.lateMs !== null && o.lateMs !== "" ? lateMs / 1000 : 1 };
}

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
    this.format = null; // {rate, channels, source} of the frames being fed
    this.formatKey = ""; // the open (or last) stream's rate x channels
    this.paused = false;
    this.codec = "pcm";
    this.stage = new PcmStage((samples, format, t) => this.toRing(samples, format, t));
    this.pull = null; // {controller} of the running fetch
    this.firstFrameAt = 0;
    this.cold = false; // the open stream had audio before the context ran (it teaches nothing)
    this.framesAtStart = 0;
    this.posted = 0; // pcm messages posted to the worklet
    this.output = output;
    this.options = {};
    this.config = JSON.stringify(ringSettings({})); // the ring settings in force (see configure)
    this.pos = null; // StreamPosition of the open push stream, when the host numbered it
    this.next = null; // {id, at}: the push stream the next frames open
    this.ending = false; // the host moved on from the open stream: it plays out, then ends
    this.held = []; // frames of the next stream, waiting for that end
    this.awaitingEnd = false; // the open push stream ran dry and asks the host whether it is over
    this.askTimer = null;
    this.resumeTimer = null;
    this.retired = null; // counters of engines released (SUMMED), and the last one's stats
    this.releaseTimer = null;
    this.errorSent = false;
    this.counters = {
      framesReceived: 0,
      bytesReceived: 0,
      streamStarts: 0,
      lastStartLatencyMs: null,
      lastStartBufferMs: null, // the jitter buffer the last stream started with
      lastStartHeadStartMs: null, // and the head start it counted on
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
    const settings = { ...ringSettings(this.options), ...learntNow(this.formatKey) };
    const env = { clock: () => engine.contextNow() };
    this.node = new ENGINES[engine.streamEngine](engine.ctx, this.output, settings, env);
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
    node.release();
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
    const next = ringSettings(this.options);
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
      this.counters.lastStartBufferMs = round(msg.buffer * 1000, 1);
      this.counters.lastStartHeadStartMs = round((msg.headStart || 0) * 1000, 1);
      this.framesAtStart = this.progress ? this.progress.framesPlayed : 0;
      const fmt = this.format || {};
      this.host.emit("web-audio-stream-start", {
        sample_rate: fmt.rate,
        channels: fmt.channels,
        source: this.source,
        latencyMs: latency === null ? null : round(latency, 1),
        outputLatencyMs: outputMs(),
        bufferMs: round(msg.buffer * 1000, 1),
      });
      this.host.changed();
    } else if (msg.type === "ended") {
      const report = msg.report; // shaped by the engine (stream-engine.js)
      if (report.reason === "closed" && this.unsent) report.dropped = round(report.dropped + this.unsent, 3);
      this.unsent = 0;
      this.counters.lastEnded = report;
      this.counters.lastSampleAt = performance.timeOrigin + heardTimeOf(msg.lastAt);
      const cold = this.cold;
      this.cold = false;
      if (Number.isFinite(msg.lesson) && !cold) {
        lessons.learn(msg.lesson, report.underruns, msg.headStart, this.formatKey);
        this.post({ type: "config", ...learntNow(this.formatKey) });
      }
      // frames posted after the worklet ended this stream opened the next one
      if (report.reason !== "closed" && this.posted <= msg.received) {
        this.active = false;
        engine.streaming.delete(this);
        this.paused = false;
        this.firstFrameAt = 0;
      }
      const held = this.held;
      if (report.source === "push") this.endedPush();
      if (!this.active && !this.pull) {
        this.idleSoon();
        engine.readLatency();
      }
      this.host.emit("web-audio-ended", report);
      this.host.changed();
      for (const [buffer, meta, codec] of held) this.push(buffer, meta, codec); // the next stream
    } else if (msg.type === "dry") {
      this.awaitingEnd = true;
      this.askEnd();
    } else if (msg.type === "overflow") {
      const mb = JSON.parse(this.config || "{}").backlogBytes / 1048576;
      this.host.emit("web-audio-error", {
        error: `pushed audio arrives faster than it plays and the page holds at most ${mb} MiB of it: ` +
          `${msg.dropped.toFixed(2)} s dropped so far`,
        dropped: round(msg.dropped, 3),
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

  // -- push streams across the link (stream-link.js) ---------------------------

  /** The host's "stream" frame, while this player is the target: push stream `id` goes on from frame `at`. */
  announce(id, at) {
    if (this.active && this.source === "push" && this.pos) {
      if (id === this.pos.id) {
        this.pos.resumeAt(at); // a resume: the host goes on from the whole frame it names
        this.stage.resume(); // (a decoder gives out what it holds: the frames the page has)
        return;
      }
      this.inputOver("drained"); // the host moved on: this stream has all it will get
    }
    this.next = typeof id === "string" ? { id, at: Number(at) || 0 } : null;
  }

  /** `&stream=…&have=…` for the reconnection: the open push stream and the frames it has. */
  resumeQuery() {
    const p = this.active && !this.ending ? this.pos : null;
    return p ? `&stream=${encodeURIComponent(p.id)}&have=${p.have}` : "";
  }

  /** The host cannot resend frames [at, at + frames) of push stream `stream`: a gap, told once. */
  gap(msg) {
    const p = this.pos;
    const rate = this.format && this.format.rate;
    if (!this.active || !p || msg.stream !== p.id || !(msg.frames > 0) || !rate) return;
    const seconds = msg.frames / rate;
    this.post({ type: "gap", at: msg.at / rate, seconds });
    if (!msg.reported) {
      this.host.emit("web-audio-error", {
        error: `the link to the host broke and ${seconds.toFixed(3)} s of the stream could not be sent again ` +
          `(from ${(msg.at / rate).toFixed(3)} s)`,
        reason: "gap", at: round(msg.at / rate, 3), lost: round(seconds, 3),
      });
    }
  }

  /** The host's answer about a push stream ({type: "state"}). */
  onState(state) {
    const p = this.pos;
    if (!this.active || !p || state.stream !== p.id) return;
    const decision = endDecision(state, p.have);
    if (decision === "interrupted") this.inputOver("interrupted");
    else if (!this.awaitingEnd) return;
    else if (decision === "over") this.post({ type: "end", reason: "drained" });
    else this.askSoon();
  }

  /** The link is open again: a dry stream asks again. */
  relinked() {
    clearTimeout(this.resumeTimer);
    this.resumeTimer = null;
    this.askEnd();
  }

  askEnd() {
    clearTimeout(this.askTimer);
    this.askTimer = null;
    if (!this.awaitingEnd || this.ending) return;
    const p = this.pos;
    const holdMs = JSON.parse(this.config).holdSeconds * 1000;
    if (!p) this.post({ type: "end", reason: "drained" }); // a stream no host numbered: the hold-off says it
    else if (!link.ask(p.id, p.have, holdMs)) {
      if (this.resumeTimer === null) {
        const wait = Number(this.options.resumeMs);
        this.resumeTimer = setTimeout(() => this.inputOver("interrupted"),
          Number.isFinite(wait) && wait >= 0 ? wait : RESUME_MS);
      }
    }
  }

  askSoon() {
    clearTimeout(this.askTimer);
    this.askTimer = setTimeout(() => this.askEnd(), Math.max(50, JSON.parse(this.config).holdSeconds * 1000));
  }

  /** No more audio comes for the open push stream: it plays out what it has, then ends with `reason`. */
  inputOver(reason) {
    if (this.ending) return;
    this.ending = true;
    this.post({ type: "eos", reason });
  }

  endedPush() {
    clearTimeout(this.askTimer);
    clearTimeout(this.resumeTimer);
    this.askTimer = this.resumeTimer = null;
    this.pos = null;
    this.ending = this.awaitingEnd = false;
    this.held = [];
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
    // what the stage held had come and is not heard (a decoder's frames still on their way to the ring)
    this.unsent = this.active && this.format ? this.stage.pendingFrames / this.format.rate : 0;
    this.stage.reset();
    this.active = false;
    engine.streaming.delete(this);
    this.paused = false;
    this.firstFrameAt = 0;
    this.endedPush(); // (frames held for a next stream were sent before the close: dropped with it)
    this.post({ type: "close" }); // the worklet answers with an "ended" (closed) report
    return hadStream;
  }

  /** Pull a stream: {url, sample_rate, channels, params?}. */
  start(cmd) {
    this.end();
    this.useStage("pcm");
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
    this.stage.end(() => {
      if (this.active) this.post({ type: "eos" });
      else this.host.emit("web-audio-ended", endReport({ source: "pull", reason: "drained", played: 0, underruns: 0 }));
    });
  }

  /** A binary frame routed to this player; meta = the last "audio_metadata"; codec: what it carries. */
  push(buffer, meta, codec = "pcm") {
    if (this.ending) {
      this.held.push([buffer, meta, codec]); // the next stream's: after the open one has ended
      return;
    }
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
    if (!this.active) {
      this.pos = this.next ? new StreamPosition(this.next.id, this.next.at, channels) : null;
      this.useStage(codec);
      this.stage.begin(this.pos ? this.pos.at : 0);
    }
    if (this.codec === "opus") {
      // the frames it holds: up to the end of the last packets (a headed frame says where)
      const head = parseHead(buffer);
      if (this.pos && head) this.pos.resumeAt(Math.max(this.pos.have, head.position + head.frames));
    } else if (this.pos) this.pos.bytes += buffer.byteLength;
    this.awaitingEnd = false; // (the ring says "dry" again if it runs dry again)
    this.feed(new Uint8Array(buffer), rate, channels, "push");
  }

  // The stage for frames that carry `codec`: chosen when a stream starts (a stream's frames all
  // carry one; a pulled stream is PCM).
  useStage(codec) {
    if (codec === this.codec || !STAGES[codec]) return;
    this.stage.reset();
    this.codec = codec;
    this.stage = new STAGES[codec]((samples, format, t) => this.toRing(samples, format, t));
  }

  // The stream's bytes, through the stage to the ring.
  feed(bytes, rate, channels, source) {
    if (!this.ensureNode()) {
      if (!this.errorSent) {
        this.errorSent = true;
        this.host.emit("web-audio-error", { error: engine.error || "stream playback unavailable" });
      }
      return;
    }
    const fmt = this.format;
    if (!fmt || fmt.rate !== rate || fmt.channels !== channels || fmt.source !== source) {
      this.format = { rate, channels, source };
    }
    if (!this.active) {
      this.active = true;
      engine.streaming.add(this);
      this.paused = false;
      this.source = source;
      this.firstFrameAt = performance.now();
      // what the page learnt since this engine was made (another player's streams)
      this.formatKey = `${rate}x${channels}`; // the stream's, for the head start it learns and counts on
      const learnt = learntNow(this.formatKey);
      if (learnt.expectedSeconds !== null) this.post({ type: "config", ...learnt });
      engine.requestStart();
      this.host.changed();
    }
    // audio that came before the context ran was stamped on a clock that stood
    // still: its delays say how long the output took to start, not how late the link was
    if (!engine.running) this.cold = true;
    this.counters.bytesReceived += bytes.length;
    this.stage.write(bytes, this.format, engine.contextNow()); // arrival, on the clock the engine plays by
  }

  // Whole frames from the stage, into the ring.
  toRing(samples, { rate, channels, source }, t) {
    this.counters.framesReceived += samples.length / channels;
    this.posted++;
    this.post({ type: "pcm", data: samples, rate, channels, push: source === "push", t }, [samples.buffer]);
  }

  /** The stream's counters, read from the engine (a Promise); extra() adds the owner's. */
  stats(extra) {
    const base = () => ({
      ...(this.node ? this.progress || {} : this.idleStats()),
      ...this.counters,
      pendingBytes: this.stage.pendingBytes,
      streamActive: this.active,
      streamSource: this.source,
      outputLatencyMs: outputMs(), // in latencyMs and the "heard at" times (null: not known)
      codec: this.codec, // what the stream's frames carried: "pcm" | "opus"
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
    const Engine = ENGINES[engine.streamEngine];
    const settings = { ...ringSettings(this.options), lookAheadSeconds: Engine ? Engine.lookAheadSeconds : 0 };
    const idle = {
      state: "idle",
      buffered: 0,
      backlogFrames: 0,
      backlogBytes: 0,
      contextRate: engine.ctx ? engine.ctx.sampleRate : null,
      ...jitterStats(settings, startingDelay(settings, lessons.expected)),
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

// performance.now() time at which a sample rendered at context time t is
// heard: the context clock paired with performance.now() (audio-engine.js),
// plus the context's processing latency and its output's (engine.latency()).
// Only plain properties are read (currentTime, baseLatency, outputLatency, the
// latter cached while no stream plays): the calls that pair the clocks for
// you can block the main thread for a long time in some browsers.
function heardTimeOf(t) {
  return engine.performanceTimeOf(t) + engine.latency().total * 1000;
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
