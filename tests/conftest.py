"""Shared fixtures: a recorder of every host call, and a clean component manager."""

from __future__ import annotations

import copy
import sys
import threading
from pathlib import Path

import pytest

import vt_core
from vt_core.bus import bus

# tests/reference holds the plain Python transcriptions the tests compare against
# (and the benchmarks measure against).
sys.path.insert(0, str(Path(__file__).resolve().parent / "reference"))


def pytest_report_header(config):
    """Where the code under test comes from: an installed wheel, a venv build, or the tree."""
    import importlib.util

    found = importlib.util.find_spec("veltrane.vt_ui.web_audio")
    return [f"web_audio: {found.origin if found else 'not found'}", f"vt_core: {vt_core.__file__}"]


class Recorder:
    """Captures every message published on the host bus, in order.

    Each message is recorded as a deep copy taken at publish time, so later
    changes to the host's dictionaries do not rewrite history.
    """

    def __init__(self) -> None:
        self.messages: list[tuple] = []
        self._lock = threading.Lock()

    def __call__(self, message: tuple) -> None:
        with self._lock:
            self.messages.append(copy.deepcopy(message))

    def clear(self) -> None:
        with self._lock:
            self.messages.clear()

    def of_kind(self, kind: str) -> list[tuple]:
        return [m[1:] for m in self.messages if m[0] == kind]

    @property
    def sent(self) -> list[tuple]:
        """(action, data) of every send_message, in order."""
        return self.of_kind("message")

    @property
    def binary(self) -> list[bytes]:
        return [m[0] for m in self.of_kind("binary")]

    @property
    def updates(self) -> list[tuple]:
        return self.of_kind("update")


@pytest.fixture
def recorder():
    rec = Recorder()
    unsubscribe = bus.subscribe(rec)
    try:
        yield rec
    finally:
        unsubscribe()


@pytest.fixture
def cm():
    """The host's component manager, emptied after the test."""
    manager = vt_core.getcm()
    yield manager
    manager.clear()


@pytest.fixture(scope="session")
def wa():
    """The extension module."""
    import veltrane.vt_ui.web_audio as module

    return module
