"""Refusals in the log: one line per refused request, rate-limited.

Every request refused for access, every other answer for a client's fault but
404, every request the HTTP parser cannot read and every client cut off for
not reading is one ``WARNING`` line ``refused <peer>: <reason>``, at most
``burst`` lines at once and ``rate`` a second after that; the rest are
counted and summed up in one line.  What came from the request is made
:func:`safe` first: no secret in it, no line break or other control
character of the requester's.
"""

from __future__ import annotations

import asyncio
import logging
import re
import time
from typing import Any, Callable

from aiohttp.http_exceptions import HttpProcessingError

__all__ = ["RefusalLog", "WireLog", "safe"]

#: What a request may carry that opens the server: the secret or a session, in a query, a
#: header or a cookie (also as the parser quotes a raw request head, in a bytes repr).
_CREDENTIALS = re.compile(r"(?i)(\b(?:token|session)=|\bauthorization\s*:\s*|\bvt-session-\d+=)[^&;\s'\"\\]+"
                          r"(?:\s+[^&;\s'\"\\]+)?")


def safe(text: str) -> str:
    """``text`` for the log: credentials replaced by ``…``, characters that are not printable escaped."""
    text = _CREDENTIALS.sub(lambda m: m.group(1) + "…", text)
    return text if text.isprintable() else "".join(
        c if c.isprintable() else c.encode("unicode_escape", "backslashreplace").decode("ascii") for c in text)


class RefusalLog:
    """One log line per refused request, rate-limited by a token bucket.

    ``burst`` lines may go out at once, then ``rate`` a second; refusals
    beyond that are counted, and the count is logged as one line once the
    bucket lets a line through again or ``summary_after`` seconds later.
    Call from the event loop.
    """

    def __init__(self, logger: logging.Logger, burst: int = 20, rate: float = 1.0, summary_after: float = 10.0,
                 clock: Callable[[], float] = time.monotonic) -> None:
        self.logger = logger
        self.burst = float(burst)
        self.rate = float(rate)
        self.summary_after = summary_after
        self.clock = clock
        self.tokens = float(burst)
        self.stamp = clock()
        self.suppressed = 0
        self.total = 0
        self._timer: Any = None

    def note(self, peer: "str | None", reason: str) -> None:
        self.total += 1
        now = self.clock()
        self.tokens = min(self.burst, self.tokens + (now - self.stamp) * self.rate)
        self.stamp = now
        if self.tokens < 1.0:
            self.suppressed += 1
            if self._timer is None:
                self._schedule()
            return
        self.tokens -= 1.0
        self.flush()
        self.logger.warning("refused %s: %s", peer or "an unknown peer", safe(reason))

    def flush(self) -> None:
        """Log how many refusals went unlogged since the last line, if any."""
        if self._timer is not None:
            self._timer.cancel()
            self._timer = None
        if self.suppressed:
            count, self.suppressed = self.suppressed, 0
            self.logger.warning("%d more refusal%s not logged (too many at once)", count, "" if count == 1 else "s")

    def _schedule(self) -> None:
        try:
            loop = asyncio.get_running_loop()
        except RuntimeError:
            return
        self._timer = loop.call_later(self.summary_after, self._summary_due)

    def _summary_due(self) -> None:
        self._timer = None
        self.flush()


#: What the HTTP parser raises for a request it cannot read.
_CLIENT_FAULTS = (HttpProcessingError,)


class WireLog(logging.LoggerAdapter):
    """The logger the handler of one connection (from ``peer``) reports to.

    A request the HTTP parser cannot read (no ``Host`` in HTTP/1.1, a bad
    request line, oversized headers, ...) is the client's fault: one
    rate-limited refusal line, no traceback.  Anything else is ours and keeps
    its traceback.
    """

    def __init__(self, logger: logging.Logger, refusals: RefusalLog, peer: "str | None") -> None:
        super().__init__(logger, {})
        self.refusals = refusals
        self.peer = peer

    def log(self, level: int, msg: Any, *args: Any, exc_info: Any = None, **kwargs: Any) -> None:
        if isinstance(exc_info, _CLIENT_FAULTS):
            message = getattr(exc_info, "message", "") or type(exc_info).__name__
            self.refusals.note(self.peer, "malformed request: " + " ".join(str(message).split())[:200])
            return
        super().log(level, msg, *args, exc_info=exc_info, **kwargs)
