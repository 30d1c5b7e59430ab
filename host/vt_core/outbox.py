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
from typing import Any

from .wswriter import FrameWriter, Heartbeat

log = logging.getLogger("vt_core.server")

#: Most frames written to the socket in one call.
BATCH_FRAMES = 256
#: Most bytes written to the socket in one call (a single larger frame still goes whole).
BATCH_BYTES = 256 * 1024
#: Bytes the socket may hold unsent before the pump waits for the browser to read.
HIGH_WATER = 1024 * 1024
#: Seconds of silence from a browser before it is pinged (see ``wswriter.Heartbeat``).
HEARTBEAT = 30.0


class Outbox:
    """One connected browser: its WebSocket, its frame writer and its bounded outgoing queue."""

    __slots__ = (
        "ws", "writer", "heartbeat", "frames", "max_frames", "max_bytes",
        "pushed_frames", "pushed_bytes", "sent_frames", "sent_bytes",
        "overflow", "closed", "dropping", "wakeup", "pump", "events", "busy", "offered_pcm", "sent_pcm", "peer", "page", "received_before",
    )  # fmt: skip

    def __init__(self, ws: Any, transport: Any, peer: "str | None", max_frames: int, max_bytes: int,
                 beat: "tuple[float, float] | None" = None) -> None:
        """``beat``: ``(interval, timeout)`` of the heartbeat (a page's); else ``HEARTBEAT``."""
        self.ws = ws
        self.writer = FrameWriter(ws, transport)
        self.heartbeat = Heartbeat(self.writer, *(beat or (HEARTBEAT, HEARTBEAT * 1.5)))
        self.peer = peer or "an unknown address"
        self.page: str | None = None  # the id the page gives itself (see ledger.LossLedger)
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

    @property
    def transport(self) -> Any:
        return self.writer.transport

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

    def flush(self) -> None:
        """Write one batch now if the pump is idle and the socket has room; else wake the pump.

        Saves the pump a turn of the loop for the common case of a few frames.
        """
        writer = self.writer
        if self.busy or self.closed or not writer.open:
            self.wakeup.set()  # (a pump that finds the connection gone cleans up)
            return
        if writer.buffered() <= HIGH_WATER:
            batch = self._batch()
            if batch:
                writer.write(batch)
        if self.frames or writer.buffered() > HIGH_WATER:
            self.wakeup.set()

    async def run_pump(self) -> None:
        """Write queued frames in order until cancelled or the socket fails."""
        writer = self.writer
        try:
            while True:
                self.wakeup.clear()
                self.busy = True
                while self.frames or writer.buffered() > HIGH_WATER:
                    if not writer.open:
                        raise ConnectionResetError("the browser went away")
                    batch = self._batch()
                    if batch:
                        writer.write(batch)
                    await writer.drain(HIGH_WATER)
                    if self.frames:
                        await asyncio.sleep(0)  # let the loop run between batches
                self.busy = False
                await self.wakeup.wait()
        except asyncio.CancelledError:
            raise
        except Exception as exc:  # noqa: BLE001 - the browser went away
            log.debug("websocket send failed: %r", exc)
            self.release()
            await self.close(1001, 1.0)

    def release(self) -> None:
        """Stop taking frames and free the queue (outgoing and inbound)."""
        self.closed = True
        self.frames.clear()
        if self.events is not None:
            self.events.close()

    def stop_writing(self) -> None:
        """Stop the pump and the heartbeat and retire the writer: nothing more is written but the close."""
        if self.pump is not None:
            self.pump.cancel()
        self.heartbeat.stop()
        self.writer.retire()

    async def close(self, code: int, timeout: float) -> None:
        """Retire the writer, then close the WebSocket within ``timeout`` seconds, else abort the connection."""
        self.heartbeat.stop()
        self.writer.retire()
        try:
            await asyncio.wait_for(self.ws.close(code=code), timeout)
            return
        except Exception:  # noqa: BLE001 - timed out or the connection is gone
            pass
        if self.transport is not None:
            self.transport.abort()
