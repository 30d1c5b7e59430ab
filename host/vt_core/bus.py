"""The ordered message bus every host call publishes on.

A message is a tuple whose first item names its kind:

    ("add", cid, kind, content)        a component was registered
    ("remove", cid)                    a component was removed
    ("update", cid, content)           props.update_cm() published a component
    ("message", action, data)          send_message(action, data)
    ("binary", data)                   send_binary_message(data)

Subscribers are called synchronously, in subscription order, on the publishing
thread, while the bus lock is held: every subscriber sees every message in one
global order, and messages from one thread keep that thread's order.  A
subscriber must therefore be quick (append to a list, put on a queue); the web
server's subscriber only hands the message to its event loop.
"""

from __future__ import annotations

import threading
from typing import Any, Callable

Message = tuple
Subscriber = Callable[[Message], Any]


class MessageBus:
    """Fan-out of host messages to subscribers, in one total order."""

    def __init__(self) -> None:
        self._lock = threading.RLock()
        self._subscribers: list[Subscriber] = []

    def subscribe(self, fn: Subscriber) -> Callable[[], None]:
        """Add ``fn``; returns a function that removes it again."""
        with self._lock:
            self._subscribers = [*self._subscribers, fn]

        def unsubscribe() -> None:
            self.unsubscribe(fn)

        return unsubscribe

    def unsubscribe(self, fn: Subscriber) -> None:
        with self._lock:
            subs = list(self._subscribers)
            if fn in subs:
                subs.remove(fn)
            self._subscribers = subs

    def publish(self, message: Message) -> None:
        if not self._subscribers:  # nobody listening: nothing to order, skip the lock
            return
        with self._lock:
            for fn in self._subscribers:
                fn(message)

    def hold(self) -> threading.RLock:
        """The bus lock, for ``with bus.hold(): ...``.

        While it is held no message is published, so a subscriber can take a
        consistent snapshot of the host's state and start listening without
        missing or repeating a message.  Keep the critical section short.
        """
        return self._lock

    @property
    def subscriber_count(self) -> int:
        return len(self._subscribers)


bus = MessageBus()
