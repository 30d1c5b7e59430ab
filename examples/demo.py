"""The web_audio demo: typed text spoken live in the browser and saved as a normalised WAV.

    make demo                 # set-up, then: python examples/demo.py
    python examples/demo.py --port 8765
    python examples/demo.py --once      # the same paths headless, then exit
    python examples/demo.py --host 0.0.0.0 --ssl-certfile cert.pem --ssl-keyfile key.pem
                                        # HTTPS, open from another machine

The page holds: a file player on a WAV generated here; live speech (espeak-ng,
or a synthetic voice-like signal when it is missing) through stream_writer(),
with a "Stop speaking" button, a mute toggle, what was heard of each utterance
("heard 2.7 s of 2.7 s", from the player's ended event) and the finished take
offered for download; a relay of the
host's own audio endpoint through stream_from_url; and the same endpoint pulled
by the browser with start_stream, by GET and by POST with params.
"""

from __future__ import annotations

import argparse
import errno
import math
import os
import sys
import tempfile
import threading
import time
import wave
from array import array
from pathlib import Path
from urllib.parse import urlencode

sys.path.insert(0, str(Path(__file__).resolve().parent))

import speech  # noqa: E402

import vt_core  # noqa: E402
from vt_core import server, widgets  # noqa: E402
from vt_core.utils import convertPath2Url  # noqa: E402

from veltrane.vt_ui.web_audio import web_audio  # noqa: E402

RELAY_RATE = 24000


def log(*parts) -> None:
    print(time.strftime("%H:%M:%S"), *parts, flush=True)


def event_printer(name: str):
    def callback(payload=None):
        log(f"event {name}: {payload}")

    return callback


def make_demo_wav(path: Path, seconds: float = 6.0, rate: int = 44100) -> None:
    """A gentle two-voice arpeggio with a fade, so the waveform has something to show."""
    notes = [261.63, 329.63, 392.0, 523.25, 392.0, 329.63]
    samples = array("h")
    n_total = int(seconds * rate)
    per_note = n_total // len(notes)
    for i in range(n_total):
        f = notes[min(i // per_note, len(notes) - 1)]
        t = i / rate
        local = (i % per_note) / per_note
        env = min(1.0, local * 20) * (1 - local) ** 0.5
        v = 0.35 * env * (math.sin(2 * math.pi * f * t) + 0.3 * math.sin(4 * math.pi * f * t))
        s = int(v * 32767)
        samples.extend((s, int(s * 0.8)))
    with wave.open(str(path), "wb") as wf:
        wf.setnchannels(2)
        wf.setsampwidth(2)
        wf.setframerate(rate)
        wf.writeframes(samples.tobytes())


def relay_source(params: dict):
    """The host's own audio endpoint: a chord whose root the caller may choose."""
    root = float(params.get("frequency", 220))
    seconds = float(params.get("seconds", 4))
    total = int(seconds * RELAY_RATE)

    def chunks():
        out = array("h")
        for n in range(total):
            t = n / RELAY_RATE
            env = min(1.0, n / 2000, (total - n) / 4000)
            v = sum(math.sin(2 * math.pi * root * k * t) / k for k in (1, 1.25, 1.5))
            s = int(9000 * env * v)
            out.extend((s, s))
            if len(out) >= 4096:
                yield out.tobytes()
                out = array("h")
                time.sleep(0.04)  # paced like a live source
        if out:
            yield out.tobytes()

    return chunks()


class Demo:
    def __init__(self, workdir: Path, base_url: str = "", token: str = "") -> None:
        """``base_url`` is the server's origin with a trailing "/"; ``token`` its secret.

        The browser pulls with the page's cookie; the relay, which is this
        process and not the page, passes the secret in the query string.
        """
        self.workdir = workdir
        self.base_url = base_url
        self.token = token
        self.lock = threading.Lock()
        self.takes = 0
        espeak = speech.espeak_path()
        widgets.html("<h1>web_audio demo</h1><p>A Web Audio player driven from Python: file playback, "
                     "live speech through <code>stream_writer()</code>, an HTTP relay and pulled streams.</p>")

        widgets.html("<h2>File player</h2>")
        wav_path = workdir / "arpeggio.wav"
        make_demo_wav(wav_path)
        self.file_player = web_audio(str(wav_path), show_wave=True, minimal=False, label="arpeggio.wav", block=True,
                                     onplay=event_printer("file play"), onpause=event_printer("file pause"),
                                     onended=event_printer("file ended"), onerror=event_printer("file error"))

        widgets.html("<h2>Live speech</h2>")
        self.engine_note = widgets.text(
            "Speech by espeak-ng." if espeak else
            "espeak-ng is not installed: a synthetic voice-like signal stands in (apt-get install espeak-ng).",
            "ok" if espeak else "warn")
        self.speech_player = web_audio(show_wave=True, minimal=False, label="speech", block=True, visualizer_type="spectrum",
                                       visualizer_color="#2e7d32")
        self.speech_player.on_stream_start(event_printer("speech stream-start"))
        self.speech_player.on_ended(self.on_speech_ended)
        self.writer = None
        self.stop_speaking = threading.Event()
        self.spoken_seconds = 0.0  # of the utterance going on (or the last one)
        self.input = widgets.text_input("Text to speak", "Type a sentence…", "Speak",
                                        "Hello! This sentence is spoken live in your browser.",
                                        on_submit=self.on_speak)
        widgets.text_input("", "", "Stop speaking", "", on_submit=lambda p: self.stop_speaking.set())
        self.heard = widgets.text("Nothing spoken yet.")
        self.mute = widgets.toggle("Mute live playback (keep recording)", False, on_change=self.on_mute)
        self.summary = widgets.text("No take yet.")
        self.download = widgets.link("Download the normalised WAV", "", True)

        widgets.html("<h2>Relay (server pulls, browser plays)</h2>")
        server.register_audio("chord", relay_source, sample_rate=RELAY_RATE, channels=2, wav_header=True)
        self.relay_player = web_audio(show_wave=True, minimal=False, label="stream_from_url", block=True, visualizer_color="#6a1b9a")
        widgets.text_input("", "", "Relay the chord", "", on_submit=lambda p: self.start_relay())

        widgets.html("<h2>Pull (browser fetches)</h2>")
        self.pull_player = web_audio(show_wave=True, minimal=False, label="start_stream", block=True,
                                     visualizer_color="#ef6c00", onerror=event_printer("pull error"))
        self.pull_player.on_stream_start(event_printer("pull stream-start"))
        widgets.text_input("", "", "Pull by GET", "", on_submit=lambda p: self.start_pull(post=False))
        widgets.text_input("", "", "Pull by POST (root 330 Hz)", "", on_submit=lambda p: self.start_pull(post=True))

    # ---- live speech ----
    def on_speak(self, payload=None) -> dict:
        text = (payload or {}).get("value") or "Hello from the demo."
        threading.Thread(target=self.speak, args=(text,), daemon=True).start()
        return {}

    def speak(self, text: str) -> dict:
        with self.lock:
            self.takes += 1
            path = self.workdir / f"take-{self.takes}.wav"
            player = self.speech_player
            player.close_stream()  # makes this player the target of the frames that follow
            self.stop_speaking.clear()
            writer = player.stream_writer()
            writer.mute = bool(self.mute.content.get("value"))
            self.writer = writer
            writer.set_output_file(str(path))
            log(f"speaking {text!r}")
            engine = speech.speak(text, writer, stop=self.stop_speaking)
            self.spoken_seconds = writer._total_pcm_bytes / 2 / (writer.channels or 1) / (writer.sample_rate or 1)
            if self.stop_speaking.is_set():
                # the writer first, so that no frame follows the close that stop() sends
                writer.stop()
                player.stop()
                log(f"stopped speaking after {self.spoken_seconds:.2f} s")
            peak_before = int(writer._max_amplitude)
            result = writer.finish()
            self.writer = None
            seconds = result["audio_bytes"] / 2 / result["channels"] / result["sample_rate"]
            with wave.open(str(path), "rb") as wf:
                frames = array("h", wf.readframes(wf.getnframes()))
            peak_after = max((abs(s) for s in frames), default=0)
            self.summary.set(text=f"{engine}: {seconds:.2f} s, {result['audio_bytes']} bytes; "
                                  f"peak {peak_before} before, {peak_after} after normalising.")
            self.download.set(href=convertPath2Url(str(path)), text=f"Download {path.name}")
            log(f"finished {result}")
            return {**result, "engine": engine, "peak_before": peak_before, "peak_after": peak_after}

    def on_speech_ended(self, payload=None) -> None:
        """The speech player's stream ended: drained (all heard) or closed (stopped, muted)."""
        log(f"event speech ended: {payload}")
        payload = payload if isinstance(payload, dict) else {}
        played = float(payload.get("played") or 0)
        if payload.get("reason") == "closed":
            self.heard.set(text=f"Stopped: heard {played:.1f} s of {self.spoken_seconds:.1f} s "
                                f"({float(payload.get('dropped') or 0):.1f} s cut off).", tone="warn")
        elif payload.get("reason") == "drained":
            self.heard.set(text=f"Heard {played:.1f} s of {self.spoken_seconds:.1f} s.", tone="ok")

    def on_mute(self, payload=None) -> None:
        value = bool((payload or {}).get("value"))
        self.mute.content["value"] = value
        if self.writer is not None:
            self.writer.mute = value
        log("mute", value)

    # ---- relay and pull ----
    def start_relay(self, wait: bool = False) -> threading.Thread:
        url = self.base_url + "vt/audio/chord" + (f"?{urlencode({'token': self.token})}" if self.token else "")
        self.relay_player.close_stream()  # route the relayed frames to this player

        def run():
            received = []
            self.relay_player.stream_from_url(url, sample_rate=RELAY_RATE, channels=2,
                                              progress_callback=received.append)
            log(f"relay done: {received[-1] if received else 0} bytes")

        t = threading.Thread(target=run, daemon=True)
        t.start()
        if wait:
            t.join()
        return t

    def start_pull(self, post: bool) -> None:
        url = self.base_url + "vt/audio/chord"
        if post:
            self.pull_player.start_stream(url, RELAY_RATE, 2, params={"frequency": 330, "seconds": 3})
        else:
            self.pull_player.start_stream(url, RELAY_RATE, 2)
        log("pull", "POST" if post else "GET", url)


def run_once(demo: Demo, srv) -> int:
    """Headless run of the same paths; counts what went out on the bus."""
    counts = {"binary": 0, "bytes": 0, "message": 0}

    def count(message):
        if message[0] == "binary":
            counts["binary"] += 1
            counts["bytes"] += len(message[1])
        elif message[0] == "message":
            counts["message"] += 1

    vt_core.bus.subscribe(count)
    result = demo.speak("The quick brown fox jumps over the lazy dog.")
    print(f"speech: engine={result['engine']} audio_bytes={result['audio_bytes']} "
          f"peak {result['peak_before']} -> {result['peak_after']} wav={result['audio_path']}")
    assert result["audio_bytes"] > 0 and os.path.getsize(result["audio_path"]) == result["audio_bytes"] + 44
    pushed, frames = counts["bytes"], counts["binary"]
    demo.start_relay(wait=True)
    print(f"relay: {counts['bytes'] - pushed} bytes relayed in {counts['binary'] - frames} frames")
    demo.start_pull(post=False)
    demo.start_pull(post=True)
    demo.file_player.play()
    demo.file_player.seek(1.5)
    demo.file_player.volume = 0.7
    print(f"messages sent: {counts['message']}; binary frames: {counts['binary']} ({counts['bytes']} bytes)")
    return 0


def _self_signed(certfile: str) -> bool:
    """Whether the certificate's issuer is its subject (made with openssl req -x509)."""
    try:
        import ssl

        decoded = ssl._ssl._test_decode_cert(certfile)  # the one reader the standard library has
    except Exception:  # noqa: BLE001 - unreadable: the server start says why
        return False
    return decoded.get("issuer") == decoded.get("subject")


def _trust_for_relay(certfile: Path, workdir: Path) -> None:
    """The relay fetches the host's own endpoint (with requests): add the certificate to what it trusts."""
    try:
        import certifi

        default = certifi.where()
    except ImportError:
        default = None
    current = os.environ.get("REQUESTS_CA_BUNDLE") or default
    bundle = workdir / "ca-bundle.pem"
    bundle.write_bytes((Path(current).read_bytes() + b"\n" if current else b"") + certfile.read_bytes())
    os.environ["REQUESTS_CA_BUNDLE"] = str(bundle)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8765, help="0 picks a free port")
    parser.add_argument("--once", action="store_true", help="run the paths headless and exit")
    parser.add_argument("--workdir", default=None, help="where generated and recorded WAV files go")
    parser.add_argument("--ssl-certfile", default=None, help="serve HTTPS with this certificate (PEM)")
    parser.add_argument("--ssl-keyfile", default=None, help="the certificate's private key (PEM)")
    args = parser.parse_args(argv)
    workdir = Path(args.workdir or tempfile.mkdtemp(prefix="web-audio-demo-"))
    workdir.mkdir(parents=True, exist_ok=True)
    tls = {"ssl_certfile": args.ssl_certfile, "ssl_keyfile": args.ssl_keyfile} if args.ssl_certfile else {}
    if args.ssl_certfile and _self_signed(args.ssl_certfile):
        _trust_for_relay(Path(args.ssl_certfile), workdir)
    try:
        srv = server.start(args.host, args.port, **tls)
    except OSError as exc:
        if exc.errno != errno.EADDRINUSE:  # e.g. a missing certificate: say so
            raise
        srv = server.start(args.host, 0, **tls)
    demo = Demo(workdir, srv.origin + "/", srv.token)
    if args.once:
        try:
            return run_once(demo, srv)
        finally:
            srv.stop()
    others = "".join(f"\n     or {url}" for url in srv.urls[1:])
    print(f"\n  web_audio demo: open {srv.url}{others}\n  (the URL carries this server's secret; files in {workdir}; "
          "Ctrl-C to stop)\n", flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass
    finally:
        srv.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
