"""A page in a tab that another tab covers: hidden, its timers throttled as a user's background tab's are.

Headless chromium driven over its DevTools socket, without Playwright (whose pages always say "visible") and
without the switch that keeps background timers going; a second tab opened in the page's window hides it.  The
renderer keeps its priority (a hidden tab's is lowered: on a loaded machine that alone delays what it is sent).
"""

from __future__ import annotations

import asyncio
import json
import shutil
import subprocess
import tempfile
import threading
import time
from pathlib import Path

import aiohttp

ARGS = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--mute-audio",
        "--autoplay-policy=no-user-gesture-required", "--disable-renderer-backgrounding", "--remote-debugging-port=0"]


class CoveredTab:
    """Chromium on ``url``; hide() opens a tab over it, evaluate(js) runs an expression there (awaits promises)."""

    def __init__(self, url: str) -> None:
        self.profile = tempfile.TemporaryDirectory()
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
