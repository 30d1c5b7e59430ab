// The jitter buffer's policy: how long a stream waits before its first sample
// plays, what a late frame or an audible gap changes, and what each stream
// teaches the page's next ones. Pure: no clock, no audio, no messages. Times
// are seconds on the clock that stamps arrivals (the context clock read on the
// main thread, audio-engine.js contextNow), given by the caller.
//
// One name per quantity:
//   floorSeconds      the least buffer a player wants (its option jitterMs)
//   bufferSeconds     the jitter buffer in force: audio at stream second p plays
//                     at earliest + p + bufferSeconds
//   earliest          the stream's smallest offset: arrival time t of a message
//                     minus the stream seconds received before it (a message
//                     that arrives as early as it can has it)
//   delay             how late a message is: its offset - earliest
//   expected          the largest delay a stream expects: what the page learnt
//                     from earlier streams (a page that has measured nothing
//                     yet: FIRST_EXPECTED), raised at once by a later message
//                     and by an audible gap; a fixed buffer expects its floor
//   margin            GUARD plus half of what lies above a quiet link's delay
//   lookAheadSeconds  how far ahead of the clock the engine renders (an engine
//                     constant, stream-engine.js)
//   lesson            what a stream says to expect: the raised value after a
//                     late message or a gap, else the largest delay it saw
//   headStart         how late a stream's first message was against its earliest
//                     (a writer's opening pause, a first message held back to
//                     fill a block): what a stream has seen, and what the page
//                     learnt of it. A stream whose first message cannot show it
//                     is late (it holds more audio than comes after it at once)
//                     counts on the learnt head start until it starts: its first
//                     sample may play headStart earlier than the buffer alone
//                     allows, never before it arrived, nor before the engine has
//                     its look-ahead in hand.
// bufferSeconds = max(floorSeconds, expected + margin + lookAheadSeconds) when
// adaptive, else max(floorSeconds, expected). The buffer shrinks only between
// streams, to a high percentile of what the last streams saw (Lessons): never
// by dropping audio.

const MiB = 1048576;

/** Every setting of a player's stream and its default (player options in settingsFrom). */
export const DEFAULTS = Object.freeze({
  ringSeconds: 20, // ringSeconds: the ring the engine plays from
  floorSeconds: 0, // jitterMs / 1000
  holdSeconds: 0.3, // streamEndMs / 1000: how long a dry pushed stream waits for more before it ends
  backlogBytes: 128 * MiB, // backlogMB: pushed audio waiting for room in the ring, beyond it dropped
  adaptive: true, // jitterAdaptive: false makes a fixed buffer of floorSeconds
  lookAheadSeconds: 0,
});

const MAX_EXPECTED = 1.0;
const FIRST_EXPECTED = 0.1; // a buffer of ~150 ms
const GUARD = 0.003;
// A busy link's largest delay is one sample of a wide spread: the next stream
// may well see more, so half of what lies above a quiet link's is added.
const BUSY_SHARE = 0.5;
const QUIET = 0.01;
// The page weighs the lessons of its last LESSONS streams, on any player: the
// next stream expects their PERCENTILE-th percentile (nearest rank), so a spike
// in one of them sets no buffer for the streams after it, while a link that is
// busy in more than a tenth of them does. A stream with an audible gap counts
// in full for the stream right after it: a link that turns busy is followed at
// once, and then as often as it stays so.
const LESSONS = 20;
const PERCENTILE = 0.9;

/** A stream's settings from a player's options; a value missing or out of range takes the default. */
export function settingsFrom(o) {
  const num = (v, d, lo) => (Number.isFinite(Number(v)) && Number(v) >= lo && v !== null && v !== "" ? Number(v) : d);
  return {
    ringSeconds: num(o.ringSeconds, DEFAULTS.ringSeconds, 1),
    floorSeconds: num(o.jitterMs, DEFAULTS.floorSeconds * 1000, 0) / 1000,
    holdSeconds: num(o.streamEndMs, DEFAULTS.holdSeconds * 1000, 0) / 1000,
    backlogBytes: Math.round(num(o.backlogMB, DEFAULTS.backlogBytes / MiB, 0) * MiB),
    adaptive: o.jitterAdaptive !== false,
  };
}

/** What a new stream expects with these settings, the page having learnt `learnt` (null: nothing yet). */
export function startingDelay(settings, learnt) {
  if (!settings.adaptive) return settings.floorSeconds;
  return learnt == null ? FIRST_EXPECTED : learnt;
}

/** The jitter buffer for a stream that expects delays up to `expected`. */
export function bufferSeconds(expected, settings) {
  if (!settings.adaptive) return Math.max(settings.floorSeconds, expected); // as set, raised only by a gap
  const margin = GUARD + BUSY_SHARE * Math.max(0, expected - QUIET);
  return Math.max(settings.floorSeconds, expected + margin + (settings.lookAheadSeconds || 0));
}

/** The jitter buffer in a player's stats(), by the names it has there. */
export function jitterStats(settings, expected, maxDelay = 0) {
  return {
    jitterSeconds: bufferSeconds(expected, settings), // the buffer in force (the next stream's, when idle)
    jitterFloorSeconds: settings.floorSeconds,
    arrivalJitterSeconds: expected,
    maxDelaySeconds: maxDelay, // the largest delay seen in the open stream
    holdSeconds: settings.holdSeconds,
  };
}

/** One stream's arrivals and gaps, as they raise what it expects. */
export class StreamJitter {
  /**
   * @param {object} settings  read live (a change applies at once): floorSeconds, adaptive, lookAheadSeconds
   * @param {number|null} learnt  what the page learnt (null: nothing yet)
   * @param {number|null} headStart  the head start the page learnt (null: nothing yet)
   */
  constructor(settings, learnt, headStart = null) {
    this.settings = settings;
    this.expected = startingDelay(settings, learnt);
    this.headStart = settings.adaptive ? headStart || 0 : 0; // counted on until the stream starts
    this.counted = 0; // the head start it counted on when it started
    this.received = 0; // stream seconds received
    this.first = Infinity; // the first message's offset
    this.earliest = Infinity;
    this.maxDelay = 0; // the largest delay seen
    this.late = 0; // messages later than expected
    this.gaps = 0; // audible gaps
  }

  /** A message of `seconds` of audio arrived at t; true when it came later than expected. */
  arrived(t, seconds) {
    const offset = t - this.received;
    if (this.first === Infinity) this.first = offset;
    this.received += seconds;
    if (offset < this.earliest) this.earliest = offset;
    const delay = offset - this.earliest;
    if (delay > this.maxDelay) this.maxDelay = delay;
    if (delay <= this.expected || !this.settings.adaptive) return false;
    this.expected = Math.min(MAX_EXPECTED, delay);
    this.late++;
    return true;
  }

  /** `seconds` of the stream will never arrive (lost, or skipped): later audio keeps its place in the schedule. */
  skipped(seconds) {
    this.received += seconds;
  }

  /** An audible gap: hold back more audio from now on (by half, plus 10 ms). */
  gap() {
    this.gaps++;
    this.expected = Math.min(MAX_EXPECTED, this.expected * 1.5 + 0.01);
  }

  bufferSeconds() {
    return bufferSeconds(this.expected, this.settings);
  }

  /** Whether audio `played` seconds into the stream may play at time `at`. */
  due(at, played) {
    // an engine that renders ahead counts on the head start only with that much in hand
    const head = this.received - played >= (this.settings.lookAheadSeconds || 0) ? this.headStart : 0;
    const earliest = Math.min(this.earliest, this.first - head);
    return at - played >= earliest + this.bufferSeconds() - 1e-9;
  }

  /** The stream started: from now on it waits by what it measured alone. */
  began() {
    this.counted = this.headStart;
    this.headStart = 0;
  }

  /** How late the first message was against the stream's earliest (0: nothing arrived). */
  headStartSeen() {
    return this.first === Infinity ? 0 : this.first - this.earliest;
  }

  /** What this stream teaches the next ones (a fixed buffer's growth says nothing about the link). */
  lesson() {
    if (!this.settings.adaptive) return this.maxDelay;
    return this.gaps > 0 || this.late > 0 ? this.expected : this.maxDelay;
  }
}

const rank = (list, q) => [...list].sort((x, y) => x - y)[Math.max(0, Math.ceil(q * list.length) - 1)];

/** What a page learnt from its streams' lessons. */
export class Lessons {
  constructor() {
    this.list = []; // the last LESSONS streams' lessons, oldest first
    this.heads = new Map(); // a stream format's key -> the last head starts of its streams
    this.gapped = false; // the last stream had a gap
    this.expected = null; // what the next stream expects (null: nothing learnt yet)
  }

  /**
   * Add a stream's lesson, whether it had gaps, its head start and its format's key; returns what
   * the next stream expects. A stream with a gap teaches no head start.
   */
  learn(lesson, gaps, headStart = 0, format = "") {
    this.list.push(lesson);
    if (this.list.length > LESSONS) this.list.shift();
    const heads = this.heads.get(format) || [];
    heads.push(gaps ? 0 : headStart || 0);
    if (heads.length > LESSONS) heads.shift();
    this.heads.set(format, heads);
    this.gapped = gaps > 0;
    const high = rank(this.list, PERCENTILE);
    this.expected = gaps ? Math.max(high, lesson) : high;
    return this.expected;
  }

  /**
   * The head start a stream of this format counts on (null: none learnt): a low percentile of its
   * format's last ones (a head start its streams do not keep sets none; one format's writer may
   * hold back what another's does not), none right after a stream with a gap.
   */
  headStart(format = "") {
    const heads = this.heads.get(format);
    if (!heads) return null;
    return this.gapped ? 0 : rank(heads, 1 - PERCENTILE);
  }
}
