"""Where binary frames go, and their format: decided here, followed by every page.

Binary frames carry no component id and no format.  They go to the *stream
target*: the component that most recently received a stream command
(``start_stream``, ``close_stream``) while it is a player, else the newest
player; and they are read in the format of the last ``audio_metadata``
action.  The hub follows the bus in publish order and tells each page both,
as one text frame, right after the component list when there is anything to
tell, again after every message that moves the target, and before the first
frame of every push stream (``stream_tail``)::

    {"type": "stream", "target": "<cid>" | null, "metadata": {"sample_rate", "channels"} | null,
     "codec": "pcm", "stream": "<id>" | null, "at": <source frame of the next binary frame>}

The page routes binary frames to the target it was told, and to nothing else.
A push stream ends at a stream command, an ``audio_metadata`` (a new format,
or a new writer: a new utterance), a move of the target, or when a page finds
it drained (``StreamBook.state``).
"""

from __future__ import annotations

import json
from typing import Any, Iterable

from .stream_tail import TAIL_SECONDS, PushStream, StreamBook

#: The component kind that plays streams.
PLAYER_KIND = "web_audio"


class PushStreamState:
    """The stream target and audio format, as the bus last set them.

    ``observe`` runs under the bus lock (it sees messages in their one global
    order); ``frame`` is read with the bus held, so a new page gets exactly
    the state the following messages build on.  ``snapshot`` is the component
    list (``(id, kind, content)`` in registration order) the bus goes on from.
    """

    __slots__ = ("players", "commanded", "target", "metadata", "book", "opened")

    def __init__(self, snapshot: "Iterable[tuple[str, str, Any]]" = (), tail_seconds: float = TAIL_SECONDS,
                 nonce: "str | None" = None) -> None:
        self.book = StreamBook(tail_seconds, nonce)
        self.opened = False  # the binary frame observed last opened a new push stream
        self.players: dict[str, None] = {cid: None for cid, kind, _ in snapshot if kind == PLAYER_KIND}
        self.commanded: str | None = None  # the last stream command's component
        self.metadata: dict[str, Any] | None = None
        self.target = self._resolve()

    def _resolve(self) -> "str | None":
        if self.commanded in self.players:
            return self.commanded
        return next(reversed(self.players), None)

    def observe(self, message: tuple) -> bool:
        """Follow one bus message; returns whether it moved the stream target."""
        kind = message[0]
        if kind == "binary":
            self.opened = self.book.chunk(message[1], self.metadata)
            return False
        if kind == "message":
            action, data = message[1], message[2]
            if not isinstance(data, dict):
                return False
            if action == "audio_metadata":
                # a copy of the two values: a later change to the caller's dict is not a new format
                self.metadata = {"sample_rate": data.get("sample_rate"), "channels": data.get("channels")}
                self.book.close()  # a new format, or a new writer: the next frame opens a new stream
                return False
            if action != "call_method" or (data.get("action") != "start_stream"
                                           and data.get("method") != "close_stream"):
                return False
            cid = data.get("cid")
            self.commanded = cid if isinstance(cid, str) else None
            self.book.close()
        elif kind == "add":
            if message[2] != PLAYER_KIND:
                return False
            self.players[message[1]] = None
        elif kind == "remove":
            cid = message[1]
            self.players.pop(cid, None)
            if cid == self.commanded:
                self.commanded = None
        else:
            return False
        target = self._resolve()
        moved, self.target = target != self.target, target
        if moved:
            self.book.close()
        return moved

    def frame(self) -> "str | None":
        """The text frame for a new page, or None when there is nothing to tell."""
        if self.target is None and self.metadata is None:
            return None
        return self.notice()

    def notice(self, stream: "PushStream | None" = None, at: "int | None" = None) -> str:
        """The ``"stream"`` text frame of the current state (of ``stream`` from frame ``at``, on a resume)."""
        if stream is None:
            stream = self.book.current
        metadata = stream.metadata if stream is not None else self.metadata
        frame = {"type": "stream", "target": self.target, "metadata": metadata, "codec": "pcm",
                 "stream": stream.id if stream is not None else None,
                 "at": (stream.written if at is None else at) if stream is not None else 0}
        try:
            return json.dumps(frame, separators=(",", ":"), allow_nan=False)
        except (TypeError, ValueError):  # a format value json cannot carry: send its text
            frame["metadata"] = {k: str(v) for k, v in (metadata or {}).items()}
            return json.dumps(frame, separators=(",", ":"))
