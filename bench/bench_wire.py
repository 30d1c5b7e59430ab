"""Pushed speech on the wire and at the speakers: Opus beside PCM, in one run.

One Firefox page (headful on an Xvfb display of its own, playing into a sound
server of its own with a null sink: the tests' set-up, tests/browser/output.py)
takes the host's pushed stream coded to Opus (the default where it decodes it),
then a second page, opened with ?codecs=pcm, takes it as raw PCM.  Utterances of
espeak-ng speech (22.05 kHz mono, its own rate; 48 kHz stereo made from it with
ffmpeg) are written at real-time pace in 4096-byte chunks, one page at a time,
alternating codecs utterance by utterance.  For each format and codec:

* bytes: what the host wrote to the page's socket (WebSocket payloads, framing
  included) per second of speech, and its share of PCM's (goals: <= 1/10 at
  22.05 kHz mono, <= 1/20 at 48 kHz stereo);
* first audio p95: the first write() to the first sample played in the page (ms;
  goal: Opus within 25 ms of PCM);
* heard quality: wideband PESQ of the null sink's recording against the source,
  both taken to 16 kHz by ffmpeg and aligned where they correlate best (goal >= 3.8;
  the `pesq` package as the oracle);
* encode CPU: the publishing thread's CPU time in the encoder's calls over the seconds
  of speech, in % of one core per stream (goal <= 2 %); feed CPU: in the host's whole
  Opus feed (the encoder's calls, the frames' headers, the resume tail, the pace).

    PYTHONPATH=python .venv/bin/python bench/bench_wire.py [--utterances 6] [--seconds 3]

With ``--link RATE`` (e.g. ``1mbit``; root, for a network namespace) it measures a
slow link instead: headless chromium on another machine (a namespace joined by a
veth pair, tests/net's set-up) opens the host over HTTPS (a secure context: it can
decode Opus), the host's side of the link shaped by ``tc ... tbf`` to RATE.  A
48 kHz stereo utterance is written at real-time pace, as Opus and as PCM in turn,
and for each codec it prints when its sound ended (the page's last sample played, from
the first write(), less the utterance's length) and how late the stream's end came: the time Python's onended
callback ran (the page's stream end, on the unshaped way back) minus the time of the
first write() minus the utterance's length, both taken with time.time() in this
process, and that lateness as a share of the length (goal: within 0.3 s).

    sudo PYTHONPATH=python .venv/bin/python bench/bench_wire.py --link 1mbit [--utterances 5]
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
import threading
import time
import types
from contextlib import ExitStack
from pathlib import Path

import numpy as np

from vt_core import opus as vt_opus
from vt_core import server as vt_server

from veltrane.vt_ui.web_audio import web_audio

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))
from bench_codec import GOALS, PESQ_GOAL, espeak, ffmpeg, pesq  # noqa: E402
from bench_voice import p95, paced_write  # noqa: E402
from tests.browser.drivers import Firefox  # noqa: E402 - the tests' browser set-up
from tests.browser.output import RATE, Display, SoundServer  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
os.environ.setdefault("VT_NET_PREFIX", "vtwire")  # (not the tests' namespaces)
from net.conftest import OtherMachine, RemotePage  # noqa: E402 - the tests' other machine
from net.tls import make_certificate  # noqa: E402

CHUNK = 4096
FIRST_AUDIO_GOAL_MS = 25.0
LATE_GOAL = 0.3  # s: a stream's end over the slow link, past its length
CPU_GOAL = 0.02


class Timed:
    """The host's Opus feed with the CPU time of its calls counted (the publishing thread's):
    ``seconds`` in the whole feed, ``encoding`` in its encoders' calls (the codec itself)."""

    def __init__(self, hub) -> None:
        self.seconds = self.encoding = 0.0
        feed = hub.opus
        observe = feed.observe
        codec = vt_opus._codec
        outer = self

        def counted(call):
            def run(*args, **kw):
                t0 = time.thread_time()
                try:
                    return call(*args, **kw)
                finally:
                    outer.encoding += time.thread_time() - t0
            return run

        class Encoder:  # the codec's encoder, its calls counted
            def __init__(self, *args) -> None:
                self._enc = codec.OpusEncoder(*args)
                self.encode, self.flush = counted(self._enc.encode), counted(self._enc.flush)

        def timed(*args):
            t0 = time.thread_time()
            try:
                return observe(*args)
            finally:
                self.seconds += time.thread_time() - t0

        feed.observe = timed
        vt_opus._codec = types.SimpleNamespace(**{k: getattr(codec, k) for k in dir(codec) if not k.startswith("__")})
        vt_opus._codec.OpusEncoder = Encoder


def heard_pesq(source: bytes, rate: int, channels: int, recording) -> float:
    """Wideband PESQ of the recorded sink (left channel) against the source, the recording aligned
    to the source where their cross-correlation peaks (a cut at the first loud sample misses the
    source's own leading silence, and the score then counts the offset as distortion)."""
    ref = np.frombuffer(ffmpeg(source, rate, channels, 16000, 1), np.int16).astype(np.float64)
    heard = recording.samples[:, 0].astype("<i2").tobytes()
    deg = np.frombuffer(ffmpeg(heard, RATE, 1, 16000, 1), np.int16).astype(np.float64)
    n = 1 << int(len(ref) + len(deg)).bit_length()
    corr = np.fft.irfft(np.fft.rfft(deg, n) * np.conj(np.fft.rfft(ref, n)), n)[:len(deg)]
    lag = int(np.argmax(corr))
    deg = np.concatenate([deg[lag:lag + len(ref)], np.zeros(max(0, lag + len(ref) - len(deg)))])
    return float(pesq(16000, ref.astype(np.float32), deg.astype(np.float32), "wb"))


def over_link(args, speech: bytes, rate: int = 48000, channels: int = 2) -> int:
    """The --link mode (see the module docstring): each codec's end over the shaped link, in one run."""
    step = int(args.seconds * rate) * 2 * channels
    ended = threading.Condition()
    ends: list[tuple[float, dict]] = []

    def on_ended(payload=None):
        with ended:
            ends.append((time.time(), payload or {}))
            ended.notify_all()

    got: dict[str, list[dict]] = {"opus": [], "pcm": []}
    with ExitStack() as stack:
        machine = OtherMachine().create()
        stack.callback(machine.destroy)
        root = Path(stack.enter_context(tempfile.TemporaryDirectory(prefix="bench-link-")))
        cert, key = make_certificate(root, ["localhost"], [machine.host_ip])
        srv = vt_server.start(machine.host_ip, 0, ssl_certfile=cert, ssl_keyfile=key)
        stack.callback(srv.stop)
        hold = {} if args.stream_end_ms is None else {"streamEndMs": args.stream_end_ms}
        player = web_audio(onended=on_ended, **hold)
        page = None
        stack.callback(lambda: page and page.close())
        if args.link != "none":
            machine.shape(args.link, burst=args.burst, latency=args.latency)
        for k in range(args.utterances):
            pcm = speech[k * step:(k + 1) * step]
            seconds = len(pcm) / (2 * channels * rate)
            for codec in got:
                url = srv.url + ("&codecs=pcm" if codec == "pcm" else "")
                page = page.open(url, [player.id], True) if page else RemotePage(machine, url, [player.id], True)
                time.sleep(0.5)
                client, base = srv.hub.clients[-1], len(ends)
                sent = client.sent_bytes
                writer = player.stream_writer()
                writer.configure(rate, channels)
                first_at, _ = paced_write(writer, pcm, rate * channels * 2, CHUNK)
                writer.finish()
                with ended:
                    if not ended.wait_for(lambda: len(ends) > base, timeout=4 * seconds + 10):
                        raise RuntimeError(f"no ended event ({codec}, utterance {k})")
                    at, end = ends[base]
                st = page.stats(player.id)
                got[codec].append({"late": at - first_at - seconds, "seconds": seconds, "end": end,
                                   "codec": st.get("codec"), "first": (st["lastStartEpochMs"] or 0) / 1000 - first_at,
                                   "heard": (st["lastSampleAt"] or 0) / 1000 - first_at - seconds,
                                   "kbit": 8 * (client.sent_bytes - sent) / seconds / 1000})
    print(f"load average {os.getloadavg()[0]:.2f} (1 min) at the end; link {args.link} (tbf burst {args.burst}, "
          f"latency {args.latency}); streamEndMs {args.stream_end_ms or 'default'}; headless chromium over HTTPS; "
          f"{args.utterances} utterances of {args.seconds:g} s 48 kHz stereo per codec")
    print(f"{'codec':6} {'page said':10} {'kbit/s':>7} {'heard end':>10} {'of length':>10} {'late median':>12} "
          f"{'late max':>9} {'end / length':>13} {'underruns':>10} {'played':>7} {'first audio':>12}")
    for codec, r in got.items():
        late = [x["late"] for x in r]
        print(f"{codec:6} {','.join(sorted({str(x['codec']) for x in r})):10} "
              f"{statistics.median(x['kbit'] for x in r):7.0f} {max(x['heard'] for x in r):9.3f}s "
              f"{max(1 + x['heard'] / x['seconds'] for x in r):9.2f}x {statistics.median(late):11.3f}s {max(late):8.3f}s "
              f"{statistics.median(1 + x['late'] / x['seconds'] for x in r):12.2f}x "
              f"{statistics.median(x['end'].get('underruns', 0) for x in r):10g} "
              f"{min(x['end'].get('played', 0) for x in r):6.2f}s {statistics.median(x['first'] for x in r):11.3f}s")
    print(f"goal: Opus ends within {LATE_GOAL:g} s of the length. heard end (the most of any utterance): the "
          "page's last sample played (its stats' lastSampleAt) from the first write(), less the length; late: "
          "from the first write() to Python's onended, less the length (time.time() both; the page ends a "
          "stream its streamEndMs after it ran dry); first audio: from the first write() to the "
          "page's first sample played (its stats' lastStartEpochMs)")
    return 0


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--utterances", type=int, default=6, help="per format and codec")
    ap.add_argument("--seconds", type=float, default=3.0, help="of speech per utterance")
    ap.add_argument("--link", help="measure over a link shaped to this rate (tc's units, e.g. 1mbit; none: unshaped)")
    ap.add_argument("--burst", default="32kb", help="the link's tbf burst (--link)")
    ap.add_argument("--latency", default="2s", help="the link's tbf latency (--link)")
    ap.add_argument("--stream-end-ms", type=int, help="the player's streamEndMs, its end hold-off (--link)")
    args = ap.parse_args()
    mono = espeak(args.utterances * args.seconds)
    if args.link:
        return over_link(args, ffmpeg(mono, 22050, 1, 48000, 2))
    sources = {(22050, 1): mono, (48000, 2): ffmpeg(mono, 22050, 1, 48000, 2)}
    srv = vt_server.start("127.0.0.1", 0)
    timed = Timed(srv.hub)
    rows = []
    with ExitStack() as stack:
        stack.callback(srv.stop)
        root = Path(stack.enter_context(tempfile.TemporaryDirectory(prefix="bench-wire-")))
        sound = SoundServer(root / "sound")
        stack.callback(sound.stop)
        display = Display()
        stack.callback(display.stop)
        firefox = Firefox(dict(sound.env, DISPLAY=display.name), root / "firefox")
        stack.callback(firefox.close)
        ended = threading.Condition()
        ends: list[dict] = []

        def on_ended(payload=None):
            with ended:
                ends.append(payload or {})
                ended.notify_all()

        player = web_audio(onended=on_ended)
        pages = {}
        for codec in ("opus", "pcm"):
            pages[codec] = firefox.page()
        for (rate, channels), speech in sources.items():
            step = int(args.seconds * rate) * 2 * channels
            got = {codec: [] for codec in pages}
            for k in range(args.utterances):
                pcm = speech[k * step:(k + 1) * step]
                for codec, page in pages.items():
                    page.goto(srv.url + ("&codecs=pcm" if codec == "pcm" else "")).player(player.id)
                    time.sleep(0.5)
                    client = srv.hub.clients[-1]
                    sent, cpu, enc, base = client.sent_bytes, timed.seconds, timed.encoding, len(ends)
                    player.close_stream()
                    writer = player.stream_writer()
                    writer.configure(rate, channels)
                    with sound.recording() as rec:
                        first_at, _ = paced_write(writer, pcm, rate * channels * 2, CHUNK)
                        writer.finish()
                        with ended:
                            if not ended.wait_for(lambda: len(ends) > base, timeout=args.seconds + 10):
                                raise RuntimeError("no ended event")
                    st = page.stats(player.id)
                    seconds = len(pcm) / (2 * channels * rate)
                    got[codec].append({
                        "bytes": (client.sent_bytes - sent) / seconds, "codec": st.get("codec"),
                        "start": ((st["lastStartEpochMs"] or 0) / 1000 - first_at) * 1000,
                        "pesq": heard_pesq(pcm, rate, channels, rec), "cpu": (timed.seconds - cpu) / seconds,
                        "enc": (timed.encoding - enc) / seconds,
                    })
                    page._navigate("about:blank")  # (one page on the host at a time)
            for codec, r in got.items():
                rows.append({"format": (rate, channels), "codec": codec, "seen": {x["codec"] for x in r},
                             "kBps": statistics.median(x["bytes"] for x in r) / 1000,
                             "start": p95([x["start"] for x in r]), "pesq": statistics.median(x["pesq"] for x in r),
                             "cpu": statistics.median(x["cpu"] for x in r),
                             "enc": statistics.median(x["enc"] for x in r), "n": len(r)})
    print(f"load average {os.getloadavg()[0]:.2f} (1 min) at the end; Firefox, {args.utterances} utterances "
          f"of {args.seconds:g} s per row")
    print(f"{'stream':18} {'codec':6} {'kB/s':>7} {'of PCM':>7} {'goal':>6} {'first p95':>10} {'over PCM':>9} "
          f"{'PESQ wb':>8} {'encode':>7} {'feed CPU':>9}")
    for r in rows:
        rate, channels = r["format"]
        pcm = next(x for x in rows if x["format"] == r["format"] and x["codec"] == "pcm")
        name = f"{rate / 1000:g} kHz {'mono' if channels == 1 else 'stereo'}"
        print(f"{name:18} {r['codec']:6} {r['kBps']:7.2f} {r['kBps'] / pcm['kBps']:7.3f} "
              f"{GOALS[r['format']] if r['codec'] == 'opus' else 1:6.3f} {r['start']:8.1f}ms "
              f"{r['start'] - pcm['start']:+8.1f} {r['pesq']:8.2f} {100 * r['enc']:6.2f}% {100 * r['cpu']:8.2f}%  (page said {sorted(r['seen'])})")
    print(f"goals: first audio within {FIRST_AUDIO_GOAL_MS:g} ms of PCM's, PESQ >= {PESQ_GOAL}, "
          f"encode CPU <= {100 * CPU_GOAL:g} % of a core per stream "
          "(feed CPU: the host's whole Opus feed, the encoder's calls in it)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
