"""The player: factory, URL classification, option properties, commands, callbacks and the stream channel."""

from __future__ import annotations

import math

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vt_core.utils
from vt_core.component import props

EVENTS = ["web-audio-play", "web-audio-pause", "web-audio-ended", "web-audio-error"]
FIXED_KEYS = ["minimal", "showWave", "streamMode", "streamUrl", "visualizerType", "visualizerColor", "visible"]


class Boom(Exception):
    """Raised by the stand-in host where a test asks for a failure."""


class FakeHost:
    """Stands in for the five host names and records every call into them, in order.

    ``calls`` holds tuples (name, *arguments) with the very objects the module passed.
    ``fail[name] = exc`` makes that host call raise ``exc`` (after it is recorded).
    """

    def __init__(self, wa, monkeypatch):
        self.calls: list[tuple] = []
        self.fail: dict[str, BaseException] = {}
        self.components: dict = {}
        host = self

        class Manager:
            @property
            def components(self):
                return host.components

            def add_component(self, *args, **kwargs):
                host.enter("add_component", args, kwargs)
                cid = f"f{len(host.components) + 1}"
                host.components[cid] = {"kind": args[0], "content": kwargs["content"], "handlers": kwargs["handlers"]}
                return cid

        class Props(props):
            def __init__(self, res):
                host.enter("props.__init__", res)
                super().__init__(res)

            def update_cm(self):
                options = host.components[self.id]["content"]["options"]
                host.enter("update_cm", self.id, dict(options))

        self.manager = Manager()
        self.Props = Props
        monkeypatch.setattr(wa, "getcm", self.getcm)
        monkeypatch.setattr(wa, "send_message", self.send_message)
        monkeypatch.setattr(wa, "send_binary_message", self.send_binary_message)
        monkeypatch.setattr(wa, "convertPath2Url", self.convertPath2Url)
        monkeypatch.setattr(wa, "props", Props)

    def enter(self, name, *args):
        self.calls.append((name, *args))
        if name in self.fail:
            raise self.fail[name]

    def getcm(self):
        self.enter("getcm")
        return self.manager

    def send_message(self, *args):
        self.enter("send_message", *args)

    def send_binary_message(self, *args):
        self.enter("send_binary_message", *args)

    def convertPath2Url(self, *args):
        self.enter("convertPath2Url", *args)
        return f"url:{args[0]}"

    def names(self):
        return [c[0] for c in self.calls]

    def sent(self):
        return [c[1:] for c in self.calls if c[0] == "send_message"]

    def options(self, handle):
        return self.components[handle.id]["content"]["options"]


@pytest.fixture
def host(wa, monkeypatch):
    return FakeHost(wa, monkeypatch)


@pytest.fixture
def player(wa, cm):
    return wa.web_audio()


def options_of(cm, handle):
    return cm.components[handle.id]["content"]["options"]


def kinds(recorder):
    """The order of publications: ("update", options) and ("message", action, method-or-action)."""
    out = []
    for m in recorder.messages:
        if m[0] == "update":
            out.append(("update",))
        elif m[0] == "message":
            action, data = m[1], m[2]
            out.append(("message", action, data.get("method", data.get("action"))))
        elif m[0] == "binary":
            out.append(("binary",))
    return out


# ---------------------------------------------------------------------------
# factory


class TestFactory:
    def test_no_arguments(self, wa, host):
        h = wa.web_audio()
        assert host.names() == ["getcm", "add_component", "props.__init__"]
        _, args, kwargs = host.calls[1]
        assert args == ("web_audio",)
        assert list(kwargs) == ["content", "handlers"]
        assert kwargs["content"] == {
            "src": "",
            "options": {
                "minimal": True,
                "showWave": False,
                "streamMode": False,
                "streamUrl": "",
                "visualizerType": "waveform",
                "visualizerColor": "#1976D2",
                "visible": True,
            },
        }
        assert list(kwargs["content"]) == ["src", "options"]
        assert list(kwargs["content"]["options"]) == FIXED_KEYS
        assert kwargs["handlers"] == {} and type(kwargs["handlers"]) is dict
        assert host.calls[2] == ("props.__init__", "f1")
        assert h.id == "f1"

    def test_registers_with_the_real_manager(self, wa, cm, recorder):
        h = wa.web_audio("/tmp/a.wav", stream_url="http://h/live", label="L")
        record = cm.components[h.id]
        assert record["kind"] == "web_audio"
        assert record["content"]["src"] == vt_core.utils.convertPath2Url("/tmp/a.wav")
        assert record["content"]["options"]["streamUrl"] == "http://h/live"
        assert record["handlers"] == {}
        assert recorder.messages == [("add", h.id, "web_audio", record["content"])]

    def test_all_twelve_positionally(self, wa, host):
        cbs = [lambda: 1, lambda: 2, lambda: 3, lambda: 4]
        h = wa.web_audio("a.wav", False, True, True, "s.url", "spectrum", "#fff", *cbs, False)
        content, handlers = host.calls[3][2]["content"], host.calls[3][2]["handlers"]
        assert host.names() == ["convertPath2Url", "convertPath2Url", "getcm", "add_component", "props.__init__"]
        assert host.calls[0] == ("convertPath2Url", "a.wav") and host.calls[1] == ("convertPath2Url", "s.url")
        assert content == {
            "src": "url:a.wav",
            "options": {
                "minimal": False,
                "showWave": True,
                "streamMode": True,
                "streamUrl": "url:s.url",
                "visualizerType": "spectrum",
                "visualizerColor": "#fff",
                "visible": False,
            },
        }
        assert list(handlers) == EVENTS and list(handlers.values()) == cbs
        assert h.id in host.components

    def test_values_are_stored_unchanged(self, wa, host):
        marker = object()
        wa.web_audio(minimal=marker, show_wave=0, stream_mode="yes", visualizer_type=3, visible=None)
        options = host.calls[1][2]["content"]["options"]
        assert options["minimal"] is marker and options["showWave"] == 0 and options["streamMode"] == "yes"
        assert options["visualizerType"] == 3 and options["visible"] is None

    @pytest.mark.parametrize("falsy", ["", None, 0, False, b""])
    def test_false_sources_are_not_converted(self, wa, host, falsy):
        wa.web_audio(src=falsy, stream_url=falsy)
        assert "convertPath2Url" not in host.names()
        content = host.calls[1][2]["content"]
        assert content["src"] == "" and content["options"]["streamUrl"] == ""

    def test_extra_keywords_become_options_in_order(self, wa, host):
        h = wa.web_audio(label="Voice", block=True, volume=0.5, other=[1])
        options = host.calls[1][2]["content"]["options"]
        assert list(options) == FIXED_KEYS + ["label", "block", "volume", "other", "width"]
        assert options["width"] == "100%" and options["other"] == [1]
        assert h.label == "Voice" and h.volume == 0.5

    def test_show_wave_keyword_overrides_parameter(self, wa, host):
        wa.web_audio(show_wave=False, showWave=True)
        options = host.calls[1][2]["content"]["options"]
        assert options["showWave"] is True
        assert list(options) == FIXED_KEYS

    def test_minimal_keyword_is_a_parameter(self, wa, host):
        wa.web_audio(minimal=False)
        assert host.calls[1][2]["content"]["options"]["minimal"] is False

    @pytest.mark.parametrize(
        "extra, width",
        [({"block": True}, "100%"), ({"block": 1, "width": "50px"}, "50px"), ({"block": False}, None), ({"block": ""}, None)],
    )
    def test_block_and_width(self, wa, host, extra, width):
        wa.web_audio(**extra)
        options = host.calls[1][2]["content"]["options"]
        assert options["block"] == extra["block"]
        assert options.get("width") == width
        if width is None:
            assert "width" not in options

    def test_callers_handler_table_is_used_in_place(self, wa, host):
        custom = object()
        table = {"custom": custom}
        play = lambda: None  # noqa: E731
        h = wa.web_audio(onplay=play, handlers=table)
        kwargs = host.calls[1][2]
        assert kwargs["handlers"] is table
        assert table == {"custom": custom, "web-audio-play": play}
        options = kwargs["content"]["options"]
        assert options["handlers"] is table
        assert list(options) == FIXED_KEYS + ["handlers"]
        assert host.components[h.id]["handlers"] is table

    @pytest.mark.parametrize("value, registered", [(0, False), ("", False), (None, False), ([], False), ("cb", True)])
    def test_callback_truth(self, wa, host, value, registered):
        wa.web_audio(onpause=value, onerror=value)
        handlers = host.calls[1][2]["handlers"]
        assert handlers == ({"web-audio-pause": value, "web-audio-error": value} if registered else {})

    def test_callback_replaces_entry_of_callers_table(self, wa, host):
        table = {"web-audio-ended": "old"}
        wa.web_audio(onended="new", handlers=table)
        assert table == {"web-audio-ended": "new"}

    def test_src_property_reads_empty_after_creation(self, wa, cm):
        h = wa.web_audio("/tmp/song.wav")
        assert cm.components[h.id]["content"]["src"] != ""
        assert h.src == ""

    def test_handle_carries_only_id_and_private_source(self, wa, cm):
        h = wa.web_audio("/tmp/a.wav")
        assert vars(h) == {"id": h.id, "_WebAudioProps__audio": ""}
        assert list(vars(h)) == ["id", "_WebAudioProps__audio"]

    def test_two_calls_two_components(self, wa, cm):
        a, b = wa.web_audio("x"), wa.web_audio("x")
        assert a.id != b.id and {a.id, b.id} <= set(cm.components)
        assert type(a) is not type(b)
        assert type(a).__name__ == type(b).__name__ == "WebAudioProps"
        assert issubclass(type(a), props) and issubclass(type(b), props)

    def test_keyword_args_dict_is_fresh_per_call(self, wa, host):
        extra = {"label": "x"}
        wa.web_audio(**extra)
        assert extra == {"label": "x"}

    def test_argument_errors_happen_before_anything(self, wa, host):
        with pytest.raises(TypeError, match=r"^web_audio\(\) takes from 0 to 12 positional arguments but 13 were given$"):
            wa.web_audio(*range(13))
        with pytest.raises(TypeError, match=r"^web_audio\(\) got multiple values for argument 'src'$"):
            wa.web_audio("a", src="b")
        assert host.calls == []

    # failures: what was done stays done

    def test_convert_failure_on_stream_url_keeps_earlier_changes(self, wa, host):
        table = {}
        host.fail["convertPath2Url"] = Boom()
        with pytest.raises(Boom):
            wa.web_audio(stream_url="s", onplay="cb", handlers=table)
        assert table == {"web-audio-play": "cb"}
        assert host.names() == ["convertPath2Url"] and host.calls[0] == ("convertPath2Url", "s")

    def test_getcm_failure(self, wa, host):
        host.fail["getcm"] = Boom()
        with pytest.raises(Boom):
            wa.web_audio("a")
        assert host.names() == ["convertPath2Url", "getcm"]

    def test_add_component_failure(self, wa, host):
        host.fail["add_component"] = Boom()
        with pytest.raises(Boom):
            wa.web_audio()
        assert host.names() == ["getcm", "add_component"]

    def test_base_init_failure_leaves_component_registered(self, wa, host):
        host.fail["props.__init__"] = Boom()
        with pytest.raises(Boom):
            wa.web_audio()
        assert list(host.components) == ["f1"]

    def test_handler_table_without_item_assignment(self, wa, host):
        with pytest.raises(TypeError, match="'tuple' object does not support item assignment"):
            wa.web_audio(onplay="cb", handlers=())
        assert host.calls == []
        wa.web_audio(handlers=())  # no truthy callback: nothing is assigned, the tuple is passed on
        assert host.calls[1][2]["handlers"] == ()

    def test_props_is_looked_up_at_each_call(self, wa, cm, monkeypatch):
        class Other(props):
            pass

        first = wa.web_audio()
        monkeypatch.setattr(wa, "props", Other)
        second = wa.web_audio()
        assert type(first).__bases__ == (props,)
        assert type(second).__bases__ == (Other,)


# ---------------------------------------------------------------------------
# url_type


class TestUrlType:
    @pytest.mark.parametrize(
        "url, kind",
        [
            ("https://example.com/a.wav", "http/https"),
            ("HTTPS://EXAMPLE.COM/A.WAV", "http/https"),
            ("http://h", "http/https"),
            ("http:path/a.wav", "http/https"),
            ("file:///tmp/a.wav", "file"),
            ("relative/a.wav", "file"),
            ("/abs/a.wav", "file"),
            ("", "file"),
            ("C:\\music\\a.wav", "file"),
            ("ftp://h/a.wav", "file"),
            ("data:audio/wav;base64,AAAA", "file"),
            ("blob:https://h/uuid", "file"),
            ("ws://h/s", "file"),
            ("httpx://h", "file"),
            (b"http://h/a", "file"),
        ],
    )
    def test_classification(self, wa, url, kind):
        assert wa.url_type(url) == kind
        assert wa.url_type(url=url) == kind

    def test_results_are_plain_strings(self, wa):
        assert type(wa.url_type("http://h")) is str and type(wa.url_type("x")) is str

    def test_parser_errors_propagate(self, wa):
        import urllib.parse

        for bad in (1, object()):
            with pytest.raises(Exception) as ours:
                wa.url_type(bad)
            with pytest.raises(Exception) as theirs:
                urllib.parse.urlparse(bad)
            assert type(ours.value) is type(theirs.value) and str(ours.value) == str(theirs.value)

    def test_parses_once_and_compares_in_order(self, wa, monkeypatch):
        seen = []

        class Scheme:
            def __eq__(self, other):
                seen.append(other)
                return other == "https"

            __hash__ = object.__hash__

        class Parsed:
            reads = 0

            @property
            def scheme(self):
                Parsed.reads += 1
                return Scheme()

        calls = []
        monkeypatch.setattr(wa, "urlparse", lambda *a, **k: calls.append((a, k)) or Parsed())
        assert wa.url_type("u") == "http/https"
        assert calls == [(("u",), {})]
        assert Parsed.reads == 1
        assert seen == ["http", "https"]

    def test_comparison_errors_propagate(self, wa, monkeypatch):
        class Scheme:
            def __eq__(self, other):
                raise Boom

            __hash__ = object.__hash__

        monkeypatch.setattr(wa, "urlparse", lambda url: type("P", (), {"scheme": Scheme()})())
        with pytest.raises(Boom):
            wa.url_type("u")


# ---------------------------------------------------------------------------
# option properties


class TestProperties:
    READ_DEFAULTS = {
        "src": "",
        "stream_url": "",
        "stream_mode": False,
        "show_wave": False,
        "volume": 1.0,
        "minimal": True,
        "label": "",
    }
    KEYS = {
        "src": "src",
        "stream_url": "streamUrl",
        "stream_mode": "streamMode",
        "show_wave": "showWave",
        "volume": "volume",
        "minimal": "minimal",
        "label": "label",
    }

    def test_fresh_player(self, player):
        assert (player.src, player.stream_url, player.stream_mode, player.show_wave) == ("", "", False, False)
        assert (player.volume, player.minimal, player.label) == (1.0, True, "")
        assert type(player.volume) is float

    def test_read_defaults_when_keys_are_absent(self, player, cm):
        options_of(cm, player).clear()
        for name, default in self.READ_DEFAULTS.items():
            value = getattr(player, name)
            assert value == default and type(value) is type(default), name
        assert options_of(cm, player) == {}  # reading creates nothing

    def test_reads_return_stored_objects_unconverted(self, player, cm):
        options = options_of(cm, player)
        for name, key in self.KEYS.items():
            marker = object()
            options[key] = marker
            assert getattr(player, name) is marker, name

    def test_reads_use_the_options_get(self, player, cm):
        calls = []

        class Options(dict):
            def get(self, *args):
                calls.append(args)
                return "got"

        cm.components[player.id]["content"]["options"] = Options()
        assert player.volume == "got" and player.label == "got"
        assert calls == [("volume", 1.0), ("label", "")]

    def test_reads_look_the_record_up_each_time(self, wa, host):
        h = wa.web_audio()
        host.calls.clear()
        h.volume
        h.volume
        assert host.names() == ["getcm", "getcm"]
        host.components[h.id] = {"content": {"options": {"volume": 0.25}}}
        assert h.volume == 0.25

    @pytest.mark.parametrize(
        "name, value, stored",
        [
            ("stream_mode", "x", True),
            ("stream_mode", 0, False),
            ("show_wave", None, False),
            ("show_wave", [1], True),
            ("minimal", "no", True),
            ("minimal", 0, False),
            ("label", 3, "3"),
            ("label", None, "None"),
            ("volume", 5, 5.0),
            ("volume", True, 1.0),
            ("volume", "0.5", 0.5),
            ("volume", -2, -2.0),
            ("volume", "inf", math.inf),
        ],
    )
    def test_setter_conversions(self, player, cm, recorder, name, value, stored):
        setattr(player, name, value)
        got = options_of(cm, player)[self.KEYS[name]]
        assert got == stored and type(got) is type(stored)
        assert getattr(player, name) == stored
        assert recorder.updates == [(player.id, cm.components[player.id]["content"])]

    def test_label_str_subclass_is_stored_as_str(self, player, cm):
        class Name(str):
            def __str__(self):
                return "converted"

        player.label = Name("raw")
        assert options_of(cm, player)["label"] == "converted"
        assert type(options_of(cm, player)["label"]) is str
        text = "exact"
        player.label = text
        assert options_of(cm, player)["label"] is text

    def test_volume_float_subclass_is_converted(self, player, cm):
        class Level(float):
            pass

        player.volume = Level(0.3)
        assert type(options_of(cm, player)["volume"]) is float

    def test_volume_nan_is_stored_and_sent(self, player, cm, recorder):
        player.volume = float("nan")
        assert math.isnan(options_of(cm, player)["volume"])
        assert math.isnan(recorder.sent[0][1]["volume"])

    def test_volume_update_then_set_volume(self, player, cm, recorder):
        player.volume = 5
        assert kinds(recorder) == [("update",), ("message", "call_method", "setVolume")]
        action, payload = recorder.sent[0]
        assert payload == {"cid": player.id, "method": "setVolume", "volume": 5.0}
        assert list(payload) == ["cid", "method", "volume"] and type(payload["volume"]) is float
        assert recorder.updates[0][1]["options"]["volume"] == 5.0  # published before the command

    def test_volume_is_converted_twice(self, player, cm, recorder):
        conversions = []

        class Level:
            def __float__(self):
                conversions.append(1)
                return 0.75

        player.volume = Level()
        assert len(conversions) == 2
        assert options_of(cm, player)["volume"] == 0.75 and recorder.sent[0][1]["volume"] == 0.75

    @pytest.mark.parametrize("bad, error", [("loud", ValueError), (object(), TypeError), ([1], TypeError)])
    def test_volume_conversion_failure_changes_nothing(self, wa, host, bad, error):
        h = wa.web_audio()
        host.calls.clear()
        before = dict(host.options(h))
        with pytest.raises(error):
            h.volume = bad
        assert host.calls == [] and host.options(h) == before

    def test_truth_test_failure_changes_nothing(self, wa, host):
        class Undecided:
            def __bool__(self):
                raise Boom

        h = wa.web_audio()
        host.calls.clear()
        for name in ("stream_mode", "show_wave", "minimal", "stream_url", "src"):
            with pytest.raises(Boom):
                setattr(h, name, Undecided())
        assert host.calls == []

    @pytest.mark.parametrize("name", ["src", "stream_url"])
    def test_url_setters_convert_truthy_values(self, wa, host, name):
        h = wa.web_audio()
        host.calls.clear()
        setattr(h, name, "a.wav")
        assert host.calls[0] == ("convertPath2Url", "a.wav")
        assert host.options(h)[self.KEYS[name]] == "url:a.wav"
        assert getattr(h, name) == "url:a.wav"

    @pytest.mark.parametrize("name", ["src", "stream_url"])
    @pytest.mark.parametrize("falsy", ["", None, False, 0])
    def test_url_setters_store_empty_for_false_values(self, wa, host, name, falsy):
        h = wa.web_audio()
        host.calls.clear()
        setattr(h, name, falsy)
        assert "convertPath2Url" not in host.names()
        assert host.options(h)[self.KEYS[name]] == ""

    def test_stream_url_host_calls(self, wa, host):
        h = wa.web_audio()
        host.calls.clear()
        h.stream_url = "live"
        assert host.names() == ["convertPath2Url", "getcm", "update_cm"]
        assert host.calls[2] == ("update_cm", h.id, {**host.options(h)})

    def test_src_setter_order(self, wa, host):
        h = wa.web_audio()
        host.calls.clear()
        h.src = "a.wav"
        assert host.names() == ["convertPath2Url", "getcm", "update_cm", "send_message"]
        assert host.calls[2][2]["src"] == "url:a.wav"  # published with the new value
        assert host.sent() == [("call_method", {"cid": h.id, "method": "reload"})]
        assert h._WebAudioProps__audio == "a.wav"  # the unconverted value

    def test_src_setter_through_the_real_host(self, player, cm, recorder, tmp_path):
        path = str(tmp_path / "a.wav")
        player.src = path
        assert kinds(recorder) == [("update",), ("message", "call_method", "reload")]
        assert options_of(cm, player)["src"] == vt_core.utils.convertPath2Url(path)
        assert player._WebAudioProps__audio == path
        assert player.src == vt_core.utils.convertPath2Url(path)
        assert player._WebAudioProps__audio == player.src  # the read is remembered

    @pytest.mark.parametrize("falsy", ["", None])
    def test_src_setter_with_false_value_still_reloads(self, player, cm, recorder, falsy):
        player.src = falsy
        assert options_of(cm, player)["src"] == ""
        assert player._WebAudioProps__audio is falsy
        assert kinds(recorder) == [("update",), ("message", "call_method", "reload")]

    def test_src_getter_remembers_the_value_it_read(self, player, cm):
        marker = object()
        options_of(cm, player)["src"] = marker
        assert player.src is marker
        assert player._WebAudioProps__audio is marker

    def test_src_setter_calls_the_handles_reload(self, player, cm, recorder, monkeypatch):
        calls = []
        monkeypatch.setattr(type(player), "reload", lambda self: calls.append(self))
        player.src = "http://h/a.wav"
        assert calls == [player]
        assert kinds(recorder) == [("update",)]

    def test_update_failure_stops_the_setters(self, wa, host):
        h = wa.web_audio()
        host.fail["update_cm"] = Boom()
        host.calls.clear()
        with pytest.raises(Boom):
            h.src = "a.wav"
        assert host.options(h)["src"] == "url:a.wav"  # written, not published
        assert h._WebAudioProps__audio == ""
        with pytest.raises(Boom):
            h.volume = 0.5
        assert host.options(h)["volume"] == 0.5
        assert host.sent() == []

    def test_src_reload_failure(self, wa, host):
        h = wa.web_audio()
        host.fail["send_message"] = Boom()
        with pytest.raises(Boom):
            h.src = "a.wav"
        assert host.options(h)["src"] == "url:a.wav"
        assert "update_cm" in host.names()
        assert h._WebAudioProps__audio == "a.wav"

    def test_volume_send_failure(self, wa, host):
        h = wa.web_audio()
        host.fail["send_message"] = Boom()
        host.calls.clear()
        with pytest.raises(Boom):
            h.volume = 2
        assert host.names() == ["getcm", "update_cm", "send_message"]
        assert host.options(h)["volume"] == 2.0

    def test_setters_return_none(self, player):
        cls = type(player)
        for name in self.KEYS:
            assert vars(cls)[name].fset(player, "1") is None

    def test_no_deleter(self, player):
        with pytest.raises(AttributeError):
            del player.volume

    @pytest.mark.parametrize("name", ["src", "stream_url", "stream_mode", "show_wave", "volume", "minimal", "label"])
    def test_removed_component_raises_key_error(self, player, cm, recorder, name):
        cm.remove_component(player.id)
        recorder.clear()
        with pytest.raises(KeyError) as info:
            getattr(player, name)
        assert info.value.args == (player.id,)
        with pytest.raises(KeyError):
            setattr(player, name, "1")
        assert recorder.messages == []

    def test_conversion_runs_before_lookup(self, player, cm):
        cm.remove_component(player.id)
        with pytest.raises(ValueError):
            player.volume = "loud"

    def test_lookup_failures_propagate(self, wa, host):
        h = wa.web_audio()
        host.components[h.id] = {"content": {}}
        with pytest.raises(KeyError, match="options"):
            h.label
        host.fail["getcm"] = Boom()
        with pytest.raises(Boom):
            h.label = "x"


# ---------------------------------------------------------------------------
# playback commands


class TestCommands:
    @pytest.mark.parametrize("name, method", [("play", "play"), ("pause", "pause"), ("stop", "close_stream"), ("reload", "reload")])
    def test_simple_commands(self, player, recorder, name, method):
        assert getattr(player, name)() is None
        assert recorder.sent == [("call_method", {"cid": player.id, "method": method})]
        assert list(recorder.sent[0][1]) == ["cid", "method"]

    def test_stop_equals_close_stream(self, player, recorder):
        player.stop()
        player.close_stream()
        assert recorder.sent[0] == recorder.sent[1]

    def test_repeated_commands_are_all_sent(self, player, recorder):
        player.play()
        player.play()
        assert recorder.sent == [("call_method", {"cid": player.id, "method": "play"})] * 2

    @pytest.mark.parametrize(
        "args, seconds",
        [((), 0.0), ((True,), 1.0), (("12",), 12.0), ((-5,), -5.0), ((2.5,), 2.5), ((10**6,), 1e6)],
    )
    def test_seek(self, player, recorder, args, seconds):
        assert player.seek(*args) is None
        payload = recorder.sent[0][1]
        assert payload == {"cid": player.id, "method": "seek", "seconds": seconds}
        assert list(payload) == ["cid", "method", "seconds"] and type(payload["seconds"]) is float

    def test_seek_by_keyword(self, player, recorder):
        player.seek(seconds=3)
        assert recorder.sent[0][1]["seconds"] == 3.0

    @pytest.mark.parametrize("bad, error", [("x", ValueError), (object(), TypeError), (None, TypeError)])
    def test_seek_conversion_failure_sends_nothing(self, player, recorder, bad, error):
        with pytest.raises(error):
            player.seek(bad)
        assert recorder.messages == []

    def test_id_is_read_at_call_time(self, player, recorder):
        player.id = "renamed"
        player.pause()
        assert recorder.sent[0][1]["cid"] == "renamed"

    def test_commands_still_send_for_removed_component(self, player, cm, recorder):
        cm.remove_component(player.id)
        recorder.clear()
        player.play()
        player.pause()
        player.stop()
        player.seek(1)
        player.reload()
        assert [p["method"] for _, p in recorder.sent] == ["play", "pause", "close_stream", "seek", "reload"]

    def test_send_failure_propagates(self, wa, host):
        h = wa.web_audio()
        host.fail["send_message"] = Boom()
        for command in (h.play, h.pause, h.stop, h.reload, h.seek):
            with pytest.raises(Boom):
                command()

    def test_set_src(self, player, cm, recorder, tmp_path):
        path = str(tmp_path / "b.wav")
        assert player.setSrc(path) is None
        assert options_of(cm, player)["src"] == vt_core.utils.convertPath2Url(path)
        assert kinds(recorder) == [("update",), ("message", "call_method", "reload")]
        assert recorder.updates[0][1]["options"]["src"] == options_of(cm, player)["src"]
        assert player._WebAudioProps__audio == ""  # only the property touches it
        assert player.src == vt_core.utils.convertPath2Url(path)

    def test_set_src_by_keyword_host_calls(self, wa, host):
        h = wa.web_audio()
        host.calls.clear()
        h.setSrc(src="c.wav")
        assert host.names() == ["convertPath2Url", "getcm", "update_cm", "send_message"]
        assert host.sent() == [("call_method", {"cid": h.id, "method": "reload"})]

    @pytest.mark.parametrize("falsy", ["", None])
    def test_set_src_false_value(self, wa, host, falsy):
        h = wa.web_audio()
        host.calls.clear()
        h.setSrc(falsy)
        assert host.names() == ["getcm", "update_cm", "send_message"]
        assert host.options(h)["src"] == ""

    def test_set_src_failures(self, wa, host):
        h = wa.web_audio()
        host.fail["convertPath2Url"] = Boom()
        with pytest.raises(Boom):
            h.setSrc("a")
        assert "src" not in host.options(h)
        del host.fail["convertPath2Url"]
        host.fail["update_cm"] = Boom()
        with pytest.raises(Boom):
            h.setSrc("a")
        assert host.options(h)["src"] == "url:a" and host.sent() == []
        del host.fail["update_cm"]
        host.fail["send_message"] = Boom()
        host.calls.clear()
        with pytest.raises(Boom):
            h.setSrc("b")
        assert host.options(h)["src"] == "url:b" and host.names()[-2:] == ["update_cm", "send_message"]

    def test_set_src_removed_component(self, player, cm, recorder):
        cm.remove_component(player.id)
        recorder.clear()
        with pytest.raises(KeyError):
            player.setSrc("http://h/a.wav")
        assert recorder.messages == []

    def test_argument_errors_send_nothing(self, player, recorder):
        with pytest.raises(TypeError):
            player.play(1)
        with pytest.raises(TypeError):
            player.seek(1, 2)
        with pytest.raises(TypeError):
            player.setSrc()
        with pytest.raises(TypeError):
            player.seek(second=1)
        assert recorder.messages == []


# ---------------------------------------------------------------------------
# event callbacks


class TestCallbacks:
    METHODS = {
        "on_play": "web-audio-play",
        "on_pause": "web-audio-pause",
        "on_ended": "web-audio-ended",
        "on_error": "web-audio-error",
        "on_stream_start": "web-audio-stream-start",
    }

    @pytest.mark.parametrize("method, event", list(METHODS.items()))
    def test_each_method_writes_its_event(self, player, cm, method, event):
        cb = lambda: None  # noqa: E731
        assert getattr(player, method)(cb) is player
        assert cm.components[player.id]["handlers"] == {event: cb}

    def test_chaining(self, player, cm):
        f, g = (lambda: 1), (lambda: 2)
        assert player.on_play(f).on_pause(g) is player
        assert cm.components[player.id]["handlers"] == {"web-audio-play": f, "web-audio-pause": g}

    def test_second_registration_replaces_the_first(self, player, cm):
        player.on_ended("first")
        player.on_ended("second")
        assert cm.components[player.id]["handlers"] == {"web-audio-ended": "second"}

    def test_writes_the_table_given_at_creation(self, wa, cm):
        table = {}
        h = wa.web_audio(handlers=table)
        h.on_stream_start("cb")
        assert table == {"web-audio-stream-start": "cb"}
        assert cm.components[h.id]["handlers"] is table

    def test_none_replaces_a_creation_callback(self, wa, cm):
        h = wa.web_audio(onerror=print)
        h.on_error(None)
        assert cm.components[h.id]["handlers"] == {"web-audio-error": None}

    @pytest.mark.parametrize("record_change", ["missing", "none"])
    def test_creates_the_table(self, player, cm, record_change):
        record = cm.components[player.id]
        old = record["handlers"]
        old["web-audio-play"] = "kept?"
        if record_change == "missing":
            del record["handlers"]
        else:
            record["handlers"] = None
        player.on_pause("cb")
        assert record["handlers"] == {"web-audio-pause": "cb"}
        assert record["handlers"] is not old

    def test_empty_record_is_used(self, player, cm):
        cm.components[player.id] = {}
        player.on_play("cb")
        assert cm.components[player.id] == {"handlers": {"web-audio-play": "cb"}}

    def test_missing_component_is_a_silent_no_op(self, player, cm, recorder):
        cm.remove_component(player.id)
        recorder.clear()
        for method in self.METHODS:
            assert getattr(player, method)("cb") is player
        assert player.id not in cm.components and recorder.messages == []

    def test_record_lookup_uses_get(self, wa, host):
        h = wa.web_audio()
        seen = []

        class Components(dict):
            def get(self, *args):
                seen.append(args)
                return super().get(*args)

            def __getitem__(self, key):
                raise AssertionError("callbacks look records up with get()")

        host.components = Components(host.components)
        h.on_play("cb")
        assert seen == [(h.id,)]
        assert dict.__getitem__(host.components, h.id)["handlers"] == {"web-audio-play": "cb"}

    def test_bad_table_raises(self, player, cm):
        cm.components[player.id]["handlers"] = ("not", "a", "mapping")
        with pytest.raises(TypeError):
            player.on_play("cb")

    def test_other_table_values_stay(self, player, cm):
        class Table(dict):
            pass

        table = Table(x=1)
        cm.components[player.id]["handlers"] = table
        player.on_error("cb")
        assert cm.components[player.id]["handlers"] is table and table == {"x": 1, "web-audio-error": "cb"}

    def test_getcm_failure_propagates(self, wa, host):
        h = wa.web_audio()
        host.fail["getcm"] = Boom()
        with pytest.raises(Boom):
            h.on_play("cb")

    def test_argument_errors_before_lookup(self, wa, host):
        h = wa.web_audio()
        host.calls.clear()
        with pytest.raises(TypeError):
            h.on_play()
        with pytest.raises(TypeError):
            h.on_play(1, 2)
        assert host.calls == []


# ---------------------------------------------------------------------------
# stream channel


class TestStreamChannel:
    def test_start_stream_defaults(self, player, cm, recorder):
        assert player.start_stream("http://h/live") is None
        options = options_of(cm, player)
        assert options["streamUrl"] == "http://h/live" and options["streamMode"] is True
        assert kinds(recorder) == [("update",), ("message", "call_method", "start_stream")]
        assert recorder.updates[0][1]["options"]["streamMode"] is True
        action, payload = recorder.sent[0]
        assert payload == {"cid": player.id, "action": "start_stream", "url": "http://h/live", "sample_rate": 48000, "channels": 2}
        assert list(payload) == ["cid", "action", "url", "sample_rate", "channels"]

    def test_start_stream_host_calls(self, wa, host):
        h = wa.web_audio()
        host.calls.clear()
        h.start_stream(" u ", 16000, 1, {"text": "hi"})
        assert host.names() == ["convertPath2Url", "getcm", "getcm", "update_cm", "send_message"]
        assert host.calls[0] == ("convertPath2Url", "u")
        payload = host.sent()[0][1]
        assert list(payload) == ["cid", "action", "url", "sample_rate", "channels", "params"]
        assert payload["url"] == "url:u" and payload["params"] == {"text": "hi"}

    def test_params(self, player, recorder):
        params = {}
        player.start_stream("http://h/s", params=params)
        player.start_stream("http://h/s", params=None)
        assert recorder.sent[0][1]["params"] == {}
        assert "params" not in recorder.sent[1][1]

    def test_values_pass_through(self, wa, host):
        h = wa.web_audio()
        params = ["not", "a", "dict"]
        h.start_stream("u", "44100", 1.0, params)
        payload = host.sent()[0][1]
        assert payload["sample_rate"] == "44100" and type(payload["channels"]) is float
        assert payload["params"] is params

    @pytest.mark.parametrize(
        "url, text",
        [
            ("  `http://h/a`  ", "http://h/a"),
            ("`http://h/a`,", "http://h/a`"),
            ("http://h/a,,,", "http://h/a"),
            ("\t`a b`\n", "a b"),
            (" `a` , ", "a` "),
            (",a,", ",a"),
            (None, "None"),
            (12, "12"),
        ],
    )
    def test_url_normalisation(self, wa, host, url, text):
        h = wa.web_audio()
        host.calls.clear()
        h.start_stream(url)
        assert host.calls[0] == ("convertPath2Url", text)
        assert type(host.calls[0][1]) is str
        assert host.options(h)["streamUrl"] == f"url:{text}"

    @pytest.mark.parametrize("url", ["", "   ", "``", ",,,", " `` ", "`,"])
    def test_empty_url_is_not_converted(self, wa, host, url):
        h = wa.web_audio()
        host.calls.clear()
        h.start_stream(url)
        assert "convertPath2Url" not in host.names()
        assert host.options(h)["streamUrl"] == "" and host.sent()[0][1]["url"] == ""

    @settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(url=st.text(alphabet=" \t\n`,ab/:", max_size=12))
    def test_url_normalisation_property(self, wa, host, url):
        # strip white space, then backticks, then trailing commas: each once, in this order
        text = url.strip().strip("`").rstrip(",")
        h = wa.web_audio()
        host.calls.clear()
        h.start_stream(url)
        converted = [c[1] for c in host.calls if c[0] == "convertPath2Url"]
        assert converted == ([text] if text else [])

    def test_str_of_the_url_object_is_used(self, wa, host):
        class Location:
            def __str__(self):
                return " `http://h/x` "

        h = wa.web_audio()
        host.calls.clear()
        h.start_stream(Location())
        assert host.calls[0] == ("convertPath2Url", "http://h/x")

    def test_real_host_converts_local_paths(self, player, cm, tmp_path):
        path = str(tmp_path / "s.pcm")
        player.start_stream(path)
        assert options_of(cm, player)["streamUrl"] == vt_core.utils.convertPath2Url(path)

    def test_removed_component(self, player, cm, recorder):
        cm.remove_component(player.id)
        recorder.clear()
        with pytest.raises(KeyError):
            player.start_stream("http://h/s")
        assert recorder.messages == []

    def test_update_failure_leaves_options_set(self, wa, host):
        h = wa.web_audio()
        host.fail["update_cm"] = Boom()
        with pytest.raises(Boom):
            h.start_stream("u")
        assert host.options(h)["streamUrl"] == "url:u" and host.options(h)["streamMode"] is True
        assert host.sent() == []

    def test_convert_failure_changes_nothing(self, wa, host):
        h = wa.web_audio()
        host.fail["convertPath2Url"] = Boom()
        with pytest.raises(Boom):
            h.start_stream("u")
        assert host.options(h)["streamMode"] is False and host.sent() == []

    def test_close_stream_keeps_stream_mode(self, player, cm, recorder):
        player.start_stream("http://h/s")
        assert player.close_stream() is None
        assert recorder.sent[-1] == ("call_method", {"cid": player.id, "method": "close_stream"})
        assert options_of(cm, player)["streamMode"] is True and player.stream_mode is True
        assert player.stream_url == "http://h/s"

    def test_audio_metadata(self, player, recorder):
        assert player.send_audio_metadata(24000, 1) is None
        assert recorder.sent == [("audio_metadata", {"sample_rate": 24000, "channels": 1})]
        assert list(recorder.sent[0][1]) == ["sample_rate", "channels"]

    def test_audio_metadata_passes_values_unchanged(self, wa, host):
        h = wa.web_audio()
        rate = object()
        h.send_audio_metadata(channels="2", sample_rate=rate)
        payload = host.sent()[0][1]
        assert payload["sample_rate"] is rate and payload["channels"] == "2"

    def test_stream_binary(self, player, recorder):
        assert player.stream_binary(b"\x01\x02") is None
        player.stream_binary(b"")
        assert recorder.binary == [b"\x01\x02", b""]
        assert kinds(recorder) == [("binary",), ("binary",)]

    def test_stream_binary_passes_the_object_itself(self, wa, host):
        h = wa.web_audio()
        host.calls.clear()
        frame = bytearray(b"abc")
        h.stream_binary(frame)
        assert host.calls == [("send_binary_message", frame)] and host.calls[0][1] is frame

    def test_push_sequence(self, player, recorder):
        player.send_audio_metadata(48000, 2)
        player.stream_binary(b"\x00" * 8)
        player.close_stream()
        assert kinds(recorder) == [("message", "audio_metadata", None), ("binary",), ("message", "call_method", "close_stream")]

    def test_stream_commands_still_send_for_removed_component(self, player, cm, recorder):
        cm.remove_component(player.id)
        recorder.clear()
        player.close_stream()
        player.send_audio_metadata(1, 1)
        player.stream_binary(b"x")
        assert len(recorder.messages) == 3

    def test_argument_counts(self, player, recorder):
        name = "web_audio.<locals>.WebAudioProps"
        with pytest.raises(TypeError, match=rf"^{name}\.start_stream\(\) takes from 2 to 5 positional arguments but 6 were given$"):
            player.start_stream(1, 2, 3, 4, 5)
        with pytest.raises(TypeError, match=rf"^{name}\.close_stream\(\) takes 1 positional argument but 2 were given$"):
            player.close_stream(1)
        with pytest.raises(TypeError, match=rf"^{name}\.stream_binary\(\) takes 2 positional arguments but 3 were given$"):
            player.stream_binary(1, 2)
        with pytest.raises(TypeError, match=rf"^{name}\.send_audio_metadata\(\) missing 1 required positional argument: 'channels'$"):
            player.send_audio_metadata(1)
        assert recorder.messages == []


def test_stream_writer_wraps_the_handle(player, wa):
    writer = player.stream_writer()
    assert type(writer) is wa.AudioStreamWriter
    assert writer._player is player
    assert player.stream_writer() is not writer

