"""What a user meets with the distributions as installed: the metadata they carry, the hint a
missing dependency gives, and what the type stub lets through a type checker."""

from __future__ import annotations

import importlib.metadata as md
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest


def run(code: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60, env=dict(os.environ)
    )


# ---------------------------------------------------------------------------
# missing dependencies name the command that brings them


def test_server_without_aiohttp_names_the_install_command():
    proc = run(
        """
        import sys
        sys.modules["aiohttp"] = None          # as if it were not installed
        import vt_core                         # the in-process core needs nothing
        vt_core.getcm()
        try:
            from vt_core import server
        except ModuleNotFoundError as exc:
            print(exc.name, exc.__notes__)
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "aiohttp [\"vt_core.server needs aiohttp: pip install 'aiohttp>=3.10.4'\"]"


# ---------------------------------------------------------------------------
# the installed distributions


@pytest.mark.parametrize("dist", ["veltrane-web-audio", "vt-core"])
def test_distributions_ship_their_licence_and_say_which(dist):
    meta = md.metadata(dist)
    assert meta["License-Expression"] == "MIT"
    assert "Typing :: Typed" in meta.get_all("Classifier")
    (licence,) = [f for f in md.files(dist) if f.name == "LICENSE"]
    assert "MIT License" in Path(licence.locate()).read_text(encoding="utf-8")


def test_host_requires_the_server_dependency_at_its_tested_floor():
    import aiohttp

    assert "aiohttp>=3.10.4" in md.requires("vt-core")
    # the running aiohttp is one the declaration allows
    assert tuple(int(x) for x in aiohttp.__version__.split(".")[:3]) >= (3, 10, 4)
