// The module's one function type: a Python-function look-alike driven by a static table entry.
#pragma once

#include "pyrt/ref.hpp"
#include "pyrt/state.hpp"

#include <cstddef>

namespace pyrt {

struct Function;

// An implementation receives every declared parameter already bound (args[i]
// is a borrowed reference for parameter i, defaults filled in) and, for a
// callable that collects **kwargs, a new dict of the extra keywords.  A C++
// exception escaping it (std::bad_alloc from a std::string, say) is turned
// into a Python exception at the call boundary.
using Impl = PyObject* (*)(Function* fn, PyObject* const* args, PyObject* kwargs);

// A parameter default as written in a table.
struct Default {
    enum Kind : unsigned char { Required, None, True, False, Int, Str } kind = Required;
    long long i = 0;
    const char* s = nullptr;
};
constexpr Default required{};
constexpr Default d_none{Default::None};
constexpr Default d_true{Default::True};
constexpr Default d_false{Default::False};
constexpr Default d_int(long long v) { return Default{Default::Int, v, nullptr}; }
constexpr Default d_str(const char* v) { return Default{Default::Str, 0, v}; }

struct Param {
    const char* name;
    Default dflt = required;
};

constexpr std::size_t kMaxParams = 16;

// One public callable: name, docstring, parameters (in order), whether extra
// keywords are collected into **kwargs, and the implementation.
struct FuncDef {
    const char* name;
    const char* doc;  // nullptr: no docstring
    const Param* params;
    std::size_t nparams;
    bool varkw;
    Impl impl;
    const void* data = nullptr;  // per-entry data for shared implementations
};

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FuncDef* def;
    PyObject* varnames;     // tuple of interned parameter names
    PyObject* name;         // __name__
    PyObject* qualname;     // __qualname__
    PyObject* module_name;  // __module__
    PyObject* doc;          // __doc__
    PyObject* defaults;     // __defaults__: tuple or nullptr
    PyObject* dict;         // __dict__ or nullptr
    PyObject* annotations;  // __annotations__ (created empty on first access)
    PyObject* module;       // the module: globals and state
    PyObject* owner;        // defining class (for super()), or nullptr
    PyObject* weakreflist;
};

// Creates the function type for `module` (called once at module exec).
PyTypeObject* make_function_type(PyObject* module) noexcept;

// A new function from its table entry.
Function* new_function(PyObject* module, const FuncDef* def, PyObject* qualname) noexcept;
// A new function sharing everything with `tmpl` but its __dict__ (per-class copies).
Function* clone_function(Function* tmpl) noexcept;

inline wa::State* state(Function* f) noexcept { return wa::state_of(f->module); }

// Look `name` up as a Python global of the module at call time: module
// namespace, then builtins; NameError otherwise.  New reference or nullptr.
PyObject* lookup_global(Function* f, PyObject* name) noexcept;

}  // namespace pyrt
