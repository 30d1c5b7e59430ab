// WebAudioProps playback commands: "call_method" messages to the front-end player.
#include "docs.hpp"
#include "host/host.hpp"
#include "surface.hpp"

namespace wa::handle {
namespace {

using pyrt::Ref;

const pyrt::Param p_self[] = {{"self"}};
const pyrt::Param p_seek[] = {{"self"}, {"seconds", pyrt::d_int(0)}};
const pyrt::Param p_setsrc[] = {{"self"}, {"src"}};

struct Simple {
    PyObject* State::*method;
};
const Simple play_m{&State::tmpl_play}, pause_m{&State::tmpl_pause}, stop_m{&State::tmpl_close_stream},
    reload_m{&State::tmpl_reload};

// {"cid": id, "method": <name>} sent as "call_method".
WA_IMPL(simple_command) {
    (void)kw;
    State* st = pyrt::state(f);
    const Simple& m = *static_cast<const Simple*>(f->def->data);
    Ref payload = host::method_payload(f, a[0], m.method);
    if (!payload || host::send_message(f, st->s_call_method, payload.get()) < 0) return nullptr;
    return pyrt::none();
}

WA_IMPL(seek_impl) {
    (void)kw;
    State* st = pyrt::state(f);
    Ref payload = host::method_payload(f, a[0], &State::tmpl_seek);
    if (!payload) return nullptr;
    Ref seconds = PyFloat_CheckExact(a[1]) ? Ref::borrow(a[1]) : Ref::steal(PyNumber_Float(a[1]));
    if (!seconds || PyDict_SetItem(payload.get(), st->s_seconds, seconds.get()) < 0) return nullptr;
    if (host::send_message(f, st->s_call_method, payload.get()) < 0) return nullptr;
    return pyrt::none();
}

WA_IMPL(setsrc_impl) {
    (void)kw;
    State* st = pyrt::state(f);
    Ref value = host::convert_if_truthy(f, a[1]);
    if (!value) return nullptr;
    Ref options = host::options_of(f, a[0]);
    if (!options || pyrt::set_item(options.get(), st->s_src, value.get()) < 0) return nullptr;
    if (host::update_cm(f, a[0]) < 0) return nullptr;
    if (!pyrt::call_method0(a[0], st->s_reload)) return nullptr;
    return pyrt::none();
}

}  // namespace

const pyrt::FuncDef play{"play", docs::play, p_self, 1, false, simple_command, &play_m};
const pyrt::FuncDef pause{"pause", docs::pause, p_self, 1, false, simple_command, &pause_m};
const pyrt::FuncDef stop{"stop", docs::stop, p_self, 1, false, simple_command, &stop_m};
const pyrt::FuncDef seek{"seek", docs::seek, p_seek, 2, false, seek_impl};
const pyrt::FuncDef reload{"reload", docs::reload, p_self, 1, false, simple_command, &reload_m};
const pyrt::FuncDef setSrc{"setSrc", docs::setSrc, p_setsrc, 2, false, setsrc_impl};

}  // namespace wa::handle
