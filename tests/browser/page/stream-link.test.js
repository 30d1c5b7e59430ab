// The page's link policy under a synthetic clock: when a silent link is dead, what the host's answer about a dry
// stream means.
import { LINK, Liveness, endDecision } from "/static/stream-link.js";
import { FakeTime, eq } from "./check.js";

const beats = (from, to) => Array.from({ length: to - from + 1 }, (_, i) => from + i);
const GIVEN_UP = (LINK.timeoutMs + LINK.checkMs) / 1000;
const LIVENESS = { // frames heard at (s) -> when the link is given up (null: never), within 20 s
  "silent: given up after the timeout and one more look": [[], GIVEN_UP],
  "beats every second: alive": [beats(1, 20), null],
  "a main thread held up 4.1 s whose waiting frames run after the first silent look: alive": [[4.1, ...beats(5, 20)], null],
  "beats that stop at 5 s: given up 4.25 s later": [beats(1, 5), 5 + GIVEN_UP],
};

export const cases = {};
for (const [what, [heard, dead]] of Object.entries(LIVENESS)) {
  cases[`liveness: ${what}`] = async () => {
    const time = new FakeTime();
    let deadAt = null;
    const env = { now: () => time.now * 1000, setInterval: time.setInterval, clearInterval: time.clearInterval };
    const live = new Liveness(env, () => (deadAt = time.now));
    live.opened();
    for (const t of heard) time.setTimeout(() => live.heard(), t * 1000);
    await time.advanceTo(20);
    eq(deadAt === null ? null : +deadAt.toFixed(3), dead, "given up at");
  };
}

cases["the host's answer about a dry stream"] = () => [ // a restarted host; all here; a frame within the hold-off; more on the way
  [{ known: false }, "interrupted"], [{ known: true, open: false, written: 10 }, "over"],
  [{ known: true, open: true, written: 10 }, "wait"], [{ known: true, open: false, written: 12 }, "wait"],
].forEach(([state, want]) => eq(endDecision(state, 10), want, JSON.stringify(state)));
