// WebAudioProps event-callback registration in the component's handler table.
#include "host/host.hpp"
#include "player/player.hpp"

namespace wa {
namespace {

// on_<event>(callback): handlers[<event name>] = callback; returns self.
struct Event {
    PyObject* State::*name;
};

PyObject* register_callback(Function* f, Args a) {
    State* st = state(f);
    PyObject* self = a[0];
    PyObject* event = st->*f->def->data_as<Event>().name;
    Ref comps = host::components(f);
    if (!comps) return nullptr;
    Ref id = pyrt::getattr(self, st->s_id);
    if (!id) return nullptr;
    Ref record = pyrt::get_or(comps.get(), id.get(), nullptr, st->s_get);
    if (!record) return nullptr;
    if (record.get() == Py_None) return Py_NewRef(self);
    // if "handlers" not in record or record["handlers"] is None: record["handlers"] = {}
    Ref table;
    if (PyDict_CheckExact(record.get())) {
        table = Ref::borrow(PyDict_GetItemWithError(record.get(), st->s_handlers));  // one look-up for both tests
        if (!table && PyErr_Occurred()) return nullptr;
    } else {
        const int has = pyrt::contains(record.get(), st->s_handlers);
        if (has < 0) return nullptr;
        if (has && !(table = pyrt::get_item(record.get(), st->s_handlers))) return nullptr;
    }
    if (!table || table.get() == Py_None) {
        Ref fresh = Ref::steal(PyDict_New());
        if (!fresh || pyrt::set_item(record.get(), st->s_handlers, fresh.get()) < 0) return nullptr;
        table.reset();
    }
    // record["handlers"][event] = callback (read again unless an exact dict just gave it)
    if (!table || !PyDict_CheckExact(record.get())) table = pyrt::get_item(record.get(), st->s_handlers);
    if (!table || pyrt::set_item(table.get(), event, a[1]) < 0) return nullptr;
    return Py_NewRef(self);
}

#define WA_CALLBACK_DOC(summary) summary "\n            \n            返回 self 以支持链式调用\n            "
constexpr Event play_e{&State::s_ev_play}, pause_e{&State::s_ev_pause}, ended_e{&State::s_ev_ended},
    error_e{&State::s_ev_error}, stream_start_e{&State::s_ev_stream_start};
const FuncDef on_play =
    def("on_play", WA_CALLBACK_DOC("设置播放事件回调"), {{"self"}, {"callback"}}, register_callback).with_data(&play_e);
const FuncDef on_pause = def("on_pause", WA_CALLBACK_DOC("设置暂停事件回调"), {{"self"}, {"callback"}},
                             register_callback).with_data(&pause_e);
const FuncDef on_ended = def("on_ended", WA_CALLBACK_DOC("设置播放结束事件回调"), {{"self"}, {"callback"}},
                             register_callback).with_data(&ended_e);
const FuncDef on_error = def("on_error", WA_CALLBACK_DOC("设置错误事件回调"), {{"self"}, {"callback"}},
                             register_callback).with_data(&error_e);
const FuncDef on_stream_start = def("on_stream_start", WA_CALLBACK_DOC("设置流开始事件回调"), {{"self"}, {"callback"}},
                                    register_callback).with_data(&stream_start_e);
#undef WA_CALLBACK_DOC

}  // namespace

void register_callbacks(Surface& s) {
    for (const FuncDef* fn : {&on_play, &on_pause, &on_ended, &on_error, &on_stream_start})
        s.add_handle_member(Section::Events, method(*fn));
}

}  // namespace wa
