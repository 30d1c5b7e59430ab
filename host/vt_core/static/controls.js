// Controls: the player's view (label, visualiser canvas, play button, time,
// seek and volume sliders, status) and the user's actions on it.
//
// It reads the player's state and calls its commands (play, pause, seek,
// setVolume); it holds no playback state of its own.
//
// Keyboard, anywhere in the player: space or k plays and pauses, left and
// right seek by 5 s, up and down change the volume by 5 %, Home and End go to
// the start and the end (the volume slider keeps its own arrows). A click or
// a drag on a file's whole waveform seeks.

import { engine } from "./audio-engine.js";
import { cssSize, el, fmtTime } from "./util.js";

const SEEK_STEP = 5; // seconds per arrow key
const VOLUME_STEP = 0.05;
const DIRECT_NOTE = "No visualiser for this source: its server does not allow cross-origin reads";
const OUTSIDE_NOTE = "No live visualiser for files in this browser (they play outside Web Audio)";

export class Controls {
  /** @param player  the WebAudioPlayer this view belongs to */
  constructor(player, root) {
    this.player = player;
    this.root = root;
    this.ui = null;
    this.vizType = "waveform";
    this.vizColor = "#1976D2";
    this.listeners = null; // AbortController of the view's listeners
  }

  /** The canvas of the visualiser when it is shown, else null. */
  get canvas() {
    return this.ui && !this.ui.canvas.hidden ? this.ui.canvas : null;
  }

  /** Show options (visible, minimal, block, width, label, showWave, visualizer*). */
  render(o) {
    const visible = o.visible !== false && o.visible !== 0;
    this.root.classList.toggle("vt-invisible", !visible);
    if (!visible) {
      // no UI at all; playback goes on in the background
      if (this.ui) this.destroy();
      return;
    }
    if (!this.ui) this.build();
    const ui = this.ui;
    const minimal = o.minimal !== false && o.minimal !== 0;
    ui.box.classList.toggle("vt-minimal", minimal);
    ui.box.classList.toggle("vt-full", !minimal);
    ui.box.classList.toggle("vt-block", !!o.block);
    const width = cssSize(o.width);
    ui.box.style.width = width;
    this.root.classList.toggle("vt-block", !!o.block || !!width);
    const label = o.label === undefined || o.label === null ? "" : String(o.label);
    ui.label.textContent = label;
    ui.label.hidden = !label;
    ui.box.setAttribute("aria-label", label || "audio player");
    const showWave = !!o.showWave;
    ui.canvas.hidden = !showWave;
    ui.vizBox.hidden = !showWave;
    this.vizType = o.visualizerType === "spectrum" ? "spectrum" : "waveform";
    this.vizColor = typeof o.visualizerColor === "string" && o.visualizerColor ? o.visualizerColor : "#1976D2";
    ui.box.style.setProperty("--vt-accent", this.vizColor);
    ui.canvas.dataset.type = this.vizType;
    this.renderState();
    this.renderTime();
  }

  /** The note over the visualiser when it cannot show this source. */
  renderNote() {
    const ui = this.ui;
    if (!ui) return;
    const p = this.player;
    const direct = p.file.mode === "direct" && !!p.src && !p.stream.active && !p.waveSeekable();
    ui.note.textContent = !direct ? "" : p.file.readable ? OUTSIDE_NOTE : DIRECT_NOTE;
    ui.note.hidden = !direct;
  }

  build() {
    const player = this.player;
    const box = el("div", "vt-player");
    box.dataset.cid = player.cid;
    box.setAttribute("role", "group");
    box.tabIndex = 0;
    const label = el("div", "vt-label");
    const vizBox = el("div", "vt-viz-box");
    const canvas = el("canvas", "vt-viz", { "aria-hidden": "true" });
    canvas.height = 64;
    canvas.width = 300;
    const note = el("div", "vt-viz-note");
    note.hidden = true;
    vizBox.append(canvas, note);
    const bar = el("div", "vt-bar");
    const playBtn = el("button", "vt-play", { type: "button", "aria-label": "Play" });
    const time = el("span", "vt-time");
    const seek = el("input", "vt-seek", { type: "range", min: "0", max: "1000", value: "0", step: "1", "aria-label": "Seek" });
    const volume = el("input", "vt-volume", { type: "range", min: "0", max: "1", step: "0.01", "aria-label": "Volume" });
    const status = el("span", "vt-status");
    bar.append(playBtn, time, seek, volume, status);
    box.append(label, vizBox, bar);
    this.root.replaceChildren(box);

    const ctl = new AbortController();
    this.listeners = ctl;
    const on = (target, type, fn) => target.addEventListener(type, fn, { signal: ctl.signal });
    on(playBtn, "click", () => {
      engine.unlock();
      player.toggle();
    });
    let seeking = false;
    on(seek, "input", () => {
      seeking = true;
    });
    on(seek, "change", () => {
      seeking = false;
      const d = player.file.duration;
      if (Number.isFinite(d) && d > 0) player.seek((Number(seek.value) / 1000) * d);
    });
    on(volume, "input", () => player.setVolume(Number(volume.value)));
    on(box, "keydown", (e) => this.onKey(e));
    // click or drag on a file's waveform: seek there
    let dragging = false;
    const seekAt = (e) => {
      const r = canvas.getBoundingClientRect();
      if (r.width > 0) player.seekFraction((e.clientX - r.left) / r.width);
    };
    on(canvas, "pointerdown", (e) => {
      if (!player.waveSeekable() || e.button !== 0) return;
      dragging = true;
      canvas.setPointerCapture(e.pointerId);
      seekAt(e);
      e.preventDefault();
    });
    on(canvas, "pointermove", (e) => {
      if (dragging) seekAt(e);
    });
    const stop = (e) => {
      if (!dragging) return;
      dragging = false;
      if (canvas.hasPointerCapture(e.pointerId)) canvas.releasePointerCapture(e.pointerId);
    };
    on(canvas, "pointerup", stop);
    on(canvas, "pointercancel", stop);
    this.ui = { box, label, vizBox, canvas, note, bar, playBtn, time, seek, volume, status, isSeeking: () => seeking };
    this.showVolume(player.volume === undefined ? 1 : player.volume);
  }

  onKey(e) {
    if (e.defaultPrevented || e.altKey || e.ctrlKey || e.metaKey) return;
    const ui = this.ui;
    const p = this.player;
    const onVolume = e.target === ui.volume;
    switch (e.key) {
      case " ":
      case "k":
      case "K":
        if (e.target === ui.playBtn && e.key === " ") return; // the button's own click
        engine.unlock();
        p.toggle();
        break;
      case "ArrowLeft":
      case "ArrowRight":
        if (onVolume) return;
        p.seekBy(e.key === "ArrowLeft" ? -SEEK_STEP : SEEK_STEP);
        break;
      case "ArrowUp":
      case "ArrowDown":
        if (onVolume) return;
        p.setVolume(Math.min(1, Math.max(0, (p.volume === undefined ? 1 : p.volume) + (e.key === "ArrowUp" ? VOLUME_STEP : -VOLUME_STEP))));
        break;
      case "Home":
      case "End":
        if (onVolume) return;
        p.seekFraction(e.key === "Home" ? 0 : 1);
        break;
      default:
        return;
    }
    e.preventDefault();
  }

  showVolume(v) {
    if (!this.ui) return;
    const shown = Math.min(1, v);
    this.ui.volume.value = String(shown);
    this.ui.volume.setAttribute("aria-valuetext", `${Math.round(shown * 100)} %`);
  }

  renderState() {
    const ui = this.ui;
    if (!ui) return;
    const p = this.player;
    const stream = p.stream;
    const playing = p.isPlaying();
    ui.playBtn.textContent = playing ? "❚❚" : "▶";
    ui.playBtn.setAttribute("aria-label", playing ? "Pause" : "Play");
    ui.box.classList.toggle("vt-playing", playing);
    ui.box.classList.toggle("vt-streaming", stream.active);
    ui.seek.disabled = stream.active || !p.src;
    ui.canvas.classList.toggle("vt-seekable", p.waveSeekable());
    ui.playBtn.disabled = !p.src && !stream.active;
    ui.box.classList.toggle("vt-error", !!p.lastError);
    ui.status.title = p.lastError;
    ui.status.textContent = p.lastError ? "error" : stream.active ? (stream.source === "pull" ? "stream" : "live") : "";
    this.renderNote();
  }

  renderTime() {
    const ui = this.ui;
    if (!ui) return;
    const p = this.player;
    if (p.stream.active) {
      const text = fmtTime(p.currentTime());
      if (ui.time.textContent !== text) {
        ui.time.textContent = text;
        ui.seek.setAttribute("aria-valuetext", `${text} (live)`);
      }
      ui.seek.value = "0";
      return;
    }
    if (!p.src && p.streamPlayed !== null) {
      // a stream player after its stream: the seconds the stream played
      const text = fmtTime(p.streamPlayed);
      ui.time.textContent = text;
      ui.seek.setAttribute("aria-valuetext", `${text} played`);
      ui.seek.value = "0";
      return;
    }
    const t = p.file.currentTime;
    const d = p.file.duration;
    const total = fmtTime(Number.isFinite(d) ? d : 0);
    ui.time.textContent = `${fmtTime(t)} / ${total}`;
    ui.seek.setAttribute("aria-valuetext", `${fmtTime(t)} of ${total}`);
    if (!ui.isSeeking()) ui.seek.value = Number.isFinite(d) && d > 0 ? String(Math.round((t / d) * 1000)) : "0";
  }

  destroy() {
    if (this.listeners) this.listeners.abort();
    this.listeners = null;
    this.root.replaceChildren();
    this.ui = null;
  }
}
