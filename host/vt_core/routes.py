"""The server's routes, each with its access policy, and the one guard that reads it.

:data:`ROUTES` is the whole HTTP surface: path, methods, the handler's name
and the :class:`~vt_core.access.Policy` (credential, acting or not,
navigable, extra response headers).  A route's policy also governs every
other path under its prefix (``/vt/files/...`` that names no file is still
a capability path and answers 404); any other path needs the secret.

:class:`Guard` is the one place a request is admitted or refused; the
headers every response carries are set in :func:`response_headers`, the
route's own beside them.  A browser refused for want of a credential on a
navigable route gets :data:`REFUSED_PAGE`, whose public script lets a tab
that kept its session back in (``static/public/recover.js``).
"""

from __future__ import annotations

import html
import weakref
from http import HTTPStatus
from typing import Any, Awaitable, Callable, Mapping, NamedTuple

from aiohttp import web

from .access import Access, Policy, Refusal
from .refusals import RefusalLog

__all__ = ["Route", "ROUTES", "Guard", "policy_for", "install", "response_headers", "PAGE_CSP", "FILE_CSP",
           "SERVER_BANNER"]

#: The page's Content-Security-Policy: scripts and styles of this server only (the
#: player sets styles through the CSSOM; style attributes in an html widget's markup
#: stay allowed), media and streams from anywhere the application names.
PAGE_CSP = (
    "default-src 'self'; script-src 'self'; style-src 'self'; style-src-attr 'unsafe-inline'; "
    "img-src 'self' data: blob:; media-src 'self' http: https: data: blob:; "
    "connect-src 'self' http: https: ws: wss:; object-src 'none'; base-uri 'none'; form-action 'self'; "
    "frame-ancestors 'self'"
)
#: The sandbox every registered file is served under: a document opened from one
#: runs no script and has an origin of its own.
FILE_CSP = "sandbox"
#: What responses say in ``Server:`` (no versions).
SERVER_BANNER = "vt_core"

#: Headers on every response: no referrer (a page's address may hold the secret),
#: no MIME sniffing, no framing by other origins, resources for this origin's pages only.
COMMON_HEADERS = (
    ("Referrer-Policy", "no-referrer"),
    ("X-Content-Type-Options", "nosniff"),
    ("X-Frame-Options", "SAMEORIGIN"),
    ("Cross-Origin-Resource-Policy", "same-origin"),
    ("Content-Security-Policy", PAGE_CSP),
)


class Route(NamedTuple):
    path: str
    methods: "tuple[str, ...]"
    handler: str  # the server's ``_handle_<handler>``
    policy: Policy

    @property
    def scope(self) -> str:
        """The path (a fixed route) or the prefix (a route with parameters) its policy governs."""
        return self.path.split("{", 1)[0]


_GET = ("GET", "HEAD")
_PUBLIC = Policy(credential="public")
ROUTES = (
    Route("/", _GET, "index", Policy(navigable=True)),
    Route("/favicon.ico", _GET, "favicon", _PUBLIC),
    Route("/vt/public/{path:.+}", _GET, "public", _PUBLIC),
    Route("/vt/static/{path:.+}", _GET, "static", Policy()),
    Route("/vt/session", _GET, "session", Policy(acting=True)),
    Route("/vt/ws", _GET, "ws", Policy(acting=True)),
    Route("/vt/files/{token}/{name}", _GET, "file",
          Policy(credential="capability", navigable=True, headers=(("Content-Security-Policy", FILE_CSP),))),
    Route("/vt/audio/{name}", ("GET", "POST"), "audio", Policy(acting=True)),
)
#: Any path no route governs.
DEFAULT_POLICY = Policy()


def policy_for(path: str, routes: "tuple[Route, ...]" = ROUTES) -> Policy:
    """The policy governing ``path``: its route's, or that of the route whose prefix holds it."""
    best, length = DEFAULT_POLICY, -1
    for route in routes:
        scope = route.scope
        fixed = scope == route.path
        if (path == scope if fixed else path.startswith(scope)) and len(scope) > length:
            best, length = route.policy, len(scope)
    return best


def install(app: web.Application, handlers: "Mapping[str, Callable[[web.Request], Awaitable[Any]]]") -> None:
    """Add :data:`ROUTES` to ``app``, each to ``handlers[route.handler]``."""
    for route in ROUTES:
        for method in route.methods:
            app.router.add_route(method, route.path, handlers[route.handler])


async def response_headers(request: web.BaseRequest, response: web.StreamResponse) -> None:
    """``on_response_prepare``: the route's headers, then the common ones (a handler's own stand)."""
    headers = response.headers
    for name, value in policy_for(request.path).headers:
        headers.setdefault(name, value)
    for name, value in COMMON_HEADERS:
        headers.setdefault(name, value)
    headers["Server"] = SERVER_BANNER


#: What a browser refused for want of a credential shows; its script is anyone's.
REFUSED_PAGE = """<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>vt_ui: not let in</title>
<script type="module" src="/vt/public/recover.js"></script></head>
<body><p id="vt-refused">{text}</p></body></html>
"""


def _forbidden(request: web.Request, policy: Policy, refused: Refusal) -> web.HTTPForbidden:
    if refused.credential and policy.navigable and "text/html" in request.headers.get("Accept", ""):
        return web.HTTPForbidden(text=REFUSED_PAGE.format(text=html.escape(refused.text)), content_type="text/html",
                                 reason=refused.reason, headers={"Cache-Control": "no-store"})
    return web.HTTPForbidden(text=refused.text + "\n", reason=refused.reason)


class Guard:
    """The middleware that admits each request by its route's policy, and notes every refusal.

    Every 403, and every other answer for a client's fault but 404, is one
    rate-limited line of the refusal log.  The connections a session opened
    an acting route on are :attr:`held` (what revoking the sessions ends).
    """

    def __init__(self, access: Access, refusals: RefusalLog) -> None:
        self.access = access
        self.refusals = refusals
        self.held: "weakref.WeakSet[Any]" = weakref.WeakSet()

    def take_held(self) -> "set[Any]":
        """The connections :attr:`held` so far, forgotten here (their sessions were revoked)."""
        held, self.held = set(self.held), weakref.WeakSet()
        return held

    @web.middleware
    async def middleware(self, request: web.Request, handler: Callable) -> web.StreamResponse:
        try:
            if request.version >= (1, 1) and "Host" not in request.headers:
                # some parsers let it through; the answer is the same whichever parsed it
                raise web.HTTPBadRequest(text="an HTTP/1.1 request must name its Host\n")
            policy = policy_for(request.path)
            refused, credential = self.access.decide(request, policy)
            if refused is not None:
                raise _forbidden(request, policy, refused)
            if credential.kind == "session" and policy.acting and request.transport is not None:
                self.held.add(request.transport)
            return await handler(request)
        except web.HTTPClientError as exc:
            if exc.status != 404:
                # the reason phrase when it says more than the status, else the one-line text
                detail = exc.reason if exc.reason != HTTPStatus(exc.status).phrase else (exc.text or "")
                self.refusals.note(request.remote,
                                   f"{exc.status} {request.method} {request.path}: {' '.join(detail.split())}")
                exc.force_close()  # a refused client gets nothing more on this connection
            raise
