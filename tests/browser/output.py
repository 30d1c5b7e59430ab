"""The sound card of the listening tests: a private sound server with a null sink,
an X display for headful browsers, and recordings of what reaches the sink.

A headless browser plays into nothing that can be recorded, so the listening
tests run the browsers headful on an Xvfb display, with their audio going to a
sound server of the tests' own (its socket in a temporary directory: nothing of
the machine's own sound set-up is touched).  ``parec`` records the sink's
monitor: exactly the samples the browser sent to its output.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import time
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

import numpy as np

RATE = 48000  # the sink's rate, and so the rate the browsers' contexts choose
SINK = "vt_test_out"
SILENCE = 64  # |sample| at or below this (int16) counts as silence (-54 dBFS)
HOLE_EDGE = 512  # samples next to a hole of the output that may be a partly filled block
CUT_EDGE = 32  # samples at either end of a sound where a cut rings through the output's resampler


def _die_with_parent() -> None:
    """In the child before exec: end when the test run ends, however it ends (Linux)."""
    try:
        import ctypes
        import signal

        ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except Exception:  # noqa: BLE001 - elsewhere the fixtures' teardown is all there is
        pass


class Unavailable(Exception):
    """A program the listening tests need is missing or would not start."""


def _need(program: str, package: str) -> str:
    path = shutil.which(program)
    if not path:
        raise Unavailable(f"{program} is not installed (apt-get install {package})")
    return path


class SoundServer:
    """A sound server of our own, with one null sink at 48 kHz stereo."""

    def __init__(self, root: Path) -> None:
        daemon = _need("pulseaudio", "pulseaudio")
        _need("parec", "pulseaudio-utils")
        self.root = root
        self.socket = root / "native"
        conf = root / "config" / "pulse"
        conf.mkdir(parents=True)
        # 48 kHz throughout: clients open their streams at the sink's rate and nothing resamples
        (conf / "daemon.conf").write_text(
            f"default-sample-rate = {RATE}\nalternate-sample-rate = {RATE}\n"
            "default-sample-channels = 2\nexit-idle-time = -1\nflat-volumes = no\n"
        )
        script = root / "default.pa"
        script.write_text(
            # no rewinds: after a client's underrun, a rewind over what the monitor had recorded lost its samples
            f"load-module module-null-sink sink_name={SINK} rate={RATE} channels=2 norewinds=1\n"
            # a silent source's zeros keep the sink running (an idle one records nothing at all)
            f"load-module module-null-source source_name=vt_zeros rate={RATE} channels=2\n"
            f"load-module module-loopback source=vt_zeros sink={SINK} latency_msec=100\n"
            f"load-module module-native-protocol-unix auth-anonymous=1 socket={self.socket}\n"
            f"set-default-sink {SINK}\n"
        )
        runtime = root / "runtime"
        runtime.mkdir()
        env = dict(os.environ, HOME=str(root), XDG_CONFIG_HOME=str(root / "config"),
                   PULSE_RUNTIME_PATH=str(runtime), PULSE_CONFIG=str(conf / "daemon.conf"))
        env.pop("PULSE_SERVER", None)
        self.log = open(root / "daemon.log", "wb")
        # --system=false: run as the calling user even when that is root (CI containers)
        self.proc = subprocess.Popen(
            [daemon, "--daemonize=no", "--system=false", "--exit-idle-time=-1", "--use-pid-file=no",
             "--disable-shm=yes", "-n", "-F", str(script)],
            env=env, stdout=self.log, stderr=subprocess.STDOUT, preexec_fn=_die_with_parent,
        )
        self.env = {"PULSE_SERVER": f"unix:{self.socket}"}
        deadline = time.monotonic() + 15
        while not self._answers():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise Unavailable("the sound server did not start: " + (root / "daemon.log").read_text()[-2000:])
            time.sleep(0.1)

    def _answers(self) -> bool:
        if not self.socket.exists():
            return False
        r = subprocess.run(["pactl", "list", "short", "sinks"], env=dict(os.environ, **self.env),
                           capture_output=True, text=True, timeout=10)
        return r.returncode == 0 and SINK in r.stdout

    @staticmethod
    def _tail(path: Path, quiet: float = 0.2, most: float = 1.0) -> None:
        """Let the tail reach the sink (the output's own latency): until the last `quiet` s recorded are silent."""
        start, size = time.monotonic(), int(quiet * RATE) * 4
        while (waited := time.monotonic() - start) < most:
            time.sleep(0.05)
            with open(path, "rb") as f:
                f.seek(max(0, path.stat().st_size // 4 * 4 - size))
                last = np.frombuffer(f.read(size), dtype="<i2")
            if waited >= quiet and 2 * len(last) == size and np.abs(last.astype(np.int32)).max() <= SILENCE:
                return

    @contextmanager
    def recording(self):
        """Records the sink while the block runs; yields a Recording filled in at its end."""
        path = self.root / f"rec-{time.monotonic_ns()}.raw"
        rec = Recording()
        with open(path, "wb") as out:
            proc = subprocess.Popen(
                ["parec", "-d", f"{SINK}.monitor", "--format=s16le", f"--rate={RATE}", "--channels=2",
                 "--raw", "--latency-msec=20"],
                env=dict(os.environ, **self.env), stdout=out, stderr=subprocess.DEVNULL,
            )
            try:
                # the recorder is connected before anything plays: its first bytes say so
                deadline = time.monotonic() + 10
                while path.stat().st_size == 0 and proc.poll() is None and time.monotonic() < deadline:
                    time.sleep(0.01)
                time.sleep(0.05)
                yield rec
                self._tail(path)
            finally:
                rec.stopped = time.monotonic()
                proc.terminate()
                proc.wait(10)
        data = path.read_bytes()
        path.unlink()
        rec.samples = np.frombuffer(data[: len(data) // 4 * 4], dtype="<i2").reshape(-1, 2)
        if os.environ.get("VT_KEEP_RECORDINGS"):
            rec.save(Path(os.environ["VT_KEEP_RECORDINGS"]) / f"{path.stem}.wav")

    def stop(self) -> None:
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
        self.log.close()


class Display:
    """An Xvfb display for the headful browsers."""

    def __init__(self) -> None:
        xvfb = _need("Xvfb", "xvfb")
        r, w = os.pipe()
        self.proc = subprocess.Popen([xvfb, "-displayfd", str(w), "-screen", "0", "1280x900x24", "-nolisten", "tcp"],
                                     pass_fds=[w], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     preexec_fn=_die_with_parent)
        os.close(w)
        # Xvfb writes the number, then a newline, when it is ready: read up to the newline
        # (closing the pipe before it comes makes Xvfb give up)
        got = b""
        try:
            while not got.endswith(b"\n"):
                part = os.read(r, 32)
                if not part:
                    break
                got += part
        finally:
            os.close(r)
        number = got.decode().strip()
        if not number:
            self.stop()
            raise Unavailable("Xvfb did not start")
        self.name = f":{number}"

    def stop(self) -> None:
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)


# -- what a recording holds ------------------------------------------------------------


@dataclass
class Heard:
    """The sounding part of one channel of a recording.

    The output itself may drop out when a busy machine holds the browser's
    audio thread up: it then plays digital silence (exact zeros) and goes on
    with the very next sample.  Such holes are counted (gaps) and cut out before
    the length, the level and the jumps are measured, and the samples next to
    a hole are not held against the page, so that these speak of what the page
    sent, not of when the machine let it through.
    """

    start: float  # seconds into the recording of the first sample above silence
    span: float  # from that sample to the last one above silence, holes included
    seconds: float  # the same without the holes: how much audio was heard
    rms: float  # full scale = 1
    peak_hz: float  # dominant frequency
    gaps: int  # holes of exact silence (>= 1/3 ms) inside the span
    jumps: int  # sample-to-sample steps beyond what the tone itself can make (away from holes)


@dataclass
class Recording:
    samples: np.ndarray | None = None  # int16, (n, 2)
    stopped: float = 0.0  # time.monotonic() when the recorder was stopped

    def clock(self, seconds: float) -> float:
        """The time.monotonic() at which the sample this many seconds into the recording reached
        the sink, as the recording's end tells it: late by at most the recorder's latency (20 ms)."""
        return self.stopped - (len(self.samples) / RATE - seconds)

    def channel(self, ch: int = 0) -> np.ndarray:
        assert self.samples is not None, "the recording has not ended"
        return self.samples[:, ch].astype(np.float64)

    def heard(self, ch: int = 0, tone_hz: float | None = None, amplitude: float | None = None,
              min_hole: int = 16) -> Heard | None:
        """The sounding part of channel ch, or None when it is silent throughout.

        With tone_hz and amplitude (full scale = 1) given, jumps counts the
        steps larger than 1.5 times the steepest step of that sine at 48 kHz:
        a seam that repeats, loses or misplaces samples makes one.  Runs of at
        least min_hole exact zeros are the output's holes (cut out, counted as
        gaps); a stream keeps the default, so that a few zeros padded at one of
        its seams still count as jumps.
        """
        x = self.channel(ch)
        loud = np.flatnonzero(np.abs(x) > SILENCE)
        if len(loud) == 0:
            return None
        a, b = loud[0], loud[-1] + 1
        holes = _long_runs(x[a:b] == 0, min_len=min_hole)
        part = x[a:b][~holes] / 32768
        jumps = 0
        if tone_hz and amplitude:
            limit = 1.5 * 2 * np.pi * tone_hz / RATE * amplitude
            steps = np.abs(np.diff(part)) > limit
            # a hole's edges (a half-filled block on either side) are the output's, not the page's
            near_hole = np.convolve(holes.astype(np.int32), np.ones(2 * HOLE_EDGE + 1, np.int32), "same") > 0
            steps &= ~near_hole[~holes][:-1]
            steps[:CUT_EDGE] = steps[-CUT_EDGE:] = False
            jumps = int(np.count_nonzero(steps))
        edges = np.diff(np.concatenate([[0], holes.astype(np.int8), [0]]))
        return Heard(start=a / RATE, span=(b - a) / RATE, seconds=len(part) / RATE,
                     rms=float(np.sqrt(np.mean(part**2))), peak_hz=peak_hz(part),
                     gaps=int(np.count_nonzero(edges == 1)), jumps=jumps)

    def level(self, t0: float, t1: float, ch: int = 0) -> float:
        """RMS (full scale = 1) between two times of the recording."""
        x = self.channel(ch)[int(t0 * RATE) : int(t1 * RATE)] / 32768
        return float(np.sqrt(np.mean(x**2))) if len(x) else 0.0

    def save(self, path: Path) -> None:
        import wave

        path.parent.mkdir(parents=True, exist_ok=True)
        with wave.open(str(path), "wb") as w:
            w.setnchannels(2)
            w.setsampwidth(2)
            w.setframerate(RATE)
            w.writeframes(self.samples.tobytes())


def peak_hz(x: np.ndarray) -> float:
    """The strongest frequency of x (Hann window, interpolated between bins)."""
    if len(x) < 64:
        return 0.0
    n = len(x)
    magnitude = np.abs(np.fft.rfft(x * np.hanning(n)))
    k = int(np.argmax(magnitude[1:])) + 1
    if 1 <= k < len(magnitude) - 1:
        lo, mid, hi = magnitude[k - 1], magnitude[k], magnitude[k + 1]
        denom = lo - 2 * mid + hi
        k = k + (0.5 * (lo - hi) / denom if denom else 0.0)
    return float(k * RATE / n)


def _long_runs(mask: np.ndarray, min_len: int) -> np.ndarray:
    """mask with only its runs of True at least min_len long left True."""
    out = np.zeros_like(mask)
    if not mask.any():
        return out
    edges = np.diff(np.concatenate([[0], mask.astype(np.int8), [0]]))
    for s, e in zip(np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)):
        if e - s >= min_len:
            out[s:e] = True
    return out
