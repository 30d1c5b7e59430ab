"""Fixtures for the writer tests: a player stand-in, the reference transcription, no real sleeping."""

from __future__ import annotations

import pytest

import plain_writer


class FakePlayer:
    """Records the calls a writer makes on its player, in order."""

    def __init__(self):
        self.calls: list[tuple] = []
        self.fail: dict[str, BaseException] = {}

    def _record(self, name, *args):
        self.calls.append((name, *args))
        if name in self.fail:
            raise self.fail[name]

    def send_audio_metadata(self, sample_rate, channels):
        self._record("send_audio_metadata", sample_rate, channels)

    def stream_binary(self, data):
        self._record("stream_binary", bytes(data))

    def stop(self):
        self._record("stop")

    @property
    def frames(self) -> list[bytes]:
        return [c[1] for c in self.calls if c[0] == "stream_binary"]


class Sleeps:
    def __init__(self):
        self.calls: list[float] = []

    def sleep(self, seconds):
        self.calls.append(seconds)


@pytest.fixture
def sleeps(wa, monkeypatch):
    """Replaces the module's `time` so the start-up pause is recorded, not slept."""
    fake = Sleeps()
    monkeypatch.setattr(wa, "time", fake)
    monkeypatch.setattr(plain_writer, "time", fake)
    return fake


@pytest.fixture
def player():
    return FakePlayer()


@pytest.fixture
def writer(wa, player, sleeps):
    w = wa.AudioStreamWriter(player)
    return w


@pytest.fixture
def plain():
    return plain_writer.PlainAudioStreamWriter


@pytest.fixture(scope="session")
def wa_module():
    import veltrane.vt_ui.web_audio as module

    return module
