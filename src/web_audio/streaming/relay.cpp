// stream_from_url: relays an HTTP audio stream to the browser chunk by chunk, cutting a WAV header.
#include "host/host.hpp"
#include "streaming/streaming.hpp"

namespace wa {
namespace {

enum Arg { SELF, URL, SAMPLE_RATE, CHANNELS, SKIP_HEADER, CHUNK_CB, PROGRESS_CB, PUSH };

constexpr Py_ssize_t kHeaderBytes = 44;
constexpr long kReadSize = 4096;
constexpr long kTimeoutSeconds = 300;

// Reads the response body and relays it.  0 on the end of the stream, -1 with an exception.
int relay_body(Function* f, Args a, PyObject* response) {
    State* st = state(f);
    if (!pyrt::call_method0(response, st->s_raise_for_status)) return -1;
    const int skip_header = PyObject_IsTrue(a[SKIP_HEADER]);
    if (skip_header < 0) return -1;
    Py_ssize_t skip_remaining = skip_header ? kHeaderBytes : 0;
    long long total_received = 0;

    Ref iter_content = pyrt::getattr(response, st->s_iter_content);
    if (!iter_content) return -1;
    Ref size = Ref::steal(PyLong_FromLong(kReadSize));
    Ref kwnames = Ref::steal(PyTuple_Pack(1, st->s_chunk_size));
    if (!size || !kwnames) return -1;
    PyObject* args[] = {nullptr, size.get()};
    Ref content = Ref::steal(PyObject_Vectorcall(iter_content.get(), args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
    if (!content) return -1;
    Ref it = Ref::steal(PyObject_GetIter(content.get()));
    if (!it) return -1;
    Ref send_binary;
    while (Ref chunk = Ref::steal(PyIter_Next(it.get()))) {
        const int nonempty = PyObject_IsTrue(chunk.get());
        if (nonempty < 0) return -1;
        if (!nonempty) continue;
        const Py_ssize_t len = PyObject_Length(chunk.get());
        if (len < 0) return -1;
        total_received += len;
        if (skip_remaining > 0) {
            const Py_ssize_t before = skip_remaining;
            skip_remaining -= len;
            if (skip_remaining >= 0) continue;  // the whole chunk was header
            chunk = Ref::steal(PySequence_GetSlice(chunk.get(), before, len));
            if (!chunk) return -1;
            skip_remaining = 0;
        }
        const int push = PyObject_IsTrue(a[PUSH]);
        if (push < 0) return -1;
        if (push && host::send_binary_message(f, chunk.get()) < 0) return -1;
        const int has_chunk_cb = PyObject_IsTrue(a[CHUNK_CB]);
        if (has_chunk_cb < 0) return -1;
        if (has_chunk_cb && !pyrt::call1(a[CHUNK_CB], chunk.get())) return -1;
        const int has_progress_cb = PyObject_IsTrue(a[PROGRESS_CB]);
        if (has_progress_cb < 0) return -1;
        if (has_progress_cb) {
            Ref n = Ref::steal(PyLong_FromLongLong(total_received));
            if (!n || !pyrt::call1(a[PROGRESS_CB], n.get())) return -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

PyObject* stream_from_url(Function* f, Args a) {
    State* st = state(f);
    Ref requests = Ref::steal(PyImport_Import(st->s_requests));
    if (!requests) {
        pyrt::note_missing_module("requests", "stream_from_url needs requests: pip install 'requests>=2.28'");
        return nullptr;
    }
    const int push = PyObject_IsTrue(a[PUSH]);
    if (push < 0) return nullptr;
    if (push && send_metadata(f, a[SAMPLE_RATE], a[CHANNELS]) < 0) return nullptr;
    Ref get = pyrt::getattr(requests.get(), st->s_get);
    if (!get) return nullptr;
    Ref timeout = Ref::steal(PyLong_FromLong(kTimeoutSeconds));
    Ref kwnames = Ref::steal(PyTuple_Pack(2, st->s_stream, st->s_timeout));
    if (!timeout || !kwnames) return nullptr;
    PyObject* args[] = {nullptr, a[URL], Py_True, timeout.get()};
    Ref response = Ref::steal(PyObject_Vectorcall(get.get(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
    if (!response) return nullptr;

    const int rc = relay_body(f, a, response.get());
    // The response is closed on every exit, so the connection is never leaked.
    // A failure while closing after an error must not hide that error.
    if (rc < 0) {
        pyrt::SavedError pending;
        if (!pyrt::call_method0(response.get(), st->s_close)) PyErr_Clear();
        return nullptr;
    }
    if (!pyrt::call_method0(response.get(), st->s_close)) return nullptr;
    return pyrt::none();
}

const FuncDef stream_from_url_def = def("stream_from_url",
                                        "从 HTTP URL 流式接收音频数据并播放\n"
                                        "            \n"
                                        "            参数:\n"
                                        "                url: 流式音频 URL\n"
                                        "                sample_rate: 采样率，默认为 48000\n"
                                        "                channels: 声道数，默认为 2\n"
                                        "                skip_wav_header: 是否跳过 WAV 头部（前44字节），默认为 True\n"
                                        "                chunk_callback: 每收到一个音频块时的回调函数，接收参数 (chunk)\n"
                                        "                progress_callback: 进度更新回调函数，接收参数 (bytes_received)\n"
                                        "                push_to_frontend: 是否推送到前端播放，默认为 True\n"
                                        "            ",
                                        {{"self"},
                                         {"url"},
                                         {"sample_rate", pyrt::d_int(48000)},
                                         {"channels", pyrt::d_int(2)},
                                         {"skip_wav_header", pyrt::d_true},
                                         {"chunk_callback", pyrt::d_none},
                                         {"progress_callback", pyrt::d_none},
                                         {"push_to_frontend", pyrt::d_true}},
                                        stream_from_url);

}  // namespace

void register_relay(Surface& s) { s.add_handle_member(Section::Relay, method(stream_from_url_def)); }

}  // namespace wa
