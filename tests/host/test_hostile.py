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
    """A registered generator ("g": a second of quiet in 4 KiB chunks, or endless); the list records each run."""
    seen = []

    def generator(params):
        seen.append(params)
        return iter(lambda: b"\0" * 4096, None) if "endless" in params else iter([b"\0" * 4096] * 24)

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


def fetch_metadata(site: str, mode: str, dest: str) -> str:
    return f"Sec-Fetch-Site: {site}\r\nSec-Fetch-Mode: {mode}\r\nSec-Fetch-Dest: {dest}\r\n"


SESSION = [  # (target, headers, status) of requests as browsers send them; {cookie}: the session's
    # the page's own: its navigation, its script, a link from another site to it
    ("/", "{cookie}" + fetch_metadata("none", "navigate", "document"), 200), ("/", "{cookie}", 200),
    ("/vt/static/app.js", "{cookie}" + fetch_metadata("same-origin", "cors", "script"), 200),
    ("/", "{cookie}" + fetch_metadata("cross-site", "navigate", "document"), 200),
    # pages on other ports of the host (same site) get the cookie: they frame the page, load its script, stream
    # through <audio>, open the socket
    ("/", "{cookie}" + fetch_metadata("same-site", "navigate", "iframe"), 403),
    ("/vt/static/app.js", "{cookie}" + fetch_metadata("same-site", "no-cors", "script"), 403),
    ("/vt/audio/g?x=1", "{cookie}" + fetch_metadata("same-site", "no-cors", "audio"), 403),
    ("/vt/audio/g?x=2", "{cookie}Sec-Fetch-Site: cross-site\r\n", 403),
    ("ws", "{cookie}Origin: http://127.0.0.1:{other}\r\n", 403), ("ws", "{cookie}{own}Sec-Fetch-Site: same-site\r\n", 403),
    # where the browser sends no Fetch Metadata (plain http off loopback) the cookie alone opens nothing that acts
    ("/vt/audio/g?x=3", "{cookie}", 403), ("ws", "{cookie}", 403), ("ws", "{own}", 403),
    # the page itself: same-origin Fetch Metadata, its Origin, or its own header; programs with the secret
    ("/vt/audio/g?x=4", "{cookie}" + fetch_metadata("same-origin", "cors", "empty"), 200),
    ("/vt/audio/g?x=5", "{cookie}X-VT-Page: 1\r\n", 200), ("ws", "{cookie}{own}Sec-Fetch-Site: same-origin\r\n", 101),
    ("/vt/audio/g?x=6", "{auth}", 200),
]


def test_the_session_cookie_opens_only_this_server_for_its_own_page(server, runs):
    """What another service on the host learns from the cookie does not open the streams or the socket."""
    port = server.port
    fill = {"cookie": session_cookie(server), "own": f"Origin: {server.origin}\r\n", "other": port + 1,
            "auth": auth(server)}
    for target, headers, status in SESSION:
        headers = headers.format(**fill)
        got = ws_status(port, headers) if target == "ws" else http_raw(port, target, headers=headers)[0]
        assert got == status, (target, headers)
    assert [r["x"] for r in runs] == ["4", "5", "6"]


def test_revoking_ends_the_sessions_and_what_they_hold_open(server, runs, cm, wa):
    """Revoked sessions are gone, and so are the socket and the stream they opened, at once; the printed URL
    opens a new one, and what the secret opened stays open."""
    port, cookie, player = server.port, session_cookie(server), wa.web_audio("http://127.0.0.1:1/a.wav")
    held, by_secret = RawWebSocket(port, origin=server.origin, headers=cookie), RawWebSocket(port, token=server.token)
    stream = socket.create_connection(("127.0.0.1", port), timeout=WAIT)
    stream.sendall(f"GET /vt/audio/g?endless HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n{cookie}X-VT-Page: 1\r\n\r\n".encode())
    try:
        assert (held.status, by_secret.status, stream.recv(12)) == (101, 101, b"HTTP/1.1 200")
        server.revoke_sessions()
        ended = time.monotonic() + 3
        while time.monotonic() < ended and stream.recv(1 << 20):
            pass
        assert time.monotonic() < ended, "the stream went on"
        first, *_, (last, _) = held.frames()  # the components (this player's among them), then the server's close
        assert player.id in first[1].decode() and last == 8 and server.client_count == 1
        assert http_raw(port, "/", headers=cookie)[0] == 403 and http_raw(port, "/", headers=session_cookie(server))[0] == 200
    finally:
        for s in (held, by_secret, stream):
            s.close()


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


ATTACKER = r"""
import encodings.idna, json, os, socket, sys  # (imports first: root's files are not nobody's to read)
os.setgid(65534); os.setuid(65534)  # sockets made from here on belong to "nobody"
port, requests = json.load(sys.stdin)
for request, close_at_once in requests:  # (closed at once: the server reads the request after the close)
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(request.encode())
    print("closed" if close_at_once else s.recv(100).split(b" ", 2)[1].decode())
    s.close()
"""


@pytest.mark.skipif(not hasattr(os, "setuid") or os.geteuid() != 0 or not os.path.exists("/proc/net/tcp"),
                    reason="needs root (to become another user) and /proc/net/tcp")
def test_another_local_user_cannot_replay_a_leaked_session(server, runs):
    """Another user's server on this host receives the cookie: replayed with every header forged, it is refused,
    also from a socket closed before the server reads the request (the kernel then says it is root's)."""
    cookie, port = session_cookie(server), server.port
    forged = (f"GET {{}} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n{cookie}Origin: {server.origin}\r\n"
              "Sec-Fetch-Site: same-origin\r\nConnection: close\r\n\r\n")
    requests = [(forged.format(t), False) for t in ("/", "/vt/audio/g")]
    requests += [("\r\n" * 100_000 + forged.format(f"/vt/audio/g?x={i}"), True) for i in range(13)]
    out = subprocess.run([sys.executable, "-c", ATTACKER], input=json.dumps([port, requests]), capture_output=True,
                         text=True, timeout=60)
    assert (out.returncode, out.stdout.split()) == (0, ["403", "403"] + ["closed"] * 13), out.stderr
    time.sleep(1.0)
    assert runs == []
    assert http_raw(server.port, "/", headers=cookie)[0] == 200  # still good for its own user


def test_localhost_cannot_be_squatted_on_the_other_loopback_address():
    """Browsers try [::1] first for localhost: a server started on localhost holds it, so no other user may."""
    with vt_server.start("localhost") as srv, socket.socket(socket.AF_INET6) as squat:
        assert srv.url.startswith(f"http://localhost:{srv.port}/")
        with pytest.raises(OSError):  # (in use; or no IPv6 loopback here at all)
            squat.bind(("::1", srv.port))


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


HOST, CLOSE = "Host: 127.0.0.1:{port}\r\n", "Connection: close\r\n\r\n"
WIRE = [  # a raw request ({port}, {secret} filled in), the status, a word of the answer: no 5xx for anyone
    ("GET / HTTP/1.1\r\n\r\n", 400, ""), ("GET / HTTP/1.0\r\n\r\n", 403, "Host"),
    ("GET /\x01 HTTP/1.1\r\nHost: x\r\n\r\n", 400, ""), ("\x16\x03\x01 not http at all\r\n\r\n", 400, ""),
    ("GET / HTTP/1.1\r\n" + HOST + "Authorization: token wrong-secret-value\r\n" + CLOSE, 403, "wrong secret"),
    ("GET /vt/audio/g?token={secret} HTTP/1.0\r\n" + HOST + "\r\n", 200, ""),  # HTTP/1.0: no chunks, the end closes
    ("GET /%0aFORGED%20line%0d HTTP/1.1\r\n" + HOST + CLOSE, 403, "secret"),  # no line of the requester's in the log
    ("GET /vt/audio/g?token={secret} HTTP/1.1\r\nAuthorization: token {secret}\x01\r\n\r\n", 400, ""),  # (the parser
    ("GET /?a=%ZZ&token={secret}\x7f HTTP/1.1\r\nAuthorization: Token {secret}\r\n\r\n", 400, ""),  # quotes the head)
    ("POST /vt/audio/g HTTP/1.1\r\n" + HOST + "Authorization: token {secret}\r\nContent-Type: application/json\r\n"
     'Content-Length: 10\r\n' + CLOSE + '{{"a": NaN}}', 400, "NaN is not JSON"),
    ("GET /favicon.ico HTTP/1.1\r\n" + HOST + CLOSE, 200, ""),  # anyone's, logged as nothing
]


def test_refusals_are_logged_one_line_each_with_the_peer_and_rate_limited(runs, caplog, tmp_path):
    """What the wire brings is answered without a 5xx or a traceback, and each refusal is one line of the log,
    with nothing of the requester's unescaped and never the secret."""
    (tmp_path / "big.wav").write_bytes(b"\0" * (8 << 20))
    with vt_server.start() as srv, caplog.at_level(logging.DEBUG):
        port = srv.port
        for raw, status, word in WIRE:
            with socket.create_connection(("127.0.0.1", port), timeout=WAIT) as sock:
                sock.sendall(raw.format(port=port, secret=srv.token).encode("latin-1"))
                answer = b"".join(iter(lambda: sock.recv(65536), b""))
            assert answer.split(b" ", 2)[1] == str(status).encode() and word.encode() in answer, (raw, answer[:300])
        with socket.create_connection(("127.0.0.1", port), timeout=WAIT) as sock:  # a download cut off by a reset
            sock.sendall(f"GET {convertPath2Url(tmp_path / 'big.wav')} HTTP/1.1\r\n{HOST}\r\n".format(port=port).encode())
            sock.recv(65536)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
        time.sleep(0.5)
        srv.refusals.flush()
        lines = [r.getMessage() for r in caplog.records if r.name.startswith(("vt_core", "aiohttp"))]
        assert not [r for r in caplog.records if r.exc_info or r.levelno >= logging.ERROR], lines
        assert not [m for m in lines if "\n" in m or "\r" in m or srv.token in m], lines
        refusals = [m for m in lines if m.startswith("refused")]
        assert len(refusals) == len(WIRE) - 2 and all(m.startswith("refused 127.0.0.1: ") for m in refusals), lines
        assert len(runs) == 1

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
