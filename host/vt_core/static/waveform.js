// Whole-file waveforms: the peaks of a file or URL source, decoded in the
// browser and kept per source (one decode however many players show it).
//
// The bytes are fetched with CORS; a source whose server allows no
// cross-origin reads has no waveform (the player shows its live view). The
// browser decodes off the page's thread; the peaks are then computed in
// slices that give the page back its thread every few milliseconds, so that
// a long file does not freeze the page.

const BUCKETS = 2048; // min/max pairs per source
const MAX_BYTES = 256 * 1024 * 1024; // larger files get no waveform
const CACHE_SIZE = 32;
const SLICE_MS = 8;

const cache = new Map(); // absolute URL -> Promise<Peaks | null>, oldest first

/** Counters for the tests and diagnostics. */
export const waveStats = { fetches: 0, decodes: 0, yields: 0, failures: 0 };

/**
 * The peaks of url: a Promise of {min, max (Float32Array of BUCKETS), duration,
 * slices (how many pieces the work was cut into)}
 * or null when the bytes cannot be read or decoded. ctx decodes.
 */
export function peaksFor(url, ctx) {
  const key = new URL(url, location.href).href;
  let entry = cache.get(key);
  if (entry) {
    cache.delete(key); // most recently used goes last
    cache.set(key, entry);
    return entry;
  }
  entry = load(key, ctx).catch((err) => {
    waveStats.failures++;
    console.info(`[vt] no waveform for ${url}: ${err && err.message ? err.message : err}`);
    cache.delete(key); // a later try may work (the server may allow it then)
    return null;
  });
  cache.set(key, entry);
  while (cache.size > CACHE_SIZE) cache.delete(cache.keys().next().value);
  return entry;
}

async function load(url, ctx) {
  if (!ctx) throw new Error("Web Audio is not available");
  waveStats.fetches++;
  const resp = await fetch(url, { credentials: "same-origin" });
  if (!resp.ok) throw new Error(`HTTP ${resp.status}`);
  const size = Number(resp.headers.get("Content-Length"));
  if (size > MAX_BYTES) {
    resp.body && resp.body.cancel().catch(() => {});
    throw new Error(`too large for a waveform (${size} bytes)`);
  }
  const bytes = await resp.arrayBuffer();
  const buffer = await ctx.decodeAudioData(bytes);
  waveStats.decodes++;
  return computePeaks(buffer);
}

async function computePeaks(buffer) {
  const n = buffer.length;
  const channels = [];
  for (let c = 0; c < buffer.numberOfChannels; c++) channels.push(buffer.getChannelData(c));
  const min = new Float32Array(BUCKETS);
  const max = new Float32Array(BUCKETS);
  const per = n / BUCKETS;
  let until = performance.now() + SLICE_MS;
  let slices = 1;
  for (let b = 0; b < BUCKETS; b++) {
    const from = Math.floor(b * per);
    const to = Math.min(n, Math.max(from + 1, Math.floor((b + 1) * per)));
    let lo = 0;
    let hi = 0;
    for (const data of channels) {
      for (let i = from; i < to; i++) {
        const v = data[i];
        if (v < lo) lo = v;
        else if (v > hi) hi = v;
      }
    }
    min[b] = lo;
    max[b] = hi;
    if (performance.now() > until) {
      await yieldToPage();
      slices++;
      until = performance.now() + SLICE_MS;
    }
  }
  return { min, max, duration: buffer.duration, slices };
}

function yieldToPage() {
  waveStats.yields++;
  const s = globalThis.scheduler;
  if (s && typeof s.yield === "function") return s.yield();
  return new Promise((resolve) => setTimeout(resolve, 0));
}
