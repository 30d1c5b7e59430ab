"""Serving files: the page's static files and files registered by ``convertPath2Url``."""

from __future__ import annotations

import asyncio
import mimetypes
import os
import re
from email.utils import formatdate
from pathlib import Path
from typing import Any

from aiohttp import web

from .utils import open_registered

#: Bytes read from a file per write to the socket.
CHUNK = 256 * 1024

_RANGE = re.compile(r"bytes=(\d*)-(\d*)")


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
    """``(start, stop)`` of a ``Range`` header; None when unsatisfiable, False to ignore it."""
    match = _RANGE.fullmatch(header.strip())
    if match is None or match.group(1) == match.group(2) == "":
        return False  # not one byte range we read: send the whole file
    first, last = match.group(1), match.group(2)
    if first == "":
        length = int(last)
        return (max(0, size - length), size) if length > 0 and size > 0 else None
    start = int(first)
    stop = size if last == "" else min(size, int(last) + 1)
    if start >= size or stop <= start:
        return None
    return start, stop


async def registered_file_response(request: web.Request) -> web.StreamResponse:
    """``/vt/files/<token>/<name>``: the registered file, with ``Range`` support; else 404."""
    opened = open_registered(request.match_info["token"])
    if opened is None:
        raise web.HTTPNotFound()
    fd, st, path = opened
    try:
        if request.match_info["name"] != os.path.basename(path):
            raise web.HTTPNotFound()
        size = st.st_size
        headers = {
            "Content-Type": mimetypes.guess_type(path)[0] or "application/octet-stream",
            "Accept-Ranges": "bytes",
            "Last-Modified": formatdate(st.st_mtime, usegmt=True),
            "Cache-Control": "no-cache",
        }
        start, stop, status = 0, size, 200
        header = request.headers.get("Range")
        if header is not None:
            wanted = _byte_range(header, size)
            if wanted is None:
                raise web.HTTPRequestRangeNotSatisfiable(headers={"Content-Range": f"bytes */{size}"})
            if wanted is not False:
                start, stop = wanted  # type: ignore[misc]
                status = 206
                headers["Content-Range"] = f"bytes {start}-{stop - 1}/{size}"
        response = web.StreamResponse(status=status, headers=headers)
        response.content_length = stop - start
        await response.prepare(request)
        if request.method != "HEAD":
            loop = asyncio.get_running_loop()
            pos = start
            while pos < stop:
                data = await loop.run_in_executor(None, os.pread, fd, min(CHUNK, stop - pos), pos)
                if not data:  # the file shrank meanwhile: end the body short and the connection
                    response.force_close()
                    break
                await response.write(data)
                pos += len(data)
        await response.write_eof()
        return response
    finally:
        os.close(fd)
