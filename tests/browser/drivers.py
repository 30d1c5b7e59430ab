"""One small page driver over three browser engines.

The tests that must hold in every engine are written once against ``Driver``:
chromium is driven through Playwright, Firefox through its own remote protocol
(the ``marionette_driver`` client), WebKitGTK's MiniBrowser through
WebKitWebDriver (Selenium's client).  All run headful on the tests' X display
and play into the tests' sound server (see output.py), so what they play can be
recorded.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tempfile
import time
import warnings
import contextlib
from pathlib import Path

from .output import Unavailable

# Firefox: sound without a gesture, at full scale (the client's default profile
# turns media volume down to 1 %), and no traffic beyond this machine.
FIREFOX_PREFS = {
    "media.autoplay.default": 0,
    "media.autoplay.block-webaudio": False,
    "media.volume_scale": "1.0",
    "browser.safebrowsing.malware.enabled": False,
    "browser.safebrowsing.phishing.enabled": False,
    "browser.safebrowsing.downloads.enabled": False,
    "app.normandy.enabled": False,
    "messaging-system.rsexperimentloader.enabled": False,
    "extensions.getAddons.cache.enabled": False,
    "browser.region.network.url": "",
    "network.dns.disablePrefetch": True,
    "network.prefetch-next": False,
    "dom.disable_beforeunload": True,
}

CHROMIUM_ARGS = [
    "--no-sandbox",
    "--disable-gpu",
    "--disable-background-networking",
    "--disable-component-update",
    "--no-first-run",
    "--autoplay-policy=no-user-gesture-required",
    # a window in the background must keep its timers and audio going
    "--disable-background-timer-throttling",
    "--disable-renderer-backgrounding",
    "--disable-backgrounding-occluded-windows",
    # an output buffer of 85 ms: a busy machine that holds the audio thread up
    # for tens of ms must not cut holes in what the tests record
    "--audio-buffer-size=4096",
]

# WebKitGTK's browser, in automation mode
MINIBROWSER = "/usr/lib/x86_64-linux-gnu/webkit2gtk-4.1/MiniBrowser"


@contextlib.contextmanager
def _environ(extra: dict[str, str]):
    saved = {k: os.environ.get(k) for k in extra}
    os.environ.update(extra)
    try:
        yield
    finally:
        for k, v in saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v


class Driver:
    """What the engine tests use of a browser page."""

    engine = ""

    def goto(self, url: str) -> "Driver":
        self._navigate(url)
        self.wait_for("() => window.vtReady === true", timeout=15)
        return self

    def js(self, fn: str, arg=None):
        """fn (a JS function expression, may be async) called with arg in the page; its result."""
        raise NotImplementedError

    def wait_for(self, fn: str, arg=None, timeout: float = 10.0, interval: float = 0.05):
        """Poll fn(arg) until it returns something truthy; returns it."""
        deadline = time.monotonic() + timeout
        while True:
            value = self.js(fn, arg)
            if value:
                return value
            if time.monotonic() > deadline:
                raise AssertionError(f"{self.engine}: timed out waiting for {fn} ({arg!r}): last {value!r}")
            time.sleep(interval)

    def player(self, cid: str) -> None:
        self.wait_for("cid => !!(window.vtPlayers && window.vtPlayers[cid])", cid)

    def stats(self, cid: str) -> dict:
        return self.js("cid => window.vtPlayers[cid].stats()", cid)

    def wait_stats(self, cid: str, predicate, timeout: float = 10.0) -> dict:
        """Poll stats() until predicate(stats) holds; returns the last stats (a "stale" one, whose worklet did not
        answer in time, never counts)."""
        deadline = time.monotonic() + timeout
        st = self.stats(cid)
        while st.get("stale") or not predicate(st):
            if time.monotonic() > deadline:
                raise AssertionError(f"{self.engine or 'page'}: timed out waiting on player {cid}: {st}")
            time.sleep(0.05)
            st = self.stats(cid)
        return st

    def text(self, selector: str) -> str:
        return self.js("s => { const e = document.querySelector(s); return e ? e.textContent : null; }", selector)

    def click(self, selector: str) -> None:
        raise NotImplementedError

    def press(self, selector: str, key: str) -> None:
        """Focus selector and press key (a DOM key name: " ", "k", "ArrowRight", "End" ...)."""
        raise NotImplementedError

    def _navigate(self, url: str) -> None:
        raise NotImplementedError

    def close(self) -> None:
        pass


class ChromiumDriver(Driver):
    engine = "chromium"

    def __init__(self, browser) -> None:
        self.context = browser.new_context(viewport={"width": 900, "height": 700})
        self.page = self.context.new_page()
        self.errors: list[str] = []
        self.page.on("pageerror", lambda e: self.errors.append(f"pageerror: {e}"))

    def _navigate(self, url: str) -> None:
        self.page.goto(url)

    def js(self, fn: str, arg=None):
        return self.page.evaluate(fn, arg)

    def click(self, selector: str) -> None:
        self.page.locator(selector).click()

    def press(self, selector: str, key: str) -> None:
        self.page.locator(selector).press("Space" if key == " " else key)

    def close(self) -> None:
        self.context.close()


# The WebDriver codes of the keys the tests press (the same in every W3C WebDriver client).
_KEYS = {"ArrowLeft": "\ue012", "ArrowUp": "\ue013", "ArrowRight": "\ue014", "ArrowDown": "\ue015",
         "Home": "\ue011", "End": "\ue010", " ": "\ue00d"}


class _WebDriverPage(Driver):
    """A page driven through a W3C WebDriver session (Firefox's client and Selenium's alike)."""

    def __init__(self, session) -> None:
        self.session = session
        self.errors: list[str] = []

    def js(self, fn: str, arg=None):
        # fn's text goes as it is: under the page's CSP a script that compiles it (eval) is refused
        value = self._run("const done = arguments[arguments.length - 1];\n"
                          f"Promise.resolve(arguments[0]).then((arg) => ({fn})(arg)).then((v) => done(v === undefined"
                          " ? null : v), (e) => done({__error: String(e && e.stack || e)}));", arg)
        if isinstance(value, dict) and "__error" in value:
            raise AssertionError(f"{self.engine}: script failed: {value['__error']}")
        return value

    def click(self, selector: str) -> None:
        self.session.find_element("css selector", selector).click()

    def press(self, selector: str, key: str) -> None:
        self.js("s => document.querySelector(s).focus()", selector)
        self.session.find_element("css selector", selector).send_keys(_KEYS.get(key, key))

    def close(self) -> None:
        # leave the page, so that its players stop before the next test's page opens
        try:
            self._navigate("about:blank")
        except Exception:  # noqa: BLE001 - a page that hangs is reported by the test itself
            pass


class FirefoxDriver(_WebDriverPage):
    engine = "firefox"

    def _navigate(self, url: str) -> None:
        self.session.navigate(url)

    def _run(self, script: str, arg):
        return self.session.execute_async_script(script, script_args=[arg], sandbox=None, new_sandbox=False)


class WebKitDriver(_WebDriverPage):
    engine = "webkit"

    def _navigate(self, url: str) -> None:
        self.session.get(url)

    def _run(self, script: str, arg):
        return self.session.execute_async_script(script, arg)


class Chromium:
    """A headful chromium on the display, playing into the sound server."""

    name = "chromium"

    def __init__(self, env: dict[str, str]) -> None:
        try:
            from playwright.sync_api import sync_playwright
        except ImportError as exc:
            raise Unavailable("playwright for Python is not installed (pip install playwright)") from exc
        path = shutil.which("chromium")
        if not path:
            raise Unavailable("chromium is not installed (apt-get install chromium)")
        self._pw_cm = sync_playwright()
        pw = self._pw_cm.__enter__()
        with _environ(env):  # Playwright looks for the display in its own environment
            self.browser = pw.chromium.launch(
                executable_path=path, headless=False, args=CHROMIUM_ARGS,
                # Playwright mutes the browser by default: the tests listen to it
                ignore_default_args=["--mute-audio"], env=dict(os.environ, **env),
            )

    def page(self) -> Driver:
        return ChromiumDriver(self.browser)

    def close(self) -> None:
        try:
            self.browser.close()
        finally:
            self._pw_cm.__exit__(None, None, None)


class Firefox:
    """Firefox ESR, headful on the display, playing into the sound server."""

    name = "firefox"

    def __init__(self, env: dict[str, str], log_dir: Path) -> None:
        try:
            with warnings.catch_warnings():  # the client's own dependencies use deprecated modules
                warnings.simplefilter("ignore", DeprecationWarning)
                from marionette_driver.marionette import Marionette
        except ImportError as exc:
            raise Unavailable("marionette_driver is not installed (pip install marionette_driver)") from exc
        path = shutil.which("firefox-esr") or shutil.which("firefox")
        if not path:
            raise Unavailable("firefox is not installed (apt-get install firefox-esr)")
        log_dir.mkdir(parents=True, exist_ok=True)
        self.workspace = tempfile.mkdtemp(prefix="vt-firefox-")
        with _environ(env):
            # port 0: a free port, so that several runs on one machine do not meet;
            # socket_timeout: a page that blocks fails its test instead of hanging the run
            self.client = Marionette(bin=path, port=0, prefs=FIREFOX_PREFS, gecko_log=str(log_dir / "gecko.log"),
                                     workspace=self.workspace, socket_timeout=60, startup_timeout=60)
            self.client.start_session()
        self.client.timeout.script = 30

    def page(self) -> Driver:
        return FirefoxDriver(self.client)

    def close(self) -> None:
        try:
            self.client.delete_session()
        except Exception:  # noqa: BLE001 - already gone
            pass
        try:
            self.client.cleanup()
        finally:
            shutil.rmtree(self.workspace, ignore_errors=True)


# Beside the WebKit driver: when the test run ends, however it ends (this end of the pipe closes),
# the driver's process group goes: the driver, the browser and the browser's web processes.
_REAPER = "import os,signal,sys; signal.signal(signal.SIGINT, signal.SIG_IGN); sys.stdin.read(); os.killpg(int(sys.argv[1]), 9)"


class WebKit:
    """WebKitGTK's MiniBrowser (its media through GStreamer) driven by WebKitWebDriver, headful.

    The driver runs in a process group of its own, stopped by its id at the end (a hung
    page outlives the session's end); every command has a time limit.  autoplay=False:
    the browser's own policy (sound after a gesture).
    """

    def __init__(self, env: dict[str, str], log_dir: Path, autoplay: bool = True) -> None:
        try:
            from selenium import webdriver
            from selenium.webdriver.remote.client_config import ClientConfig
            from selenium.webdriver.webkitgtk.service import Service
        except ImportError as exc:
            raise Unavailable("selenium is not installed (pip install selenium)") from exc
        driver = shutil.which("WebKitWebDriver")
        if not driver or not os.access(MINIBROWSER, os.X_OK):
            raise Unavailable("WebKitGTK's driver is not installed (apt-get install webkit2gtk-driver)")
        log_dir.mkdir(parents=True, exist_ok=True)
        self.workspace = tempfile.mkdtemp(prefix="vt-webkit-")
        self.service = Service(driver, log_output=str(log_dir / "webkit.log"), popen_kw={"start_new_session": True},
                               env=dict(os.environ, **env, **{k: os.path.join(self.workspace, k) for k in  # no profile
                                                              ("XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME")}))
        self.service.start()
        self.reaper = subprocess.Popen([sys.executable, "-c", _REAPER, str(self.service.process.pid)],
                                       stdin=subprocess.PIPE, stderr=subprocess.DEVNULL)
        options = webdriver.WebKitGTKOptions()
        options.binary_location = MINIBROWSER
        for arg in ["--automation"] + (["--autoplay-policy=allow"] if autoplay else []):
            options.add_argument(arg)
        self.config = ClientConfig(remote_server_addr=self.service.service_url, timeout=60)
        try:
            with warnings.catch_warnings():  # the client warns of an argument it passes itself
                warnings.simplefilter("ignore", DeprecationWarning)
                self.session = webdriver.Remote(self.service.service_url, options=options, client_config=self.config)
            self.session.set_script_timeout(30)
        except BaseException:
            self._stop()
            raise

    def page(self) -> Driver:
        return WebKitDriver(self.session)

    def close(self) -> None:
        with contextlib.suppress(Exception):  # a hung page: its process group goes below
            self.config.timeout = 10
            self.session.quit()
        self._stop()

    def _stop(self) -> None:
        self.reaper.stdin.close()  # the reaper stops the driver's whole group
        self.reaper.wait(10)
        self.service.process.wait(10)
        shutil.rmtree(self.workspace, ignore_errors=True)
