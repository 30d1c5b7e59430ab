// Player commands: the payload head each command keeps, and the one implementation of simple commands.
#include "player/command.hpp"

#include "host/host.hpp"

namespace wa {

PyObject* command_head(PyObject* module, const char* method) noexcept {
    State* st = state_of(module);
    Ref name = Ref::steal(PyUnicode_InternFromString(method));
    Ref head = name ? Ref::steal(PyDict_New()) : Ref();
    if (!head || PyDict_SetItem(head.get(), st->s_cid, Py_None) < 0 ||
        PyDict_SetItem(head.get(), st->s_method, name.get()) < 0)
        return nullptr;
    return head.release();
}

PyObject* prepare_command(PyObject* module, const FuncDef& def) noexcept {
    return command_head(module, static_cast<const char*>(def.data));
}

Ref command_payload(Function* f, PyObject* self) noexcept {
    Ref d = Ref::steal(PyDict_Copy(f->bound));  // keys already in order: "cid", "method"
    if (!d) return Ref();
    Ref id = pyrt::getattr(self, state(f)->s_id);
    if (!id || PyDict_SetItem(d.get(), state(f)->s_cid, id.get()) < 0) return Ref();
    return d;
}

PyObject* send_command(Function* f, Args a) {
    Ref payload = command_payload(f, a[0]);
    if (!payload) return nullptr;
    for (std::size_t i = 1; i < f->def->nparams; i++) {
        Ref value = PyFloat_CheckExact(a[i]) ? Ref::borrow(a[i]) : Ref::steal(PyNumber_Float(a[i]));
        PyObject* key = PyTuple_GET_ITEM(f->varnames, static_cast<Py_ssize_t>(i));
        if (!value || PyDict_SetItem(payload.get(), key, value.get()) < 0) return nullptr;
    }
    if (host::send_message(f, state(f)->s_call_method, payload.get()) < 0) return nullptr;
    return pyrt::none();
}

}  // namespace wa
