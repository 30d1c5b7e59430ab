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

The wire format is described in ``docs/PROTOCOL.md``.

Flow control.  The server subscribes one quick function to the host bus.  It
runs on the publishing thread (under the bus lock, so messages keep one global
order), encodes the message once, appends it to each browser's queue and, at
most once per batch, wakes the event loop with ``call_soon_threadsafe``.  It
never waits for the network, so sending never blocks the Python caller.  Each
queue is bounded (``max_queue_frames`` frames or ``max_queue_bytes`` bytes); a
browser that falls further behind has its queue freed at once, is sent
``{"type": "dropped", "reason": ...}`` if it still reads within
``drop_grace`` seconds, and is disconnected.
"""

from __future__ import annotations

import array
import asyncio
import collections
import concurrent.futures
import json
import logging
import math
import os
import struct
import sys
import threading
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Iterable, Iterator
from urllib.parse import quote

from aiohttp import WSCloseCode, WSMsgType, web

from .bus import bus
from .manager import getcm
from .stream_state import PushStreamState
from .utils import resolve_token

__all__ = [
    "Server",
    "start",
    "default_server",
    "register_audio",
    "unregister_audio",
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

#: Data size written in a streaming WAV header: the length is unknown, so the
#: RIFF and data sizes say "as long as it gets" (readers stop at end of body).
STREAMING_WAV_SIZE = 0xFFFFFFFF

_LOOPBACK_NAMES = ("127.0.0.1", "localhost", "[::1]")


# --------------------------------------------------------------------------
# JSON encoding of bus messages


def _stringify(value: Any) -> str:
    """JSON fallback for values json cannot encode: their ``str``."""
    try:
        return str(value)
    except Exception:  # noqa: BLE001 - a broken __str__ must not stop a message
        try:
            return repr(value)
        except Exception:  # noqa: BLE001
            return f"<{type(value).__name__}>"


def _plain(value: Any, depth: int = 0, seen: "set[int] | None" = None) -> Any:
    """A copy of ``value`` that json can always encode.

    Non-finite floats become ``null``, non-string keys and unknown objects
    their ``str``, cycles and overly deep nesting a placeholder string.
    """
    if value is None or isinstance(value, (str, bool, int)):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if depth > 100:
        return "<too deep>"
    if isinstance(value, (dict, list, tuple)):
        seen = seen if seen is not None else set()
        if id(value) in seen:
            return "<cycle>"
        seen.add(id(value))
        try:
            if isinstance(value, dict):
                return {
                    (k if isinstance(k, str) else _stringify(k)): _plain(v, depth + 1, seen)
                    for k, v in list(value.items())
                }
            return [_plain(v, depth + 1, seen) for v in list(value)]
        finally:
            seen.discard(id(value))
    return _stringify(value)


def _dumps(obj: Any) -> str:
    """Encode ``obj`` as compact JSON text that a browser's ``JSON.parse`` accepts."""
    try:
        return json.dumps(obj, default=_stringify, allow_nan=False, separators=(",", ":"))
    except (TypeError, ValueError, RecursionError):
        return json.dumps(_plain(obj), default=_stringify, allow_nan=False, separators=(",", ":"))


def encode_message(message: tuple) -> "str | bytes | None":
    """The WebSocket frame for one bus message.

    Returns JSON text for component and action messages, the bytes themselves
    for binary messages, and None for a message kind the browser does not know.
    """
    kind = message[0]
    if kind == "binary":
        data = message[1]
        return data if type(data) is bytes else bytes(data)
    if kind == "message":
        return _dumps({"type": "message", "action": message[1], "data": message[2]})
    if kind == "update":
        return _dumps({"type": "update", "id": message[1], "content": message[2]})
    if kind == "add":
        return _dumps({"type": "add", "id": message[1], "kind": message[2], "content": message[3]})
    if kind == "remove":
        return _dumps({"type": "remove", "id": message[1]})
    return None


def _components_frame(snapshot: Iterable[tuple[str, str, Any]]) -> str:
    return _dumps(
        {
            "type": "components",
            "components": [{"id": cid, "kind": kind, "content": content} for cid, kind, content in snapshot],
        }
    )


# --------------------------------------------------------------------------
# Audio endpoint


@dataclass(frozen=True)
class AudioSource:
    """A registered audio generator (see :func:`register_audio`)."""

    name: str
    generator: Callable[[dict], Iterable[bytes]]
    sample_rate: int
    channels: int
    wav_header: bool


_audio_lock = threading.Lock()
_audio_sources: dict[str, AudioSource] = {}


def register_audio(
    name: str,
    generator: Callable[[dict], Iterable[bytes]],
    sample_rate: int = 48000,
    channels: int = 2,
    wav_header: bool = True,
) -> str:
    """Serve ``generator`` at ``/vt/audio/<name>`` on every server; returns that path.

    For each request the generator is called with a ``dict`` of parameters
    (the query string, updated with the JSON object of a POST body) and must
    return an iterable of bytes-like chunks of interleaved little-endian int16
    PCM.  The server pulls the chunks on a worker thread, so the generator may
    block, and stops pulling (closing the generator) when the client goes away.
    With ``wav_header`` the body starts with a 44-byte streaming WAV header
    (see :func:`wav_header`) and is served as ``audio/wav``, otherwise as
    ``application/octet-stream``.  Registering a name again replaces it.
    """
    if not isinstance(name, str) or not name or "/" in name:
        raise ValueError(f"audio name must be a non-empty string without '/', not {name!r}")
    if not callable(generator):
        raise TypeError("generator must be callable")
    if int(sample_rate) <= 0 or int(channels) <= 0:
        raise ValueError("sample_rate and channels must be positive")
    source = AudioSource(name, generator, int(sample_rate), int(channels), bool(wav_header))
    with _audio_lock:
        _audio_sources[name] = source
    return "/vt/audio/" + quote(name, safe="")


def unregister_audio(name: str) -> bool:
    """Stop serving ``/vt/audio/<name>``; returns whether it was registered."""
    with _audio_lock:
        return _audio_sources.pop(name, None) is not None


def wav_header(sample_rate: int, channels: int, data_size: int = STREAMING_WAV_SIZE) -> bytes:
    """A 44-byte PCM WAV header for int16 samples.

    With the default ``data_size`` (0xFFFFFFFF) the RIFF and data sizes are
    both 0xFFFFFFFF, the usual marker of a stream whose length is unknown.
    """
    block_align = 2 * channels
    riff_size = STREAMING_WAV_SIZE if data_size == STREAMING_WAV_SIZE else 36 + data_size
    return struct.pack(
        "<4sI4s4sIHHIIHH4sI",
        b"RIFF", riff_size, b"WAVE",
        b"fmt ", 16, 1, channels, sample_rate, sample_rate * block_align, block_align, 16,
        b"data", data_size,
    )  # fmt: skip


def tone(
    frequency: float = 440,
    seconds: float = 2.0,
    sample_rate: int = 48000,
    channels: int = 2,
    chunk_frames: int = 2048,
    amplitude: float = 0.3,
) -> Iterator[bytes]:
    """A sine tone as chunks of interleaved little-endian int16 PCM.

    Yields ``chunk_frames`` frames per chunk (the last one may be shorter);
    the phase runs on across chunks.  Register it for the audio endpoint as,
    for example::

        register_audio("tone", lambda p: tone(float(p.get("frequency", 440))))
    """
    if sample_rate <= 0 or channels < 1 or chunk_frames < 1:
        raise ValueError("sample_rate, channels and chunk_frames must be positive")
    total = max(0, round(seconds * sample_rate))
    step = 2.0 * math.pi * frequency / sample_rate
    scale = max(0.0, min(1.0, amplitude)) * 32767.0

    def chunks() -> Iterator[bytes]:
        sin = math.sin
        for start in range(0, total, chunk_frames):
            stop = min(start + chunk_frames, total)
            mono = [int(scale * sin(step * n)) for n in range(start, stop)]
            samples = array.array("h", mono if channels == 1 else [s for s in mono for _ in range(channels)])
            if sys.byteorder == "big":
                samples.byteswap()
            yield samples.tobytes()

    return chunks()


_END = object()


def _open_generator(source: AudioSource, params: dict) -> Iterator[Any]:
    return iter(source.generator(params))


def _next_chunk(iterator: Iterator[Any]) -> Any:
    """Next non-empty chunk as bytes, or ``_END``."""
    for chunk in iterator:
        data = chunk if type(chunk) is bytes else bytes(memoryview(chunk).cast("B"))
        if data:
            return data
    return _END


def _close_iterator(iterator: Iterator[Any]) -> None:
    close = getattr(iterator, "close", None)
    if close is not None:
        try:
            close()
        except Exception:  # noqa: BLE001 - closing is best effort (may still be running)
            log.debug("closing an audio generator failed", exc_info=True)


# --------------------------------------------------------------------------
# Browsers


class _Client:
    """One connected browser: its WebSocket and its bounded outgoing queue.

    ``offer`` runs on publishing threads (always under the bus lock, so one at
    a time); everything else runs on the server's event loop.  The queue is a
    ``deque`` (thread-safe append/popleft); the frame and byte counts pushed
    and sent are each written by one side only, so their difference is the
    queue's size without any further locking.
    """

    __slots__ = (
        "ws", "transport", "frames", "max_frames", "max_bytes",
        "pushed_frames", "pushed_bytes", "sent_frames", "sent_bytes",
        "overflow", "closed", "dropping", "wakeup", "pump",
    )  # fmt: skip

    def __init__(self, ws: web.WebSocketResponse, transport: Any, max_frames: int, max_bytes: int) -> None:
        self.ws = ws
        self.transport = transport
        self.frames: collections.deque[str | bytes] = collections.deque()
        self.max_frames = max_frames
        self.max_bytes = max_bytes
        self.pushed_frames = 0
        self.pushed_bytes = 0
        self.sent_frames = 0
        self.sent_bytes = 0
        self.overflow: str | None = None
        self.closed = False
        self.dropping = False
        self.wakeup = asyncio.Event()
        self.pump: asyncio.Task | None = None

    def offer(self, frame: "str | bytes", size: int) -> bool:
        """Queue ``frame``; returns whether the loop needs waking."""
        if self.closed or self.overflow is not None:
            return False
        queued_frames = self.pushed_frames - self.sent_frames
        queued_bytes = self.pushed_bytes - self.sent_bytes
        if queued_frames >= self.max_frames or (queued_bytes and queued_bytes + size > self.max_bytes):
            self.overflow = (
                f"browser fell behind: {queued_frames} frames / {queued_bytes} bytes queued "
                f"(limit {self.max_frames} frames / {self.max_bytes} bytes)"
            )
            self.frames.clear()  # free the queue at once
            return True
        self.frames.append(frame)
        self.pushed_frames += 1
        self.pushed_bytes += size
        return True

    async def run_pump(self) -> None:
        """Send queued frames in order until cancelled or the socket fails."""
        frames = self.frames
        ws = self.ws
        try:
            while True:
                self.wakeup.clear()
                while frames:
                    try:
                        frame = frames.popleft()
                    except IndexError:  # cleared by an overflow meanwhile
                        break
                    self.sent_frames += 1
                    self.sent_bytes += len(frame)
                    if type(frame) is str:
                        await ws.send_str(frame)
                    else:
                        await ws.send_bytes(frame)
                await self.wakeup.wait()
        except asyncio.CancelledError:
            raise
        except Exception as exc:  # noqa: BLE001 - the browser went away
            log.debug("websocket send failed: %r", exc)
            self.release()
            await _close_quietly(ws, WSCloseCode.GOING_AWAY, 1.0, self.transport)

    def release(self) -> None:
        """Stop taking frames and free the queue."""
        self.closed = True
        self.frames.clear()


async def _close_quietly(ws: web.WebSocketResponse, code: int, timeout: float, transport: Any) -> None:
    """Close ``ws`` within ``timeout`` seconds, else abort the connection."""
    try:
        await asyncio.wait_for(ws.close(code=code), timeout)
        return
    except Exception:  # noqa: BLE001 - timed out or the connection is gone
        pass
    if transport is not None:
        transport.abort()


# --------------------------------------------------------------------------
# Server


class _SingleFileResponse(web.FileResponse):
    """``FileResponse`` that always sends the named file itself.

    aiohttp would otherwise serve a pre-compressed ``<name>.gz``/``.br``
    sibling when the client accepts it: never wanted for token-served files.
    """

    async def prepare(self, request: web.BaseRequest) -> Any:  # type: ignore[override]
        if "Accept-Encoding" in request.headers:
            headers = request.headers.copy()
            del headers["Accept-Encoding"]
            request = request.clone(headers=headers)
        return await super().prepare(request)


def _display_host(host: str) -> str:
    if host in ("", "0.0.0.0"):
        return "127.0.0.1"
    if host == "::":
        return "[::1]"
    return f"[{host}]" if ":" in host and not host.startswith("[") else host


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
        max_queue_frames: int = MAX_QUEUE_FRAMES,
        max_queue_bytes: int = MAX_QUEUE_BYTES,
        drop_grace: float = 2.0,
        allowed_origins: Iterable[str] = (),
    ) -> None:
        self.host = host
        self._requested_port = int(port)
        self.port = 0
        self.static_dir = Path(static_dir) if static_dir is not None else STATIC_DIR
        self.max_queue_frames = int(max_queue_frames)
        self.max_queue_bytes = int(max_queue_bytes)
        self.drop_grace = float(drop_grace)
        self._extra_origins = {o.rstrip("/") for o in allowed_origins}
        self.addresses: list[Any] = []
        self._clients: tuple[_Client, ...] = ()
        self._wake_pending = False
        self._loop: asyncio.AbstractEventLoop | None = None
        self._runner: web.AppRunner | None = None
        self._thread: threading.Thread | None = None
        self._ready = threading.Event()
        self._start_error: BaseException | None = None
        self._unsubscribe: Callable[[], None] | None = None
        self._tasks: set[asyncio.Task] = set()
        self._events = concurrent.futures.ThreadPoolExecutor(max_workers=1, thread_name_prefix="vt-events")
        self._audio_pool = concurrent.futures.ThreadPoolExecutor(max_workers=32, thread_name_prefix="vt-audio")
        self._lock = threading.Lock()
        self._stopped = False
        self.dropped_clients = 0
        self._stream = PushStreamState()  # for pages that connect mid-stream

    # -- public --------------------------------------------------------------

    @property
    def url(self) -> str:
        """The page's URL, e.g. ``http://127.0.0.1:8765/``."""
        return f"{self.origin}/"

    @property
    def origin(self) -> str:
        """``http://host:port`` as a browser names this server."""
        return f"http://{_display_host(self.host)}:{self.port}"

    @property
    def ws_url(self) -> str:
        """The WebSocket's URL."""
        return f"ws://{_display_host(self.host)}:{self.port}/vt/ws"

    @property
    def client_count(self) -> int:
        """Number of connected browsers."""
        return len(self._clients)

    @property
    def running(self) -> bool:
        return self._thread is not None and self._thread.is_alive() and not self._stopped

    def audio_url(self, name: str) -> str:
        """Absolute URL of the registered audio generator ``name``."""
        return f"{self.origin}/vt/audio/{quote(name, safe='')}"

    def start(self) -> "Server":
        """Start listening; returns once the socket is bound (raises if it cannot be)."""
        if self._thread is not None:
            raise RuntimeError("server already started")
        self._thread = threading.Thread(target=self._run, name="vt-server", daemon=True)
        self._thread.start()
        self._ready.wait()
        if self._start_error is not None:
            self._thread.join()
            self._events.shutdown(wait=False)
            self._audio_pool.shutdown(wait=False)
            raise self._start_error
        self._unsubscribe = bus.subscribe(self._on_bus_message)
        return self

    def stop(self, timeout: float = 10.0) -> None:
        """Close every WebSocket and stream, stop the loop and join its thread."""
        with self._lock:
            if self._stopped:
                return
            self._stopped = True
        if self._unsubscribe is not None:
            self._unsubscribe()
            self._unsubscribe = None
        loop = self._loop
        if loop is not None and self._thread is not None and self._thread.is_alive():
            try:
                loop.call_soon_threadsafe(loop.stop)
            except RuntimeError:  # already closed
                pass
            if threading.current_thread() is not self._thread:
                self._thread.join(timeout)
        self._events.shutdown(wait=False, cancel_futures=True)
        self._audio_pool.shutdown(wait=False, cancel_futures=True)
        global _default
        with _default_lock:
            if _default is self:
                _default = None

    def serve_forever(self) -> None:
        """Block until :meth:`stop` is called (from another thread) or Ctrl-C."""
        try:
            while self._thread is not None and self._thread.is_alive():
                self._thread.join(0.5)
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
        return f"<vt_core Server {self.url} {state}, {self.client_count} browser(s)>"

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
        app = web.Application()
        app.router.add_get("/", self._handle_index)
        app.router.add_get("/vt/static/{path:.+}", self._handle_static)
        app.router.add_get("/vt/ws", self._handle_ws)
        app.router.add_get("/vt/files/{token}/{name}", self._handle_file)
        app.router.add_route("GET", "/vt/audio/{name}", self._handle_audio)
        app.router.add_route("POST", "/vt/audio/{name}", self._handle_audio)
        runner = web.AppRunner(app, access_log=None, shutdown_timeout=2.0)
        await runner.setup()
        self._runner = runner
        site = web.TCPSite(runner, self.host, self._requested_port)
        try:
            await site.start()
        except BaseException:
            await runner.cleanup()
            raise
        self.addresses = list(runner.addresses)
        self.port = int(self.addresses[0][1])

    async def _shutdown(self) -> None:
        clients, self._clients = self._clients, ()
        closing = []
        for client in clients:
            client.release()
            if client.pump is not None:
                client.pump.cancel()
            closing.append(_close_quietly(client.ws, WSCloseCode.GOING_AWAY, 1.0, client.transport))
        if closing:
            await asyncio.gather(*closing, return_exceptions=True)
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

    # -- bus -------------------------------------------------------------------

    def _on_bus_message(self, message: tuple) -> None:
        """Bus subscriber: queue ``message`` for every browser; never blocks."""
        self._stream.observe(message)
        clients = self._clients
        if not clients:
            return
        try:
            frame = encode_message(message)
            if frame is None:
                return
            size = len(frame)
            wake = False
            for client in clients:
                if client.offer(frame, size):
                    wake = True
            if wake and not self._wake_pending:
                self._wake_pending = True
                self._loop.call_soon_threadsafe(self._wake)  # type: ignore[union-attr]
        except RuntimeError:  # the loop is closing
            pass
        except Exception:  # noqa: BLE001 - never fail the Python caller
            log.exception("could not queue a message for the browsers")

    def _wake(self) -> None:
        # Clear the flag before looking at the queues: a frame queued after
        # this point schedules another wake-up, one queued before is seen now.
        self._wake_pending = False
        for client in self._clients:
            if client.overflow is not None:
                if not client.dropping:
                    client.dropping = True
                    self._track(self._drop(client))
            else:
                client.wakeup.set()

    async def _drop(self, client: _Client) -> None:
        self.dropped_clients += 1
        log.warning("dropping a browser: %s", client.overflow)
        client.release()
        self._forget(client)
        if client.pump is not None:
            client.pump.cancel()
            try:
                await client.pump
            except BaseException:  # noqa: BLE001
                pass
        try:
            await asyncio.wait_for(
                client.ws.send_str(_dumps({"type": "dropped", "reason": client.overflow})), self.drop_grace
            )
        except (asyncio.TimeoutError, Exception):  # noqa: BLE001
            pass
        await _close_quietly(client.ws, WSCloseCode.TRY_AGAIN_LATER, self.drop_grace, client.transport)

    def _forget(self, client: _Client) -> None:
        self._clients = tuple(c for c in self._clients if c is not client)

    # -- handlers --------------------------------------------------------------

    def _allowed_origin(self, origin: str) -> bool:
        origin = origin.rstrip("/").lower()
        own = {self.origin.lower()} | {o.lower() for o in self._extra_origins}
        if _display_host(self.host) in ("127.0.0.1", "[::1]", "localhost"):
            own |= {f"http://{name}:{self.port}" for name in _LOOPBACK_NAMES}
        return origin in own

    async def _handle_ws(self, request: web.Request) -> web.StreamResponse:
        origin = request.headers.get("Origin")
        if origin is not None and not self._allowed_origin(origin):
            log.warning("refused a WebSocket from origin %r", origin)
            raise web.HTTPForbidden(text="origin not allowed")
        ws = web.WebSocketResponse(compress=False, heartbeat=30.0, max_msg_size=1 << 20)
        await ws.prepare(request)
        client = _Client(ws, request.transport, self.max_queue_frames, self.max_queue_bytes)
        # Snapshot and join the fan-out atomically: the browser sees the
        # component list, then exactly the messages published after it.
        with getcm().frozen() as snapshot:
            first = _components_frame(snapshot)
            client.frames.append(first)
            client.pushed_frames, client.pushed_bytes = 1, len(first)
            stream = self._stream.frame()
            if stream is not None:
                client.offer(stream, len(stream))
            self._clients = (*self._clients, client)
        client.pump = asyncio.get_running_loop().create_task(client.run_pump())
        try:
            async for msg in ws:
                if msg.type == WSMsgType.TEXT:
                    self._on_text(msg.data)
        finally:
            client.release()
            self._forget(client)
            if not client.dropping:
                client.pump.cancel()
        return ws

    def _on_text(self, text: str) -> None:
        try:
            msg = json.loads(text)
        except ValueError:
            log.debug("ignored a non-JSON frame from the browser")
            return
        if not isinstance(msg, dict) or msg.get("type") != "event":
            return
        cid, event = msg.get("id"), msg.get("event")
        if not isinstance(cid, str) or not isinstance(event, str):
            return
        payload = msg.get("payload")
        try:
            self._events.submit(_dispatch_event, cid, event, {} if payload is None else payload)
        except RuntimeError:  # shutting down
            pass

    async def _handle_index(self, request: web.Request) -> web.StreamResponse:
        return self._static_response("index.html")

    async def _handle_static(self, request: web.Request) -> web.StreamResponse:
        return self._static_response(request.match_info["path"])

    def _static_response(self, relative: str) -> web.StreamResponse:
        parts = relative.split("/")
        if any(not p or p.startswith(".") or "\\" in p or "\0" in p for p in parts):
            raise web.HTTPNotFound()
        root = os.path.realpath(self.static_dir)
        path = os.path.realpath(os.path.join(root, *parts))
        if os.path.commonpath([root, path]) != root or not os.path.isfile(path):
            raise web.HTTPNotFound()
        headers = {"Cache-Control": "no-cache"}
        if path.endswith((".js", ".mjs")):  # the same module type on every Python's mimetypes table
            headers["Content-Type"] = "text/javascript"
        return _SingleFileResponse(path, headers=headers)

    async def _handle_file(self, request: web.Request) -> web.StreamResponse:
        path = resolve_token(request.match_info["token"])
        if path is None or request.match_info["name"] != os.path.basename(path) or not os.path.isfile(path):
            raise web.HTTPNotFound()
        return _SingleFileResponse(path)

    async def _handle_audio(self, request: web.Request) -> web.StreamResponse:
        with _audio_lock:
            source = _audio_sources.get(request.match_info["name"])
        if source is None:
            raise web.HTTPNotFound()
        params: dict[str, Any] = dict(request.query)
        if request.method == "POST" and request.can_read_body:
            try:
                body = json.loads(await request.text() or "null")
            except ValueError:
                raise web.HTTPBadRequest(text="body must be a JSON object") from None
            if body is not None and not isinstance(body, dict):
                raise web.HTTPBadRequest(text="body must be a JSON object")
            params.update(body or {})
        task = asyncio.current_task()
        if task is not None:
            self._tasks.add(task)
        try:
            return await self._stream_audio(request, source, params)
        finally:
            if task is not None:
                self._tasks.discard(task)

    async def _stream_audio(self, request: web.Request, source: AudioSource, params: dict) -> web.StreamResponse:
        loop = asyncio.get_running_loop()
        pool = self._audio_pool
        try:
            iterator = await loop.run_in_executor(pool, _open_generator, source, params)
            chunk = await loop.run_in_executor(pool, _next_chunk, iterator)
        except Exception:  # noqa: BLE001 - the generator's fault, reported to the client
            log.exception("audio generator %r failed to start", source.name)
            raise web.HTTPInternalServerError(text="audio generator failed") from None
        response = web.StreamResponse(
            headers={
                "Content-Type": "audio/wav" if source.wav_header else "application/octet-stream",
                "Cache-Control": "no-store",
                "X-Audio-Sample-Rate": str(source.sample_rate),
                "X-Audio-Channels": str(source.channels),
            }
        )
        response.enable_chunked_encoding()
        pending = None
        try:
            await response.prepare(request)
            if source.wav_header:
                await response.write(wav_header(source.sample_rate, source.channels))
            while chunk is not _END:
                await response.write(chunk)
                pending = loop.run_in_executor(pool, _next_chunk, iterator)
                chunk = await pending
                pending = None
            await response.write_eof()
        except (ConnectionError, asyncio.CancelledError) as exc:
            log.debug("audio client for %r went away: %r", source.name, exc)
            if isinstance(exc, asyncio.CancelledError):
                raise
        except Exception:  # noqa: BLE001 - headers are out: end the body
            log.exception("audio generator %r failed", source.name)
        finally:
            # A generator still running on a worker (cancelled mid-chunk)
            # cannot be closed from here; it is closed when collected.
            if pending is None:
                try:
                    pool.submit(_close_iterator, iterator)
                except RuntimeError:  # the pool is shut down
                    _close_iterator(iterator)
        return response


def _dispatch_event(cid: str, event: str, payload: Any) -> None:
    try:
        getcm().dispatch_event(cid, event, payload)
    except Exception:  # noqa: BLE001 - the event thread must keep going
        log.exception("dispatching %r for component %s failed", event, cid)


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

    ``port=0`` picks a free port (see ``Server.url``).  ``static_dir`` replaces
    the bundled page and player.  Further keyword options go to
    :class:`Server` (``max_queue_frames``, ``max_queue_bytes``,
    ``drop_grace``, ``allowed_origins``).  The first server started while no
    other is running becomes :func:`default_server`.
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

