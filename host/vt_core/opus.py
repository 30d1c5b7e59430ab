"""Opus for the pushed stream: encoded once in the host, for the pages that decode it.

The writer sends PCM (``stream_binary``) as it always did.  When the codec
module (``veltrane.vt_ui._codec``) is importable and a page that said it
decodes Opus (``codecs=opus`` in its WebSocket URL) is connected, the hub
hands each binary bus message to :meth:`OpusFeed.binary` on the publishing
thread; the stream's encoder codes it once (without the GIL), whatever the
number of such pages, and the packets go to them as one *headed frame*.
Pages that did not ask get the PCM frame itself, as before.  Without the
module, or without an Opus page, nothing is encoded.

A headed frame (little-endian)::

    0  u8   0x4F            the frame holds Opus packets
    1  u8   flags           1: the first packets of a new encoder (the page's decoder may start
                            afresh); 2: the encoder's last packets (padding follows the last one)
    2  u8   channels        of the stream
    3  u8   n               packets in the frame
    4  u32  position low    the stream position, in source frames, of the first
    8  u32  position high   sample the packets stand for
    12 u32  frames          source frames the packets stand for
    16 u16  skip            48 kHz samples to drop before the first packet's output
    18 u16  keep            48 kHz samples of the last packet's output to keep
    20 n x u16              packet lengths, then the packets

Every packet but the first of a frame has no skip, and every one but the
last keeps the rest of its output (960 samples less its skip) (frames are cut so that this holds).  The page
decodes, drops the skipped and padded samples and resamples the rest to
exactly ``frames`` source frames: what it plays and reports counts in
samples of what was written, whatever travelled.

An encoder holds up to a frame and its look-ahead (about 27 ms, more behind
a resampler).  When the writer goes quiet for :data:`HOLD_SECONDS` (or for
one and a half of its longest recent interval between chunks, if longer, up to
:data:`MAX_HOLD_SECONDS`, which is also the wait after a stream's first chunk), the hub flushes it (:meth:`OpusFeed.idle`): the
tail goes out padded, and the next chunk starts a new encoder.  A close or
a new format ends the stream's encoder too.

Which streams are coded: the stream target player's options say, read when
its stream's ``audio_metadata`` comes: ``codec`` (``"opus"``, the default,
or ``"pcm"``) and ``bitrate`` (bit/s; the codec's default for speech when
absent).  They live with the player because the stream is the player's and
the host, not the page, does the encoding.
"""

from __future__ import annotations

import logging
import struct
import time
from typing import Any, Iterable

from .manager import getcm

log = logging.getLogger("vt_core.server")

try:  # a separate distribution: the host works without it (every page then gets PCM)
    from veltrane.vt_ui import _codec
except ImportError:  # pragma: no cover - depends on the installation
    _codec = None  # type: ignore[assignment]

__all__ = ["OpusFeed", "HEAD", "MAGIC", "FIRST", "LAST", "available", "parse"]

MAGIC = 0x4F
FIRST = 1
LAST = 2
HEAD = struct.Struct("<BBBBIIIHH")
#: Seconds without a chunk after which an encoder's held tail is flushed.
HOLD_SECONDS = 0.03
#: The longest wait for the next chunk, whatever the writer's usual interval.
MAX_HOLD_SECONDS = 0.2
#: 48 kHz samples a packet decodes to (20 ms).
PACKET_SAMPLES = 960


def available() -> bool:
    """Whether this host can encode Opus (the codec module is importable)."""
    return _codec is not None


def page_codecs(query: "str | None") -> frozenset[str]:
    """The codecs a page says it decodes (``codecs=opus``), of those the host can send."""
    wanted = {c.strip() for c in (query or "").split(",")}
    return frozenset({"opus"} & wanted) if available() else frozenset()


def pack(packets: "list[Any]", channels: int, position: int, flags: int) -> bytes:
    """One headed frame of ``packets`` (``_codec.Packet``s of one run, see the module docstring)."""
    frames = sum(p.end - p.start for p in packets)
    head = HEAD.pack(MAGIC, flags, channels, len(packets), position & 0xFFFFFFFF, position >> 32, frames,
                     packets[0].skip, packets[-1].keep)
    return b"".join([head, struct.pack(f"<{len(packets)}H", *(len(p.data) for p in packets)),
                     *(p.data for p in packets)])


def parse(frame: bytes) -> "dict[str, Any]":
    """A headed frame's fields and packets (for tests and tools); ValueError if it is none."""
    if len(frame) < HEAD.size or frame[0] != MAGIC:
        raise ValueError("not a headed Opus frame")
    _, flags, channels, n, lo, hi, frames, skip, keep = HEAD.unpack_from(frame)
    lengths = struct.unpack_from(f"<{n}H", frame, HEAD.size)
    at, packets = HEAD.size + 2 * n, []
    for length in lengths:
        packets.append(frame[at:at + length])
        at += length
    if at != len(frame):
        raise ValueError(f"the packet lengths add up to {at} bytes, the frame has {len(frame)}")
    return {"flags": flags, "channels": channels, "position": lo | hi << 32, "frames": frames,
            "skip": skip, "keep": keep, "packets": packets}


def _runs(packets: "list[Any]") -> "Iterable[list[Any]]":
    """``packets`` cut where a packet in the middle would skip or drop samples."""
    run: list[Any] = []
    for p in packets:
        if run and (p.skip or run[-1].skip + run[-1].keep != PACKET_SAMPLES):
            yield run
            run = []
        run.append(p)
    if run:
        yield run


class OpusFeed:
    """The pushed stream's encoder, fed on the publishing thread (under the bus lock).

    ``metadata`` starts a stream (ends the last: its tail is returned), ``binary``
    codes a chunk, ``close`` forgets the stream (a close or a new pull), ``idle``
    flushes a held tail; each returns the headed frames to send, in order.
    ``codec`` is what the pages that decode Opus get for the current stream.
    """

    def __init__(self) -> None:
        self.codec = "pcm"
        self.bitrate: "int | None" = None
        self.rate = 0
        self.channels = 0
        self.position = 0  # source frames of the stream so far
        self._carry = 0  # bytes of an incomplete source frame
        self._encoder: Any = None
        self._coded_from = 0  # stream position of the encoder's first frame
        self._first = False  # the encoder's first packets are still to go
        self._last_at = 0.0
        self._interval = 0.0  # the writer's longest recent interval between chunks
        self.frames_sent = 0

    def observe(self, message: tuple, frame: "str | bytes", stream: Any, encode: bool) -> "list[str | bytes] | None":
        """What the pages that decode Opus get for bus ``message`` (whose frame for the others is
        ``frame``), or None when it is the same; ``stream`` is the hub's ``PushStreamState``, after
        the message; ``encode``: such a page is connected."""
        kind = message[0]
        if kind == "binary":
            return self.binary(message[1], encode) if self.codec == "opus" else None
        if kind != "message" or not isinstance(message[2], dict):
            return None
        data = message[2]
        if message[1] == "audio_metadata":
            record = getcm().components.get(stream.target) if stream.target is not None else None
            content = record.get("content") if isinstance(record, dict) else None
            options = content.get("options") if isinstance(content, dict) else None
            return [*self.metadata(data, options), frame, stream.notice(self.codec)]
        if message[1] == "call_method" and (data.get("action") == "start_stream"
                                            or data.get("method") == "close_stream"):
            self.close()
        return None

    def metadata(self, data: "dict[str, Any]", options: "dict[str, Any] | None") -> "list[bytes]":
        """A new stream format (``audio_metadata``) for the player with ``options``."""
        tail = self.flush()
        options = options if isinstance(options, dict) else {}
        try:
            rate, channels = int(data.get("sample_rate")), int(data.get("channels"))  # type: ignore[arg-type]
        except (TypeError, ValueError):
            rate = channels = 0
        bitrate = options.get("bitrate")
        self.bitrate = int(bitrate) if isinstance(bitrate, (int, float)) and not isinstance(bitrate, bool) else None
        self.rate, self.channels = rate, channels
        self.codec = "opus" if available() and options.get("codec", "opus") != "pcm" and self._can(rate, channels) \
            else "pcm"
        self.position = self._carry = 0
        return tail

    def _can(self, rate: int, channels: int) -> bool:
        try:
            _codec.OpusEncoder(rate, channels, self.bitrate)
        except (ValueError, TypeError, OverflowError) as exc:
            log.info("pushed audio at %s Hz, %s channels, goes as PCM: %s", rate, channels, exc)
            return False
        return True

    def binary(self, data: Any, encode: bool) -> "list[bytes]":
        """A chunk of the stream (PCM); coded when ``encode`` (an Opus page is there)."""
        size = len(data) if isinstance(data, (bytes, bytearray)) else memoryview(data).nbytes
        frame_bytes = 2 * self.channels
        at = self.position
        if frame_bytes:
            whole, self._carry = divmod(self._carry + size, frame_bytes)
            self.position += whole
        if self.codec != "opus" or not encode:
            self._encoder = None  # nobody decodes what it held
            return []
        now = time.monotonic()
        if self._encoder is None:
            self._encoder = _codec.OpusEncoder(self.rate, self.channels, self.bitrate)
            self._coded_from, self._first, self._interval = at, True, 0.0
        elif self._last_at:  # the longest interval of late, slowly forgotten
            self._interval = max(now - self._last_at, 0.9 * self._interval)
        self._last_at = now
        return self._frames(self._encoder.encode(data), 0)

    def _frames(self, packets: "list[Any]", flags: int) -> "list[bytes]":
        out = []
        for run in _runs(packets):
            first = FIRST if self._first else 0
            self._first = False
            out.append(pack(run, self.channels, self._coded_from + run[0].start, first | flags))
        self.frames_sent += len(out)
        return out

    def hold(self) -> float:
        """Seconds of quiet after which the held tail goes out."""
        if not self._interval:  # one chunk so far: its writer's pace is not known yet
            return MAX_HOLD_SECONDS
        return min(MAX_HOLD_SECONDS, max(HOLD_SECONDS, 1.5 * self._interval))

    def idle(self, now: float) -> "list[bytes]":
        """The held tail, if the writer has been quiet long enough (else nothing)."""
        if self._encoder is None or now - self._last_at < self.hold():
            return []
        return self.flush()

    @property
    def holding(self) -> bool:
        """An encoder holds audio that has not gone out yet."""
        return self._encoder is not None

    def flush(self) -> "list[bytes]":
        """End the encoder: its tail, padded."""
        encoder, self._encoder = self._encoder, None
        if encoder is None:
            return []
        packets = encoder.flush()
        if not packets:
            return []
        frames = self._frames(packets[:-1], 0) if len(packets) > 1 else []
        return frames + self._frames(packets[-1:], LAST)

    def close(self) -> None:
        """The stream was closed in the page: what the encoder holds is not wanted."""
        self._encoder = None
