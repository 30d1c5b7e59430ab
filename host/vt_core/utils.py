"""Helpers for components: making local files loadable by the browser."""

from __future__ import annotations

import os
import secrets
import stat
import threading
from urllib.parse import quote, urlparse

_PASS_THROUGH_SCHEMES = {"http", "https", "data", "blob", "ws", "wss"}

_lock = threading.Lock()
_files_by_token: dict[str, str] = {}
_token_by_path: dict[str, str] = {}
# (st_dev, st_ino) of the file each path named when it was registered (None: not there yet)
_identity_by_path: dict[str, "tuple[int, int] | None"] = {}

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
    serves registered files only, and only while the path still names the
    file it named here (same device and inode, no symbolic link swapped in).
    The same path always gets the same URL; converting it again vouches for
    the file the path names now (after an intended replacement, say).
    """
    text = os.fspath(path)
    if not isinstance(text, str):
        text = os.fsdecode(text)
    if _is_url(text):
        return text
    real = os.path.realpath(text)
    identity = _identity(real)
    with _lock:
        _identity_by_path[real] = identity
        token = _token_by_path.get(real)
        if token is None:
            token = secrets.token_urlsafe(18)
            _token_by_path[real] = token
            _files_by_token[token] = real
    return f"{FILES_PREFIX}{token}/{quote(os.path.basename(real))}"


def _identity(path: str) -> "tuple[int, int] | None":
    try:
        st = os.stat(path, follow_symlinks=False)
    except OSError:
        return None
    return st.st_dev, st.st_ino


def resolve_token(token: str) -> "str | None":
    """The registered file for ``token``, or None."""
    with _lock:
        return _files_by_token.get(token)


def open_registered(token: str) -> "tuple[int, os.stat_result, str] | None":
    """Open the file registered under ``token``: ``(fd, stat, path)``, or None.

    None unless the path still names the registered file: a regular file
    reached without any symbolic link, of the same device and inode as when it
    was registered (a file registered before it existed is pinned on its first
    use).  The caller closes ``fd``.
    """
    with _lock:
        path = _files_by_token.get(token)
        identity = _identity_by_path.get(path) if path is not None else None
    if path is None:
        return None
    flags = os.O_RDONLY | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0)
    try:
        fd = os.open(path, flags)
    except OSError:
        return None
    try:
        st = os.fstat(fd)
        same = identity is None or (st.st_dev, st.st_ino) == identity
        if not stat.S_ISREG(st.st_mode) or not same or os.path.realpath(path) != path:
            os.close(fd)
            return None
    except OSError:
        os.close(fd)
        return None
    if identity is None:
        with _lock:
            if _identity_by_path.get(path) is None:
                _identity_by_path[path] = (st.st_dev, st.st_ino)
    return fd, st, path
