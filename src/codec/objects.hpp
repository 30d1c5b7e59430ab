// The _codec module's types and state, and the one way its methods run the codec: GIL released.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "stream.hpp"

#include <mutex>
#include <new>
#include <stdexcept>
#include <string>

namespace codec {

struct ModuleState {
    PyObject* packet_type;
    PyObject* encoder_type;
    PyObject* decoder_type;
};

inline ModuleState* state_of_type(PyTypeObject* type) {
    return static_cast<ModuleState*>(PyType_GetModuleState(type));
}

extern PyType_Spec packet_spec;
extern PyType_Spec encoder_spec;
extern PyType_Spec decoder_spec;

// A Packet object holding a copy of p's fields (new reference, or nullptr with an exception).
PyObject* packet_new(ModuleState* st, const Packet& p);
// Packet fields of a Packet object, or -1 with TypeError for anything else.
int packet_fields(ModuleState* st, PyObject* obj, Packet& out);
// A list of Packet objects.
PyObject* packet_list(ModuleState* st, const std::vector<Packet>& packets);

// Runs f() with the GIL released and `lock` held (waited for without the GIL), so that one
// object serves one call at a time and other threads run meanwhile.  Exceptions of f become
// Python's: std::invalid_argument a ValueError, std::bad_alloc a MemoryError, any other a
// RuntimeError.  Returns 0, or -1 with the exception set.
template <class F>
int run_released(std::mutex& lock, F&& f) {
    enum { ok, value, memory, runtime } failed = ok;
    std::string message;
    Py_BEGIN_ALLOW_THREADS
    {
        const std::lock_guard<std::mutex> hold(lock);
        try {
            f();
        } catch (const std::invalid_argument& e) {
            failed = value;
            message = e.what();
        } catch (const std::bad_alloc&) {
            failed = memory;
        } catch (const std::exception& e) {
            failed = runtime;
            message = e.what();
        }
    }
    Py_END_ALLOW_THREADS
    switch (failed) {
    case ok: return 0;
    case value: PyErr_SetString(PyExc_ValueError, message.c_str()); break;
    case memory: PyErr_NoMemory(); break;
    case runtime: PyErr_SetString(PyExc_RuntimeError, message.c_str()); break;
    }
    return -1;
}

// The same with the GIL held, for construction.
template <class F>
int run_held(F&& f) {
    try {
        f();
        return 0;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return -1;
}

// An object around a codec core (Encoder, Decoder) and the lock that makes it serve one call at
// a time.
template <class Core>
struct CoreObject {
    PyObject_HEAD
    struct Box {
        std::mutex lock;
        Core core;
        template <class... Args>
        explicit Box(Args... args) : core(args...) {}
    }* box;

    static Box* of(PyObject* self) { return reinterpret_cast<CoreObject*>(self)->box; }

    template <class... Args>
    static PyObject* create(PyTypeObject* type, Args... args) {
        auto* self = reinterpret_cast<CoreObject*>(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        if (run_held([&] { self->box = new Box(args...); }) < 0) {
            Py_DECREF(self);
            return nullptr;
        }
        return reinterpret_cast<PyObject*>(self);
    }

    static void dealloc(PyObject* obj) {
        PyTypeObject* type = Py_TYPE(obj);
        delete of(obj);
        type->tp_free(obj);
        Py_DECREF(type);
    }
};

// Checks an int argument against [lo, hi]: 0, or -1 with ValueError naming it and the range.
int check_range(const char* name, long value, long lo, long hi, const char* unit);
int check_stream_args(int sample_rate, int channels);

}  // namespace codec
