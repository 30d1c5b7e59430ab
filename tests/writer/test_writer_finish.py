"""finish(): the normalised WAV file, its bytes, and what survives failures."""

from __future__ import annotations

import contextlib
import io
import os
import struct
import subprocess
import sys
import wave

import numpy as np
import pytest

from .conftest import FakePlayer


def pcm(*samples: int) -> bytes:
    return struct.pack(f"<{len(samples)}h", *samples)


def wave_bytes(data: bytes, channels: int, rate) -> bytes:
    """What Python's wave module writes for these samples."""
    buf = io.BytesIO()
    with wave.open(buf, "wb") as wf:
        wf.setnchannels(channels)
        wf.setsampwidth(2)
        wf.setframerate(rate)
        wf.writeframes(data)
    return buf.getvalue()


def record(wa, tmp_path, chunks, channels=1, rate=16000, name="take.wav", mute=False):
    p = FakePlayer()
    w = wa.AudioStreamWriter(p)
    w._initial_delay_sent = True
    w.configure(rate, channels)
    path = tmp_path / name
    w.set_output_file(str(path))
    w.mute = mute
    for c in chunks:
        w.write(c)
    return w, p, path


def test_summary_without_recording_touches_no_file(wa, tmp_path, player):
    w = wa.AudioStreamWriter(player)
    w.configure(24000, 1)
    assert w.finish() == {"audio_path": None, "sample_rate": 24000, "channels": 1, "audio_bytes": 0}
    target = tmp_path / "never.wav"
    result = w.finish(str(target))
    assert list(result) == ["audio_path", "sample_rate", "channels", "audio_bytes"]
    assert result["audio_path"] == str(target) and result["audio_bytes"] == 0
    assert not target.exists()
    assert os.listdir(tmp_path) == []


def test_output_file_opened_but_nothing_written_stays_empty(wa, tmp_path, player):
    w = wa.AudioStreamWriter(player)
    w.configure(8000, 1)
    w.set_output_file(str(tmp_path / "empty.wav"))
    assert w.finish()["audio_bytes"] == 0
    assert (tmp_path / "empty.wav").read_bytes() == b""


@pytest.mark.parametrize(
    "take, target, expected",
    [
        (pcm(15000, -7, -32768, 0), 30000, pcm(30000, -14, -32767, 0)),
        (pcm(7, -3, 1), 30000, pcm(29999, -12857, 4285)),
        (pcm(32767, -32767, 100), 30000, pcm(30000, -30000, 91)),
        (pcm(1000, -500), 1000.5, pcm(1000, -500)),
        (pcm(1000, -500), -2000, pcm(-2000, 1000)),
        (pcm(1, -32768, 0) * 20, 1e308, pcm(32767, -32767, 0) * 20),  # -32768 * 1e308 overflows to -inf
    ],
)
def test_normalisation_examples(wa, tmp_path, take, target, expected):
    w, _, path = record(wa, tmp_path, [take])
    result = w.finish(normalize_target=target)
    assert result == {"audio_path": str(path), "sample_rate": 16000, "channels": 1, "audio_bytes": len(take)}
    assert path.read_bytes() == wave_bytes(expected, 1, 16000)


def test_wav_bytes_equal_wave_module_and_numpy_for_a_long_stereo_take(wa, tmp_path):
    rng = np.random.default_rng(3)
    chunks = [rng.integers(-20000, 20000, 2 * n, dtype=np.int16).tobytes() for n in (1, 4096, 700000, 33)]
    w, p, path = record(wa, tmp_path, chunks, channels=2, rate=44100.4)
    w.finish()
    raw = np.frombuffer(b"".join(chunks), dtype=np.int16)
    expected = np.clip(raw * (30000 / w._max_amplitude), -32767, 32767).astype(np.int16).tobytes()
    assert path.read_bytes() == wave_bytes(expected, 2, 44100.4)
    assert [f for f in os.listdir(tmp_path)] == ["take.wav"]  # no temporary file left behind


def test_plain_save_when_not_normalising_or_silent(wa, tmp_path):
    take = pcm(5, -6, 7)
    w, _, path = record(wa, tmp_path, [take])
    w.finish(normalize=False)
    assert path.read_bytes() == wave_bytes(take, 1, 16000)
    w, _, path = record(wa, tmp_path, [pcm(0, 0), pcm(-32768)], name="silent.wav")
    w.finish()
    assert path.read_bytes() == wave_bytes(pcm(0, 0, -32768), 1, 16000)


def test_muted_take_and_stopped_take_are_saved(wa, tmp_path):
    w, p, path = record(wa, tmp_path, [pcm(100, -50)], mute=True)
    w.finish()
    assert path.read_bytes() == wave_bytes(pcm(30000, -15000), 1, 16000)
    assert p.frames == []
    w, p, path = record(wa, tmp_path, [pcm(300)] * 10, name="stopped.wav")
    w.stop()
    w.write(pcm(9))
    w.finish()
    assert path.read_bytes() == wave_bytes(pcm(30000) * 10, 1, 16000)


def test_finish_flushes_pending_audio_first_and_not_when_stopped(wa, tmp_path):
    events = []
    p = FakePlayer()
    w = wa.AudioStreamWriter(p)
    w._initial_delay_sent = True
    w.configure(8000, 1)
    w.set_output_file(str(tmp_path / "t.wav"))
    w.write(pcm(1000) * 10)

    real_stream_binary = p.stream_binary

    def stream_binary(data):
        events.append(("pushed", (tmp_path / "t.wav").read_bytes()[:4]))
        real_stream_binary(data)

    p.stream_binary = stream_binary
    w.finish()
    assert events == [("pushed", b"")]  # pushed before the file was converted (buffered, not yet flushed)
    assert len(p.frames) == 1 and w._pcm_buffer == b""
    assert w._output_file_handle is None
    w2, p2, _ = record(wa, tmp_path, [pcm(1) * 10], name="s.wav")
    w2.stop()
    w2.finish()
    assert p2.frames == []


def test_finish_keeps_writer_states_and_later_writes_are_not_recorded(wa, tmp_path):
    w, p, path = record(wa, tmp_path, [pcm(1000)])
    w.finish()
    state = dict(vars(w))
    w.write(pcm(2000) * 3000)
    assert w._total_pcm_bytes == 2 and len(p.frames) == 2  # pushed live, not recorded
    assert path.read_bytes() == wave_bytes(pcm(30000), 1, 16000)
    assert state["_configured"] and not state["_stopped"]


def test_second_finish_never_damages_the_wav(wa, tmp_path):
    w, _, path = record(wa, tmp_path, [pcm(1500, -750)])
    first = w.finish()
    saved = path.read_bytes()
    assert w.finish() == first
    assert w.finish(normalize_target=10) == first
    assert path.read_bytes() == saved


def test_finish_to_another_path_reads_the_recording(wa, tmp_path):
    w, _, raw_path = record(wa, tmp_path, [pcm(200, -100)], name="raw.pcm")
    other = tmp_path / "final.wav"
    result = w.finish(str(other))
    assert result["audio_path"] == str(other) and result["audio_bytes"] == 4
    assert other.read_bytes() == wave_bytes(pcm(30000, -15000), 1, 16000)
    assert raw_path.read_bytes() == pcm(200, -100)  # the raw take is kept


def test_second_output_file_splits_the_take(wa, tmp_path):
    w, _, first = record(wa, tmp_path, [pcm(100)], name="a.wav")
    w.set_output_file(str(tmp_path / "b.wav"))
    w.write(pcm(50, -25))
    assert w._total_pcm_bytes == 6
    assert first.read_bytes() == pcm(100)  # the replaced file keeps its raw chunks
    w.finish()
    # the loudest peak of the whole take (100, in the first file) sets the scale
    assert (tmp_path / "b.wav").read_bytes() == wave_bytes(pcm(15000, -7500), 1, 16000)


def test_recording_survives_the_target_being_moved_or_deleted(wa, tmp_path):
    w, _, path = record(wa, tmp_path, [pcm(1000, 2000)])
    path.unlink()
    w.finish()
    assert path.read_bytes() == wave_bytes(pcm(15000, 30000), 1, 16000)


@pytest.mark.parametrize(
    "channels, rate, exc, message",
    [(0, 16000, wave.Error, "bad # of channels"), (-1, 16000, wave.Error, "bad # of channels"),
     (1, 0, wave.Error, "bad frame rate"), (1, -8000, wave.Error, "bad frame rate"),
     (None, 16000, TypeError, None), (1, None, TypeError, None)],
)
def test_bad_format_raises_like_wave_and_keeps_the_take_open(wa, tmp_path, channels, rate, exc, message):
    w, p, path = record(wa, tmp_path, [pcm(1000, -1000)])
    w._channels, w._sample_rate = channels, rate
    with pytest.raises(exc) as info:
        w.finish()
    plain = wave.open(io.BytesIO(), "wb")
    with pytest.raises(exc):
        plain.setnchannels(channels)
        plain.setframerate(rate)
    plain._file = None  # nothing was written; silence its close()
    if message:
        assert str(info.value) == message
    assert w._output_file_handle is not None  # nothing touched: the take can go on
    w.write(pcm(10))
    w.configure(16000, 1)
    w.finish()
    assert path.read_bytes() == wave_bytes(pcm(30000, -30000, 300), 1, 16000)


@pytest.mark.parametrize("target", [float("nan"), float("inf"), float("-inf")])
def test_non_finite_target_is_refused_before_anything_happens(wa, tmp_path, target):
    w, p, path = record(wa, tmp_path, [pcm(1000) * 10])
    with pytest.raises(ValueError, match="finite"):
        w.finish(normalize_target=target)
    assert w._output_file_handle is not None and p.frames == []
    result = w.finish(normalize=False, normalize_target=target)  # not normalising: target unused
    assert result["audio_bytes"] == 20
    assert path.read_bytes() == wave_bytes(pcm(1000) * 10, 1, 16000)


def test_directory_target_fails_and_keeps_the_raw_take(wa, tmp_path):
    w, _, raw = record(wa, tmp_path, [pcm(4, 5, 6)], name="raw.pcm")
    (tmp_path / "adir").mkdir()
    with pytest.raises(OSError):
        w.finish(str(tmp_path / "adir"))
    assert raw.read_bytes() == pcm(4, 5, 6)
    assert sorted(os.listdir(tmp_path)) == ["adir", "raw.pcm"]


def test_missing_or_readonly_folder(wa, tmp_path):
    w, p, raw = record(wa, tmp_path, [pcm(4)], name="raw.pcm")
    with pytest.raises(FileNotFoundError):
        w.finish(str(tmp_path / "missing" / "x.wav"))
    assert raw.read_bytes() == pcm(4)
    w2 = wa.AudioStreamWriter(p)
    with pytest.raises(FileNotFoundError):
        w2.set_output_file(str(tmp_path / "missing" / "y.raw"))
    assert w2._pending_output_file == str(tmp_path / "missing" / "y.raw")
    assert w2._output_file_handle is None


@contextlib.contextmanager
def tmpfs(path, options):
    """A small tmpfs mounted at `path` for the test (root only); skips where that is impossible."""
    if os.geteuid() != 0 or sys.platform != "linux":
        pytest.skip("needs root to mount a small filesystem")
    path.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(path)], capture_output=True).returncode:
        pytest.skip("cannot mount tmpfs here")
    try:
        yield path
    finally:
        if subprocess.run(["umount", str(path)], capture_output=True).returncode:
            subprocess.run(["umount", "-l", str(path)], check=False)  # a file still open on it: detach anyway


def test_full_disk_during_finish_keeps_the_raw_take(wa, tmp_path):
    with tmpfs(tmp_path / "tiny", "size=64k") as mnt:
        take = [pcm(*range(-5000, 5000, 1)) for _ in range(2)]  # 40000 bytes: fits once, not twice
        w, _, path = record(wa, mnt, take)
        with pytest.raises(OSError) as info:
            w.finish()
        assert info.value.errno == 28
        assert path.read_bytes() == b"".join(take)
        assert os.listdir(mnt) == ["take.wav"]  # the partial WAV was removed
        w._output_file_handle.close()  # the take stayed open for another finish; let go of it here


def test_finish_memory_stays_flat_for_a_long_take(tmp_path):
    script = f"""
import resource
import veltrane.vt_ui.web_audio as wa
class P:
    def send_audio_metadata(self, *a): pass
    def stream_binary(self, d): pass
    def stop(self): pass
w = wa.AudioStreamWriter(P()); w._initial_delay_sent = True; w.mute = True
w.configure(48000, 2); w.set_output_file({str(tmp_path / "long.wav")!r})
chunk = bytes(range(256)) * 4096
for _ in range(200): w.write(chunk)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
w.finish()
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(before, after)
"""
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    before, after = map(int, out.split())
    assert (tmp_path / "long.wav").stat().st_size == 200 * 1024 * 1024 + 44
    assert after - before < 16 * 1024, f"finish grew peak RSS by {after - before} KiB on a 200 MiB take"


def test_huge_chunk_is_recorded_and_pushed_in_one_frame(wa, tmp_path):
    big = (pcm(1200, -1200) * 4096) * 1024  # 16 MiB in one write
    w, p, path = record(wa, tmp_path, [big])
    assert [len(f) for f in p.frames] == [len(big)]
    assert w.finish()["audio_bytes"] == len(big)
    assert path.stat().st_size == len(big) + 44


def test_directory_as_recording_path(wa, tmp_path, player):
    w = wa.AudioStreamWriter(player)
    with pytest.raises(IsADirectoryError):
        w.set_output_file(str(tmp_path))
    assert w._output_file_handle is None


def test_read_only_folder(wa, tmp_path):
    with tmpfs(tmp_path / "ro", "ro,size=64k") as ro:
        w, _, raw = record(wa, tmp_path, [pcm(10, -20)], name="raw.pcm")
        with pytest.raises(OSError) as info:
            w.set_output_file(str(ro / "x.raw"))
        assert info.value.errno == 30  # read-only file system
        with pytest.raises(OSError) as info:
            w.finish(str(ro / "final.wav"))
        assert info.value.errno == 30
        assert raw.read_bytes() == pcm(10, -20)


def test_take_too_long_for_wav_is_refused_before_writing(wa, tmp_path):
    w, _, path = record(wa, tmp_path, [pcm(1, 2)])
    w._output_file_handle.flush()
    os.truncate(path, 2**32)  # sparse: a 4 GiB take without the disk space
    with pytest.raises(wave.Error, match="too long"):
        w.finish()
    assert path.stat().st_size == 2**32 and os.listdir(tmp_path) == ["take.wav"]
