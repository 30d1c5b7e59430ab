import { DEFAULTS, Lessons, StreamJitter, bufferSeconds, settingsFrom, startingDelay } from "/static/jitter-policy.js";
import { eq, near } from "./check.js";

const FIXED = { ...DEFAULTS, adaptive: false, floorSeconds: 0.12 };

export const cases = {
  "player options become settings, out of range the defaults; the buffer each setting gives"() {
    eq(settingsFrom({ jitterMs: 250, streamEndMs: 1500, ringSeconds: 1, backlogMB: 0.05, jitterAdaptive: false }),
      { ringSeconds: 1, floorSeconds: 0.25, holdSeconds: 1.5, backlogBytes: 52429, adaptive: false });
    eq({ ...settingsFrom({ jitterMs: -1, streamEndMs: "", ringSeconds: 0.5, backlogMB: null }), lookAheadSeconds: 0 }, DEFAULTS);
    for (const [expected, settings, want] of [
      [startingDelay(DEFAULTS, null), DEFAULTS, 0.148], // nothing measured yet: ~150 ms
      [0.005, DEFAULTS, 0.008], // a quiet link: the delay plus 3 ms
      [0.05, { ...DEFAULTS, lookAheadSeconds: 0.04 }, 0.05 + 0.003 + 0.02 + 0.04], // half of what lies over 10 ms
      [0.005, { ...DEFAULTS, floorSeconds: 0.12 }, 0.12],
      [startingDelay(FIXED, 0.3), FIXED, 0.12], // a fixed buffer learns nothing
      [0.3, { ...FIXED, lookAheadSeconds: 0.04 }, 0.3], // raised by a gap, with no margin
    ]) near(bufferSeconds(expected, settings), want, 1e-12, `${expected} ${JSON.stringify(settings)}`);
  },

  "arrivals: a late message raises what is expected at once, the start waits for the buffer, a gap raises it"() {
    for (const [settings, late, expected] of [[DEFAULTS, 2, 0.03], [{ ...FIXED, floorSeconds: 0.005 }, 0, 0.005]]) {
      const j = new StreamJitter(settings, 0.005);
      [0, 0.004, 0.002, 0.009, 0.001, 0.03, 0.002].forEach((d, k) => j.arrived(1 + 0.02 * k + d, 0.02)); // 20 ms each
      eq(j.late, late, "late messages");
      [[j.expected, expected], [j.lesson(), 0.03], [j.maxDelay, 0.03]].forEach(([g, w]) => near(g, w, 1e-9, "delays"));
      const start = 1 + j.bufferSeconds(); // of stream second 0
      eq([j.due(start - 1e-6, 0), j.due(start, 0), j.due(start + 0.1, 0.1), j.due(start + 0.1, 0.2)], [false, true, true, false]);
      j.gap();
      near(j.expected, expected * 1.5 + 0.01, 1e-9, "after a gap");
      eq(j.lesson(), settings.adaptive ? j.expected : j.maxDelay, "what a stream with a gap teaches");
    }
    const burst = new StreamJitter(DEFAULTS, 0.005); // a backlog sent at once plays at once
    for (let k = 0; k < 10; k++) burst.arrived(2, 0.1);
    eq([burst.maxDelay, burst.late, burst.due(2, 0)], [0, 0, true]);
  },

  "lessons follow a high percentile of arrival traces (head starts a low one, none right after a gap): quiet, one spike, a busy link, a link that turns busy"() {
    // stream k's messages arrive `delay(k, i)` s late (20 ms of audio each); gaps(k): its audible gaps
    const wobble = (k, i) => ((k * 7 + i * 13) % 10) / 1000; // 0-9 ms, deterministic
    const busy = (k, i) => (i % 5 === 4 ? 0.03 + ((k * 3) % 4) * 0.01 : 0) + wobble(k, i); // up to 60 ms
    for (const [name, delay, gaps, want] of [
      ["quiet", wobble, () => 0, (k) => [0, 0.009]],
      ["one spike", (k, i) => (k === 5 && i === 20 ? 0.3 : wobble(k, i)), () => 0,
        (k) => (k < 5 || k > 8 ? [0, 0.009] : [0.3, 0.3])], // while fewer than ten lessons, the largest
      ["a busy link", busy, () => 0, (k) => (k < 3 ? [0.03, 0.07] : [0.05, 0.07])],
      ["turns busy at stream 10, with a gap", (k, i) => (k < 10 ? wobble(k, i) : busy(k, i)), (k) => (k === 10 ? 1 : 0),
        (k) => (k < 10 ? [0, 0.009] : k === 10 ? [0.06, 0.1] : k < 12 ? [0, 0.1] : [0.04, 0.1])],
    ]) {
      const lessons = new Lessons();
      for (let k = 0; k < 30; k++) {
        const j = new StreamJitter(DEFAULTS, lessons.expected);
        for (let i = 0; i < 50; i++) j.arrived(10 * k + 0.02 * i + delay(k, i), 0.02);
        for (let g = 0; g < gaps(k); g++) j.gap();
        const got = lessons.learn(j.lesson(), gaps(k), 0.03 + (k % 3) / 100); // head starts 30-50 ms
        near(lessons.headStart(), gaps(k) ? 0 : 0.03, 1e-12, `${name}: after stream ${k} counts on a head start of`);
        const [lo, hi] = want(k);
        if (!(got >= lo - 1e-9 && got <= hi + 1e-9)) throw new Error(`${name}: after stream ${k} expects ${got}, not in [${lo}, ${hi}]`);
      }
    }
  },

  "a first block the writer held back is learnt: later streams start on it (ahead, with the look-ahead in hand), never dry"() {
    for (const [chunk, per, lag, settings, head, wait] of [ // chunk k written at its time, 80 ms pause; a block per `per` chunks
      [1024 / 22050, 2, 0, DEFAULTS, 0.0336, 0], // two chunks a block: was its buffer after it
      [1024 / 22050, 2, 0, { ...DEFAULTS, lookAheadSeconds: 0.04 }, 0.0336, 0.048 - 0.0336], // the main-thread engine's look-ahead
      [1024 / 48000, 1, 0.005, { ...DEFAULTS, lookAheadSeconds: 0.04 }, 0.075, 0.005], // the backlog after the first block comes 5 ms later
    ]) {
      const msgs = Array.from({ length: 20 }, (_, i) => [Math.max(0.08, ((i + 1) * per - 1) * chunk) + 0.001 + (i ? lag : 0), per * chunk]);
      const lessons = new Lessons();
      for (let n = 0; n < 4; n++) {
        const j = new StreamJitter(settings, lessons.expected, lessons.headStart());
        let start = null;
        msgs.forEach(([t, s], i) => { // render blocks until the next message
          j.arrived(t, s);
          for (let at = t; start === null && at < (msgs[i + 1] || [Infinity])[0]; at += 128 / 48000) if (j.due(at, 0)) start = at;
        });
        if (n) near(start - msgs[0][0], wait, 128 / 48000, `${chunk} ${per} ${settings.lookAheadSeconds}: stream ${n} waits`);
        eq(msgs.filter(([t, s], i) => t > Math.max(start, start + i * s - settings.lookAheadSeconds) + 1e-9), [], "blocks late");
        lessons.learn(0.005, 0, j.headStartSeen());
      }
      eq([Math.round(lessons.headStart() * 1e4) / 1e4, lessons.headStart("another format")], [head, null], "head starts learnt");
    }
  },
};
