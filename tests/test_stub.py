"""The type stub describes the module as built.

`make lint` runs mypy's stubtest on the module; it cannot see the player handle's
class, which exists only per web_audio() call, so this checks the stub's
_WebAudioProps against a live handle: the same members, in the same order, with
the same kinds and parameters.
"""

from __future__ import annotations

import ast
import inspect
from pathlib import Path



def stub_members(stub: Path, class_name: str) -> list[tuple[str, str, list[tuple[str, object]]]]:
    """(name, kind, [(parameter, default or inspect.Parameter.empty)]) of a stub class, in order."""
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    (cls,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == class_name]
    members: dict[str, tuple[str, str, list]] = {}
    for fn in cls.body:
        if not isinstance(fn, ast.FunctionDef):
            continue
        decorators = [ast.unparse(d) for d in fn.decorator_list]
        args = fn.args.args
        defaults = [inspect.Parameter.empty] * (len(args) - len(fn.args.defaults)) + [
            ast.literal_eval(d) for d in fn.args.defaults
        ]
        params = [(a.arg, d) for a, d in zip(args, defaults)]
        if decorators == ["property"]:
            members[fn.name] = (fn.name, "readonly", params)
        elif decorators == [f"{fn.name}.setter"]:
            members[fn.name] = (fn.name, "property", members[fn.name][2])
        else:
            assert not decorators, (fn.name, decorators)
            members[fn.name] = (fn.name, "method", params)
    return list(members.values())


def live_members(cls) -> list[tuple[str, str, list[tuple[str, object]]]]:
    out = []
    for name, member in vars(cls).items():
        if name.startswith("__") and name != "__init__":
            continue
        if isinstance(member, property):
            kind = "property" if member.fset is not None else "readonly"
            fn = member.fget
        else:
            kind, fn = "method", member
        params = [(p.name, p.default) for p in inspect.signature(fn).parameters.values()]
        out.append((name, kind, params))
    return out


def test_stub_handle_class_matches_a_live_handle(wa, cm):
    # the stub installed beside the module (in a checkout built with `make dev`, the tree's own)
    stub = Path(wa.__file__).with_name("web_audio.pyi")
    assert stub_members(stub, "_WebAudioProps") == live_members(type(wa.web_audio()))
