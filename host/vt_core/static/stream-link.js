// The page's link to the host, as the push streams see it: whether it is
// alive, which push stream the binary frames belong to and how much of it a
// player has, and what the host's answers say about a stream's end. Policy
// only: the socket is app.js's, the clock and timers are given (env), so the
// timing is tested under a synthetic clock.
//
// Liveness. The host sends a beat every second (docs/PROTOCOL.md); any frame
// counts. A link silent for timeoutMs, at two looks checkMs apart (a main
// thread that was held up may still have frames waiting to be handled), is
// dead: the page closes it and reconnects with backoff (Backoff).
//
// Ends. A pushed stream that ran dry asks the host (link.ask) whether it is
// over; the host answers after every frame it queued before the answer, so
// a page whose frames wait in its queue never ends a stream the writer still
// feeds. endDecision reads the answer:
//   "over"         the host wrote no more than the player has, and the stream
//                  is closed (the host closes an open stream it finds drained)
//   "interrupted"  the host does not know the stream (it was restarted)
//   "wait"         frames are on their way
// While the link is down a dry stream waits for the resume, at most
// resumeMs (RESUME_MS), then ends "interrupted".

export const LINK = Object.freeze({ timeoutMs: 4000, checkMs: 250, backoffMinMs: 250, backoffMaxMs: 5000 });
/** How long a dry stream waits for a broken link to come back before it ends "interrupted". */
export const RESUME_MS = 120000;

/** The page's side of the link: set by app.js; read by the players' stream ingest. */
export const link = {
  send: null, // (object) => void while the socket is open, else null
  /** Ask whether push stream `stream` is over, holding `have` frames of it; false when the link is down. */
  ask(stream, have, holdMs) {
    if (!this.send) return false;
    this.send({ type: "ask", stream, have, holdMs: Math.round(holdMs) });
    return true;
  },
};

/** What the host's {type: "state"} answer means for a dry stream holding `have` frames. */
export function endDecision(state, have) {
  if (!state.known) return "interrupted";
  if (state.open || state.written > have) return "wait";
  return "over";
}

/** Whether a link last heard at `heardAt` is dead at `now`, given the previous look said it was silent too. */
export class Liveness {
  /**
   * @param {{now: () => number, setInterval: Function, clearInterval: Function}} env  now in ms
   * @param {() => void} onDead
   */
  constructor(env, onDead, o = LINK) {
    this.env = env;
    this.onDead = onDead;
    this.o = o;
    this.heardAt = 0;
    this.silentLooks = 0;
    this.timer = null;
  }

  opened() {
    this.closed();
    this.heard();
    this.timer = this.env.setInterval(() => this.look(), this.o.checkMs);
  }

  heard() {
    this.heardAt = this.env.now();
    this.silentLooks = 0;
  }

  look() {
    if (this.env.now() - this.heardAt < this.o.timeoutMs) {
      this.silentLooks = 0;
      return;
    }
    if (++this.silentLooks < 2) return; // once more, after whatever waits in the queue has run
    this.closed();
    this.onDead();
  }

  closed() {
    if (this.timer !== null) this.env.clearInterval(this.timer);
    this.timer = null;
  }
}

/** Reconnection delays: doubling from backoffMinMs to backoffMaxMs, ±20 %, back to the least once open. */
export class Backoff {
  constructor(o = LINK, random = Math.random) {
    this.o = o;
    this.random = random;
    this.ms = o.backoffMinMs;
  }

  next() {
    const wait = this.ms * (0.8 + 0.4 * this.random());
    this.ms = Math.min(this.ms * 2, this.o.backoffMaxMs);
    return wait;
  }

  reset() {
    this.ms = this.o.backoffMinMs;
  }
}

/** The frames a player holds of a push stream: from `at` (the host's "stream" frame) plus whole frames of bytes since. */
export class StreamPosition {
  constructor(id, at, channels) {
    this.id = id;
    this.at = at;
    this.bytes = 0;
    this.frameBytes = 2 * Math.max(1, channels | 0);
  }

  get have() {
    return this.at + Math.floor(this.bytes / this.frameBytes);
  }

  /** The host goes on from frame `at` (a resume): bytes of a frame cut off are gone. */
  resumeAt(at) {
    this.at = at;
    this.bytes = 0;
  }
}
