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
  worklet(settings, time, heard) {
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
  scheduled(settings, time, heard) {
    const sources = [];
    const ctx = { sampleRate: RATE, state: "running", get currentTime() { return time.now; },
      createBuffer: (ch, length) => ({ length, data: new Float32Array(length), copyToChannel(a, c) { if (!c) this.data.set(a); } }),
      createBufferSource: () => ({ connect() {}, disconnect() {}, start(when, offset) { sources.push(Object.assign(this, { when, offset })); },
        stop(at) { this.stopAt = at; } }) };
    const engine = new ScheduledOutput(ctx, null, settings, { clock: () => time.now, timers: time });
    engine.heard = () => sources.forEach((s) => {
      const [from, at, end] = [s.offset, s.when, Math.min(s.stopAt ?? Infinity, time.now)].map((t) => Math.round(t * RATE));
      s.buffer.data.subarray(from, from + end - at).forEach((v, i) => v && heard.push([at + i, v]));
    });
    return engine;
  },
};

// `seconds` of audio sent from time `from` in messages of `every` seconds, one each `pace`, stamped at arrival;
// the samples go on with the sequence of those written before.
function speech(from, seconds, { push = true, every = 0.02, pace = every } = {}) {
  return Array.from({ length: Math.round(seconds / every) }, (_, k) => {
    const data = Int16Array.from({ length: Math.round(every * RATE) }, () => 1 + (speech.written++ % 30000));
    return [from + k * pace, (t) => ({ type: "pcm", data, rate: RATE, channels: 1, push, t })];
  });
}

// Run steps ([time, message]) through an engine until `until`: what the owner was told, and the runs of
// consecutive output frames (seconds), checked to carry the written sequence in order.
async function run(kind, steps, until) {
  const [time, heard, told, settings] = [new FakeTime(), [], [], { ...DEFAULTS }];
  const engine = ENGINES[kind](settings, time, heard);
  engine.port.onmessage = (e) => told.push({ ...e.data, when: time.now });
  for (const [at, msg] of steps.sort((a, b) => a[0] - b[0])) {
    await time.advanceTo(at);
    engine.port.postMessage(typeof msg === "function" ? msg(at) : msg);
  }
  await time.advanceTo(until);
  engine.heard?.();
  const runs = [];
  heard.sort((a, b) => a[0] - b[0]).forEach(([at, v], i) => {
    if (Math.round(v * 32768) !== 1 + (i % 30000)) throw new Error(`output frame ${at}: ${v * 32768}, the ${i}th heard`);
    if (!i || at !== heard[i - 1][0] + 1) runs.push(0);
    runs[runs.length - 1] += 1 / RATE;
  });
  const ended = told.filter((m) => m.type === "ended");
  return { told, runs, ended, report: ended.map((m) => m.report), last: heard.length ? heard.at(-1)[0] / RATE : 0, settings };
}

export const cases = {};
for (const kind of Object.keys(ENGINES)) {
  const look = kind === "scheduled" ? ScheduledOutput.lookAheadSeconds : 0;
  Object.assign(cases, {
    async [`${kind}: a pushed stream plays whole and ends after the hold-off`]() {
      speech.written = 0;
      const { told, runs, report, ended, last, settings } = await run(kind, speech(0.1, 0.5), 2);
      eq([report, runs.length], [[{ source: "push", reason: "drained", played: 0.5, underruns: 0 }], 1]);
      near(runs[0], 0.5, 1e-9, "heard");
      near(ended[0].when, last + settings.holdSeconds, 0.06, "told at");
      near(told[0].buffer, bufferSeconds(startingDelay(settings, null), { ...settings, lookAheadSeconds: look }), 1e-12, "buffer");
    },
    async [`${kind}: a gap within the hold-off goes on as the same stream, one underrun`]() {
      speech.written = 0;
      const { told, runs, report, ended } = await run(kind, [...speech(0.1, 0.3), ...speech(0.65, 0.2)], 2);
      eq([report, runs.length, told.filter((m) => m.type === "started").length],
        [[{ source: "push", reason: "drained", played: 0.5, underruns: 1 }], 2, 1]);
      near(ended[0].lesson, 0.25 * 1.5 + 0.01, 1e-9, "lesson"); // 0.25 s late, then raised by the gap
    },
    async [`${kind}: a close reports what was heard, and the rest as dropped`]() {
      speech.written = 0;
      const { runs, report } = await run(kind, [...speech(0.1, 3, { every: 0.5, pace: 0 }), [1.3011, { type: "close" }]], 2);
      const [{ played, dropped, ...rest }] = report;
      eq([report.length, rest, runs.length], [1, { source: "push", reason: "closed", underruns: 0 }, 1]);
      near(played, runs[0], 0.0006, "played");
      near(played + dropped, 3, 0.001, "played + dropped");
      eq([played, dropped].map((x) => Math.round(x * 1000) / 1000), [played, dropped], "to the ms");
    },
    async [`${kind}: a pulled stream ends as its last sample is heard; a pause loses nothing`]() {
      speech.written = 0;
      const steps = [...speech(0.1, 1, { push: false, every: 0.25 }), [0.5013, { type: "pause" }], [0.8, { type: "resume" }],
        [1.2, { type: "eos" }]];
      const { runs, report, ended, last } = await run(kind, steps, 3);
      eq([report, runs.length], [[{ source: "pull", reason: "drained", played: 1, underruns: 0 }], 2]); // one silence: the pause
      near(ended[0].when, last, 0.01, "told at");
    },
  });
}
