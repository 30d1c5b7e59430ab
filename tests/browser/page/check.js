// Shared by the page's module tests. A test module exports `cases`: name -> function (may be async) that throws
// when the case fails.

export function eq(got, want, what = "") {
  const [g, w] = [JSON.stringify(got), JSON.stringify(want)];
  if (g !== w) throw new Error(`${what}: got ${g}, want ${w}`);
}

export function near(got, want, tol, what = "") {
  if (!(Math.abs(got - want) <= tol)) throw new Error(`${what}: got ${got}, want ${want} ± ${tol}`);
}

/** A seeded generator of numbers in [0, 1) (mulberry32). */
export function random(seed) {
  return () => {
    let t = Math.imul((seed = (seed + 0x6d2b79f5) | 0) ^ (seed >>> 15), 1 | seed);
    t = (t + Math.imul(t ^ (t >>> 7), 61 | t)) ^ t;
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

/** A clock (now, in seconds) whose timers (in ms) run, in order, only as the test advances it. */
export class FakeTime {
  now = 0;
  timers = new Map(); // id -> {at, fn, every}
  ids = 0;
  setTimeout(fn, ms, every = 0) {
    this.timers.set(++this.ids, { at: this.now + Math.max(0, ms) / 1000, fn, every: every / 1000 });
    return this.ids;
  }
  setInterval = (fn, ms) => this.setTimeout(fn, ms, ms);
  clearTimeout = (id) => this.timers.delete(id);
  clearInterval = this.clearTimeout;

  /** Run each timer due by t at its time; what one queues as a microtask runs before the next. */
  async advanceTo(t) {
    for (let due; (due = [...this.timers].filter(([, x]) => x.at <= t).sort((a, b) => a[1].at - b[1].at)[0]); await null) {
      const [id, x] = due;
      this.now = Math.max(this.now, x.at);
      if (x.every) x.at += x.every;
      else this.timers.delete(id);
      x.fn();
    }
    this.now = Math.max(this.now, t);
    await null;
  }
}

export async function run(cases) {
  const failed = [];
  for (const [name, fn] of Object.entries(cases)) await Promise.resolve().then(fn).catch((e) => failed.push([name, e.stack || e]));
  return { ran: Object.keys(cases).length, failed: failed.map(([n, e]) => [n, String(e)]) };
}
