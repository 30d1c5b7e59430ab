// WebAudioProps option properties: read from and write to the component record's options.
#include "docs.hpp"
#include "host/host.hpp"
#include "surface.hpp"

namespace wa::handle {
namespace {

using pyrt::Ref;

enum class ReadDefault { EmptyStr, False, True, One };
enum class Conv { Url, Bool, Float, Str };
enum class After { None, SrcReload, SetVolume };

struct OptionProp {
    PyObject* State::*key;
    ReadDefault dflt;
    Conv conv;
    After after;
};

const OptionProp& prop_of(pyrt::Function* f) { return *static_cast<const OptionProp*>(f->def->data); }

PyObject* read_default(State* st, ReadDefault d) {
    switch (d) {
        case ReadDefault::EmptyStr: return st->s_empty;
        case ReadDefault::False: return Py_False;
        case ReadDefault::True: return Py_True;
        case ReadDefault::One: return st->float_one;
    }
    return Py_None;
}

WA_IMPL(option_getter) {
    (void)kw;
    State* st = pyrt::state(f);
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

WA_IMPL(option_setter) {
    (void)kw;
    State* st = pyrt::state(f);
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
        Ref payload = host::method_payload(f, self, &State::tmpl_setVolume);
        if (!payload) return nullptr;
        Ref again = to_float(value);  // converted once more for the message, as documented
        if (!again || PyDict_SetItem(payload.get(), st->s_volume, again.get()) < 0) return nullptr;
        if (host::send_message(f, st->s_call_method, payload.get()) < 0) return nullptr;
    }
    return pyrt::none();
}

const OptionProp src_p{&State::s_src, ReadDefault::EmptyStr, Conv::Url, After::SrcReload};
const OptionProp stream_url_p{&State::s_streamUrl, ReadDefault::EmptyStr, Conv::Url, After::None};
const OptionProp stream_mode_p{&State::s_streamMode, ReadDefault::False, Conv::Bool, After::None};
const OptionProp show_wave_p{&State::s_showWave, ReadDefault::False, Conv::Bool, After::None};
const OptionProp volume_p{&State::s_volume, ReadDefault::One, Conv::Float, After::SetVolume};
const OptionProp minimal_p{&State::s_minimal, ReadDefault::True, Conv::Bool, After::None};
const OptionProp label_p{&State::s_label, ReadDefault::EmptyStr, Conv::Str, After::None};

const pyrt::Param p_self[] = {{"self"}};
const pyrt::Param p_self_value[] = {{"self"}, {"value"}};

}  // namespace

#define WA_OPTION_PROPERTY(prop)                                                                           \
    const pyrt::FuncDef prop##_get{#prop, docs::prop##_get, p_self, 1, false, option_getter, &prop##_p};     \
    const pyrt::FuncDef prop##_set{#prop, docs::prop##_set, p_self_value, 2, false, option_setter, &prop##_p};

WA_OPTION_PROPERTY(src)
WA_OPTION_PROPERTY(stream_url)
WA_OPTION_PROPERTY(stream_mode)
WA_OPTION_PROPERTY(show_wave)
WA_OPTION_PROPERTY(volume)
WA_OPTION_PROPERTY(minimal)
WA_OPTION_PROPERTY(label)
#undef WA_OPTION_PROPERTY

}  // namespace wa::handle
