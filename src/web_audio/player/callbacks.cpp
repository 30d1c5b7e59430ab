// WebAudioProps event-callback registration in the component's handler table.
#include "docs.hpp"
#include "host/host.hpp"
#include "surface.hpp"

namespace wa::handle {
namespace {

using pyrt::Ref;

const pyrt::Param p_cb[] = {{"self"}, {"callback"}};

struct Event {
    PyObject* State::*name;
};
const Event play_e{&State::s_ev_play}, pause_e{&State::s_ev_pause}, ended_e{&State::s_ev_ended},
    error_e{&State::s_ev_error}, stream_start_e{&State::s_ev_stream_start};

WA_IMPL(register_callback) {
    (void)kw;
    State* st = pyrt::state(f);
    PyObject* self = a[0];
    PyObject* event = st->*static_cast<const Event*>(f->def->data)->name;
    Ref comps = host::components(f);
    if (!comps) return nullptr;
    Ref id = pyrt::getattr(self, st->s_id);
    if (!id) return nullptr;
    Ref record = pyrt::get_or(comps.get(), id.get(), nullptr, st->s_get);
    if (!record) return nullptr;
    if (record.get() == Py_None) return Py_NewRef(self);
    const int has = pyrt::contains(record.get(), st->s_handlers);
    if (has < 0) return nullptr;
    bool need_table = !has;
    if (has) {
        Ref table = pyrt::get_item(record.get(), st->s_handlers);
        if (!table) return nullptr;
        need_table = table.get() == Py_None;
    }
    if (need_table) {
        Ref fresh = Ref::steal(PyDict_New());
        if (!fresh || pyrt::set_item(record.get(), st->s_handlers, fresh.get()) < 0) return nullptr;
    }
    Ref table = pyrt::get_item(record.get(), st->s_handlers);
    if (!table || pyrt::set_item(table.get(), event, a[1]) < 0) return nullptr;
    return Py_NewRef(self);
}

}  // namespace

const pyrt::FuncDef on_play{"on_play", docs::on_play, p_cb, 2, false, register_callback, &play_e};
const pyrt::FuncDef on_pause{"on_pause", docs::on_pause, p_cb, 2, false, register_callback, &pause_e};
const pyrt::FuncDef on_ended{"on_ended", docs::on_ended, p_cb, 2, false, register_callback, &ended_e};
const pyrt::FuncDef on_error{"on_error", docs::on_error, p_cb, 2, false, register_callback, &error_e};
const pyrt::FuncDef on_stream_start{"on_stream_start", docs::on_stream_start, p_cb, 2, false, register_callback,
                                     &stream_start_e};

}  // namespace wa::handle
