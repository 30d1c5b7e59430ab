"""The hub: carries the host bus to every connected page, apart from HTTP.

Once the server has upgraded a request to a WebSocket, :meth:`Hub.serve`
holds the page's connection: frames out through its :class:`Outbox`, its
events in to their queue (``events``), until the connection ends.

The hub subscribes one quick function to the host bus.  It runs on the
publishing thread (under the bus lock, so messages keep one global order),
encodes the message once, appends it to each page's :class:`Outbox` and, at
most once per batch, wakes the event loop with ``call_soon_threadsafe``.  It
never waits for the network, so sending never blocks the Python caller.

* **Stream target** (``stream_state``): where binary frames go; when a
  message moves it, every page is told right after that message.
* **Drops.**  Each outbox is bounded; a page that falls further behind has
  its queue freed at once, is sent ``{"type": "dropped", ...}`` after what
  was already written to it, if it still reads within ``drop_grace``
  seconds, and is disconnected.
* **Opus** (``opus``): pages that said they decode it get the pushed stream
  coded once, on the publishing thread, as headed frames; the others get
  the PCM itself.  Nothing is coded while no such page is connected.
* **Loss ledger** (``ledger``): what a dropped page missed is counted until
  it comes back (it is told with ``{"type": "lost", ...}``) or the window
  closes; the stream's player in Python hears of it either way.
* **Push streams** (``stream_tail``): every utterance has an id and a bounded
  tail; a page that comes back names the stream and the frames it has
  (``stream=``, ``have=``) and is sent the rest the tail holds, after a
  ``{"type": "gap", ...}`` for what it no longer holds.  A page asks whether
  its stream is over (``{"type": "ask", ...}``) and is answered in order with
  what was written (``{"type": "state", ...}``).
* **Liveness**: every page gets a ``{"type": "beat"}`` each ``beat`` seconds
  (its own check of the link), and is pinged after ``beat`` seconds of
  silence; one that sends nothing (no pong either) for ``link_timeout``
  seconds is cut off.

Flush timing: after a write, frames published within ``flush_interval``
gather and go out together at the next look, so a steady stream costs one
wake-up and one write per interval rather than per frame.
"""

from __future__ import annotations

import asyncio
import logging
import math
import time
from typing import Any, Callable, Coroutine

from aiohttp import WSMsgType

from .bus import bus
from .ledger import LossLedger
from .manager import getcm
from .messages import components_frame, dumps, encode_message, loads
from .opus import OpusFeed
from .outbox import Outbox
from .stream_state import PushStreamState
from .stream_tail import TAIL_SECONDS
from .wswriter import settle

__all__ = ["Hub"]

log = logging.getLogger("vt_core.server")

#: Looks at the queues without news before the loop waits to be woken again.
_IDLE_LOOKS = 5
#: What ``WebSocketResponse.receive`` returns once the connection is ending.
_CONNECTION_ENDS = (WSMsgType.CLOSE, WSMsgType.CLOSING, WSMsgType.CLOSED, WSMsgType.ERROR)
#: WebSocket close codes the hub sends.
_TRY_AGAIN_LATER = 1013
_GOING_AWAY = 1001
_POLICY_VIOLATION = 1008
#: The text frame that tells a page its link is alive.
_BEAT = '{"type":"beat"}'


class Hub:
    """Fan-out of the bus to the pages of one server (see the module docstring).

    ``spawn(coro)`` runs a task the server waits for at shutdown;
    ``notify(cid, event, payload, size)`` raises an event in Python, as if
    the page had sent it.
    """

    def __init__(self, max_frames: int, max_bytes: int, drop_grace: float, flush_interval: float,
                 spawn: "Callable[[Coroutine[Any, Any, Any]], Any]",
                 notify: "Callable[[str, str, dict, int], Any]", *, tail_seconds: float = TAIL_SECONDS,
                 beat: float = 1.0, link_timeout: float = 5.0) -> None:
        self.tail_seconds = tail_seconds
        self.beat = beat
        self.link_timeout = link_timeout
        self.max_frames = max_frames
        self.max_bytes = max_bytes
        self.drop_grace = drop_grace
        self.flush_interval = flush_interval
        self._spawn = spawn
        self._notify = notify
        self.clients: tuple[Outbox, ...] = ()
        self.dropped_clients = 0
        self.ledger = LossLedger()
        self.stream = PushStreamState(tail_seconds=tail_seconds)
        self._nonce = self.stream.book.nonce  # one per server: ids stay unique when the state is made again
        self.opus = OpusFeed()
        self._beats: "asyncio.TimerHandle | None" = None
        self._loop: "asyncio.AbstractEventLoop | None" = None
        self._wake_pending = False
        self._idle_looks = 0
        self._unsubscribe: "Callable[[], None] | None" = None

    # -- lifecycle (from any thread) -------------------------------------------

    def subscribe(self, loop: asyncio.AbstractEventLoop) -> None:
        """Start carrying the bus to pages served on ``loop``."""
        self._loop = loop
        with getcm().frozen() as snapshot:
            self.stream = PushStreamState(snapshot, self.tail_seconds, self._nonce)
            self.opus = OpusFeed()
            self._unsubscribe = bus.subscribe(self._on_bus_message)
        loop.call_soon_threadsafe(self._send_beats)

    def _send_beats(self) -> None:
        """Every ``beat`` seconds: a beat for every page (it checks its link by them)."""
        with bus.hold():
            wake = [client.offer(_BEAT, len(_BEAT)) for client in self.clients if client.page]
        if any(wake):
            self._wake_soon()
        self._beats = self._loop.call_later(self.beat, self._send_beats)  # type: ignore[union-attr]

    def _wake_soon(self) -> None:
        """Frames were queued on the loop: have them written (as the bus subscriber would)."""
        if not self._wake_pending:
            self._wake_pending = True
            self._wake()

    def unsubscribe(self) -> None:
        if self._beats is not None:
            self._beats.cancel()
            self._beats = None
        if self._unsubscribe is not None:
            self._unsubscribe()
            self._unsubscribe = None

    # -- pages (on the loop) ---------------------------------------------------

    async def serve(self, ws: Any, transport: Any, peer: "str | None", page: "str | None",
                    received_before: "int | None", events: Any,
                    resume: "tuple[str, int] | None" = None, codecs: frozenset[str] = frozenset()) -> None:
        """A page's connection (``ws`` prepared with ``wswriter.WS_OPTIONS``), until it ends.

        The page's events go to ``events``; its pings are answered.
        ``resume``: the push stream the page had and the frames it has of it.
        ``codecs``: what it decodes besides PCM (``opus.page_codecs``).
        """
        client = self._join(ws, transport, peer, page, received_before, events, resume, codecs)
        try:
            while True:
                msg = await ws.receive()
                client.heartbeat.heard()
                if msg.type == WSMsgType.TEXT:
                    ask = _on_text(client, msg.data)
                    if ask is not None:
                        self._answer(client, ask)
                elif msg.type == WSMsgType.PING:
                    client.writer.pong(msg.data)
                elif msg.type in _CONNECTION_ENDS:
                    break
        finally:
            self._leave(client)

    def _join(self, ws: Any, transport: Any, peer: "str | None", page: "str | None",
             received_before: "int | None", events: Any, resume: "tuple[str, int] | None" = None,
             codecs: frozenset[str] = frozenset()) -> Outbox:
        """A page connected (``ws`` prepared): its outbox, fed from here on."""
        beat = (self.beat, self.link_timeout) if page else None
        client = Outbox(ws, transport, peer, self.max_frames, self.max_bytes, beat)
        client.page, client.received_before, client.events, client.codecs = page, received_before, events, codecs
        # Snapshot and join the fan-out atomically: the page sees the
        # component list, then exactly the messages published after it.
        with getcm().frozen() as snapshot:
            first: "list[str | bytes]" = [components_frame(snapshot)]
            dropped = self.ledger.rejoin(page)
            gap, resent = self._resume(first, resume, dropped is not None, self._codec(client))
            if gap is None:
                stream = self.stream.frame(self._codec(client))
                first += [stream] + (self.opus.joined() if codecs else []) if stream is not None else []
            if dropped is not None:
                lost = self.ledger.loss(dropped, self.stream.metadata, received_before, resent)
                if gap is not None and gap["frames"]:
                    lost["gaps"] = [gap]
                self._spawn(self._report_loss(dropped, lost, True))
                first.append(dumps({"type": "lost", "reason": dropped.overflow, **lost}))
            client.first(first)
            self.clients = (*self.clients, client)
        client.pump = asyncio.get_running_loop().create_task(client.run_pump())
        return client

    def _codec(self, client: Outbox) -> str:
        """What the binary frames of the current format carry for ``client``."""
        return self.opus.codec if client.codecs else "pcm"

    def _resume(self, first: "list[str | bytes]", resume: "tuple[str, int] | None",
                reported: bool, codec: str = "pcm") -> "tuple[dict[str, Any] | None, int]":
        """Frames for a page that comes back asking for a stream: ``(its gap or None, bytes resent)``.

        Appended to ``first``: the gap (what the tail no longer holds, exactly),
        the stream's ``"stream"`` frame at the position that follows and the
        tail from there (for a page that decodes Opus, the stream's packets from
        a packet boundary, when the stream went coded: ``OpusFeed.resume``); then, if that stream is over, the current ``"stream"``
        frame (for a stream this host does not know: a ``"state"`` saying so,
        then the current one).  ``reported``: the host tells Python of
        the gap itself (a dropped page's loss report), the page need not.
        """
        if resume is None:
            return None, 0
        sid, have = resume
        stream = self.stream.book.find(sid)
        if stream is None:  # another host's stream (a restart), or one long gone
            current = self.stream.frame(codec)
            first += [dumps({"type": "state", "stream": sid, "known": False})] + ([current] if current is not None else [])
            return {"stream": sid, "at": have, "frames": 0}, 0
        coded = self.opus.resume(stream, have) if codec == "opus" else None
        if coded is not None:
            lacking, at, pieces, resent = coded
        else:
            back = stream.resume(have)
            lacking, at, pieces, resent = back.gap, back.at, back.pieces, sum(len(p) for p in back.pieces)
        gap = {"stream": sid, "at": have, "frames": lacking, "seconds": stream.seconds(lacking)}
        if lacking:
            first.append(dumps({"type": "gap", **gap, "reported": reported}))
        first.append(self.stream.notice(stream, at, "opus" if coded is not None else "pcm"))
        first += pieces
        if not stream.open:
            first.append(self.stream.notice(codec=codec))
        return gap, resent

    def _leave(self, client: Outbox) -> None:
        """The page's connection ended."""
        client.release()
        self._forget(client)
        if not client.dropping:
            client.stop_writing()

    async def close_all(self) -> None:
        """Close every page's connection (the server stops)."""
        clients, self.clients = self.clients, ()
        for client in clients:
            client.release()
            client.stop_writing()
        if clients:
            await asyncio.gather(*(c.close(_GOING_AWAY, 1.0) for c in clients), return_exceptions=True)

    async def end(self, transports: Any) -> None:
        """Close the pages whose connection is one of ``transports`` (their sessions were revoked) at once."""
        ending = [c for c in self.clients if c.transport in transports]
        for client in ending:
            client.release()
            client.stop_writing()
            self._forget(client)
        if ending:
            await asyncio.gather(*(c.close(_POLICY_VIOLATION, 1.0) for c in ending), return_exceptions=True)

    def _forget(self, client: Outbox) -> None:
        self.clients = tuple(c for c in self.clients if c is not client)

    # -- the bus (publishing threads, under the bus lock) ----------------------

    def _on_bus_message(self, message: tuple) -> None:
        """Bus subscriber: queue ``message`` for every page; never blocks."""
        moved = self.stream.observe(message)
        opened = message[0] == "binary" and self.stream.opened
        if self.ledger.counting and message[0] == "binary":
            self.ledger.offered(len(message[1]))
        clients = self.clients
        try:
            # what the pages that decode Opus get before the frame (an ended stream's last packets),
            # and instead of it (None: the frame); followed with no page there too (the format, the
            # resume tail of a stream being coded)
            ended, coded = self.opus.observe(message, self.stream, any(c.codecs for c in clients))
            if not clients:
                return
            frame = encode_message(message)
            if frame is None:
                return
            wake = False
            if opened:  # a new push stream: every page hears of it before its first frame
                self._offer_each(clients, lambda codec: self.stream.notice(at=0, codec=codec))
            to_opus, to_pcm = (*ended, *(coded if coded is not None else (frame,))), (frame,)  # (once per message)
            for client in clients:
                for out in to_opus if client.codecs else to_pcm:
                    if client.offer(out, len(out)):
                        wake = True
            if moved:  # the target moved: every page hears it right after the message that moved it
                self._offer_each(clients, lambda codec: self.stream.notice(codec=codec))
            if wake and not self._wake_pending:
                self._wake_pending = True
                self._loop.call_soon_threadsafe(self._wake)  # type: ignore[union-attr]
        except RuntimeError:  # the loop is closing
            pass
        except Exception:  # noqa: BLE001 - never fail the Python caller
            log.exception("could not queue a message for the browsers")

    def _offer_each(self, clients: "tuple[Outbox, ...]", notice: "Callable[[str], str]") -> None:
        """``notice(codec)`` to every page, made once per codec."""
        made: dict[str, str] = {}
        for client in clients:
            codec = self._codec(client)
            text = made.get(codec) or made.setdefault(codec, notice(codec))
            client.offer(text, len(text))

    def _to_opus_pages(self, frames: "list[Any]") -> bool:
        """Queue ``frames`` for the pages that decode Opus (with the bus held); whether to wake the loop."""
        wake = False
        for frame in frames:
            for client in self.clients:
                if client.codecs and client.offer(frame, len(frame)):
                    wake = True
        return wake

    # -- writing (on the loop) -------------------------------------------------

    def _wake(self) -> None:
        """Send newly queued frames (on the loop, with the wake-up flag set)."""
        for client in self.clients:
            if client.overflow is not None:
                if not client.dropping:
                    client.dropping = True
                    self._spawn(self._drop(client))
            elif client.frames:
                client.flush()
        # Publishers that queue frames until the next look find the flag set
        # and do not wake the loop: their frames go out together then.  Each
        # wake-up and each socket write lets other Python threads take the
        # interpreter for a while, so fewer, larger writes (and timer looks
        # instead of wake-ups while frames keep coming) keep the loop
        # responsive beside busy threads.
        self._idle_looks = 0
        self._loop.call_later(self.flush_interval, self._look_again)  # type: ignore[union-attr]

    def _look_again(self) -> None:
        if self.opus.holding:  # the writer may have gone quiet: what the encoder holds goes out
            with bus.hold():
                known = [c.buffer for c in self.clients if c.codecs and c.buffer is not None]
                self._to_opus_pages(self.opus.idle(time.monotonic(), min(known) if known else None))
        if any(client.frames or client.overflow is not None for client in self.clients):
            self._wake()
            return
        self._idle_looks += 1
        if self._idle_looks < _IDLE_LOOKS or self.opus.holding:
            self._loop.call_later(self.flush_interval, self._look_again)  # type: ignore[union-attr]
            return
        # Quiet for a while: go back to being woken.  Clear the flag before
        # the last look: a frame queued after it wakes the loop, one queued
        # before is seen here.
        self._wake_pending = False
        if any(client.frames or client.overflow is not None for client in self.clients):
            self._wake_pending = True
            self._wake()

    # -- drops and the loss ledger (on the loop) -------------------------------

    async def _drop(self, client: Outbox) -> None:
        self.dropped_clients += 1
        client.release()
        with bus.hold():  # from here on, audio for this page is counted as lost
            self._forget(client)
            self.ledger.open(client)
        if client.pump is not None:
            client.pump.cancel()
            try:
                await client.pump
            except BaseException:  # noqa: BLE001
                pass
        # What was written to the socket still reaches the page (before the
        # notice and the close) as long as it keeps reading.  The notice says
        # what is lost so far; the page hears the whole figure when it is back.
        log.warning("dropping the browser at %s: %s", client.peer, client.overflow)
        notice = {"type": "dropped", "reason": client.overflow, **self.ledger.loss(client, self.stream.metadata)}
        writer, transport = client.writer, client.transport
        if writer.open:
            writer.write([dumps(notice)])
        if writer.open and await writer.delivered(self.drop_grace):
            client.stop_writing()
            await settle(asyncio.get_running_loop().create_task(client.ws.close(code=_TRY_AGAIN_LATER)),
                         transport, self.drop_grace)
        else:
            client.stop_writing()
            if transport is not None:
                log.warning("the browser at %s stopped reading: its connection is cut", client.peer)
                transport.abort()
        asyncio.get_running_loop().call_later(self.ledger.window, self._loss_counted, client)

    def _loss_counted(self, client: Outbox) -> None:
        """The page did not come back within the window: report what it lost until then."""
        with bus.hold():
            if not self.ledger.close(client):
                return
        self._spawn(self._report_loss(client, self.ledger.loss(client, self.stream.metadata), False))

    async def _report_loss(self, client: Outbox, lost: "dict[str, Any]", back: bool) -> None:
        """Log, and tell the stream's player in Python, how much pushed audio a dropped page lost."""
        if not lost["lostBytes"]:
            return
        seconds = lost["lostSeconds"]
        amount = f"{seconds:.2f} s ({lost['lostBytes']} bytes)" if seconds is not None else f"{lost['lostBytes']} bytes"
        text = (f"the browser at {client.peer} could not take the audio as fast as it was pushed and was dropped "
                f"({client.overflow}): {amount} of pushed audio lost "
                + ("until it came back" if back else "at least (it did not come back)"))
        log.warning("%s", text)
        target = self.stream.target
        if target is not None:
            payload = {"error": text, "dropped": seconds, "lostBytes": lost["lostBytes"], "reason": "slow-connection"}
            if lost.get("gaps"):
                payload["gaps"] = lost["gaps"]
            self._notify(target, "web-audio-error", payload, len(text) + 100)

    # -- what pages send (on the loop) -------------------------------------------

    def _answer(self, client: Outbox, msg: "dict[str, Any]") -> None:
        """``{"type": "ask", "stream", "have", "holdMs"}``: is the stream over?  Answered after every frame queued."""
        sid, have, hold = msg.get("stream"), msg.get("have"), msg.get("holdMs")
        if not isinstance(sid, str) or type(have) is not int or not isinstance(hold, (int, float)):
            return
        hold = hold / 1000 if math.isfinite(hold) else 0.0
        with bus.hold():
            answer = dumps(self.stream.book.state(sid, have, max(0.0, hold)))
            wake = self._to_opus_pages(self.opus.sync(self.stream.book))  # the stream it ended, if it did
            wake = client.offer(answer, len(answer)) or wake
        if wake:
            self._wake_soon()


def _on_text(client: Outbox, text: str) -> "dict[str, Any] | None":
    """A text frame from the page: an event for a component's callback, taken here; an ask about its
    push stream, returned for the hub to answer; anything else is ignored."""
    try:
        msg = loads(text)
    except (ValueError, RecursionError):
        log.debug("ignored a frame from the browser that is not strict JSON (or nested too deeply)")
        return None
    if not isinstance(msg, dict):
        return None
    if msg.get("type") == "ask":
        return msg
    if msg.get("type") != "event":
        return None
    cid, event = msg.get("id"), msg.get("event")
    if not isinstance(cid, str) or not isinstance(event, str):
        return None
    payload = msg.get("payload")
    if event == "web-audio-stream-start" and isinstance(payload, dict):  # its head start (see opus.py)
        output = payload.get("outputLatencyMs")  # null where the page never reads it: latencyMs leaves it out
        ms = [payload.get("bufferMs"), payload.get("latencyMs"), 0 if output is None else output]
        if all(type(v) in (int, float) and 0 <= v < 1e6 for v in ms):
            client.buffer = max(0.0, min(ms[0], ms[1] - ms[2])) / 1000
    client.events.put(cid, event, {} if payload is None else payload, len(text))
    return None
