"""Fixtures for the browser tests: a host server, headless chromium, a page.

Chromium comes from the system (Debian's package); Playwright only drives it.
Playwright's sync API keeps an asyncio loop running on the main thread while it
is open, so the browser lives for one module only: tests that run later (and
call asyncio.run) must not find it.
Without chromium or Playwright these tests skip, except under CI (CI=true),
where a missing browser is a failure.
"""

from __future__ import annotations

import os
import shutil
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from types import SimpleNamespace
from urllib.parse import parse_qs, quote, urlsplit

import pytest

from .drivers import Driver

CHROMIUM_ARGS = [
    "--headless",
    "--no-sandbox",
    "--disable-gpu",
    "--disable-background-networking",
    "--disable-component-update",
    "--no-first-run",
]
AUTOPLAY_ARG = "--autoplay-policy=no-user-gesture-required"
GESTURE_ARG = "--autoplay-policy=user-gesture-required"

ARTIFACTS = Path(__file__).resolve().parents[2] / "artifacts"


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "bypass_csp: browser pages ignore the page's Content-Security-Policy (for test instruments)")


def _unavailable(reason: str):
    if os.environ.get("CI") == "true":
        pytest.fail(f"browser tests cannot run under CI: {reason}")
    pytest.skip(reason)


def _chromium_path() -> str:
    path = shutil.which("chromium")
    if not path:
        _unavailable("chromium is not installed (apt-get install chromium)")
    return path


@pytest.fixture(scope="module")
def playwright_sync():
    try:
        from playwright.sync_api import sync_playwright
    except ImportError:
        _unavailable("playwright for Python is not installed (pip install playwright)")
    path = _chromium_path()
    with sync_playwright() as pw:
        yield pw, path


@pytest.fixture(scope="module")
def launch_browser(playwright_sync):
    """launch_browser(autoplay=True, args=()): a new chromium; the caller closes it.

    With autoplay=False the browser wants a user gesture before it plays sound;
    args are more command-line switches.
    """
    pw, path = playwright_sync

    def launch(autoplay: bool = True, args=()):
        return pw.chromium.launch(
            executable_path=path, args=CHROMIUM_ARGS + [AUTOPLAY_ARG if autoplay else GESTURE_ARG, *args]
        )

    return launch


@pytest.fixture(scope="module")
def browser(launch_browser):
    b = launch_browser()
    yield b
    b.close()


@pytest.fixture(scope="module")
def artifacts_dir():
    ARTIFACTS.mkdir(exist_ok=True)
    return ARTIFACTS


@pytest.fixture(scope="module")
def server():
    from vt_core import server as vt_server

    s = vt_server.start("127.0.0.1", 0)
    yield s
    s.stop()


CSP_WATCH = """addEventListener("securitypolicyviolation", (e) =>
  console.error(`CSP violation: ${e.violatedDirective} blocked ${e.blockedURI || "inline code"}`));"""


class Page:
    """A Playwright page on the host's page, with helpers for the players."""

    def __init__(self, page, url: str, engine: str | None = None) -> None:
        self.page = page
        self.url = url
        self.engine = engine  # the stream engine this page must use (None: whichever it picks)
        self.errors: list[str] = []
        page.on("pageerror", lambda e: self.errors.append(f"pageerror: {e}"))
        page.on("console", lambda m: m.type == "error" and self.errors.append(f"console: {m.text}"))
        # Whatever the page's Content-Security-Policy blocks is an error of the page's.
        page.add_init_script(CSP_WATCH)

    def open(self) -> "Page":
        # wait_for_function predicates are written as functions: one given as an
        # expression is polled through eval, which the page's CSP forbids.
        self.page.goto(self.url)
        self.page.wait_for_function("() => window.vtReady === true", timeout=10_000)
        return self

    def player(self, cid: str, timeout: float = 5_000) -> None:
        self.page.wait_for_function("cid => !!(window.vtPlayers && window.vtPlayers[cid])", arg=cid, timeout=timeout)

    def stats(self, cid: str) -> dict:
        st = self.page.evaluate("cid => window.vtPlayers[cid].stats()", cid)
        if self.engine and st.get("engine") not in (None, self.engine):
            raise AssertionError(f"player {cid} streams through {st.get('engine')!r}, not {self.engine!r}")
        return st

    wait_stats = Driver.wait_stats


#: Pages of the tests that read samples exactly (levels of DC probes, exact counts while a stream is
#: open) take pushed streams as PCM: a lossy codec passes neither DC nor the exact samples.  The
#: stream bodies run with each codec (``BY_CODEC``).
PCM_ONLY = "&codecs=pcm"


@pytest.fixture
def open_page(browser, server, cm, request):
    """open_page(browser=None, url=None): a Page (not yet opened) in a fresh context.

    A test marked ``bypass_csp`` gets pages that ignore the page's
    Content-Security-Policy, to load instruments of its own (a worklet from a
    blob: URL) that the policy refuses.
    """
    cm.clear()  # a page of this test's components only
    contexts = []
    bypass_csp = request.node.get_closest_marker("bypass_csp") is not None

    def make(in_browser=None, url=None) -> Page:
        context = (in_browser or browser).new_context(viewport={"width": 900, "height": 700}, bypass_csp=bypass_csp)
        contexts.append(context)
        return Page(context.new_page(), url or server.url + PCM_ONLY)

    yield make
    for context in contexts:
        try:
            context.close()
        except Exception:  # noqa: BLE001 - its browser was closed already
            pass


@pytest.fixture
def page(open_page):
    return open_page()


@pytest.fixture(params=["worklet", "scheduled"])
def stream_engine(request) -> str:
    """Each stream engine in turn: the AudioWorklet ring, and the main-thread engine that pages
    without AudioWorklet use (forced here on loopback with ?streamEngine=scheduled)."""
    return request.param


@pytest.fixture
def engine_page(open_page, server, stream_engine):
    """engine_page(browser=None, query=""): like open_page(), on the page with stream_engine in use
    (query: more page options, e.g. "sampleRate=32000")."""

    def make(in_browser=None, query: str = "") -> Page:
        url = server.url + PCM_ONLY
        extra = [q for q in (query, "" if stream_engine == "worklet" else f"streamEngine={stream_engine}") if q]
        if extra:
            url += ("&" if "?" in url else "?") + "&".join(extra)
        p = open_page(in_browser, url)
        p.engine = stream_engine
        return p

    return make


@pytest.fixture
def stream_page(engine_page):
    """A Page (not yet opened) whose streams play through stream_engine."""
    return engine_page()


class Events:
    """Collects the events a player's callbacks receive, with arrival times."""

    def __init__(self) -> None:
        self._cond = threading.Condition()
        self.items: list[tuple[str, float, object]] = []

    def callback(self, name: str):
        def record(payload=None):
            with self._cond:
                self.items.append((name, time.monotonic(), payload))
                self._cond.notify_all()

        return record

    def names(self) -> list[str]:
        with self._cond:
            return [n for n, _, _ in self.items]

    def wait(self, name: str, count: int = 1, timeout: float = 10.0) -> tuple[str, float, object]:
        """The count-th event called name (waits for it)."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                found = [e for e in self.items if e[0] == name]
                if len(found) >= count:
                    return found[count - 1]
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"no {name!r} event #{count} within {timeout}s; got {self.names()}")
                self._cond.wait(left)


@pytest.fixture
def events():
    return Events()


class _OriginHandler(BaseHTTPRequestHandler):
    """Files of the origin's directory under /f/<name>; /redirect?to=<url> answers 302.

    The origin sends CORS headers when it allows cross-origin reads.  Range
    requests get the whole file (200): media elements cope with that.
    """

    server: "_Origin"

    def log_message(self, *args) -> None:  # quiet
        pass

    def _cors(self) -> None:
        if self.server.cors:
            self.send_header("Access-Control-Allow-Origin", "*")

    def do_GET(self) -> None:  # noqa: N802 - the handler API
        url = urlsplit(self.path)
        self.server.requests.append(url.path)
        if url.path == "/redirect":
            self.send_response(302)
            self.send_header("Location", parse_qs(url.query)["to"][0])
            self._cors()
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        name = url.path[len("/f/") :] if url.path.startswith("/f/") else ""
        path = self.server.root / name
        if not name or "/" in name or not path.is_file():
            body = b"not here"
            self.send_response(404)
            self._cors()
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        body = path.read_bytes()
        self.send_response(200)
        self._cors()
        self.send_header("Content-Type", self.server.types.get(path.suffix, "application/octet-stream"))
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        try:
            self.wfile.write(body)
        except (BrokenPipeError, ConnectionResetError):
            pass


class _Origin(ThreadingHTTPServer):
    daemon_threads = True
    types = {".wav": "audio/wav", ".mp3": "audio/mpeg", ".ogg": "audio/ogg", ".opus": "audio/ogg",
             ".flac": "audio/flac", ".m4a": "audio/mp4", ".bin": "audio/wav"}

    def __init__(self, root: Path, cors: bool) -> None:
        super().__init__(("127.0.0.1", 0), _OriginHandler)
        self.root = root
        self.cors = cors
        self.requests: list[str] = []
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def url(self, name: str) -> str:
        return f"http://127.0.0.1:{self.server_port}/f/{name}"

    def redirect(self, to: str) -> str:
        return f"http://127.0.0.1:{self.server_port}/redirect?to={quote(to, safe='')}"


@pytest.fixture(scope="module")
def origins(tmp_path_factory):
    """Two more local origins serving one directory: .cors allows cross-origin reads, .plain does not."""
    root = tmp_path_factory.mktemp("origin")
    cors, plain = _Origin(root, True), _Origin(root, False)
    yield SimpleNamespace(root=root, cors=cors, plain=plain)
    for s in (cors, plain):
        s.shutdown()
        s.server_close()


# -- listening at the output, in every engine ------------------------------------------


@pytest.fixture(scope="session")
def sound_server(tmp_path_factory):
    """A sound server of the tests' own with a null sink, and its recorder (output.py)."""
    from .output import SoundServer, Unavailable

    try:
        s = SoundServer(tmp_path_factory.mktemp("sound"))
    except Unavailable as exc:
        _unavailable(str(exc))
    yield s
    s.stop()


@pytest.fixture(scope="session")
def display():
    """An X display (Xvfb) for headful browsers: headless ones send no sound to the sink."""
    from .output import Display, Unavailable

    try:
        d = Display()
    except Unavailable as exc:
        _unavailable(str(exc))
    yield d
    d.stop()


BROWSER_ENGINES = ["chromium", "firefox", "webkit"]


@pytest.fixture(scope="module", params=BROWSER_ENGINES)
def browser_engine(request, sound_server, display, artifacts_dir):
    """A headful browser of each engine in turn, playing into the sound server."""
    from .drivers import Chromium, Firefox, WebKit
    from .output import Unavailable

    env = dict(sound_server.env, DISPLAY=display.name)
    try:
        b = Chromium(env) if request.param == "chromium" else {"firefox": Firefox, "webkit": WebKit}[request.param](
            env, artifacts_dir / request.param)
    except Unavailable as exc:
        _unavailable(str(exc))
    yield b
    b.close()


#: Stream bodies take the driver with each codec: ``@BY_CODEC``.
BY_CODEC = pytest.mark.parametrize("driver", ["opus", "pcm"], indirect=True)


@pytest.fixture
def driver(browser_engine, server, cm, request):
    """A page driver (drivers.Driver) of the current engine, not yet on the host's page; pushed streams
    reach it coded with ``driver.codec`` (the page asks for Opus, or only for PCM; ``BY_CODEC``)."""
    cm.clear()
    d = browser_engine.page()
    d.codec = getattr(request, "param", "opus")
    d.url = server.url + ("&codecs=pcm" if d.codec == "pcm" else "")
    yield d
    d.close()
