"""The module's function objects behave as Python functions do: binding, defaults, signatures,
help text, argument errors, globals, attributes, garbage collection and super()."""

from __future__ import annotations

import builtins
import copy
import gc
import inspect
import os
import pickle
import pydoc
import re
import typing
import weakref

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import requests
from vt_core.component import props

MODULE = "veltrane.vt_ui.web_audio"
HANDLE = "web_audio.<locals>.WebAudioProps"

# The equivalent Python parameter lists of every public callable.
MODULE_FUNCTIONS = {
    "url_type": "url",
    "web_audio": (
        "src='', minimal=True, show_wave=False, stream_mode=False, stream_url='', visualizer_type='waveform', "
        "visualizer_color='#1976D2', onplay=None, onpause=None, onended=None, onerror=None, visible=True, **kwargs"
    ),
}
HANDLE_METHODS = {
    "__init__": "self, res",
    "play": "self",
    "pause": "self",
    "stop": "self",
    "seek": "self, seconds=0",
    "reload": "self",
    "setSrc": "self, src",
    "start_stream": "self, url, sample_rate=48000, channels=2, params=None",
    "close_stream": "self",
    "stream_binary": "self, data",
    "send_audio_metadata": "self, sample_rate, channels",
    "stream_writer": "self",
    "stream_from_url": (
        "self, url, sample_rate=48000, channels=2, skip_wav_header=True, chunk_callback=None, "
        "progress_callback=None, push_to_frontend=True"
    ),
    "on_play": "self, callback",
    "on_pause": "self, callback",
    "on_ended": "self, callback",
    "on_error": "self, callback",
    "on_stream_start": "self, callback",
}
HANDLE_PROPERTIES = ["src", "stream_url", "stream_mode", "show_wave", "volume", "minimal", "label"]
WRITER_METHODS = {
    "__init__": "self, player",
    "configure": "self, sample_rate, channels",
    "write": "self, pcm_data",
    "flush": "self",
    "stop": "self",
    "finish": "self, output_file=None, normalize=True, normalize_target=30000",
    "set_output_file": "self, output_file",
}
WRITER_PROPERTIES = {"stopped": False, "configured": False, "mute": True, "sample_rate": False, "channels": False}


def plain(name: str, params: str, qualname: str | None = None, doc: str | None = None):
    """A plain Python function with the given parameters, qualified name and docstring."""
    ns: dict = {}
    exec(f"def {name}({params}):\n    pass\n", ns)
    fn = ns[name]
    fn.__qualname__ = qualname or name
    fn.__module__ = MODULE
    fn.__doc__ = doc
    return fn


def plain_instance(methods: dict[str, str], qualname: str):
    """An instance of a plain class whose methods have the given parameters and qualified names."""
    cls = type("Plain", (), {name: plain(name, params, f"{qualname}.{name}") for name, params in methods.items() if name != "__init__"})
    return cls()


@pytest.fixture
def handle(wa, cm):
    return wa.web_audio()


# ---------------------------------------------------------------------------
# descriptor binding


def test_get_binds_on_instance_and_returns_itself_otherwise(handle):
    cls = type(handle)
    fn = vars(cls)["seek"]
    assert cls.seek is fn
    bound = handle.seek
    assert inspect.ismethod(bound)
    assert bound.__func__ is fn and bound.__self__ is handle
    assert bound == handle.seek and bound is not handle.seek  # fresh bound method each time, as in Python
    assert fn.__get__(handle).__self__ is handle
    assert fn.__get__(handle, cls).__func__ is fn
    assert fn.__get__(None, cls) is fn


def test_get_none_none_is_invalid_as_for_python_functions(wa):
    def py():
        pass

    with pytest.raises(TypeError) as ours:
        wa.url_type.__get__(None)
    with pytest.raises(TypeError) as theirs:
        py.__get__(None)
    assert str(ours.value) == str(theirs.value)


def test_module_function_becomes_a_method_in_a_user_class(wa):
    class Address(str):
        classify = wa.url_type

    web, local = Address("https://h/a"), Address("/tmp/a.wav")
    assert web.classify.__self__ is web
    assert web.classify() == "http/https"  # the instance is passed as `url`
    assert local.classify() == "file"
    assert Address.classify("https://h/x") == "http/https"


def test_bound_call_passes_self(handle, recorder):
    handle.play()
    type(handle).play(handle)
    assert recorder.sent == [("call_method", {"cid": handle.id, "method": "play"})] * 2


# ---------------------------------------------------------------------------
# __defaults__


def test_defaults_assignment_changes_the_call(handle, recorder, monkeypatch):
    cls = type(handle)
    monkeypatch.setattr(cls.seek, "__defaults__", (7,))
    handle.seek()
    monkeypatch.setattr(cls.start_stream, "__defaults__", (22050, 1, {"k": 1}))
    handle.start_stream("http://h/s")
    assert recorder.sent[0] == ("call_method", {"cid": handle.id, "method": "seek", "seconds": 7.0})
    assert recorder.sent[1] == (
        "call_method",
        {"cid": handle.id, "action": "start_stream", "url": "http://h/s", "sample_rate": 22050, "channels": 1, "params": {"k": 1}},
    )


def test_defaults_of_one_class_do_not_leak_into_another(wa, cm, recorder, monkeypatch):
    a, b = wa.web_audio(), wa.web_audio()
    monkeypatch.setattr(type(a).seek, "__defaults__", (3,))
    b.seek()
    assert recorder.sent[-1][1]["seconds"] == 0.0


def test_web_audio_defaults_assignment(wa, cm, monkeypatch):
    new = list(wa.web_audio.__defaults__)
    new[5] = "spectrum"
    monkeypatch.setattr(wa.web_audio, "__defaults__", tuple(new))
    h = wa.web_audio()
    assert cm.components[h.id]["content"]["options"]["visualizerType"] == "spectrum"


def test_shorter_defaults_make_parameters_required(wa, handle, monkeypatch):
    cls = type(handle)
    monkeypatch.setattr(cls.start_stream, "__defaults__", (None,))
    with pytest.raises(TypeError) as info:
        handle.start_stream("u")
    assert str(info.value) == f"{HANDLE}.start_stream() missing 2 required positional arguments: 'sample_rate' and 'channels'"
    assert str(inspect.signature(cls.start_stream)) == "(self, url, sample_rate, channels, params=None)"


def test_none_defaults_make_every_parameter_required(wa, cm, monkeypatch):
    monkeypatch.setattr(wa.web_audio, "__defaults__", None)
    assert wa.web_audio.__defaults__ is None
    with pytest.raises(TypeError) as ours:
        wa.web_audio()
    ref = plain("web_audio", MODULE_FUNCTIONS["web_audio"])
    ref.__defaults__ = None
    with pytest.raises(TypeError) as theirs:
        ref()
    assert str(ours.value) == str(theirs.value)
    assert "missing 12 required positional arguments" in str(ours.value)
    assert not cm.components


def test_deleting_defaults_clears_them(handle, monkeypatch):
    fn = type(handle).seek
    monkeypatch.setattr(fn, "__defaults__", fn.__defaults__)  # restored afterwards
    del fn.__defaults__
    assert fn.__defaults__ is None
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'seconds'"):
        handle.seek()


@pytest.mark.parametrize("bad", [[0], "0", 0, {"seconds": 0}])
def test_defaults_must_be_a_tuple(handle, bad):
    fn = type(handle).seek
    ref = plain("seek", "self, seconds=0")
    with pytest.raises(TypeError) as ours:
        fn.__defaults__ = bad
    with pytest.raises(TypeError) as theirs:
        ref.__defaults__ = bad
    assert str(ours.value) == str(theirs.value)
    assert fn.__defaults__ == (0,)


# ---------------------------------------------------------------------------
# signatures and help text


def all_callables(wa, handle):
    """(label, our callable, equivalent plain callable) for every public function, method and accessor."""
    out = []
    for name, params in MODULE_FUNCTIONS.items():
        out.append((name, getattr(wa, name), plain(name, params)))
    hcls, wcls = type(handle), wa.AudioStreamWriter
    for name, params in HANDLE_METHODS.items():
        out.append((f"handle.{name}", getattr(hcls, name), plain(name, params)))
    for name in HANDLE_PROPERTIES:
        prop = vars(hcls)[name]
        out.append((f"handle.{name}.fget", prop.fget, plain(name, "self")))
        out.append((f"handle.{name}.fset", prop.fset, plain(name, "self, value")))
    for name, params in WRITER_METHODS.items():
        out.append((f"writer.{name}", getattr(wcls, name), plain(name, params)))
    for name, settable in WRITER_PROPERTIES.items():
        prop = vars(wcls)[name]
        out.append((f"writer.{name}.fget", prop.fget, plain(name, "self")))
        if settable:
            out.append((f"writer.{name}.fset", prop.fset, plain(name, "self, value")))
    return out


def test_signatures_equal_those_of_plain_functions(wa, handle):
    for label, ours, ref in all_callables(wa, handle):
        assert inspect.signature(ours) == inspect.signature(ref), label
        assert inspect.getfullargspec(ours) == inspect.getfullargspec(ref), label


def test_bound_method_signatures_drop_self(wa, handle):
    ref = plain_instance(HANDLE_METHODS, HANDLE)
    for name in HANDLE_METHODS:
        if name != "__init__":
            assert inspect.signature(getattr(handle, name)) == inspect.signature(getattr(ref, name)), name
    assert str(inspect.signature(type(handle))) == "(res)"
    assert str(inspect.signature(wa.AudioStreamWriter)) == "(player)"


def test_signature_follows_defaults_assignment(handle, monkeypatch):
    fn = type(handle).stream_from_url
    monkeypatch.setattr(fn, "__defaults__", (1, 2, 3, 4, 5, 6))
    assert str(inspect.signature(fn)) == (
        "(self, url, sample_rate=1, channels=2, skip_wav_header=3, chunk_callback=4, progress_callback=5, "
        "push_to_frontend=6)"
    )


def _doc_body(obj) -> list[str]:
    # The first line names the kind of object ("function web_audio" for a Python function);
    # everything after it is the documentation proper.
    return pydoc.render_doc(obj, renderer=pydoc.plaintext).splitlines()[1:]


def test_help_shows_signature_and_docstring_of_module_functions(wa):
    for name, params in MODULE_FUNCTIONS.items():
        ours = getattr(wa, name)
        assert _doc_body(ours) == _doc_body(plain(name, params, doc=ours.__doc__)), name
    text = pydoc.render_doc(wa.web_audio, renderer=pydoc.plaintext)
    flat = re.sub(r"\s+", "", text)  # newer pydoc wraps long signatures over several lines
    assert "web_audio(src='',minimal=True," in flat and "visible=True,**kwargs)" in flat
    assert "    基于 Web Audio API 的音频播放器" in text


def test_help_of_handle_class_equals_that_of_a_plain_class(wa, handle):
    cls = type(handle)
    ns = {"__module__": MODULE, "__qualname__": HANDLE}
    for name in vars(cls):
        if name in ("__module__", "__doc__"):
            continue
        member = vars(cls)[name]
        if isinstance(member, property):
            getter = plain(name, "self", f"{HANDLE}.{name}", member.fget.__doc__)
            setter = plain(name, "self, value", f"{HANDLE}.{name}", member.fset.__doc__)
            ns[name] = property(getter).setter(setter)
        else:
            ns[name] = plain(name, HANDLE_METHODS[name], f"{HANDLE}.{name}", member.__doc__)
    ref = type("WebAudioProps", (props,), ns)
    assert pydoc.render_doc(cls, renderer=pydoc.plaintext) == pydoc.render_doc(ref, renderer=pydoc.plaintext)


def test_help_of_module_lists_the_surface(wa):
    text = re.sub(r"\s+", "", pydoc.render_doc(wa, renderer=pydoc.plaintext))
    assert "url_type(url)" in text
    assert "finish(self,output_file=None,normalize=True,normalize_target=30000)" in text
    assert "web_audio(src=''" in text


# ---------------------------------------------------------------------------
# argument errors


def _error(fn, args, kwargs):
    try:
        fn(*args, **kwargs)
    except TypeError as exc:
        return str(exc)
    return None


EXPLICIT_SHAPES = [
    ("web_audio", tuple(range(13)), {}),
    ("web_audio", ("a",), {"src": "b"}),
    ("web_audio", ("a", True), {"minimal": 1, "extra": 2}),
    ("url_type", (), {}),
    ("url_type", ("a", "b"), {}),
    ("url_type", (), {"uri": "a"}),
    ("url_type", ("a",), {"url": "b"}),
]


@pytest.mark.parametrize("name, args, kwargs", EXPLICIT_SHAPES)
def test_module_function_argument_errors(wa, cm, name, args, kwargs):
    ours = _error(getattr(wa, name), args, kwargs)
    theirs = _error(plain(name, MODULE_FUNCTIONS[name]), args, kwargs)
    assert theirs is not None
    assert ours == theirs


def test_method_argument_errors_count_self(handle):
    ref = plain_instance(HANDLE_METHODS, HANDLE)
    cases = [
        ("play", (1,), {}),
        ("seek", (1, 2), {}),
        ("seek", (1,), {"seconds": 2}),
        ("setSrc", (), {}),
        ("send_audio_metadata", (), {}),
        ("send_audio_metadata", (1,), {"bogus": 2}),
        ("start_stream", (), {}),
        ("start_stream", (1, 2, 3, 4, 5), {}),
        ("stream_from_url", (), {"sample_rate": 1, "channels": 2}),
        ("on_play", (), {}),
        ("on_play", (1, 2), {}),
        ("on_play", (), {"cb": 1}),
    ]
    for name, args, kwargs in cases:
        theirs = _error(getattr(ref, name), args, kwargs)
        assert theirs is not None and theirs.startswith(f"{HANDLE}.{name}()"), theirs
        assert _error(getattr(handle, name), args, kwargs) == theirs, (name, args, kwargs)
    # through the class, `self` is an ordinary parameter
    assert _error(type(handle).play, (), {}) == f"{HANDLE}.play() missing 1 required positional argument: 'self'"
    assert _error(type(handle).play, (handle,), {"self": handle}) == f"{HANDLE}.play() got multiple values for argument 'self'"


def test_non_string_keywords_are_refused(wa):
    assert _error(wa.url_type, (), {1: 2}) == _error(plain("url_type", "url"), (), {1: 2})


class _Refused(Exception):
    pass


class _AnyId(dict):
    """components that hold a record under every id (so any handle id set by __init__ resolves)."""

    def __missing__(self, key):
        return {"content": {"src": "", "options": {}}, "handlers": {}}


class _Manager:
    def __init__(self):
        self.components = _AnyId()

    def add_component(self, kind, content=None, handlers=None):
        return "fake"


def _refuse(*args, **kwargs):
    raise _Refused


# Running these with made-up arguments would touch files: only their argument errors are compared.
_DO_NOT_RUN = {"writer.finish", "writer.set_output_file"}


@settings(max_examples=int(os.environ.get("BINDING_FUZZ_EXAMPLES", "400")), deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_argument_binding_matches_python(wa, data):
    manager = _Manager()
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(wa, "getcm", lambda: manager)
        mp.setattr(wa, "send_message", lambda action, payload: None)
        mp.setattr(wa, "send_binary_message", lambda frame: None)
        mp.setattr(wa, "convertPath2Url", str)
        mp.setattr(requests, "get", _refuse)
        handle = wa.web_audio()
        writer = wa.AudioStreamWriter(handle)
        targets = {f"{n}": (getattr(wa, n), plain(n, p), None) for n, p in MODULE_FUNCTIONS.items()}
        for group, cls, obj, methods in (
            ("handle", type(handle), handle, HANDLE_METHODS),
            ("writer", wa.AudioStreamWriter, writer, WRITER_METHODS),
        ):
            qual = HANDLE if group == "handle" else "AudioStreamWriter"
            for n, p in methods.items():
                targets[f"{group}.{n}"] = (getattr(cls, n), plain(n, p, f"{qual}.{n}"), obj)

        label = data.draw(st.sampled_from(sorted(targets)), label="callable")
        ours, ref, obj = targets[label]
        names = list(inspect.signature(ref).parameters)
        names = [n for n in names if n != "kwargs"]
        bound = obj is not None and data.draw(st.booleans(), label="bound")
        if bound:
            ours, ref = ours.__get__(obj), ref.__get__(obj)
            names = names[1:]
        npos = data.draw(st.integers(0, len(names) + 2), label="npos")
        keywords = data.draw(
            st.lists(st.sampled_from(names + ["bogus", "kwargs", "self"]), unique=True, max_size=len(names) + 2),
            label="keywords",
        )

        def value(name):
            return obj if name == "self" else 1

        args = tuple(obj if (i == 0 and obj is not None and not bound) else 1 for i in range(npos))
        kwargs = {k: value(k) for k in keywords}
        expected = _error(ref, args, kwargs)
        if expected is None:
            if label in _DO_NOT_RUN:
                return
            try:
                ours(*args, **kwargs)
            except Exception as exc:  # the body may reject made-up values; the binder must not
                assert not (isinstance(exc, TypeError) and re.match(r"^[\w.<>]+\(\) ", str(exc))), (label, args, kwargs, exc)
        else:
            assert _error(ours, args, kwargs) == expected, (label, args, kwargs)


# ---------------------------------------------------------------------------
# garbage collection of the per-call classes


def test_handle_classes_are_collected(wa, cm):
    class_refs, function_refs = [], []
    for i in range(10_000):
        player = wa.web_audio()
        class_refs.append(weakref.ref(type(player)))
        if i % 100 == 0:
            function_refs.append(weakref.ref(vars(type(player))["__init__"]))
            function_refs.append(weakref.ref(vars(type(player))["volume"].fset))
        cm.remove_component(player.id)
    del player
    gc.collect()
    alive = sum(ref() is not None for ref in class_refs)
    assert alive == 0, f"{alive} of 10000 handle classes survived"
    assert all(ref() is None for ref in function_refs)


def test_writer_and_handle_collected_together(wa, cm):
    player = wa.web_audio()
    writer = player.stream_writer()
    cls_ref, writer_ref = weakref.ref(type(player)), weakref.ref(writer)
    cm.remove_component(player.id)
    del player, writer
    gc.collect()
    assert cls_ref() is None and writer_ref() is None


# ---------------------------------------------------------------------------
# super() comes from the defining class


def test_subclass_overriding_init_calls_super(wa, cm):
    handle = wa.web_audio()
    seen = []

    class Child(type(handle)):
        def __init__(self, res):
            seen.append(res)
            super().__init__(res)

    child = Child(handle.id)
    assert seen == [handle.id]
    assert child.id == handle.id
    assert child._WebAudioProps__audio == ""
    assert child.volume == 1.0


def test_cooperative_init_follows_the_instance_mro(wa, cm):
    handle = wa.web_audio()
    seen = []

    class Mixin(props):
        def __init__(self, res):
            seen.append(("mixin", res))
            super().__init__(res)

    class Both(type(handle), Mixin):
        pass

    both = Both(handle.id)
    assert seen == [("mixin", handle.id)]
    assert both.id == handle.id and both._WebAudioProps__audio == ""


def test_calling_init_through_the_class_on_a_subclass_instance(wa, cm):
    handle = wa.web_audio()
    cls = type(handle)

    class Child(cls):
        def __init__(self, res):
            cls.__init__(self, res)

    child = Child("x")
    assert child.id == "x" and child._WebAudioProps__audio == ""


def test_init_outside_its_class_fails_as_python_super_does(wa, cm):
    handle = wa.web_audio()

    class PlainHandle(props):
        def __init__(self, res):
            super().__init__(res)

    class Stranger(props):
        __init__ = type(handle).__init__

    class PlainStranger(props):
        __init__ = PlainHandle.__init__

    with pytest.raises(TypeError) as ours:
        Stranger("x")
    with pytest.raises(TypeError) as theirs:
        PlainStranger("x")
    # newer Pythons name the two classes in the message; the classes differ by name here
    assert re.sub(r"\([^)]*\)", "()", str(ours.value)) == re.sub(r"\([^)]*\)", "()", str(theirs.value))
    other = wa.web_audio()
    with pytest.raises(TypeError):
        type(handle).__init__(other, "x")  # another player's class is not a subclass of this one


# ---------------------------------------------------------------------------
# module globals are looked up at call time


@pytest.fixture
def namespace_order(wa):
    """Puts the module's names back in their binding order after a test deleted and restored one."""
    namespace = vars(wa)
    order = list(namespace)
    yield
    for name in order:
        if name in namespace:
            namespace[name] = namespace.pop(name)


def test_patched_send_message_is_used(wa, handle, recorder, monkeypatch):
    calls = []
    monkeypatch.setattr(wa, "send_message", lambda action, data: calls.append((action, data)))
    handle.play()
    assert calls == [("call_method", {"cid": handle.id, "method": "play"})]
    assert recorder.sent == []


def test_patched_host_names_are_used(wa, cm, monkeypatch):
    class Manager:
        components = {}

        def add_component(self, kind, content=None, handlers=None):
            self.components["m1"] = {"content": content, "handlers": handlers}
            return "m1"

    class Base(props):
        pass

    manager = Manager()
    frames = []
    monkeypatch.setattr(wa, "getcm", lambda: manager)
    monkeypatch.setattr(wa, "convertPath2Url", lambda path: f"converted:{path}")
    monkeypatch.setattr(wa, "props", Base)
    monkeypatch.setattr(wa, "send_binary_message", frames.append)
    monkeypatch.setattr(wa, "urlparse", lambda url: type("P", (), {"scheme": "http"})())
    h = wa.web_audio("a.wav")
    assert type(h).__bases__ == (Base,)
    assert manager.components["m1"]["content"]["src"] == "converted:a.wav"
    h.stream_binary(b"xy")
    assert frames == [b"xy"]
    assert wa.url_type("anything") == "http/https"
    assert not cm.components


def test_deleted_global_raises_name_error_then_falls_back_to_builtins(wa, handle, namespace_order, monkeypatch):
    monkeypatch.delattr(wa, "send_message")
    with pytest.raises(NameError) as info:
        handle.play()
    assert str(info.value) == "name 'send_message' is not defined"
    calls = []
    monkeypatch.setattr(builtins, "send_message", lambda action, data: calls.append(action), raising=False)
    handle.play()
    assert calls == ["call_method"]


def test_patched_writer_class_is_used_by_stream_writer(wa, handle, monkeypatch):
    class Writer:
        def __init__(self, player):
            self.player = player

    monkeypatch.setattr(wa, "AudioStreamWriter", Writer)
    writer = handle.stream_writer()
    assert type(writer) is Writer and writer.player is handle


def test_every_change_to_the_namespace_takes_effect_at_the_next_call(wa, handle, recorder, namespace_order, monkeypatch):
    # Warm look-ups first, then change the namespace behind them in each way Python code can.
    handle.play()
    namespace = vars(wa)
    real = namespace["send_message"]
    calls = []
    monkeypatch.setitem(namespace, "send_message", lambda action, data: calls.append("item"))
    handle.play()
    setattr(wa, "send_message", lambda action, data: calls.append("attr"))
    handle.play()
    exec("global send_message\nsend_message = lambda action, data, c=calls: c.append('exec')", namespace, {"calls": calls})
    handle.play()
    namespace.update(send_message=lambda action, data: calls.append("update"))
    handle.play()
    del namespace["send_message"]
    with pytest.raises(NameError):
        handle.play()
    namespace["send_message"] = real
    handle.play()
    assert calls == ["item", "attr", "exec", "update"]
    assert len(recorder.sent) == 2  # the real send_message, before and after


def test_builtins_stand_behind_the_namespace_as_they_change(wa, cm, tmp_path, namespace_order, monkeypatch):
    opened = []
    real_open = builtins.open

    def tracking_open(*args):
        opened.append(args[0])
        return real_open(*args)

    writer = wa.web_audio().stream_writer()
    writer.set_output_file(str(tmp_path / "a.pcm"))  # warms the look-up of the builtin open
    monkeypatch.setattr(builtins, "open", tracking_open)
    writer.set_output_file(str(tmp_path / "b.pcm"))
    monkeypatch.setattr(wa, "open", lambda *args: opened.append(("module", args[0])) or real_open(*args), raising=False)
    writer.set_output_file(str(tmp_path / "c.pcm"))
    monkeypatch.delattr(wa, "open")
    writer.set_output_file(str(tmp_path / "d.pcm"))
    writer.finish()
    assert opened == [str(tmp_path / "b.pcm"), ("module", str(tmp_path / "c.pcm")), str(tmp_path / "d.pcm")]


def test_a_global_from_the_builtins_follows_the_calling_frames_builtins(wa, handle, namespace_order, monkeypatch):
    seen = []
    monkeypatch.delattr(wa, "send_message")
    monkeypatch.setattr(builtins, "send_message", lambda action, data: seen.append("builtins"), raising=False)
    handle.play()
    other = {"send_message": lambda action, data: seen.append("other"), "__import__": builtins.__import__}
    exec("handle.play()", {"__builtins__": other, "handle": handle})
    handle.play()
    assert seen == ["builtins", "other", "builtins"]


# ---------------------------------------------------------------------------
# attributes, repr, copying


def test_function_dict(wa, handle, monkeypatch):
    fn = type(handle).play
    assert fn.__dict__ == {}
    fn.marker = 1
    assert vars(fn) == {"marker": 1} and fn.marker == 1
    other = type(wa.web_audio()).play
    assert not hasattr(other, "marker")  # each class has its own function objects
    fn.__dict__ = {"a": 2}
    assert fn.a == 2
    with pytest.raises(TypeError):
        fn.__dict__ = 5
    monkeypatch.setattr(wa.url_type, "tag", "t", raising=False)
    assert wa.url_type.tag == "t"


def test_name_and_qualname_are_writable_strings(handle):
    fn = type(handle).pause
    ref = plain("pause", "self")
    for attr in ("__name__", "__qualname__"):
        with pytest.raises(TypeError) as ours:
            setattr(fn, attr, 5)
        with pytest.raises(TypeError) as theirs:
            setattr(ref, attr, 5)
        assert str(ours.value) == str(theirs.value)
    fn.__qualname__ = "Renamed.pause"
    with pytest.raises(TypeError, match=r"^Renamed\.pause\(\) takes 1 positional argument but 2 were given$"):
        handle.pause(1)


def test_repr(wa, handle):
    fn = type(handle).play
    assert repr(fn) == f"<function {HANDLE}.play at {id(fn):#x}>"
    assert re.fullmatch(r"<function url_type at 0x[0-9a-f]+>", repr(wa.url_type))
    assert repr(handle.play).startswith(f"<bound method {HANDLE}.play of <{MODULE}.{HANDLE} object at 0x")


def test_weak_references(wa):
    ref = weakref.ref(wa.web_audio)
    assert ref() is wa.web_audio


def test_copy_returns_the_function_itself(wa, handle):
    for fn in (wa.url_type, wa.web_audio, type(handle).play, wa.AudioStreamWriter.write):
        assert copy.copy(fn) is fn
        assert copy.deepcopy(fn) is fn
        assert copy.deepcopy({"cb": fn})["cb"] is fn


def test_pickle_by_reference(wa, handle):
    for fn in (wa.url_type, wa.web_audio, wa.AudioStreamWriter.finish):
        assert pickle.loads(pickle.dumps(fn)) is fn
    local = type(handle).play
    with pytest.raises((pickle.PicklingError, AttributeError)):
        pickle.dumps(local)  # a function defined inside web_audio cannot be pickled, as in Python


def test_annotations_as_for_unannotated_functions(wa, handle):
    for fn in (wa.url_type, wa.web_audio, type(handle).seek):
        assert fn.__annotations__ == {}
        assert fn.__kwdefaults__ is None
        assert typing.get_type_hints(fn) == {}
