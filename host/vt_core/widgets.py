"""Small page widgets for applications and the demo: text, text input, toggle, link.

Each widget is a component of its own kind, registered like any other
(``getcm().add_component(kind, content=..., handlers=...)``); the browser
renders it from ``static/widgets.js`` and reports user actions as events:

=============  ==========================================  =========================
kind           content                                     events (payload)
=============  ==========================================  =========================
"html"         {"html"}  (trusted markup)                  –
"text"         {"text", "tone"}  (plain text; tone: "info"   –
               | "warn" | "ok")
"text_input"   {"label", "placeholder", "button", "value"}   "submit" ({"value"})
"toggle"       {"label", "value"}                          "change" ({"value"})
"link"         {"text", "href", "download"}                –
=============  ==========================================  =========================
"""

from __future__ import annotations

from typing import Any, Callable

from .component import props
from .manager import getcm


class Widget(props):
    """Handle of a widget: ``id``, ``content`` and ``set(**changes)``."""

    @property
    def content(self) -> dict[str, Any]:
        return getcm().components[self.id]["content"]

    def set(self, **changes: Any) -> None:
        """Change content entries and publish them to the browser."""
        self.content.update(changes)
        self.update_cm()


def _add(kind: str, content: dict[str, Any], handlers: dict[str, Callable[..., Any]] | None = None) -> Widget:
    return Widget(getcm().add_component(kind, content=content, handlers=handlers or {}))


def html(markup: str) -> Widget:
    """A block of trusted HTML."""
    return _add("html", {"html": markup})


def text(value: str = "", tone: str = "info") -> Widget:
    """A line of plain text (escaped by the browser)."""
    return _add("text", {"text": value, "tone": tone})


def text_input(label: str = "", placeholder: str = "", button: str = "OK", value: str = "",
               on_submit: Callable[[dict], Any] | None = None) -> Widget:
    """A text box with a button; ``on_submit(payload)`` gets ``{"value": text}``."""
    return _add("text_input", {"label": label, "placeholder": placeholder, "button": button, "value": value},
                {"submit": on_submit} if on_submit else {})


def toggle(label: str = "", value: bool = False, on_change: Callable[[dict], Any] | None = None) -> Widget:
    """A checkbox; ``on_change(payload)`` gets ``{"value": bool}``."""
    return _add("toggle", {"label": label, "value": bool(value)}, {"change": on_change} if on_change else {})


def link(text: str = "", href: str = "", download: bool = True) -> Widget:
    """A link (a download link by default); empty ``href`` renders it disabled."""
    return _add("link", {"text": text, "href": href, "download": bool(download)})
