// Streams through both stream engines under a synthetic clock: what the owner is told (the end report, shaped
// behind the engine seam) against what reached the output, sample by sample.
import { DEFAULTS, bufferSeconds, startingDelay } from "/static/jitter-policy.js";
import { PcmRing } from "/static/pcm-ring.js";
import { ScheduledOutput } from "/static/scheduled-output.js";
import { StreamEngine } from "/static/stream-engine.js";
import { FakeTime, eq, near } from "./check.js";

const RATE = 16000; // the context's and the streams': the output is the written sequence itself

const ENGINES = {
  // the worklet engine's seam, its ring rendered a quantum at a time once the clock has reached it
  worklet(time, heard, settings) {
    const engine = new StreamEngine(settings);
    const ring = new PcmRing(engine.settings, RATE, (msg) => engine.fromRing(msg));
    engine.toRing = (msg) => ring.onMessage(msg);
    time.setInterval(() => {
      const [L, at] = [new Float32Array(128), Math.round(time.now * RATE)];
      L.subarray(0, ring.render(L, null, at / RATE)).forEach((v, i) => heard.push([at + i, v]));
    }, (128 / RATE) * 1000);
    return engine;
  },
  // the main-thread engine on a context of the test's: the buffers it scheduled, heard as far as the clock went
  scheduled(time, heard, settings) {
    const sources = [];
    const ctx = { sampleRate: RATE, state: "running", get currentTime() { return time.now; },
      createBuffer: (ch, length) => ({ length, data: new Float32Array(length), copyToChannel(a, c) { if (!c) this.data.set(a); } }),
      createBufferSource: () => ({ connect() {}, disconnect() {}, stop(at) { this.stopAt = at; },
        start(when, offset) { sources.push(Object.assign(this, { when, offset })); } }) };
    const engine = new ScheduledOutput(ctx, null, settings, { clock: () => time.now, timers: time });
    engine.heard = () => sources.forEach((s) => {
      const [from, at, end] = [s.offset, s.when, Math.min(s.stopAt ?? Infinity, time.now)].map((t) => Math.round(t * RATE));
      s.buffer.data.subarray(from, from + end - at).forEach((v, i) => v && heard.push([at + i, v]));
    });
    return engine;
  },
};

// `seconds` of audio from time `from` in messages of `every` seconds, one each `pace`, stamped at arrival; the
// samples go on with the sequence of those written before in the same run.
function speech(from, seconds, { push = true, every = 0.02, pace = every } = {}) {
  const pcm = (t, n) => ({ type: "pcm", data: Int16Array.from({ length: every * RATE }, () => 1 + (n.i++ % 30000)), rate: RATE,
    channels: 1, push, t });
  return Array.from({ length: Math.round(seconds / every) }, (_, k) => [from + k * pace, pcm]);
}

// Steps ([time, message]) through an engine until `until`: what the owner was told, and the runs of consecutive
// output frames (seconds), checked to carry the written sequence in order.
async function run(kind, steps, until, settings) {
  const [time, heard, told, n] = [new FakeTime(), [], [], { i: 0 }];
  const engine = ENGINES[kind](time, heard, { ...DEFAULTS, ...settings });
  engine.port.onmessage = (e) => told.push({ ...e.data, when: time.now });
  for (const [at, msg] of steps.sort((a, b) => a[0] - b[0])) {
    await time.advanceTo(at);
    engine.port.postMessage(typeof msg === "function" ? msg(at, n) : msg);
    await null; // (what it tells the owner at once arrives now)
  }
  await time.advanceTo(until);
  engine.heard?.();
  const runs = [];
  let next = 1; // the written sequence, in order; with late audio skipped (lateLive), parts of it left out
  heard.sort((a, b) => a[0] - b[0]).forEach(([at, v], i) => {
    const got = Math.round(v * 32768);
    if (got !== next && !(settings?.lateLive && got > next)) throw new Error(`output frame ${at}: ${got}, want ${next}`);
    next = (got % 30000) + 1;
    if (!i || at !== heard[i - 1][0] + 1) runs.push(0);
    runs[runs.length - 1] += 1 / RATE;
  });
  const ended = told.filter((m) => m.type === "ended");
  eq(ended.length, 1, "ends");
  return { told, runs, end: ended[0], last: heard.at(-1)[0] / RATE };
}

const push = { source: "push", reason: "drained", underruns: 0, lost: 0, gaps: [] };
const SCENARIOS = {
  "a pushed stream plays whole and ends after the hold-off": [speech(0.1, 0.5), 2, { ...push, played: 0.5 }, [0.5], (r, look) => {
    near(r.end.when, r.last + DEFAULTS.holdSeconds, 0.06, "told at");
    near(r.told[0].buffer, bufferSeconds(startingDelay(DEFAULTS, null), { ...DEFAULTS, lookAheadSeconds: look }), 1e-12, "buffer");
  }],
  "a gap within the hold-off goes on as the same stream, one underrun": [[...speech(0.1, 0.3), ...speech(0.65, 0.2)], 2,
    { ...push, played: 0.5, underruns: 1 }, [0.3, 0.2], (r) => {
      eq(r.told.filter((m) => m.type === "started").length, 1, "starts");
      near(r.end.lesson, 0.25 * 1.5 + 0.01, 1e-9, "lesson"); // 0.25 s late, then raised by the gap
    }],
  "a close reports what was heard, and the rest as dropped": [[...speech(0.1, 3, { every: 0.5, pace: 0 }),
    [1.3011, { type: "close" }]], 2, { ...push, reason: "closed" }, null, ({ end: { report }, runs }) => {
      eq(runs.length, 1, "runs heard");
      near(report.played, runs[0], 0.0006, "played");
      near(report.played + report.dropped, 3, 0.001, "played + dropped");
      [report.played, report.dropped].forEach((x) => eq(Math.round(x * 1000) / 1000, x, "to the ms"));
    }],
  "a pulled stream ends as its last sample is heard; a pause loses nothing": [[...speech(0.1, 1, { push: false, every: 0.25 }),
    [0.5013, { type: "pause" }], [0.8, { type: "resume" }], [1.2, { type: "eos" }]], 3, { source: "pull", reason: "drained", underruns: 0, played: 1 },
  null, (r) => (eq(r.runs.length, 2, "runs: one silence, the pause"), near(r.end.when, r.last, 0.01, "told at"))],
};

// Pushed streams from the host: a dry stream waits for the host's word, gaps and late audio are lost, not heard.
const HOST = { confirmEnd: true };
const end = (at) => [at, { type: "end", reason: "drained" }];
// a dry spell, then 0.5 s at once 0.6 s after its place in the schedule (less the jitter buffer)
const late = [...speech(0.1, 0.3), ...speech(1.0, 0.5, { pace: 0 }), end(2.5)];
const skipped = (look) => 0.6 - bufferSeconds(startingDelay(DEFAULTS, null), { ...DEFAULTS, lookAheadSeconds: look });
Object.assign(SCENARIOS, {
  "a dry pushed stream says so and waits for the host's end": [[...speech(0.1, 0.5), end(1.5)], 3, { ...push, played: 0.5 },
    [0.5], (r) => (eq(r.told.filter((m) => m.type === "dry").length, 1, "dry"), near(r.end.when, 1.5, 0.01, "told at")), HOST],
  "a gap the host could not resend is lost, and the stream ends incomplete": [[...speech(0.1, 0.3),
    [0.45, { type: "gap", at: 0.3, seconds: 0.2 }], ...speech(0.6, 0.2), end(2)], 3,
  { ...push, reason: "incomplete", played: 0.5, lost: 0.2, gaps: [{ at: 0.3, seconds: 0.2 }], underruns: 1 }, [0.3, 0.2], null, HOST],
  "live: audio later than the bound after a dry spell is skipped to the live edge": [late, 3, null, null, ({ end: { report } }, look) => {
    eq(report.reason, "incomplete", "reason");
    near(report.skipped, skipped(look), 0.0015, "skipped");
    near(report.played + report.lost, 0.8, 0.0015, "played + lost");
  }, { ...HOST, lateLive: true, lateSeconds: 0.2 }],
  "late: the same audio plays late, whole": [late, 4, { ...push, played: 0.8, underruns: 1 }, [0.3, 0.5], null, HOST],
  "a stream whose host went away plays what it holds, then ends interrupted": [[...speech(0.1, 0.5, { every: 0.25, pace: 0 }),
    [0.3, { type: "eos", reason: "interrupted" }]], 2, { ...push, reason: "interrupted", played: 0.5 }, [0.5], null, HOST],
});

export const cases = {};
for (const kind of Object.keys(ENGINES)) {
  for (const [what, [steps, until, want, runs, check, settings]] of Object.entries(SCENARIOS)) {
    cases[`${kind}: ${what}`] = async () => {
      const r = await run(kind, steps, until, settings);
      const { played, dropped, ...rest } = r.end.report;
      if (want) eq(want.played === undefined ? rest : r.end.report, want, "report");
      if (runs) eq(r.runs.map((x) => +x.toFixed(6)), runs, "runs heard");
      if (check) check(r, kind === "scheduled" ? ScheduledOutput.lookAheadSeconds : 0);
    };
  }
}
