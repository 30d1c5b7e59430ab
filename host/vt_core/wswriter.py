"""The one writer of a WebSocket connection's transport, and waits on what it wrote.

After aiohttp's handshake, every frame the server sends on an open WebSocket
goes through a :class:`FrameWriter`: data frames, many in one write, and the
control frames (pongs to the browser's pings, the :class:`Heartbeat`'s
pings).  aiohttp's own writer is set never to write on its own (no automatic
pong, heartbeat or close reply: ``WS_OPTIONS``) and writes only the closing
handshake, through ``WebSocketResponse.close()``, which is called once the
frame writer has been retired; the frame writer stops as soon as that close
has begun (``ws.closed``), so two writers never share the transport.  No
application logic here: what to send, and when to give up on a browser,
is the caller's.
"""

from __future__ import annotations

import asyncio
import struct
from typing import Any, Iterable

try:  # the socket's send queue, where the system tells it (Linux)
    import fcntl
    import termios

    _TIOCOUTQ: "int | None" = termios.TIOCOUTQ
except (ImportError, AttributeError):  # pragma: no cover - not Linux
    _TIOCOUTQ = None

__all__ = ["FrameWriter", "Heartbeat", "WS_OPTIONS", "ws_frame_header", "ws_frames", "settle"]

#: ``WebSocketResponse`` options under which aiohttp leaves every write to the frame writer.
WS_OPTIONS: "dict[str, Any]" = {"compress": False, "autoping": False, "autoclose": False, "heartbeat": None}

_OP_TEXT = 0x1
_OP_BINARY = 0x2
_OP_PING = 0x9
_OP_PONG = 0xA
#: Seconds between looks at a full transport while waiting for it to drain.
_DRAIN_POLL = 0.005


def ws_frame_header(opcode: int, length: int) -> bytes:
    """Header of one final, unmasked (server-to-client) WebSocket frame."""
    if length < 126:
        return struct.pack("!BB", 0x80 | opcode, length)
    if length < 65536:
        return struct.pack("!BBH", 0x80 | opcode, 126, length)
    return struct.pack("!BBQ", 0x80 | opcode, 127, length)


def ws_frames(frames: Iterable["str | bytes"]) -> list[bytes]:
    """The wire bytes of ``frames`` as a list of pieces for one ``writelines``.

    ``str`` frames become text frames (the JSON the server sends is ASCII;
    ``surrogatepass`` keeps any other text from raising), anything else binary
    frames with the bytes as they are.
    """
    out: list[bytes] = []
    for frame in frames:
        if type(frame) is str:
            data = frame.encode("utf-8", "surrogatepass")
            out.append(ws_frame_header(_OP_TEXT, len(data)))
        else:
            data = frame
            out.append(ws_frame_header(_OP_BINARY, len(data)))
        out.append(data)
    return out


class FrameWriter:
    """Writes the frames of one open WebSocket (``ws``, prepared with ``WS_OPTIONS``) to its transport."""

    __slots__ = ("ws", "transport", "retired")

    def __init__(self, ws: Any, transport: Any) -> None:
        self.ws = ws
        self.transport = transport
        self.retired = False

    @property
    def open(self) -> bool:
        """Whether frames may still be written: not retired, no close begun, the connection up."""
        transport = self.transport
        return not self.retired and transport is not None and not transport.is_closing() and not self.ws.closed

    def retire(self) -> None:
        """Write nothing more (the closing handshake is aiohttp's from here)."""
        self.retired = True

    def write(self, frames: Iterable["str | bytes"]) -> None:
        """Write ``frames`` in one call (check :attr:`open` first)."""
        self.transport.writelines(ws_frames(frames))

    def ping(self, data: bytes = b"") -> None:
        if self.open:
            self.transport.write(ws_frame_header(_OP_PING, len(data[:125])) + data[:125])

    def pong(self, data: bytes = b"") -> None:
        if self.open:
            self.transport.write(ws_frame_header(_OP_PONG, len(data[:125])) + data[:125])

    def buffered(self) -> int:
        """Bytes written that the transport still holds."""
        return self.transport.get_write_buffer_size()

    async def drain(self, high_water: int) -> None:
        """Wait while the transport holds more than ``high_water`` bytes; raises once the connection is gone."""
        while self.buffered() > high_water:
            if self.transport.is_closing():
                raise ConnectionResetError("the browser went away")
            await asyncio.sleep(_DRAIN_POLL)

    def unsent(self) -> int:
        """Bytes written that the browser has not yet acknowledged.

        The transport's own buffer, plus (on Linux) the socket's send queue: on a
        slow link the kernel may hold megabytes of it.
        """
        return unsent_bytes(self.transport)

    async def delivered(self, grace: float, poll: float = 0.05) -> bool:
        """Wait until everything written has reached the browser.

        A browser behind a slow link gets it all: the wait goes on as long as
        the unsent bytes shrink within each ``grace`` seconds.  Returns False
        when the browser read nothing for ``grace`` seconds or the connection
        closed.
        """
        transport = self.transport
        if transport is None:
            return False
        loop = asyncio.get_running_loop()
        last, since = self.unsent(), loop.time()
        while last > 0:
            if transport.is_closing():
                return False
            await asyncio.sleep(poll)
            now = self.unsent()
            if now < last:
                last, since = now, loop.time()
            elif loop.time() - since > grace:
                return False
        return not transport.is_closing()


class Heartbeat:
    """Pings a browser that sent nothing for ``interval`` seconds (again each ``interval``); one that
    sends nothing, no pong either, for ``timeout`` seconds (default: one and a half intervals) is cut
    off (its connection aborted, which ends the handler's receive loop)."""

    __slots__ = ("writer", "interval", "timeout", "loop", "heard_at", "pinged", "timer")

    def __init__(self, writer: FrameWriter, interval: float, timeout: "float | None" = None,
                 loop: "asyncio.AbstractEventLoop | None" = None) -> None:
        self.writer = writer
        self.interval = interval
        self.timeout = max(interval, timeout if timeout is not None else interval * 1.5)
        self.loop = loop if loop is not None else asyncio.get_running_loop()
        self.heard_at = self.loop.time()
        self.pinged = False
        self.timer: "asyncio.TimerHandle | None" = self.loop.call_at(self.heard_at + interval, self._beat)

    def heard(self) -> None:
        """The browser sent a frame (any frame answers a ping)."""
        self.heard_at = self.loop.time()
        self.pinged = False

    def stop(self) -> None:
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None

    def _beat(self) -> None:
        now = self.loop.time()
        if now >= self.heard_at + self.timeout:  # nothing heard, not even a pong
            self.timer = None
            if self.writer.transport is not None:
                self.writer.transport.abort()
            return
        due = self.heard_at + self.interval
        if now >= due:
            self.pinged = True
            self.writer.ping()
            due = now + self.interval
        self.timer = self.loop.call_at(min(due, self.heard_at + self.timeout), self._beat)


def unsent_bytes(transport: Any) -> int:
    """What :meth:`FrameWriter.unsent` says, for any transport."""
    size = transport.get_write_buffer_size()
    sock = transport.get_extra_info("socket")
    if _TIOCOUTQ is not None and sock is not None:
        try:
            size += struct.unpack("i", fcntl.ioctl(sock.fileno(), _TIOCOUTQ, b"\0\0\0\0"))[0]
        except (OSError, ValueError):  # closed meanwhile
            pass
    return size


async def settle(task: "asyncio.Future[Any]", transport: Any, grace: float) -> bool:
    """Wait for ``task`` (a close) while the browser keeps reading.

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
