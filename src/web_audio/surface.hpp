// The public surface: every table entry (declared here, defined beside its implementation).
#pragma once

#include "pyrt/function.hpp"

#define WA_IMPL(fn_name) PyObject* fn_name(pyrt::Function* f, PyObject* const* a, PyObject* kw)

namespace wa {

// A class member in definition order: a method, or a property made from a
// getter and (optionally) a setter.
struct Member {
    const char* name;
    const pyrt::FuncDef* fn;      // method, or property getter
    const pyrt::FuncDef* setter;  // property setter, or nullptr
    bool property;
};

// Module-level functions (player/).
extern const pyrt::FuncDef url_type_def;
extern const pyrt::FuncDef web_audio_def;

// WebAudioProps members, in definition order (player/handle.cpp).
extern const Member handle_members[];
extern const std::size_t handle_member_count;

// AudioStreamWriter members, in definition order (writer/writer.cpp).
extern const Member writer_members[];
extern const std::size_t writer_member_count;

// Player handle members implemented across player/ and streaming/.
namespace handle {
extern const pyrt::FuncDef init;
extern const pyrt::FuncDef src_get, src_set, stream_url_get, stream_url_set, stream_mode_get, stream_mode_set,
    show_wave_get, show_wave_set, volume_get, volume_set, minimal_get, minimal_set, label_get, label_set;
extern const pyrt::FuncDef play, pause, stop, seek, reload, setSrc;
extern const pyrt::FuncDef start_stream, close_stream, stream_binary, send_audio_metadata, stream_writer,
    stream_from_url;
extern const pyrt::FuncDef on_play, on_pause, on_ended, on_error, on_stream_start;
}  // namespace handle

}  // namespace wa
