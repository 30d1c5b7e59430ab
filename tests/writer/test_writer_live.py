"""The writer's live path: configuration, peaks, running gain, buffering, mute and stop."""

from __future__ import annotations

import array
import struct

import numpy as np
import pytest

from .conftest import FakePlayer

FIELDS = [
    ("_player", None), ("_sample_rate", None), ("_channels", None), ("_configured", False),
    ("_pcm_buffer", b""), ("_buffer_size", 4096), ("_initial_delay_sent", False), ("_stopped", False),
    ("_mute", False), ("_realtime_normalize", True), ("_target_peak", 30000), ("_max_peak_seen", 0),
    ("_current_scale", 1.0), ("_output_file_handle", None), ("_total_pcm_bytes", 0), ("_max_amplitude", 0),
    ("_pending_output_file", None),
]


def pcm(*samples: int) -> bytes:
    return struct.pack(f"<{len(samples)}h", *samples)


def samples(data: bytes) -> list[int]:
    return list(struct.unpack(f"<{len(data) // 2}h", data))


def test_new_writer_fields_in_order_and_properties(writer, player):
    assert list(vars(writer)) == [name for name, _ in FIELDS]
    for name, value in FIELDS[1:]:
        got = getattr(writer, name)
        assert got == value and type(got) is type(value), name
    assert writer._player is player
    assert (writer.configured, writer.stopped, writer.mute, writer.sample_rate, writer.channels) == (
        False, False, False, None, None)
    writer.flush()
    assert player.calls == []
    for name in ("stopped", "configured", "sample_rate", "channels"):
        with pytest.raises(AttributeError):
            setattr(writer, name, 1)


def test_configure_sends_metadata_every_time_and_keeps_state(writer, player):
    writer.configure(24000, 1)
    writer.write(pcm(10000, -10000) * 100)
    state = {k: v for k, v in vars(writer).items() if k not in ("_sample_rate", "_channels")}
    writer.configure(16000, 2)
    assert player.calls.count(("send_audio_metadata", 24000, 1)) == 1
    assert player.calls[-1] == ("send_audio_metadata", 16000, 2)
    assert (writer.sample_rate, writer.channels, writer.configured) == (16000, 2, True)
    assert {k: v for k, v in vars(writer).items() if k not in ("_sample_rate", "_channels")} == state


def test_write_before_configure_raises_and_changes_nothing(writer, player):
    before = dict(vars(writer))
    with pytest.raises(RuntimeError, match=r"^AudioStreamWriter 未配置，请先调用 configure\(sample_rate, channels\)$"):
        writer.write(pcm(1, 2))
    assert vars(writer) == before and player.calls == []


def test_buffer_threshold_is_inclusive_and_pushes_whole_buffer(writer, player, sleeps):
    writer.configure(48000, 2)
    writer._realtime_normalize = False
    writer.write(b"\x01\x00" * 2047)  # 4094 bytes
    assert player.frames == [] and len(writer._pcm_buffer) == 4094
    writer.write(b"\x01\x00")
    assert [len(f) for f in player.frames] == [4096] and writer._pcm_buffer == b""
    writer.write(b"\x02\x00" * 5000)
    assert [len(f) for f in player.frames] == [4096, 10000]
    assert sleeps.calls == [0.08]


def test_startup_pause_happens_once_after_first_buffered_chunk(writer, player, sleeps):
    writer.configure(48000, 1)
    writer.mute = True
    writer.write(pcm(5, 5))
    assert sleeps.calls == []  # a muted chunk is never buffered, so no pause
    writer.mute = False
    writer.write(pcm(5, 5))
    assert sleeps.calls == [0.08] and writer._initial_delay_sent is True
    writer.mute = True
    writer.mute = False
    writer.write(pcm(5, 5))
    assert sleeps.calls == [0.08]


def test_startup_pause_really_sleeps_through_time_module(wa, player, monkeypatch):
    seen = []
    import time as real_time

    class T:
        @staticmethod
        def sleep(s):
            seen.append(s)
            real_time.sleep(0)

    monkeypatch.setattr(wa, "time", T)
    w = wa.AudioStreamWriter(player)
    w.configure(8000, 1)
    w.write(pcm(1))
    assert seen == [0.08]


@pytest.mark.parametrize(
    "chunk, peak",
    [((-32768, 50, -100), 100), ((-32768, -32768), 0), ((0, 0), 0), ((32767, -32767), 32767), ((-5,), 5)],
)
def test_chunk_peak_uses_16_bit_absolute_value(writer, chunk, peak):
    writer.configure(8000, 1)
    writer.write(pcm(*chunk))
    assert writer._max_amplitude == peak
    assert writer._max_peak_seen == peak


def test_running_gain_first_chunks(writer, player):
    writer.configure(8000, 1)
    writer.write(pcm(10000, -3, 7, -10000) + b"\x00\x00" * 2044)
    assert writer._current_scale == pytest.approx(1.1)
    assert samples(player.frames[0][:8]) == [11000, -3, 7, -11000]

    quiet = FakePlayer()
    w = type(writer)(quiet)
    w.configure(8000, 1)
    w.write(pcm(500, -500) * 1024)
    assert w._current_scale == 2.0
    assert samples(quiet.frames[0][:4]) == [1000, -1000]

    loud = FakePlayer()
    w = type(writer)(loud)
    w.configure(8000, 1)
    chunk = pcm(32767, -12345) * 1024
    w.write(chunk)
    assert w._current_scale == pytest.approx(0.95 + 0.05 * 30000 / 32767)
    assert loud.frames == [chunk]  # gain <= 1.0 leaves the chunk as it was


def test_running_gain_clamps_and_silence_changes_nothing(writer, player):
    writer.configure(8000, 1)
    writer.write(pcm(0, 0, 0))
    assert writer._current_scale == 1.0 and writer._pcm_buffer == pcm(0, 0, 0)
    writer._current_scale = 2.0
    writer._max_peak_seen = 500
    writer.write(pcm(20000, -20000, -32768))
    assert samples(writer._pcm_buffer[6:]) == [32767, -32767, -32767]


def test_running_gain_matches_numpy_expression_sample_for_sample(writer, player):
    rng = np.random.default_rng(7)
    writer.configure(8000, 1)
    writer._current_scale = 1.7321
    writer._max_peak_seen = 999
    data = rng.integers(-32768, 32768, 4096, dtype=np.int16)
    data[:3] = [-32768, 32767, 0]
    writer.write(data.tobytes())
    scale = writer._current_scale
    expected = np.clip(data * scale, -32767, 32767).astype(np.int16).tobytes()
    assert player.frames == [expected]


def test_mute_switch_drops_pending_and_stops_player_once(writer, player):
    writer.configure(8000, 1)
    writer._realtime_normalize = False
    writer.write(b"\x01\x00" * 1500)
    assert len(writer._pcm_buffer) == 3000
    writer.mute = 1
    assert writer._mute is True and writer._pcm_buffer == b""
    assert [c for c in player.calls if c[0] == "stop"] == [("stop",)]
    writer.mute = True
    writer.mute = []
    assert writer._mute is False
    assert [c for c in player.calls if c[0] == "stop"] == [("stop",)]
    assert player.frames == []


def test_mute_before_configure_still_stops_player(writer, player):
    writer.mute = True
    assert player.calls == [("stop",)]


def test_muted_writes_are_measured_and_recorded_only(writer, player, tmp_path):
    writer.configure(8000, 1)
    writer.set_output_file(str(tmp_path / "take.raw"))
    writer.mute = True
    calls = list(player.calls)
    writer.write(pcm(1234, -20000))
    writer.write(pcm(7) * 3000)
    assert writer._max_amplitude == 20000 and writer._total_pcm_bytes == 6004
    assert (writer._max_peak_seen, writer._current_scale, writer._pcm_buffer) == (0, 1.0, b"")
    assert player.calls == calls


def test_stopped_writer_ignores_everything(writer, player, tmp_path):
    writer.set_output_file(str(tmp_path / "take.raw"))
    writer.stop()
    writer.write(pcm(1, 2, 3))  # not configured, yet no error: stopped comes first
    writer.configure(8000, 1)
    writer.write(pcm(30000))
    writer.write(b"odd")  # not even looked at
    writer._output_file_handle.flush()
    assert (tmp_path / "take.raw").read_bytes() == b""
    assert writer._total_pcm_bytes == 0 and writer._max_amplitude == 0
    writer._pcm_buffer = b"\x01\x00"
    writer.flush()
    assert player.frames == [] and writer.stopped is True


@pytest.mark.parametrize(
    "chunk, exc",
    [(b"\x01\x02\x03", ValueError), (b"", ValueError), ("ab", TypeError), (None, TypeError),
     (memoryview(b"abcd")[::2], BufferError)],
)
def test_bad_chunks_raise_like_numpy_and_change_nothing(writer, player, chunk, exc):
    writer.configure(8000, 1)
    before = dict(vars(writer))
    with pytest.raises(exc) as info:
        writer.write(chunk)
    with pytest.raises(exc):
        np.max(np.abs(np.frombuffer(chunk, dtype=np.int16)))
    assert vars(writer) == before
    if exc is ValueError:
        assert "pcm_data" in str(info.value)


@pytest.mark.parametrize(
    "make",
    [bytes, bytearray, memoryview, lambda b: array.array("h", b), lambda b: np.frombuffer(b, dtype=np.int16).copy(),
     lambda b: memoryview(b"\x00" + b)[1:]],
    ids=["bytes", "bytearray", "memoryview", "array", "numpy", "unaligned"],
)
def test_any_contiguous_buffer_is_accepted(wa, make, tmp_path):
    raw = pcm(*range(-3000, 3000, 3))
    results = []
    for chunk in (raw, make(raw)):
        p = FakePlayer()
        w = wa.AudioStreamWriter(p)
        w._initial_delay_sent = True
        w.configure(8000, 1)
        path = tmp_path / f"r{len(results)}.raw"
        w.set_output_file(str(path))
        w.write(chunk)
        w._output_file_handle.flush()
        results.append((p.frames, w._pcm_buffer, w._max_amplitude, path.read_bytes()))
    assert results[0] == results[1]


def test_flush_failure_keeps_buffer_for_next_flush(writer, player):
    writer.configure(8000, 1)
    writer._realtime_normalize = False
    writer.write(pcm(1) * 100)
    player.fail["stream_binary"] = ConnectionError("gone")
    with pytest.raises(ConnectionError):
        writer.flush()
    assert writer._pcm_buffer == pcm(1) * 100
    del player.fail["stream_binary"]
    writer.write(pcm(2))
    writer.flush()
    assert player.frames[-1] == pcm(1) * 100 + pcm(2)


def test_player_failures_leave_documented_state(writer, player, tmp_path):
    player.fail["send_audio_metadata"] = RuntimeError("no host")
    with pytest.raises(RuntimeError, match="no host"):
        writer.configure(44100, 2)
    assert (writer._sample_rate, writer._channels, writer._configured) == (44100, 2, False)
    del player.fail["send_audio_metadata"]
    writer.configure(44100, 2)
    writer._realtime_normalize = False
    writer.write(pcm(3) * 10)
    player.fail["stop"] = RuntimeError("stop failed")
    with pytest.raises(RuntimeError, match="stop failed"):
        writer.mute = True
    assert writer._mute is True and writer._pcm_buffer == b""


def test_recording_failure_leaves_the_chunk_out_of_the_take(writer, tmp_path):
    class Broken:
        def write(self, data):
            raise OSError(28, "No space left on device")

    writer.configure(8000, 1)
    writer._output_file_handle = Broken()
    with pytest.raises(OSError):
        writer.write(pcm(1000))
    assert writer._max_amplitude == 0 and writer._total_pcm_bytes == 0  # neither its bytes nor its peak
    writer._output_file_handle = None
    writer.write(pcm(700))
    assert writer._max_amplitude == 700


def test_writer_on_a_full_device(writer, player):
    writer.configure(8000, 1)
    writer.set_output_file("/dev/full")
    with pytest.raises(OSError) as info:
        for _ in range(64):  # the file object buffers; the device refuses on flush
            writer.write(pcm(100) * 1024)
    assert info.value.errno == 28
    assert writer._max_amplitude == 100


def test_stream_writer_returns_new_writers_bound_to_the_handle(wa, cm, recorder, sleeps):
    p = wa.web_audio()
    w1, w2 = p.stream_writer(), p.stream_writer()
    assert w1 is not w2 and type(w1) is wa.AudioStreamWriter
    assert w1._player is p and w2._player is p
    w1.configure(22050, 1)
    w1._realtime_normalize = False
    w1.write(pcm(9) * 2048)
    w1.mute = True
    assert recorder.sent == [
        ("audio_metadata", {"sample_rate": 22050, "channels": 1}),
        ("call_method", {"cid": p.id, "method": "close_stream"}),
    ]
    assert recorder.binary == [pcm(9) * 2048]


def test_writer_subclass_sees_and_overrides_fields(wa, player, sleeps):
    class Loud(wa.AudioStreamWriter):
        def flush(self):
            self.flushed = getattr(self, "flushed", 0) + 1
            super().flush()

    w = Loud(player)
    w.configure(8000, 1)
    w._buffer_size = 4
    w.write(pcm(1, 2))
    assert w.flushed == 1 and len(player.frames) == 1
