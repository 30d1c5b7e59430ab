"""What other users of the machine, LAN peers and pages on other ports can do with raw sockets.

Each client here sends exactly what such a party would: a cookie the
browser leaked to another port, requests with the Fetch Metadata a page on
another port gets, malformed and slow requests.
"""

from __future__ import annotations

import json
import logging
import os
import socket
import subprocess
import sys
import time

import pytest

from vt_core import server as vt_server
from vt_core.utils import convertPath2Url

from .conftest import RawWebSocket, WAIT, auth, http_exchange, http_raw, run


@pytest.fixture
def runs():
    """A registered generator ("g", a second of quiet in 4 KiB chunks); the list records each run's params."""
    seen = []

    def generator(params):
        seen.append(params)
        return iter([b"\0" * 4096] * 24)

    vt_server.register_audio("g", generator, sample_rate=48000, channels=1, wav_header=False)
    yield seen
    vt_server.unregister_audio("g")


def session_cookie(server) -> str:
    """Open the printed URL as a browser would; returns the ``Cookie`` header line it then sends."""
    status, headers, _ = http_exchange(server.port, f"/?token={server.token}")
    assert status == 303
    return "Cookie: " + headers["set-cookie"].split(";")[0] + "\r\n"


def ws_status(port: int, headers: str) -> int:
    """Status of a WebSocket upgrade sent with ``headers``."""
    with socket.create_connection(("127.0.0.1", port), timeout=WAIT) as sock:
        sock.sendall((f"GET /vt/ws HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
                      f"Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                      f"Sec-WebSocket-Version: 13\r\n{headers}\r\n").encode())
        return int(sock.recv(4096).split(b" ", 2)[1])


OWN_PAGE = "Sec-Fetch-Site: same-origin\r\nSec-Fetch-Mode: cors\r\nSec-Fetch-Dest: empty\r\n"
OTHER_PORT_AUDIO = "Sec-Fetch-Site: same-site\r\nSec-Fetch-Mode: no-cors\r\nSec-Fetch-Dest: audio\r\n"


def test_the_session_cookie_opens_only_this_server_for_its_own_page(server, runs):
    """What another service on the host learns from the cookie does not open the streams or the socket."""
    port, cookie = server.port, session_cookie(server)
    own = f"Origin: {server.origin}\r\n"
    assert http_raw(port, "/", headers=cookie)[0] == 200

    # <audio src=http://127.0.0.1:<port>/vt/audio/g> on a page of another port carries the cookie
    # (same site) but no Origin; its Fetch Metadata says where it comes from.
    assert http_raw(port, "/vt/audio/g?x=1", headers=cookie + OTHER_PORT_AUDIO)[0] == 403
    assert http_raw(port, "/vt/audio/g?x=2", headers=cookie + "Sec-Fetch-Site: cross-site\r\n")[0] == 403
    # Where the browser sends no Fetch Metadata (plain http off loopback), the cookie alone is not enough.
    assert http_raw(port, "/vt/audio/g?x=3", headers=cookie)[0] == 403
    assert ws_status(port, cookie) == 403
    # The WebSocket of a page on another port, and one sent as same-site.
    assert ws_status(port, cookie + f"Origin: http://127.0.0.1:{port + 1}\r\n") == 403
    assert ws_status(port, cookie + own + "Sec-Fetch-Site: same-site\r\n") == 403
    assert runs == []

    # The page itself: same-origin Fetch Metadata, its Origin, or its own header.
    assert http_raw(port, "/vt/audio/g?x=4", headers=cookie + OWN_PAGE)[0] == 200
    assert http_raw(port, "/vt/audio/g?x=5", headers=cookie + "X-VT-Page: 1\r\n")[0] == 200
    assert ws_status(port, cookie + own + "Sec-Fetch-Site: same-origin\r\n") == 101
    assert [r["x"] for r in runs] == ["4", "5"]
    # Programs holding the secret need no provenance.
    assert http_raw(port, "/vt/audio/g?x=6", headers=auth(server))[0] == 200

    # Revoked sessions are gone; the printed URL opens a new one.
    server.revoke_sessions()
    assert http_raw(port, "/", headers=cookie)[0] == 403
    assert http_raw(port, "/", headers=session_cookie(server))[0] == 200


def test_sessions_are_sealed_by_the_secret_and_outlive_a_restart_with_it_only():
    with vt_server.start(token="a-kept-secret") as srv:
        port, cookie = srv.port, session_cookie(srv)
        name, _, value = cookie.removeprefix("Cookie: ").strip().partition("=")
        nonce, _, seal = value.partition(".")
        flipped = seal[:-1] + ("1" if seal[-1] == "0" else "0")  # one hex digit of the seal changed
        for forged in (nonce, f"{nonce}.", f"x{nonce}.{seal}", f"{nonce}.{flipped}", f"{nonce}.{seal}{seal}"):
            assert http_raw(port, "/", headers=f"Cookie: {name}={forged}\r\n")[0] == 403, forged
        assert http_raw(port, "/", headers=cookie)[0] == 200
    with vt_server.start(port=port, token="a-kept-secret") as srv:  # the page reconnects after a restart
        assert http_raw(port, "/", headers=cookie)[0] == 200
    with vt_server.start(port=port, token="a-new-secret") as srv:
        assert http_raw(port, "/", headers=cookie)[0] == 403


REPLAY = r"""
import os, socket, sys
port, cookie, origin = int(sys.argv[1]), sys.argv[2], sys.argv[3]
os.setgid(65534); os.setuid(65534)  # sockets made from here on belong to "nobody"
statuses = []
for target in ("/", "/vt/audio/g?x=other-user"):
    with socket.socket() as s:
        s.settimeout(10)
        s.connect(("127.0.0.1", port))
        s.sendall((f"GET {target} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n{cookie}Origin: {origin}\r\n"
                   "Sec-Fetch-Site: same-origin\r\nConnection: close\r\n\r\n").encode())
        statuses.append(s.recv(100).split(b" ", 2)[1].decode())
print(" ".join(statuses))
"""


@pytest.mark.skipif(not hasattr(os, "setuid") or os.geteuid() != 0 or not os.path.exists("/proc/net/tcp"),
                    reason="needs root (to become another user) and /proc/net/tcp")
def test_another_local_user_cannot_replay_a_leaked_session(server, runs):
    """Another user's server on this host receives the cookie: replayed with every header forged, it is refused."""
    cookie = session_cookie(server)
    out = subprocess.run([sys.executable, "-c", REPLAY, str(server.port), cookie, server.origin],
                         capture_output=True, text=True, timeout=30)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["403", "403"]
    assert runs == []
    assert http_raw(server.port, "/", headers=cookie)[0] == 200  # still good for its own user


def test_every_response_forbids_framing_sniffing_and_inline_script(server, tmp_path):
    port, a = server.port, auth(server)
    song = tmp_path / "a.wav"
    song.write_bytes(b"RIFF")
    for target, headers, want in (("/", a, 200), ("/vt/static/app.js", a, 200), ("/", "", 403),
                                  ("/vt/nothing", a, 404), (convertPath2Url(song), "", 200)):
        status, fields, _ = http_exchange(port, target, headers=headers)
        assert status == want, target
        assert fields["x-content-type-options"] == "nosniff", target
        assert fields["x-frame-options"] == "SAMEORIGIN", target
        assert fields["server"] == "vt_core", target  # no library or Python version
    status, fields, _ = http_exchange(port, "/", headers=a)
    policy = {d.split()[0]: d.split()[1:] for d in fields["content-security-policy"].split(";") if d.strip()}
    assert policy["default-src"] == ["'self'"] and policy["script-src"] == ["'self'"]
    assert policy["frame-ancestors"] == ["'self'"] and policy["object-src"] == ["'none'"]
    assert "'unsafe-inline'" not in policy["style-src"]


def test_registered_files_cannot_run_script_on_this_origin(server, tmp_path):
    """A registered page or image with script is an attachment in a sandbox; media stay inline."""
    script = b"<script>new WebSocket('ws://' + location.host + '/vt/ws')</script>"
    files = {"page.html": script, "pic.svg": b"<svg xmlns='http://www.w3.org/2000/svg'>" + script + b"</svg>",
             "data.xml": b"<x/>", "code.js": b"alert(1)", "page.xhtml": script, "doc.pdf": b"%PDF-",
             "noext": script, "song.wav": b"RIFF", "clip.mp4": b"\0", "pic.png": b"\x89PNG", "notes.txt": b"hi"}
    for name, data in files.items():
        (tmp_path / name).write_bytes(data)
        status, fields, body = http_exchange(server.port, convertPath2Url(tmp_path / name))
        assert status == 200 and body == data, name
        assert fields["content-security-policy"] == "sandbox", name
        assert fields["x-content-type-options"] == "nosniff", name
        inline = name.endswith((".wav", ".mp4", ".png", ".txt"))
        assert fields["content-disposition"].split(";")[0] == ("inline" if inline else "attachment"), name
        assert fields["content-disposition"].endswith(f"filename*=UTF-8''{name}"), name


def test_bad_ranges_and_non_json_numbers_get_400(server, runs, caplog, tmp_path):
    song = tmp_path / "song.wav"
    song.write_bytes(bytes(range(256)) * 4)
    url = convertPath2Url(song)
    with caplog.at_level(logging.DEBUG):
        for value in ("bytes=" + "9" * 4400 + "-", "bytes=0-" + "9" * 5000, "bytes=-" + "1" * 4301,
                      "bytes=\u0661-\u0662", "bytes=\uff10-\uff11", "bytes=1" + "0" * 30 + "-"):
            status, body = http_raw(server.port, url, headers=f"Range: {value}\r\n".encode().decode("latin-1"))
            assert status == 400, value[:20]
            assert body.decode().count("\n") == 1, body
        assert http_raw(server.port, url, headers="Range: bytes=1-2\r\n") == (206, bytes([1, 2]))

        for body in (b'{"frequency": NaN}', b'{"frequency": Infinity}', b'{"frequency": -Infinity}',
                     b'{"frequency": 1e999}', b'{"a": [1, {"b": -1e400}]}'):
            headers = f"Content-Type: application/json\r\nContent-Length: {len(body)}\r\n{auth(server)}"
            status, text = http_raw(server.port, "/vt/audio/g", "POST", headers, body=body)
            assert status == 400, body
        assert runs == []
    assert not [r for r in caplog.records if r.exc_info or r.levelno >= logging.ERROR]


def read_status(sock: socket.socket) -> int:
    data = b""
    while b"\r\n" not in data:
        chunk = sock.recv(4096)
        if not chunk:
            return 0
        data += chunk
    return int(data.split(b" ", 2)[1])


def test_clients_that_stop_reading_or_sending_lose_their_slot(server, caplog):
    """Eight streams nobody reads, and bodies that never come, do not hold the server."""
    server.send_timeout = 1.0
    server.body_timeout = 1.0
    vt_server.register_audio("long", lambda p: iter([b"\0" * 65536] * (1 if "short" in p else 2000)),
                             sample_rate=48000, channels=1, wav_header=False, max_streams=8)
    stuck = []
    try:
        with caplog.at_level(logging.WARNING, logger="vt_core"):
            for _ in range(8):
                sock = socket.socket()
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                sock.connect(("127.0.0.1", server.port))
                sock.sendall(f"GET /vt/audio/long HTTP/1.1\r\nHost: 127.0.0.1:{server.port}\r\n{auth(server)}\r\n"
                             .encode())
                stuck.append(sock)  # never read
            deadline = time.monotonic() + 20
            while True:  # the ninth waits until the stuck ones are cut off
                status, _ = http_raw(server.port, "/vt/audio/long?short=1", headers=auth(server))
                if status != 503 or time.monotonic() > deadline:
                    break
                time.sleep(0.2)
            assert status == 200

            # A body announced far over the limit is refused at once; one that never arrives times out.
            with socket.create_connection(("127.0.0.1", server.port), timeout=WAIT) as sock:
                sock.sendall(f"POST /vt/audio/long HTTP/1.1\r\nHost: 127.0.0.1:{server.port}\r\n{auth(server)}"
                             f"Content-Type: application/json\r\nContent-Length: {10 ** 12}\r\n\r\n{{".encode())
                assert read_status(sock) == 413
            with socket.create_connection(("127.0.0.1", server.port), timeout=WAIT) as sock:
                sock.sendall(f"POST /vt/audio/long HTTP/1.1\r\nHost: 127.0.0.1:{server.port}\r\n{auth(server)}"
                             f"Content-Type: application/json\r\nContent-Length: 100\r\n\r\n{{".encode())
                assert read_status(sock) == 408
        lines = [r.getMessage() for r in caplog.records]
        assert any("read nothing for 1 s" in m and "127.0.0.1" in m for m in lines), lines
    finally:
        for sock in stuck:
            sock.close()
        vt_server.unregister_audio("long")


def test_refusals_are_logged_one_line_each_with_the_peer_and_rate_limited(caplog):
    with vt_server.start() as srv, caplog.at_level(logging.DEBUG):
        port = srv.port
        for raw in (b"GET / HTTP/1.1\r\n\r\n", b"GET / HTTP/1.0\r\n\r\n", b"GET /\x01 HTTP/1.1\r\nHost: x\r\n\r\n",
                    b"\x16\x03\x01 not http at all\r\n\r\n"):
            with socket.create_connection(("127.0.0.1", port), timeout=WAIT) as sock:
                sock.sendall(raw)
                assert read_status(sock) in (400, 403)
        assert http_raw(port, "/", headers="Authorization: token wrong-secret-value\r\n")[0] == 403
        assert not [r for r in caplog.records if r.exc_info]
        refusals = [r.getMessage() for r in caplog.records if "refused" in r.getMessage()]
        assert len(refusals) == 5, refusals
        assert all(m.startswith("refused 127.0.0.1: ") for m in refusals), refusals
        assert "wrong secret" in refusals[-1] and srv.token not in "".join(refusals)

        # A flood: a burst of lines, then one a second; a line counts the rest.
        caplog.clear()
        began = time.monotonic()
        for _ in range(200):
            assert http_raw(port, "/?token=wrong-secret-value")[0] == 403
        elapsed = time.monotonic() - began
        srv.refusals.flush()
        lines = [r.getMessage() for r in caplog.records if r.name.startswith("vt_core")]
        logged = [m for m in lines if m.startswith("refused")]
        counted = sum(int(m.split()[0]) for m in lines if "not logged" in m)
        assert len(logged) <= 20 + elapsed + 1, (len(logged), elapsed)
        assert counted + len(logged) == 200 and counted > 0


def test_the_page_and_the_socket_work_with_the_session(server, cm, wa):
    """The page's own requests, as chromium sends them, still get in with the session alone."""
    player = wa.web_audio("http://127.0.0.1:1/a.wav")
    cookie = session_cookie(server)
    nav = "Sec-Fetch-Site: none\r\nSec-Fetch-Mode: navigate\r\nSec-Fetch-Dest: document\r\n"
    assert http_raw(server.port, "/", headers=cookie + nav)[0] == 200
    script = "Sec-Fetch-Site: same-origin\r\nSec-Fetch-Mode: cors\r\nSec-Fetch-Dest: script\r\n"
    assert http_raw(server.port, "/vt/static/app.js", headers=cookie + script)[0] == 200
    # A link on another site to the page opens it; the same page framed, or its script loaded, does not.
    link = "Sec-Fetch-Site: cross-site\r\nSec-Fetch-Mode: navigate\r\nSec-Fetch-Dest: document\r\n"
    assert http_raw(server.port, "/", headers=cookie + link)[0] == 200
    framed = "Sec-Fetch-Site: same-site\r\nSec-Fetch-Mode: navigate\r\nSec-Fetch-Dest: iframe\r\n"
    assert http_raw(server.port, "/", headers=cookie + framed)[0] == 403
    other = "Sec-Fetch-Site: same-site\r\nSec-Fetch-Mode: no-cors\r\nSec-Fetch-Dest: script\r\n"
    assert http_raw(server.port, "/vt/static/app.js", headers=cookie + other)[0] == 403

    ws = RawWebSocket(server.port, origin=server.origin)
    ws.close()
    assert ws.status == 403  # no cookie
    with socket.create_connection(("127.0.0.1", server.port), timeout=WAIT) as sock:
        sock.sendall((f"GET /vt/ws HTTP/1.1\r\nHost: 127.0.0.1:{server.port}\r\nUpgrade: websocket\r\n"
                      f"Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                      f"Sec-WebSocket-Version: 13\r\nOrigin: {server.origin}\r\n{cookie}\r\n").encode())
        data = b""
        while player.id.encode() not in data:
            chunk = sock.recv(65536)
            assert chunk, data
            data += chunk
    assert data.startswith(b"HTTP/1.1 101") and json.dumps("components").encode() in data


def test_over_https_the_session_cookie_is_host_prefixed_and_secure(server):
    """Under HTTPS the cookie is ``__Host-``: Secure, Path=/, no Domain, so no subdomain or http page can set it."""
    import ssl

    from aiohttp.test_utils import make_mocked_request

    tls = ssl.create_default_context()
    request = make_mocked_request("GET", f"/?token={server.token}", headers={"Host": f"127.0.0.1:{server.port}"},
                                  sslcontext=tls)
    with pytest.raises(vt_server.web.HTTPSeeOther) as answer:
        run(server._handle_index(request))
    [morsel] = answer.value.cookies.values()
    cookie = morsel.OutputString()  # the Set-Cookie header's value
    name_value, *attributes = [part.strip() for part in cookie.split(";")]
    name, _, value = name_value.partition("=")
    assert name == f"__Host-vt-session-{server.port}" and server.token not in cookie
    assert {a.lower() for a in attributes} >= {"secure", "httponly", "path=/", "samesite=strict"}
    assert not [a for a in attributes if a.lower().startswith("domain")]

    def presenting(cookie_name, secure):
        return make_mocked_request("GET", "/", headers={"Host": f"127.0.0.1:{server.port}",
                                                        "Cookie": f"{cookie_name}={value}"},
                                   sslcontext=tls if secure else None)

    assert server.access.credential(presenting(name, True))[0] == "session"
    # The same session under the plain name, or over plain http, is not taken.
    assert server.access.credential(presenting(f"vt-session-{server.port}", True))[0] is None
    assert server.access.credential(presenting(name, False))[0] is None


def test_a_session_opened_from_one_lan_address_is_refused_from_another(server):
    """What a LAN peer learns of a session is useless from its own address (requests as the server sees them)."""
    from unittest import mock

    from aiohttp.test_utils import make_mocked_request

    def from_peer(address, cookie=None, target="/"):
        transport = mock.Mock()
        info = {"peername": (address, 50000), "sockname": ("192.0.2.1", server.port)}
        transport.get_extra_info.side_effect = lambda key, default=None: info.get(key, default)
        headers = {"Host": f"192.0.2.1:{server.port}", **({"Cookie": cookie} if cookie else {})}
        return make_mocked_request("GET", target, headers=headers, transport=transport)

    with pytest.raises(vt_server.web.HTTPSeeOther) as answer:
        run(server._handle_index(from_peer("192.0.2.7", target=f"/?token={server.token}")))
    [morsel] = answer.value.cookies.values()
    cookie = f"{morsel.key}={morsel.value}"
    assert server.access.credential(from_peer("192.0.2.7", cookie))[0] == "session"
    for other in ("192.0.2.8", "192.0.2.1", "127.0.0.1", "::ffff:192.0.2.8"):
        assert server.access.credential(from_peer(other, cookie))[0] is None, other
    assert server.access.credential(from_peer("::ffff:192.0.2.7", cookie))[0] == "session"  # the same address


@pytest.mark.skipif(not os.path.exists("/proc/net/tcp6"), reason="reads the socket tables of Linux")
def test_the_owner_of_a_connecting_socket_is_found_both_ways():
    """The kernel's answer and the /proc tables agree, for IPv4, IPv6 and IPv4 on a dual-stack socket."""
    from vt_core import peers

    for family, bind_to, connect_to in ((socket.AF_INET, "127.0.0.1", "127.0.0.1"), (socket.AF_INET6, "::1", "::1"),
                                        (socket.AF_INET6, "::", "127.0.0.1")):
        with socket.socket(family) as listener:
            if bind_to == "::":
                listener.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
            listener.bind((bind_to, 0))
            listener.listen()
            with socket.create_connection((connect_to, listener.getsockname()[1])):
                conn, peer = listener.accept()
                with conn:
                    peer, local = peer[:2], conn.getsockname()[:2]
                    found = peers._owner_by_netlink(peer, local), peers._owner_by_proc(peer, local)
                    assert found == (os.getuid(), os.getuid()), (bind_to, connect_to)
                    other = (peer[0], 1 if peer[1] != 1 else 2)
                    assert peers.socket_owner(*other, *local) is None
