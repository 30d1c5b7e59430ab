"""Who may use the server: the secret, the Host allowlist, Origin checks, JSON-only POSTs.

Hostile clients are raw sockets that send exactly what a foreign page, a
DNS-rebinding page or another local process would send.
"""

from __future__ import annotations

import asyncio
import json
import logging

import aiohttp
import pytest

from vt_core import server as vt_server

from .conftest import RawWebSocket, auth, http_exchange, http_raw, run


@pytest.fixture
def beep():
    """A small registered generator; the list records the params of every run."""
    seen = []

    def generator(params):
        seen.append(params)
        return iter([b"\1\0" * 64])

    vt_server.register_audio("beep", generator, sample_rate=8000, channels=1, wav_header=False)
    yield seen
    vt_server.unregister_audio("beep")


def one_line(body: bytes) -> str:
    text = body.decode()
    assert text.endswith("\n") and text.count("\n") == 1, text
    return text


FORMS = ("text/plain", "application/x-www-form-urlencoded", "multipart/form-data; boundary=x")
EVIL = "Origin: http://evil.test\r\n"
FOREIGN = [  # (with the secret, method, Content-Type, headers, status, a word of the one-line answer)
    # the browser sends no cookie cross-site (SameSite=Strict), so a foreign page has no secret ...
    *[(False, "POST", content_type, EVIL, 403, "secret") for content_type in (*FORMS, "application/json")],
    (False, "GET", None, "", 403, "secret"),  # <audio src=...> on any page: no Origin, no cookie
    # ... and even one that has it is refused for its Origin, on GET and POST alike
    (True, "POST", "application/json", EVIL, 403, "evil.test"), (True, "GET", None, EVIL, 403, "evil.test"),
    (True, "GET", None, "Origin: null\r\n", 403, "null"),
    # POST bodies are JSON only, whoever sends them
    *[(True, "POST", content_type, "", 415, "application/json") for content_type in (*FORMS, None)],
]


def test_foreign_pages_cannot_drive_the_audio_endpoint(server, beep):
    """What a page on another site can send without a preflight never runs a generator."""
    port, own = server.port, f"Origin: {server.origin}\r\n{auth(server)}"
    for secret, method, content_type, headers, status, word in FOREIGN:
        body = b'{"frequency": 1}' if method == "POST" and content_type else b""
        headers += (f"Content-Type: {content_type}\r\n" if content_type else "") + f"Content-Length: {len(body)}\r\n"
        got, text = http_raw(port, "/vt/audio/beep" + f"?token={server.token}" * secret, method, headers, body=body)
        assert (got, word in one_line(text)) == (status, True), (method, content_type, headers, text)
    assert beep == []

    # The page itself (own Origin, the secret as its cookie or a header) gets its stream.
    status, body = http_raw(port, "/vt/audio/beep", "POST", f"Content-Type: application/json\r\nContent-Length: 16\r\n"
                            f"{own}", body=b'{"frequency": 1}')
    assert status == 200 and b"\1\0" * 64 in body
    assert http_raw(port, "/vt/audio/beep?frequency=2", headers=own)[0] == 200
    assert beep == [{"frequency": 1}, {"frequency": "2"}]  # the secret is not a param


def test_only_allowed_host_names_are_served(server, beep, tmp_path):
    """A DNS-rebinding page sends its own name as Host: refused on every route."""
    from vt_core.utils import convertPath2Url

    for target in ("/", "/vt/audio/beep"):  # the page and the streams, as a rebinding page asks for them
        assert http_raw(server.port, target, host=f"evil.test:{server.port}")[0] == 403, target

    song = tmp_path / "song.wav"
    song.write_bytes(b"RIFF....")
    file_url = convertPath2Url(song)
    with vt_server.start(allowed_hosts=["audio.example", "proxy.example:8443"]) as srv:
        port, a = srv.port, auth(srv)
        targets = ["/", "/vt/static/app.js", "/vt/audio/beep", "/vt/ws", file_url]
        for host in (f"evil.test:{port}", "evil.test", f"127.0.0.1:{port + 1}", f"localhost:{port}@evil.test",
                     f"localhost:{port}", f"[::1]:{port}",
                     "", f"127.0.0.1.evil.test:{port}", f"proxy.example:{port}"):
            for target in targets:
                status, body = http_raw(port, target, headers=a, host=host)
                assert status == 403, (host, target)
                assert "Host" in one_line(body)
        assert beep == []
        for host in (f"127.0.0.1:{port}", "audio.example", "audio.example:80", "proxy.example:8443"):
            assert http_raw(port, file_url, host=host)[0] == 200, host
            assert http_raw(port, "/", headers=a, host=host)[0] == 200, host
        # A page served under an added name may open the WebSocket, through a TLS proxy too; one on another port
        # or scheme of that name may not.
        for origin, host, status in (("https://audio.example", "audio.example", 101), ("http://evil.test", "audio.example",
                                     403), ("http://audio.example:18082", f"audio.example:{port}", 403),
                                     (f"http://audio.example:{port}", f"audio.example:{port}", 101)):
            tls = "X-Forwarded-Proto: https\r\n" * origin.startswith("https")
            ws = RawWebSocket(port, origin=origin, token=srv.token, host=host, headers=tls)
            ws.close()
            assert ws.status == status, origin

    with pytest.raises(ValueError):
        vt_server.start(allowed_hosts=["bad host:port:x"])
    with pytest.raises(TypeError):
        vt_server.start(allowed_hosts="audio.example")


def test_the_websocket_wants_the_secret(server, cm, wa):
    """Another local process gets neither the components' state nor their callbacks."""
    fired = []
    player = wa.web_audio("http://127.0.0.1:1/a.wav", onplay=fired.append)
    event = json.dumps({"type": "event", "id": player.id, "event": "web-audio-play", "payload": {}}).encode()

    for token in (None, "", "x" * 32, "wrong-" + getattr(server, "token", "")):
        ws = RawWebSocket(server.port, token=token)
        try:
            assert ws.status == 403
            ws.sock.sendall(bytes([0x81, 0x80 | len(event)]) + b"\0\0\0\0" + event)  # ignored: no socket
        finally:
            ws.close()
    assert player.id.encode() not in ws.head and server.client_count == 0

    async def connect(url, **kwargs):
        async with aiohttp.ClientSession(**kwargs) as session, session.ws_connect(url) as ws:
            hello = json.loads((await asyncio.wait_for(ws.receive(), 10)).data)
            return [c["id"] for c in hello["components"]]

    plain = server.ws_url.split("?")[0]
    assert run(connect(server.ws_url)) == [player.id]  # token query parameter
    assert run(connect(plain, headers={"Authorization": f"token {server.token}"})) == [player.id]
    assert fired == []


def test_the_page_trades_the_secret_for_a_cookie(server):
    port = server.port
    status, body = http_raw(port, "/")
    assert status == 403 and "secret" in one_line(body)
    for target, headers in (("/?token=wrong-token-value", ""), ("/?token=%ff%fe%ed%a0%80", ""),  # (not UTF-8)
                            ("/", "Cookie: vt-token-1=\udcff\r\n".encode("utf-8", "surrogateescape").decode("latin-1")),
                            ("/", f"Cookie: vt-token-{port}={server.token}\r\n"),  # the secret is no cookie
                            ("/", f"Cookie: vt-token-{port + 1}={server.token}\r\n")):
        assert http_raw(port, target, headers=headers)[0] == 403, (target, headers)

    status, headers, _ = http_exchange(port, f"/?token={server.token}&sampleRate=32000")
    assert status == 303 and headers["location"] == "/?sampleRate=32000"  # the secret leaves the address bar
    cookie = headers["set-cookie"]
    name_value, *attributes = [part.strip() for part in cookie.split(";")]
    # Cookies reach every port of the host name: the cookie is a session of this
    # server's, never the secret.
    assert name_value.startswith(f"vt-session-{port}=") and server.token not in cookie
    assert {a.lower() for a in attributes} >= {"httponly", "samesite=strict", "path=/"}
    assert headers["cache-control"] == "no-store"

    status, headers, body = http_exchange(port, "/", headers=f"Cookie: {name_value}\r\n")
    assert status == 200 and b"<html" in body.lower() and headers["referrer-policy"] == "no-referrer"
    assert http_raw(port, "/vt/static/app.js", headers=f"Cookie: {name_value}\r\n")[0] == 200

    async def browse():  # a client with a cookie jar, as a browser opening the printed URL
        jar = aiohttp.CookieJar(unsafe=True)  # cookies for an IP address
        async with aiohttp.ClientSession(cookie_jar=jar) as session:
            async with session.get(server.url) as r:
                assert r.status == 200 and str(r.url) == server.origin + "/"
            async with session.ws_connect(server.ws_url.split("?")[0], origin=server.origin) as ws:
                return json.loads((await asyncio.wait_for(ws.receive(), 10)).data)["type"]

    assert run(browse()) == "components"

    # Behind a TLS proxy (X-Forwarded-Proto: https) the cookie is the HTTPS form, which the
    # browser keeps from every plain-http port of the host name.
    headers = http_exchange(port, f"/?token={server.token}", headers="X-Forwarded-Proto: https\r\n")[1]
    name_value, *attributes = [part.strip() for part in headers["set-cookie"].split(";")]
    assert name_value.startswith(f"__Host-vt-session-{port}=") and "secure" in {a.lower() for a in attributes}
    assert http_raw(port, "/", headers=f"Cookie: {name_value}\r\nX-Forwarded-Proto: https\r\n")[0] == 200


def test_secret_given_or_turned_off(caplog):
    with vt_server.start(token="a-given-secret") as srv:
        assert srv.token == "a-given-secret" and srv.url.endswith("/?token=a-given-secret")
        assert http_raw(srv.port, "/", headers="Authorization: token a-given-secret\r\n")[0] == 200
        assert http_raw(srv.port, "/", headers="Authorization: token another-secret\r\n")[0] == 403
    with caplog.at_level(logging.WARNING, logger="vt_core"):
        with vt_server.start(token="") as srv:
            assert srv.url == srv.origin + "/" and srv.ws_url.endswith("/vt/ws")
            assert http_raw(srv.port, "/")[0] == 200
            assert http_raw(srv.port, "/", host="evil.test")[0] == 403  # the Host rule still holds
    [warning] = [r for r in caplog.records if r.levelno == logging.WARNING and "refused" not in r.getMessage()]
    assert "without a secret" in warning.getMessage()
    for bad in ("short", "has space s!", "caf\u00e9-secret"):
        with pytest.raises(ValueError):
            vt_server.start(token=bad)
    with pytest.raises(TypeError):
        vt_server.start(token=b"bytes-secret")
