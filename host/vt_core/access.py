"""Who may use the server: each request decided against its route's :class:`Policy`.

Pure decisions, no I/O: the peer's identity comes from a function the server
hands in (``vt_core.peers``), refusals are logged by the caller
(``vt_core.refusals``).

* **The secret.**  Each server makes one (or is given one) at start.  Programs
  present it as a ``token`` query parameter or an ``Authorization: token
  <secret>`` header.  ``GET /?token=<secret>`` (the URL the server prints)
  trades it for a *session* (``vt_core.sessions``), which counts only:

  - from the peer that opened it: the same remote address, or, for a
    connection from this machine, the same local user, or, through a proxy
    the application trusts (``trusted_proxies``), the same client address
    from that proxy; never from a peer that cannot be told;
  - on the routes that act (``/vt/ws``, ``/vt/audio``), only on a request
    that shows where it comes from: ``Sec-Fetch-Site`` same-origin or none,
    an allowed ``Origin``, or the page's own ``X-VT-Page`` header (which no
    other origin can send without a CORS preflight this server never grants);
  - until ``Server.revoke_sessions()``.

  A page that kept its session (``/vt/session``) hands it back as
  ``/?session=...`` when a cookie of another server of the host name has
  pushed its own out.  A route whose URL is its own capability
  (``/vt/files/<token>/<name>``) needs no secret, nor does a public one.
* **Host** (:class:`HostNames`).  Every request must name the server by an
  allowed host: the bound host and the loopback names it holds on the bound
  port (``localhost`` only with both loopback addresses), any IP address on
  the bound port when bound to all interfaces (and then the machine's own
  names), and the names the application adds.  A DNS-rebinding page sends
  its own name and is refused.
* **Provenance** (:class:`Origins`, Fetch Metadata).  When a browser says
  where a request comes from, it must be this server: an ``Origin`` must be
  the origin the request itself names (its scheme, ``Host`` and port, as a
  proxy passes them on), a name this server holds on its port and scheme,
  or an origin the application adds;
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

from .interfaces import WILDCARD_HOSTS, display_host, loopback_names
from .peers import PeerIdentities
from .sessions import Sessions

__all__ = ["Access", "Credential", "HostNames", "Origins", "Policy", "Refusal", "make_token", "split_host",
           "split_origin", "PAGE_HEADER"]

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

    ``credential``: ``"secret"`` (the secret or a session), ``"capability"``
    (the URL itself is the credential) or ``"public"`` (anyone's: it reveals
    nothing, and a browser asks for it wherever it likes); ``acting``: the
    route runs code or reads state (a session alone does not open it);
    ``navigable``: a link on another site may open it in a window of its own;
    ``headers``: response headers of the route beside the ones every response
    carries.
    """

    credential: str = "secret"
    acting: bool = False
    navigable: bool = False
    headers: "tuple[tuple[str, str], ...]" = ()


class Refusal(NamedTuple):
    """Why a request is refused (403): ``text``, one line for the client; ``reason``, the status line's.

    ``credential``: refused for want of a credential (a page may get back in by itself).
    """

    text: str
    reason: str = "Forbidden"
    credential: bool = False


class Credential(NamedTuple):
    """What a request presented: ``kind`` ``"secret"``, ``"session"``, ``"open"``, ``"capability"``,
    ``"public"`` or None (refused, for ``reason``); ``session``, the valid session it presented."""

    kind: "str | None"
    reason: str = ""
    session: "str | None" = None


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
    if not name or not name.startswith("[") and any(c in name for c in "/\\@?# \t[]"):
        raise ValueError("bad host name")
    return name.rstrip("."), port


def split_origin(origin: str) -> "tuple[str, str, int]":
    """``(scheme, name, port)`` of an http(s) ``Origin`` value (the port made explicit).

    Raises ValueError for anything else (``null``, a path, a malformed host).
    """
    scheme, sep, netloc = origin.strip().lower().partition("://")
    if not sep or scheme not in ("http", "https"):
        raise ValueError("not an http(s) origin")
    name, port = split_host(netloc.removesuffix("/"))  # (a path, a user or a query is no host name)
    if name.startswith("[") and not _is_ip_literal(name):
        raise ValueError("bad IPv6 literal")
    return scheme, name, _default_port(scheme) if port is None else port


def _default_port(scheme: str) -> int:
    return 443 if scheme == "https" else 80


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
        self.held: frozenset[str] = frozenset()

    def bind(self, host: str, port: int, scheme: str = "http", machine_names: Iterable[str] = (),
             held: "Iterable[str] | None" = None) -> None:
        """Learn the bound host, port and scheme (once listening); the rest as in ``Access.bind``."""
        self.bound_host = host
        self.port = port
        self.scheme = scheme
        self.machine_names = frozenset(n.lower().rstrip(".") for n in machine_names)
        self.held = frozenset(loopback_names([host]) if held is None else held)

    def allows(self, value: "str | None", secure: "bool | None" = None) -> bool:
        """Whether a Host header value names this server (``secure``: the browser came over HTTPS;
        by default, whether this server serves it)."""
        if value is None:
            return False
        if self.any_host:
            return True
        try:
            name, port = split_host(value)
        except ValueError:
            return False
        if secure is None:
            secure = self.scheme == "https"
        return self.allows_name(name, _default_port("https" if secure else "http") if port is None else port)

    def added(self, name: str, port: "int | None") -> bool:
        """Whether the application added ``name`` (on any port, or on ``port``)."""
        return (name, None) in self.extra or (name, port) in self.extra

    def allows_name(self, name: str, port: "int | None") -> bool:
        if self.added(name, port):
            return True
        return port == self.port and (self.own(name) or self.bound_host in WILDCARD_HOSTS and _is_ip_literal(name))

    def own(self, name: str) -> bool:
        """Whether ``name`` on the bound port reaches this server only: a loopback name it holds whole,
        the bound host, a name of the machine it listens on whole."""
        if name in LOOPBACK_NAMES:
            return name in self.held
        return name == display_host(self.bound_host).lower() or name in self.machine_names

    def unheld_loopback(self, value: "str | None") -> bool:
        """Whether ``value`` is a loopback name on the bound port that this server does not hold."""
        try:
            name, port = split_host(value or "")
        except ValueError:
            return False
        return name in LOOPBACK_NAMES and port == self.port and name not in self.held


class Origins:
    """The browser page origins that may act on this server."""

    def __init__(self, hosts: HostNames, allowed_origins: Iterable[str] = ()) -> None:
        self.hosts = hosts
        self.extra = {o.rstrip("/").lower() for o in allowed_origins}

    def added(self, origin: str) -> bool:
        """Whether the application named ``origin`` (``allowed_origins``)."""
        return origin.strip().rstrip("/").lower() in self.extra

    def allows(self, origin: str, own: "tuple[str, str, int] | None" = None) -> bool:
        """Whether a browser page of ``origin`` may act on this server.

        ``own``: ``(scheme, name, port)`` the request itself names (its Host,
        over the scheme the browser used), allowed as it is.
        """
        if self.added(origin):
            return True
        try:
            parts = split_origin(origin)
        except ValueError:
            return False
        scheme, name, port = parts
        hosts = self.hosts
        return parts == own or (scheme == hosts.scheme and port == hosts.port and hosts.own(name))


class Access:
    """The access rules of one server: :meth:`refusal` decides a request against its route's policy.

    ``peer_of(request)`` gives the identity sessions are sealed to (by
    default looked up from the connection, see ``vt_core.peers``).
    """

    def __init__(self, token: "str | None", allowed_hosts: Iterable[str] = (), allowed_origins: Iterable[str] = (),
                 peer_of: "Callable[[Any], tuple | None] | None" = None, trusted_proxies: Iterable[str] = ()) -> None:
        if token is None:
            token = make_token()
        if not isinstance(token, str):
            raise TypeError(f"token must be a str or None, not {type(token).__name__}")
        if token and (len(token) < 8 or not token.isascii() or not token.isprintable() or " " in token):
            raise ValueError("token must be at least 8 printable ASCII characters without spaces")
        self.token = token
        self.sessions = Sessions(token)
        self.peer_of = peer_of if peer_of is not None else PeerIdentities(trusted_proxies)
        self.hosts = HostNames(allowed_hosts)
        self.origins = Origins(self.hosts, allowed_origins)

    def bind(self, host: str, port: int, scheme: str = "http", machine_names: Iterable[str] = (),
             held: "Iterable[str] | None" = None) -> None:
        """Learn the bound host, port and scheme (once listening).

        ``machine_names`` are this machine's own names, allowed on the bound
        port (given for a wildcard bind, which answers on every address);
        ``held``, the loopback names the sockets hold (by default, what
        binding ``host`` holds on a machine with IPv6).
        """
        self.hosts.bind(host, port, scheme, machine_names, held)
        self.sessions.port = port

    def refusal(self, request: Any, policy: Policy) -> "Refusal | None":
        """Why ``request`` may not have a route of ``policy`` (None: it may)."""
        return self.decide(request, policy)[0]

    def decide(self, request: Any, policy: Policy) -> "tuple[Refusal | None, Credential]":
        """``(refusal or None, the credential presented)`` of ``request`` for a route of ``policy``."""
        host = request.headers.get("Host")
        secure = self.browser_secure(request)
        hosts = self.hosts
        if not hosts.allows(host, secure):
            if hosts.unheld_loopback(host):
                return Refusal(f"Host {host!r} may name another server on this machine: open "
                               f"{hosts.scheme}://{display_host(hosts.bound_host)}:{hosts.port}/"), Credential(None)
            return Refusal(f"Host {host!r} is not a name of this server (start(allowed_hosts=[...]) adds names)"), \
                Credential(None)
        found = Credential(policy.credential) if policy.credential != "secret" else self.credential(request)
        if found.kind is None:
            return Refusal(NO_SECRET, f"Forbidden: {found.reason}", True), found
        if found.kind == "public":
            return None, found
        why = self.provenance_refusal(request, policy.acting, policy.navigable)
        if why is not None:
            return Refusal(why), found
        if found.kind == "session" and policy.acting and not self.vouched(request):
            return Refusal("the session cookie alone does not open this route: send the secret "
                           "(a 'token' query parameter or an 'Authorization: token ...' header)"), found
        return None, found

    def request_origin(self, request: Any) -> "tuple[str, str, int] | None":
        """``(scheme, name, port)`` the request names: its ``Host``, over the scheme the browser used
        (None unless that name is allowed by name: ``allowed_hosts=["*"]`` makes no origin one)."""
        scheme = "https" if self.browser_secure(request) else "http"
        try:
            name, port = split_host(request.headers.get("Host", ""))
        except ValueError:
            return None
        port = _default_port(scheme) if port is None else port
        return (scheme, name, port) if self.hosts.allows_name(name, port) else None

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

    def issue_session(self, response: Any, request: Any, session: "str | None" = None) -> None:
        """Give the peer of ``request`` (which presented the secret, or ``session``) its cookie on ``response``."""
        self.sessions.issue(response, self.browser_secure(request), self.peer_of(request), session)

    def revoke_sessions(self) -> None:
        """End every session opened so far."""
        self.sessions.revoke()

    def credential(self, request: Any) -> Credential:
        """What ``request`` presents: the secret, a session (a cookie, or ``session`` in the query), or nothing."""
        if not self.token:
            return Credential("open")
        auth = request.headers.get("Authorization", "")
        scheme, _, value = auth.strip().partition(" ")
        presented = None
        if scheme.lower() in ("token", "bearer") and value.strip():
            presented = value.strip()
        elif "token" in request.query:
            presented = request.query["token"]
        if presented is not None:
            return Credential("secret") if self.token_ok(presented) else Credential(None, "wrong secret")
        name = self.sessions.cookie_name(self.browser_secure(request))
        # every cookie of that name: another server of the host name may have set one beside ours
        offered = [value.strip() for text in request.headers.getall("Cookie", []) for pair in text.split(";")
                   for key, eq, value in [pair.partition("=")] if eq and key.strip() == name]
        if "session" in request.query:
            offered.insert(0, request.query["session"])
        if not offered:
            return Credential(None, "no secret")
        peer = self.peer_of(request)
        for session in offered:
            why = self.sessions.refusal(session, peer)
            if why is None:
                return Credential("session", "", session)
        return Credential(None, why or "")

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
        if origin is not None and not self.origins.allows(origin, self.request_origin(request)):
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
