// Class builder: makes classes at run time the way a `class` statement does.
#pragma once

#include "pyrt/ref.hpp"

namespace pyrt {

// Determines the metaclass from `bases` (the most derived metaclass of all
// bases, `type` when there are none) and asks it for the class namespace
// (`__prepare__`), exactly as a class statement does.  Returns the metaclass
// in `meta` and the namespace, or nullptr with an exception set.
Ref prepare_class(PyObject* name, PyObject* bases, Ref& meta) noexcept;

// Finishes the class: calls `meta(name, bases, ns)`.
Ref finish_class(PyObject* meta, PyObject* name, PyObject* bases, PyObject* ns) noexcept;

// property(getter), then .setter(setter) when a setter is given
// (`setter_name` is the interned "setter").
Ref make_property(PyObject* getter, PyObject* setter, PyObject* setter_name) noexcept;

}  // namespace pyrt
