#!/usr/bin/env python3
"""Ten files played from Python after one click, in WebKitGTK under its own autoplay policy.

The browser refuses a media element's play() that comes too long after the last
user gesture, although its audio context runs.  This plays a 1 s file from
Python ten times, 10 s apart, after one click on the page's unlock button: the
first play at once (--first 0) or 10 s after the click (--first 10).  Each play
must end after its sound reached the sink (recorded at a null sink of a sound
server of its own), or be refused: then ``on_error`` says so
(``NotAllowedError``), the unlock button shows, the play button offers to play
and the page still answers.  After a refusal, one more click on the unlock
button must play the file.  Prints one line per play; exits 1 on the first
play that breaks this.  Takes about two minutes per run:

    .venv/bin/python scripts/check_autoplay.py --first 0
    .venv/bin/python scripts/check_autoplay.py --first 10
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

from tests.browser.drivers import WebKit  # noqa: E402
from tests.browser.output import Display, SoundServer  # noqa: E402
from tests.browser.probes import write_wav  # noqa: E402

RECORDER_SLACK = 0.05  # the recorder hands samples over up to this late


class Events:
    def __init__(self) -> None:
        self.items: list[tuple[str, float, object]] = []
        self.cond = threading.Condition()

    def callback(self, name: str):
        def record(payload=None):
            with self.cond:
                self.items.append((name, time.monotonic(), payload))
                self.cond.notify_all()

        return record

    def count(self, name: str) -> int:
        with self.cond:
            return sum(1 for n, _, _ in self.items if n == name)

    def wait_any(self, counts: dict[str, int], timeout: float):
        """The first event beyond counts ({name: how many seen}); None after timeout."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for name, seen in counts.items():
                    found = [e for e in self.items if e[0] == name]
                    if len(found) > seen:
                        return found[seen]
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.cond.wait(left)


def heard_ok(rec, ended_at: float) -> str | None:
    """What is wrong with a play that ended (None: heard, and ended after its sound)."""
    heard = rec.heard()
    if heard is None or heard.seconds < 0.8:
        return f"not heard whole: {heard}"
    late = ended_at - rec.clock(heard.start + heard.span)
    if late < -RECORDER_SLACK:
        return f"ended {late:+.3f} s after its last sample"
    return None


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--first", type=float, default=0, help="seconds from the click to the first play (default 0)")
    ap.add_argument("--plays", type=int, default=10)
    ap.add_argument("--every", type=float, default=10, help="seconds between plays (default 10)")
    args = ap.parse_args()

    from vt_core import server as vt_server

    import veltrane.vt_ui.web_audio as wa

    work = Path(tempfile.mkdtemp(prefix="vt-autoplay-"))
    sound, display = SoundServer(work / "sound"), Display()
    srv = vt_server.start("127.0.0.1", 0)
    browser = WebKit(dict(sound.env, DISPLAY=display.name), work / "logs", autoplay=False)
    events = Events()
    try:
        d = browser.page()
        write_wav(work / "tone.wav", 1.0, freq=440)
        p = wa.web_audio(src=str(work / "tone.wav"), minimal=False, onended=events.callback("ended"),
                         onerror=events.callback("error"))
        d.goto(srv.url).player(p.id)
        d.wait_for("() => { const b = document.getElementById('vt-unlock'); return !!b && !b.hidden; }")
        d.click("#vt-unlock")
        t0 = time.monotonic()
        refused = False
        for k in range(args.plays):
            time.sleep(max(0.0, t0 + args.first + args.every * k - time.monotonic()))
            counts = {"ended": events.count("ended"), "error": events.count("error")}
            with sound.recording() as rec:
                p.play()
                got = events.wait_any(counts, timeout=10)
            label = f"play {k + 1}, {time.monotonic() - t0:.0f} s after the click"
            if got is None:
                print(f"{label}: neither ended nor refused within 10 s: the page hangs or the play stalled")
                return 1
            if d.js("() => 1 + 1") != 2:
                print(f"{label}: the page does not answer")
                return 1
            name, at, payload = got
            if name == "error":
                shown = d.js("() => !document.getElementById('vt-unlock').hidden")
                button = d.js("s => document.querySelector(s).getAttribute('aria-label')",
                              f'.vt-player[data-cid="{p.id}"] .vt-play')
                if payload.get("name") != "NotAllowedError" or not shown or button != "Play":
                    print(f"{label}: refused, but {payload}, unlock button shown: {shown}, play button: {button}")
                    return 1
                print(f"{label}: refused (NotAllowedError), on_error called, the unlock button shown")
                refused = True
                continue
            wrong = heard_ok(rec, at)
            print(f"{label}: {wrong or 'ended after its sound'}")
            if wrong:
                return 1
        if refused:  # the click it waits for plays it
            counts = {"ended": events.count("ended"), "error": events.count("error")}
            with sound.recording() as rec:
                d.click("#vt-unlock")
                got = events.wait_any(counts, timeout=10)
            wrong = "no end within 10 s" if got is None or got[0] != "ended" else heard_ok(rec, got[1])
            print(f"a click on the unlock button: {wrong or 'played, ended after its sound'}")
            if wrong:
                return 1
        return 0
    finally:
        browser.close()
        srv.stop()
        sound.stop()
        display.stop()


if __name__ == "__main__":
    sys.exit(main())
