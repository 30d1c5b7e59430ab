import { RingStorage } from "/static/ring-storage.js";
import { eq, near, random } from "./check.js";

// Frame k of a test stream carries value(k), its right channel the negative: a sequence any gap, repeat or
// reordering breaks.
const value = (k) => 1 + (k % 30000);
const frames = (from, n, ch) => Int16Array.from({ length: n * ch }, (_, i) => (i % ch ? -1 : 1) * value(from + Math.floor(i / ch)));

function storage(rate, ringSeconds = 20, backlogBytes = Infinity) {
  return Object.assign(new RingStorage(rate), { ringSeconds, backlogBytes });
}

// Read in blocks of `size` until dry: the left side's samples (int16 scale); the right must mirror it.
function drain(store, mirror, size = 128) {
  const got = [];
  for (let n = size; n === size; ) {
    const [L, R] = [new Float32Array(size), new Float32Array(size)];
    n = store.read(L, R);
    if (L.some((v, i) => (i < n ? R[i] !== mirror * v : v || R[i]))) throw new Error(`block at ${got.length}: ${L} / ${R}`);
    got.push(...L.subarray(0, n).map((v) => v * 32768));
  }
  return got;
}

export const cases = {
  "whatever the chunks, blocks and ring size: every frame once, in order, accounted for"() {
    for (const [ch, seed] of [[1, 1], [2, 2], [1, 3], [2, 4]]) {
      const [next, store] = [random(seed), storage(8000, 1)]; // a ring of 1 s: most of it waits in the backlog
      store.restart(8000);
      let [written, read] = [0, 0];
      while (written < 40000 || store.heldFrames) {
        if (written < 40000 && next() < 0.6) {
          const n = 1 + Math.floor(next() * 3000);
          eq(store.put(frames(written, n, ch), 8000, ch), true, "put");
          written += n;
        } else {
          const L = new Float32Array([128, 1, 333][Math.floor(next() * 3)]);
          for (let i = 0, n = store.read(L, null); i < n; i++, read++) if (L[i] * 32768 !== value(read)) throw new Error(`frame ${read}: ${L[i] * 32768}`);
        }
        eq([store.heldFrames, store.framesWritten + store.backlogFrames, store.framesPlayed], [written - read, written, read]);
        [[store.heldSeconds(), written - read], [store.playedSeconds(), read]].forEach(([g, w]) => near(g, w / 8000, 1e-9, "seconds"));
      }
    }
  },

  "past the backlog cap whole arrays are refused; what was taken plays in order"() {
    const store = storage(8000, 1, 8000); // a ring of 8000 frames, a backlog of two arrays of 2000
    store.restart(8000);
    eq(Array.from({ length: 8 }, (_, k) => store.put(frames(2000 * k, 2000, 1), 8000, 1)), [true, true, true, true, true, true, false, false]);
    eq(drain(store, 1), Array.from({ length: 12000 }, (_, k) => value(k)));
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
      out.push(...drain(store, mirror));
      eq(out.length, 396, "frames out"); // three a frame at 16 kHz, the last one held when nothing follows it yet
      out.forEach((v, m) => near(v, m >= 300 ? value(m - 200) : together ? 1 + m / 3 : Math.min(100, 1 + m / 3), 1e-3, `frame ${m}`));
      near(store.playedSeconds(), 100 / 16000 + 96 / 48000, 1e-12, "played");
    }
  },
};
