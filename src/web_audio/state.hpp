// The module's state: every interned name, module global and cached object the product uses, in one struct.
#pragma once

#include "pyrt/globals.hpp"

// Interned strings: X(identifier, "text").  Created at module exec, released at free.
#define WA_STRINGS(X)                                                        \
    /* names the module binds and calls */                                  \
    X(web_audio, "web_audio") X(components, "components")                    \
    X(add_component, "add_component") X(update_cm, "update_cm") X(id, "id")  \
    X(get, "get") X(scheme, "scheme") X(setter, "setter")                    \
    X(dunder_init, "__init__") X(dunder_module, "__module__")                \
    X(dunder_qualname, "__qualname__") X(dunder_doc, "__doc__")              \
    X(handle_audio, "_WebAudioProps__audio") X(reload, "reload")             \
    X(stop, "stop") X(stream_binary, "stream_binary")                        \
    X(send_audio_metadata, "send_audio_metadata")                            \
    /* component record and option keys */                                  \
    X(content, "content") X(options, "options") X(handlers, "handlers")      \
    X(src, "src") X(minimal, "minimal") X(showWave, "showWave")              \
    X(streamMode, "streamMode") X(streamUrl, "streamUrl")                    \
    X(visualizerType, "visualizerType") X(visualizerColor, "visualizerColor")\
    X(visible, "visible") X(block, "block") X(width, "width")                \
    X(width_full, "100%") X(label, "label") X(volume, "volume")              \
    /* event names */                                                        \
    X(ev_play, "web-audio-play") X(ev_pause, "web-audio-pause")              \
    X(ev_ended, "web-audio-ended") X(ev_error, "web-audio-error")            \
    X(ev_stream_start, "web-audio-stream-start")                             \
    /* messages */                                                           \
    X(call_method, "call_method") X(audio_metadata, "audio_metadata")        \
    X(cid, "cid") X(method, "method") X(action, "action") X(url, "url")      \
    X(sample_rate, "sample_rate") X(channels, "channels")                    \
    X(params, "params") X(start_stream, "start_stream")                      \
    /* HTTP relay */                                                         \
    X(requests, "requests") X(stream, "stream") X(timeout, "timeout")        \
    X(raise_for_status, "raise_for_status") X(iter_content, "iter_content")  \
    X(chunk_size, "chunk_size") X(close, "close") X(sleep, "sleep")          \
    /* writer fields */                                                      \
    X(_player, "_player") X(_sample_rate, "_sample_rate")                    \
    X(_channels, "_channels") X(_configured, "_configured")                  \
    X(_pcm_buffer, "_pcm_buffer") X(_buffer_size, "_buffer_size")            \
    X(_initial_delay_sent, "_initial_delay_sent") X(_stopped, "_stopped")    \
    X(_mute, "_mute") X(_realtime_normalize, "_realtime_normalize")          \
    X(_target_peak, "_target_peak") X(_max_peak_seen, "_max_peak_seen")      \
    X(_current_scale, "_current_scale")                                      \
    X(_output_file_handle, "_output_file_handle")                            \
    X(_total_pcm_bytes, "_total_pcm_bytes")                                  \
    X(_max_amplitude, "_max_amplitude")                                      \
    X(_pending_output_file, "_pending_output_file")                          \
    X(write, "write") X(flush, "flush") X(wb, "wb")                          \
    X(audio_path, "audio_path") X(audio_bytes, "audio_bytes")                \
    /* text handling */                                                     \
    X(strip, "strip") X(rstrip, "rstrip") X(backtick, "`") X(comma, ",")     \
    X(http, "http") X(https, "https") X(http_https, "http/https")            \
    X(file, "file") X(empty, "")

// Module globals the implementations read at call time (so that patching one
// takes effect at once): the imported host names, the module's own class and
// the builtin `open`.
#define WA_GLOBALS(X)                                                                                    \
    X(time) X(urlparse) X(getcm) X(send_message) X(send_binary_message) X(props) X(convertPath2Url)     \
    X(AudioStreamWriter) X(open)

namespace wa {

struct State {
#define WA_DECLARE(ident, text) PyObject* s_##ident;
    WA_STRINGS(WA_DECLARE)
#undef WA_DECLARE
#define WA_DECLARE(ident) pyrt::Global g_##ident;
    WA_GLOBALS(WA_DECLARE)
#undef WA_DECLARE
    PyTypeObject* function_type;  // the one function type of the module
    PyObject* empty_bytes;        // b""
    PyObject* float_one;          // 1.0
    PyObject* handle_name;        // "WebAudioProps"
    PyObject* handle_qualname;    // "web_audio.<locals>.WebAudioProps"
    PyObject* handle_template;    // WebAudioProps members: [(name, fn, setter or None, is_property)]
    PyObject* writer_class;       // AudioStreamWriter as defined at exec
};

inline State* state_of(PyObject* module) noexcept { return static_cast<State*>(PyModule_GetState(module)); }

// Creates every interned name and constant (module exec); releases them (module free).
int init_state(State* st) noexcept;
void release_state(State* st) noexcept;

}  // namespace wa
