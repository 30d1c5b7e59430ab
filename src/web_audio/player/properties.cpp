// WebAudioProps option properties: read from and write to the component record's options.
#include "host/host.hpp"
#include "player/command.hpp"
#include "player/player.hpp"

namespace wa {
namespace {

enum class ReadDefault { EmptyStr, False, True, One };
enum class Conv { Url, Bool, Float, Str };
enum class After { None, SrcReload, SetVolume };

struct OptionProp {
    PyObject* State::*key;
    ReadDefault dflt;
    Conv conv;
    After after;
};

const OptionProp& prop_of(Function* f) { return f->def->data_as<OptionProp>(); }

PyObject* read_default(State* st, ReadDefault d) {
    switch (d) {
        case ReadDefault::EmptyStr: return st->s_empty;
        case ReadDefault::False: return Py_False;
        case ReadDefault::True: return Py_True;
        case ReadDefault::One: return st->float_one;
    }
    return Py_None;
}

PyObject* option_getter(Function* f, Args a) {
    State* st = state(f);
    const OptionProp& p = prop_of(f);
    Ref options = host::options_of(f, a[0]);
    if (!options) return nullptr;
    Ref value = pyrt::get_or(options.get(), st->*p.key, read_default(st, p.dflt), st->s_get);
    if (!value) return nullptr;
    if (p.after != After::SrcReload) return value.release();
    // src: remember the value read in __audio and return what __audio holds.
    if (PyObject_SetAttr(a[0], st->s_handle_audio, value.get()) < 0) return nullptr;
    return PyObject_GetAttr(a[0], st->s_handle_audio);
}

Ref to_bool(PyObject* v) {
    const int t = PyObject_IsTrue(v);
    if (t < 0) return Ref();
    return Ref::borrow(t ? Py_True : Py_False);
}
Ref to_float(PyObject* v) {
    if (PyFloat_CheckExact(v)) return Ref::borrow(v);
    return Ref::steal(PyNumber_Float(v));
}
Ref to_str(PyObject* v) {
    if (PyUnicode_CheckExact(v)) return Ref::borrow(v);
    return Ref::steal(PyObject_Str(v));
}

PyObject* option_setter(Function* f, Args a) {
    State* st = state(f);
    const OptionProp& p = prop_of(f);
    PyObject* self = a[0];
    PyObject* value = a[1];
    Ref converted;
    switch (p.conv) {
        case Conv::Url: converted = host::convert_if_truthy(f, value); break;
        case Conv::Bool: converted = to_bool(value); break;
        case Conv::Float: converted = to_float(value); break;
        case Conv::Str: converted = to_str(value); break;
    }
    if (!converted) return nullptr;
    Ref options = host::options_of(f, self);
    if (!options || pyrt::set_item(options.get(), st->*p.key, converted.get()) < 0) return nullptr;
    if (host::update_cm(f, self) < 0) return nullptr;
    if (p.after == After::SrcReload) {
        if (PyObject_SetAttr(self, st->s_handle_audio, value) < 0) return nullptr;
        if (!pyrt::call_method0(self, st->s_reload)) return nullptr;
    } else if (p.after == After::SetVolume) {
        Ref payload = command_payload(f, self);
        if (!payload) return nullptr;
        Ref again = to_float(value);  // converted once more for the message, as documented
        if (!again || PyDict_SetItem(payload.get(), st->s_volume, again.get()) < 0) return nullptr;
        if (host::send_message(f, st->s_call_method, payload.get()) < 0) return nullptr;
    }
    return pyrt::none();
}

PyObject* prepare_set_volume(PyObject* module, const FuncDef&) noexcept { return command_head(module, "setVolume"); }

constexpr OptionProp src_p{&State::s_src, ReadDefault::EmptyStr, Conv::Url, After::SrcReload};
constexpr OptionProp stream_url_p{&State::s_streamUrl, ReadDefault::EmptyStr, Conv::Url, After::None};
constexpr OptionProp stream_mode_p{&State::s_streamMode, ReadDefault::False, Conv::Bool, After::None};
constexpr OptionProp show_wave_p{&State::s_showWave, ReadDefault::False, Conv::Bool, After::None};
constexpr OptionProp volume_p{&State::s_volume, ReadDefault::One, Conv::Float, After::SetVolume};
constexpr OptionProp minimal_p{&State::s_minimal, ReadDefault::True, Conv::Bool, After::None};
constexpr OptionProp label_p{&State::s_label, ReadDefault::EmptyStr, Conv::Str, After::None};

// The getter's docstring is the property's.
constexpr FuncDef getter(const char* name, const char* doc, const OptionProp& p) {
    return def(name, doc, {{"self"}}, option_getter).with_data(&p);
}
constexpr FuncDef setter(const char* name, const char* doc, const OptionProp& p) {
    return def(name, doc, {{"self"}, {"value"}}, option_setter).with_data(&p);
}

const FuncDef src_get = getter("src", "获取音频源", src_p);
const FuncDef src_set = setter("src", "设置音频源", src_p);
const FuncDef stream_url_get = getter("stream_url", "获取流式音频URL", stream_url_p);
const FuncDef stream_url_set = setter("stream_url", "设置流式音频URL", stream_url_p);
const FuncDef stream_mode_get = getter("stream_mode", "获取流式播放模式", stream_mode_p);
const FuncDef stream_mode_set = setter("stream_mode", "设置流式播放模式", stream_mode_p);
const FuncDef show_wave_get = getter("show_wave", "获取是否显示波形", show_wave_p);
const FuncDef show_wave_set = setter("show_wave", "设置是否显示波形", show_wave_p);
const FuncDef volume_get = getter("volume", "获取音量", volume_p);
const FuncDef volume_set = setter("volume", "设置音量", volume_p).with_prepare(prepare_set_volume);
const FuncDef minimal_get = getter("minimal", "获取最小化模式", minimal_p);
const FuncDef minimal_set = setter("minimal", "设置最小化模式", minimal_p);
const FuncDef label_get = getter("label", "获取标签", label_p);
const FuncDef label_set = setter("label", "设置标签", label_p);

}  // namespace

void register_options(Surface& s) {
    const std::pair<const FuncDef*, const FuncDef*> options[] = {
        {&src_get, &src_set},         {&stream_url_get, &stream_url_set}, {&stream_mode_get, &stream_mode_set},
        {&show_wave_get, &show_wave_set}, {&volume_get, &volume_set},     {&minimal_get, &minimal_set},
        {&label_get, &label_set}};
    for (const auto& [get, set] : options) s.add_handle_member(Section::Options, property(*get, set));
}

}  // namespace wa
