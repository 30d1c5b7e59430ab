"""The loss ledger: pushed audio that browsers dropped for falling behind never got.

From the moment a browser is dropped, every binary frame published counts as
lost to it, until its page comes back (the page names itself with ``page=``
and says with ``received=`` how many audio bytes the last connection brought,
so the figure is exact) or ``LOSS_WINDOW`` seconds after its socket closed.
Everything but :meth:`LossLedger.loss` runs with the bus held (from the bus
subscriber, or under ``bus.hold()``), so the count and the join of a page
that comes back see one order of messages.
"""

from __future__ import annotations

from typing import Any

__all__ = ["LossLedger", "LOSS_WINDOW"]

#: Seconds after a dropped browser's socket closed during which its page may
#: come back and be told the whole of what it lost.
LOSS_WINDOW = 15.0


class LossLedger:
    """Dropped browsers (``Outbox``) whose lost audio is still being counted, and their pages."""

    __slots__ = ("counting", "pages")

    def __init__(self) -> None:
        self.counting: tuple[Any, ...] = ()  # read without the lock by the bus subscriber
        self.pages: dict[str, Any] = {}  # page id -> its dropped outbox

    @property
    def window(self) -> float:
        """Seconds a dropped page has to come back (``LOSS_WINDOW``)."""
        return LOSS_WINDOW

    def offered(self, size: int) -> None:
        """``size`` bytes of audio were published: lost to every browser being counted."""
        for dropped in self.counting:
            dropped.offered_pcm += size

    def open(self, client: Any) -> None:
        """``client`` was dropped: count from here."""
        self.counting = (*self.counting, client)
        if client.page:
            self.pages[client.page] = client

    def rejoin(self, page: "str | None") -> Any:
        """The dropped outbox a page that connects again comes back as (no longer counted), or None."""
        dropped = self.pages.pop(page, None) if page else None
        if dropped is None or dropped not in self.counting:
            return None
        self.counting = tuple(c for c in self.counting if c is not dropped)
        return dropped

    def close(self, client: Any) -> bool:
        """The window of ``client`` has passed: stop counting; whether it was still counted."""
        if client not in self.counting:
            return False
        self.counting = tuple(c for c in self.counting if c is not client)
        if self.pages.get(client.page or "") is client:
            del self.pages[client.page]
        return True

    @staticmethod
    def loss(client: Any, metadata: "dict[str, Any] | None", received: "int | None" = None,
             resent: int = 0) -> "dict[str, Any]":
        """Pushed audio offered to ``client`` that it never got: ``lostBytes``, ``lostSeconds``.

        ``received``: the audio bytes the page says it got on that connection;
        without it, what was never written to the socket.  ``resent``: bytes
        the page gets again now that it is back (its stream's tail).
        ``lostSeconds`` is in the format of ``metadata`` (None without one).
        """
        got = client.sent_pcm if received is None or not 0 <= received <= client.offered_pcm else received
        lost_bytes = max(0, client.offered_pcm - got - resent)
        meta = metadata or {}
        try:
            seconds: "float | None" = round(lost_bytes / (2 * int(meta["channels"]) * int(meta["sample_rate"])), 3)
        except (KeyError, TypeError, ValueError, ZeroDivisionError):
            seconds = None
        return {"lostBytes": lost_bytes, "lostSeconds": seconds}
