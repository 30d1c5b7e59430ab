// Stall watch: when a media element that should be playing has stopped for
// good. Some engines' elements now and then stop in the middle of a play: no
// event, no error, the clock stands. The file player looks a few times a
// second while a file should be playing and asks this policy (pure: a
// synthetic clock drives it in the tests) what to do:
//   "ok"      nothing: it moves, or it is not meant to, or not for long enough
//   "reload"  its clock stood too long: load the source again where it stood
//             and play on (the first time for this stall)
//   "fail"    it stood that long again after a reload: report it and stop
// Standing with data in hand (readyState HAVE_FUTURE_DATA or more) is a stall
// after withDataMs; waiting for data (a slow server) only after withoutDataMs.

// Generous: a busy machine may hold an element at its start for seconds before its clock moves.
export const STALL_LIMITS = { withDataMs: 5000, withoutDataMs: 10000 };

export class StallWatch {
  constructor(limits = STALL_LIMITS) {
    this.limits = limits;
    this.reset();
  }

  reset() {
    this.time = null; // the element's clock at the last look
    this.since = 0; // when it was last seen moving (ms)
    this.stoodAt = null; // where the clock stood when a reload was tried (null: none for now)
  }

  /**
   * One look: now (ms, any monotonic clock), time (the element's currentTime),
   * playing (it should be moving: not paused, ended or seeking), hasData.
   */
  look({ now, time, playing, hasData }) {
    if (!playing) {
      this.time = null;
      return "ok";
    }
    if (this.time === null || time !== this.time) {
      // only a clock past where it stood went on after a reload (a reload may show 0 before its seek)
      if (this.stoodAt !== null && time > this.stoodAt) this.stoodAt = null;
      this.time = time;
      this.since = now;
      return "ok";
    }
    if (now - this.since < (hasData ? this.limits.withDataMs : this.limits.withoutDataMs)) return "ok";
    this.since = now;
    if (this.stoodAt !== null) return "fail";
    this.stoodAt = time;
    return "reload";
  }
}
