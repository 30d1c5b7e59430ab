"""Where the server listens and what it says it is reachable at: one port for
every address family, URLs another machine can use on a wildcard bind, HTTPS.

These need no second machine (see test_remote.py for those that do).
"""

from __future__ import annotations

import asyncio
import logging
import socket
import ssl

import aiohttp
import pytest

from vt_core import interfaces
from vt_core import server as vt_server

from host.conftest import http_exchange
from .tls import make_certificate


def _answers(family: int, address: str, port: int) -> bool:
    """Whether an HTTP server answers on (address, port)."""
    try:
        with socket.socket(family, socket.SOCK_STREAM) as s:
            s.settimeout(5)
            s.connect((address, port))
            s.sendall(b"GET / HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n")
            return s.recv(16).startswith(b"HTTP/1.1 ")
    except OSError:
        return False


class TestOnePortForEveryFamily:
    def test_an_empty_host_with_port_0_answers_on_the_printed_port_over_ipv4_and_ipv6(self):
        if not interfaces.has_ipv6_loopback():
            pytest.skip("this machine has no IPv6 loopback")
        # The system hands out ports per family: bound one family at a time,
        # the two often differed, and the URL's port then refused the other.
        for _ in range(12):
            srv = vt_server.start("", 0)
            try:
                assert {addr[1] for addr in srv.addresses} == {srv.port}, srv.addresses
                assert _answers(socket.AF_INET, "127.0.0.1", srv.port)
                assert _answers(socket.AF_INET6, "::1", srv.port)
                assert f":{srv.port}/" in srv.url
            finally:
                srv.stop()

    def test_a_port_taken_in_one_family_is_refused_not_split(self):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as taken:
            taken.bind(("0.0.0.0", 0))
            taken.listen()
            port = taken.getsockname()[1]
            with pytest.raises(OSError):
                vt_server.start("", port)

    def test_bind_sockets_retries_until_every_family_gets_the_port(self, monkeypatch):
        # The first port the system picks is taken in the second family.
        blockers = []
        real = interfaces._listener
        calls = {"n": 0}

        def listener(family, sockaddr, port):
            calls["n"] += 1
            sock = real(family, sockaddr, port)
            if calls["n"] == 1:
                blocker = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                blocker.bind(("127.0.0.1", sock.getsockname()[1]))
                blockers.append(blocker)
            return sock

        monkeypatch.setattr(interfaces, "_listener", listener)
        monkeypatch.setattr(interfaces, "_bind_addresses",
                            lambda host, port: [(socket.AF_INET, ("127.0.0.2", 0)), (socket.AF_INET, ("127.0.0.1", 0))])
        try:
            socks = interfaces.bind_sockets("", 0)
            try:
                ports = {s.getsockname()[1] for s in socks}
                assert len(socks) == 2 and len(ports) == 1
                assert ports != {blockers[0].getsockname()[1]}
            finally:
                for s in socks:
                    s.close()
        finally:
            for b in blockers:
                b.close()


class TestWildcardBind:
    def test_url_names_an_address_of_this_machine_and_the_log_lists_them_all(self, caplog):
        addresses = interfaces.local_addresses(socket.AF_INET)
        if not addresses:
            pytest.skip("this machine has no IPv4 address besides loopback")
        with caplog.at_level(logging.INFO, logger="vt_core.server"):
            srv = vt_server.start("0.0.0.0", 0)
        try:
            assert srv.url.startswith(f"http://{addresses[0]}:{srv.port}/?token=")
            assert srv.urls[0] == srv.url
            line = next(r.getMessage() for r in caplog.records if r.getMessage().startswith("serving at"))
            for address in addresses + ["127.0.0.1"]:
                assert f"http://{address}:{srv.port}/" in line
            assert srv.token not in line  # logs are not the place for the secret
            # every URL printed is served by this server
            status, _, _ = http_exchange(srv.port, "/", host=f"{addresses[0]}:{srv.port}",
                                         headers=f"Authorization: token {srv.token}\r\n")
            assert status == 200
        finally:
            srv.stop()

    def test_host_names_of_this_machine_are_allowed_others_told_how(self):
        names = sorted(interfaces.local_names())
        if not names:
            pytest.skip("this machine has no host name")
        with vt_server.start("", 0) as srv:
            auth = f"Authorization: token {srv.token}\r\n"
            for name in names:
                assert http_exchange(srv.port, "/", host=f"{name}:{srv.port}", headers=auth)[0] == 200, name
            status, _, body = http_exchange(srv.port, "/", host=f"rebound.example:{srv.port}", headers=auth)
            assert status == 403 and b"allowed_hosts" in body
        # a named bind keeps to its name
        with vt_server.start("127.0.0.1", 0) as srv:
            status, _, _ = http_exchange(srv.port, "/", host=f"{names[0]}:{srv.port}",
                                         headers=f"Authorization: token {srv.token}\r\n")
            assert status == 403


@pytest.fixture(scope="module")
def certificate(tmp_path_factory):
    return make_certificate(tmp_path_factory.mktemp("tls"), ["localhost"], ["127.0.0.1"])


class TestHttps:
    def test_serves_https_and_wss_with_secure_cookie(self, certificate, cm):
        cert, key = certificate
        client_ctx = ssl.create_default_context(cafile=str(cert))
        with vt_server.start("127.0.0.1", 0, ssl_certfile=cert, ssl_keyfile=key) as srv:
            assert srv.url.startswith(f"https://127.0.0.1:{srv.port}/?token=")
            assert srv.ws_url.startswith(f"wss://127.0.0.1:{srv.port}/vt/ws?token=")
            assert srv.origin == f"https://127.0.0.1:{srv.port}"

            async def talk():
                async with aiohttp.ClientSession() as session:
                    async with session.get(srv.url, ssl=client_ctx, allow_redirects=False) as r:
                        assert r.status == 303
                        cookie = r.headers["Set-Cookie"]
                    async with session.get(srv.origin + "/", ssl=client_ctx,
                                           headers={"Authorization": f"token {srv.token}"}) as r:
                        assert r.status == 200
                    # the page's own (https) origin may open the socket; the http one may not
                    async with session.ws_connect(srv.ws_url, ssl=client_ctx, origin=srv.origin) as ws:
                        first = await ws.receive(timeout=5)
                        assert first.type == aiohttp.WSMsgType.TEXT and '"components"' in first.data
                    with pytest.raises(aiohttp.WSServerHandshakeError) as refused:
                        await session.ws_connect(srv.ws_url, ssl=client_ctx,
                                                 origin=f"http://127.0.0.1:{srv.port}")
                    assert refused.value.status == 403
                return cookie

            cookie = asyncio.run(asyncio.wait_for(talk(), 20))
            assert "Secure" in cookie and "HttpOnly" in cookie
            # plain HTTP to the TLS port gets no page
            with socket.create_connection(("127.0.0.1", srv.port), timeout=5) as s:
                s.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
                assert not s.recv(64).startswith(b"HTTP/1.1 200")

    def test_a_bad_certificate_fails_at_start_not_later(self, certificate, tmp_path):
        cert, key = certificate
        with pytest.raises(FileNotFoundError):
            vt_server.start("127.0.0.1", 0, ssl_certfile=tmp_path / "missing.pem", ssl_keyfile=key)
        with pytest.raises(ssl.SSLError):
            vt_server.start("127.0.0.1", 0, ssl_certfile=key, ssl_keyfile=key)  # a key is no certificate
        with pytest.raises(ValueError):
            vt_server.start("127.0.0.1", 0, ssl_keyfile=key)


def test_the_demo_serves_https_and_its_relay_trusts_its_own_certificate(certificate, tmp_path):
    import os
    import re
    import subprocess
    import sys
    from pathlib import Path

    demo = Path(__file__).resolve().parents[2] / "examples" / "demo.py"
    cert, key = certificate
    proc = subprocess.run([sys.executable, str(demo), "--once", "--port", "0", "--workdir", str(tmp_path),
                           "--ssl-certfile", str(cert), "--ssl-keyfile", str(key)],
                          capture_output=True, text=True, timeout=120, env={**os.environ, "PYTHONUNBUFFERED": "1"})
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert re.search(r"pull GET https://127\.0\.0\.1:\d+/vt/audio/chord", proc.stdout), proc.stdout
    relayed = re.search(r"relay: (\d+) bytes relayed", proc.stdout)
    assert relayed and int(relayed.group(1)) == 4 * 24000 * 2 * 2, proc.stdout + proc.stderr


def test_a_host_without_a_port_names_the_schemes_default_port():
    from vt_core.access import Access

    tls = Access("a-secret-token")
    tls.bind("localhost", 443, "https")
    assert tls.hosts.allows("127.0.0.1") and tls.hosts.allows("localhost")
    assert tls.origins.allows("https://127.0.0.1") and not tls.origins.allows("http://127.0.0.1:443")
    plain = Access("a-secret-token")
    plain.bind("localhost", 80, "http")
    assert plain.hosts.allows("localhost") and plain.origins.allows("http://localhost")
    assert not plain.origins.allows("https://localhost")
    elsewhere = Access("a-secret-token")
    elsewhere.bind("localhost", 8765, "http")
    assert not elsewhere.hosts.allows("localhost") and not elsewhere.origins.allows("http://localhost")
