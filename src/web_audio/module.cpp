// PyInit_web_audio: module state, the import-time binding order, and the module-level surface.
#include "docs.hpp"
#include "host/host.hpp"
#include "pyrt/classbuilder.hpp"
#include "surface.hpp"
#include "writer/guard.hpp"

#include <atomic>

namespace wa {
namespace {

using pyrt::Ref;

// The one module object of this process (borrowed; cleared when it is freed),
// and the interpreter it belongs to.
PyObject* g_module = nullptr;
std::atomic<int64_t> g_interpreter{-1};

int init_state(PyObject* module) {
    State* st = state_of(module);
#define WA_INTERN(ident, text) \
    if (!(st->s_##ident = PyUnicode_InternFromString(text))) return -1;
    WA_STRINGS(WA_INTERN)
#undef WA_INTERN
    st->function_type = pyrt::make_function_type(module);
    if (!st->function_type) return -1;
    if (!(st->empty_bytes = PyBytes_FromStringAndSize("", 0))) return -1;
    if (!(st->float_one = PyFloat_FromDouble(1.0))) return -1;
    if (!(st->int_48000 = PyLong_FromLong(48000))) return -1;
    if (!(st->int_2 = PyLong_FromLong(2))) return -1;
    if (!(st->handle_name = PyUnicode_InternFromString("WebAudioProps"))) return -1;
    if (!(st->handle_qualname = PyUnicode_InternFromString("web_audio.<locals>.WebAudioProps"))) return -1;
    const struct { PyObject* State::*tmpl; PyObject* method; } templates[] = {
        {&State::tmpl_play, st->s_play}, {&State::tmpl_pause, st->s_pause},
        {&State::tmpl_close_stream, st->s_close_stream}, {&State::tmpl_reload, st->s_reload},
        {&State::tmpl_seek, st->s_seek}, {&State::tmpl_setVolume, st->s_setVolume}};
    for (const auto& t : templates) {
        PyObject* d = PyDict_New();
        if (!d) return -1;
        st->*t.tmpl = d;
        if (PyDict_SetItem(d, st->s_cid, Py_None) < 0 || PyDict_SetItem(d, st->s_method, t.method) < 0) return -1;
    }
    return 0;
}

Ref qualified(PyObject* prefix, const char* name) {
    return Ref::steal(PyUnicode_FromFormat("%U.%s", prefix, name));
}

// Function objects for one member (getter/method and optional setter).
int make_member(PyObject* module, PyObject* prefix, const Member& m, Ref& fn, Ref& setter) {
    Ref qn = qualified(prefix, m.name);
    if (!qn) return -1;
    fn = Ref::steal(reinterpret_cast<PyObject*>(pyrt::new_function(module, m.fn, qn.get())));
    if (!fn) return -1;
    if (m.setter) {
        setter = Ref::steal(reinterpret_cast<PyObject*>(pyrt::new_function(module, m.setter, qn.get())));
        if (!setter) return -1;
    }
    return 0;
}

// class AudioStreamWriter: ... built as the class statement builds it.
int define_writer(PyObject* module) {
    State* st = state_of(module);
    Ref bases = Ref::steal(PyTuple_New(0));
    if (!bases) return -1;
    Ref meta;
    Ref ns = pyrt::prepare_class(st->s_AudioStreamWriter, bases.get(), meta);
    if (!ns) return -1;
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    Ref doc = module_name ? Ref::steal(PyUnicode_FromString(docs::writer_class)) : Ref();
    if (!doc || PyObject_SetItem(ns.get(), st->s_dunder_module, module_name.get()) < 0 ||
        PyObject_SetItem(ns.get(), st->s_dunder_qualname, st->s_AudioStreamWriter) < 0 ||
        PyObject_SetItem(ns.get(), st->s_dunder_doc, doc.get()) < 0)
        return -1;
    for (std::size_t i = 0; i < writer_member_count; i++) {
        const Member& m = writer_members[i];
        Ref fn, setter;
        if (make_member(module, st->s_AudioStreamWriter, m, fn, setter) < 0) return -1;
        Ref value = m.property ? pyrt::make_property(fn.get(), setter.get(), st->s_setter) : std::move(fn);
        if (!value || PyObject_SetItem(ns.get(), Ref::steal(PyUnicode_InternFromString(m.name)).get(), value.get()) < 0)
            return -1;
    }
    Ref cls = pyrt::finish_class(meta.get(), st->s_AudioStreamWriter, bases.get(), ns.get());
    if (!cls) return -1;
    st->writer_class = Py_NewRef(cls.get());
    return PyModule_AddObjectRef(module, "AudioStreamWriter", cls.get());
}

int define_function(PyObject* module, const pyrt::FuncDef& def) {
    Ref fn = Ref::steal(reinterpret_cast<PyObject*>(pyrt::new_function(module, &def, nullptr)));
    if (!fn) return -1;
    return PyModule_AddObjectRef(module, def.name, fn.get());
}

// Templates of WebAudioProps members: [(name, fn, setter or None, is_property)].
// Every web_audio() call clones them into its own new class.
int make_handle_template(PyObject* module) {
    State* st = state_of(module);
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return -1;
    for (std::size_t i = 0; i < handle_member_count; i++) {
        const Member& m = handle_members[i];
        Ref fn, setter;
        if (make_member(module, st->handle_qualname, m, fn, setter) < 0) return -1;
        Ref name = Ref::steal(PyUnicode_InternFromString(m.name));
        if (!name) return -1;
        Ref entry = Ref::steal(PyTuple_Pack(4, name.get(), fn.get(), setter ? setter.get() : Py_None,
                                            m.property ? Py_True : Py_False));
        if (!entry || PyList_Append(list.get(), entry.get()) < 0) return -1;
    }
    st->handle_template = list.release();
    return 0;
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
    if (init_state(module) < 0) return -1;
    // Import-time binding order: time, urlparse, the host names, AudioStreamWriter, url_type, web_audio.
    if (host::bind_imports(module) < 0) return -1;
    if (define_writer(module) < 0) return -1;
    if (define_function(module, url_type_def) < 0) return -1;
    if (define_function(module, web_audio_def) < 0) return -1;
    if (make_handle_template(module) < 0) return -1;
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
    writer_state::clear_all();
    module_clear(module);
#define WA_RELEASE(ident, text) Py_CLEAR(st->s_##ident);
    WA_STRINGS(WA_RELEASE)
#undef WA_RELEASE
    Py_CLEAR(st->empty_bytes);
    Py_CLEAR(st->float_one);
    Py_CLEAR(st->int_48000);
    Py_CLEAR(st->int_2);
    Py_CLEAR(st->handle_name);
    Py_CLEAR(st->handle_qualname);
    for (PyObject** t : {&st->tmpl_play, &st->tmpl_pause, &st->tmpl_close_stream, &st->tmpl_reload, &st->tmpl_seek,
                         &st->tmpl_setVolume})
        Py_CLEAR(*t);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // Other interpreters are refused by module_create itself, with our own message.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "web_audio",
    docs::module,
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
