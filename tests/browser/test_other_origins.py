"""Pages of other origins, in the same chromium as the user's page, against the host.

The attacker is a page served from another port of 127.0.0.1 (same site,
another origin) and a registered file with script in it, opened on the
host's own origin.
"""

from __future__ import annotations

import asyncio
import threading
import time
import wave
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

from vt_core import server as vt_server
from vt_core import widgets
from vt_core.utils import convertPath2Url

pytestmark = pytest.mark.browser

ATTACK = """<!doctype html><meta charset="utf-8"><title>elsewhere</title>
<iframe id="frame" src="{origin}/"></iframe>
<audio id="audio" src="{origin}/vt/audio/g?from=audio" autoplay></audio>
<img src="{origin}/vt/audio/g?from=img" alt="">
<script>
  window.results = {{}};
  const audio = document.getElementById("audio");
  audio.addEventListener("error", () => (results.audio = "error"));
  audio.addEventListener("playing", () => (results.audio = "playing"));
  const ws = new WebSocket("{ws}/vt/ws");
  ws.onopen = () => (results.ws = "open");
  ws.onerror = () => (results.ws = "error");
  fetch("{origin}/vt/audio/g?from=fetch", {{mode: "no-cors", credentials: "include"}})
    .then(() => (results.fetch = "sent"), () => (results.fetch = "failed"));
</script>"""


class _Elsewhere(BaseHTTPRequestHandler):
    """Serves the attack page at / and records the Cookie header of every request."""

    def log_message(self, *args) -> None:
        pass

    def do_GET(self) -> None:  # noqa: N802 - the handler API
        self.server.cookies.append(self.headers.get("Cookie", ""))
        body = self.server.page.encode() if self.path == "/" else b""
        self.send_response(200 if body or self.path == "/toss" else 404)
        if self.path == "/toss":  # a cookie for the host name, whatever the port
            self.send_header("Set-Cookie", self.server.toss)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


@pytest.fixture
def elsewhere(server):
    site = ThreadingHTTPServer(("127.0.0.1", 0), _Elsewhere)
    site.daemon_threads = True
    site.cookies = []
    site.page = ATTACK.format(origin=server.origin, ws=server.origin.replace("http:", "ws:"))
    threading.Thread(target=site.serve_forever, daemon=True).start()
    yield site
    site.shutdown()
    site.server_close()


@pytest.fixture
def generator_runs():
    seen = []

    def generator(params):
        seen.append(params)
        return iter([b"\0\0" * 4800] * 10)

    vt_server.register_audio("g", generator, sample_rate=48000, channels=1)
    yield seen
    vt_server.unregister_audio("g")


def quiet_wav(path) -> str:
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(8000)
        w.writeframes(b"\0\0" * 8000)
    return str(path)


def settle(predicate, timeout: float = 5.0) -> None:
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("timed out")
        time.sleep(0.05)


def test_a_page_on_another_port_gets_neither_the_secret_nor_the_player(page, server, wa, events, elsewhere,
                                                                      generator_runs, tmp_path):
    player = wa.web_audio(quiet_wav(tmp_path / "quiet.wav"), onplay=events.callback("play"))
    page.open().player(player.id)  # the user opened the printed URL: the browser holds the host's cookie
    assert server.client_count == 1

    other = page.page.context.new_page()
    other.goto(f"http://127.0.0.1:{elsewhere.server_port}/")
    other.wait_for_function("() => window.results && results.audio && results.ws && results.fetch", timeout=10_000)
    results = other.evaluate("results")
    assert results["audio"] == "error" and results["ws"] == "error", results
    time.sleep(1.5)  # what a framed page would do, it has done by now

    # The cookie reached the other port (cookies do not tell ports apart), but not the secret.
    assert elsewhere.cookies and all(server.token not in c for c in elsewhere.cookies)
    assert generator_runs == []
    assert server.client_count == 1  # the framed page never got to open its socket
    assert events.names() == []
    assert not page.errors, page.errors


def test_a_session_cookie_tossed_from_another_port_does_not_lock_the_page_out(page, server, elsewhere):
    """Over plain HTTP any server of the host name may set the page's cookie; the page gets back in by itself."""
    page.open()
    for path in ("/", "/vt"):
        elsewhere.toss = f"vt-session-{server.port}=junk.junk; Path={path}"
        page.page.context.new_page().goto(f"http://127.0.0.1:{elsewhere.server_port}/toss")
        page.page.reload()  # the cookie it sends is junk: the page is let back in by the session it kept
        page.page.wait_for_function("() => window.vtReady === true", timeout=10_000)
        asyncio.run_coroutine_threadsafe(server.hub.close_all(), server._loop).result(5)
        settle(lambda: server.client_count == 1, timeout=10)  # so is its socket, reconnecting
    assert server.token not in page.page.evaluate("() => JSON.stringify(sessionStorage)")


def test_registered_pages_and_images_run_no_script_on_the_host(page, server, wa, events, tmp_path):
    """A registered .html or .svg with script is neither run nor rendered on the host's origin."""
    script = (b"<script>const ws = new WebSocket(`ws://${location.host}/vt/ws`);"
              b"ws.onmessage = (m) => { const d = JSON.parse(m.data); if (d.type === 'components')"
              b" for (const c of d.components) ws.send(JSON.stringify({type: 'event', id: c.id,"
              b" event: 'web-audio-play', payload: {}})); };</script>")
    (tmp_path / "page.html").write_bytes(b"<!doctype html><p>hi</p>" + script)
    (tmp_path / "pic.svg").write_bytes(b"<svg xmlns='http://www.w3.org/2000/svg'>" + script + b"</svg>")
    player = wa.web_audio(quiet_wav(tmp_path / "quiet.wav"), onplay=events.callback("play"))
    page.open().player(player.id)
    for name in ("page.html", "pic.svg"):
        url = convertPath2Url(tmp_path / name)
        page.page.evaluate("url => { const f = document.createElement('iframe'); f.src = url;"
                           " document.body.appendChild(f); }", url)
    time.sleep(1.5)
    assert server.client_count == 1
    assert events.names() == []


def test_the_page_plays_under_its_policy(page, server, wa, events, generator_runs):
    """The player and a pulled stream work under the page's CSP, with no violation reported."""
    widgets.html('<p style="color: rebeccapurple">styled markup</p>')
    player = wa.web_audio(stream_mode=True, onplay=events.callback("play"))
    page.open().player(player.id)
    player.start_stream(server.origin + "/vt/audio/g", sample_rate=48000, channels=1)
    settle(lambda: generator_runs, timeout=10)
    page.wait_stats(player.id, lambda s: s["framesReceived"] == 48000)  # all of it, through the page's fetch
    color = page.page.evaluate("getComputedStyle(document.querySelector('.vt-html p')).color")
    assert color == "rgb(102, 51, 153)"
    assert not page.errors, page.errors
    # Markup that slips script into the page runs none of it.
    widgets.html('<img src="data:," onload="window.injected = 1"><p>x</p>')
    page.page.evaluate("document.body.append(Object.assign(document.createElement('script'),"
                       " {textContent: 'window.injected = 2'}))")
    page.page.wait_for_function("() => document.querySelectorAll('.vt-html').length === 2")
    time.sleep(0.3)
    assert page.page.evaluate("window.injected") is None
    assert page.errors and all("script-src" in e for e in page.errors), page.errors
