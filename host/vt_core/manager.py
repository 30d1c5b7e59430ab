"""The component manager: one registry of component records per process."""

from __future__ import annotations

import contextlib
import inspect
import itertools
import logging
import threading
from typing import Any, Callable, Iterator

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

    @contextlib.contextmanager
    def frozen(self) -> Iterator[list[tuple[str, str, Any]]]:
        """Yield ``snapshot()`` while nothing can be published.

        Inside the ``with`` block no component is added or removed and no bus
        message goes out, so a listener that subscribes there sees exactly the
        messages that follow the snapshot.  Keep the block short.
        """
        with self._lock, bus.hold():
            yield self.snapshot()

    def dispatch_event(self, cid: str, event: str, *args: Any) -> bool:
        """Call the handler registered for ``event`` on component ``cid``.

        The handler receives ``args`` (the event payload), except that a
        handler taking no positional parameter is called with none.
        Returns True when a callable handler ran (whether or not it raised).
        A handler that raises is logged with its traceback (a fault repeated
        many times only as a count, see :class:`FaultLog`); the exception is
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
        if args and not _takes_positional(fn):
            args = ()
        try:
            fn(*args)
        except Exception as exc:  # noqa: BLE001 - a callback must never kill the host
            callback_faults.report((cid, event), f"callback for {event!r} on component {cid}", exc)
        return True


class FaultLog:
    """Logs repeated exceptions without letting them flood the log.

    Faults are counted per key (for callbacks: component, event and exception
    type).  The first ``full`` faults of a key are logged with their
    traceback; after that only the 10th, 100th, 1000th ... fault is logged, as
    one line with the count and the last message.  ``counts`` holds the number
    of faults per key (tests read it).
    """

    def __init__(self, logger: logging.Logger, full: int = 3, max_keys: int = 4096) -> None:
        self.log = logger
        self.full = full
        self.max_keys = max_keys
        self.counts: dict[tuple, int] = {}
        self._lock = threading.Lock()

    def report(self, key: tuple, what: str, exc: BaseException) -> None:
        """Log that ``what`` (e.g. "callback for 'x' on component c1") raised ``exc``."""
        key = (*key, type(exc).__qualname__)
        with self._lock:
            n = self.counts.get(key, 0) + 1
            if n == 1 and len(self.counts) >= self.max_keys:
                self.counts.pop(next(iter(self.counts)))  # forget the oldest key
            self.counts[key] = n
        if n <= self.full:
            self.log.error("%s raised", what, exc_info=exc)
        elif _is_power_of_ten(n):
            self.log.error("%s has raised %d times (the first %d logged in full); last: %s: %s",
                           what, n, self.full, type(exc).__qualname__, exc)


def _is_power_of_ten(n: int) -> bool:
    while n >= 10 and n % 10 == 0:
        n //= 10
    return n == 1


callback_faults = FaultLog(log)


def _takes_positional(fn: Callable[..., Any]) -> bool:
    """Whether ``fn`` accepts at least one positional argument.

    Callables whose signature cannot be read are assumed to accept one.
    """
    try:
        sig = inspect.signature(fn)
    except (TypeError, ValueError):
        return True
    positional = (
        inspect.Parameter.POSITIONAL_ONLY,
        inspect.Parameter.POSITIONAL_OR_KEYWORD,
        inspect.Parameter.VAR_POSITIONAL,
    )
    return any(p.kind in positional for p in sig.parameters.values())


_manager = ComponentManager()


def getcm() -> ComponentManager:
    """The process's component manager."""
    return _manager
