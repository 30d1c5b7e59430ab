// Controls: the player's view (label, visualiser canvas, play button, time,
// seek and volume sliders, status) and the user's actions on it.
//
// It reads the player's state and calls its commands (play, pause, seek,
// setVolume); it holds no playback state of its own.

import { engine } from "./audio-engine.js";
import { cssSize, el, fmtTime } from "./util.js";

export class Controls {
  /** @param player  the WebAudioPlayer this view belongs to */
  constructor(player, root) {
    this.player = player;
    this.root = root;
    this.ui = null;
    this.vizType = "waveform";
    this.vizColor = "#1976D2";
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
      if (this.ui) {
        this.root.replaceChildren();
        this.ui = null;
      }
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
    this.vizType = o.visualizerType === "spectrum" ? "spectrum" : "waveform";
    this.vizColor = typeof o.visualizerColor === "string" && o.visualizerColor ? o.visualizerColor : "#1976D2";
    ui.box.style.setProperty("--vt-accent", this.vizColor);
    ui.canvas.dataset.type = this.vizType;
    this.renderState();
    this.renderTime();
  }

  build() {
    const player = this.player;
    const box = el("div", "vt-player");
    box.dataset.cid = player.cid;
    const label = el("div", "vt-label");
    const canvas = el("canvas", "vt-viz");
    canvas.height = 64;
    canvas.width = 300;
    const bar = el("div", "vt-bar");
    const playBtn = el("button", "vt-play", { type: "button", "aria-label": "Play" });
    const time = el("span", "vt-time");
    const seek = el("input", "vt-seek", { type: "range", min: "0", max: "1000", value: "0", step: "1", "aria-label": "Seek" });
    const volume = el("input", "vt-volume", { type: "range", min: "0", max: "1", step: "0.01", "aria-label": "Volume" });
    volume.value = String(Math.min(1, player.volume === undefined ? 1 : player.volume));
    const status = el("span", "vt-status");
    bar.append(playBtn, time, seek, volume, status);
    box.append(label, canvas, bar);
    this.root.replaceChildren(box);

    playBtn.addEventListener("click", () => {
      engine.unlock();
      if (player.isPlaying()) player.pause();
      else player.play();
    });
    let seeking = false;
    seek.addEventListener("input", () => {
      seeking = true;
    });
    seek.addEventListener("change", () => {
      seeking = false;
      const d = player.file.duration;
      if (Number.isFinite(d) && d > 0) player.seek((Number(seek.value) / 1000) * d);
    });
    volume.addEventListener("input", () => player.setVolume(Number(volume.value)));
    this.ui = { box, label, canvas, bar, playBtn, time, seek, volume, status, isSeeking: () => seeking };
  }

  showVolume(v) {
    if (this.ui) this.ui.volume.value = String(Math.min(1, v));
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
    ui.playBtn.disabled = !p.src && !stream.active;
    ui.box.classList.toggle("vt-error", !!p.lastError);
    ui.status.title = p.lastError;
    ui.status.textContent = p.lastError ? "error" : stream.active ? (stream.source === "pull" ? "stream" : "live") : "";
  }

  renderTime() {
    const ui = this.ui;
    if (!ui) return;
    const p = this.player;
    if (p.stream.active) {
      ui.time.textContent = fmtTime(p.currentTime());
      ui.seek.value = "0";
      return;
    }
    const t = p.file.currentTime;
    const d = p.file.duration;
    ui.time.textContent = `${fmtTime(t)} / ${fmtTime(Number.isFinite(d) ? d : 0)}`;
    if (!ui.isSeeking()) ui.seek.value = Number.isFinite(d) && d > 0 ? String(Math.round((t / d) * 1000)) : "0";
  }

  destroy() {
    this.root.replaceChildren();
    this.ui = null;
  }
}
