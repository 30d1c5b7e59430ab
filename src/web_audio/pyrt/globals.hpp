// Module globals read at call time, as Python code reads them, through a cache that a
// dictionary watcher clears whenever a watched namespace changes.
#pragma once

#include "pyrt/ref.hpp"

#include <cstdint>

namespace pyrt {

// One global name of a module and what it last resolved to.  The value is
// borrowed: any change to the namespace it came from (or to the builtins)
// invalidates it before the change is made, so it is never used stale.
struct Global {
    PyObject* name = nullptr;      // interned; owned by whoever owns the Global
    PyObject* value = nullptr;     // borrowed from the namespace, or from `builtins`
    PyObject* builtins = nullptr;  // the builtins `value` was found in, or null
    std::uint64_t version = 0;     // namespace version `value` belongs to (0: none)
};

#if PY_VERSION_HEX >= 0x030C0000
namespace detail {
// Bumped by the watcher before any change to a watched namespace; 0 while no
// watcher is installed (nothing is then cached).
extern std::uint64_t namespace_version;
}  // namespace detail
#endif

// Starts watching `module`'s namespace and the builtins (CPython 3.12+; a
// no-op before).  0 / -1 with an exception set.
int watch_globals(PyObject* module) noexcept;
// Stops watching `module`'s namespace (at module free).  Never fails.
void unwatch_globals(PyObject* module) noexcept;

// The global `g` of `module` now: its namespace, then the builtins; NameError
// otherwise, worded as Python words it.  New reference or nullptr.
Ref lookup_global_slow(PyObject* module, Global& g) noexcept;
inline Ref lookup_global(PyObject* module, Global& g) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    // Cached and unchanged since; a value from the builtins stands only for
    // the builtins it came from.
    if (g.version == detail::namespace_version && g.version != 0 &&
        (g.builtins == nullptr || g.builtins == PyEval_GetBuiltins()))
        return Ref::borrow(g.value);
#endif
    return lookup_global_slow(module, g);
}

}  // namespace pyrt
