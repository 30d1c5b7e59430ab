"""Browsers on another machine: a pushed utterance is heard whole over plain
HTTP (as PCM), over HTTPS and through a TLS-terminating nginx (as Opus: a secure
context decodes it), and on a link slower
than the stream it arrives late but whole, or past the host's bound the page
and Python are told what was lost.

The other machine is a network namespace (see conftest.py); the browser runs
inside it and opens the host at the host side's address of the veth pair.
"""

from __future__ import annotations

import json
import socket
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

from browser.conftest import Events
from vt_core import server as vt_server

from .conftest import unavailable
from .tls import make_certificate

pytestmark = [pytest.mark.browser, pytest.mark.net]

NGINX = "/usr/sbin/nginx"


def tone(seconds: float, rate: int, channels: int, freq: float = 330.0) -> bytes:
    n = round(seconds * rate)
    mono = (np.sin(2 * np.pi * freq * np.arange(n) / rate) * 0.3 * 32767).astype(np.int16)
    return np.repeat(mono, channels).tobytes() if channels > 1 else mono.tobytes()


def speak(player, pcm: bytes, rate: int, channels: int, chunk: int = 4096, pace: float = 1.0,
          at_once_when=lambda: False) -> None:
    """One utterance as a speech engine writes it: a new writer, at ``pace`` times real time (0: at once),
    the rest at once from the chunk where ``at_once_when()`` is first true."""
    w = player.stream_writer()
    w.configure(rate, channels)
    t0, sent, per_second = time.monotonic(), 0, rate * channels * 2 * (pace or 1.0)
    for i in range(0, len(pcm), chunk):
        if pace and at_once_when():
            pace = 0
        if pace:
            delay = t0 + sent / per_second - time.monotonic()
            if delay > 0:
                time.sleep(delay)
        w.write(pcm[i : i + chunk])
        sent += len(pcm[i : i + chunk])
    w.finish()


def free_port(address: str) -> int:
    with socket.socket() as s:
        s.bind((address, 0))
        return s.getsockname()[1]


@pytest.fixture(scope="module")
def certificate(tmp_path_factory, other_machine):
    return make_certificate(tmp_path_factory.mktemp("tls"), ["localhost"], [other_machine.host_ip, "127.0.0.1"])


NGINX_CONF = """\
# nginx in front of the host: TLS ends here, the host listens on loopback.
worker_processes 1;
master_process off;
daemon off;
pid {prefix}/nginx.pid;
error_log {prefix}/error.log warn;
events {{ worker_connections 64; }}
http {{
    access_log off;
    client_body_temp_path {prefix}/body;
    proxy_temp_path {prefix}/proxy;
    fastcgi_temp_path {prefix}/fastcgi;
    uwsgi_temp_path {prefix}/uwsgi;
    scgi_temp_path {prefix}/scgi;

    map $http_upgrade $connection_upgrade {{
        default upgrade;
        ''      close;
    }}

    server {{
        listen {listen} ssl;
        ssl_certificate     {cert};
        ssl_certificate_key {key};

        location / {{
            proxy_pass http://127.0.0.1:{upstream};
            proxy_http_version 1.1;
            proxy_set_header Host $http_host;             # the name the browser used (allowed_hosts)
            proxy_set_header Upgrade $http_upgrade;       # WebSocket upgrade for /vt/ws
            proxy_set_header Connection $connection_upgrade;
            proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;
            proxy_set_header X-Forwarded-Proto $scheme;
            proxy_buffering off;                          # streams go out as they come
            proxy_read_timeout 1h;                        # a quiet WebSocket stays open
        }}
    }}
}}
"""


class Nginx:
    """Debian's nginx as a foreground process with its own configuration and prefix."""

    def __init__(self, prefix: Path, listen: str, upstream: int, cert: Path, key: Path) -> None:
        if not Path(NGINX).exists():
            unavailable("nginx is not installed (apt-get install nginx)")
        for sub in ("body", "proxy", "fastcgi", "uwsgi", "scgi"):
            (prefix / sub).mkdir(parents=True, exist_ok=True)
        conf = prefix / "nginx.conf"
        conf.write_text(NGINX_CONF.format(prefix=prefix, listen=listen, upstream=upstream, cert=cert, key=key))
        self.prefix = prefix
        self.proc = subprocess.Popen([NGINX, "-p", str(prefix), "-c", str(conf), "-e", str(prefix / "error.log")],
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        host, port = listen.rsplit(":", 1)
        deadline = time.monotonic() + 10
        while True:
            if self.proc.poll() is not None:
                raise AssertionError(f"nginx exited: {self.proc.stdout.read().decode()} {self.log()}")
            try:
                socket.create_connection((host, int(port)), timeout=1).close()
                break
            except OSError:
                assert time.monotonic() < deadline, f"nginx did not listen: {self.log()}"
                time.sleep(0.05)

    def log(self) -> str:
        path = self.prefix / "error.log"
        return path.read_text() if path.exists() else ""

    def stop(self) -> None:
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


class Served:
    """The host as the other machine reaches it: directly (http, https) or through nginx."""

    def __init__(self, via: str, machine, certificate, tmp_path: Path, **options) -> None:
        self.via = via
        self.nginx = None
        cert, key = certificate
        ip = machine.host_ip
        if via == "http":
            self.srv = vt_server.start(ip, 0, **options)
            self.url = self.srv.url
        elif via == "every-address":
            # bound to every address: one of the URLs it lists is the one the other machine can use
            self.srv = vt_server.start("0.0.0.0", 0, **options)
            self.url = next(u for u in self.srv.urls if u.startswith(f"http://{ip}:{self.srv.port}/?token="))
        elif via == "https":
            self.srv = vt_server.start(ip, 0, ssl_certfile=cert, ssl_keyfile=key, **options)
            self.url = self.srv.url
        else:
            port = free_port(ip)
            self.srv = vt_server.start("127.0.0.1", 0, allowed_hosts=[f"{ip}:{port}"], trusted_proxies=["127.0.0.1"],
                                       **options)
            try:
                self.nginx = Nginx(tmp_path / "nginx", f"{ip}:{port}", self.srv.port, cert, key)
            except BaseException:
                self.srv.stop()
                raise
            self.url = f"https://{ip}:{port}/?token={self.srv.token}"

    def close(self) -> None:
        if self.nginx is not None:
            self.nginx.stop()
        self.srv.stop()


@pytest.fixture
def serve(other_machine, certificate, tmp_path):
    """serve(via, **server_options): the host, reachable from the other machine."""
    made: list[Served] = []

    def start(via: str, **options) -> Served:
        s = Served(via, other_machine, certificate, tmp_path, **options)
        made.append(s)
        return s

    yield start
    for s in made:
        s.close()


VIAS = [
    pytest.param("http", id="http"),
    pytest.param("every-address", id="every-address"),
    pytest.param("https", id="https"),
    pytest.param("nginx", id="nginx"),
]


@pytest.mark.parametrize("via", VIAS)
def test_a_pushed_utterance_is_heard_whole_from_another_machine(serve, remote_page, cm, wa, via):
    served = serve(via)
    events = Events()
    p = wa.web_audio(onended=events.callback("ended"), onerror=events.callback("error"))
    p.on_stream_start(events.callback("start"))
    tls = via in ("https", "nginx")
    page = remote_page(served.url, [p.id], ignore_https_errors=tls)
    assert page.info["location"].startswith(served.url.split("?")[0]), page.info  # the secret left the address bar
    assert page.info["secure"] is tls
    rate, channels, seconds = 48000, 2, 1.5
    speak(p, tone(seconds, rate, channels), rate, channels)
    _, _, ended = events.wait("ended", timeout=20)
    assert ended["reason"] == "drained", ended
    assert ended["played"] == pytest.approx(seconds, abs=0.1), ended
    assert "error" not in events.names(), events.items
    assert events.names().count("start") == 1
    # a plain-HTTP page from another machine is not a secure context: no AudioWorklet, no AudioDecoder there
    st = page.stats(p.id)
    assert (st["engine"], st["codec"]) == (("worklet", "opus") if tls else ("scheduled", "pcm")), st
    assert page.errors() == []


# -- a link slower than the stream ------------------------------------------------------
#
# 48 kHz stereo is 1.54 Mbit/s of PCM; the host side of the link is shaped to 1 Mbit/s.


def test_on_a_slow_link_the_audio_arrives_late_but_whole(serve, remote_page, link, cm, wa):
    served = serve("https")
    events = Events()
    p = wa.web_audio(onended=events.callback("ended"), onerror=events.callback("error"))
    page = remote_page(served.url + "&codecs=pcm", [p.id], ignore_https_errors=True)  # (the link is PCM's)
    link.shape("1mbit")
    rate, channels, seconds = 48000, 2, 2.0
    t0 = time.monotonic()
    speak(p, tone(seconds, rate, channels), rate, channels)
    _, at, ended = events.wait("ended", timeout=30)
    print(f"\n{seconds:g} s utterance over a 1 Mbit/s link: ended after {at - t0:.2f} s, {ended}")
    assert at - t0 > seconds * 1.3  # late: the link carries about 0.65 s of audio per second
    assert ended["reason"] == "drained" and ended["played"] == pytest.approx(seconds, abs=0.1), ended
    assert ended["underruns"] > 0  # it ran dry while the link caught up, and went on
    assert "error" not in events.names() and served.srv.dropped_clients == 0
    assert page.evaluate("() => window.vtDrops.length") == 0
    assert page.errors() == []


@pytest.mark.parametrize("comes_back", ["at-once", "after-refused-attempts"])
def test_past_the_hosts_bound_the_page_and_python_are_told_what_was_lost(serve, remote_page, link, cm, wa,
                                                                         comes_back):
    served = serve("https", max_queue_bytes=512 * 1024)
    events = Events()
    p = wa.web_audio(onended=events.callback("ended"), onerror=events.callback("error"))
    page = remote_page(served.url + "&codecs=pcm", [p.id], ignore_https_errors=True)  # (the link is PCM's)
    secret = served.srv.access.token
    if comes_back == "after-refused-attempts":
        served.srv.access.token = "another-secret"  # the open connection stays; new ones are refused
    link.shape("8mbit", burst="64kb", latency="1s")
    # 60 s pushed at 20x real time (31 Mbit/s): more than the socket buffers
    # (megabytes) and the host's bound for this browser hold together; once the
    # page is dropped the rest comes at once, so the whole utterance is written
    # before the page can be back (it drains its socket first, then waits its
    # back-off): what it missed is one gap to the end, whenever it returns
    rate, channels, seconds = 48000, 2, 60.0
    pcm = tone(seconds, rate, channels)
    speak(p, pcm, rate, channels, chunk=16384, pace=20, at_once_when=lambda: served.srv.dropped_clients > 0)
    if comes_back == "after-refused-attempts":
        deadline = time.monotonic() + 30
        while not page.evaluate("() => window.vtDrops.length"):
            assert time.monotonic() < deadline, "the page was not dropped"
            time.sleep(0.1)
        time.sleep(2.0)  # a few attempts to come back are refused (403) meanwhile
        served.srv.access.token = secret
    # the page gets what was written to it, a notice, reconnects and is told the whole loss
    _, _, error = events.wait("error", timeout=60)
    print(f"\n60 s pushed at 20x real time over an 8 Mbit/s link with a 512 KiB bound: {error}")
    assert error["reason"] == "slow-connection" and 0 < error["dropped"] < seconds
    assert f"{error['dropped']:.2f} s" in error["error"]
    # the page hears it on its own connection, independently of Python's callback
    deadline = time.monotonic() + 10
    while not ((drops := page.evaluate("() => window.vtDrops")) and drops[-1]["type"] == "lost"):
        assert time.monotonic() < deadline, f"the page was not told the whole loss: {drops}"
        time.sleep(0.1)
    print("the page was told:", drops)
    assert drops[-1]["type"] == "lost" and len(drops) <= 2, drops
    assert drops[0]["lostBytes"] <= drops[-1]["lostBytes"] == error["lostBytes"]
    assert drops[-1]["lostSeconds"] == error["dropped"]
    assert page.evaluate("() => window.vtReady") is True
    assert "audio lost" in page.evaluate("() => document.getElementById('vt-connection').textContent")
    assert served.srv.client_count == 1 and served.srv.dropped_clients == 1
    # every byte pushed was either received by the page or counted as lost (what the
    # host kept of the stream's end reaches the page after it is back, at the link's rate)
    deadline = time.monotonic() + 10
    while (received := page.stats(p.id)["bytesReceived"]) + error["lostBytes"] < len(pcm):
        assert time.monotonic() < deadline, (received, error["lostBytes"], len(pcm))
        time.sleep(0.1)
    assert received + error["lostBytes"] == len(pcm)
    assert events.names().count("error") == 1


def test_the_printed_address_is_the_one_of_the_default_route(other_machine):
    # On the other machine: its link to us and a second interface, one of them
    # carrying the default route (as a LAN interface beside a container bridge or
    # a VPN): whichever the system lists first, the routed one is named first.
    extra, address = f"{other_machine.ns[:10]}x", f"10.219.{other_machine.peer_ip.split('.')[2]}.1"
    for cmd in (["ip", "link", "add", extra, "type", "veth", "peer", "name", extra + "p"],
                ["ip", "addr", "add", f"{address}/24", "dev", extra], ["ip", "link", "set", extra, "up"],
                ["ip", "link", "set", extra + "p", "up"]):
        assert other_machine.run(*cmd).returncode == 0, cmd
    script = ("import socket; from vt_core import interfaces as i; "
              "print(' '.join(n for _, n in socket.if_nameindex())); print(' '.join(i.local_addresses()))")
    try:
        names = other_machine.run(sys.executable, "-c", script).stdout.splitlines()[0].split()
        listed_first = min((extra, address), (other_machine.peer_dev, other_machine.peer_ip),
                           key=lambda dev: names.index(dev[0]))
        routed = (extra, address) if listed_first[0] != extra else (other_machine.peer_dev, other_machine.peer_ip)
        assert other_machine.run("ip", "route", "add", "default", "dev", routed[0]).returncode == 0
        out = other_machine.run(sys.executable, "-c", script)
        assert out.returncode == 0, out.stderr
        assert out.stdout.splitlines()[1].split() == [routed[1], listed_first[1]]
    finally:
        other_machine.run("ip", "route", "del", "default")
        other_machine.run("ip", "link", "del", extra)


LAN_CLIENT = r"""
import json, socket, ssl, sys
tls = ssl._create_unverified_context()
for raw in json.loads(sys.argv[3]):  # each request from the source address, its answer's head on one line
    with tls.wrap_socket(socket.create_connection(sys.argv[2].split(":"), 20, (sys.argv[1], 0))) as t:
        t.sendall(raw.encode())
        print(t.recv(65536).decode("latin-1").split("\r\n\r\n")[0].replace("\r\n", "|"))
"""


def test_behind_nginx_a_session_is_sealed_to_the_lan_address_that_opened_it(serve, other_machine):
    vt_server.register_audio("g", lambda p: iter([b"\0" * 4096]), wav_header=False)
    served, machine = serve("nginx"), other_machine
    host, opener, thief = served.url.split("/")[2], machine.peer_ip, machine.peer_ip.rsplit(".", 1)[0] + ".3"
    assert machine.run("ip", "addr", "add", f"{thief}/24", "dev", machine.peer_dev).returncode == 0
    ws = "Upgrade: websocket\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"

    def ask(source: str, *targets: str, cookie: str = "") -> "list[str]":
        requests = [f"GET {t} HTTP/1.1\r\nHost: {host}\r\nOrigin: https://{host}\r\nX-VT-Page: 1\r\n{cookie}Connection: "
                    + (f"Upgrade\r\n{ws}" if t == "/vt/ws" else "close\r\n") + "\r\n" for t in targets]
        out = machine.run(sys.executable, "-c", LAN_CLIENT, source, host, json.dumps(requests))
        assert out.returncode == 0, out.stderr
        return [line.split(" ")[1] if cookie else line for line in out.stdout.splitlines()]

    try:
        [opened] = ask(opener, f"/?token={served.srv.token}")  # a cookie opened by one LAN address, through the proxy
        cookie = "Cookie: " + opened.split("Set-Cookie: ", 1)[1].split(";")[0] + "\r\n"
        assert [ask(source, "/", "/vt/audio/g", "/vt/ws", cookie=cookie) for source in (opener, thief)] \
            == [["200", "200", "101"], ["403", "403", "403"]]  # is refused from another
        direct = machine.run(sys.executable, "-c", f"import socket; socket.create_connection(('{machine.host_ip}', "
                             f"{served.srv.port}), 5)")  # and the host on loopback is not there for it at all
        assert "ConnectionRefusedError" in direct.stderr, direct
    finally:
        machine.run("ip", "addr", "del", f"{thief}/24", "dev", machine.peer_dev)
        vt_server.unregister_audio("g")
