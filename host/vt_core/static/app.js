// The page: one WebSocket to the host, the components it mounts, and the
// routing of actions and audio frames to the players (see docs/PROTOCOL.md).
//
// Test hooks: window.vtPlayers maps a component id to its player (each has an
// async stats()); window.vtReady is true once the socket is open and the
// component list has been mounted.

import { Backoff, Liveness, link } from "./stream-link.js";
import { engine, WebAudioPlayer } from "./web_audio.js";

// The page's own id: a page the host dropped for falling behind is known
// again when it reconnects, and told how much pushed audio it lost meanwhile.
const PAGE_ID = Array.from(crypto.getRandomValues(new Uint8Array(12)), (b) => b.toString(16).padStart(2, "0")).join("");
const WS_URL = `${location.protocol === "https:" ? "wss" : "ws"}://${location.host}/vt/ws?page=${PAGE_ID}`;
const SESSION_KEY = "vt-session"; // this tab's session (see public/recover.js)
const OUTBOX_MAX = 256; // events kept while the socket is down
const CONNECT_MS = 3000; // a connection attempt not open by then is given up
const BEAT = '{"type":"beat"}'; // the host's beat (its exact text): the link is alive

const root = document.getElementById("vt-root") || document.body;
const statusEl = document.getElementById("vt-connection");

const components = new Map(); // cid -> {kind, el, player?}
const players = {}; // cid -> WebAudioPlayer
window.vtPlayers = players;
window.vtReady = false;
window.vtDrops = []; // the host's "dropped" and "lost" notices (how much pushed audio was lost)

let ws = null;
const backoff = new Backoff();
// a link silent for a few seconds is dead: closed here and made again (stream-link.js)
const liveness = new Liveness({ now: () => performance.now(), setInterval: (f, ms) => setInterval(f, ms),
  clearInterval: (id) => clearInterval(id) }, () => dropLink());
let outbox = [];
let streamTarget = null; // where binary frames go: the host says (its "stream" frames)
let lastMeta = null; // the last "audio_metadata": format of the frames that follow
let audioReady = false;
let pending = []; // frames received before the audio engine was ready
let mountWidget = null; // the small page widgets (widgets.js), when present
let lostNote = ""; // shown beside the connection state after the host dropped this page
let receivedBytes = 0; // binary (audio) bytes received on the last connection that opened
// {cid, volume} while the frame handled last was an update that set that player's volume
let volumeJustSet = null;

function setStatus(text, cls) {
  if (!statusEl) return;
  statusEl.textContent = text;
  statusEl.className = `vt-connection ${cls}`;
}

// -- outgoing events ---------------------------------------------------------

function sendEvent(id, event, payload) {
  animate(); // a player changed state: its view may need frames
  const frame = JSON.stringify({ type: "event", id, event, payload: payload || {} });
  if (ws && ws.readyState === WebSocket.OPEN) ws.send(frame);
  else {
    outbox.push(frame);
    if (outbox.length > OUTBOX_MAX) outbox.shift();
  }
}

// -- components --------------------------------------------------------------

function mount(cid, kind, content) {
  if (components.has(cid)) {
    update(cid, content);
    return;
  }
  const host = document.createElement("div");
  host.className = "vt-component";
  host.dataset.cid = cid;
  host.dataset.kind = kind;
  root.appendChild(host);
  const entry = { kind, el: host, player: null, widget: null };
  components.set(cid, entry);
  const emit = (event, payload) => sendEvent(cid, event, payload);
  if (kind === "web_audio") {
    entry.player = new WebAudioPlayer(cid, content, host, emit);
    players[cid] = entry.player;
  } else if (mountWidget && (entry.widget = mountWidget(kind, content, host, emit))) {
    // a page widget
  } else {
    host.classList.add("vt-unknown");
    host.textContent = `(no view for components of kind "${kind}")`;
  }
}

function unmount(cid) {
  const entry = components.get(cid);
  if (!entry) return;
  if (entry.player) entry.player.destroy();
  if (entry.widget) entry.widget.destroy();
  entry.el.remove();
  components.delete(cid);
  delete players[cid];
}

/** Returns the volume the update set on a player (else null). */
function update(cid, content) {
  const entry = components.get(cid);
  if (entry && entry.player) return entry.player.update(content);
  if (entry && entry.widget) entry.widget.update(content);
  return null;
}

// The component list sent on (re)connection: keep the players that are still
// there (and their state), drop the rest, add the new ones in order.
function reconcile(list) {
  const ids = new Set(list.map((c) => c.id));
  for (const cid of [...components.keys()]) if (!ids.has(cid)) unmount(cid);
  for (const c of list) mount(c.id, c.kind, c.content);
  for (const c of list) {
    const entry = components.get(c.id);
    if (entry) root.appendChild(entry.el); // registration order
  }
}

// -- routing -----------------------------------------------------------------

// Binary frames carry no component id: they go to the stream target the host
// named last (it decides; the page follows).
function streamPlayer() {
  return (streamTarget && players[streamTarget]) || null;
}

/** The player whose open push stream is `id` (the host names it; the target may have been reset meanwhile). */
function playerOf(id) {
  return Object.values(players).find((p) => p.stream.pos && p.stream.pos.id === id) || null;
}

/** @param previous  what the frame handled before this one did ({cid, volume}: set a volume), or null */
function callMethod(data, previous) {
  const cid = data.cid;
  const player = players[cid];
  if (data.action === "start_stream") {
    if (player) player.startStream(data);
    else console.warn(`[vt] start_stream for unknown component ${cid}`);
    return;
  }
  const method = data.method;
  if (!player) {
    console.warn(`[vt] ${method} for unknown component ${cid}`);
    return;
  }
  switch (method) {
    case "play":
      player.play();
      break;
    case "pause":
      player.pause();
      break;
    case "reload":
      player.reload();
      break;
    case "close_stream":
      player.closeStream();
      break;
    case "seek":
      player.seek(data.seconds);
      break;
    case "setVolume":
      // Setting the volume in Python publishes the options and then sends this
      // command with the same value: one change in two frames, and the update
      // has applied it already. A key or slider move the page handled between
      // the two frames came later and stands.
      if (previous && previous.cid === cid && previous.volume === Number(data.volume)) break;
      player.setVolume(data.volume);
      break;
    default:
      console.warn(`[vt] unknown player method ${JSON.stringify(method)}`);
  }
}

function onText(text, previous) {
  let msg;
  try {
    msg = JSON.parse(text);
  } catch (err) {
    console.warn("[vt] ignored a frame that is not JSON", err);
    return;
  }
  switch (msg.type) {
    case "components":
      streamTarget = null; // until the host's "stream" frame that follows names one
      reconcile(Array.isArray(msg.components) ? msg.components : []);
      window.vtReady = true;
      document.documentElement.dataset.vtReady = "1";
      break;
    case "add":
      mount(msg.id, msg.kind, msg.content);
      break;
    case "remove":
      unmount(msg.id);
      break;
    case "update": {
      const volume = update(msg.id, msg.content);
      if (volume !== null && volume !== undefined) volumeJustSet = { cid: msg.id, volume };
      break;
    }
    case "message": {
      const data = msg.data && typeof msg.data === "object" ? msg.data : {};
      if (msg.action === "call_method") callMethod(data, previous);
      else if (msg.action === "audio_metadata") lastMeta = { sample_rate: data.sample_rate, channels: data.channels };
      else console.debug("[vt] unhandled action", msg.action);
      break;
    }
    case "stream": {
      // on connection, whenever the target moves, before a new push stream's
      // first frame and on a resume: where binary frames go, their format,
      // the push stream they belong to and the position of the next one
      streamTarget = typeof msg.target === "string" ? msg.target : null;
      if (msg.metadata) lastMeta = { sample_rate: msg.metadata.sample_rate, channels: msg.metadata.channels };
      const player = streamPlayer();
      if (player) player.stream.announce(msg.stream, msg.at);
      break;
    }
    case "gap": // what the host could not resend of a push stream after the link broke
    case "state": { // the host's answer about a push stream (whether it is over, whether it knows it)
      const player = playerOf(msg.stream);
      if (player && msg.type === "gap") player.stream.gap(msg);
      else if (player) player.stream.onState(msg);
      break;
    }
    case "dropped": // the host dropped this page: its link is slower than what was pushed
    case "lost": {
      // "dropped" comes after all the host had written to the socket and says
      // what is lost so far; "lost", when the page is back, the whole of it.
      const lost = typeof msg.lostSeconds === "number" && msg.lostSeconds > 0
        ? `${msg.lostSeconds.toFixed(2)} s of audio lost` : "";
      console.warn(`[vt] ${msg.type === "lost" ? "back after being dropped" : "the host dropped this page"}:`,
        msg.reason, lost);
      window.vtDrops.push(msg);
      lostNote = `connection too slow${lost ? `: ${lost}` : ""}`;
      if (msg.type === "lost") setStatus(`connected (${lostNote})`, "vt-on");
      else setStatus(`${lostNote}; reconnecting…`, "vt-off");
      break;
    }
    default:
      console.debug("[vt] unhandled frame type", msg.type);
  }
}

function onBinary(buffer) {
  const player = streamPlayer();
  if (player) player.pushPcm(buffer, lastMeta);
}

function handle(data) {
  const previous = volumeJustSet;
  volumeJustSet = null;
  try {
    if (typeof data === "string") onText(data, previous);
    else onBinary(data);
  } catch (err) {
    console.error("[vt] error while handling a frame", err);
  }
}

function onFrame(data) {
  animate();
  if (!audioReady || pending.length) pending.push(data);
  else handle(data);
}

// Frames wait for the audio engine and the widget module (optional: the
// players work without it).
const widgetsLoaded = import("./widgets.js").then(
  (m) => {
    mountWidget = m.mountWidget;
  },
  (err) => console.warn("[vt] page widgets unavailable:", err),
);

Promise.allSettled([engine.ready, widgetsLoaded]).then(() => {
  audioReady = true;
  const queued = pending;
  pending = [];
  for (const d of queued) handle(d);
});

// -- connection --------------------------------------------------------------

// The page keeps its session for this tab: a cookie that another server of this host name set
// over ours (any port may, over plain HTTP) then costs a reconnection, not the page.
fetch("/vt/session", { headers: { "X-VT-Page": "1" } })
  .then((r) => (r.ok ? r.json() : null))
  .then((answer) => {
    if (answer && typeof answer.session === "string") sessionStorage.setItem(SESSION_KEY, answer.session);
    sessionStorage.removeItem(`${SESSION_KEY}-retried`);
  })
  .catch(() => {});

/** After a connection that never opened: set the kept session as the cookie again. */
async function restoreSession() {
  const session = sessionStorage.getItem(SESSION_KEY);
  if (!session) return;
  try {
    // answered by a 303 that sets it; a 403 once it was revoked (then the printed URL lets the page in)
    const r = await fetch(`/?session=${encodeURIComponent(session)}`, { redirect: "manual" });
    if (r.status === 403) sessionStorage.removeItem(SESSION_KEY);
  } catch (err) {
    console.debug("[vt] could not restore the session", err);
  }
}

// The socket is gone (closed, or silent for too long): make it again, with backoff.
function linkLost(opened) {
  ws = null;
  link.send = null;
  liveness.closed();
  window.vtReady = false;
  delete document.documentElement.dataset.vtReady;
  const wait = backoff.next();
  setStatus("reconnecting…", "vt-off");
  if (opened) setTimeout(connect, wait);
  else restoreSession().finally(() => setTimeout(connect, wait)); // refused: perhaps for a cookie not ours
}

// A link silent for too long (stream-link.js Liveness): given up at once, its
// close handshake left to the browser (a dead link may never answer it).
function dropLink() {
  const sock = ws;
  if (!sock) return;
  console.warn("[vt] the link to the host is silent: reconnecting");
  ws = null;
  try {
    sock.close();
  } catch {
    /* already closing */
  }
  linkLost(true);
}

function connect() {
  setStatus("connecting…", "vt-off");
  // says how much audio came on the last connection (a page the host dropped
  // is then told exactly how much it lost) and the push stream it plays, with
  // the frames it has of it (the host resumes it from there)
  const player = streamPlayer();
  const sock = new WebSocket(`${WS_URL}&received=${receivedBytes}${player ? player.stream.resumeQuery() : ""}`);
  sock.binaryType = "arraybuffer";
  ws = sock;
  let opened = false;
  // an attempt on a dead link may hang for minutes: given up after CONNECT_MS (and tried again)
  const attempt = setTimeout(() => {
    if (opened || ws !== sock) return;
    ws = null;
    sock.close();
    linkLost(true);
  }, CONNECT_MS);
  sock.onopen = () => {
    clearTimeout(attempt);
    opened = true;
    receivedBytes = 0; // (attempts that never opened leave the last count as it was)
    backoff.reset();
    liveness.opened();
    link.send = (obj) => sock.send(JSON.stringify(obj));
    for (const p of Object.values(players)) p.stream.relinked(); // a dry stream asks again
    setStatus(lostNote ? `connected (${lostNote})` : "connected", "vt-on");
    const queued = outbox;
    outbox = [];
    for (const f of queued) sock.send(f);
  };
  sock.onmessage = (e) => {
    if (ws !== sock) return; // a link given up as dead
    liveness.heard();
    if (e.data === BEAT) return; // the link is alive: nothing to draw or handle
    if (typeof e.data !== "string") receivedBytes += e.data.byteLength;
    onFrame(e.data);
  };
  sock.onclose = () => {
    if (ws !== sock) return;
    linkLost(opened);
  };
  sock.onerror = () => {
    /* onclose follows */
  };
}

// -- animation: time displays and visualisers ---------------------------------
//
// Frames run while a player plays and for a short tail after (the visualiser
// settles on a flat line), then stop: an idle page costs no frames. Anything
// that can start playback (a frame from the host, an event of a player, a
// click or key in the page) starts them again.

const TAIL_FRAMES = 30;
let framesLeft = 0;
let frameScheduled = false;

function animate() {
  framesLeft = TAIL_FRAMES;
  if (!frameScheduled) {
    frameScheduled = true;
    requestAnimationFrame(frame);
  }
}

function frame() {
  let busy = false;
  for (const p of Object.values(players)) {
    try {
      p.tick();
      if (p.isPlaying()) busy = true;
    } catch (err) {
      console.error("[vt] player frame failed", err);
    }
  }
  if (busy) framesLeft = TAIL_FRAMES;
  frameScheduled = busy || --framesLeft > 0;
  if (frameScheduled) requestAnimationFrame(frame);
}

for (const type of ["pointerdown", "keydown"]) window.addEventListener(type, animate, true);
animate();
connect();
