"""Who may use the server: the secret, browser sessions, the Host allowlist, provenance checks.

* **The secret.**  Each server makes one (or is given one) at start.  Programs
  present it as a ``token`` query parameter or an ``Authorization: token
  <secret>`` header.  ``GET /?token=<secret>`` (the URL the server prints)
  trades it for a *session*: a random id with the server's seal on it (an
  HMAC keyed by the secret over the id, the port, the peer that opened it
  and the revocation count), set as an ``HttpOnly``, ``SameSite=Strict``
  cookie (``__Host-`` and ``Secure`` under HTTPS), and answered with a
  redirect to the page without the secret in the address bar.  Nothing is
  stored per session, so a server restarted with the same secret knows the
  sessions of the one before (the page reconnects).  The cookie never holds
  the secret: cookies reach every port of a host name, so whatever else
  listens there learns the session, and it is worth nothing to it:

  - a session only counts from the peer that opened it: the same remote
    address, or, for a connection from this machine, the same local user
    (the owner of the connecting socket, where the system tells: Linux);
  - on the routes that act (``/vt/ws``, ``/vt/audio``) a session only counts
    on a request that shows where it comes from: ``Sec-Fetch-Site``
    same-origin or none, an allowed ``Origin``, or the page's own
    ``X-VT-Page`` header (which no other origin can send without a CORS
    preflight this server never grants);
  - ``Server.revoke_sessions()`` ends every session at once (until the
    server restarts; a new secret ends them for good).

  ``/vt/files/<token>/<name>`` needs no secret: its own token is the capability.
* **Host.**  Every request must name the server by an allowed host: the bound
  host and the loopback names on the bound port, any IP address on the bound
  port when bound to all interfaces (and then the machine's own names), and
  the names the application adds.  A
  DNS-rebinding page sends its own name and is refused.
* **Provenance.**  When a browser says where a request comes from, it must be
  this server: an ``Origin`` must be this server (or an allowed host, or an
  origin the application adds); ``Sec-Fetch-Site`` (Fetch Metadata) must be
  same-origin or none, except for top-level navigations to the page and to
  registered files.  So a page on another port of the same host cannot frame
  the player, stream a generator through ``<audio src=...>`` or open the
  WebSocket with the user's cookie.
* **Refusals** are logged, one line each with the peer's address and the
  reason, at most ``burst`` lines at once and ``rate`` a second after that;
  the rest are counted and summed up in one line.
"""

from __future__ import annotations

import hashlib
import hmac
import ipaddress
import logging
import secrets
import socket
import struct
import time
import weakref
from typing import Any, Callable, Iterable
from urllib.parse import urlsplit

from aiohttp import web
from aiohttp.http_exceptions import HttpProcessingError

log = logging.getLogger("vt_core.server")

LOOPBACK_NAMES = ("127.0.0.1", "localhost", "[::1]")
_WILDCARD_HOSTS = ("", "0.0.0.0", "::", "[::]")

#: Header the page adds to its own requests (a page of another origin cannot send it).
PAGE_HEADER = "X-VT-Page"


def make_token() -> str:
    """A new random secret (URL-safe text)."""
    return secrets.token_urlsafe(24)


def display_host(host: str) -> str:
    """``host`` as it appears in a URL (IPv6 in brackets; wildcards as loopback)."""
    if host in ("", "0.0.0.0"):
        return "127.0.0.1"
    if host in ("::", "[::]"):
        return "[::1]"
    return f"[{host}]" if ":" in host and not host.startswith("[") else host


def split_host(value: str) -> "tuple[str, int | None]":
    """``("name", port)`` of a Host header value (name lower-cased; port None when absent).

    Raises ValueError for a value that is not ``name[:port]``.
    """
    value = value.strip().lower()
    if not value:
        raise ValueError("empty host")
    if value.startswith("["):
        end = value.find("]")
        if end < 0:
            raise ValueError("unclosed IPv6 literal")
        name, rest = value[: end + 1], value[end + 1 :]
        if rest and not rest.startswith(":"):
            raise ValueError("junk after the IPv6 literal")
        port_text = rest[1:] if rest else None
    else:
        name, sep, port_text = value.rpartition(":")
        if not sep:
            name, port_text = value, None
    if port_text is None:
        port = None
    elif port_text.isdigit() and len(port_text) <= 5:
        port = int(port_text)
    else:
        raise ValueError("bad port")
    if not name or any(c in name for c in "/\\@?# \t"):
        raise ValueError("bad host name")
    return name.rstrip("."), port


def _is_ip_literal(name: str) -> bool:
    try:
        ipaddress.ip_address(name[1:-1] if name.startswith("[") else name)
    except ValueError:
        return False
    return True


class Access:
    """The access rules of one server (see the module docstring)."""

    def __init__(self, token: "str | None", allowed_hosts: Iterable[str] = (),
                 allowed_origins: Iterable[str] = ()) -> None:
        if token is None:
            token = make_token()
        if not isinstance(token, str):
            raise TypeError(f"token must be a str or None, not {type(token).__name__}")
        if token and (len(token) < 8 or not token.isascii() or not token.isprintable() or " " in token):
            raise ValueError("token must be at least 8 printable ASCII characters without spaces")
        self.token = token
        self._session_key = hashlib.sha256(b"vt-session\0" + token.encode()).digest()
        self._revocations = 0
        self.refusals = RefusalLog(log)
        self._peers: "weakref.WeakKeyDictionary[Any, tuple]" = weakref.WeakKeyDictionary()  # per connection
        self.any_host = False
        self.extra_hosts: set[tuple[str, int | None]] = set()
        for entry in allowed_hosts:
            if not isinstance(entry, str):
                raise TypeError(f"allowed_hosts entries must be str, not {type(entry).__name__}")
            if entry.strip() == "*":
                self.any_host = True
                continue
            try:
                self.extra_hosts.add(split_host(entry))
            except ValueError:
                raise ValueError(f"allowed_hosts entry {entry!r} is not 'name' or 'name:port'") from None
        self.extra_origins = {o.rstrip("/").lower() for o in allowed_origins}
        self.bound_host = ""
        self.port = 0
        self.scheme = "http"
        self.machine_names: frozenset[str] = frozenset()

    def bind(self, host: str, port: int, scheme: str = "http", machine_names: Iterable[str] = ()) -> None:
        """Learn the bound host, port and scheme (once listening).

        ``machine_names`` are this machine's own names, allowed on the bound
        port (given for a wildcard bind, which answers on every address).
        """
        self.bound_host = host
        self.port = port
        self.scheme = scheme
        self.machine_names = frozenset(n.lower().rstrip(".") for n in machine_names)

    @staticmethod
    def browser_secure(request: web.BaseRequest) -> bool:
        """Whether the browser reached us over HTTPS: our own TLS, or a proxy's that says so.

        ``X-Forwarded-Proto`` is taken on trust: it only decides the form of the
        cookie handed back to whoever sent it (``__Host-`` and ``Secure``), so a
        false one harms no one but its sender.
        """
        if request.secure:
            return True
        forwarded = request.headers.get("X-Forwarded-Proto", "")
        return forwarded.split(",")[0].strip().lower() == "https"

    def cookie_name(self, secure: bool = False) -> str:
        """The session cookie's name: one per port (``__Host-`` prefixed under HTTPS)."""
        return f"__Host-vt-session-{self.port}" if secure else f"vt-session-{self.port}"

    def wire_log(self, logger: logging.Logger, peer: "str | None") -> "WireLog":
        """The logger for the handler of one connection from ``peer`` (see :class:`WireLog`)."""
        return WireLog(logger, self.refusals, peer)

    # -- sessions ----------------------------------------------------------------

    def open_session(self, request: web.BaseRequest) -> str:
        """A new session for the peer of ``request`` (which presented the secret)."""
        nonce = secrets.token_urlsafe(18)
        return f"{nonce}.{self._seal(nonce, self._peer(request))}"

    def revoke_sessions(self) -> None:
        """End every session opened so far."""
        self._revocations += 1

    def _peer(self, request: web.BaseRequest) -> tuple:
        """``peer_identity(request)``, looked up once per connection (the loop thread's only)."""
        transport = request.transport
        if transport is None:
            return peer_identity(request)
        found = self._peers.get(transport)
        if found is None:
            found = self._peers[transport] = peer_identity(request)
        return found

    def _seal(self, nonce: str, peer: tuple) -> str:
        message = f"{self._revocations}\0{self.port}\0{nonce}\0{peer!r}".encode("utf-8", "surrogatepass")
        return hmac.new(self._session_key, message, hashlib.sha256).hexdigest()

    def _session_refusal(self, request: web.BaseRequest, session: str) -> "str | None":
        nonce, _, seal = session.partition(".")
        if not nonce or not seal:
            return "a session cookie this server did not make"
        if not hmac.compare_digest(seal.encode("utf-8", "surrogatepass"),
                                   self._seal(nonce, self._peer(request)).encode()):
            return "a session this server did not open for this peer, or revoked"
        return None

    def credential(self, request: web.BaseRequest) -> "tuple[str | None, str]":
        """``(kind, reason)``: kind ``"secret"``, ``"session"``, ``"open"`` or None (refused, for ``reason``)."""
        if not self.token:
            return "open", ""
        auth = request.headers.get("Authorization", "")
        scheme, _, value = auth.strip().partition(" ")
        presented = None
        if scheme.lower() in ("token", "bearer") and value.strip():
            presented = value.strip()
        elif "token" in request.query:
            presented = request.query["token"]
        if presented is not None:
            return ("secret", "") if self.token_ok(presented) else (None, "wrong secret")
        session = request.cookies.get(self.cookie_name(self.browser_secure(request)))
        if not session:
            return None, "no secret"
        why = self._session_refusal(request, session)
        return (None, why) if why else ("session", "")

    # -- checks ------------------------------------------------------------------

    def host_allowed(self, value: "str | None") -> bool:
        """Whether a Host header value names this server."""
        if value is None:
            return False
        if self.any_host:
            return True
        try:
            name, port = split_host(value)
        except ValueError:
            return False
        return self._name_allowed(name, self._default_port() if port is None else port)

    def _default_port(self) -> int:
        return 443 if self.scheme == "https" else 80

    def _name_allowed(self, name: str, port: "int | None") -> bool:
        if (name, None) in self.extra_hosts or (name, port) in self.extra_hosts:
            return True
        if port != self.port:
            return False
        if name in LOOPBACK_NAMES or name == display_host(self.bound_host).lower() or name in self.machine_names:
            return True
        return self.bound_host in _WILDCARD_HOSTS and _is_ip_literal(name)

    def origin_allowed(self, origin: str) -> bool:
        """Whether a browser page of ``origin`` may act on this server."""
        origin = origin.strip().rstrip("/").lower()
        if origin in self.extra_origins:
            return True
        parts = urlsplit(origin)
        if parts.scheme not in ("http", "https") or parts.path or parts.query or not parts.netloc:
            return False
        try:
            name, port = split_host(parts.netloc)
        except ValueError:
            return False
        if (name, None) in self.extra_hosts or (name, port) in self.extra_hosts:
            return True  # an application-added name (e.g. behind a TLS proxy)
        if port is None:
            port = {"http": 80, "https": 443}[parts.scheme]
        return parts.scheme == self.scheme and port == self.port and self._name_allowed(name, port)

    def provenance_refusal(self, request: web.BaseRequest, acting: bool, navigable: bool) -> "str | None":
        """Why a browser request must be refused for where it comes from (None: it may pass).

        ``acting``: a route that runs code or reads state (the WebSocket, the
        audio endpoint); ``navigable``: a route a user may open from a link on
        another site (the page, registered files).
        """
        origin = request.headers.get("Origin")
        if origin is not None and not self.origin_allowed(origin):
            return f"origin {origin!r} may not use this server"
        site = request.headers.get("Sec-Fetch-Site")
        if site is None:
            return None
        site = site.strip().lower()
        if site in ("same-origin", "none"):
            return None
        if origin is not None and origin.strip().rstrip("/").lower() in self.extra_origins:
            return None  # a page the application named (it sends Origin on what it may do)
        headers = request.headers
        if (navigable and not acting and request.method in ("GET", "HEAD")
                and headers.get("Sec-Fetch-Mode", "").strip().lower() == "navigate"
                and headers.get("Sec-Fetch-Dest", "document").strip().lower() == "document"):
            return None  # a link followed from another page, in a window of its own
        dest = headers.get("Sec-Fetch-Dest", "?").strip().lower()
        return (f"a request from a page of another {'site' if site == 'cross-site' else 'origin'} "
                f"(Sec-Fetch-Site: {site}, Sec-Fetch-Dest: {dest})")

    def vouched(self, request: web.BaseRequest) -> bool:
        """Whether a request says it comes from this server's own page (see the module docstring)."""
        headers = request.headers
        return (headers.get("Sec-Fetch-Site", "").strip().lower() in ("same-origin", "none")
                or "Origin" in headers or PAGE_HEADER in headers)

    def token_ok(self, presented: "str | None") -> bool:
        if not self.token:
            return True
        if presented is None:
            return False
        return hmac.compare_digest(presented.encode("utf-8", "surrogatepass"), self.token.encode())


def forbidden(reason: str) -> web.HTTPForbidden:
    """403 with a one-line plain-text explanation."""
    return web.HTTPForbidden(text=reason + "\n")


# --------------------------------------------------------------------------
# Who is on the other end of a connection


def _ip(address: str) -> "ipaddress.IPv4Address | ipaddress.IPv6Address | None":
    try:
        ip = ipaddress.ip_address(address.split("%", 1)[0])
    except ValueError:
        return None
    if isinstance(ip, ipaddress.IPv6Address) and ip.ipv4_mapped is not None:
        return ip.ipv4_mapped
    return ip


def peer_identity(request: web.BaseRequest) -> tuple:
    """What a session is bound to: ``("remote", address)`` or ``("local", uid or None)``.

    A connection from this machine (a loopback address, or the address the
    connection came in on) is told apart by the user owning the connecting
    socket, where the system tells (Linux); any other by its address.
    """
    transport = request.transport
    peer = transport.get_extra_info("peername") if transport is not None else None
    local = transport.get_extra_info("sockname") if transport is not None else None
    if not isinstance(peer, tuple) or not isinstance(local, tuple):
        return ("local", None)  # not an IP socket
    peer_ip, local_ip = _ip(str(peer[0])), _ip(str(local[0]))
    if peer_ip is None:
        return ("remote", str(peer[0]))
    if peer_ip.is_loopback or peer_ip == local_ip:
        return ("local", socket_owner(str(peer[0]), int(peer[1]), str(local[0]), int(local[1])))
    return ("remote", str(peer_ip))


_NETLINK_INET_DIAG = 4
_SOCK_DIAG_BY_FAMILY = 20
_NLMSG_ERROR = 2
_NO_COOKIE = 0xFFFFFFFF
_DIAG_REQUEST = struct.Struct("=IHHII BBBxI HH16s16sIII")  # nlmsghdr + inet_diag_req_v2
_UID_AT = 16 + 4 + 48 + 12  # nlmsghdr, then inet_diag_msg: family..retrans, sockid, expires/rqueue/wqueue


def _forms(address: str) -> "list[tuple[int, bytes]]":
    """``(family, 16-byte address)`` of each socket family a connection from ``address`` may use."""
    ip = _ip(address)
    if ip is None:
        return []
    if isinstance(ip, ipaddress.IPv4Address):
        mapped = b"\0" * 10 + b"\xff\xff" + ip.packed
        return [(socket.AF_INET, ip.packed + b"\0" * 12), (socket.AF_INET6, mapped)]
    return [(socket.AF_INET6, ip.packed)]


def _owner_by_netlink(peer: "tuple[str, int]", local: "tuple[str, int]") -> "int | None":
    """Ask the kernel (sock_diag) for the owner of the one TCP socket ``peer`` -> ``local``."""
    local_forms = dict(_forms(local[0]))
    with socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM, _NETLINK_INET_DIAG) as nl:
        nl.settimeout(1.0)
        for family, src in _forms(peer[0]):
            dst = local_forms.get(family)
            if dst is None:
                continue
            request = _DIAG_REQUEST.pack(_DIAG_REQUEST.size, _SOCK_DIAG_BY_FAMILY, 1, 1, 0,
                                         family, socket.IPPROTO_TCP, 0, 0xFFFFFFFF,
                                         socket.htons(peer[1]), socket.htons(local[1]), src, dst, 0,
                                         _NO_COOKIE, _NO_COOKIE)
            nl.send(request)
            answer = nl.recv(65536)
            if len(answer) >= _UID_AT + 4 and struct.unpack_from("=H", answer, 4)[0] != _NLMSG_ERROR:
                return struct.unpack_from("=I", answer, _UID_AT)[0]
    return None


def _proc_address(address: str, port: int) -> "list[tuple[str, str]]":
    """``(file, "ADDR:PORT")`` as ``/proc/net/tcp*`` writes a socket's address."""
    found = []
    for family, packed in _forms(address):
        words = struct.unpack("=4I", packed)
        if family == socket.AF_INET:
            found.append(("/proc/net/tcp", f"{words[0]:08X}:{port:04X}"))
        else:
            found.append(("/proc/net/tcp6", "".join(f"{w:08X}" for w in words) + f":{port:04X}"))
    return found


def _owner_by_proc(peer: "tuple[str, int]", local: "tuple[str, int]") -> "int | None":
    """The same from ``/proc/net/tcp*`` (slow on a machine with many sockets)."""
    ours = dict(_proc_address(*local))
    for path, theirs in _proc_address(*peer):
        if path not in ours:
            continue
        try:
            with open(path) as table:
                next(table, None)
                for line in table:
                    fields = line.split()
                    if len(fields) > 7 and fields[1] == theirs and fields[2] == ours[path]:
                        return int(fields[7])
        except (OSError, ValueError):
            continue
    return None


def socket_owner(peer_host: str, peer_port: int, local_host: str, local_port: int) -> "int | None":
    """The uid owning the local socket at ``peer`` connected to ``local`` (None when unknown).

    Linux only: through sock_diag, else ``/proc/net/tcp*``.
    """
    peer, local = (peer_host, peer_port), (local_host, local_port)
    try:
        return _owner_by_netlink(peer, local)
    except (OSError, AttributeError, struct.error):  # no netlink here (or not Linux)
        return _owner_by_proc(peer, local)


# --------------------------------------------------------------------------
# Refusals in the log


class RefusalLog:
    """One log line per refused request, rate-limited by a token bucket.

    ``burst`` lines may go out at once, then ``rate`` a second; refusals
    beyond that are counted, and the count is logged as one line once the
    bucket lets a line through again or ``summary_after`` seconds later.
    Call from the event loop.
    """

    def __init__(self, logger: logging.Logger, burst: int = 20, rate: float = 1.0, summary_after: float = 10.0,
                 clock: Callable[[], float] = time.monotonic) -> None:
        self.logger = logger
        self.burst = float(burst)
        self.rate = float(rate)
        self.summary_after = summary_after
        self.clock = clock
        self.tokens = float(burst)
        self.stamp = clock()
        self.suppressed = 0
        self.total = 0
        self._timer: Any = None

    def note(self, peer: "str | None", reason: str) -> None:
        self.total += 1
        now = self.clock()
        self.tokens = min(self.burst, self.tokens + (now - self.stamp) * self.rate)
        self.stamp = now
        if self.tokens < 1.0:
            self.suppressed += 1
            if self._timer is None:
                self._schedule()
            return
        self.tokens -= 1.0
        self.flush()
        self.logger.warning("refused %s: %s", peer or "an unknown peer", reason)

    def flush(self) -> None:
        """Log how many refusals went unlogged since the last line, if any."""
        if self._timer is not None:
            self._timer.cancel()
            self._timer = None
        if self.suppressed:
            count, self.suppressed = self.suppressed, 0
            self.logger.warning("%d more refusal%s not logged (too many at once)", count, "" if count == 1 else "s")

    def _schedule(self) -> None:
        import asyncio

        try:
            loop = asyncio.get_running_loop()
        except RuntimeError:
            return
        self._timer = loop.call_later(self.summary_after, self._summary_due)

    def _summary_due(self) -> None:
        self._timer = None
        self.flush()


#: What the HTTP parser raises for a request it cannot read.
_CLIENT_FAULTS = (HttpProcessingError,)


class WireLog(logging.LoggerAdapter):
    """The logger the handler of one connection (from ``peer``) reports to.

    A request the HTTP parser cannot read (no ``Host`` in HTTP/1.1, a bad
    request line, oversized headers, ...) is the client's fault: one
    rate-limited refusal line, no traceback.  Anything else is ours and keeps
    its traceback.
    """

    def __init__(self, logger: logging.Logger, refusals: RefusalLog, peer: "str | None") -> None:
        super().__init__(logger, {})
        self.refusals = refusals
        self.peer = peer

    def log(self, level: int, msg: Any, *args: Any, exc_info: Any = None, **kwargs: Any) -> None:
        if isinstance(exc_info, _CLIENT_FAULTS):
            message = getattr(exc_info, "message", "") or type(exc_info).__name__
            self.refusals.note(self.peer, "malformed request: " + " ".join(str(message).split())[:200])
            return
        super().log(level, msg, *args, exc_info=exc_info, **kwargs)
