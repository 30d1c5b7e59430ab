// Class builder: metaclass calculation, __prepare__, the metaclass call, properties.
#include "pyrt/classbuilder.hpp"

namespace pyrt {

Ref prepare_class(PyObject* name, PyObject* bases, Ref& meta) noexcept {
    const Py_ssize_t nbases = PyTuple_GET_SIZE(bases);
    PyObject* winner = nbases ? reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(bases, 0)))
                              : reinterpret_cast<PyObject*>(&PyType_Type);
    if (PyType_Check(winner)) {
        // The most derived metaclass among the bases' metaclasses.
        for (Py_ssize_t i = 0; i < nbases; i++) {
            PyTypeObject* t = Py_TYPE(PyTuple_GET_ITEM(bases, i));
            PyTypeObject* w = reinterpret_cast<PyTypeObject*>(winner);
            if (PyType_IsSubtype(w, t)) continue;
            if (PyType_IsSubtype(t, w)) {
                winner = reinterpret_cast<PyObject*>(t);
                continue;
            }
            PyErr_SetString(PyExc_TypeError,
                            "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
                            "subclass of the metaclasses of all its bases");
            return Ref();
        }
    }
    meta = Ref::borrow(winner);
    if (winner == reinterpret_cast<PyObject*>(&PyType_Type)) return Ref::steal(PyDict_New());
    Ref prepare = Ref::steal(PyObject_GetAttrString(winner, "__prepare__"));
    if (!prepare) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
        PyErr_Clear();
        return Ref::steal(PyDict_New());
    }
    return call2(prepare.get(), name, bases);
}

Ref finish_class(PyObject* meta, PyObject* name, PyObject* bases, PyObject* ns) noexcept {
    PyObject* args[] = {nullptr, name, bases, ns};
    return Ref::steal(PyObject_Vectorcall(meta, args + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref make_property(PyObject* getter, PyObject* setter, PyObject* setter_name) noexcept {
    Ref prop = call1(reinterpret_cast<PyObject*>(&PyProperty_Type), getter);
    if (!prop || !setter) return prop;
    return call_method1(prop.get(), setter_name, setter);
}

}  // namespace pyrt
