"""Fixtures and small clients for the web server tests: no browser needed."""

from __future__ import annotations

import asyncio
import base64
import os
import socket
import struct

import pytest

from vt_core import server as vt_server

WAIT = 10.0  # seconds a test waits for the other side before it fails


@pytest.fixture(scope="session", autouse=True)
def spinning_threads():
    """``VT_TEST_SPIN_THREADS=N`` runs N CPU-bound Python threads beside the tests.

    They compete with the server's loop for the interpreter lock, as busy
    application threads do; the tests must pass with them.
    """
    import threading

    count = int(os.environ.get("VT_TEST_SPIN_THREADS", "0") or 0)
    stop = threading.Event()

    def spin():
        n = 0
        while not stop.is_set():
            n += 1

    threads = [threading.Thread(target=spin, name=f"test-spin-{i}", daemon=True) for i in range(count)]
    for t in threads:
        t.start()
    yield count
    stop.set()
    for t in threads:
        t.join()


@pytest.fixture
def server():
    """A server started with the default arguments, stopped after the test."""
    srv = vt_server.start()
    try:
        yield srv
    finally:
        srv.stop()


def run(coro, timeout: float = 30.0):
    """Run ``coro`` on a fresh event loop in this thread, failing after ``timeout`` s."""
    return asyncio.run(asyncio.wait_for(coro, timeout))


def rss_bytes() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS")


def http_exchange(port: int, target: str, method: str = "GET", headers: str = "", host: str | None = None,
                  body: bytes = b"") -> tuple[int, dict[str, str], bytes]:
    """Send a request exactly as written (no URL normalisation); returns (status, headers, body).

    ``headers`` is raw header lines (each ending in CRLF); ``host`` replaces
    the Host header's value.  Response header names are lower-cased.
    """
    host = f"127.0.0.1:{port}" if host is None else host
    with socket.create_connection(("127.0.0.1", port), timeout=WAIT) as sock:
        sock.sendall(f"{method} {target} HTTP/1.1\r\nHost: {host}\r\n{headers}Connection: close\r\n\r\n".encode()
                     + body)
        data = b""
        while chunk := sock.recv(65536):
            data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    status_line, *lines = head.decode("latin-1").split("\r\n")
    fields = {}
    for line in lines:
        name, _, value = line.partition(":")
        fields[name.strip().lower()] = value.strip()
    return int(status_line.split(" ", 2)[1]), fields, body


def http_raw(port: int, target: str, method: str = "GET", headers: str = "", host: str | None = None,
             body: bytes = b"") -> tuple[int, bytes]:
    """``http_exchange`` without the response headers: (status, body)."""
    status, _, data = http_exchange(port, target, method, headers, host, body)
    return status, data


def auth(server) -> str:
    """The raw header line that carries ``server``'s secret."""
    return f"Authorization: token {server.token}\r\n"


class RawWebSocket:
    """A WebSocket client on a plain socket that reads only when told to.

    Used to play a browser that stops reading; ``frames()`` parses what the
    server sent afterwards.
    """

    def __init__(self, port: int, rcvbuf: int | None = None, origin: str | None = None, token: str | None = None,
                 host: str | None = None, headers: str = "") -> None:
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if rcvbuf:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.settimeout(WAIT)
        self.sock.connect(("127.0.0.1", port))
        key = base64.b64encode(os.urandom(16)).decode()
        extra = (f"Origin: {origin}\r\n" if origin else "") + headers
        target = f"/vt/ws?token={token}" if token else "/vt/ws"
        self.sock.sendall(
            (
                f"GET {target} HTTP/1.1\r\nHost: {host or f'127.0.0.1:{port}'}\r\nUpgrade: websocket\r\n"
                f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n{extra}\r\n"
            ).encode()
        )
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = self.sock.recv(4096)
            if not chunk:
                break
            data += chunk
        head, _, rest = data.partition(b"\r\n\r\n")
        self.buf = bytearray(rest)
        self.status = int(head.split(b" ", 2)[1]) if head else 0
        self.head = head

    def _need(self, n: int) -> bool:
        while len(self.buf) < n:
            chunk = self.sock.recv(1 << 20)
            if not chunk:
                return False
            self.buf += chunk
        return True

    def frames(self):
        """Yield (opcode, payload) until the server's close frame (answered) or EOF."""
        while self._need(2):
            b0, b1 = self.buf[0], self.buf[1]
            assert b0 & 0x80, "fragmented frame"
            assert not b1 & 0x80, "server frames are never masked"
            n, pos = b1 & 0x7F, 2
            if n == 126:
                self._need(4)
                n, pos = struct.unpack(">H", self.buf[2:4])[0], 4
            elif n == 127:
                self._need(10)
                n, pos = struct.unpack(">Q", self.buf[2:10])[0], 10
            if not self._need(pos + n):
                return
            payload = bytes(self.buf[pos : pos + n])
            del self.buf[: pos + n]  # cheap: bytearray drops its head in place
            opcode = b0 & 0x0F
            yield opcode, payload
            if opcode == 8:
                # answer the close (masked with a zero key) so the server finishes cleanly
                self.sock.sendall(bytes([0x88, 0x80 | len(payload[:2])]) + b"\0\0\0\0" + payload[:2])
                return

    def close(self) -> None:
        self.sock.close()
