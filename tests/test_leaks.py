"""Repeated factory, command and writer cycles leave memory (the C heap to the byte) and reference counts flat."""

from __future__ import annotations

import ctypes
import gc
import os
import sys

import pytest

import vt_core
from plain_writer import NoSleep, NullPlayer

SANITIZED = bool(os.environ.get("WEB_AUDIO_SANITIZED"))
CYCLES = int(os.environ.get("WEB_AUDIO_LEAK_CYCLES", "2000" if SANITIZED else "20000"))
HEAP_BOUND = 128 * 1024  # bytes of C heap 20000 cycles may add: a leak of 7 bytes a cycle is over it


class _MallInfo2(ctypes.Structure):
    _fields_ = [(f, ctypes.c_size_t) for f in "arena ordblks smblks hblks hblkhd usm fsm uordblks fordblks keep".split()]


def heap_bytes() -> "int | None":
    """Bytes the C allocator has handed out and not got back (glibc's mallinfo2); None where it cannot say."""
    mallinfo2 = getattr(ctypes.CDLL(None), "mallinfo2", None)
    if mallinfo2 is None:
        return None
    mallinfo2.restype = _MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def rss_kib() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def player_cycle(wa, cm, callback, src, bad):
    p = wa.web_audio(src, label="l", onplay=callback, block=True)
    p.play()
    p.pause()
    p.seek(1.5)
    p.volume = 0.5
    p.label = 3
    p.src = src
    p.on_error(callback).on_stream_start(callback)
    p.start_stream(" `u`, ", params={"a": 1})
    p.close_stream()
    p.send_audio_metadata(8000, 1)
    p.stream_binary(b"\x00\x01")
    for call in bad:  # every error path of the binder and the bodies
        try:
            call(p)
        except (TypeError, ValueError, KeyError):
            pass
    cm.remove_component(p.id)
    try:
        p.volume = 1  # KeyError: the component is gone
    except KeyError:
        pass


BAD_CALLS = [
    lambda p: p.play(1),
    lambda p: p.seek(seconds=1, x=2),
    lambda p: p.seek(1, seconds=2),
    lambda p: p.start_stream(),
    lambda p: p.seek("not a number"),
    lambda p: setattr(p, "volume", "loud"),
]


def writer_cycle(wa, path, chunk, odd):
    w = wa.AudioStreamWriter(NullPlayer())
    w.configure(8000, 1)
    if path:
        w.set_output_file(path)
    w.write(chunk)
    w.mute = True
    w.write(chunk)
    w.mute = False
    try:
        w.write(odd)
    except ValueError:
        pass
    w.finish()
    w.finish()


@pytest.mark.slow
def test_player_and_writer_cycles_keep_memory_flat(wa, cm, tmp_path, monkeypatch):
    monkeypatch.setattr(wa, "time", NoSleep)
    callback = print
    src = "/tmp/some file.wav"
    chunk = b"\x10\x20" * 2048
    odd = b"\x01\x02\x03"
    path = str(tmp_path / "take.wav")
    for _ in range(max(CYCLES // 20, 200)):  # warm-up: caches, interned strings, allocator pools
        player_cycle(wa, cm, callback, src, BAD_CALLS)
        writer_cycle(wa, path, chunk, odd)
    gc.collect()
    refs = (sys.getrefcount(callback), sys.getrefcount(src), sys.getrefcount(chunk))
    before, heap, blocks = rss_kib(), heap_bytes(), sys.getallocatedblocks()
    for _ in range(CYCLES):
        player_cycle(wa, cm, callback, src, BAD_CALLS)
    for i in range(CYCLES):
        writer_cycle(wa, path if i % 50 == 0 else None, chunk, odd)  # every 50th records and saves a WAV
    gc.collect()
    growth = rss_kib() - before
    assert (sys.getrefcount(callback), sys.getrefcount(src), sys.getrefcount(chunk)) == refs
    assert not vt_core.getcm().components
    assert sys.getallocatedblocks() - blocks < CYCLES // 10  # Python objects: one a cycle would be 2 * CYCLES
    if not SANITIZED:
        assert growth < 4096, f"RSS grew by {growth} KiB over {CYCLES} cycles"
        if heap is not None:  # the extension's own allocations, to the byte (RSS moves in pages and arenas)
            assert heap_bytes() - heap < HEAP_BOUND * CYCLES / 20000, f"{heap_bytes() - heap} B over {CYCLES} cycles"


def codec_cycle(codec, pcm, bad):
    enc = codec.OpusEncoder(22050, 1)
    packets = enc.encode(pcm) + enc.flush()
    dec = codec.OpusDecoder(22050, 1)
    for p in packets:
        dec.decode(p)
    dec.flush()
    for call in bad:
        try:
            call(enc, dec, packets)
        except (TypeError, ValueError):
            pass


def test_codec_cycles_keep_memory_flat():
    codec = pytest.importorskip("veltrane.vt_ui._codec")
    pcm = bytes(range(256)) * 20  # 116 ms: six packets and a resampler tail
    bad = [lambda e, d, p: e.encode(pcm), lambda e, d, p: d.decode(p[0]), lambda e, d, p: codec.OpusEncoder(1, 1),
           lambda e, d, p: codec.OpusDecoder(22050, 1).decode(codec.Packet(b"\x03", 0, 1, 0, 2))]
    cycles = max(CYCLES // 40, 100)
    for _ in range(50):
        codec_cycle(codec, pcm, bad)
    gc.collect()
    blocks, refs, before = sys.getallocatedblocks(), sys.getrefcount(pcm), rss_kib()
    for _ in range(cycles):
        codec_cycle(codec, pcm, bad)
    gc.collect()
    assert sys.getrefcount(pcm) == refs
    assert sys.getallocatedblocks() - blocks < 100  # Python objects: packets, bytes, errors
    if not SANITIZED:  # the libraries' states
        assert rss_kib() - before < 4096, f"RSS grew by {rss_kib() - before} KiB over {cycles} cycles"
