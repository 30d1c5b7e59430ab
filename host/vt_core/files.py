"""Serving files: the page's static files and files registered by ``convertPath2Url``.

A registered file is served so that it cannot act on this server's origin:
under its route's sandbox and ``nosniff`` (``vt_core.routes``), and with
``Content-Disposition: attachment`` for every type a browser would render as
an active document (HTML, SVG, XML, scripts, PDF, ...): only audio, video,
plain images and plain text show inline.
"""

from __future__ import annotations

import asyncio
import logging
import mimetypes
import os
import re
from email.utils import formatdate
from pathlib import Path
from typing import Any, Callable
from urllib.parse import quote

from aiohttp import web

from .utils import open_registered

log = logging.getLogger("vt_core.server")

#: Bytes read from a file per write to the socket.
CHUNK = 256 * 1024

_RANGE = re.compile(r"bytes=([0-9]*)-([0-9]*)", re.ASCII)
#: Longest number a Range may hold (more digits than any file size needs).
_MAX_RANGE_DIGITS = 18
#: Types a registered file is shown inline as; anything else is an attachment.
_INLINE_TYPES = re.compile(r"(audio|video)/[-+.\w]+|image/(png|jpeg|gif|webp|avif|bmp|x-icon|vnd\.microsoft\.icon)"
                           r"|text/plain|application/ogg", re.ASCII)


class BadRange(ValueError):
    """A ``Range`` header that is not ASCII digits as HTTP writes them, or holds absurd numbers."""


async def write_or_cut(request: web.BaseRequest, response: web.StreamResponse, data: bytes, timeout: float) -> None:
    """``response.write(data)``; a client that takes none of it within ``timeout`` s is cut off.

    Raises ``ClientStalled`` (a ``ConnectionResetError``) once the connection is aborted.
    """
    try:
        async with asyncio.timeout(timeout):
            await response.write(data)
    except TimeoutError:
        transport = request.transport
        if transport is not None:
            transport.abort()
        raise ClientStalled(f"the client read nothing for {timeout:g} s") from None


class ClientStalled(ConnectionResetError):
    """The client stopped reading and was cut off."""


class SingleFileResponse(web.FileResponse):
    """``FileResponse`` that always sends the named file itself.

    aiohttp would otherwise serve a pre-compressed ``<name>.gz``/``.br``
    sibling when the client accepts it: never wanted here.
    """

    async def prepare(self, request: web.BaseRequest) -> Any:  # type: ignore[override]
        if "Accept-Encoding" in request.headers:
            headers = request.headers.copy()
            del headers["Accept-Encoding"]
            request = request.clone(headers=headers)
        return await super().prepare(request)


def static_response(static_dir: Path, relative: str) -> web.StreamResponse:
    """A file under ``static_dir`` (no dot-files, nothing outside it, no links out)."""
    parts = relative.split("/")
    if any(not p or p.startswith(".") or "\\" in p or "\0" in p for p in parts):
        raise web.HTTPNotFound()
    root = os.path.realpath(static_dir)
    path = os.path.realpath(os.path.join(root, *parts))
    if os.path.commonpath([root, path]) != root or not os.path.isfile(path):
        raise web.HTTPNotFound()
    headers = {"Cache-Control": "no-cache"}
    if path.endswith((".js", ".mjs")):  # the same module type on every Python's mimetypes table
        headers["Content-Type"] = "text/javascript"
    return SingleFileResponse(path, headers=headers)


def _byte_range(header: str, size: int) -> "tuple[int, int] | None | bool":
    """``(start, stop)`` of a ``Range`` header; None when unsatisfiable, False to ignore it.

    Raises ``BadRange`` for digits HTTP does not write (any but ASCII 0-9) and
    for numbers longer than any file size.
    """
    text = header.strip()
    if not text.isascii():
        raise BadRange("the Range header may only hold ASCII (digits 0-9)")
    match = _RANGE.fullmatch(text)
    if match is None or match.group(1) == match.group(2) == "":
        if any(len(run) > _MAX_RANGE_DIGITS for run in re.findall(r"[0-9]+", text)):
            raise BadRange("a number in the Range header is too long")
        return False  # not one byte range we read: send the whole file
    first, last = match.group(1), match.group(2)
    if len(first) > _MAX_RANGE_DIGITS or len(last) > _MAX_RANGE_DIGITS:
        raise BadRange("a number in the Range header is too long")
    if first == "":
        length = int(last)
        return (max(0, size - length), size) if length > 0 and size > 0 else None
    start = int(first)
    stop = size if last == "" else min(size, int(last) + 1)
    if start >= size or stop <= start:
        return None
    return start, stop


def _disposition(path: str, content_type: str) -> str:
    kind = "inline" if _INLINE_TYPES.fullmatch(content_type) else "attachment"
    return f"{kind}; filename*=UTF-8''{quote(os.path.basename(path), safe='')}"


async def registered_file_response(request: web.Request, send_timeout: float = 30.0,
                                   on_stalled: "Callable[[web.Request], None] | None" = None) -> web.StreamResponse:
    """``/vt/files/<token>/<name>``: the registered file, with ``Range`` support; else 404.

    A client that reads nothing for ``send_timeout`` seconds is cut off
    (``on_stalled(request)`` is told).
    """
    opened = open_registered(request.match_info["token"])
    if opened is None:
        raise web.HTTPNotFound()
    fd, st, path = opened
    try:
        if request.match_info["name"] != os.path.basename(path):
            raise web.HTTPNotFound()
        size = st.st_size
        content_type = mimetypes.guess_type(path)[0] or "application/octet-stream"
        headers = {
            "Content-Type": content_type,
            "Accept-Ranges": "bytes",
            "Last-Modified": formatdate(st.st_mtime, usegmt=True),
            "Cache-Control": "no-cache",
            "Content-Disposition": _disposition(path, content_type),
        }
        start, stop, status = 0, size, 200
        header = request.headers.get("Range")
        if header is not None:
            try:
                wanted = _byte_range(header, size)
            except BadRange as exc:
                raise web.HTTPBadRequest(text=f"{exc}\n") from None
            if wanted is None:
                raise web.HTTPRequestRangeNotSatisfiable(headers={"Content-Range": f"bytes */{size}"})
            if wanted is not False:
                start, stop = wanted  # type: ignore[misc]
                status = 206
                headers["Content-Range"] = f"bytes {start}-{stop - 1}/{size}"
        response = web.StreamResponse(status=status, headers=headers)
        response.content_length = stop - start
        try:
            await response.prepare(request)
            pos = start if request.method != "HEAD" else stop
            while pos < stop:
                data = await asyncio.get_running_loop().run_in_executor(None, os.pread, fd, min(CHUNK, stop - pos), pos)
                if not data:  # the file shrank meanwhile: end the body short and the connection
                    response.force_close()
                    break
                await write_or_cut(request, response, data, send_timeout)
                pos += len(data)
            await response.write_eof()
        except ClientStalled:
            if on_stalled is not None:
                on_stalled(request)
        except ConnectionError as exc:  # the client went away mid-body (a reset): no fault of ours
            log.debug("a download of %s ended early: %r", os.path.basename(path), exc)
        return response
    finally:
        os.close(fd)
