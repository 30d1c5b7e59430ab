"""The embedded host's local web server.

``start()`` runs an aiohttp application on a background thread with its own
event loop and returns a :class:`Server` once it is listening (on 127.0.0.1
by default).  The server:

* serves the page (``/``) and the browser player's files (``/vt/static/...``);
* serves local files only under the tokens that
  :func:`vt_core.utils.convertPath2Url` handed out (``/vt/files/<token>/<name>``,
  with ``Range`` support, no listing, 404 for anything else);
* streams registered audio generators as int16 PCM (``/vt/audio/<name>``,
  GET or POST with JSON parameters), see :func:`register_audio`;
* carries the host's message bus to every connected browser over one
  WebSocket each (``/vt/ws``) and dispatches the events the browsers send back
  to the components' callbacks.

Access: every server has a secret, carried by the URL it prints
(``Server.url``), which the page trades for a session cookie; the page, the
WebSocket and the audio endpoint want one of them.  Requests must name an
allowed Host, and browsers' requests must come from this server's own page
(``Origin``, Fetch Metadata).  Every response forbids framing by other
origins and MIME sniffing; the page runs no inline script.

The wire format is described in ``docs/PROTOCOL.md``.  The work is split:
``routes`` (the route table, each route's policy, the guard that reads it),
``access`` (the decisions), ``sessions`` (the cookies), ``peers`` (who is on
the other end of a connection), ``refusals`` (the refusal log); ``hub`` (the
bus carried to every page: fan-out, drops, the ``ledger`` of lost audio, the
``stream_state`` that says where audio goes), ``outbox`` (each page's bounded
queue), ``wswriter`` (the one writer of each WebSocket), ``messages``
(encoding); ``events`` (each browser's bounded queue of events for the
callbacks), ``audio`` (the audio endpoint), ``files`` (static and registered
files) and this module (HTTP, the handlers, lifecycle).
"""

from __future__ import annotations

import asyncio
import logging
import os
import socket
import ssl
import threading
import time
from pathlib import Path
from typing import Any, Callable, Iterable
from urllib.parse import quote, urlencode

try:
    from aiohttp import web
except ModuleNotFoundError as exc:  # installed without its dependencies (pip --no-deps)
    if exc.name == "aiohttp":
        exc.add_note("vt_core.server needs aiohttp: pip install 'aiohttp>=3.10.4'")
    raise

from . import audio, interfaces, routes
from .access import Access
from .audio import AudioSource, register_audio, tone, unregister_audio, wav_header
from .events import MAX_PENDING_EVENT_BYTES, MAX_PENDING_EVENTS, EventDispatcher
from .files import registered_file_response, static_response
from .hub import Hub
from .stream_tail import TAIL_SECONDS
from .messages import encode_message
from .refusals import RefusalLog, WireLog
from .wswriter import WS_OPTIONS

__all__ = [
    "Server",
    "start",
    "default_server",
    "register_audio",
    "unregister_audio",
    "AudioSource",
    "tone",
    "wav_header",
    "encode_message",
    "MAX_QUEUE_FRAMES",
    "MAX_QUEUE_BYTES",
    "STATIC_DIR",
]

log = logging.getLogger("vt_core.server")

#: Default bound of one browser's outgoing queue, in frames.
MAX_QUEUE_FRAMES = 4096
#: Default bound of one browser's outgoing queue, in bytes.
MAX_QUEUE_BYTES = 32 * 1024 * 1024
#: Where the page and the browser player live.
STATIC_DIR = Path(__file__).resolve().with_name("static")
#: Largest text frame a browser may send (an event), and largest POST body.
MAX_INBOUND_BYTES = 1 << 20


class Server:
    """A running local web server (see :func:`start`).

    Use it as a context manager, or call :meth:`stop` when done.
    """

    def __init__(
        self,
        host: str = "127.0.0.1",
        port: int = 0,
        static_dir: "str | os.PathLike[str] | None" = None,
        *,
        token: "str | None" = None,
        allowed_hosts: Iterable[str] = (),
        allowed_origins: Iterable[str] = (),
        trusted_proxies: Iterable[str] = (),
        max_queue_frames: int = MAX_QUEUE_FRAMES,
        max_queue_bytes: int = MAX_QUEUE_BYTES,
        drop_grace: float = 2.0,
        max_pending_events: int = MAX_PENDING_EVENTS,
        max_pending_event_bytes: int = MAX_PENDING_EVENT_BYTES,
        header_timeout: float = 10.0,
        flush_interval: float = 0.01,
        ssl_certfile: "str | os.PathLike[str] | None" = None,
        ssl_keyfile: "str | os.PathLike[str] | None" = None,
        resume_seconds: float = TAIL_SECONDS,
        beat: float = 1.0,
        link_timeout: float = 5.0,
    ) -> None:
        if isinstance(allowed_hosts, str) or isinstance(allowed_origins, str):
            raise TypeError("allowed_hosts and allowed_origins take a list of names, not one str")
        self.host = host
        self._requested_port = int(port)
        self.port = 0
        self.static_dir = Path(static_dir) if static_dir is not None else STATIC_DIR
        self.max_queue_frames = int(max_queue_frames)
        self.max_queue_bytes = int(max_queue_bytes)
        self.drop_grace = float(drop_grace)
        self.header_timeout = float(header_timeout)
        self.flush_interval = max(0.0, float(flush_interval))
        if self.header_timeout <= 0:
            raise ValueError("header_timeout must be positive")
        self.resume_seconds, self.beat, self.link_timeout = float(resume_seconds), float(beat), float(link_timeout)
        if not (self.resume_seconds >= 0 and self.beat > 0 and self.link_timeout >= self.beat):
            raise ValueError("resume_seconds must be >= 0, beat > 0 and link_timeout >= beat")
        self.access = Access(token, allowed_hosts, allowed_origins, trusted_proxies=trusted_proxies)
        self.refusals = RefusalLog(log)
        self.guard = routes.Guard(self.access, self.refusals)
        self.ssl_context = _ssl_context(ssl_certfile, ssl_keyfile)
        self.scheme = "https" if self.ssl_context is not None else "http"
        self.addresses: list[Any] = []
        self._url_host = interfaces.display_host(host)
        self._bound: list[tuple[int, Any]] = []
        self._loop: asyncio.AbstractEventLoop | None = None
        self._runner: web.AppRunner | None = None
        self._thread: threading.Thread | None = None
        self._ready = threading.Event()
        self._start_error: BaseException | None = None
        self._tasks: set[asyncio.Task] = set()
        self._events = EventDispatcher(max_pending_events, max_pending_event_bytes)
        notices = self._events.queue("the server")  # events the server itself raises in Python
        self.hub = Hub(self.max_queue_frames, self.max_queue_bytes, self.drop_grace, self.flush_interval,
                       self._track, notices.put, tail_seconds=self.resume_seconds, beat=self.beat,
                       link_timeout=self.link_timeout)
        self._awaiting_head: set[Any] = set()  # connections that have not sent a whole request yet
        self._lock = threading.Lock()
        self._stopped = False

    # -- public --------------------------------------------------------------

    @property
    def token(self) -> str:
        """The server's secret ("" when it was turned off)."""
        return self.access.token

    @property
    def url(self) -> str:
        """The page's URL with the secret, e.g. ``http://127.0.0.1:8765/?token=...``.

        Opening it sets the cookie that lets the page in and drops the secret
        from the address bar.  Bound to every address (``""``, ``0.0.0.0``,
        ``::``), it names one another machine can use (see :attr:`urls`).
        """
        return f"{self.origin}/" + self._token_query()

    @property
    def urls(self) -> list[str]:
        """Every URL of the page (with the secret) this server is reachable at, :attr:`url` first."""
        query = self._token_query()
        return [f"{self.scheme}://{h}:{self.port}/{query}" for h in self._reachable_hosts()]

    @property
    def origin(self) -> str:
        """``http://host:port`` (``https`` with TLS) as a browser names this server."""
        return f"{self.scheme}://{self._url_host}:{self.port}"

    @property
    def ws_url(self) -> str:
        """The WebSocket's URL, with the secret for clients that are not the page."""
        ws = "wss" if self.ssl_context is not None else "ws"
        return f"{ws}://{self._url_host}:{self.port}/vt/ws" + self._token_query()

    @property
    def client_count(self) -> int:
        """Number of connected browsers."""
        return len(self.hub.clients)

    @property
    def dropped_clients(self) -> int:
        """Browsers dropped for falling behind."""
        return self.hub.dropped_clients

    @property
    def dropped_events(self) -> int:
        """Events from browsers dropped because their queue was full."""
        return self._events.dropped_events

    @property
    def pending_events(self) -> int:
        """Events from browsers waiting for their callbacks."""
        return self._events.pending

    @property
    def running(self) -> bool:
        return self._thread is not None and self._thread.is_alive() and not self._stopped

    def revoke_sessions(self) -> None:
        """End every browser session opened so far: their cookies stop working, and the WebSockets
        and audio streams they opened are closed before this returns.

        A browser gets back in by opening :attr:`url` again; what the secret
        itself opened stays open.  Safe from any thread.  A server restarted
        with the same secret accepts the old sessions again; a new secret ends
        them for good.
        """
        self.access.revoke_sessions()
        loop = self._loop
        if loop is None or not self.running:
            return
        try:
            ended = asyncio.run_coroutine_threadsafe(self._end_sessions(), loop)
        except RuntimeError:  # the loop is closing
            return
        if threading.current_thread() is not self._thread:
            try:
                ended.result(5.0)
            except Exception:  # noqa: BLE001 - a connection that would not close is aborted anyway
                log.debug("ending the revoked sessions' connections took too long", exc_info=True)

    async def _end_sessions(self) -> None:
        held = self.guard.take_held()
        await self.hub.end(held)
        for transport in held:
            if not transport.is_closing():
                transport.abort()

    def audio_url(self, name: str, **params: Any) -> str:
        """Absolute URL of the registered audio generator ``name``, with the secret.

        Keyword arguments become query parameters (the generator's params).
        """
        query = {**({"token": self.token} if self.token else {}), **{k: str(v) for k, v in params.items()}}
        return f"{self.origin}/vt/audio/{quote(name, safe='')}" + (f"?{urlencode(query)}" if query else "")

    def _token_query(self) -> str:
        return f"?{urlencode({'token': self.token})}" if self.token else ""

    def _families(self) -> set[int]:
        return {addr[0] for addr in self._bound}

    def _reachable_hosts(self) -> list[str]:
        """URL hosts of this server: the one :attr:`url` names first, then the others."""
        hosts = [self._url_host]
        if self.host in interfaces.WILDCARD_HOSTS:
            families = self._families()
            for family in (socket.AF_INET, socket.AF_INET6):
                if family in families:
                    hosts += [interfaces.url_host(a) for a in interfaces.local_addresses(family)]
            if socket.AF_INET in families:
                hosts.append("127.0.0.1")
            if socket.AF_INET6 in families:
                hosts.append("[::1]")
        return list(dict.fromkeys(hosts))

    def start(self) -> "Server":
        """Start listening; returns once the socket is bound (raises if it cannot be)."""
        if self._thread is not None:
            raise RuntimeError("server already started")
        self._thread = threading.Thread(target=self._run, name="vt-server", daemon=True)
        self._thread.start()
        self._ready.wait()
        if self._start_error is not None:
            self._thread.join()
            self._events.stop()
            raise self._start_error
        log.info("serving at %s%s", " ".join(u.split("?", 1)[0] for u in self.urls),
                 " (open Server.url: it carries the secret)" if self.token else "")
        if not self.token:
            log.warning("the server at %s runs without a secret (token=''): any local process or user, "
                        "and any page a browser here opens, can read it and drive its callbacks", self.origin)
        self.hub.subscribe(self._loop)  # type: ignore[arg-type]
        return self

    def stop(self, timeout: float = 10.0) -> None:
        """Close every WebSocket and stream, stop the loop and join its thread.

        Events still queued are dropped; a callback that is running goes on
        to its end on its (daemon) thread.
        """
        with self._lock:
            if self._stopped:
                return
            self._stopped = True
        self.hub.unsubscribe()
        self._events.stop()
        loop = self._loop
        if loop is not None and self._thread is not None and self._thread.is_alive():
            try:
                loop.call_soon_threadsafe(loop.stop)
            except RuntimeError:  # already closed
                pass
            if threading.current_thread() is not self._thread:
                self._thread.join(timeout)
        global _default
        with _default_lock:
            if _default is self:
                _default = None

    def serve_forever(self) -> None:
        """Block until :meth:`stop` is called (from another thread) or Ctrl-C."""
        try:
            while self._thread is not None and self._thread.is_alive():
                # Not Thread.join: Ctrl-C inside it marks the thread as ended while it runs on
                # (CPython 3.11, 3.12), and stop() would then not wait for the server to close.
                time.sleep(0.1)
        except KeyboardInterrupt:
            pass
        finally:
            self.stop()

    def __enter__(self) -> "Server":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.stop()

    def __repr__(self) -> str:
        state = "running" if self.running else "stopped"
        return f"<vt_core Server {self.origin}/ {state}, {self.client_count} browser(s)>"

    # -- loop thread -----------------------------------------------------------

    def _run(self) -> None:
        loop = asyncio.new_event_loop()
        self._loop = loop
        asyncio.set_event_loop(loop)
        try:
            loop.run_until_complete(self._startup())
        except BaseException as exc:  # noqa: BLE001 - handed to the starting thread
            self._start_error = exc
            self._ready.set()
            loop.close()
            return
        self._ready.set()
        try:
            loop.run_forever()
        finally:
            try:
                loop.run_until_complete(self._shutdown())
                loop.run_until_complete(loop.shutdown_asyncgens())
            except Exception:  # noqa: BLE001
                log.exception("error while stopping the web server")
            finally:
                loop.close()

    async def _startup(self) -> None:
        app = web.Application(middlewares=[self._head_arrived, self.guard.middleware],
                              client_max_size=MAX_INBOUND_BYTES)
        app.on_response_prepare.append(routes.response_headers)
        routes.install(app, {route.handler: getattr(self, f"_handle_{route.handler}") for route in routes.ROUTES})
        runner = web.AppRunner(app, access_log=None, shutdown_timeout=2.0, handler_cancellation=True,
                               keepalive_timeout=max(self.header_timeout, 15.0))
        await runner.setup()
        self._runner = runner
        self._watch_connections(runner.server)
        try:
            # One port for every address family, also when the system picks it.
            socks = interfaces.bind_sockets(self.host, self._requested_port)
            self._bound = [(sock.family, sock.getsockname()) for sock in socks]
            for sock in socks:
                await web.SockSite(runner, sock, ssl_context=self.ssl_context).start()
        except BaseException:
            await runner.cleanup()
            raise
        self.addresses = list(runner.addresses)
        self.port = int(self.addresses[0][1])
        if self.host in interfaces.WILDCARD_HOSTS:
            public = interfaces.local_addresses(
                next(iter(self._families())) if len(self._families()) == 1 else None)
            self._url_host = interfaces.url_host(public[0]) if public else interfaces.display_host(self.host)
        held = interfaces.loopback_names([address[0] for _, address in self._bound], interfaces.has_ipv6_loopback())
        self.access.bind(self.host, self.port, self.scheme,
                         interfaces.local_names() if self.host in interfaces.WILDCARD_HOSTS else (), held)

    def _watch_connections(self, server: Any) -> None:
        """Close connections that do not send a whole request head within ``header_timeout``."""
        loop = asyncio.get_running_loop()
        made, lost = server.connection_made, server.connection_lost

        def connection_made(handler: Any, transport: Any) -> None:
            made(handler, transport)
            # what the client got wrong is logged as a refusal, without a traceback
            peer = transport.get_extra_info("peername")
            handler.logger = WireLog(log, self.refusals, str(peer[0]) if isinstance(peer, tuple) else None)
            self._awaiting_head.add(handler)
            loop.call_later(self.header_timeout, self._check_head, handler, transport)

        def connection_lost(handler: Any, exc: "BaseException | None" = None) -> None:
            self._awaiting_head.discard(handler)
            lost(handler, exc)

        server.connection_made = connection_made
        server.connection_lost = connection_lost

    def _check_head(self, handler: Any, transport: Any) -> None:
        if handler in self._awaiting_head:
            self._awaiting_head.discard(handler)
            if not transport.is_closing():
                log.debug("closing a connection that sent no whole request within %.1f s", self.header_timeout)
                transport.abort()

    async def _shutdown(self) -> None:
        await self.hub.close_all()
        for task in list(self._tasks):
            task.cancel()
        if self._tasks:
            await asyncio.wait(list(self._tasks), timeout=2.0)
        if self._runner is not None:
            await self._runner.cleanup()

    def _track(self, coro: Any) -> asyncio.Task:
        task = asyncio.get_running_loop().create_task(coro)
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)
        return task

    # -- requests --------------------------------------------------------------

    #: Seconds a response may wait for its client to take more data; a client that
    #: reads nothing for that long is cut off (and its audio stream slot freed).
    send_timeout = 30.0
    #: Seconds a request body (a POST's JSON) may take to arrive: then 408.
    body_timeout = 10.0

    @web.middleware
    async def _head_arrived(self, request: web.Request, handler: Callable) -> web.StreamResponse:
        """The connection sent a whole request head in time (see ``_watch_connections``)."""
        self._awaiting_head.discard(request.protocol)
        return await handler(request)

    # -- handlers --------------------------------------------------------------

    async def _handle_ws(self, request: web.Request) -> web.StreamResponse:
        ws = web.WebSocketResponse(max_msg_size=MAX_INBOUND_BYTES, **WS_OPTIONS)
        await ws.prepare(request)
        query = request.query
        received, have, stream = _count(query.get("received")), _count(query.get("have")), _page_id(query.get("stream"))
        await self.hub.serve(
            ws, request.transport, request.remote, _page_id(query.get("page")), received,
            self._events.queue(f"the browser at {request.remote}"),
            (stream, have) if stream is not None and have is not None else None)
        return ws

    async def _handle_index(self, request: web.Request) -> web.StreamResponse:
        if "token" in request.query or "session" in request.query:
            # Trade the secret in the address bar for a cookie (or set the session the page
            # kept as its cookie again), then show the page without it.
            rest = [(k, v) for k, v in request.query.items() if k not in ("token", "session")]
            response = web.HTTPSeeOther("/" + (f"?{urlencode(rest)}" if rest else ""))
            if self.token:
                self.access.issue_session(response, request, self.access.credential(request).session)
            response.headers["Cache-Control"] = "no-store"
            raise response
        return static_response(self.static_dir, "index.html")

    async def _handle_static(self, request: web.Request) -> web.StreamResponse:
        return static_response(self.static_dir, request.match_info["path"])

    async def _handle_public(self, request: web.Request) -> web.StreamResponse:
        return static_response(STATIC_DIR / "public", request.match_info["path"])

    async def _handle_favicon(self, request: web.Request) -> web.StreamResponse:
        response = static_response(STATIC_DIR / "public", "icon.svg")
        response.headers.update({"Content-Type": "image/svg+xml", "Cache-Control": "max-age=86400"})
        return response

    async def _handle_session(self, request: web.Request) -> web.StreamResponse:
        """The session the page presented, for it to keep in this tab (``null`` when it came with the secret)."""
        session = self.access.credential(request).session
        return web.json_response({"session": session}, headers={"Cache-Control": "no-store"})

    async def _handle_file(self, request: web.Request) -> web.StreamResponse:
        return await registered_file_response(request, self.send_timeout, self._note_stalled)

    async def _handle_audio(self, request: web.Request) -> web.StreamResponse:
        source = audio.lookup(request.match_info["name"])
        if source is None:
            raise web.HTTPNotFound()
        params: dict[str, Any] = {k: v for k, v in request.query.items() if k != "token"}
        if request.method == "POST":
            params.update(await audio.read_json_params(request, MAX_INBOUND_BYTES, self.body_timeout))
        task = asyncio.current_task()
        if task is not None:
            self._tasks.add(task)
        try:
            return await audio.handle_audio(request, source, params, self.send_timeout, self._note_stalled)
        finally:
            if task is not None:
                self._tasks.discard(task)

    def _note_stalled(self, request: web.BaseRequest) -> None:
        self.refusals.note(request.remote, f"cut off {request.method} {request.path}: the client read "
                                                  f"nothing for {self.send_timeout:g} s")


def _ssl_context(certfile: Any, keyfile: Any) -> "ssl.SSLContext | None":
    """A server TLS context from a certificate (chain) file and its key, or None for plain HTTP."""
    if certfile is None:
        if keyfile is not None:
            raise ValueError("ssl_keyfile needs ssl_certfile")
        return None
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(os.fspath(certfile), None if keyfile is None else os.fspath(keyfile))
    return context


def _count(value: "str | None") -> "int | None":
    """A count a page sends in the query (``received=``, ``have=``), if it is one."""
    return int(value) if value and value.isascii() and value.isdigit() and len(value) < 19 else None


def _page_id(value: "str | None") -> "str | None":
    """The id a page gives itself (to be known again when it reconnects), if it is a sane one."""
    if value and len(value) <= 64 and value.isascii() and value.replace("-", "").isalnum():
        return value
    return None


# --------------------------------------------------------------------------
# Module-level entry points

_default_lock = threading.Lock()
_default: Server | None = None


def start(
    host: str = "127.0.0.1",
    port: int = 0,
    static_dir: "str | os.PathLike[str] | None" = None,
    **options: Any,
) -> Server:
    """Start a web server on a background thread; returns it once listening.

    ``port=0`` picks a free port.  Open ``Server.url``: it carries the
    server's secret.  ``static_dir`` replaces the bundled page and player.
    Further keyword options go to :class:`Server`:

    * ``token``: the secret (default: a new random one); ``token=""`` turns
      it off, with a warning;
    * ``allowed_hosts``: more names the server may be reached by (``"name"``
      on any port or ``"name:port"``; ``"*"`` allows any), e.g. the public
      name when it runs behind a reverse proxy;
    * ``allowed_origins``: more page origins that may use it;
    * ``trusted_proxies``: addresses or networks (``"127.0.0.1"``,
      ``"10.0.0.0/8"``) of reverse proxies whose ``X-Forwarded-For`` or
      ``Forwarded`` header names the client a browser session is sealed to
      (behind a proxy that is not named, every client is the proxy);
    * ``max_queue_frames``, ``max_queue_bytes``, ``drop_grace``: each
      browser's outgoing queue;
    * ``max_pending_events``, ``max_pending_event_bytes``: each browser's
      queue of events waiting for their callbacks;
    * ``header_timeout``: seconds a connection has to send a request head;
    * ``flush_interval``: after a write to the browsers, seconds during which
      newly published frames gather before the next write (default 0.01);
    * ``ssl_certfile``, ``ssl_keyfile``: serve HTTPS (and WSS) with this
      certificate (PEM, the chain after it) and its key (omit it when the
      certificate file holds the key too);
    * ``resume_seconds``: seconds of audio each push stream keeps for a page
      that comes back after a broken link (default 5; what it no longer holds
      the page is told as a gap of that exact length);
    * ``beat``, ``link_timeout``: a page gets a beat every ``beat`` seconds
      (1) and is pinged after that long without a word; one that sends
      nothing for ``link_timeout`` seconds (5) is cut off.

    ``host`` ``""`` (or ``"0.0.0.0"``, ``"::"``) listens on every address of
    the machine; :attr:`Server.url` then names one another machine can use,
    :attr:`Server.urls` lists them all, and the machine's own host names are
    accepted in ``Host``.

    The first server started while no other is running becomes
    :func:`default_server`.
    """
    server = Server(host, port, static_dir, **options).start()
    global _default
    with _default_lock:
        if _default is None or not _default.running:
            _default = server
    return server


def default_server() -> "Server | None":
    """The running server that :func:`start` made the default, if any."""
    with _default_lock:
        return _default if _default is not None and _default.running else None
