"""Base class of component handles."""

from __future__ import annotations

from typing import Any

from .bus import bus
from .manager import getcm


class props:  # noqa: N801 - the host's public name
    """Handle of a registered component.

    ``props(res)`` takes what ``getcm().add_component(...)`` returned (the
    component id) and stores it as ``id``.
    """

    def __init__(self, res: Any) -> None:
        self.id = res

    def update_cm(self) -> None:
        """Publish the component's current content to the browser."""
        record = getcm().components[self.id]
        bus.publish(("update", self.id, record.get("content")))
