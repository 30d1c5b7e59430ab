"""Encoding of host bus messages into WebSocket frames, and the JSON the host takes in.

Everything here is pure and runs on whichever thread publishes: a bus message
becomes one frame (JSON text or the bytes themselves); ``wswriter`` puts
frames on the wire.  :func:`loads` is the one reader of the JSON that comes
in (events from the pages, POST bodies): strict JSON only.
"""

from __future__ import annotations

import json
import math
from typing import Any, Iterable

__all__ = ["encode_message", "dumps", "components_frame", "loads"]


def _no_constant(name: str) -> Any:
    raise ValueError(f"{name} is not JSON")


def _finite(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise ValueError(f"{text} does not fit a float")
    return value


def loads(text: str) -> Any:
    """``json.loads`` of strict JSON: no ``NaN``, no ``Infinity``, no number beyond a float's range,
    no lone surrogate in a string (what no UTF-8 text can hold).

    Raises ValueError (or RecursionError for absurd nesting) saying what is wrong.
    """
    value = json.loads(text, parse_constant=_no_constant, parse_float=_finite)
    todo = [value]
    while todo:
        item = todo.pop()
        if isinstance(item, dict):
            todo.extend(item)
            todo.extend(item.values())
        elif isinstance(item, list):
            todo.extend(item)
        elif isinstance(item, str):
            try:
                item.encode("utf-8")
            except UnicodeEncodeError:
                raise ValueError(f"a lone surrogate in {item[:40]!r} is not text") from None
    return value


def _stringify(value: Any) -> str:
    """JSON fallback for values json cannot encode: their ``str``."""
    try:
        return str(value)
    except Exception:  # noqa: BLE001 - a broken __str__ must not stop a message
        try:
            return repr(value)
        except Exception:  # noqa: BLE001
            return f"<{type(value).__name__}>"


def _plain(value: Any, depth: int = 0, seen: "set[int] | None" = None) -> Any:
    """A copy of ``value`` that json can always encode.

    Non-finite floats become ``null``, non-string keys and unknown objects
    their ``str``, cycles and overly deep nesting a placeholder string.
    """
    if value is None or isinstance(value, (str, bool, int)):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if depth > 100:
        return "<too deep>"
    if isinstance(value, (dict, list, tuple)):
        seen = seen if seen is not None else set()
        if id(value) in seen:
            return "<cycle>"
        seen.add(id(value))
        try:
            if isinstance(value, dict):
                return {
                    (k if isinstance(k, str) else _stringify(k)): _plain(v, depth + 1, seen)
                    for k, v in list(value.items())
                }
            return [_plain(v, depth + 1, seen) for v in list(value)]
        finally:
            seen.discard(id(value))
    return _stringify(value)


def dumps(obj: Any) -> str:
    """Encode ``obj`` as compact JSON text that a browser's ``JSON.parse`` accepts."""
    try:
        return json.dumps(obj, default=_stringify, allow_nan=False, separators=(",", ":"))
    except (TypeError, ValueError, RecursionError):
        return json.dumps(_plain(obj), default=_stringify, allow_nan=False, separators=(",", ":"))


def encode_message(message: tuple) -> "str | bytes | None":
    """The WebSocket frame for one bus message.

    Returns JSON text for component and action messages, the bytes themselves
    for binary messages, and None for a message kind the browser does not know.
    """
    kind = message[0]
    if kind == "binary":
        data = message[1]
        return data if type(data) is bytes else bytes(data)
    if kind == "message":
        return dumps({"type": "message", "action": message[1], "data": message[2]})
    if kind == "update":
        return dumps({"type": "update", "id": message[1], "content": message[2]})
    if kind == "add":
        return dumps({"type": "add", "id": message[1], "kind": message[2], "content": message[3]})
    if kind == "remove":
        return dumps({"type": "remove", "id": message[1]})
    return None


def components_frame(snapshot: Iterable[tuple[str, str, Any]]) -> str:
    return dumps(
        {
            "type": "components",
            "components": [{"id": cid, "kind": kind, "content": content} for cid, kind, content in snapshot],
        }
    )
