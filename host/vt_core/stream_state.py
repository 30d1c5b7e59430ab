"""Where binary frames go, and their format: decided here, followed by every page.

Binary frames carry no component id and no format.  They go to the *stream
target*: the component that most recently received a stream command
(``start_stream``, ``close_stream``) while it is a player, else the newest
player; and they are read in the format of the last ``audio_metadata``
action.  The hub follows the bus in publish order and tells each page both,
as one text frame, right after the component list when there is anything to
tell, and again after every message that moves the target::

    {"type": "stream", "target": "<cid>" | null, "metadata": {"sample_rate", "channels"} | null}

The page routes binary frames to the target it was told, and to nothing else.
"""

from __future__ import annotations

import json
from typing import Any, Iterable

#: The component kind that plays streams.
PLAYER_KIND = "web_audio"


class PushStreamState:
    """The stream target and audio format, as the bus last set them.

    ``observe`` runs under the bus lock (it sees messages in their one global
    order); ``frame`` is read with the bus held, so a new page gets exactly
    the state the following messages build on.  ``snapshot`` is the component
    list (``(id, kind, content)`` in registration order) the bus goes on from.
    """

    __slots__ = ("players", "commanded", "target", "metadata")

    def __init__(self, snapshot: "Iterable[tuple[str, str, Any]]" = ()) -> None:
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
        if kind == "message":
            action, data = message[1], message[2]
            if not isinstance(data, dict):
                return False
            if action == "audio_metadata":
                # a copy of the two values: a later change to the caller's dict is not a new format
                self.metadata = {"sample_rate": data.get("sample_rate"), "channels": data.get("channels")}
                return False
            if action != "call_method" or (data.get("action") != "start_stream"
                                           and data.get("method") != "close_stream"):
                return False
            cid = data.get("cid")
            self.commanded = cid if isinstance(cid, str) else None
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
        return moved

    def frame(self) -> "str | None":
        """The text frame for a new page, or None when there is nothing to tell."""
        if self.target is None and self.metadata is None:
            return None
        return self.notice()

    def notice(self) -> str:
        """The ``"stream"`` text frame of the current state."""
        try:
            return json.dumps({"type": "stream", "target": self.target, "metadata": self.metadata},
                              separators=(",", ":"), allow_nan=False)
        except (TypeError, ValueError):  # a format value json cannot carry: send its text
            meta = {k: str(v) for k, v in (self.metadata or {}).items()}
            return json.dumps({"type": "stream", "target": self.target, "metadata": meta}, separators=(",", ":"))
