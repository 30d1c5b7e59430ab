"""The writer held against its plain Python + numpy transcription on random data and random call orders."""

from __future__ import annotations

import os
import tempfile

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import plain_writer

from .conftest import FakePlayer

EXAMPLES = int(os.environ.get("WRITER_FUZZ_EXAMPLES", "150"))

sample = st.one_of(st.integers(-32768, 32767), st.sampled_from([-32768, -32767, 32767, 0, 999, 1000, -1000]))
chunks = st.lists(sample, min_size=1, max_size=3000).map(lambda s: np.array(s, dtype=np.int16).tobytes())


def numpy_peak(data: bytes):
    return np.max(np.abs(np.frombuffer(data, dtype=np.int16)))


@settings(max_examples=EXAMPLES, deadline=None)
@given(st.lists(chunks, min_size=1, max_size=8), st.floats(0.5, 2.0), st.integers(0, 40000))
def test_peak_and_gain_match_numpy(wa_module, chunk_list, start_scale, seen):
    """Every pushed byte, every peak and the gain equal the numpy route."""
    ours, theirs = FakePlayer(), FakePlayer()
    a = wa_module.AudioStreamWriter(ours)
    b = plain_writer.PlainAudioStreamWriter(theirs)
    for w in (a, b):
        w._initial_delay_sent = True
        w._current_scale = start_scale
        w._max_peak_seen = seen
        w.configure(16000, 1)
    for c in chunk_list:
        a.write(c)
        b.write(c)
        assert a._max_amplitude == b._max_amplitude
        assert a._max_peak_seen == b._max_peak_seen
        assert a._current_scale == b._current_scale
        assert a._pcm_buffer == b._pcm_buffer
    a.flush()
    b.flush()
    assert ours.frames == theirs.frames


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(chunks, min_size=1, max_size=5), st.one_of(st.integers(-40000, 40000), st.floats(-1e5, 1e5)),
       st.booleans(), st.sampled_from([1, 2]))
def test_finish_matches_wave_and_numpy(wa_module, chunk_list, target, normalize, channels):
    with tempfile.TemporaryDirectory() as d:
        results = []
        for i, cls in enumerate((wa_module.AudioStreamWriter, plain_writer.PlainAudioStreamWriter)):
            w = cls(FakePlayer())
            w._initial_delay_sent = True
            w.configure(22050, channels)
            path = os.path.join(d, f"{i}.wav")
            w.set_output_file(path)
            for c in chunk_list:
                w.write(c)
            summary = w.finish(normalize=normalize, normalize_target=target)
            summary["audio_path"] = None
            with open(path, "rb") as f:
                results.append((summary, f.read()))
        assert results[0] == results[1]


class WriterMachine(RuleBasedStateMachine):
    """Random interleavings of every writer operation, compared step by step with the transcription."""

    def __init__(self):
        super().__init__()
        self.dir = tempfile.TemporaryDirectory()
        self.finished = False
        self.files = 0

    @initialize(sr=st.sampled_from([8000, 48000]), ch=st.sampled_from([1, 2]))
    def make(self, sr, ch):
        import veltrane.vt_ui.web_audio as wa

        self.players = (FakePlayer(), FakePlayer())
        self.writers = (wa.AudioStreamWriter(self.players[0]), plain_writer.PlainAudioStreamWriter(self.players[1]))
        for w in self.writers:
            w._initial_delay_sent = True
        self.sr, self.ch = sr, ch

    def both(self, fn):
        outcomes = []
        for w in self.writers:
            try:
                outcomes.append(("ok", fn(w)))
            except Exception as e:  # noqa: BLE001 - compared below
                outcomes.append(("raised", type(e)))
        assert outcomes[0] == outcomes[1]
        return outcomes[0]

    @rule()
    def configure(self):
        self.both(lambda w: w.configure(self.sr, self.ch))

    @rule(c=chunks)
    def write(self, c):
        self.both(lambda w: w.write(c))

    @rule(c=st.sampled_from([b"", b"\x01", b"\x01\x02\x03"]))
    def write_bad(self, c):
        self.both(lambda w: w.write(c))

    @rule(v=st.sampled_from([True, False, 0, 1, "", "x", None]))
    def mute(self, v):
        def set_mute(w):
            w.mute = v

        self.both(set_mute)

    @rule()
    def flush(self):
        self.both(lambda w: w.flush())

    @rule()
    def stop(self):
        self.both(lambda w: w.stop())

    @precondition(lambda self: not self.finished)
    @rule()
    def set_output_file(self):
        self.files += 1
        for i, w in enumerate(self.writers):
            w.set_output_file(os.path.join(self.dir.name, f"{i}-{self.files}.wav"))

    @precondition(lambda self: not self.finished and self.files > 0)
    @rule(normalize=st.booleans(), level=st.integers(1, 32767))
    def finish(self, normalize, level):
        if not self.writers[0].configured:
            return
        outcome = self.both(lambda w: {**w.finish(normalize=normalize, normalize_target=level), "audio_path": None})
        self.finished = True
        assert outcome[0] == "ok"
        for n in range(1, self.files + 1):
            with open(os.path.join(self.dir.name, f"0-{n}.wav"), "rb") as f0, open(
                os.path.join(self.dir.name, f"1-{n}.wav"), "rb"
            ) as f1:
                assert f0.read() == f1.read()

    @invariant()
    def same_state(self):
        if not hasattr(self, "writers"):
            return
        a, b = self.writers
        for name in ("_configured", "_pcm_buffer", "_stopped", "_mute", "_max_peak_seen", "_current_scale",
                     "_total_pcm_bytes", "_max_amplitude", "_sample_rate", "_channels"):
            assert getattr(a, name) == getattr(b, name), name
        assert self.players[0].calls == self.players[1].calls

    def teardown(self):
        for w in getattr(self, "writers", ()):
            if w._output_file_handle:
                w._output_file_handle.close()
        self.dir.cleanup()


WriterMachine.TestCase.settings = settings(
    max_examples=int(os.environ.get("WRITER_MACHINE_EXAMPLES", max(EXAMPLES // 3, 20))), stateful_step_count=30, deadline=None
)
TestWriterMachine = WriterMachine.TestCase
