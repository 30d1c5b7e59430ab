// The module state's interned names and constants: made at exec, released at free.
#include "state.hpp"

namespace wa {

int init_state(State* st) noexcept {
#define WA_INTERN(ident, text) \
    if (!(st->s_##ident = PyUnicode_InternFromString(text))) return -1;
    WA_STRINGS(WA_INTERN)
#undef WA_INTERN
#define WA_INTERN(ident) \
    if (!(st->g_##ident.name = PyUnicode_InternFromString(#ident))) return -1;
    WA_GLOBALS(WA_INTERN)
#undef WA_INTERN
    if (!(st->empty_bytes = PyBytes_FromStringAndSize("", 0))) return -1;
    if (!(st->float_one = PyFloat_FromDouble(1.0))) return -1;
    if (!(st->handle_name = PyUnicode_InternFromString("WebAudioProps"))) return -1;
    if (!(st->handle_qualname = PyUnicode_InternFromString("web_audio.<locals>.WebAudioProps"))) return -1;
    return 0;
}

void release_state(State* st) noexcept {
#define WA_RELEASE(ident, text) Py_CLEAR(st->s_##ident);
    WA_STRINGS(WA_RELEASE)
#undef WA_RELEASE
#define WA_RELEASE(ident) Py_CLEAR(st->g_##ident.name);
    WA_GLOBALS(WA_RELEASE)
#undef WA_RELEASE
    Py_CLEAR(st->empty_bytes);
    Py_CLEAR(st->float_one);
    Py_CLEAR(st->handle_name);
    Py_CLEAR(st->handle_qualname);
}

}  // namespace wa
