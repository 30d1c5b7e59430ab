"""The player in every engine (chromium, Firefox, WebKitGTK), heard where the user hears it.

Each test body runs once per engine (the ``driver`` fixture).  The browsers are
headful on an X display of the tests' own and play into a null sink of a sound
server of the tests' own; what "is heard" is decided on a recording of that
sink: pitch, level, length, gaps, and sample-to-sample jumps at the seams of
pushed chunks.  A player whose output goes nowhere (a node left unconnected, a
source outside the graph that stays silent, a context that renders into
nothing) fails these tests even when its analyser and counters look right.
"""

from __future__ import annotations

import math
import time

import numpy as np
import pytest

from vt_core import getcm
from vt_core import server as vt_server

from .conftest import BY_CODEC
from .probes import sine, write_wav
from .test_player import join, paced, start_thread
from .test_sources import FORMATS, MIME, format_tones

pytestmark = pytest.mark.browser

A = 0.5  # amplitude of the test files (full scale = 1): RMS 0.354
# A media element keeps its own clock: on a busy machine it may start or end a
# few blocks early or late without a hole in the output.  Files are to be heard
# whole; to the sample it is the streams, which the player itself renders.
FILE_SLACK = 0.06


def box(cid: str) -> str:
    return f'.vt-player[data-cid="{cid}"]'


def near(x: float, want: float, rel: float) -> bool:
    return abs(x - want) <= rel * want


def wait_ended(events, n: int, reason: str, timeout: float = 10.0):
    """The n-th "ended" event with this reason (a test may see both drained and closed ends)."""
    deadline = time.monotonic() + timeout
    while True:
        found = [e for e in events.items if e[0] == "ended" and isinstance(e[2], dict) and e[2].get("reason") == reason]
        if len(found) >= n:
            return found[n - 1]
        if time.monotonic() > deadline:
            raise AssertionError(f"no ended event #{n} ({reason}) within {timeout}s; got {events.items}")
        time.sleep(0.02)


def lasts(heard, seconds: float, slack: float = 0.01) -> bool:
    """heard holds seconds of audio, to within slack and what the output's holes took.

    A hole (the machine held the browser's audio thread up) may take the audio
    it should have carried with it: an element or the output skips ahead (one
    engine's sink drops what reaches it late, to stay on its clock). What is
    missing then lies inside the holes: the sound still spans its length.
    """
    if not heard.gaps:
        return abs(heard.seconds - seconds) <= slack
    return heard.seconds <= seconds + slack and heard.span >= seconds - slack


def show(driver, name, heard) -> None:
    print(f"\n{driver.engine} {name}: {heard}")


def ended_when_heard(driver, name, rec, heard, ended_at) -> None:
    """The end came after its last sample reached the sink (the recorder tells it up to 50 ms late)."""
    late = ended_at - rec.clock(heard.start + heard.span)
    print(f"{driver.engine} {name}: ended {late:+.3f} s after the last sample")
    assert -0.05 < late < 1.0, f"{driver.engine} {name}: ended {late:+.3f} s after the last sample"


# -- files ----------------------------------------------------------------------------


def test_file_is_heard_whole_at_its_pitch_and_follows_volume_mute_and_keys(driver, wa, events, sound_server, tmp_path):
    path = tmp_path / "tone.wav"
    write_wav(path, 0.8, rate=44100, freq=440)  # amplitude 0.5, resampled to the context's rate
    p = wa.web_audio(src=str(path), minimal=False, onplay=events.callback("play"), onended=events.callback("ended"))
    driver.goto(driver.url).player(p.id)
    # the duration is null until the element has read the file's header
    driver.wait_stats(p.id, lambda s: (s["file"]["duration"] or 0) > 0.7)

    with sound_server.recording() as whole:
        driver.press(box(p.id), " ")  # the keyboard starts it
        events.wait("play")
        _, ended_at, _ = events.wait("ended", timeout=8)
    # A file has no seams of the player's: two exact zeros in a row inside this tone are the
    # browser's output dropping a few samples (Firefox under load, 10 in a row), not the page.
    heard = whole.heard(tone_hz=440, amplitude=A, min_hole=2)
    show(driver, "file", heard)
    assert heard is not None, "the file played and nothing reached the output"
    ended_when_heard(driver, "file", whole, heard, ended_at)
    assert abs(heard.peak_hz - 440) < 3, heard
    assert near(heard.rms, A / math.sqrt(2), 0.15), heard
    assert lasts(heard, 0.8, slack=FILE_SLACK), heard
    assert heard.jumps == 0, heard
    right = whole.heard(ch=1)
    assert right is not None and near(right.rms, heard.rms, 0.05), right  # both channels

    # volume: a quarter of the level; the keyboard's arrow takes it down by 5 %
    p.volume = 0.3
    driver.wait_stats(p.id, lambda s: s["volume"] == pytest.approx(0.3))
    driver.press(box(p.id), "ArrowDown")
    driver.wait_stats(p.id, lambda s: s["volume"] == pytest.approx(0.25))
    with sound_server.recording() as quiet:
        p.play()
        events.wait("ended", count=2, timeout=8)
    q = quiet.heard(tone_hz=440, amplitude=A, min_hole=2)
    show(driver, "file at volume 0.25", q)
    assert q is not None and abs(q.peak_hz - 440) < 3, q
    assert q.rms / heard.rms == pytest.approx(0.25, abs=0.03), (q, heard)

    # muted: nothing at all reaches the output, and the file still plays to its end
    getcm().components[p.id]["content"]["options"]["muted"] = True
    p.update_cm()
    driver.wait_stats(p.id, lambda s: s["muted"])
    with sound_server.recording() as muted:
        p.play()
        events.wait("ended", count=3, timeout=8)
    assert muted.heard() is None, muted.heard()


@pytest.fixture(scope="module")
def short_tones(tmp_path_factory) -> dict:
    return format_tones(tmp_path_factory.mktemp("formats"), 0.5)  # (encoded once for the three engines)


def test_formats_are_heard_at_their_pitch(driver, wa, events, sound_server, short_tones):
    files = short_tones
    players = {n: wa.web_audio(src=str(f), onended=events.callback(f"ended {n}"), onerror=events.callback(f"error {n}"))
               for n, f in files.items()}
    driver.goto(driver.url)
    for p in players.values():
        driver.player(p.id)
    decodable = driver.js(
        "mimes => Object.fromEntries(Object.entries(mimes).map(([k, m]) => [k, new Audio().canPlayType(m)]))", MIME
    )
    for name in ("wav", "mp3", "vorbis", "opus", "flac"):
        assert decodable[name], f"{driver.engine} says it cannot play {name}: {decodable}"
    heard = {}
    for name, p in players.items():
        if not decodable[name]:
            # the engine cannot decode it: the player must say so instead of staying silent
            p.play()
            _, _, err = events.wait(f"error {name}")
            assert "cannot be decoded" in err["error"], err
            print(f"\n{driver.engine}: {name} cannot be decoded here: {err['error']}")
            continue
        with sound_server.recording() as rec:
            p.play()
            _, ended_at, _ = events.wait(f"ended {name}", timeout=8)
        if heard.setdefault(name, rec.heard()):
            ended_when_heard(driver, name, rec, heard[name], ended_at)
    print(f"\n{driver.engine} formats heard:", {n: h and round(h.peak_hz) for n, h in heard.items()})
    wrong = {n: h for n, h in heard.items() if h is None or abs(h.peak_hz - FORMATS[n][2]) > 5 or h.rms < 0.2}
    assert not wrong, wrong
    # every format is heard for its whole length (codec padding aside)
    short = {n: h.seconds for n, h in heard.items() if not 0.4 < h.seconds < 0.6}
    assert not short, short
    assert not [n for n in events.names() if n.startswith("error") and decodable[n.split()[1]]], events.items


def test_other_origin_urls_are_heard_with_and_without_cors(driver, wa, events, sound_server, origins):
    write_wav(origins.root / "tone.wav", 0.6, freq=440)
    sources = {
        "cors": origins.cors.url("tone.wav"),  # through the graph
        "no cors": origins.plain.url("tone.wav"),  # the element alone, outside the graph
    }
    players = {n: wa.web_audio(src=u, onended=events.callback(f"ended {n}"), onerror=events.callback("error"))
               for n, u in sources.items()}
    driver.goto(driver.url)
    heard = {}
    for name, p in players.items():
        driver.player(p.id)
        with sound_server.recording() as rec:
            p.play()
            _, ended_at, _ = events.wait(f"ended {name}", timeout=8)
        heard[name] = rec.heard()
        st = driver.stats(p.id)
        print(f"\n{driver.engine} {name} ({st['file']['route']}): {heard[name]}")
        assert heard[name] is not None, f"{name}: {st['file']}"
        assert abs(heard[name].peak_hz - 440) < 3 and near(heard[name].rms, A / math.sqrt(2), 0.15), heard[name]
        assert lasts(heard[name], 0.6, slack=FILE_SLACK), heard[name]
        ended_when_heard(driver, name, rec, heard[name], ended_at)
    assert driver.stats(players["no cors"].id)["file"]["route"] == "direct"

    # outside the graph, volume is the element's
    p = players["no cors"]
    p.volume = 0.5
    driver.wait_stats(p.id, lambda s: s["file"]["elementVolume"] == pytest.approx(0.5, abs=1e-4))  # a float32 in WebKit
    with sound_server.recording() as rec:
        p.play()
        events.wait("ended no cors", count=2, timeout=8)
    half = rec.heard()
    assert half is not None and half.rms / heard["no cors"].rms == pytest.approx(0.5, abs=0.05), half
    assert "error" not in events.names()


# -- streams ----------------------------------------------------------------------------


def odd_chunks(pcm: bytes, seed: int) -> list[bytes]:
    """pcm cut into chunks of 1 to 6000 bytes: seams inside samples and inside frames."""
    rng = np.random.default_rng(seed)
    out, i = [], 0
    while i < len(pcm):
        n = int(rng.integers(1, 6000))
        out.append(pcm[i : i + n])
        i += n
    return out


@BY_CODEC
def test_pushed_and_pulled_streams_are_heard_whole_and_seamless(driver, wa, events, sound_server, server):
    p = wa.web_audio(show_wave=True, onended=events.callback("ended"), onerror=events.callback("error"), jitterMs=300)
    p.on_stream_start(events.callback("start"))
    driver.goto(driver.url).player(p.id)
    amp = 0.25
    cases = [  # (rate, channels, tone, seconds): the context's own rate, and one it must resample
        (48000, 2, 440.0, 1.2),
        (22050, 1, 330.0, 1.0),
    ]
    for k, (rate, channels, freq, seconds) in enumerate(cases, 1):
        pcm = sine(freq, seconds, rate, amp, channels=channels).tobytes()
        p.close_stream()
        p.send_audio_metadata(rate, channels)
        with sound_server.recording() as rec:
            producer = start_thread(lambda: paced(odd_chunks(pcm, k), rate * channels * 2, p.stream_binary))
            join(producer, timeout=seconds + 10)
            _, _, ended = wait_ended(events, k, "drained")
        heard = rec.heard(tone_hz=freq, amplitude=amp)
        show(driver, f"push {rate} Hz x{channels}", heard)
        assert heard is not None, "the stream played and nothing reached the output"
        assert abs(heard.peak_hz - freq) < 3, heard
        assert near(heard.rms, amp / math.sqrt(2), 0.15), heard
        assert heard.jumps == 0, heard  # every seam is invisible in the output
        assert lasts(heard, seconds), heard
        assert ended["played"] == pytest.approx(seconds, abs=0.001) and ended["underruns"] == 0, ended
        assert driver.stats(p.id)["codec"] == driver.codec
    if driver.codec != "pcm":
        return  # (a pulled stream is fetched by the page as it is, whatever the pushed ones travel as)

    # a pulled stream, resampled from 16 kHz mono
    vt_server.register_audio(
        "t_heard_pull",
        lambda params: vt_server.tone(523, 1.0, 16000, channels=1, chunk_frames=777, amplitude=amp),
        sample_rate=16000, channels=1, wav_header=True,
    )
    with sound_server.recording() as rec:
        p.start_stream(server.origin + "/vt/audio/t_heard_pull", sample_rate=16000, channels=1)
        _, _, ended = wait_ended(events, len(cases) + 1, "drained")
    heard = rec.heard(tone_hz=523, amplitude=amp)
    show(driver, "pull 16000 Hz x1", heard)
    assert heard is not None and abs(heard.peak_hz - 523) < 3, heard
    assert heard.jumps == 0, heard
    assert lasts(heard, 1.0), heard
    assert ended["source"] == "pull" and ended["played"] == pytest.approx(1.0, abs=0.001), ended
    assert "error" not in events.names(), events.items


@BY_CODEC
def test_an_interrupted_stream_is_heard_up_to_the_reported_time(driver, wa, events, sound_server):
    p = wa.web_audio(onended=events.callback("ended"))
    p.on_stream_start(events.callback("start"))
    driver.goto(driver.url).player(p.id)
    rate, amp = 24000, 0.25
    p.close_stream()
    p.send_audio_metadata(rate, 1)
    with sound_server.recording() as rec:
        p.stream_binary(sine(440, 2.0, rate, amp, channels=1).tobytes())  # far faster than real time
        events.wait("start")
        time.sleep(0.6)
        p.close_stream()
        _, _, ended = events.wait("ended", timeout=10)
        time.sleep(0.3)  # nothing may follow the close
    heard = rec.heard(tone_hz=440, amplitude=amp)
    show(driver, "interrupted push", heard)
    print(f"{driver.engine}: ended {ended}")
    assert ended["reason"] == "closed" and 0.3 < ended["played"] < 1.4, ended
    assert heard is not None and heard.jumps == 0, heard
    # what was heard is what the report says, to within the output's block size
    assert lasts(heard, ended["played"], slack=0.005), (heard, ended)  # to the render quantum
    assert ended["played"] + ended["dropped"] == pytest.approx(2.0, abs=0.002), ended


# -- after a stream --------------------------------------------------------------------


def test_time_text_shows_the_played_time_after_a_stream_ends(driver, wa, events, server):
    p = wa.web_audio(minimal=False, onended=events.callback("ended"))
    driver.goto(driver.url).player(p.id)
    vt_server.register_audio(
        "t_time_pull", lambda params: vt_server.tone(440, 1.0, 16000, channels=1), sample_rate=16000, channels=1,
    )
    p.start_stream(server.origin + "/vt/audio/t_time_pull", sample_rate=16000, channels=1)
    _, _, ended = events.wait("ended", timeout=10)
    assert ended["played"] == pytest.approx(1.0, abs=0.001)
    driver.wait_for("sel => document.querySelector(sel).textContent === '0:01'", box(p.id) + " .vt-time", timeout=3)

    rate = 16000
    p.close_stream()
    before = driver.stats(p.id)["framesPlayed"]  # counted over all of the player's streams
    p.send_audio_metadata(rate, 1)
    p.stream_binary(sine(440, 4.0, rate, channels=1).tobytes())
    driver.wait_stats(p.id, lambda s: s["streamActive"] and s["framesPlayed"] - before > 1.1 * rate)
    p.close_stream()
    _, _, closed = wait_ended(events, 1, "closed")
    want = f"0:{int(closed['played']):02d}"
    assert closed["played"] > 1.0, closed
    driver.wait_for("([sel, t]) => document.querySelector(sel).textContent === t", [box(p.id) + " .vt-time", want],
                    timeout=3)


# -- many short streams -----------------------------------------------------------------


@BY_CODEC
def test_many_short_pushed_streams_each_end(driver, wa, events, sound_server):
    """Short utterances one after another: each one starts, plays and reports its end.

    A page whose main thread blocks at the start or the end of a stream never
    sends its end report: the wait below fails instead of the run hanging.
    """
    p = wa.web_audio(onended=events.callback("ended"), onerror=events.callback("error"))
    p.on_stream_start(events.callback("start"))
    driver.goto(driver.url).player(p.id)
    rate = 48000
    runs = 4
    took = []
    with sound_server.recording() as rec:
        for k in range(1, runs + 1):
            p.close_stream()  # this player is the stream target
            p.send_audio_metadata(rate, 2)
            t0 = time.monotonic()
            for chunk in odd_chunks(sine(440, 0.2, rate, 0.25).tobytes(), k):
                p.stream_binary(chunk)
            _, t_end, ended = wait_ended(events, k, "drained", timeout=10)
            took.append(t_end - t0)
            assert ended["played"] == pytest.approx(0.2, abs=0.001), ended
            assert driver.js("() => 1 + 1") == 2  # the page answers
    print(f"\n{driver.engine}: {runs} short streams ended after " + ", ".join(f"{t:.2f}" for t in took) + " s")
    assert events.names().count("start") == runs
    assert "error" not in events.names()
    heard = rec.heard()
    assert heard is not None and abs(heard.peak_hz - 440) < 3, heard
