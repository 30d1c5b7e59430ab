// Host binding: imports of vt_core names at module exec; lookups and sends at call time.
#include "host/host.hpp"

namespace host {
namespace {

// `from package import name` bound into the module namespace under the same name.
int import_name(PyObject* dict, const char* package, PyObject* name) noexcept {
    Ref mod = Ref::steal(PyImport_ImportModule(package));
    if (!mod) return -1;
    Ref value = Ref::steal(PyObject_GetAttr(mod.get(), name));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        Ref modname = Ref::steal(PyModule_Check(mod.get()) ? PyModule_GetNameObject(mod.get()) : nullptr);
        if (!modname) {
            PyErr_Clear();
            modname = Ref::steal(PyUnicode_FromString(package));
            if (!modname) return -1;
        }
        Ref file = Ref::steal(PyModule_Check(mod.get()) ? PyModule_GetFilenameObject(mod.get()) : nullptr);
        if (!file) PyErr_Clear();
        // Worded and attributed as the import statement does it.
        Ref msg = Ref::steal(file ? PyUnicode_FromFormat("cannot import name '%U' from '%U' (%U)", name,
                                                         modname.get(), file.get())
                                  : PyUnicode_FromFormat("cannot import name '%U' from '%U' (unknown location)",
                                                         name, modname.get()));
        if (!msg) return -1;
        PyErr_SetImportError(msg.get(), modname.get(), file ? file.get() : Py_None);
        return -1;
    }
    return PyDict_SetItem(dict, name, value.get());
}

constexpr const char* kMissingHost =
    "veltrane.vt_ui.web_audio runs inside the vt_core host, the vt-core distribution: pip install vt-core "
    "(or, from a clone of the repository, pip install ./host)";

}  // namespace

int bind_imports(PyObject* module) noexcept {
    wa::State* st = wa::state_of(module);
    PyObject* dict = PyModule_GetDict(module);
    Ref time = Ref::steal(PyImport_ImportModule("time"));
    if (!time || PyDict_SetItem(dict, st->g_time.name, time.get()) < 0) return -1;
    if (import_name(dict, "urllib.parse", st->g_urlparse.name) < 0) return -1;
    if (import_name(dict, "vt_core", st->g_getcm.name) < 0) {
        pyrt::note_missing_module("vt_core", kMissingHost);
        return -1;
    }
    if (import_name(dict, "vt_core", st->g_send_message.name) < 0) return -1;
    if (import_name(dict, "vt_core", st->g_send_binary_message.name) < 0) return -1;
    if (import_name(dict, "vt_core.component", st->g_props.name) < 0) return -1;
    if (import_name(dict, "vt_core.utils", st->g_convertPath2Url.name) < 0) return -1;
    return 0;
}

Ref components(Function* f) noexcept {
    wa::State* st = wa::state(f);
    Ref getcm = global(f, &wa::State::g_getcm);
    if (!getcm) return Ref();
    Ref cm = pyrt::call0(getcm.get());
    if (!cm) return Ref();
    return pyrt::getattr(cm.get(), st->s_components);
}

Ref options_of(Function* f, PyObject* self) noexcept {
    wa::State* st = wa::state(f);
    Ref comps = components(f);
    if (!comps) return Ref();
    Ref id = pyrt::getattr(self, st->s_id);
    if (!id) return Ref();
    Ref record = pyrt::get_item(comps.get(), id.get());
    if (!record) return Ref();
    Ref content = pyrt::get_item(record.get(), st->s_content);
    if (!content) return Ref();
    return pyrt::get_item(content.get(), st->s_options);
}

int send_message(Function* f, PyObject* action, PyObject* data) noexcept {
    Ref fn = global(f, &wa::State::g_send_message);
    if (!fn) return -1;
    return pyrt::call2(fn.get(), action, data) ? 0 : -1;
}

int send_binary_message(Function* f, PyObject* data) noexcept {
    Ref fn = global(f, &wa::State::g_send_binary_message);
    if (!fn) return -1;
    return pyrt::call1(fn.get(), data) ? 0 : -1;
}

Ref convert_if_truthy(Function* f, PyObject* value) noexcept {
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return Ref();
    if (!truth) return Ref::steal(PyUnicode_FromStringAndSize("", 0));
    Ref fn = global(f, &wa::State::g_convertPath2Url);
    if (!fn) return Ref();
    return pyrt::call1(fn.get(), value);
}

int update_cm(Function* f, PyObject* self) noexcept {
    return pyrt::call_method0(self, wa::state(f)->s_update_cm) ? 0 : -1;
}

}  // namespace host
