"""Helpers for components: making local files loadable by the browser."""

from __future__ import annotations

import os
import secrets
import threading
from urllib.parse import quote, urlparse

_PASS_THROUGH_SCHEMES = {"http", "https", "data", "blob", "ws", "wss"}

_lock = threading.Lock()
_files_by_token: dict[str, str] = {}
_token_by_path: dict[str, str] = {}

FILES_PREFIX = "/vt/files/"


def _is_url(text: str) -> bool:
    if text.startswith("/vt/"):
        return True  # already one of ours
    scheme = urlparse(text).scheme.lower()
    return scheme in _PASS_THROUGH_SCHEMES


def convertPath2Url(path: "str | os.PathLike[str]") -> str:  # noqa: N802 - the host's public name
    """Return a URL the browser can load for ``path``.

    URLs (http, https, data, blob, ws, wss) and URLs this host already handed
    out pass through unchanged.  A local path is registered under an
    unguessable token and becomes ``/vt/files/<token>/<name>``; the web server
    serves registered files only.  The same file always gets the same URL.
    """
    text = os.fspath(path)
    if not isinstance(text, str):
        text = os.fsdecode(text)
    if _is_url(text):
        return text
    real = os.path.realpath(text)
    with _lock:
        token = _token_by_path.get(real)
        if token is None:
            token = secrets.token_urlsafe(18)
            _token_by_path[real] = token
            _files_by_token[token] = real
    return f"{FILES_PREFIX}{token}/{quote(os.path.basename(real))}"


def resolve_token(token: str) -> "str | None":
    """The registered file for ``token``, or None."""
    with _lock:
        return _files_by_token.get(token)
