// Ref: an owned reference to a Python object (RAII), and small helpers around it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace pyrt {

// Owns one strong reference (or nothing).  Moving transfers ownership;
// release() hands the reference to the caller.
class Ref {
public:
    Ref() noexcept = default;
    // Take ownership of a new reference (may be nullptr, e.g. a failed call).
    static Ref steal(PyObject* o) noexcept { Ref r; r.p_ = o; return r; }
    // Add a reference to a borrowed object.
    static Ref borrow(PyObject* o) noexcept { Py_XINCREF(o); return steal(o); }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) { PyObject* old = p_; p_ = std::exchange(o.p_, nullptr); Py_XDECREF(old); }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset(PyObject* o = nullptr) noexcept { PyObject* old = p_; p_ = o; Py_XDECREF(old); }

private:
    PyObject* p_ = nullptr;
};

// Return None (new reference) - for implementations that return nothing.
inline PyObject* none() noexcept { Py_RETURN_NONE; }

// Call helpers with positional arguments only (borrowed arguments).
inline Ref call0(PyObject* fn) noexcept { return Ref::steal(PyObject_CallNoArgs(fn)); }
inline Ref call1(PyObject* fn, PyObject* a) noexcept { return Ref::steal(PyObject_CallOneArg(fn, a)); }
inline Ref call2(PyObject* fn, PyObject* a, PyObject* b) noexcept {
    PyObject* args[] = {nullptr, a, b};
    return Ref::steal(PyObject_Vectorcall(fn, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
inline Ref call_method0(PyObject* obj, PyObject* name) noexcept {
    return Ref::steal(PyObject_CallMethodNoArgs(obj, name));
}
inline Ref call_method1(PyObject* obj, PyObject* name, PyObject* a) noexcept {
    return Ref::steal(PyObject_CallMethodOneArg(obj, name, a));
}
inline Ref call_method2(PyObject* obj, PyObject* name, PyObject* a, PyObject* b) noexcept {
    PyObject* args[] = {obj, a, b};
    return Ref::steal(PyObject_VectorcallMethod(name, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
inline Ref getattr(PyObject* obj, PyObject* name) noexcept { return Ref::steal(PyObject_GetAttr(obj, name)); }

// container[key], with the exact-dict case done directly (same result and the
// same KeyError as dict.__getitem__).
inline Ref get_item(PyObject* container, PyObject* key) noexcept {
    if (PyDict_CheckExact(container)) {
        PyObject* v = PyDict_GetItemWithError(container, key);
        if (v) return Ref::borrow(v);
        if (!PyErr_Occurred()) {
            PyObject* arg = PyTuple_Pack(1, key);
            if (arg) {
                PyErr_SetObject(PyExc_KeyError, arg);
                Py_DECREF(arg);
            }
        }
        return Ref();
    }
    return Ref::steal(PyObject_GetItem(container, key));
}

// container.get(key, dflt), or container.get(key) when dflt is nullptr: the
// exact-dict case done directly, else through the container's own get method
// (`get_name` is the interned "get").
inline Ref get_or(PyObject* container, PyObject* key, PyObject* dflt, PyObject* get_name) noexcept {
    if (PyDict_CheckExact(container)) {
        if (PyObject* v = PyDict_GetItemWithError(container, key)) return Ref::borrow(v);
        return PyErr_Occurred() ? Ref() : Ref::borrow(dflt ? dflt : Py_None);
    }
    return dflt ? call_method2(container, get_name, key, dflt) : call_method1(container, get_name, key);
}

// container[key] = value; 0 / -1.
inline int set_item(PyObject* container, PyObject* key, PyObject* value) noexcept {
    return PyDict_CheckExact(container) ? PyDict_SetItem(container, key, value) : PyObject_SetItem(container, key, value);
}

// `a OP b` for a Python object and a C integer, with Python's comparison
// (op: Py_LT, Py_GT, ...).  1 / 0 / -1.
inline int compare(PyObject* a, long b, int op) noexcept {
    Ref rhs = Ref::steal(PyLong_FromLong(b));
    return rhs ? PyObject_RichCompareBool(a, rhs.get(), op) : -1;
}

// key in container; 1 / 0 / -1.
inline int contains(PyObject* container, PyObject* key) noexcept {
    return PyDict_CheckExact(container) ? PyDict_Contains(container, key) : PySequence_Contains(container, key);
}

}  // namespace pyrt

namespace pyrt {

// Holds the exception being raised while cleanup runs, then puts it back.
class SavedError {
public:
    SavedError() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        exc_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &exc_, &tb_);
#endif
    }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    ~SavedError() { restore(); }
    void restore() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        if (exc_) PyErr_SetRaisedException(std::exchange(exc_, nullptr));
#else
        if (type_ || exc_ || tb_) PyErr_Restore(std::exchange(type_, nullptr), std::exchange(exc_, nullptr), std::exchange(tb_, nullptr));
#endif
    }

private:
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* tb_ = nullptr;
#endif
    PyObject* exc_ = nullptr;
};

// When the exception being raised is a ModuleNotFoundError for `module`, adds `note` to it (as
// its add_note method does).  The exception stays the same object with the same message.
inline void note_missing_module(const char* module, const char* note) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *exc = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &exc, &tb);
    PyErr_NormalizeException(&type, &exc, &tb);
#endif
    if (exc) {
        Ref name = Ref::steal(PyObject_GetAttrString(exc, "name"));
        if (name && PyUnicode_Check(name.get()) && PyUnicode_CompareWithASCIIString(name.get(), module) == 0) {
            Ref done = Ref::steal(PyObject_CallMethod(exc, "add_note", "s", note));
            (void)done;
        }
        PyErr_Clear();  // a failure to add the note leaves the original error as it was
    }
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(type, exc, tb);
#endif
}

}  // namespace pyrt
