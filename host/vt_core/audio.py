"""Registered audio generators and the ``/vt/audio/<name>`` endpoint.

Each request gets its own daemon thread that pulls the generator's chunks, one
ahead of the socket, and hands them to the event loop.  A client that goes
away cancels its request at once (the server cancels handlers of lost
connections): the thread closes the generator as soon as the chunk it is
waiting for arrives, and no further chunk is asked for.  Each endpoint serves
at most ``max_streams`` requests at a time (a stream counts until its
generator is closed), so slow or stuck generators of one endpoint cannot
starve the others; requests beyond the bound get 503.
"""

from __future__ import annotations

import array
import asyncio
import codecs
import logging
import math
import queue
import struct
import sys
import threading
from typing import Any, Callable, Iterable, Iterator
from urllib.parse import quote

from aiohttp import web

from .files import ClientStalled, write_or_cut
from .manager import FaultLog
from .messages import loads

__all__ = ["AudioSource", "register_audio", "unregister_audio", "wav_header", "tone", "lookup", "handle_audio",
           "STREAMING_WAV_SIZE", "MAX_STREAMS"]

log = logging.getLogger("vt_core.server")
faults = FaultLog(log)

#: Data size written in a streaming WAV header: the length is unknown, so the
#: RIFF and data sizes say "as long as it gets" (readers stop at end of body).
STREAMING_WAV_SIZE = 0xFFFFFFFF
#: Default bound of concurrent streams of one endpoint.
MAX_STREAMS = 8


class AudioSource:
    """A registered audio generator (see :func:`register_audio`)."""

    __slots__ = ("name", "generator", "sample_rate", "channels", "wav_header", "max_streams", "_lock", "active")

    def __init__(self, name: str, generator: Callable[[dict], Iterable[bytes]], sample_rate: int, channels: int,
                 wav_header: bool, max_streams: int) -> None:
        self.name = name
        self.generator = generator
        self.sample_rate = sample_rate
        self.channels = channels
        self.wav_header = wav_header
        self.max_streams = max_streams
        self._lock = threading.Lock()
        self.active = 0  # streams whose generator is not closed yet

    def acquire(self) -> bool:
        with self._lock:
            if self.active >= self.max_streams:
                return False
            self.active += 1
            return True

    def release(self) -> None:
        with self._lock:
            self.active -= 1


_audio_lock = threading.Lock()
_audio_sources: dict[str, AudioSource] = {}


def register_audio(
    name: str,
    generator: Callable[[dict], Iterable[bytes]],
    sample_rate: int = 48000,
    channels: int = 2,
    wav_header: bool = True,
    max_streams: int = MAX_STREAMS,
) -> str:
    """Serve ``generator`` at ``/vt/audio/<name>`` on every server; returns that path.

    For each request the generator is called with a ``dict`` of parameters
    (the query string without ``token``, updated with the JSON object of a
    POST body) and must return an iterable of bytes-like chunks of interleaved
    little-endian int16 PCM.  The server pulls the chunks on a thread of the
    request's own, so the generator may block; when the client goes away the
    generator is closed as soon as the chunk it is working on is ready.  At
    most ``max_streams`` requests of this endpoint run at once (a stream counts
    until its generator is closed); more get 503.  With ``wav_header`` the body
    starts with a 44-byte streaming WAV header (see :func:`wav_header`) and is
    served as ``audio/wav``, otherwise as ``application/octet-stream``.
    Registering a name again replaces it.
    """
    if not isinstance(name, str) or not name or "/" in name:
        raise ValueError(f"audio name must be a non-empty string without '/', not {name!r}")
    if not callable(generator):
        raise TypeError("generator must be callable")
    if int(sample_rate) <= 0 or int(channels) <= 0:
        raise ValueError("sample_rate and channels must be positive")
    if int(max_streams) < 1:
        raise ValueError("max_streams must be at least 1")
    source = AudioSource(name, generator, int(sample_rate), int(channels), bool(wav_header), int(max_streams))
    with _audio_lock:
        _audio_sources[name] = source
    return "/vt/audio/" + quote(name, safe="")


def unregister_audio(name: str) -> bool:
    """Stop serving ``/vt/audio/<name>``; returns whether it was registered."""
    with _audio_lock:
        return _audio_sources.pop(name, None) is not None


def lookup(name: str) -> "AudioSource | None":
    with _audio_lock:
        return _audio_sources.get(name)


def wav_header(sample_rate: int, channels: int, data_size: int = STREAMING_WAV_SIZE) -> bytes:
    """A 44-byte PCM WAV header for int16 samples.

    With the default ``data_size`` (0xFFFFFFFF) the RIFF and data sizes are
    both 0xFFFFFFFF, the usual marker of a stream whose length is unknown.
    """
    block_align = 2 * channels
    riff_size = STREAMING_WAV_SIZE if data_size == STREAMING_WAV_SIZE else 36 + data_size
    return struct.pack(
        "<4sI4s4sIHHIIHH4sI",
        b"RIFF", riff_size, b"WAVE",
        b"fmt ", 16, 1, channels, sample_rate, sample_rate * block_align, block_align, 16,
        b"data", data_size,
    )  # fmt: skip


def tone(
    frequency: float = 440,
    seconds: float = 2.0,
    sample_rate: int = 48000,
    channels: int = 2,
    chunk_frames: int = 2048,
    amplitude: float = 0.3,
) -> Iterator[bytes]:
    """A sine tone as chunks of interleaved little-endian int16 PCM.

    Yields ``chunk_frames`` frames per chunk (the last one may be shorter);
    the phase runs on across chunks.  Register it for the audio endpoint as,
    for example::

        register_audio("tone", lambda p: tone(float(p.get("frequency", 440))))
    """
    if sample_rate <= 0 or channels < 1 or chunk_frames < 1:
        raise ValueError("sample_rate, channels and chunk_frames must be positive")
    total = max(0, round(seconds * sample_rate))
    step = 2.0 * math.pi * frequency / sample_rate
    scale = max(0.0, min(1.0, amplitude)) * 32767.0

    def chunks() -> Iterator[bytes]:
        sin = math.sin
        for start in range(0, total, chunk_frames):
            stop = min(start + chunk_frames, total)
            mono = [int(scale * sin(step * n)) for n in range(start, stop)]
            samples = array.array("h", mono if channels == 1 else [s for s in mono for _ in range(channels)])
            if sys.byteorder == "big":
                samples.byteswap()
            yield samples.tobytes()

    return chunks()


_END = object()


def _next_chunk(iterator: Iterator[Any]) -> Any:
    """Next non-empty chunk as bytes, or ``_END``."""
    for chunk in iterator:
        data = chunk if type(chunk) is bytes else bytes(memoryview(chunk).cast("B"))
        if data:
            return data
    return _END


def _close_iterator(iterator: Any) -> None:
    close = getattr(iterator, "close", None)
    if close is not None:
        try:
            close()
        except Exception:  # noqa: BLE001 - closing is best effort
            log.debug("closing an audio generator failed", exc_info=True)


class _GeneratorFailed(Exception):
    """The generator raised (carried to the event loop as the cause)."""


class _Pull:
    """One request's generator, run on a daemon thread of its own.

    ``request()`` asks for the next chunk and returns a future of the event
    loop that gets it (bytes, ``_END``, or a ``_GeneratorFailed``);
    ``abandon()`` makes the thread close the generator once the chunk it is
    working on is done.  The source's stream slot is released when the
    generator is closed.
    """

    def __init__(self, source: AudioSource, params: dict, loop: asyncio.AbstractEventLoop) -> None:
        self.source = source
        self.params = params
        self.loop = loop
        self.requests: "queue.SimpleQueue[asyncio.Future | None]" = queue.SimpleQueue()
        self.thread = threading.Thread(target=self._run, name=f"vt-audio-{source.name}", daemon=True)
        self.thread.start()

    def request(self) -> asyncio.Future:
        fut = self.loop.create_future()
        self.requests.put(fut)
        return fut

    def abandon(self) -> None:
        self.requests.put(None)

    def _deliver(self, fut: asyncio.Future, result: Any, failed: bool) -> None:
        def settle() -> None:
            if not fut.done():
                if failed:
                    fut.set_exception(_GeneratorFailed(result))
                else:
                    fut.set_result(result)

        try:
            self.loop.call_soon_threadsafe(settle)
        except RuntimeError:  # the loop is closed: nobody waits any more
            pass

    def _run(self) -> None:
        iterator = None
        try:
            while (fut := self.requests.get()) is not None:
                try:
                    if iterator is None:
                        iterator = iter(self.source.generator(self.params))
                    chunk = _next_chunk(iterator)
                except Exception as exc:  # noqa: BLE001 - the generator's fault, reported by the loop
                    self._deliver(fut, exc, True)
                    return
                self._deliver(fut, chunk, False)
                if chunk is _END:
                    return
        finally:
            if iterator is not None:
                _close_iterator(iterator)
            self.source.release()


# --------------------------------------------------------------------------
# The request handler

_UTF8_NAMES = {"utf-8", "utf8"}


def _closing(exc: web.HTTPException) -> web.HTTPException:
    """``exc``, answered on a connection that closes (the rest of the body is not read)."""
    exc.force_close()
    return exc


async def read_json_params(request: web.Request, max_bytes: int = 1 << 20, timeout: float = 10.0) -> dict:
    """The JSON object of a POST body (``{}`` when empty); 415/400/413/408 otherwise.

    Strict JSON (``messages.loads``): ``NaN``, ``Infinity``, numbers beyond a
    float's range and lone surrogates are refused.  A body announced larger than ``max_bytes`` is refused at once; one
    that does not arrive within ``timeout`` seconds gets 408.
    """
    if request.content_type != "application/json" or "Content-Type" not in request.headers:
        raise web.HTTPUnsupportedMediaType(text="POST /vt/audio takes a body of Content-Type application/json\n")
    length = request.content_length
    if length is not None and length > max_bytes:
        raise _closing(web.HTTPRequestEntityTooLarge(max_bytes, length, text=f"the body may hold at most "
                                                                              f"{max_bytes} bytes\n"))
    charset = (request.charset or "utf-8").lower()
    try:
        if charset not in _UTF8_NAMES and not codecs.lookup(charset)._is_text_encoding:
            raise LookupError(charset)
        try:
            async with asyncio.timeout(timeout):
                body = await request.read()
        except TimeoutError:
            raise _closing(web.HTTPRequestTimeout(text=f"the body did not arrive within {timeout:g} s\n")) from None
        text = body.decode(charset)
        value = loads(text) if text.strip() else None
    except LookupError:
        raise web.HTTPBadRequest(text=f"unknown charset {charset!r}\n") from None
    except UnicodeDecodeError:
        raise web.HTTPBadRequest(text=f"the body is not valid {charset}\n") from None
    except RecursionError:
        raise web.HTTPBadRequest(text="the body is not JSON the host takes: nested too deeply\n") from None
    except ValueError as exc:
        raise web.HTTPBadRequest(text=f"the body is not JSON the host takes: {' '.join(str(exc).split())}\n") from None
    if value is None:
        return {}
    if not isinstance(value, dict):
        raise web.HTTPBadRequest(text=f"the body must be a JSON object, not {type(value).__name__}\n")
    return value


async def handle_audio(request: web.Request, source: AudioSource, params: dict, send_timeout: float = 30.0,
                       on_stalled: "Callable[[web.Request], None] | None" = None) -> web.StreamResponse:
    """Stream ``source`` for ``request`` (access was checked by the caller).

    A client that reads nothing for ``send_timeout`` seconds is cut off
    (``on_stalled(request)`` is told) and its stream slot freed.
    """
    if not source.acquire():
        raise web.HTTPServiceUnavailable(
            text=f"{source.max_streams} streams of {source.name!r} are running; try again later\n",
            headers={"Retry-After": "1"},
        )
    pull = _Pull(source, params, asyncio.get_running_loop())
    what = f"audio generator {source.name!r}"
    try:
        try:
            chunk = await pull.request()
        except _GeneratorFailed as failed:
            faults.report(("audio", source.name), what, failed.args[0])
            raise web.HTTPInternalServerError(text="audio generator failed\n") from None
        response = web.StreamResponse(
            headers={
                "Content-Type": "audio/wav" if source.wav_header else "application/octet-stream",
                "Cache-Control": "no-store",
                "X-Audio-Sample-Rate": str(source.sample_rate),
                "X-Audio-Channels": str(source.channels),
            }
        )
        # no length: chunked over HTTP/1.1, and to the connection's end over HTTP/1.0
        await response.prepare(request)
        try:
            if source.wav_header:
                await write_or_cut(request, response, wav_header(source.sample_rate, source.channels), send_timeout)
            while chunk is not _END:
                following = pull.request()  # the generator works while this chunk goes out
                await write_or_cut(request, response, chunk, send_timeout)
                chunk = await following
            await response.write_eof()
        except _GeneratorFailed as failed:  # headers are out: end the body
            faults.report(("audio", source.name), what, failed.args[0])
        except ClientStalled:
            if on_stalled is not None:
                on_stalled(request)
        except ConnectionError as exc:
            log.debug("audio client for %r went away: %r", source.name, exc)
        return response
    finally:
        pull.abandon()
