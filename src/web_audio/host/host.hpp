// Host binding: the module globals taken from vt_core and the component-record access path.
#pragma once

#include "surface.hpp"

namespace host {

using pyrt::Function;
using pyrt::Ref;

// Binds the host's five names (and time, urlparse) into the module namespace,
// in the documented import order.  -1 with the import's exception on failure.
int bind_imports(PyObject* module) noexcept;

// The module global `g` (one of State's g_ fields), as Python code would read
// it now: a patched global takes effect at once.
inline Ref global(Function* f, pyrt::Global wa::State::*g) noexcept {
    return pyrt::lookup_global(f->module, wa::state(f)->*g);
}

// getcm().components
Ref components(Function* f) noexcept;
// getcm().components[self.id]["content"]["options"]
Ref options_of(Function* f, PyObject* self) noexcept;

// send_message(action, data), result ignored.  0 / -1.
int send_message(Function* f, PyObject* action, PyObject* data) noexcept;
// send_binary_message(data), result ignored.  0 / -1.
int send_binary_message(Function* f, PyObject* data) noexcept;
// convertPath2Url(value) when value is truthy, else "" without calling the host.
Ref convert_if_truthy(Function* f, PyObject* value) noexcept;
// self.update_cm(), result ignored.  0 / -1.
int update_cm(Function* f, PyObject* self) noexcept;

}  // namespace host
