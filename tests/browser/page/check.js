// Shared by the page's module tests. A test module exports `cases`: name -> function (may be async) that throws
// when the case fails; run() runs them all.

export function eq(got, want, what = "") { // objects compare whatever the order of their keys
  const key = (_, v) => (v && typeof v === "object" && !Array.isArray(v) ? Object.fromEntries(Object.entries(v).sort()) : v);
  const [g, w] = [JSON.stringify(got, key), JSON.stringify(want, key)];
  if (g !== w) throw new Error(`${what}: got ${g}, want ${w}`);
}

export function near(got, want, tol, what = "") {
  if (!(Math.abs(got - want) <= tol)) throw new Error(`${what}: got ${got}, want ${want} ± ${tol}`);
}

/** A clock (now, in seconds) whose timers (ms) run, each at its time, only as the test advances it. */
export class FakeTime {
  now = 0;
  timers = new Map(); // id -> {at, fn, every}
  ids = 0;
  setTimeout = (fn, ms, every = 0) => (this.timers.set(++this.ids, { at: this.now + ms / 1000, fn, every }), this.ids);
  setInterval = (fn, ms) => this.setTimeout(fn, ms, ms / 1000);
  clearTimeout = (id) => this.timers.delete(id);
  clearInterval = this.clearTimeout;

  async advanceTo(t) { // what a timer queues as a microtask runs before the next timer
    for (let due; (due = [...this.timers].filter(([, x]) => x.at <= t).sort((a, b) => a[1].at - b[1].at)[0]); await null) {
      this.now = Math.max(this.now, due[1].at);
      if (due[1].every) due[1].at += due[1].every;
      else this.timers.delete(due[0]);
      due[1].fn();
    }
    this.now = Math.max(this.now, t);
  }
}

export async function run(cases) {
  const failed = [];
  for (const [name, fn] of Object.entries(cases)) await Promise.resolve().then(fn).catch((e) => failed.push([name, String(e.stack || e)]));
  return { ran: Object.keys(cases).length, failed };
}
