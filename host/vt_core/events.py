"""The events browsers send back, queued per browser and run on one thread.

Each browser gets a :class:`BrowserEvents` queue with a bound (events and
bytes): when its callbacks cannot keep up, the newest events are dropped with
one warning per browser and counted.  When the browser goes away its queue is
emptied at once.  One daemon thread per server takes the queues in turn (one
event from each browser with events waiting, round robin) and calls the
component's handler, so events of one browser keep their order and a
flooding browser cannot starve the others.  Being a daemon, a callback that
never returns cannot keep the interpreter alive after the server stopped.
"""

from __future__ import annotations

import collections
import logging
import threading
from typing import Any

from .manager import getcm

log = logging.getLogger("vt_core.server")

#: Default bound of one browser's queued events, in events.
MAX_PENDING_EVENTS = 256
#: Default bound of one browser's queued events, in bytes of their JSON text.
MAX_PENDING_EVENT_BYTES = 1024 * 1024


class BrowserEvents:
    """One browser's queue of events waiting for their callbacks."""

    __slots__ = ("dispatcher", "items", "size", "dropped", "closed", "scheduled", "label")

    def __init__(self, dispatcher: "EventDispatcher", label: str) -> None:
        self.dispatcher = dispatcher
        self.items: collections.deque[tuple[str, str, Any, int]] = collections.deque()
        self.size = 0
        self.dropped = 0
        self.closed = False
        self.scheduled = False
        self.label = label

    def put(self, cid: str, event: str, payload: Any, size: int) -> bool:
        """Queue one event; returns False when it was dropped (queue full or closed)."""
        return self.dispatcher._put(self, (cid, event, payload, size))

    def close(self) -> None:
        """The browser went away: forget its queued events."""
        self.dispatcher._close(self)

    def __len__(self) -> int:
        return len(self.items)


class EventDispatcher:
    """Runs queued browser events on one daemon thread (see the module docstring)."""

    def __init__(self, max_events: int = MAX_PENDING_EVENTS, max_bytes: int = MAX_PENDING_EVENT_BYTES,
                 name: str = "vt-events") -> None:
        if max_events < 1 or max_bytes < 1:
            raise ValueError("max_pending_events and max_pending_event_bytes must be positive")
        self.max_events = int(max_events)
        self.max_bytes = int(max_bytes)
        self.dropped_events = 0
        self._cond = threading.Condition(threading.Lock())
        self._ready: collections.deque[BrowserEvents] = collections.deque()
        self._stopped = False
        self._name = name
        self._thread: threading.Thread | None = None

    def queue(self, label: str = "a browser") -> BrowserEvents:
        return BrowserEvents(self, label)

    def _put(self, q: BrowserEvents, item: tuple[str, str, Any, int]) -> bool:
        with self._cond:
            if q.closed or self._stopped:
                return False
            size = item[3]
            if q.items and (len(q.items) >= self.max_events or q.size + size > self.max_bytes):
                q.dropped += 1
                self.dropped_events += 1
                first = q.dropped == 1
            else:
                q.items.append(item)
                q.size += size
                if not q.scheduled:
                    q.scheduled = True
                    self._ready.append(q)
                    self._cond.notify()
                if self._thread is None:
                    self._thread = threading.Thread(target=self._run, name=self._name, daemon=True)
                    self._thread.start()
                return True
        if first:
            log.warning(
                "%s sends events faster than the callbacks take them: dropping the newest "
                "(limit %d events / %d bytes queued); further drops are only counted",
                q.label, self.max_events, self.max_bytes,
            )
        return False

    def _close(self, q: BrowserEvents) -> None:
        with self._cond:
            q.closed = True
            q.items.clear()
            q.size = 0

    @property
    def pending(self) -> int:
        """Events queued for every browser together."""
        with self._cond:
            return sum(len(q.items) for q in self._ready)

    def stop(self) -> None:
        """Drop every queued event and let the thread end after its current callback."""
        with self._cond:
            self._stopped = True
            for q in self._ready:
                q.items.clear()
                q.size = 0
            self._ready.clear()
            self._cond.notify_all()

    def _next(self) -> "tuple[str, str, Any, int] | None":
        with self._cond:
            while True:
                if self._stopped:
                    return None
                if not self._ready:
                    self._cond.wait()
                    continue
                q = self._ready.popleft()
                if not q.items:
                    q.scheduled = False
                    continue
                item = q.items.popleft()
                q.size -= item[3]
                if q.items:
                    self._ready.append(q)  # round robin: one event per browser in turn
                else:
                    q.scheduled = False
                return item

    def _run(self) -> None:
        manager = getcm()
        while (item := self._next()) is not None:
            cid, event, payload, _ = item
            try:
                manager.dispatch_event(cid, event, payload)
            except Exception:  # noqa: BLE001 - the event thread must keep going
                log.exception("dispatching %r for component %r failed", event, cid)
            del item, payload
