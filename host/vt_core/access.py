"""Who may use the server: the secret, the Host allowlist and Origin checks.

* **The secret.**  Each server makes one (or is given one) at start.  The page,
  its static files, ``/vt/ws`` and ``/vt/audio`` want it, as the cookie the
  page gets (``HttpOnly``, ``SameSite=Strict``, one name per port), as a
  ``token`` query parameter, or as an ``Authorization: token <secret>``
  header.  ``GET /?token=<secret>`` sets the cookie and redirects to the page
  without it in the address bar.  ``/vt/files/<token>/<name>`` needs no
  secret: its own token is the capability.
* **Host.**  Every request must name the server by an allowed host: the bound
  host and the loopback names on the bound port, any IP address on the bound
  port when bound to all interfaces (and then the machine's own names), and
  the names the application adds.  A
  DNS-rebinding page sends its own name and is refused.
* **Origin.**  When a browser says where a request comes from, it must be this
  server (or an allowed host, or an origin the application adds).
"""

from __future__ import annotations

import hmac
import ipaddress
import logging
import secrets
from typing import Iterable
from urllib.parse import urlsplit

from aiohttp import web

log = logging.getLogger("vt_core.server")

LOOPBACK_NAMES = ("127.0.0.1", "localhost", "[::1]")
_WILDCARD_HOSTS = ("", "0.0.0.0", "::", "[::]")


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

    def cookie_name(self) -> str:
        """The cookie's name: one per port, since cookies do not tell ports apart."""
        return f"vt-token-{self.port}"

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

    def presented_token(self, request: web.BaseRequest) -> "str | None":
        """The secret a request carries (header, query or cookie), if any."""
        auth = request.headers.get("Authorization", "")
        scheme, _, value = auth.strip().partition(" ")
        if scheme.lower() in ("token", "bearer") and value.strip():
            return value.strip()
        if "token" in request.query:
            return request.query["token"]
        return request.cookies.get(self.cookie_name())

    def token_ok(self, presented: "str | None") -> bool:
        if not self.token:
            return True
        if presented is None:
            return False
        return hmac.compare_digest(presented.encode("utf-8", "surrogatepass"), self.token.encode())


def forbidden(reason: str) -> web.HTTPForbidden:
    """403 with a one-line plain-text explanation."""
    return web.HTTPForbidden(text=reason + "\n")
