// Whether this browser plays a media element routed through Web Audio
// (createMediaElementSource) in step with its output.
//
// Some engines run such an element's clock about a second ahead of what is
// heard: it fires "ended" that long before the sound has played out, and a
// later play of it may stall for good. A bare element plays in step there.
// The page asks once, by behaviour rather than by the browser's name: a
// muted element playing two seconds of silence through the graph (into a
// gain of 0) should have moved on by about the time it has played since its
// "playing" event; one that is far ahead (or has ended already) is out of
// step. Muted playback needs no user gesture; a browser
// that refuses it anyway (or never answers) leaves the answer at "in step",
// the graph being the route that keeps everything (gain, analyser).
//
// checkRouting(ctx, pair) resolves with {inStep, aheadSeconds}; pair is
// {element, node} (a MediaElementAudioSourceNode of ctx and its element),
// left disconnected and emptied for its owner to reuse.

const PROBE_RATE = 8000;
const PROBE_SECONDS = 2;
const LOOK_AFTER_MS = 250; // how long after "playing" the element's clock is read
const AHEAD_LIMIT_SECONDS = 0.4; // further ahead of the time it has played: out of step
const GIVE_UP_MS = 3000;

export async function checkRouting(ctx, pair) {
  const { element: a, node } = pair;
  const url = URL.createObjectURL(new Blob([silentWav(PROBE_RATE, PROBE_SECONDS)], { type: "audio/wav" }));
  const mute = ctx.createGain();
  mute.gain.value = 0;
  node.connect(mute);
  mute.connect(ctx.destination);
  a.muted = true;
  a.src = url;
  let timer = null;
  try {
    const ahead = await new Promise((resolve) => {
      timer = setTimeout(() => resolve(null), GIVE_UP_MS);
      let since = 0;
      const ahead = () => a.currentTime - (performance.now() - since) / 1000;
      a.addEventListener(
        "playing",
        () => {
          since = performance.now();
          setTimeout(() => resolve(ahead()), LOOK_AFTER_MS);
        },
        { once: true },
      );
      a.addEventListener("ended", () => resolve(since ? Math.max(ahead(), PROBE_SECONDS) : null), { once: true });
      const p = a.play();
      if (p && p.catch) p.catch(() => resolve(null));
    });
    return { inStep: ahead === null || ahead < AHEAD_LIMIT_SECONDS, aheadSeconds: ahead };
  } finally {
    clearTimeout(timer);
    a.pause();
    a.removeAttribute("src");
    a.load();
    a.muted = false;
    node.disconnect();
    mute.disconnect();
    URL.revokeObjectURL(url);
  }
}

// A mono 16-bit WAV file of silence.
function silentWav(rate, seconds) {
  const n = Math.round(rate * seconds);
  const v = new DataView(new ArrayBuffer(44 + 2 * n));
  const text = (at, s) => {
    for (let i = 0; i < s.length; i++) v.setUint8(at + i, s.charCodeAt(i));
  };
  text(0, "RIFF");
  v.setUint32(4, 36 + 2 * n, true);
  text(8, "WAVE");
  text(12, "fmt ");
  v.setUint32(16, 16, true);
  v.setUint16(20, 1, true); // PCM
  v.setUint16(22, 1, true); // mono
  v.setUint32(24, rate, true);
  v.setUint32(28, 2 * rate, true);
  v.setUint16(32, 2, true);
  v.setUint16(34, 16, true);
  text(36, "data");
  v.setUint32(40, 2 * n, true);
  return v.buffer;
}
