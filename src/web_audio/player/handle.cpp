// WebAudioProps: the member table (definition order is the class's order) and __init__.
#include "docs.hpp"
#include "surface.hpp"

namespace wa {

using pyrt::Ref;

namespace handle {
namespace {

const pyrt::Param p_self_res[] = {{"self"}, {"res"}};

// super().__init__(res), resolved from the defining class, then __audio = "".
WA_IMPL(init_impl) {
    (void)kw;
    State* st = pyrt::state(f);
    PyObject* self = a[0];
    if (f->owner == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "super(): __class__ cell not found");
        return nullptr;
    }
    Ref sup = pyrt::call2(reinterpret_cast<PyObject*>(&PySuper_Type), f->owner, self);
    if (!sup) return nullptr;
    Ref r = pyrt::call_method1(sup.get(), st->s_dunder_init, a[1]);
    if (!r) return nullptr;
    if (PyObject_SetAttr(self, st->s_handle_audio, st->s_empty) < 0) return nullptr;
    return pyrt::none();
}

}  // namespace

const pyrt::FuncDef init{"__init__", nullptr, p_self_res, 2, false, init_impl};

}  // namespace handle

const Member handle_members[] = {
    {"__init__", &handle::init, nullptr, false},
    {"src", &handle::src_get, &handle::src_set, true},
    {"stream_url", &handle::stream_url_get, &handle::stream_url_set, true},
    {"stream_mode", &handle::stream_mode_get, &handle::stream_mode_set, true},
    {"show_wave", &handle::show_wave_get, &handle::show_wave_set, true},
    {"volume", &handle::volume_get, &handle::volume_set, true},
    {"minimal", &handle::minimal_get, &handle::minimal_set, true},
    {"label", &handle::label_get, &handle::label_set, true},
    {"play", &handle::play, nullptr, false},
    {"pause", &handle::pause, nullptr, false},
    {"stop", &handle::stop, nullptr, false},
    {"seek", &handle::seek, nullptr, false},
    {"reload", &handle::reload, nullptr, false},
    {"setSrc", &handle::setSrc, nullptr, false},
    {"start_stream", &handle::start_stream, nullptr, false},
    {"close_stream", &handle::close_stream, nullptr, false},
    {"stream_binary", &handle::stream_binary, nullptr, false},
    {"send_audio_metadata", &handle::send_audio_metadata, nullptr, false},
    {"stream_writer", &handle::stream_writer, nullptr, false},
    {"stream_from_url", &handle::stream_from_url, nullptr, false},
    {"on_play", &handle::on_play, nullptr, false},
    {"on_pause", &handle::on_pause, nullptr, false},
    {"on_ended", &handle::on_ended, nullptr, false},
    {"on_error", &handle::on_error, nullptr, false},
    {"on_stream_start", &handle::on_stream_start, nullptr, false},
};
const std::size_t handle_member_count = sizeof(handle_members) / sizeof(handle_members[0]);

}  // namespace wa
