// File playback: the <audio> element that plays a player's file or URL source.
//
// The owner passes a host {emit(event, payload), changed(), timeChanged()}:
// emit sends a player event to Python, changed() redraws the play state,
// timeChanged() the time display.

import { engine } from "./audio-engine.js";
import { errorText } from "./util.js";

const MEDIA_ERRORS = {
  1: "playback aborted",
  2: "network error while loading the audio",
  3: "the audio could not be decoded",
  4: "the audio source is not supported or could not be loaded",
};

export class FilePlayback {
  constructor(host) {
    this.host = host;
    this.src = "";
    this.audio = new Audio();
    this.audio.preload = "auto";
    this.wantPlay = false; // play() waits for the context / for a gesture
    this.bind();
  }

  /** Load src ("" clears); with resume, go on playing if it was playing. */
  load(src, resume) {
    this.src = src;
    const wasPlaying = resume && !this.audio.paused;
    if (src) {
      this.audio.src = src;
      this.audio.load();
      if (wasPlaying || (resume && this.wantPlay)) this.play();
    } else {
      this.wantPlay = false;
      this.audio.removeAttribute("src");
      this.audio.load();
    }
  }

  play() {
    if (!this.src) return;
    this.wantPlay = true;
    const start = () => {
      if (!this.wantPlay) return;
      const p = this.audio.play();
      if (p && p.catch) {
        p.catch((err) => {
          if (err && err.name === "NotAllowedError") {
            engine.showUnlock();
            engine.waiters.add(start);
          } else if (err && err.name !== "AbortError") {
            this.host.emit("web-audio-error", { error: errorText(err) });
          }
        });
      }
    };
    engine.whenRunning(start);
  }

  pause() {
    this.wantPlay = false;
    this.audio.pause();
  }

  /** Stop a playing file and go back to its start. */
  stop() {
    if (this.audio.paused) return;
    this.wantPlay = false;
    this.audio.pause();
    this.audio.currentTime = 0;
  }

  seek(s) {
    const d = this.audio.duration;
    this.audio.currentTime = Math.max(0, Number.isFinite(d) ? Math.min(s, d) : s);
  }

  get playing() {
    return !this.audio.paused || this.wantPlay;
  }

  get currentTime() {
    return this.audio.currentTime || 0;
  }

  get duration() {
    return this.audio.duration;
  }

  info() {
    const a = this.audio;
    return { src: this.src, paused: a.paused, ended: a.ended, currentTime: a.currentTime, duration: a.duration };
  }

  bind() {
    const a = this.audio;
    a.addEventListener("play", () => {
      this.host.emit("web-audio-play", { currentTime: a.currentTime });
      this.host.changed();
    });
    a.addEventListener("pause", () => {
      this.host.changed();
      if (a.ended) return; // the end of playback is reported as "ended" alone
      this.host.emit("web-audio-pause", { currentTime: a.currentTime });
    });
    a.addEventListener("ended", () => {
      this.wantPlay = false;
      this.host.emit("web-audio-ended", { currentTime: a.currentTime, duration: a.duration });
      this.host.changed();
    });
    a.addEventListener("error", () => {
      if (!this.src) return; // clearing the source is not an error
      const e = a.error;
      const text = (e && (e.message || MEDIA_ERRORS[e.code])) || "the audio could not be played";
      this.host.emit("web-audio-error", { error: `${text} (${this.src})` });
      this.host.changed();
    });
    for (const ev of ["timeupdate", "durationchange", "loadedmetadata", "seeked"]) {
      a.addEventListener(ev, () => this.host.timeChanged());
    }
  }

  destroy() {
    this.wantPlay = false;
    this.audio.pause();
    this.audio.removeAttribute("src");
    try {
      this.audio.load();
    } catch (_) {
      /* ignore */
    }
  }
}
