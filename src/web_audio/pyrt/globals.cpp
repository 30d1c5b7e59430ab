// Module globals: plain dict lookups answered from a cache while no watched namespace changes.
#include "pyrt/globals.hpp"

namespace pyrt {

#if PY_VERSION_HEX >= 0x030C0000
// Only changed under the GIL of the one interpreter the module lives in.
std::uint64_t detail::namespace_version = 0;
#endif

namespace {

#if PY_VERSION_HEX >= 0x030C0000
std::uint64_t& g_version = detail::namespace_version;
int g_watcher = -1;

int on_namespace_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    g_version++;
    return 0;
}

int watch(PyObject* dict) noexcept { return g_watcher < 0 ? 0 : PyDict_Watch(g_watcher, dict); }
#endif

// The uncached lookup: namespace, then the builtins of the running frame.
PyObject* find(PyObject* globals, PyObject* name, PyObject** source) noexcept {
    if (PyObject* v = PyDict_GetItemWithError(globals, name)) {
        *source = globals;
        return v;
    }
    if (PyErr_Occurred()) return nullptr;
    if (PyObject* builtins = PyEval_GetBuiltins()) {
        if (PyObject* v = PyDict_GetItemWithError(builtins, name)) {
            *source = builtins;
            return v;
        }
        if (PyErr_Occurred()) return nullptr;
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

}  // namespace

int watch_globals(PyObject* module) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    if (g_watcher < 0 && (g_watcher = PyDict_AddWatcher(on_namespace_event)) < 0) {
        // Every watcher slot of the interpreter is taken: look globals up uncached.
        PyErr_Clear();
        return 0;
    }
    if (watch(PyModule_GetDict(module)) < 0) return -1;
    g_version++;
#else
    (void)module;
#endif
    return 0;
}

void unwatch_globals(PyObject* module) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    // The watcher itself stays for the life of the process: a module that
    // failed to initialise may be freed after the one that replaced it.
    if (g_watcher < 0) return;
    PyObject* dict = PyModule_GetDict(module);  // null once the module was cleared
    SavedError pending;
    if (dict && PyDict_Unwatch(g_watcher, dict) < 0) PyErr_Clear();
    g_version++;
#else
    (void)module;
#endif
}

Ref lookup_global_slow(PyObject* module, Global& g) noexcept {
    PyObject* globals = PyModule_GetDict(module);
    PyObject* source = nullptr;
    PyObject* v = find(globals, g.name, &source);
    if (!v) return Ref();
    Ref value = Ref::borrow(v);
#if PY_VERSION_HEX >= 0x030C0000
    // Watched from now on; a failure to watch only costs the cache.
    if (g_watcher < 0 || (source != globals && watch(source) < 0)) {
        PyErr_Clear();
        g.version = 0;
        return value;
    }
    g.value = v;
    g.builtins = source == globals ? nullptr : source;
    g.version = g_version;
#endif
    return value;
}

}  // namespace pyrt
