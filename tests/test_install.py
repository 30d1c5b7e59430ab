"""What a user meets with the distributions as installed: the metadata they carry, the hint a
missing dependency gives, and what the type stub lets through a type checker."""

from __future__ import annotations

import importlib
import importlib.metadata as md
import os
import re
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


@pytest.mark.parametrize("dist, module", [("veltrane-web-audio", "veltrane.vt_ui.web_audio"), ("vt-core", "vt_core")])
def test_distributions_say_their_licence_and_version(dist, module):
    meta = md.metadata(dist)
    assert meta["License-Expression"] == "MIT"
    assert "Typing :: Typed" in meta.get_all("Classifier")
    (licence,) = [f for f in md.files(dist) if f.name == "LICENSE"]
    assert "MIT License" in Path(licence.locate()).read_text(encoding="utf-8")
    assert importlib.import_module(module).__version__ == meta["Version"]
    changelog = (Path(__file__).resolve().parents[1] / "CHANGELOG.md").read_text(encoding="utf-8")
    assert re.search(r"^## (\S+)", changelog, re.M)[1] == meta["Version"], "the newest CHANGELOG.md entry"


def test_host_requires_the_server_dependency_at_its_tested_floor():
    import aiohttp

    assert "aiohttp>=3.10.4" in md.requires("vt-core")
    # the running aiohttp is one the declaration allows
    assert tuple(int(x) for x in aiohttp.__version__.split(".")[:3]) >= (3, 10, 4)


# ---------------------------------------------------------------------------
# the type stub, through mypy, as an application sees the installed package

CHECKED = """
import array
from veltrane.vt_ui.web_audio import AudioStreamWriter, web_audio

p = web_audio("a.wav", show_wave=True)
w: AudioStreamWriter = p.stream_writer()
w.configure(22050, 1)
for chunk in (bytes(2), bytearray(2), memoryview(bytes(2)), array.array("h", [0])):
    w.write(chunk)
p.seek(1)
p.seek(2.5)
p.volume = 0.8
p.volume = 1
p.stream_binary(bytearray(4))
p.on_play(print).on_error(print).play()
summary: dict = w.finish("take.wav")
"""

# each line must be an error (all are errors at run time too)
REFUSED = [
    "w.write(123)",
    'w.write("pcm")',
    "w.write(None)",
    'p.seek("ten")',
    'p.volume = "loud"',
    "p.stream_binary(42)",
]


def test_stub_accepts_buffers_and_numbers_and_refuses_what_fails_at_run_time(wa, tmp_path):
    pytest.importorskip("mypy")
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    package_root = Path(wa.__file__).parents[2]
    if package_root.name != "site-packages":  # a development build linked into the tree (make dev)
        env["MYPYPATH"] = str(package_root)
    (tmp_path / "good.py").write_text(CHECKED, encoding="utf-8")
    preamble = "from veltrane.vt_ui.web_audio import web_audio\np = web_audio()\nw = p.stream_writer()\n"
    (tmp_path / "bad.py").write_text(preamble + "\n".join(REFUSED) + "\n", encoding="utf-8")
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", "--no-error-summary", "--hide-error-context",
         "--python-version", f"{sys.version_info.major}.{sys.version_info.minor}", "good.py", "bad.py"],
        capture_output=True, text=True, timeout=300, cwd=tmp_path,
        env=env,
    )
    errors = [line for line in proc.stdout.splitlines() if ": error:" in line]
    assert not [e for e in errors if e.startswith("good.py")], proc.stdout
    failing_lines = sorted({int(e.split(":")[1]) for e in errors if e.startswith("bad.py")})
    assert failing_lines == list(range(4, 4 + len(REFUSED))), proc.stdout
