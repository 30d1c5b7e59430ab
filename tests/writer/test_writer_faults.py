"""Nothing recorded is lost, mis-normalised or reported saved when it is not: real faults, real threads."""

from __future__ import annotations

import contextlib
import os
import resource
import subprocess
import sys
import threading
import time

import pytest

import plain_writer

from .conftest import FakePlayer
from .test_writer_finish import pcm, record, tmpfs, wave_bytes


@contextlib.contextmanager
def file_size_limit(limit):
    """RLIMIT_FSIZE for this process (CPython ignores SIGXFSZ, so writes past it fail with EFBIG)."""
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, hard))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))


def raw_data(path) -> bytes:
    return path.read_bytes()[44:]


# ---- 1. a chunk that failed to record is not part of the take ----


@pytest.mark.parametrize("impl", ["ext", "plain"])
def test_chunk_refused_by_the_file_size_limit_is_not_in_the_take(wa, tmp_path, impl, sleeps):
    cls = wa.AudioStreamWriter if impl == "ext" else plain_writer.PlainAudioStreamWriter
    quiet = pcm(1000, -1000) * 4096  # 16 KiB each: written straight through the file's buffer
    loud = pcm(32000, -32000) * 4096
    w = cls(FakePlayer())
    w._initial_delay_sent = True
    w.configure(16000, 1)
    path = tmp_path / "take.wav"
    w.set_output_file(str(path))
    with file_size_limit(40000):  # room for the quiet chunks and 7232 bytes of the loud one
        w.write(quiet)
        w.write(quiet)
        with pytest.raises(OSError) as info:
            w.write(loud)
        assert info.value.errno == 27  # EFBIG
        assert w._max_amplitude == 1000 and w._total_pcm_bytes == 2 * len(quiet)
        w._output_file_handle.flush()
        assert path.read_bytes() == quiet * 2  # the part of the loud chunk that got through was taken back
        w.write(pcm(-500, 500))
        summary = w.finish()
    assert summary["audio_bytes"] == 2 * len(quiet) + 4
    assert path.read_bytes() == wave_bytes(pcm(30000, -30000) * 8192 + pcm(-15000, 15000), 1, 16000)


def test_chunk_refused_by_a_full_device_does_not_set_the_peak(writer, player):
    writer.configure(8000, 1)
    writer.set_output_file("/dev/full")
    with pytest.raises(OSError):
        writer.write(pcm(30000) * 8192)  # larger than the file buffer: the device refuses it at once
    assert writer._max_amplitude == 0 and writer._total_pcm_bytes == 0
    writer._output_file_handle = None


# ---- 2. a failed finish leaves the take convertible ----


@pytest.mark.parametrize("bad", ["missing-dir", "directory", 12.5])
def test_failed_finish_then_good_finish_writes_the_wav(wa, tmp_path, bad):
    w, p, raw = record(wa, tmp_path, [pcm(1000, -500)], name="raw.pcm")
    (tmp_path / "directory").mkdir()
    with pytest.raises((OSError, TypeError)):
        w.finish(output_file=str(tmp_path / bad / "x.wav") if bad == "missing-dir" else
                 str(tmp_path / bad) if bad == "directory" else bad)
    assert w._output_file_handle is not None  # the take is still open ...
    w.write(pcm(2000))  # ... and still recording
    good = tmp_path / "good.wav"
    summary = w.finish(output_file=str(good))
    assert summary == {"audio_path": str(good), "sample_rate": 16000, "channels": 1, "audio_bytes": 6}
    assert good.read_bytes() == wave_bytes(pcm(15000, -7500, 30000), 1, 16000)
    assert w._output_file_handle is None


def test_finish_after_the_disk_was_full_and_space_was_freed(wa, tmp_path):
    with tmpfs(tmp_path / "tiny", "size=64k") as mnt:
        take = [pcm(*range(-5000, 5000)) for _ in range(2)]  # 40000 bytes: the WAV beside it does not fit
        w, _, path = record(wa, mnt, take)
        with pytest.raises(OSError) as info:
            w.finish()
        assert info.value.errno == 28
        subprocess.run(["mount", "-o", "remount,size=256k", str(mnt)], check=True)
        assert w.finish()["audio_bytes"] == 40000
        assert path.read_bytes() == wave_bytes(pcm(*range(-30000, 30000, 6)) * 2, 1, 16000)  # peak 5000: x6


def test_recording_into_a_fifo_never_reports_a_saved_wav(wa, tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    drained = []
    reader = threading.Thread(target=lambda: drained.append(fifo.read_bytes()))
    reader.start()
    w = wa.AudioStreamWriter(FakePlayer())
    w._initial_delay_sent = True
    w.configure(8000, 1)
    w.set_output_file(str(fifo))
    w.write(pcm(100, 200))
    for _ in range(2):  # the samples went down the pipe: no finish can put them in a WAV
        with pytest.raises(OSError, match="not a regular file"):
            w.finish()
    w._output_file_handle.close()
    reader.join(10)
    assert drained == [pcm(100, 200)]


# ---- 3. data accepted by write survives a failed final flush ----


def test_tail_kept_in_the_file_buffer_survives_a_full_disk(wa, tmp_path):
    with tmpfs(tmp_path / "tiny", "size=128k") as mnt:
        chunks = [pcm(k * 100, -k * 100) * 1024 for k in range(1, 9)] + [pcm(900, -900) * 750]  # 8 x 4 KiB + 3000 B
        w, _, path = record(wa, mnt, chunks)
        assert path.stat().st_size == 32768  # the last chunk waits in the file object's buffer
        filler = mnt / "filler"
        with open(filler, "wb", buffering=0) as f, pytest.raises(OSError):
            while True:
                f.write(b"\0" * 4096)
        with pytest.raises(OSError) as info:
            w.finish()
        assert info.value.errno == 28
        filler.unlink()
        summary = w.finish(normalize=False)
        assert summary["audio_bytes"] == 35768
        assert path.read_bytes() == wave_bytes(b"".join(chunks), 1, 16000)


# ---- 4. one writer, several threads ----


@pytest.fixture
def busy_switching():
    """Switch threads as often as CPython allows, so that races show up."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        yield
    finally:
        sys.setswitchinterval(old)


def test_write_racing_finish_is_either_in_the_wav_or_not_recorded(wa, tmp_path, sleeps, busy_switching):
    chunks = [bytes([k]) * 16384 for k in range(1, 201)]  # 16 KiB: each goes to the file with the GIL released
    for round_ in range(40):
        w, p, path = record(wa, tmp_path, [], name=f"r{round_}.wav")
        w._realtime_normalize = False
        errors = []
        started = threading.Event()

        def produce():
            try:
                for c in chunks:
                    w.write(c)
                    started.set()
            except BaseException as e:  # noqa: BLE001 - reported below
                errors.append(e)
                started.set()

        t = threading.Thread(target=produce)
        t.start()
        started.wait(10)
        summary = w.finish(normalize=False)
        t.join(30)
        assert not t.is_alive() and errors == []
        data = raw_data(path)
        assert summary["audio_bytes"] == len(data) > 0
        assert data == b"".join(chunks)[: len(data)]  # whole chunks, in order, none missing
        assert w._total_pcm_bytes == len(data)  # writes after finish were not recorded
        assert b"".join(p.frames) + w._pcm_buffer == b"".join(chunks)  # and every chunk played once


def test_two_producers_push_every_chunk_once(wa, sleeps, busy_switching):
    frames = []

    class SlowSend(FakePlayer):
        def stream_binary(self, data):
            time.sleep(0.0002)  # the host's send releases the GIL
            frames.append(bytes(data))

    w = wa.AudioStreamWriter(SlowSend())
    w.configure(8000, 1)
    w._realtime_normalize = False
    chunks = {t: [bytes([t, k]) * 700 for k in range(200)] for t in (1, 2)}  # 1400 B, tagged by thread and index

    def produce(t):
        for c in chunks[t]:
            w.write(c)

    threads = [threading.Thread(target=produce, args=(t,)) for t in chunks]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads)
    w.flush()
    stream = b"".join(frames)
    pieces = [stream[i : i + 1400] for i in range(0, len(stream), 1400)]
    for t, mine in chunks.items():
        assert [c for c in pieces if c[0] == t] == mine  # each exactly once, in its thread's order
    assert len(pieces) == 400


def test_reentrant_write_from_the_player_keeps_its_chunk(wa, sleeps):
    class Echo(FakePlayer):
        echo = True

        def stream_binary(self, data):
            self.calls.append(("stream_binary", bytes(data)))
            if self.echo:  # same thread, inside the writer's own flush
                self.echo = False
                w.write(pcm(7) * 10)
            if "stream_binary" in self.fail:
                raise self.fail["stream_binary"]

    p = Echo()
    w = wa.AudioStreamWriter(p)
    w.configure(8000, 1)
    w._realtime_normalize = False
    w.write(pcm(1) * 2048)
    assert p.frames == [pcm(1) * 2048] and w._pcm_buffer == pcm(7) * 10  # neither lost nor sent twice
    w.flush()
    assert p.frames == [pcm(1) * 2048, pcm(7) * 10]
    p.echo, p.fail["stream_binary"] = True, ConnectionError("gone")
    with pytest.raises(ConnectionError):
        w.write(pcm(3) * 2048)
    assert w._pcm_buffer == pcm(3) * 2048 + pcm(7) * 10  # the unsent buffer back, ahead of the newer chunk


# ---- 5. a recording path that is a symbolic link ----


def test_symlinked_recording_is_converted_where_it_lives(wa, tmp_path):
    (tmp_path / "takes").mkdir()
    real = tmp_path / "takes" / "real.wav"
    link = tmp_path / "link.wav"
    link.symlink_to(real)
    w = wa.AudioStreamWriter(FakePlayer())
    w._initial_delay_sent = True
    w.configure(16000, 1)
    w.set_output_file(str(link))
    w.write(pcm(1000, -2000))
    link.unlink()  # retargeted mid-take: the take still goes where it was recorded
    link.symlink_to(tmp_path / "elsewhere.wav")
    assert w.finish()["audio_path"] == str(link)
    assert real.read_bytes() == wave_bytes(pcm(15000, -30000), 1, 16000)
    assert link.is_symlink() and os.readlink(link) == str(tmp_path / "elsewhere.wav")
    assert sorted(os.listdir(tmp_path)) == ["link.wav", "takes"] and os.listdir(tmp_path / "takes") == ["real.wav"]
