"""The handle's HTTP stream relay (stream_from_url), against a real local HTTP server.

The server answers with chunked transfer encoding and flushes every piece, so the
HTTP client's iter_content(4096) yields the pieces exactly as they were sent (pieces
larger than 4096 bytes come out in reads of at most 4096).  A few cases patch
``requests.get`` with a scripted response to reach paths a server cannot provoke
reliably (empty chunks, close() bookkeeping, the exact call arguments).
"""

from __future__ import annotations

import socket
import struct
import sys
import threading
import time
import types
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from itertools import count

import pytest
import requests

from vt_core.bus import bus

WAIT = 5.0  # seconds a test waits for the other side before it fails


def body(n: int, seed: int = 0) -> bytes:
    """n bytes whose pattern makes misplaced or missing slices visible."""
    return bytes((i * 7 + seed + i // 251) & 0xFF for i in range(n))


def split(data: bytes, sizes: list[int]) -> list[bytes]:
    out, pos = [], 0
    for size in sizes:
        out.append(data[pos : pos + size])
        pos += size
    assert pos == len(data)
    return out


# --------------------------------------------------------------------------- server


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):  # noqa: N802 - http.server's name
        route = self.server.routes.get(self.path)
        if route is None:
            self.send_error(410)
            return
        route(self)

    def log_message(self, *args):
        pass

    def start_chunked(self):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        self.wfile.flush()

    def write_piece(self, piece: bytes):
        self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
        self.wfile.flush()

    def end_chunked(self):
        self.wfile.write(b"0\r\n\r\n")
        self.wfile.flush()


class _Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # aborted connections are part of the tests


class LocalHTTP:
    def __init__(self):
        self.server = _Server(("127.0.0.1", 0), _Handler)
        self.server.routes = {}
        self._ids = count()
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def route(self, serve) -> str:
        path = f"/r{next(self._ids)}"
        self.server.routes[path] = serve
        return f"http://127.0.0.1:{self.server.server_address[1]}{path}"

    def pieces(self, pieces: list[bytes]) -> str:
        def serve(h):
            h.start_chunked()
            for piece in pieces:
                h.write_piece(piece)
            h.end_chunked()

        return self.route(serve)

    def status(self, code: int) -> str:
        def serve(h):
            payload = b"nope"
            h.send_response(code)
            h.send_header("Content-Length", str(len(payload)))
            h.end_headers()
            h.wfile.write(payload)

        return self.route(serve)

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


@pytest.fixture(scope="module")
def http():
    server = LocalHTTP()
    yield server
    server.stop()


@pytest.fixture
def player(wa, cm):
    return wa.web_audio()


class Calls:
    """Collects chunk and progress callbacks; `events` interleaves them with sent frames."""

    def __init__(self):
        self.chunks: list[bytes] = []
        self.progress: list[int] = []
        self.events: list[tuple] = []

    def chunk(self, chunk):
        self.chunks.append(chunk)
        self.events.append(("chunk", bytes(chunk)))

    def prog(self, n):
        self.progress.append(n)
        self.events.append(("progress", n))


META = ("audio_metadata", {"sample_rate": 48000, "channels": 2})


# --------------------------------------------------------------------------- header cut


class TestHeaderCut:
    def test_server_delivers_pieces_as_sent(self, http, player, recorder):
        data = body(140)
        calls = Calls()
        player.stream_from_url(http.pieces(split(data, [10, 30, 100])), skip_wav_header=False,
                               chunk_callback=calls.chunk)
        assert [len(c) for c in calls.chunks] == [10, 30, 100]
        assert recorder.binary == split(data, [10, 30, 100])

    def test_header_spread_over_pieces(self, http, player, recorder):
        data = body(140)
        calls = Calls()
        player.stream_from_url(http.pieces(split(data, [10, 30, 100])),
                               chunk_callback=calls.chunk, progress_callback=calls.prog)
        assert recorder.sent == [META]
        assert recorder.binary == [data[44:]]
        assert calls.chunks == [data[44:]]
        assert calls.progress == [140]

    @pytest.mark.parametrize("sizes, frames", [
        ([44, 20], [20]),
        ([4, 40, 8, 3], [8, 3]),
        ([30, 14, 1], [1]),
    ])
    def test_piece_of_exactly_the_remaining_header_is_dropped_whole(self, http, player, recorder, sizes, frames):
        data = body(sum(sizes))
        calls = Calls()
        player.stream_from_url(http.pieces(split(data, sizes)), progress_callback=calls.prog)
        assert recorder.binary == split(data[44:], frames)
        assert calls.progress[0] == sum(sizes[: len(sizes) - len(frames) + 1])

    @pytest.mark.parametrize("sizes", [[], [44], [20, 24], [1] * 30])
    def test_stream_not_longer_than_the_header_sends_only_metadata(self, http, player, recorder, sizes):
        calls = Calls()
        player.stream_from_url(http.pieces(split(body(sum(sizes)), sizes)),
                               chunk_callback=calls.chunk, progress_callback=calls.prog)
        assert recorder.sent == [META]
        assert recorder.binary == []
        assert calls.events == []

    def test_large_pieces_are_read_4096_at_a_time_and_cut_once(self, http, player, recorder):
        sizes = [10_000, 5, 4096, 70_000, 1]
        data = body(sum(sizes), seed=3)
        calls = Calls()
        player.stream_from_url(http.pieces(split(data, sizes)), chunk_callback=calls.chunk,
                               progress_callback=calls.prog)
        assert len(recorder.binary[0]) == 4096 - 44
        assert max(len(f) for f in recorder.binary) == 4096
        assert b"".join(recorder.binary) == data[44:]
        assert calls.progress[-1] == len(data)
        assert calls.progress == sorted(set(calls.progress))


# --------------------------------------------------------------------------- forwarding


class TestForwarding:
    def test_without_header_cut_every_byte_is_forwarded(self, http, player, recorder):
        sizes = [1, 43, 44, 4096, 500]
        data = body(sum(sizes), seed=9)
        calls = Calls()
        player.stream_from_url(http.pieces(split(data, sizes)), skip_wav_header=False,
                               chunk_callback=calls.chunk, progress_callback=calls.prog)
        assert recorder.binary == split(data, sizes)
        assert calls.progress == [1, 44, 88, 4184, 4684]

    def test_total_received_counts_header_bytes(self, http, player):
        calls = Calls()
        player.stream_from_url(http.pieces(split(body(1000), [100, 400, 500])), progress_callback=calls.prog)
        assert calls.progress == [100, 500, 1000]

    def test_frame_then_chunk_callback_then_progress(self, http, player, recorder):
        data = body(190)
        calls = Calls()
        unsubscribe = bus.subscribe(lambda m: m[0] == "binary" and calls.events.append(("frame", m[1])))
        try:
            player.stream_from_url(http.pieces(split(data, [10, 30, 100, 50])), 16000, 1,
                                   chunk_callback=calls.chunk, progress_callback=calls.prog)
        finally:
            unsubscribe()
        assert recorder.sent == [("audio_metadata", {"sample_rate": 16000, "channels": 1})]
        assert calls.events == [
            ("frame", data[44:140]), ("chunk", data[44:140]), ("progress", 140),
            ("frame", data[140:]), ("chunk", data[140:]), ("progress", 190),
        ]

    def test_without_push_nothing_is_sent_but_callbacks_run(self, http, player, recorder):
        data = body(300)
        calls = Calls()
        player.stream_from_url(http.pieces(split(data, [10, 30, 100, 160])), push_to_frontend=False,
                               chunk_callback=calls.chunk, progress_callback=calls.prog)
        assert recorder.messages == []
        assert calls.chunks == [data[44:140], data[140:]]
        assert calls.progress == [140, 300]

    @pytest.mark.parametrize("falsy", [0, "", False])
    def test_falsy_callbacks_are_not_called(self, http, player, recorder, falsy):
        data = body(200)
        assert player.stream_from_url(http.pieces([data]), chunk_callback=falsy, progress_callback=falsy) is None
        assert recorder.binary == [data[44:]]

    def test_metadata_values_pass_through_unchanged(self, http, player, recorder):
        player.stream_from_url(http.pieces([]), sample_rate="22050", channels=1.5)
        assert recorder.sent == [("audio_metadata", {"sample_rate": "22050", "channels": 1.5})]


# --------------------------------------------------------------------------- failures


class TestFailures:
    @pytest.mark.parametrize("code", [404, 500])
    def test_error_status_raises_after_metadata(self, http, player, recorder, code):
        calls = Calls()
        with pytest.raises(requests.HTTPError) as info:
            player.stream_from_url(http.status(code), chunk_callback=calls.chunk, progress_callback=calls.prog)
        assert info.value.response.status_code == code
        assert recorder.sent == [META]
        assert recorder.binary == []
        assert calls.events == []

    def test_error_status_without_push_sends_nothing(self, http, player, recorder):
        with pytest.raises(requests.HTTPError):
            player.stream_from_url(http.status(404), push_to_frontend=False)
        assert recorder.messages == []

    def test_refused_connection_raises_after_metadata(self, player, recorder):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        with pytest.raises(requests.ConnectionError):
            player.stream_from_url(f"http://127.0.0.1:{port}/x")
        assert recorder.sent == [META]

    def test_connection_reset_mid_body_keeps_frames_sent(self, http, player, recorder):
        pieces = split(body(300), [100, 200])
        consumed = threading.Event()

        def serve(h):
            h.start_chunked()
            for piece in pieces:
                h.write_piece(piece)
            consumed.wait(WAIT)
            h.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            h.connection.close()
            h.close_connection = True

        seen = []

        def on_chunk(chunk):
            seen.append(chunk)
            if len(seen) == len(pieces):
                consumed.set()

        with pytest.raises(requests.RequestException):
            player.stream_from_url(http.route(serve), chunk_callback=on_chunk)
        assert recorder.sent == [META]
        assert recorder.binary == [pieces[0][44:], pieces[1]]

    def test_raising_callback_stops_relay_and_closes_connection(self, http, player, recorder, monkeypatch):
        gone = threading.Event()
        written = []

        def serve(h):
            h.start_chunked()
            try:
                for i in range(4000):  # bounded: about 20 s at most
                    h.write_piece(body(1000, seed=i))
                    written.append(i)
                    time.sleep(0.005)
            except OSError:
                gone.set()
            h.close_connection = True

        # Keep the response and its content iterator alive after the call (dropping either would
        # also end the connection), so only an explicit close can end it.
        kept = []
        real_get = requests.get

        def keeping_get(*args, **kwargs):
            response = real_get(*args, **kwargs)
            iter_content = response.iter_content

            def keeping_iter_content(*a, **k):
                kept.append(iter_content(*a, **k))
                return kept[-1]

            response.iter_content = keeping_iter_content
            kept.append(response)
            return response

        monkeypatch.setattr(requests, "get", keeping_get)
        err = RuntimeError("stop here")
        seen = []

        def on_chunk(chunk):
            seen.append(chunk)
            if len(seen) == 3:
                raise err

        try:
            with pytest.raises(RuntimeError) as info:
                player.stream_from_url(http.route(serve), chunk_callback=on_chunk)
            assert info.value is err
            assert len(recorder.binary) == 3  # the frame goes out before the callback runs
            assert gone.wait(WAIT), "the server never saw the connection close"
            assert len(written) < 4000
        finally:
            kept[0].close()


# --------------------------------------------------------------------------- scripted responses


class FakeResponse:
    def __init__(self, pieces=(), *, status_error=None, body_error=None, close_error=None):
        self.pieces = list(pieces)
        self.status_error = status_error
        self.body_error = body_error
        self.close_error = close_error
        self.calls: list = []
        self.consumed = 0

    def raise_for_status(self):
        self.calls.append("raise_for_status")
        if self.status_error is not None:
            raise self.status_error

    def iter_content(self, *args, **kwargs):
        self.calls.append(("iter_content", args, kwargs))
        return self._iterate()

    def _iterate(self):
        for piece in self.pieces:
            self.consumed += 1
            yield piece
        if self.body_error is not None:
            raise self.body_error

    def close(self):
        self.calls.append("close")
        if self.close_error is not None:
            raise self.close_error


@pytest.fixture
def fake_get(monkeypatch):
    """Patches requests.get to return a scripted response; records the calls."""

    class Fake:
        def __init__(self):
            self.response = FakeResponse()
            self.calls: list = []

        def __call__(self, *args, **kwargs):
            self.calls.append((args, kwargs))
            return self.response

    fake = Fake()
    monkeypatch.setattr(requests, "get", fake)
    return fake


class TestScriptedResponse:
    def test_request_arguments_and_read_size(self, player, fake_get):
        url = "  `http://127.0.0.1:1/a b`, "
        player.stream_from_url(url)
        assert fake_get.calls == [((url,), {"stream": True, "timeout": 300})]
        assert fake_get.calls[0][0][0] is url
        assert fake_get.response.calls == ["raise_for_status", ("iter_content", (), {"chunk_size": 4096}), "close"]

    def test_requests_is_imported_at_call_time(self, player, recorder, monkeypatch):
        response = FakeResponse([body(50)])
        monkeypatch.setitem(sys.modules, "requests", types.SimpleNamespace(get=lambda *a, **k: response))
        player.stream_from_url("http://127.0.0.1:1/")
        assert recorder.binary == [body(50)[44:]]

    def test_missing_requests_raises_before_anything_is_sent(self, player, recorder, monkeypatch):
        monkeypatch.setitem(sys.modules, "requests", None)
        with pytest.raises(ModuleNotFoundError) as info:
            player.stream_from_url("http://127.0.0.1:1/")
        assert recorder.messages == []
        # the import's own error, with a note naming the install command
        assert info.value.name == "requests" and "requests" in str(info.value)
        assert info.value.__notes__ == ["stream_from_url needs requests: pip install 'requests>=2.28'"]

    def test_empty_chunks_are_skipped_and_not_counted(self, player, recorder, fake_get):
        data = body(60)
        fake_get.response = FakeResponse([b"", data[:50], b"", b"", data[50:], b""])
        calls = Calls()
        player.stream_from_url("u", chunk_callback=calls.chunk, progress_callback=calls.prog)
        assert recorder.binary == [data[44:50], data[50:]]
        assert calls.progress == [50, 60]
        assert fake_get.response.consumed == 6

    def test_uncut_chunk_reaches_callback_as_the_same_object(self, player, fake_get):
        pieces = [bytearray(body(100)), bytearray(b"xyz")]
        fake_get.response = FakeResponse(pieces)
        calls = Calls()
        player.stream_from_url("u", chunk_callback=calls.chunk)
        assert calls.chunks[0] == pieces[0][44:]
        assert calls.chunks[1] is pieces[1]


class TestResponseIsClosed:
    """The response is closed on every exit, so the connection is never leaked."""

    def test_normal_end(self, player, fake_get):
        fake_get.response = FakeResponse([body(100)])
        assert player.stream_from_url("u") is None
        assert fake_get.response.calls[-1] == "close"
        assert fake_get.response.calls.count("close") == 1

    def test_http_error(self, player, recorder, fake_get):
        err = requests.HTTPError("404")
        fake_get.response = FakeResponse([body(100)], status_error=err)
        with pytest.raises(requests.HTTPError) as info:
            player.stream_from_url("u")
        assert info.value is err
        assert fake_get.response.calls == ["raise_for_status", "close"]
        assert recorder.sent == [META] and recorder.binary == []

    def test_body_read_error(self, player, recorder, fake_get):
        err = requests.exceptions.ChunkedEncodingError("reset")
        fake_get.response = FakeResponse([body(100)], body_error=err)
        with pytest.raises(requests.exceptions.ChunkedEncodingError) as info:
            player.stream_from_url("u")
        assert info.value is err
        assert fake_get.response.calls[-1] == "close"
        assert recorder.binary == [body(100)[44:]]

    @pytest.mark.parametrize("which", ["chunk_callback", "progress_callback"])
    def test_callback_error_stops_reading(self, player, recorder, fake_get, which):
        err = ValueError(which)
        seen = []

        def callback(value):
            seen.append(value)
            if len(seen) == 2:
                raise err

        fake_get.response = FakeResponse([body(100), b"a", b"b", b"c"])
        with pytest.raises(ValueError) as info:
            player.stream_from_url("u", **{which: callback})
        assert info.value is err
        assert fake_get.response.consumed == 2
        assert recorder.binary == [body(100)[44:], b"a"]
        assert fake_get.response.calls[-1] == "close"

    def test_send_binary_error(self, player, wa, fake_get, monkeypatch):
        err = OSError("socket gone")

        def failing_send(data):
            raise err

        monkeypatch.setattr(wa, "send_binary_message", failing_send)
        fake_get.response = FakeResponse([body(100), b"more"])
        calls = Calls()
        with pytest.raises(OSError) as info:
            player.stream_from_url("u", chunk_callback=calls.chunk, progress_callback=calls.prog)
        assert info.value is err
        assert calls.events == []
        assert fake_get.response.consumed == 1
        assert fake_get.response.calls[-1] == "close"

    def test_close_failure_does_not_hide_the_original_error(self, player, fake_get):
        err = requests.HTTPError("500")
        fake_get.response = FakeResponse(status_error=err, close_error=RuntimeError("close failed"))
        with pytest.raises(requests.HTTPError) as info:
            player.stream_from_url("u")
        assert info.value is err
        assert fake_get.response.calls[-1] == "close"
