"""Each browser's bounded outgoing queue and the task that writes it out.

``offer`` runs on publishing threads (always under the bus lock, so one at a
time); everything else runs on the server's event loop.  The queue is a
``deque`` (thread-safe append/popleft); the frame and byte counts pushed and
sent are each written by one side only, so their difference is the queue's
size without any further locking.

The pump writes queued frames in batches: many frames go to the socket in one
call, and the loop gets control back between batches, so a long queue never
stalls the other browsers, the page or the events.  Each call into the
socket may also hand the interpreter lock to other Python threads for a
while, which is what makes one call per frame so slow beside busy threads.
"""

from __future__ import annotations

import asyncio
import collections
import logging
import struct
from typing import Any

try:  # the socket's send queue, where the system tells it (Linux)
    import fcntl
    import termios

    _TIOCOUTQ: "int | None" = termios.TIOCOUTQ
except (ImportError, AttributeError):  # pragma: no cover - not Linux
    _TIOCOUTQ = None

from aiohttp import web

from .messages import ws_frames

log = logging.getLogger("vt_core.server")

#: Most frames written to the socket in one call.
BATCH_FRAMES = 256
#: Most bytes written to the socket in one call (a single larger frame still goes whole).
BATCH_BYTES = 256 * 1024
#: Bytes the socket may hold unsent before the pump waits for the browser to read.
HIGH_WATER = 1024 * 1024


class Outbox:
    """One connected browser: its WebSocket and its bounded outgoing queue."""

    __slots__ = (
        "ws", "transport", "protocol", "frames", "max_frames", "max_bytes",
        "pushed_frames", "pushed_bytes", "sent_frames", "sent_bytes",
        "overflow", "closed", "dropping", "wakeup", "pump", "events", "busy", "offered_pcm", "sent_pcm", "peer", "page", "received_before",
    )  # fmt: skip

    def __init__(self, ws: web.WebSocketResponse, request: web.Request, max_frames: int, max_bytes: int) -> None:
        self.ws = ws
        self.transport = request.transport
        self.protocol = request.protocol
        self.peer = request.remote or "an unknown address"
        self.page: str | None = None  # the id the page gives itself (see server._rejoin)
        self.received_before: int | None = None  # audio bytes the page got on its last connection
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
        self.events: Any = None  # the browser's inbound event queue (see events.py)
        self.busy = False  # the pump is writing (or waiting for the browser to read)
        # Bytes of binary (audio) frames offered to this browser, refused ones
        # included, and written to its socket: the difference, once the pump
        # has stopped, is the audio the browser will never get from us.
        self.offered_pcm = 0
        self.sent_pcm = 0

    def first(self, frames: "list[str | bytes]") -> None:
        """Queue the frames a browser gets before anything published later."""
        for frame in frames:
            self.frames.append(frame)
            self.pushed_frames += 1
            self.pushed_bytes += len(frame)

    def offer(self, frame: "str | bytes", size: int) -> bool:
        """Queue ``frame``; returns whether the loop needs waking."""
        if self.closed:
            return False
        if type(frame) is not str:
            self.offered_pcm += size
        if self.overflow is not None:
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

    def _batch(self) -> "list[str | bytes]":
        frames = self.frames
        batch: list[str | bytes] = []
        size = 0
        while frames and len(batch) < BATCH_FRAMES and size < BATCH_BYTES:
            try:
                frame = frames.popleft()
            except IndexError:  # cleared by an overflow meanwhile
                break
            batch.append(frame)
            size += len(frame)
            if type(frame) is not str:
                self.sent_pcm += len(frame)
        self.sent_frames += len(batch)
        self.sent_bytes += size
        return batch

    async def _drain(self) -> None:
        """Wait while the socket holds more than ``HIGH_WATER`` unsent bytes."""
        transport = self.transport
        if transport.get_write_buffer_size() <= HIGH_WATER:
            return
        protocol = self.protocol
        helper = getattr(protocol, "_drain_helper", None)
        if helper is not None and getattr(protocol, "_paused", False):
            await helper()  # aiohttp's own wait for the transport to resume writing
            return
        while transport.get_write_buffer_size() > HIGH_WATER:
            if transport.is_closing():
                raise ConnectionResetError("the browser went away")
            await asyncio.sleep(0.005)

    def flush(self) -> None:
        """Write one batch now if the pump is idle and the socket has room; else wake the pump.

        Saves the pump a turn of the loop for the common case of a few frames.
        """
        if self.busy or self.closed:
            self.wakeup.set()
            return
        transport = self.transport
        if transport is None or transport.is_closing() or self.ws.closed:
            self.wakeup.set()  # the pump finds out and cleans up
            return
        if transport.get_write_buffer_size() <= HIGH_WATER:
            batch = self._batch()
            if batch:
                transport.writelines(ws_frames(batch))
        if self.frames or transport.get_write_buffer_size() > HIGH_WATER:
            self.wakeup.set()

    async def run_pump(self) -> None:
        """Write queued frames in order until cancelled or the socket fails."""
        transport = self.transport
        try:
            while True:
                self.wakeup.clear()
                self.busy = True
                while self.frames or transport.get_write_buffer_size() > HIGH_WATER:
                    if transport is None or transport.is_closing() or self.ws.closed:
                        raise ConnectionResetError("the browser went away")
                    batch = self._batch()
                    if batch:
                        transport.writelines(ws_frames(batch))
                    await self._drain()
                    if self.frames:
                        await asyncio.sleep(0)  # let the loop run between batches
                self.busy = False
                await self.wakeup.wait()
        except asyncio.CancelledError:
            raise
        except Exception as exc:  # noqa: BLE001 - the browser went away
            log.debug("websocket send failed: %r", exc)
            self.release()
            await close_quietly(self.ws, 1001, 1.0, transport)

    def release(self) -> None:
        """Stop taking frames and free the queue (outgoing and inbound)."""
        self.closed = True
        self.frames.clear()
        if self.events is not None:
            self.events.close()


async def close_quietly(ws: web.WebSocketResponse, code: int, timeout: float, transport: Any) -> None:
    """Close ``ws`` within ``timeout`` seconds, else abort the connection."""
    try:
        await asyncio.wait_for(ws.close(code=code), timeout)
        return
    except Exception:  # noqa: BLE001 - timed out or the connection is gone
        pass
    if transport is not None:
        transport.abort()


def unsent_bytes(transport: Any) -> int:
    """Bytes written to ``transport`` that the browser has not yet acknowledged.

    The transport's own buffer, plus (on Linux) the socket's send queue: on a
    slow link the kernel may hold megabytes of it.
    """
    size = transport.get_write_buffer_size()
    sock = transport.get_extra_info("socket")
    if _TIOCOUTQ is not None and sock is not None:
        try:
            size += struct.unpack("i", fcntl.ioctl(sock.fileno(), _TIOCOUTQ, b"\0\0\0\0"))[0]
        except (OSError, ValueError):  # closed meanwhile
            pass
    return size


async def reaches_browser(transport: Any, grace: float, poll: float = 0.05) -> bool:
    """Wait until everything written to ``transport`` has reached the browser.

    A browser behind a slow link gets it all: the wait goes on as long as the
    unsent bytes shrink within each ``grace`` seconds.  Returns False when the
    browser read nothing for ``grace`` seconds or the connection closed.
    """
    if transport is None:
        return False
    loop = asyncio.get_running_loop()
    last, since = unsent_bytes(transport), loop.time()
    while last > 0:
        if transport.is_closing():
            return False
        await asyncio.sleep(poll)
        now = unsent_bytes(transport)
        if now < last:
            last, since = now, loop.time()
        elif loop.time() - since > grace:
            return False
    return not transport.is_closing()


async def settle(task: "asyncio.Future[Any]", transport: Any, grace: float) -> bool:
    """Wait for ``task`` (a send or a close) while the browser keeps reading.

    The wait goes on as long as the unsent bytes shrink within each ``grace``
    seconds (or nothing is left to send).  A browser that reads nothing for
    ``grace`` seconds has ``task`` cancelled and its connection aborted.
    Returns whether ``task`` finished without error.
    """
    last = unsent_bytes(transport) if transport is not None else 0
    while True:
        done, _ = await asyncio.wait({task}, timeout=grace)
        if done:
            return not task.cancelled() and task.exception() is None
        size = unsent_bytes(transport) if transport is not None else 0
        if transport is not None and not transport.is_closing() and (size == 0 or size < last):
            last = size  # still reading (or answering the close)
            continue
        task.cancel()
        if transport is not None:
            transport.abort()
        try:
            await task
        except BaseException:  # noqa: BLE001 - cancelled or failed: it is over either way
            pass
        return False
