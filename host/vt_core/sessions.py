"""Browser sessions: what the page trades the server's secret for.

A session is a random nonce with the server's seal on it: an HMAC-SHA256,
keyed by a hash of the secret, over the revocation count, the port, the nonce
and the identity of the peer that opened it (see ``vt_core.peers``).  Nothing
is stored per session, so a server restarted with the same secret knows the
sessions of the one before; :meth:`Sessions.revoke` ends all of them at once.
A peer that cannot be told (``None``) neither opens nor uses one.
The cookie that carries it (:meth:`Sessions.issue`, the only place one is
set) never holds the secret: cookies reach every port of a host name.
"""

from __future__ import annotations

import hashlib
import hmac
import secrets
from typing import Any

__all__ = ["Sessions"]


class Sessions:
    """Sessions sealed with one server's secret, for the port it listens on."""

    def __init__(self, token: str) -> None:
        self._key = hashlib.sha256(b"vt-session\0" + token.encode()).digest()
        self._revocations = 0
        self.port = 0

    def cookie_name(self, secure: bool = False) -> str:
        """The session cookie's name: one per port (``__Host-`` prefixed under HTTPS)."""
        return f"__Host-vt-session-{self.port}" if secure else f"vt-session-{self.port}"

    def open(self, peer: tuple) -> str:
        """A new session for ``peer``: ``<nonce>.<seal>``."""
        nonce = secrets.token_urlsafe(18)
        return f"{nonce}.{self._seal(nonce, peer)}"

    def issue(self, response: Any, secure: bool, peer: "tuple | None", session: "str | None" = None) -> None:
        """Set a new session for ``peer`` (or ``session`` again) as the cookie of ``response``.

        ``HttpOnly``, ``SameSite=Strict``, ``Path=/``; ``__Host-`` and
        ``Secure`` when the browser came over HTTPS (``secure``).  Nothing for
        a peer that cannot be told.
        """
        if peer is not None:
            response.set_cookie(self.cookie_name(secure), session or self.open(peer), path="/", httponly=True,
                                samesite="Strict", secure=True if secure else None)

    def refusal(self, session: str, peer: "tuple | None") -> "str | None":
        """Why ``session`` does not count for ``peer`` (None: it does)."""
        if peer is None:
            return "who is connecting cannot be told (a connection closed at once, or a proxy that did not say)"
        nonce, _, seal = session.partition(".")
        if not nonce or not seal:
            return "a session cookie this server did not make"
        if not hmac.compare_digest(seal.encode("utf-8", "surrogatepass"), self._seal(nonce, peer).encode()):
            return "a session this server did not open for this peer, or revoked"
        return None

    def revoke(self) -> None:
        """End every session opened so far."""
        self._revocations += 1

    def _seal(self, nonce: str, peer: tuple) -> str:
        message = f"{self._revocations}\0{self.port}\0{nonce}\0{peer!r}".encode("utf-8", "surrogatepass")
        return hmac.new(self._key, message, hashlib.sha256).hexdigest()
