"""Checks on the extension's own C++ source: what the structure promises, kept true by a test.

The runtime (pyrt/) knows nothing of the product; every field of the product's state is used;
callables are declared through pyrt::def(), which counts their parameters.
"""

from __future__ import annotations

import re
from pathlib import Path

SRC = Path(__file__).resolve().parents[1] / "src" / "web_audio"


def sources(*parts: str) -> dict[Path, str]:
    root = SRC.joinpath(*parts)
    return {p: p.read_text(encoding="utf-8") for p in sorted(root.rglob("*")) if p.suffix in (".cpp", ".hpp")}


def test_the_runtime_knows_nothing_of_the_product():
    product = re.compile(r'#include "(?!pyrt/)|\bwa::|\bhost::|vt_core|web_audio|WebAudio|AudioStreamWriter')
    found = [f"{p.name}:{m.group(0)}" for p, text in sources("pyrt").items() for m in product.finditer(text)]
    assert found == []


def test_every_field_of_the_state_is_used():
    state = (SRC / "state.hpp").read_text(encoding="utf-8")
    strings = re.findall(r"\bX\((\w+), \"", state.split("#define WA_STRINGS", 1)[1].split("#define WA_GLOBALS", 1)[0])
    globals_ = re.findall(r"\bX\((\w+)\)", state.split("#define WA_GLOBALS", 1)[1].split("namespace wa", 1)[0])
    fields = re.findall(r"^\s+(?:PyObject|PyTypeObject)\*\s+(\w+);", state, flags=re.M)
    assert strings and globals_ and fields
    code = "\n".join(t for p, t in sources().items() if p.name not in ("state.hpp", "state.cpp"))
    unused = [f"s_{s}" for s in strings if not re.search(rf"\bs_{s}\b", code)]
    unused += [f"g_{g}" for g in globals_ if not re.search(rf"\bg_{g}\b", code)]
    unused += [f for f in fields if not re.search(rf"\b{f}\b", code)]
    assert unused == []


def test_callables_are_declared_through_def():
    # A FuncDef made any other way would carry a hand-typed parameter count.
    by_hand = re.compile(r"FuncDef\s+\w+\s*\{|FuncDef\s+\w+\s*=\s*\{|nparams\s*=\s*\d")
    found = [
        f"{p.name}:{m.group(0)}"
        for p, text in sources().items()
        if p.parent.name != "pyrt"
        for m in by_hand.finditer(text)
    ]
    assert found == []
