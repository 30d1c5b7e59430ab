"""Who may use the server: each request decided against its route's :class:`Policy`.

Pure decisions, no I/O: the peer's identity comes from a function the server
hands in (``vt_core.peers``), refusals are logged by the caller
(``vt_core.refusals``).

* **The secret.**  Each server makes one (or is given one) at start.  Programs
  present it as a ``token`` query parameter or an ``Authorization: token
  <secret>`` header.  ``GET /?token=<secret>`` (the URL the server prints)
  trades it for a *session* (``vt_core.sessions``), which counts only:

  - from the peer that opened it: the same remote address, or, for a
    connection from this machine, the same local user;
  - on the routes that act (``/vt/ws``, ``/vt/audio``), only on a request
    that shows where it comes from: ``Sec-Fetch-Site`` same-origin or none,
    an allowed ``Origin``, or the page's own ``X-VT-Page`` header (which no
    other origin can send without a CORS preflight this server never grants);
  - until ``Server.revoke_sessions()``.

  A route whose URL is its own capability (``/vt/files/<token>/<name>``)
  needs no secret.
* **Host** (:class:`HostNames`).  Every request must name the server by an
  allowed host: the bound host and the loopback names on the bound port, any
  IP address on the bound port when bound to all interfaces (and then the
  machine's own names), and the names the application adds.  A DNS-rebinding
  page sends its own name and is refused.
* **Provenance** (:class:`Origins`, Fetch Metadata).  When a browser says
  where a request comes from, it must be this server: an ``Origin`` must be
  this server (or an allowed host, or an origin the application adds);
  ``Sec-Fetch-Site`` must be same-origin or none, except for top-level
  navigations to a navigable route.  So a page on another port of the same
  host cannot frame the player, stream a generator through ``<audio
  src=...>`` or open the WebSocket with the user's cookie.
"""

from __future__ import annotations

import hmac
import ipaddress
import secrets
from dataclasses import dataclass
from typing import Any, Callable, Iterable, NamedTuple
from urllib.parse import urlsplit

from .interfaces import WILDCARD_HOSTS, display_host
from .peers import PeerIdentities
from .sessions import Sessions

__all__ = ["Access", "HostNames", "Origins", "Policy", "Refusal", "make_token", "split_host", "PAGE_HEADER"]

LOOPBACK_NAMES = ("127.0.0.1", "localhost", "[::1]")

#: Header the page adds to its own requests (a page of another origin cannot send it).
PAGE_HEADER = "X-VT-Page"

NO_SECRET = (
    "this server wants its secret: open the URL it printed (.../?token=...), or send the "
    "token as a 'token' query parameter or an 'Authorization: token ...' header"
)


@dataclass(frozen=True)
class Policy:
    """What a route asks of a request, and what its responses carry.

    ``credential``: ``"secret"`` (the secret or a session) or ``"capability"``
    (the URL itself is the credential); ``acting``: the route runs code or
    reads state (a session alone does not open it); ``navigable``: a link on
    another site may open it in a window of its own; ``headers``: response
    headers of the route beside the ones every response carries.
    """

    credential: str = "secret"
    acting: bool = False
    navigable: bool = False
    headers: "tuple[tuple[str, str], ...]" = ()


class Refusal(NamedTuple):
    """Why a request is refused (403): ``text``, one line for the client; ``reason``, the status line's."""

    text: str
    reason: str = "Forbidden"


def make_token() -> str:
    """A new random secret (URL-safe text)."""
    return secrets.token_urlsafe(24)


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


class HostNames:
    """The names this server answers to in ``Host`` (see the module docstring)."""

    def __init__(self, allowed_hosts: Iterable[str] = ()) -> None:
        self.any_host = False
        self.extra: set[tuple[str, int | None]] = set()
        for entry in allowed_hosts:
            if not isinstance(entry, str):
                raise TypeError(f"allowed_hosts entries must be str, not {type(entry).__name__}")
            if entry.strip() == "*":
                self.any_host = True
                continue
            try:
                self.extra.add(split_host(entry))
            except ValueError:
                raise ValueError(f"allowed_hosts entry {entry!r} is not 'name' or 'name:port'") from None
        self.bound_host = ""
        self.port = 0
        self.scheme = "http"
        self.machine_names: frozenset[str] = frozenset()

    def bind(self, host: str, port: int, scheme: str = "http", machine_names: Iterable[str] = ()) -> None:
        """Learn the bound host, port and scheme (once listening); ``machine_names`` as in ``Access.bind``."""
        self.bound_host = host
        self.port = port
        self.scheme = scheme
        self.machine_names = frozenset(n.lower().rstrip(".") for n in machine_names)

    def allows(self, value: "str | None") -> bool:
        """Whether a Host header value names this server."""
        if value is None:
            return False
        if self.any_host:
            return True
        try:
            name, port = split_host(value)
        except ValueError:
            return False
        return self.allows_name(name, (443 if self.scheme == "https" else 80) if port is None else port)

    def added(self, name: str, port: "int | None") -> bool:
        """Whether the application added ``name`` (on any port, or on ``port``)."""
        return (name, None) in self.extra or (name, port) in self.extra

    def allows_name(self, name: str, port: "int | None") -> bool:
        if self.added(name, port):
            return True
        if port != self.port:
            return False
        if name in LOOPBACK_NAMES or name == display_host(self.bound_host).lower() or name in self.machine_names:
            return True
        return self.bound_host in WILDCARD_HOSTS and _is_ip_literal(name)


class Origins:
    """The browser page origins that may act on this server."""

    def __init__(self, hosts: HostNames, allowed_origins: Iterable[str] = ()) -> None:
        self.hosts = hosts
        self.extra = {o.rstrip("/").lower() for o in allowed_origins}

    def added(self, origin: str) -> bool:
        """Whether the application named ``origin`` (``allowed_origins``)."""
        return origin.strip().rstrip("/").lower() in self.extra

    def allows(self, origin: str) -> bool:
        """Whether a browser page of ``origin`` may act on this server."""
        origin = origin.strip().rstrip("/").lower()
        if origin in self.extra:
            return True
        parts = urlsplit(origin)
        if parts.scheme not in ("http", "https") or parts.path or parts.query or not parts.netloc:
            return False
        try:
            name, port = split_host(parts.netloc)
        except ValueError:
            return False
        hosts = self.hosts
        if hosts.added(name, port):
            return True  # an application-added name (e.g. behind a TLS proxy)
        if port is None:
            port = {"http": 80, "https": 443}[parts.scheme]
        return parts.scheme == hosts.scheme and port == hosts.port and hosts.allows_name(name, port)


class Access:
    """The access rules of one server: :meth:`refusal` decides a request against its route's policy.

    ``peer_of(request)`` gives the identity sessions are sealed to (by
    default looked up from the connection, see ``vt_core.peers``).
    """

    def __init__(self, token: "str | None", allowed_hosts: Iterable[str] = (), allowed_origins: Iterable[str] = (),
                 peer_of: "Callable[[Any], tuple] | None" = None) -> None:
        if token is None:
            token = make_token()
        if not isinstance(token, str):
            raise TypeError(f"token must be a str or None, not {type(token).__name__}")
        if token and (len(token) < 8 or not token.isascii() or not token.isprintable() or " " in token):
            raise ValueError("token must be at least 8 printable ASCII characters without spaces")
        self.token = token
        self.sessions = Sessions(token)
        self.peer_of = peer_of if peer_of is not None else PeerIdentities()
        self.hosts = HostNames(allowed_hosts)
        self.origins = Origins(self.hosts, allowed_origins)

    def bind(self, host: str, port: int, scheme: str = "http", machine_names: Iterable[str] = ()) -> None:
        """Learn the bound host, port and scheme (once listening).

        ``machine_names`` are this machine's own names, allowed on the bound
        port (given for a wildcard bind, which answers on every address).
        """
        self.hosts.bind(host, port, scheme, machine_names)
        self.sessions.port = port

    def refusal(self, request: Any, policy: Policy) -> "Refusal | None":
        """Why ``request`` may not have a route of ``policy`` (None: it may)."""
        host = request.headers.get("Host")
        if not self.hosts.allows(host):
            return Refusal(f"Host {host!r} is not a name of this server (start(allowed_hosts=[...]) adds names)")
        kind, why = ("capability", "") if policy.credential == "capability" else self.credential(request)
        if kind is None:
            return Refusal(NO_SECRET, f"Forbidden: {why}")
        why = self.provenance_refusal(request, policy.acting, policy.navigable)
        if why is not None:
            return Refusal(why)
        if kind == "session" and policy.acting and not self.vouched(request):
            return Refusal("the session cookie alone does not open this route: send the secret "
                           "(a 'token' query parameter or an 'Authorization: token ...' header)")
        return None

    # -- credentials -------------------------------------------------------------

    @staticmethod
    def browser_secure(request: Any) -> bool:
        """Whether the browser reached us over HTTPS: our own TLS, or a proxy's that says so.

        ``X-Forwarded-Proto`` is taken on trust: it only decides the form of the
        cookie handed back to whoever sent it (``__Host-`` and ``Secure``), so a
        false one harms no one but its sender.
        """
        if request.secure:
            return True
        forwarded = request.headers.get("X-Forwarded-Proto", "")
        return forwarded.split(",")[0].strip().lower() == "https"

    def issue_session(self, response: Any, request: Any) -> None:
        """Give the peer of ``request`` (which presented the secret) a session cookie on ``response``."""
        self.sessions.issue(response, self.browser_secure(request), self.peer_of(request))

    def revoke_sessions(self) -> None:
        """End every session opened so far."""
        self.sessions.revoke()

    def credential(self, request: Any) -> "tuple[str | None, str]":
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
        session = request.cookies.get(self.sessions.cookie_name(self.browser_secure(request)))
        if not session:
            return None, "no secret"
        why = self.sessions.refusal(session, self.peer_of(request))
        return (None, why) if why else ("session", "")

    def token_ok(self, presented: "str | None") -> bool:
        if not self.token:
            return True
        if presented is None:
            return False
        return hmac.compare_digest(presented.encode("utf-8", "surrogatepass"), self.token.encode())

    # -- provenance --------------------------------------------------------------

    def provenance_refusal(self, request: Any, acting: bool, navigable: bool) -> "str | None":
        """Why a browser request must be refused for where it comes from (None: it may pass)."""
        headers = request.headers
        origin = headers.get("Origin")
        if origin is not None and not self.origins.allows(origin):
            return f"origin {origin!r} may not use this server"
        site = headers.get("Sec-Fetch-Site")
        if site is None:
            return None
        site = site.strip().lower()
        if site in ("same-origin", "none"):
            return None
        if origin is not None and self.origins.added(origin):
            return None  # a page the application named (it sends Origin on what it may do)
        if (navigable and not acting and request.method in ("GET", "HEAD")
                and headers.get("Sec-Fetch-Mode", "").strip().lower() == "navigate"
                and headers.get("Sec-Fetch-Dest", "document").strip().lower() == "document"):
            return None  # a link followed from another page, in a window of its own
        dest = headers.get("Sec-Fetch-Dest", "?").strip().lower()
        return (f"a request from a page of another {'site' if site == 'cross-site' else 'origin'} "
                f"(Sec-Fetch-Site: {site}, Sec-Fetch-Dest: {dest})")

    @staticmethod
    def vouched(request: Any) -> bool:
        """Whether a request says it comes from this server's own page (see the module docstring)."""
        headers = request.headers
        return (headers.get("Sec-Fetch-Site", "").strip().lower() in ("same-origin", "none")
                or "Origin" in headers or PAGE_HEADER in headers)
