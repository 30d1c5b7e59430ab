"""The module's public surface: namespace, names, docstrings, defaults, import-time binding and refusals."""

from __future__ import annotations

import importlib.util
import os
import re
import subprocess
import sys
import textwrap
import time
import urllib.parse
from pathlib import Path

import pytest

import vt_core
import vt_core.component
import vt_core.utils

MODULE = "veltrane.vt_ui.web_audio"
HANDLE_QUALNAME = "web_audio.<locals>.WebAudioProps"

MODULE_DOC = (
    "\n"
    "Veltrane Web Audio 组件\n"
    "\n"
    "基于 Web Audio API 的音频播放器，支持：\n"
    "- 静态音频文件播放\n"
    "- 流式音频播放\n"
    "- 音频可视化（波形显示）\n"
    "- 精确播放控制\n"
)

# Handle members in definition order: (name, kind, getter/method summary, setter summary).
HANDLE_MEMBERS = [
    ("__init__", "method", None, None),
    ("src", "property", "获取音频源", "设置音频源"),
    ("stream_url", "property", "获取流式音频URL", "设置流式音频URL"),
    ("stream_mode", "property", "获取流式播放模式", "设置流式播放模式"),
    ("show_wave", "property", "获取是否显示波形", "设置是否显示波形"),
    ("volume", "property", "获取音量", "设置音量"),
    ("minimal", "property", "获取最小化模式", "设置最小化模式"),
    ("label", "property", "获取标签", "设置标签"),
    ("play", "method", "播放音频", None),
    ("pause", "method", "暂停音频", None),
    ("stop", "method", "停止音频", None),
    ("seek", "method", "跳转到指定时间", None),
    ("reload", "method", "重新加载音频", None),
    ("setSrc", "method", "设置音频源URL", None),
    ("start_stream", "method", "开始流式播放", None),
    ("close_stream", "method", "关闭流式播放", None),
    ("stream_binary", "method", "推送二进制音频数据到前端播放", None),
    ("send_audio_metadata", "method", "发送音频元数据到前端", None),
    ("stream_writer", "method", "创建流式音频写入器", None),
    ("stream_from_url", "method", "从 HTTP URL 流式接收音频数据并播放", None),
    ("on_play", "method", "设置播放事件回调", None),
    ("on_pause", "method", "设置暂停事件回调", None),
    ("on_ended", "method", "设置播放结束事件回调", None),
    ("on_error", "method", "设置错误事件回调", None),
    ("on_stream_start", "method", "设置流开始事件回调", None),
]

# Writer members in definition order: (name, kind, getter/method summary, setter summary).
WRITER_MEMBERS = [
    ("__init__", "method", None, None),
    ("configure", "method", "配置音频参数并发送元数据到前端", None),
    ("stopped", "readonly", "是否已停止", None),
    ("configured", "readonly", "是否已配置", None),
    ("mute", "property", "是否静音（静音时只保存音频，不推送到前端播放）", "设置静音状态"),
    ("sample_rate", "readonly", None, None),
    ("channels", "readonly", None, None),
    ("write", "method", "写入 PCM 数据，自动缓冲并推送到前端（除非静音）", None),
    ("flush", "method", "强制推送缓冲区数据到前端", None),
    ("stop", "method", "停止推送，清空缓冲区", None),
    ("finish", "method", "完成写入，归一化并保存 WAV 文件", None),
    ("set_output_file", "method", "设置输出文件并打开文件句柄（边生成边写入模式）", None),
]

CLASS_BOOKKEEPING = {"__module__", "__qualname__", "__doc__", "__dict__", "__weakref__"}


def summary(doc):
    return doc.split("\n", 1)[0] if doc is not None else None


def content_lines(doc):
    """The docstring's non-blank lines, stripped (layout-independent content and order)."""
    return [line.strip() for line in doc.splitlines() if line.strip()]


@pytest.fixture
def handle(wa, cm):
    return wa.web_audio()


# ---------------------------------------------------------------------------
# namespace


def test_module_docstring_is_exact(wa):
    assert wa.__doc__ == MODULE_DOC


def test_module_identity(wa):
    assert wa.__name__ == MODULE
    assert sys.modules[MODULE] is wa


def test_namespace_binding_order(wa):
    names = [n for n in vars(wa) if not (n.startswith("__") and n.endswith("__"))]
    assert names == [
        "time",
        "urlparse",
        "getcm",
        "send_message",
        "send_binary_message",
        "props",
        "convertPath2Url",
        "AudioStreamWriter",
        "url_type",
        "web_audio",
    ]


def test_namespace_binds_the_real_objects(wa):
    assert wa.time is time
    assert wa.urlparse is urllib.parse.urlparse
    assert wa.getcm is vt_core.getcm
    assert wa.send_message is vt_core.send_message
    assert wa.send_binary_message is vt_core.send_binary_message
    assert wa.props is vt_core.component.props
    assert wa.convertPath2Url is vt_core.utils.convertPath2Url


def test_handle_class_is_not_a_module_name(wa, handle):
    assert not hasattr(wa, "WebAudioProps")
    assert "WebAudioProps" not in vars(wa)
    assert type(handle).__name__ == "WebAudioProps"


def test_only_three_objects_are_defined_here(wa):
    own = sorted(n for n, v in vars(wa).items() if getattr(v, "__module__", None) == MODULE and n != "__loader__")
    assert own == ["AudioStreamWriter", "url_type", "web_audio"]


# ---------------------------------------------------------------------------
# defaults


def test_web_audio_defaults(wa):
    assert wa.web_audio.__defaults__ == ("", True, False, False, "", "waveform", "#1976D2", None, None, None, None, True)
    assert [type(d) for d in wa.web_audio.__defaults__] == [
        str, bool, bool, bool, str, str, str, type(None), type(None), type(None), type(None), bool
    ]


def test_finish_defaults(wa):
    assert wa.AudioStreamWriter.finish.__defaults__ == (None, True, 30000)
    assert type(wa.AudioStreamWriter.finish.__defaults__[2]) is int


def test_handle_method_defaults(handle):
    cls = type(handle)
    assert cls.seek.__defaults__ == (0,) and type(cls.seek.__defaults__[0]) is int
    assert cls.start_stream.__defaults__ == (48000, 2, None)
    assert cls.stream_from_url.__defaults__ == (48000, 2, True, None, None, True)
    for name in ("play", "setSrc", "on_play", "__init__", "send_audio_metadata"):
        assert getattr(cls, name).__defaults__ is None, name


def test_url_type_has_no_defaults(wa):
    assert wa.url_type.__defaults__ is None


# ---------------------------------------------------------------------------
# names, qualified names, modules, docstrings


def test_module_function_names(wa):
    for name in ("url_type", "web_audio"):
        fn = getattr(wa, name)
        assert fn.__name__ == name
        assert fn.__qualname__ == name
        assert fn.__module__ == MODULE


def test_url_type_docstring(wa):
    assert summary(wa.url_type.__doc__) == "判断URL类型"
    assert content_lines(wa.url_type.__doc__) == ["判断URL类型", "参数:", "- url: URL字符串", "返回:", "- URL类型字符串"]


def test_web_audio_docstring(wa):
    assert summary(wa.web_audio.__doc__) == "基于 Web Audio API 的音频播放器"
    assert content_lines(wa.web_audio.__doc__) == [
        "基于 Web Audio API 的音频播放器",
        "参数:",
        "- src: 音频文件路径或URL",
        "- minimal: 是否使用最小化模式",
        "- show_wave: 是否显示波形可视化",
        "- stream_mode: 是否启用流式播放模式",
        "- stream_url: 流式音频的URL",
        "- visualizer_type: 可视化类型 ('waveform' | 'spectrum')",
        "- visualizer_color: 可视化颜色",
        "- onplay: 播放事件回调",
        "- onpause: 暂停事件回调",
        "- onended: 播放结束事件回调",
        "- visible: 是否显示界面（False 为纯功能模式，后台静默播放）",
        "- onerror: 错误事件回调",
        "返回:",
        "- 音频播放器组件",
    ]


def test_writer_class_names(wa):
    cls = wa.AudioStreamWriter
    assert cls.__name__ == "AudioStreamWriter"
    assert cls.__qualname__ == "AudioStreamWriter"
    assert cls.__module__ == MODULE
    assert cls.__bases__ == (object,)
    assert type(cls) is type


def test_writer_class_docstring(wa):
    lines = wa.AudioStreamWriter.__doc__.split("\n")
    assert lines[:9] == [
        "流式音频写入器",
        "    ",
        "    封装通用的 PCM 数据缓冲推送、归一化、WAV 保存逻辑。",
        "    适用于任何 TTS 引擎的流式音频输出。",
        "    ",
        "    支持实时试听开关控制，可随时静音/取消静音。",
        "    ",
        "    用法::",
        "    ",
    ]
    example, rest = lines[9:12], lines[12:]
    assert all(line.startswith("        ") and line.strip() for line in example)
    assert "stream_writer()" in example[0]
    assert ".synthesize(" in example[1] and "stream_writer=" in example[1]
    assert ".finish(" in example[2] and '"output.wav"' in example[2]
    assert rest[0].strip() == "" and rest[0].startswith("    ")
    assert rest[1] == "        # 动态控制实时试听"
    assert re.fullmatch(r"        \w+\.mute = True +# 静音（只保存，不播放）", rest[2])
    assert re.fullmatch(r"        \w+\.mute = False +# 取消静音（恢复播放）", rest[3])
    assert rest[4:] == ["    "]  # ends with a newline and four spaces


def check_members(cls, table, qual_prefix, fn_type):
    names = [n for n in vars(cls) if n not in CLASS_BOOKKEEPING]
    assert names == [m[0] for m in table]
    for name, kind, doc, setter_doc in table:
        member = vars(cls)[name]
        qualname = f"{qual_prefix}.{name}"
        if kind == "method":
            functions = [member]
            assert type(member) is fn_type, name
            assert summary(member.__doc__) == doc, name
        else:
            assert type(member) is property, name
            assert member.fdel is None, name
            assert summary(member.__doc__) == doc, name
            assert summary(member.fget.__doc__) == doc, name
            functions = [member.fget]
            if kind == "readonly":
                assert member.fset is None, name
            else:
                assert type(member.fset) is fn_type, name
                assert summary(member.fset.__doc__) == setter_doc, name
                functions.append(member.fset)
        for fn in functions:
            assert type(fn) is fn_type, name
            assert fn.__name__ == name
            assert fn.__qualname__ == qualname
            assert fn.__module__ == MODULE


def test_writer_members(wa):
    check_members(wa.AudioStreamWriter, WRITER_MEMBERS, "AudioStreamWriter", type(wa.url_type))


def test_handle_class_names(wa, handle):
    cls = type(handle)
    assert cls.__name__ == "WebAudioProps"
    assert cls.__qualname__ == HANDLE_QUALNAME
    assert cls.__module__ == MODULE
    assert cls.__doc__ is None
    assert cls.__bases__ == (vt_core.component.props,)
    assert type(cls) is type(vt_core.component.props)


def test_handle_members(wa, handle):
    check_members(type(handle), HANDLE_MEMBERS, HANDLE_QUALNAME, type(wa.url_type))


def test_callback_docstrings_end_with_chaining_note(handle):
    for name in ("on_play", "on_pause", "on_ended", "on_error", "on_stream_start"):
        assert content_lines(getattr(type(handle), name).__doc__)[-1] == "返回 self 以支持链式调用", name


def test_stream_docstring_parameter_lines(handle):
    cls = type(handle)
    assert content_lines(cls.start_stream.__doc__)[1:] == [
        "参数:",
        "url: 流式音频 URL",
        "sample_rate: 采样率，默认为 48000",
        "channels: 通道数，默认为 2",
        "params: POST 请求参数（字典），如果提供则使用 POST 方式",
    ]
    assert content_lines(cls.stream_binary.__doc__)[1:] == ["参数:", "data: 二进制音频数据（bytes 类型）"]
    assert content_lines(cls.send_audio_metadata.__doc__)[1:] == ["参数:", "sample_rate: 采样率", "channels: 声道数"]


def test_every_call_builds_a_new_handle_class(wa, cm):
    a, b = wa.web_audio(), wa.web_audio()
    assert type(a) is not type(b)
    assert type(a).__qualname__ == type(b).__qualname__ == HANDLE_QUALNAME
    assert isinstance(a, vt_core.component.props) and isinstance(b, vt_core.component.props)
    # each class has its own function objects, as a def inside web_audio would give
    assert vars(type(a))["play"] is not vars(type(b))["play"]
    assert vars(type(a))["volume"].fset is not vars(type(b))["volume"].fset


# ---------------------------------------------------------------------------
# writer properties


@pytest.mark.parametrize("name", ["sample_rate", "channels", "stopped", "configured"])
def test_writer_read_only_properties_refuse_assignment(wa, handle, name):
    writer = wa.AudioStreamWriter(handle)
    before = getattr(writer, name)
    with pytest.raises(AttributeError) as ours:
        setattr(writer, name, 1)
    assert getattr(writer, name) == before
    # worded as for a read-only property of a Python class of the same name
    reference = type("AudioStreamWriter", (), {name: property(lambda self: None)})()
    with pytest.raises(AttributeError) as theirs:
        setattr(reference, name, 1)
    assert str(ours.value) == str(theirs.value)


def test_writer_mute_accepts_assignment(wa, handle):
    writer = wa.AudioStreamWriter(handle)
    writer.mute = False
    assert writer.mute is False


# ---------------------------------------------------------------------------
# import-time failures (fresh interpreters)


def _python_path(wa) -> str:
    # the directory that holds the `veltrane` package this session imported, then the caller's path
    here = str(Path(wa.__file__).parents[2])
    return os.pathsep.join([here, *[p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]])


def run_python(wa, code: str, *, extra_path: str | None = None) -> subprocess.CompletedProcess:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (extra_path, _python_path(wa)) if p)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, env=env, timeout=60
    )


def test_import_with_every_dict_watcher_taken_still_honours_patched_globals(wa):
    pytest.importorskip("_testcapi")
    proc = run_python(
        wa,
        """
        import sys, _testcapi
        if sys.version_info >= (3, 12):
            try:
                while True:
                    _testcapi.add_dict_watcher(0)
            except RuntimeError:
                pass
        import veltrane.vt_ui.web_audio as m
        seen = []
        player = m.web_audio()
        player.play()
        m.send_message = lambda action, data: seen.append(data["method"])
        player.play()
        player.pause()
        print(seen)
        """,
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "['play', 'pause']"


def test_import_without_host_fails_with_the_hosts_error(wa):
    proc = run_python(
        wa,
        """
        import sys

        class HideHost:
            raised = []
            def find_spec(self, name, path=None, target=None):
                if name == "vt_core" or name.startswith("vt_core."):
                    exc = ModuleNotFoundError(f"No module named {name!r}", name=name)
                    self.raised.append(exc)
                    raise exc
                return None

        blocker = HideHost()
        sys.meta_path.insert(0, blocker)
        try:
            import veltrane.vt_ui.web_audio
        except ImportError as exc:
            assert exc is blocker.raised[0], (exc, blocker.raised)
            print("ERR", type(exc).__name__, exc)
            # the host's error as raised, with a note that says how to install the host
            (note,) = exc.__notes__
            print("NOTE", "pip install vt-core" in note)
        else:
            print("IMPORTED")
        print("IN_MODULES", "veltrane.vt_ui.web_audio" in sys.modules)

        # once the host is there, the import runs again from the start and succeeds
        sys.meta_path.remove(blocker)
        import veltrane.vt_ui.web_audio as m
        import vt_core
        assert m.getcm is vt_core.getcm
        print("RETRY", m.web_audio().id in vt_core.getcm().components)
        """,
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "ERR ModuleNotFoundError No module named 'vt_core'",
        "NOTE True",
        "IN_MODULES False",
        "RETRY True",
    ]


# A stand-in host package: module -> {name: definition}.
FAKE_HOST = {
    "vt_core": {
        "getcm": "def getcm(): pass",
        "send_message": "def send_message(action, data): pass",
        "send_binary_message": "def send_binary_message(data): pass",
    },
    "vt_core.component": {"props": "class props:\n    def __init__(self, res):\n        self.id = res"},
    "vt_core.utils": {"convertPath2Url": "def convertPath2Url(path):\n    return path"},
}


@pytest.mark.parametrize(
    "module, missing",
    [(module, name) for module, names in FAKE_HOST.items() for name in names],
)
def test_missing_host_name_raises_import_error_naming_it(wa, tmp_path, module, missing):
    for mod, names in FAKE_HOST.items():
        path = tmp_path / ("vt_core/__init__.py" if mod == "vt_core" else mod.replace(".", "/") + ".py")
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text("\n\n".join(src for name, src in names.items() if name != missing) + "\n")
    proc = run_python(
        wa,
        f"""
        import sys
        import vt_core
        assert vt_core.__file__.startswith({str(tmp_path)!r}), vt_core.__file__
        try:
            import veltrane.vt_ui.web_audio
        except ImportError as exc:
            got = exc
        else:
            raise SystemExit("imported without {missing}")
        try:
            from {module} import {missing}
        except ImportError as exc:
            want = exc
        assert type(got) is type(want), (got, want)
        assert str(got) == str(want), (str(got), str(want))
        assert got.name == want.name and got.path == want.path, (got.name, got.path, want.name, want.path)
        assert "veltrane.vt_ui.web_audio" not in sys.modules
        print("OK", got)
        """,
        extra_path=str(tmp_path),
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.startswith(f"OK cannot import name '{missing}' from '{module}'")


# ---------------------------------------------------------------------------
# one module per process


def test_reinitialisation_on_a_new_module_object_is_refused(wa):
    before = dict(vars(wa))
    fresh = importlib.util.module_from_spec(wa.__spec__)
    with pytest.raises(RuntimeError) as info:
        wa.__spec__.loader.exec_module(fresh)
    assert str(info.value) == "Module 'web_audio' has already been imported. Re-initialisation is not supported."
    assert not hasattr(fresh, "web_audio")
    assert vars(wa) == before


def test_reexecuting_the_existing_module_does_nothing(wa):
    before = dict(vars(wa))
    wa.__spec__.loader.exec_module(wa)
    after = dict(vars(wa))
    assert after.keys() == before.keys()
    assert all(after[k] is before[k] for k in before)


SUBINTERPRETER_DRIVER = """
import sys
MAIN_FIRST = {main_first}
if MAIN_FIRST:
    import veltrane.vt_ui.web_audio
out = sys.argv[1]
code = f'''
try:
    import veltrane.vt_ui.web_audio
except BaseException as exc:
    result = type(exc).__name__ + ": " + str(exc)
else:
    result = "IMPORTED"
with open({out!r}, "w", encoding="utf-8") as fh:
    fh.write(result)
'''
ISOLATED = {isolated}
try:
    import _xxsubinterpreters as interpreters
    interp = interpreters.create(isolated=ISOLATED)
    interpreters.run_string(interp, code)
except ModuleNotFoundError:
    import _interpreters as interpreters
    try:
        interp = interpreters.create("isolated" if ISOLATED else "legacy")
    except (TypeError, ValueError) as exc:
        raise SystemExit(f"NO-API {exc}")
    interpreters.exec(interp, code)
interpreters.destroy(interp)
if not MAIN_FIRST:
    # refused there, the module still loads here and works
    import vt_core
    import veltrane.vt_ui.web_audio as m
    assert m.web_audio().id in vt_core.getcm().components
print("DONE")
"""


def _have_subinterpreters() -> bool:
    return any(importlib.util.find_spec(m) is not None for m in ("_xxsubinterpreters", "_interpreters"))


# An interpreter with its own GIL is refused by the interpreter itself: the module declares that
# it does not support several interpreters.  One sharing the main GIL is refused by the module.
REFUSED_BY_MODULE = "ImportError: Interpreter change detected - this module can only be loaded into one interpreter per process."
REFUSED_BY_INTERPRETER = "ImportError: module veltrane.vt_ui.web_audio does not support loading in subinterpreters"


def run_in_subinterpreter(wa, tmp_path, *, isolated: bool, main_first: bool) -> str:
    out = tmp_path / "result.txt"
    env = dict(os.environ, PYTHONPATH=_python_path(wa))
    driver = SUBINTERPRETER_DRIVER.replace("{isolated}", str(isolated)).replace("{main_first}", str(main_first))
    proc = subprocess.run(
        [sys.executable, "-c", driver, str(out)], capture_output=True, text=True, env=env, timeout=60
    )
    if "NO-API" in proc.stderr:
        pytest.skip(f"cannot create this kind of interpreter here: {proc.stderr.strip()}")
    assert proc.returncode == 0 and proc.stdout.strip() == "DONE", proc.stdout + proc.stderr
    return out.read_text(encoding="utf-8")


@pytest.mark.skipif(not _have_subinterpreters(), reason="this interpreter offers no subinterpreter module")
@pytest.mark.parametrize("isolated", [False, True], ids=["shared-gil", "own-gil"])
def test_second_interpreter_is_refused(wa, tmp_path, isolated):
    expected = REFUSED_BY_INTERPRETER if isolated and sys.version_info >= (3, 12) else REFUSED_BY_MODULE
    assert run_in_subinterpreter(wa, tmp_path, isolated=isolated, main_first=True) == expected


@pytest.mark.skipif(sys.version_info < (3, 12), reason="interpreters with their own GIL came in 3.12")
@pytest.mark.skipif(not _have_subinterpreters(), reason="this interpreter offers no subinterpreter module")
def test_isolated_interpreter_first_is_refused_and_leaves_the_main_one_free(wa, tmp_path):
    assert run_in_subinterpreter(wa, tmp_path, isolated=True, main_first=False) == REFUSED_BY_INTERPRETER
