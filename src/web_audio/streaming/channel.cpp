// Front-end stream channel: start/close commands, audio metadata and binary audio frames.
#include "host/host.hpp"
#include "player/command.hpp"
#include "streaming/streaming.hpp"

namespace wa {
namespace {

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

PyObject* start_stream(Function* f, Args a) {
    State* st = state(f);
    PyObject* self = a[0];
    Ref text = normalise_url(st, a[1]);
    if (!text) return nullptr;
    const Py_ssize_t len = PyObject_Length(text.get());
    if (len < 0) return nullptr;
    Ref url;
    if (len > 0) {
        Ref convert = host::global(f, &State::g_convertPath2Url);
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

const FuncDef start_stream_def = def("start_stream",
                                     "开始流式播放\n"
                                     "            \n"
                                     "            参数:\n"
                                     "                url: 流式音频 URL\n"
                                     "                sample_rate: 采样率，默认为 48000\n"
                                     "                channels: 通道数，默认为 2\n"
                                     "                params: POST 请求参数（字典），如果提供则使用 POST 方式\n"
                                     "            ",
                                     {{"self"},
                                      {"url"},
                                      {"sample_rate", pyrt::d_int(48000)},
                                      {"channels", pyrt::d_int(2)},
                                      {"params", pyrt::d_none}},
                                     start_stream);

const FuncDef close_stream = command("close_stream", "关闭流式播放", {{"self"}}, "close_stream");

PyObject* stream_binary(Function* f, Args a) {
    if (host::send_binary_message(f, a[1]) < 0) return nullptr;
    return pyrt::none();
}
const FuncDef stream_binary_def = def("stream_binary",
                                      "推送二进制音频数据到前端播放\n"
                                      "            \n"
                                      "            参数:\n"
                                      "                data: 二进制音频数据（bytes 类型）\n"
                                      "            ",
                                      {{"self"}, {"data"}}, stream_binary);

PyObject* send_audio_metadata(Function* f, Args a) {
    if (send_metadata(f, a[1], a[2]) < 0) return nullptr;
    return pyrt::none();
}
const FuncDef send_audio_metadata_def = def("send_audio_metadata",
                                            "发送音频元数据到前端\n"
                                            "            \n"
                                            "            参数:\n"
                                            "                sample_rate: 采样率\n"
                                            "                channels: 声道数\n"
                                            "            ",
                                            {{"self"}, {"sample_rate"}, {"channels"}}, send_audio_metadata);

}  // namespace

void register_channel(Surface& s) {
    for (const FuncDef* fn : {&start_stream_def, &close_stream, &stream_binary_def, &send_audio_metadata_def})
        s.add_handle_member(Section::Channel, method(*fn));
}

}  // namespace wa
