"""Push streams as the host numbers and keeps them: ids, positions, the resume tail.

Every push stream (an utterance) gets an id unique across restarts: the
server's random nonce and a counter (``"3f9a0c1b22de-7"``).  Positions are
source frames of the writer's stream (one int16 sample per channel), counted
from the stream's first byte; a chunk may end inside a frame, so the stream
keeps its byte count and a frame position is ``bytes // frame_bytes``.

Each stream keeps a bounded tail: the writer's last chunks, as published,
with their start positions (bytes), covering at least ``tail_seconds`` of
audio.  A page that comes back asking for the stream from frame ``have`` is
sent what the tail still holds from there; what it no longer holds is a
*gap* of an exact number of frames (:meth:`PushStream.resume`).

Everything here runs with the bus held (from the bus subscriber, or under
``bus.hold()``): no lock of its own.
"""

from __future__ import annotations

import collections
import secrets
import time
from typing import Any

__all__ = ["PushStream", "Resume", "StreamBook", "TAIL_SECONDS"]

#: Default seconds of audio each open stream keeps for a page that comes back.
TAIL_SECONDS = 5.0
#: Streams closed recently that a page may still come back for (their tails kept).
KEEP_CLOSED = 4


class Resume(tuple):
    """What a page that comes back at frame ``have`` is sent: ``(gap, at, pieces)``.

    ``gap``: frames from ``have`` that cannot be sent again (0: none);
    ``at``: the position of the first frame of ``pieces`` (``have + gap``);
    ``pieces``: the bytes from ``at`` on, in chunks as they were published.
    """

    __slots__ = ()

    def __new__(cls, gap: int, at: int, pieces: "list[bytes]") -> "Resume":
        return super().__new__(cls, (gap, at, pieces))

    gap = property(lambda self: self[0])
    at = property(lambda self: self[1])
    pieces = property(lambda self: self[2])


class PushStream:
    """One push stream: its id, format, the bytes written and its tail."""

    __slots__ = ("id", "metadata", "frame_bytes", "rate", "written_bytes", "tail", "tail_bytes", "last_at", "open")

    def __init__(self, sid: str, metadata: "dict[str, Any] | None", tail_seconds: float) -> None:
        self.id = sid
        self.metadata = metadata
        channels, rate = _format(metadata)
        self.frame_bytes = 2 * channels
        self.rate = rate
        self.written_bytes = 0
        self.tail: collections.deque[tuple[int, bytes]] = collections.deque()  # (start byte, chunk)
        self.tail_bytes = int(max(0.0, tail_seconds) * rate) * self.frame_bytes
        self.last_at = time.monotonic()
        self.open = True

    @property
    def written(self) -> int:
        """Whole frames written so far: the position of the next frame."""
        return self.written_bytes // self.frame_bytes

    def seconds(self, frames: int) -> "float | None":
        return round(frames / self.rate, 6) if self.rate else None

    def append(self, data: bytes, now: "float | None" = None) -> None:
        """A chunk the writer published."""
        if data:
            self.tail.append((self.written_bytes, bytes(data)))
            self.written_bytes += len(data)
        self.last_at = time.monotonic() if now is None else now
        # keep the fewest oldest chunks that still cover tail_bytes
        tail = self.tail
        while len(tail) > 1 and self.written_bytes - tail[1][0] >= self.tail_bytes:
            tail.popleft()
        if not self.tail_bytes:
            tail.clear()

    def resume(self, have: int) -> Resume:
        """What a page holding the first ``have`` frames is sent to go on from there."""
        fb = self.frame_bytes
        have = max(0, min(int(have), self.written))
        kept_from = self.tail[0][0] if self.tail else self.written_bytes
        at = have
        if have * fb < kept_from:
            at = min(-(-kept_from // fb), self.written)  # the first whole frame the tail holds
        start = at * fb
        pieces = [chunk[max(0, start - begin):] for begin, chunk in self.tail if begin + len(chunk) > start]
        return Resume(at - have, at, pieces)

    def idle(self, now: "float | None" = None) -> float:
        """Seconds since the last chunk (or since the stream opened)."""
        return (time.monotonic() if now is None else now) - self.last_at


class StreamBook:
    """The open push stream and the few closed ones a page may still come back for."""

    __slots__ = ("nonce", "count", "tail_seconds", "current", "closed")

    def __init__(self, tail_seconds: float = TAIL_SECONDS, nonce: "str | None" = None) -> None:
        self.nonce = nonce or secrets.token_hex(6)
        self.count = 0
        self.tail_seconds = float(tail_seconds)
        self.current: "PushStream | None" = None
        self.closed: "collections.OrderedDict[str, PushStream]" = collections.OrderedDict()

    def chunk(self, data: bytes, metadata: "dict[str, Any] | None", now: "float | None" = None) -> bool:
        """A binary frame was published; returns whether it opened a new stream."""
        opened = self.current is None
        if opened:
            self.count += 1
            self.current = PushStream(f"{self.nonce}-{self.count}", metadata, self.tail_seconds)
        self.current.append(data, now)  # type: ignore[union-attr]
        return opened

    def close(self) -> None:
        """The open stream ended (a close, a new format or writer, a new target, or a page found it drained)."""
        s = self.current
        if s is None:
            return
        s.open = False
        self.current = None
        self.closed[s.id] = s
        while len(self.closed) > KEEP_CLOSED:
            self.closed.popitem(last=False)

    def find(self, sid: "str | None") -> "PushStream | None":
        if self.current is not None and self.current.id == sid:
            return self.current
        return self.closed.get(sid or "")

    def state(self, sid: str, have: int, hold: float, now: "float | None" = None) -> "dict[str, Any]":
        """The answer to a page that holds ``have`` frames of ``sid`` and has heard nothing for ``hold`` s.

        When the stream is open, the page has every frame written and none came
        for ``hold`` seconds, it is over: closed here, so the next chunk opens
        a new stream.
        """
        s = self.find(sid)
        if s is None:
            return {"type": "state", "stream": sid, "known": False}
        idle = s.idle(now)
        if s.open and have >= s.written and idle >= hold:
            self.close()
        return {"type": "state", "stream": sid, "known": True, "open": s.open, "written": s.written,
                "idleMs": round(idle * 1000)}


def _format(metadata: "dict[str, Any] | None") -> "tuple[int, int]":
    """``(channels, rate)`` of an ``audio_metadata``, ``(1, 0)`` when it names none that is usable."""
    try:
        channels, rate = int((metadata or {})["channels"]), int((metadata or {})["sample_rate"])
    except (KeyError, TypeError, ValueError):
        return 1, 0
    return (channels, rate) if channels >= 1 and rate > 0 else (1, 0)
