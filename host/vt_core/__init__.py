"""vt_core: the embedded host that vt_ui components run in.

In-process core (always available, no dependencies):

* ``getcm()`` – the component manager (``components``, ``add_component``,
  ``remove_component``);
* ``send_message(action, data)`` / ``send_binary_message(data)`` – publish to
  the browser(s);
* ``vt_core.component.props`` – base class of component handles;
* ``vt_core.utils.convertPath2Url`` – make a local file loadable by the browser;
* ``vt_core.bus.bus`` – the ordered message bus that the web server and tests
  subscribe to.

The local web server lives in ``vt_core.server`` (needs aiohttp).
"""

from __future__ import annotations

from typing import Any

from .bus import MessageBus, bus
from .manager import ComponentManager, getcm

# The distribution's version: host/pyproject.toml reads it from here.
__version__ = "0.1.0"

__all__ = ["getcm", "send_message", "send_binary_message", "bus", "MessageBus", "ComponentManager"]


def send_message(action: str, data: Any) -> None:
    """Send one action message (a JSON text frame on the wire) to the browser."""
    bus.publish(("message", action, data))


def send_binary_message(data: Any) -> None:
    """Send one binary frame carrying exactly ``data`` to the browser."""
    bus.publish(("binary", data if type(data) is bytes else bytes(data)))
