"""The component manager: one registry of component records per process."""

from __future__ import annotations

import itertools
import logging
import threading
from typing import Any

from .bus import bus

log = logging.getLogger("vt_core")


class ComponentManager:
    """Holds every registered component as ``components[id]``.

    A record is a plain ``dict``: ``{"kind": ..., "content": {...}, "handlers": {...}}``.
    Components keep the order in which they were added.
    """

    def __init__(self) -> None:
        self._lock = threading.RLock()
        self._ids = itertools.count(1)
        self.components: dict[str, dict[str, Any]] = {}

    def add_component(self, kind: str, content: Any = None, handlers: Any = None) -> str:
        """Register a component of ``kind``; returns its id (a ``str``)."""
        with self._lock:
            cid = f"c{next(self._ids)}"
            self.components[cid] = {"kind": kind, "content": content, "handlers": handlers}
            bus.publish(("add", cid, kind, content))
        return cid

    def remove_component(self, cid: str) -> bool:
        """Forget the component ``cid``; returns whether it was known."""
        with self._lock:
            record = self.components.pop(cid, None)
            if record is None:
                return False
            bus.publish(("remove", cid))
        return True

    def clear(self) -> None:
        """Remove every component."""
        with self._lock:
            for cid in list(self.components):
                self.remove_component(cid)

    def snapshot(self) -> list[tuple[str, str, Any]]:
        """``(id, kind, content)`` of every component, in registration order."""
        with self._lock:
            return [(cid, rec.get("kind"), rec.get("content")) for cid, rec in list(self.components.items())]

    def dispatch_event(self, cid: str, event: str, *args: Any) -> bool:
        """Call the handler registered for ``event`` on component ``cid``.

        Returns True when a callable handler ran (whether or not it raised).
        A handler that raises is logged with its traceback; the exception is
        not propagated, so one faulty callback cannot stop the host.
        """
        record = self.components.get(cid)
        if not record:
            return False
        handlers = record.get("handlers") or {}
        try:
            fn = handlers.get(event)
        except AttributeError:
            return False
        if fn is None or not callable(fn):
            return False
        try:
            fn(*args)
        except Exception:  # noqa: BLE001 - a callback must never kill the host
            log.exception("callback for %r on component %s raised", event, cid)
        return True


_manager = ComponentManager()


def getcm() -> ComponentManager:
    """The process's component manager."""
    return _manager
