// Front-end stream channel: start/close commands, audio metadata and binary audio frames.
#include "docs.hpp"
#include "host/host.hpp"
#include "surface.hpp"

namespace wa::handle {
namespace {

using pyrt::Ref;

const pyrt::Param p_self[] = {{"self"}};
const pyrt::Param p_start[] = {
    {"self"}, {"url"}, {"sample_rate", pyrt::d_int(48000)}, {"channels", pyrt::d_int(2)}, {"params", pyrt::d_none}};
const pyrt::Param p_binary[] = {{"self"}, {"data"}};
const pyrt::Param p_metadata[] = {{"self"}, {"sample_rate"}, {"channels"}};

// str(url).strip().strip("`").rstrip(",")
Ref normalise_url(State* st, PyObject* url) {
    Ref text = Ref::steal(PyObject_Str(url));
    if (!text) return Ref();
    text = pyrt::call_method0(text.get(), st->s_strip);
    if (!text) return Ref();
    text = pyrt::call_method1(text.get(), st->s_strip, st->s_backtick);
    if (!text) return Ref();
    return pyrt::call_method1(text.get(), st->s_rstrip, st->s_comma);
}

WA_IMPL(start_stream_impl) {
    (void)kw;
    State* st = pyrt::state(f);
    PyObject* self = a[0];
    Ref text = normalise_url(st, a[1]);
    if (!text) return nullptr;
    const Py_ssize_t len = PyObject_Length(text.get());
    if (len < 0) return nullptr;
    Ref url;
    if (len > 0) {
        Ref convert = host::global(f, st->s_convertPath2Url);
        if (!convert) return nullptr;
        url = pyrt::call1(convert.get(), text.get());
    } else {
        url = Ref::borrow(st->s_empty);
    }
    if (!url) return nullptr;
    Ref options = host::options_of(f, self);
    if (!options || pyrt::set_item(options.get(), st->s_streamUrl, url.get()) < 0) return nullptr;
    options = host::options_of(f, self);
    if (!options || pyrt::set_item(options.get(), st->s_streamMode, Py_True) < 0) return nullptr;
    if (host::update_cm(f, self) < 0) return nullptr;

    Ref payload = Ref::steal(PyDict_New());
    if (!payload) return nullptr;
    Ref id = pyrt::getattr(self, st->s_id);
    if (!id || PyDict_SetItem(payload.get(), st->s_cid, id.get()) < 0 ||
        PyDict_SetItem(payload.get(), st->s_action, st->s_start_stream) < 0 ||
        PyDict_SetItem(payload.get(), st->s_url, url.get()) < 0 ||
        PyDict_SetItem(payload.get(), st->s_sample_rate, a[2]) < 0 ||
        PyDict_SetItem(payload.get(), st->s_channels, a[3]) < 0)
        return nullptr;
    if (a[4] != Py_None && PyDict_SetItem(payload.get(), st->s_params, a[4]) < 0) return nullptr;
    if (host::send_message(f, st->s_call_method, payload.get()) < 0) return nullptr;
    return pyrt::none();
}

WA_IMPL(close_stream_impl) {
    (void)kw;
    State* st = pyrt::state(f);
    Ref payload = host::method_payload(f, a[0], &State::tmpl_close_stream);
    if (!payload || host::send_message(f, st->s_call_method, payload.get()) < 0) return nullptr;
    return pyrt::none();
}

WA_IMPL(stream_binary_impl) {
    (void)kw;
    if (host::send_binary_message(f, a[1]) < 0) return nullptr;
    return pyrt::none();
}

WA_IMPL(send_audio_metadata_impl) {
    (void)kw;
    State* st = pyrt::state(f);
    Ref payload = Ref::steal(PyDict_New());
    if (!payload || PyDict_SetItem(payload.get(), st->s_sample_rate, a[1]) < 0 ||
        PyDict_SetItem(payload.get(), st->s_channels, a[2]) < 0)
        return nullptr;
    if (host::send_message(f, st->s_audio_metadata, payload.get()) < 0) return nullptr;
    return pyrt::none();
}

}  // namespace

const pyrt::FuncDef start_stream{"start_stream", docs::start_stream, p_start, 5, false, start_stream_impl};
const pyrt::FuncDef close_stream{"close_stream", docs::close_stream, p_self, 1, false, close_stream_impl};
const pyrt::FuncDef stream_binary{"stream_binary", docs::stream_binary, p_binary, 2, false, stream_binary_impl};
const pyrt::FuncDef send_audio_metadata{"send_audio_metadata", docs::send_audio_metadata, p_metadata, 3, false,
                                         send_audio_metadata_impl};

}  // namespace wa::handle
