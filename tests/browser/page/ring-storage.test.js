import { RingStorage } from "/static/ring-storage.js";
import { eq, near } from "./check.js";

// Frame k carries value(k), its right channel the negative: a sequence any gap, repeat or reordering breaks.
const value = (k) => 1 + (k % 30000);
const frames = (from, n, ch) => Int16Array.from({ length: n * ch }, (_, i) => (i % ch ? -1 : 1) * value(from + Math.floor(i / ch)));
function storage(rate, ringSeconds = 20, backlogBytes = Infinity) {
  const store = Object.assign(new RingStorage(rate), { ringSeconds, backlogBytes });
  store.restart(rate);
  return store;
}

// Read in blocks until dry: the left side's samples (int16 scale), the right checked to mirror them.
function drain(store, mirror, got = []) {
  for (let n = 128; n === 128; ) {
    const [L, R] = [new Float32Array(128), new Float32Array(128)];
    n = store.read(L, R);
    if (L.some((v, i) => (i < n ? R[i] !== mirror * v : v || R[i]))) throw new Error(`block at ${got.length}: ${L} / ${R}`);
    got.push(...L.subarray(0, n).map((v) => v * 32768));
  }
  return got;
}

export const cases = {
  "whatever the chunks, blocks and ring size: every frame once, in order; past the backlog cap whole arrays refused"() {
    for (let [ch, seed, cap] of [[1, 1, Infinity], [2, 2, Infinity], [1, 3, 24000], [2, 4, 24000]]) {
      const next = () => (seed = (seed * 16807) % 2147483647) / 2147483647; // a seeded generator in [0, 1)
      const [store, kept] = [storage(8000, 1, cap), []]; // a ring of 1 s: most of it waits in the backlog
      let [written, read] = [0, 0];
      while (written < 40000 || store.heldFrames) {
        if (written < 40000 && next() < 0.6) {
          const n = 1 + Math.floor(next() * 3000);
          if (store.put(frames(written, n, ch), 8000, ch)) kept.push(...frames(written, n, 1));
          else eq(store.backlogSize + n * ch * 2 > cap, true, "refused with room");
          written += n;
        } else {
          const L = new Float32Array([128, 1, 333][Math.floor(next() * 3)]);
          const n = store.read(L, null);
          for (let i = 0; i < n; i++, read++) if (L[i] * 32768 !== kept[read]) throw new Error(`frame ${read}: ${L[i] * 32768}`);
        }
        eq([store.heldFrames, store.framesWritten + store.backlogFrames, store.framesPlayed], [kept.length - read, kept.length, read]);
        [[store.heldSeconds(), kept.length - read], [store.playedSeconds(), read]].forEach(([g, w]) => near(g, w / 8000, 1e-9, "s"));
      }
      eq(cap === Infinity ? kept.length === written : kept.length < written, true, "refusals");
    }
  },

  "another rate is resampled linearly, its last frame held in full; a rate change applies at its frame"() {
    for (const [ch, together] of [[1, false], [2, true]]) {
      const [store, mirror] = [storage(48000, 1), ch === 2 ? -1 : 1]; // the ring grows for 48 kHz (with frames unread)
      store.put(frames(0, 50000, ch), 16000, ch); // an earlier stream: what follows lies past the first ring's end
      drain(store, mirror);
      store.restart(16000);
      store.put(frames(0, 100, ch), 16000, ch);
      near(store.heldSeconds(), 100 / 16000, 1e-12, "held");
      if (together) store.put(frames(100, 96, ch), 48000, ch);
      const out = drain(store, mirror);
      if (!together) store.put(frames(100, 96, ch), 48000, ch); // once the first part has run dry
      eq(drain(store, mirror, out).length, 396, "frames out"); // 3 a frame at 16 kHz, the last held when nothing follows
      out.forEach((v, m) => near(v, m >= 300 ? value(m - 200) : together ? 1 + m / 3 : Math.min(100, 1 + m / 3), 1e-3, `frame ${m}`));
      near(store.playedSeconds(), 100 / 16000 + 96 / 48000, 1e-12, "played");
    }
  },
};
