"""Pushed speech in a page in view and in a page in a background tab, on each stream engine.

A page in a tab that another tab covers is hidden, its timers throttled as a user's background tab's are
(CoveredTab: headless chromium driven over its DevTools socket, without Playwright, whose pages always say
"visible", and without the switch that keeps background timers going; a second tab opened in the page's window
hides it; the renderer keeps its priority, which a hidden tab otherwise loses: on a loaded machine that alone
delays what it is sent).  Each run pushes one utterance at real-time pace into a fresh page; per engine and
visibility the bench prints

  underruns  audible gaps the page reported, over all runs
  hole       the page's first to last sample, minus the utterance: silence inside it (ms, worst run)
  end        the last write() returned -> the Python ended callback ran (s, median and worst)

    PYTHONPATH=python .venv/bin/python bench/bench_hidden.py [--runs 5] [--seconds 5]
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import statistics
import shutil
import subprocess
import tempfile
import threading
import time
from pathlib import Path

import aiohttp
import numpy as np

ARGS = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--mute-audio",
        "--autoplay-policy=no-user-gesture-required", "--disable-renderer-backgrounding", "--remote-debugging-port=0"]


class CoveredTab:
    """Chromium on ``url``; hide() opens a tab over it, evaluate(js) runs an expression there (awaits promises)."""

    def __init__(self, url: str) -> None:
        self.profile = tempfile.TemporaryDirectory(ignore_cleanup_errors=True)  # (its last children may still write)
        self.proc = subprocess.Popen([shutil.which("chromium") or "chromium", *ARGS,
                                      f"--user-data-dir={self.profile.name}", url], stderr=subprocess.DEVNULL)
        self.loop = asyncio.new_event_loop()
        threading.Thread(target=self.loop.run_forever, daemon=True).start()
        self.ids, self.session = 0, None
        self._run(self._connect())

    def _run(self, coro, timeout: float = 30.0):
        return asyncio.run_coroutine_threadsafe(coro, self.loop).result(timeout)

    async def _connect(self) -> None:
        port_file, deadline = Path(self.profile.name) / "DevToolsActivePort", time.monotonic() + 20
        while len(lines := (port_file.read_text().split() if port_file.exists() else [])) < 2:
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise AssertionError("chromium did not open its DevTools socket")
            await asyncio.sleep(0.05)
        self.http = aiohttp.ClientSession()
        self.ws = await self.http.ws_connect(f"ws://127.0.0.1:{lines[0]}{lines[1]}", max_msg_size=0)
        targets = (await self._call("Target.getTargets"))["targetInfos"]
        page = next(t for t in targets if t["type"] == "page")
        self.session = (await self._call("Target.attachToTarget", {"targetId": page["targetId"],
                                                                   "flatten": True}))["sessionId"]

    async def _call(self, method: str, params: "dict | None" = None, session: "str | None" = None) -> dict:
        self.ids += 1
        await self.ws.send_json({"id": self.ids, "method": method, "params": params or {},
                                 **({"sessionId": session} if session else {})})
        while (reply := json.loads((await self.ws.receive()).data)).get("id") != self.ids:
            pass  # (events)
        if "error" in reply:
            raise AssertionError(f"{method}: {reply['error']}")
        return reply["result"]

    def evaluate(self, expression: str):
        result = self._run(self._call("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                            "awaitPromise": True}, self.session))
        if "exceptionDetails" in result:
            raise AssertionError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def wait(self, expression: str, timeout: float = 20.0) -> None:
        deadline = time.monotonic() + timeout
        while not self.evaluate(expression):
            if time.monotonic() > deadline:
                raise AssertionError(f"not within {timeout} s: {expression}")
            time.sleep(0.1)

    def hide(self) -> None:
        self._run(self._call("Target.createTarget", {"url": "about:blank", "newWindow": False}))

    def close(self) -> None:
        if self.session:
            self._run(self.http.close())
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.proc.terminate()
        self.proc.wait(10)
        self.profile.cleanup()


TICKS = "window.__benchTicks = 0, window.__benchTimer = setInterval(() => window.__benchTicks++, 10), 0"
TICKED = "clearInterval(window.__benchTimer), window.__benchTicks"


def utterance(server, wa, engine: str, hidden: bool, seconds: float, end_within: float = 60.0,
              rate: int = 48000) -> dict:
    """One utterance pushed at real-time pace into a fresh page (hidden: under a second tab); waits for its end
    report at most ``end_within`` s after the last write.  Returns the page's visibility, "ticks" of a 10 ms
    interval while the utterance was written ("pushed" s: a page whose timers are throttled sees a few), the end
    report (None: none came), the errors, the player's stats, "end" (s from the last write to the report) and
    "hole" (the page's first to last sample, minus the utterance)."""
    import vt_core

    vt_core.getcm().clear()
    ended: list = []
    errors: list = []
    p = wa.web_audio(onended=lambda e: ended.append((time.monotonic(), e)), onerror=errors.append)
    tab = CoveredTab(server.url + ("" if engine == "worklet" else ("&" if "?" in server.url else "?")
                                   + f"streamEngine={engine}"))
    try:
        tab.wait(f"!!(window.vtReady && window.vtPlayers && window.vtPlayers[{p.id!r}])")
        if hidden:
            tab.hide()  # (the page learns it a moment later: its timers run at full rate until then)
            tab.wait("document.visibilityState === 'hidden'")
        pcm = (np.sin(2 * np.pi * 330 * np.arange(round(seconds * rate)) / rate) * 9000).astype(np.int16)
        pcm = np.repeat(pcm, 2).tobytes()
        w = p.stream_writer()
        w.configure(rate, 2)
        tab.evaluate(TICKS)
        t0, step = time.monotonic(), 4096
        for i in range(0, len(pcm), step):
            time.sleep(max(0.0, t0 + i / (rate * 4) - time.monotonic()))
            w.write(pcm[i : i + step])
        w.finish()
        written = time.monotonic()
        ticks = tab.evaluate(TICKED)
        while not ended and time.monotonic() < written + end_within:
            time.sleep(0.02)
        st = tab.evaluate(f"window.vtPlayers[{p.id!r}].stats()")
        shown = tab.evaluate("document.visibilityState")
    finally:
        tab.close()
    at, report = ended[0] if ended else (float("nan"), None)
    return {"shown": shown, "ticks": ticks, "pushed": written - t0, "report": report, "errors": errors, "stats": st, "end": at - written,
            "hole": (st["lastSampleAt"] - st["lastStartEpochMs"]) / 1000 - seconds}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--seconds", type=float, default=5.0)
    args = ap.parse_args()
    import veltrane.vt_ui.web_audio as wa
    from vt_core import server as vt_server

    srv = vt_server.start("127.0.0.1", 0)
    try:
        print(f"{args.seconds:g} s pushed at real-time pace, {args.runs} runs per row; 1-minute load at the start "
              f"{os.getloadavg()[0]:.2f}")
        print(f"{'engine':10} {'page':8} {'underruns':>9} {'hole ms':>8} {'end s (median / worst)':>24}")
        for engine in ("worklet", "scheduled"):
            for hidden in (False, True):
                rows = [utterance(srv, wa, engine, hidden, args.seconds) for _ in range(args.runs)]
                assert all(r["shown"] == ("hidden" if hidden else "visible") for r in rows), rows
                ends = [r["end"] for r in rows]
                underruns = sum(r["report"]["underruns"] if r["report"] else 1 for r in rows)
                print(f"{engine:10} {'hidden' if hidden else 'visible':8} {underruns:9d} "
                      f"{max(r['hole'] for r in rows) * 1000:8.1f} {statistics.median(ends):12.2f} / {max(ends):.2f}")
        print(f"1-minute load at the end {os.getloadavg()[0]:.2f}")
    finally:
        srv.stop()


if __name__ == "__main__":
    main()
