"""Opus for the pushed stream: encoded once in the host, for the pages that decode it.

The writer sends PCM (``stream_binary``) as it always did.  When the codec
module (``veltrane.vt_ui._codec``) is importable and a page that said it
decodes Opus (``codecs=opus`` in its WebSocket URL) is connected, the hub
hands each bus message to :meth:`OpusFeed.observe` on the publishing thread;
the push stream's encoder codes each chunk once (without the GIL), whatever
the number of such pages, and the packets go to them as *headed frames*.
Pages that did not ask get the PCM frame itself, as before.  Without the
module, or without an Opus page, nothing is encoded.

A headed frame (little-endian)::

    0  u8   0x4F            the frame holds Opus packets
    1  u8   flags           1 FIRST: the first packets of an encoder (decode with a fresh decoder);
                            2 LAST: its encoder's last packets (padding follows the last one's kept
                            samples)
    2  u8   channels        of the stream
    3  u8   n               packets in the frame
    4  u32  position low    the stream position, in source frames, of the first
    8  u32  position high   sample the packets stand for
    12 u32  frames          source frames the packets stand for
    16 u16  skip            48 kHz samples to drop before the first packet's output
    18 u16  keep            48 kHz samples of the last packet's output to keep
    20 n x u16              packet lengths, then the packets

Every packet but the first of a frame has no skip, and every one but the
last keeps the rest of its output (960 samples less its skip): frames are
cut so that this holds.  The page decodes, drops the skipped and padded
samples, resamples the rest to exactly ``frames`` source frames, and drops
what it already has (a position below what it gave the ring: pre-roll): what
it plays and reports counts in samples of what was written, each once.

**One encoder per push stream**: it starts with the stream's first chunk (or
the first chunk after an Opus page joined) and its last packets (its padded
tail) go out when the stream ends, before whatever ended it.  Each chunk is
coded to its end (*synced*: 10 ms of what is short of a 20 ms packet go as a
10 ms packet), so the encoder holds less than 10 ms and its look-ahead
(6.5 ms), and up to 4 ms more behind its resampler (at 22.05 kHz): a writer
that stops leaves that much unsent.  When it has
been silent long enough that a page would otherwise run dry, the encoder is
ended there too (a *long silence*): when real time, counted from the
stream's first chunk, is :data:`AHEAD_SECONDS` from the held frames, plus
the least head start the Opus pages' streams had (their stream-start
reports: from the first frame's arrival to the first sample played, at most
the jitter buffer; before any report, the least a first stream waits:
the player's ``jitterMs``, at least :data:`FIRST_HEAD_START`); but for a writer at real-time pace (whose chunks come as
the audio before them is due, a little late under load) not before it is
:data:`LATE_SECONDS` later than at any of its last :data:`PACE_CHUNKS`
chunks, when its next chunk would have come.  A writer more than
:data:`FAR_AHEAD_SECONDS` ahead of real time (one that speaks faster than
real time) is in a long silence once it was quiet for :data:`QUIET_SECONDS`
(or 1.5 times its longest recent interval between chunks, at most
:data:`MAX_QUIET_SECONDS`): the page then gets the end of what it wrote
without waiting for real time to come, as a PCM page does (its jitter
buffer would otherwise learn a lateness that is only the codec's).  A chunk after a long silence
starts the stream's next encoder with 20 ms of the audio before it as
pre-roll (the page drops those frames: it has them), so the decoders' seam
is warm.

**Resume**: the stream's packets are kept as its resume tail (a second of
Opus is a sixtieth of PCM's), bounded like the PCM tail.  A page that comes
back is sent them from the packet that holds the first frame it lacks, one
packet earlier as pre-roll for its fresh decoder.

Which streams are coded: the stream target player's options say, read when
its stream's ``audio_metadata`` comes: ``codec`` (``"opus"``, the default,
or ``"pcm"``) and ``bitrate`` (bit/s; the codec's default for speech when
absent).  They live with the player because the stream is the player's and
the host, not the page, does the encoding.
"""

from __future__ import annotations

import collections
import logging
import struct
import time
from typing import Any, Iterable, NamedTuple

from .manager import getcm

log = logging.getLogger("vt_core.server")

try:  # a separate distribution: the host works without it (every page then gets PCM)
    from veltrane.vt_ui import _codec
except ImportError:  # pragma: no cover - depends on the installation
    _codec = None  # type: ignore[assignment]

__all__ = ["OpusFeed", "Headed", "HEAD", "MAGIC", "FIRST", "LAST", "available", "page_codecs", "parse"]

MAGIC = 0x4F
FIRST = 1
LAST = 2
HEAD = struct.Struct("<BBBBIIIHH")
#: The encoder ends this long before a page would run dry of what it has (the link's delay, a busy page
#: decoding late), or half the page's head start when that is less (else a short buffer's pages would
#: restart their decoders at each hiccup of a paced writer).
AHEAD_SECONDS = 0.15
#: ... or when the writer is this much later than it was at its latest recent chunk (a writer at real-time pace).
LATE_SECONDS = 0.015
#: Chunks whose lateness a writer is judged by.
PACE_CHUNKS = 8
#: A writer this far ahead of real time that goes quiet for QUIET_SECONDS (or 1.5 of its longest
#: recent interval between chunks, up to MAX_QUIET_SECONDS) has ended its utterance, or paused.
FAR_AHEAD_SECONDS = 0.1
QUIET_SECONDS = 0.03
MAX_QUIET_SECONDS = 0.2
#: The least head start a page's first stream has (its jitter buffer: the player's ``jitterMs``, and no
#: less than the 100 ms a page that has measured nothing yet expects), while no page has reported one.
FIRST_HEAD_START = 0.1
#: 48 kHz samples a packet decodes to (20 ms).
PACKET_SAMPLES = 960
#: Pre-roll of an encoder that follows a long silence, in 48 kHz samples (converted to the stream's rate).
PREROLL_CLOCK = 960


class Headed(bytes):
    """A headed frame; ``pcm``: the bytes of PCM it stands for (what the loss ledger counts)."""

    pcm: int


class Coded(NamedTuple):
    """A packet of a stream: ``start``/``end`` in source frames of the stream."""

    data: bytes
    start: int
    end: int
    skip: int
    keep: int
    last: bool  # its encoder's last packet
    first: bool = False  # its encoder's first


def available() -> bool:
    """Whether this host can encode Opus (the codec module is importable)."""
    return _codec is not None


def page_codecs(query: "str | None") -> frozenset[str]:
    """The codecs a page says it decodes (``codecs=opus``), of those the host can send."""
    wanted = {c.strip() for c in (query or "").split(",")}
    return frozenset({"opus"} & wanted) if available() else frozenset()


def pack(packets: "list[Coded]", channels: int, flags: int) -> Headed:
    """One headed frame of ``packets`` (one run, see ``_runs``)."""
    position, frames = packets[0].start, packets[-1].end - packets[0].start
    head = HEAD.pack(MAGIC, flags, channels, len(packets), position & 0xFFFFFFFF, position >> 32, frames,
                     packets[0].skip, packets[-1].keep)
    out = Headed(b"".join([head, struct.pack(f"<{len(packets)}H", *(len(p.data) for p in packets)),
                           *(p.data for p in packets)]))
    out.pcm = 2 * channels * frames
    return out


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


def _runs(packets: "list[Coded]") -> "Iterable[list[Coded]]":
    """``packets`` cut where a packet in the middle would skip or drop samples."""
    run: list[Coded] = []
    for p in packets:
        if run and (p.skip or p.first or run[-1].last or run[-1].skip + run[-1].keep != PACKET_SAMPLES):
            yield run
            run = []
        run.append(p)
    if run:
        yield run


def frames_of(packets: "list[Coded]", channels: int, first: bool = False) -> "list[Headed]":
    """Headed frames of ``packets``: FIRST where an encoder starts (and on the first, with ``first``),
    LAST where one ends."""
    out = []
    for run in _runs(packets):
        out.append(pack(run, channels, (FIRST if first or run[0].first else 0) | (LAST if run[-1].last else 0)))
        first = False
    return out


def _coded(packets: "list[Any]", at: int, first: bool = False, last: bool = False) -> "list[Coded]":
    """The codec's packets of an encoder whose first input frame is stream frame ``at``."""
    return [Coded(p.data, at + p.start, at + p.end, p.skip, p.keep, last and i == len(packets) - 1,
                  first and p.start == 0) for i, p in enumerate(packets)]


class OpusFeed:
    """The push stream's encoder, fed on the publishing thread (under the bus lock).

    Every call returns the headed frames to send to the pages that decode
    Opus, in order.  ``codec`` is what those pages get for the current format.
    """

    def __init__(self) -> None:
        self.codec = "pcm"
        self.bitrate: "int | None" = None
        self.head_start = FIRST_HEAD_START  # the pages' head start until one reports its own
        self.rate = 0
        self.channels = 0
        self.stream: Any = None  # the PushStream coded (its encoder ended at a long silence: None)
        self._encoder: Any = None
        self._from = 0  # stream frame of the encoder's first input frame
        self.coded = 0  # stream frames the packets stand for so far
        self._recent = bytearray()  # the stream's PCM from frame _recent_at on (pre-roll and held frames)
        self._recent_at = 0
        self._t0 = 0.0  # when real time was at the stream's frame 0 (its first chunk's arrival)
        self._leads: collections.deque[float] = collections.deque(maxlen=PACE_CHUNKS)  # the writer's lead at its chunks
        self._last_at = 0.0  # the last chunk's arrival
        self._interval: "float | None" = None  # the writer's longest recent interval between chunks (None: one chunk yet)
        self.tails: "collections.OrderedDict[str, collections.deque[Coded]]" = collections.OrderedDict()
        self.frames_sent = 0
        self.silences = 0  # encoders ended at a long silence

    # -- the bus ---------------------------------------------------------------

    def observe(self, message: tuple, state: Any, encode: bool) -> "tuple[list[Headed], list[Headed] | None]":
        """For bus ``message`` (``state``: the hub's ``PushStreamState``, after it): the frames the pages
        that decode Opus get before the message's frame (the tail of a stream it ended), and those they
        get in its place (None: the message's frame itself).  ``encode``: such a page is connected."""
        before = self.sync(state.book)
        kind = message[0]
        if kind == "binary":
            return before, self._chunk(message[1], state.book, encode) if self.codec == "opus" else None
        if kind == "message" and message[1] == "audio_metadata" and isinstance(message[2], dict):
            record = getcm().components.get(state.target) if state.target is not None else None
            content = record.get("content") if isinstance(record, dict) else None
            self._format(message[2], content.get("options") if isinstance(content, dict) else None)
        return before, None

    def sync(self, book: Any) -> "list[Headed]":
        """The stream coded has ended (``book`` moved on): its encoder's last packets."""
        if self.stream is None or self.stream is book.current:
            return []
        tail = self._end()
        self.stream, self._recent = None, bytearray()
        return tail

    def _end(self) -> "list[Headed]":
        encoder, self._encoder = self._encoder, None
        if encoder is None:
            return []
        packets = _coded(encoder.flush(), self._from, last=True)
        self._keep(self.stream, packets)
        return self._count(frames_of(packets, self.channels))

    def _format(self, data: "dict[str, Any]", options: "dict[str, Any] | None") -> None:
        """A new stream format (``audio_metadata``) for the player with ``options``."""
        options = options if isinstance(options, dict) else {}
        try:
            rate, channels = int(data.get("sample_rate")), int(data.get("channels"))  # type: ignore[arg-type]
        except (TypeError, ValueError):
            rate = channels = 0
        bitrate = options.get("bitrate")
        self.bitrate = int(bitrate) if isinstance(bitrate, (int, float)) and not isinstance(bitrate, bool) else None
        jitter = options.get("jitterMs")
        jitter = jitter / 1000 if isinstance(jitter, (int, float)) and not isinstance(jitter, bool) else 0.0
        self.head_start = max(FIRST_HEAD_START, min(jitter, 10.0))
        self.rate, self.channels = rate, channels
        self.codec = "opus" if available() and options.get("codec", "opus") != "pcm" and self._can(rate, channels) \
            else "pcm"

    def _can(self, rate: int, channels: int) -> bool:
        try:
            _codec.OpusEncoder(rate, channels, self.bitrate)
        except (ValueError, TypeError, OverflowError) as exc:
            log.info("pushed audio at %s Hz, %s channels, goes as PCM: %s", rate, channels, exc)
            return False
        return True

    def _chunk(self, data: Any, book: Any, encode: bool) -> "list[Headed]":
        """A chunk of the open stream (PCM, already counted by ``book``)."""
        stream = book.current
        fb = 2 * self.channels
        data = memoryview(data).cast("B")
        now = time.monotonic()
        at = stream.written_bytes - len(data)  # (bytes)
        if self.stream is not stream:  # a stream to code from here
            if not encode or stream is None:
                return []  # nobody decodes it: no CPU spent
            cut = -at % fb  # an encoder starts on a whole frame
            data, at = data[cut:], (at + cut) // fb
            self.stream, self.coded, self._recent, self._recent_at = stream, at, bytearray(), at
            self._t0, self._leads = now - at / self.rate, collections.deque(maxlen=PACE_CHUNKS)
            self.tails[stream.id] = collections.deque()
            while len(self.tails) > 1 and not book.find(next(iter(self.tails))):
                self.tails.popitem(last=False)  # streams the book no longer knows
            self._interval = None
        else:  # how far ahead of real time the writer was when this chunk came, and its pace
            at = -(-at // fb)
            self._leads.append(self._t0 + at / self.rate - now)
            self._interval = max(now - self._last_at, 0.9 * (self._interval or 0.0))
        self._last_at = now
        preroll = b""
        if self._encoder is None:  # the stream's first, or its next after a long silence: with pre-roll
            back = min(self._preroll(), at - self._recent_at)
            preroll = bytes(self._recent[(at - back - self._recent_at) * fb:(at - self._recent_at) * fb])
            self._encoder, self._from = _codec.OpusEncoder(self.rate, self.channels, self.bitrate), at - back
        self._recent += data
        # synced: 10 ms of what is short of a 20 ms packet go now as a 10 ms one, so that the pages
        # lack under 17 ms of what was written, not up to 27 (a page runs dry sooner by what is held)
        packets = _coded(self._encoder.encode(preroll + bytes(data) if preroll else data, sync=True),
                         self._from, first=True)
        self._keep(stream, packets)
        drop = max(0, self.coded - self._preroll() - self._recent_at)  # PCM kept: pre-roll and held frames
        del self._recent[:drop * fb]
        self._recent_at += drop
        return self._count(frames_of(packets, self.channels))

    def _keep(self, stream: Any, packets: "list[Coded]") -> None:
        """``packets`` into the stream's resume tail (bounded as its PCM tail is)."""
        if packets:
            self.coded = max(self.coded, packets[-1].end)
        tail = self.tails.get(stream.id)
        if tail is None:
            return
        tail.extend(packets)
        bound = stream.tail_bytes // (2 * self.channels)
        while len(tail) > 1 and self.coded - tail[1].start >= bound:
            tail.popleft()

    def _preroll(self) -> int:
        return PREROLL_CLOCK * self.rate // 48000

    def _count(self, frames: "list[Headed]") -> "list[Headed]":
        self.frames_sent += len(frames)
        return frames

    # -- a silent writer -------------------------------------------------------

    @property
    def holding(self) -> bool:
        """The encoder holds frames no page has yet."""
        return self._encoder is not None and self.stream.written > self.coded

    def due(self, now: float, buffer: "float | None" = None) -> bool:
        """Whether the writer's silence is a long one, for pages whose jitter buffer is ``buffer``
        seconds (None: none reported yet, so the least a first stream has; see the module docstring)."""
        if buffer is None:  # (taking none made a paced writer's first hiccup end the encoder, a seam)
            buffer = self.head_start
        written = self.stream.written
        lead = self._t0 + written / self.rate - now  # until real time reaches the last frame written
        held = (written - self.coded) / self.rate
        # shortly before a page would reach the held frames; for a writer at its pace, not before it is
        # later than of late (its next chunk would have come): whichever comes last
        paced = (min(self._leads) if self._leads else 0.0) - LATE_SECONDS
        if lead <= min(held + min(AHEAD_SECONDS, buffer / 2) - buffer, paced):
            return True
        # a writer far ahead of real time that went quiet: the page need not wait for real time to come
        # (chunks that came all at once: no interval between them, as quiet as any)
        quiet = MAX_QUIET_SECONDS if self._interval is None else min(MAX_QUIET_SECONDS, max(QUIET_SECONDS, 1.5 * self._interval))
        return lead > FAR_AHEAD_SECONDS and now - self._last_at >= quiet

    def idle(self, now: float, buffer: "float | None" = None) -> "list[Headed]":
        """The encoder's last packets, if the writer's silence is a long one (else nothing)."""
        if not self.holding or not self.due(now, buffer):
            return []
        self.silences += 1
        return self._end()

    # -- pages -----------------------------------------------------------------

    def joined(self) -> "list[Headed]":
        """For a page that joins while the encoder runs: the last packet again, as its decoder's
        pre-roll (the page drops it: it is before the position the page was told)."""
        tail = self.tails.get(self.stream.id) if self._encoder is not None else None
        return frames_of(list(tail)[-1:], self.channels, first=True) if tail else []

    def resume(self, stream: Any, have: int) -> "tuple[int, int, list[Headed], int] | None":
        """What an Opus page holding ``have`` frames of ``stream`` is sent: ``(gap, at, frames, bytes)``,
        ``bytes`` the PCM the frames give it again (past ``at``); None when the stream's packets are
        not kept (it went as PCM)."""
        tail = self.tails.get(stream.id)
        if tail is None:
            return None
        packets = list(tail)
        at = max(have, packets[0].start) if packets else have
        j = next((i for i, p in enumerate(packets) if p.end > at), len(packets))
        i = max(0, j - 1) if at == have else j  # a packet of pre-roll, when the tail reaches that far back
        channels = stream.frame_bytes // 2
        end = max((p.end for p in packets), default=at)
        return at - have, at, self._count(frames_of(packets[i:], channels, first=True)), max(0, end - at) * 2 * channels

    def close(self) -> None:
        """Forget everything (the server stops)."""
        self.__init__()  # type: ignore[misc]
