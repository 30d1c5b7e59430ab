// The writer area: the instance fields both parts use (the live path, live.cpp; the take, take.cpp).
#pragma once

#include "surface.hpp"

#include <span>

namespace wa {

// The writer instance whose fields a call reads and writes.  For an exact
// AudioStreamWriter the fields live in its __dict__ and no descriptor of the
// class can shadow them, so they are read and written there directly; for a
// subclass (which may define properties of those names) through getattr/setattr.
class Inst {
public:
    Inst(State* st, PyObject* self) noexcept : self_(self) {
        if (Py_TYPE(self) == reinterpret_cast<PyTypeObject*>(st->writer_class)) {
            dict_ = Ref::steal(PyObject_GenericGetDict(self, nullptr));
            if (!dict_) PyErr_Clear();
        }
    }
    PyObject* obj() const noexcept { return self_; }
    Ref get(PyObject* name) const noexcept {
        if (dict_) {
            if (PyObject* v = PyDict_GetItemWithError(dict_.get(), name)) return Ref::borrow(v);
            if (PyErr_Occurred()) return Ref();
        }
        return pyrt::getattr(self_, name);  // also raises the AttributeError of a missing field
    }
    int set(PyObject* name, PyObject* value) const noexcept {
        return dict_ ? PyDict_SetItem(dict_.get(), name, value) : PyObject_SetAttr(self_, name, value);
    }

private:
    PyObject* self_;
    Ref dict_;
};

inline int set(const Inst& self, PyObject* name, PyObject* value) { return self.set(name, value); }
inline int set_long(const Inst& self, PyObject* name, long v) {
    Ref o = Ref::steal(PyLong_FromLong(v));
    return o ? set(self, name, o.get()) : -1;
}
inline int truthy(const Inst& self, PyObject* name) {
    Ref v = self.get(name);
    return v ? PyObject_IsTrue(v.get()) : -1;
}

// The members each part defines, in the order the class lists them.
std::span<const Member> live_members();
std::span<const Member> take_members();

}  // namespace wa
