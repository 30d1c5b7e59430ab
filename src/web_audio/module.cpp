// PyInit_web_audio: the module's lifecycle and the order in which the areas bind their names.
#include "host/host.hpp"
#include "surface.hpp"

#include <atomic>
#include <exception>

namespace wa {
namespace {

constexpr const char* kModuleDoc =
    "\n"
    "Veltrane Web Audio 组件\n"
    "\n"
    "基于 Web Audio API 的音频播放器，支持：\n"
    "- 静态音频文件播放\n"
    "- 流式音频播放\n"
    "- 音频可视化（波形显示）\n"
    "- 精确播放控制\n";

// The one module object of this process (borrowed; cleared when it is freed),
// and the interpreter it belongs to.
PyObject* g_module = nullptr;
std::atomic<int64_t> g_interpreter{-1};

// Namespace order: time, urlparse, the host names, AudioStreamWriter, url_type, web_audio.
int bind_surface(PyObject* module) {
    if (host::bind_imports(module) < 0) return -1;
    Surface surface(module);
    if (register_writer(surface) < 0 || register_player(surface) < 0 || register_streaming(surface) < 0)
        return -1;
    return surface.finish();
}

PyObject* module_create(PyObject* import_entry, PyModuleDef*) {
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    int64_t expected = -1;
    if (!g_interpreter.compare_exchange_strong(expected, current) && expected != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(import_entry, "name"));
    if (!name) return nullptr;
    return PyModule_NewObject(name.get());
}

int module_exec(PyObject* module) {
    if (g_module) {
        if (g_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'web_audio' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    State* st = state_of(module);
    if (init_state(st) < 0) return -1;
    if (!(st->function_type = pyrt::make_function_type(module, "veltrane.vt_ui.web_audio.function"))) return -1;
    if (pyrt::watch_globals(module) < 0) return -1;
    // The distribution's version (pyproject.toml, passed in by the build).
    if (PyModule_AddStringConstant(module, "__version__", WEB_AUDIO_VERSION) < 0) return -1;
    try {
        if (bind_surface(module) < 0) return -1;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    g_module = module;
    return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    State* st = state_of(module);
    if (!st) return 0;
    Py_VISIT(st->function_type);
    Py_VISIT(st->handle_template);
    Py_VISIT(st->writer_class);
    return 0;
}

int module_clear(PyObject* module) {
    State* st = state_of(module);
    if (!st) return 0;
    Py_CLEAR(st->handle_template);
    Py_CLEAR(st->writer_class);
    Py_CLEAR(st->function_type);
    return 0;
}

void module_free(void* m) {
    PyObject* module = static_cast<PyObject*>(m);
    State* st = state_of(module);
    if (g_module == module) g_module = nullptr;
    if (!st) return;
    release_writer();
    pyrt::unwatch_globals(module);
    module_clear(module);
    release_state(st);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // The module lives in one interpreter per process.  Declared, so that the interpreter itself
    // refuses one with its own GIL before anything of ours runs; one sharing the main GIL is let
    // through by the interpreter and refused by module_create.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "web_audio",
    kModuleDoc,
    sizeof(State),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace
}  // namespace wa

PyMODINIT_FUNC PyInit_web_audio(void) { return PyModuleDef_Init(&wa::module_def); }
