"""What a page that connects mid-stream needs to play the push stream that is going on.

Binary frames carry no component id and no format: a page routes them to the
*stream target* (the component that most recently received a stream command)
and reads them in the format of the last ``audio_metadata`` action.  A page
that connects after those were sent would have neither, so the server keeps
both here, watching the bus in publish order, and sends them to each new page
right after the component list, as one text frame::

    {"type": "stream", "target": "<cid>" | null, "metadata": {"sample_rate", "channels"} | null}
"""

from __future__ import annotations

import json
from typing import Any


class PushStreamState:
    """The current stream target and audio format, as the bus last set them.

    ``observe`` is a bus subscriber (it runs under the bus lock, so it sees
    messages in their one global order); ``frame`` is read while the bus is
    held, so a new page gets exactly the state the following messages build on.
    """

    __slots__ = ("target", "metadata")

    def __init__(self) -> None:
        self.target: str | None = None
        self.metadata: dict[str, Any] | None = None

    def observe(self, message: tuple) -> None:
        kind = message[0]
        if kind == "message":
            action, data = message[1], message[2]
            if not isinstance(data, dict):
                return
            if action == "audio_metadata":
                # a copy of the two values: a later change to the caller's dict is not a new format
                self.metadata = {"sample_rate": data.get("sample_rate"), "channels": data.get("channels")}
            elif action == "call_method" and (
                data.get("action") == "start_stream" or data.get("method") == "close_stream"
            ):
                self.target = data.get("cid")
        elif kind == "remove" and message[1] == self.target:
            self.target = None

    def frame(self) -> str | None:
        """The text frame for a new page, or None when there is nothing to tell."""
        if self.target is None and self.metadata is None:
            return None
        try:
            return json.dumps({"type": "stream", "target": self.target, "metadata": self.metadata},
                              separators=(",", ":"), allow_nan=False)
        except (TypeError, ValueError):  # a format value json cannot carry: send its text
            meta = {k: str(v) for k, v in (self.metadata or {}).items()}
            return json.dumps({"type": "stream", "target": self.target, "metadata": meta}, separators=(",", ":"))
