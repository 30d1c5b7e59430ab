// Function: a Python-function look-alike whose parameters, docstring and implementation are
// declared together in one static FuncDef.
#pragma once

#include "pyrt/ref.hpp"

#include <array>
#include <cstddef>

namespace pyrt {

struct Function;

// The arguments of one call, bound to the declared parameters: args[i] is a
// borrowed reference for parameter i (defaults filled in); `kwargs` is a new
// dict of the extra keywords for a callable that collects **kwargs, else null.
struct Args {
    PyObject* const* v;
    PyObject* kwargs;
    PyObject* operator[](std::size_t i) const noexcept { return v[i]; }
};

// An implementation.  A C++ exception escaping it (std::bad_alloc from a
// std::string, say) is turned into a Python exception at the call boundary.
using Impl = PyObject* (*)(Function* fn, Args args);
// Makes the object a function keeps for its implementation (Function::bound),
// once, when the function is created from its declaration.  New reference.
struct FuncDef;
using Prepare = PyObject* (*)(PyObject* module, const FuncDef& def);

// A parameter default as written in a declaration.
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
    const char* name = nullptr;
    Default dflt = required;
};

constexpr std::size_t kMaxParams = 16;

// One public callable: name, docstring, parameters in order, whether extra
// keywords are collected into **kwargs, and the implementation.  Made with
// def(), which counts the parameters:
//
//     const FuncDef play = def("play", "播放音频", {{"self"}}, play_impl);
struct FuncDef {
    const char* name = nullptr;
    const char* doc = nullptr;  // nullptr: no docstring
    std::array<Param, kMaxParams> params{};
    std::size_t nparams = 0;
    bool varkw = false;
    Impl impl = nullptr;
    const void* data = nullptr;  // per-declaration data for shared implementations
    Prepare prepare = nullptr;

    constexpr FuncDef with_kwargs() const { FuncDef d = *this; d.varkw = true; return d; }
    constexpr FuncDef with_data(const void* p) const { FuncDef d = *this; d.data = p; return d; }
    constexpr FuncDef with_prepare(Prepare p) const { FuncDef d = *this; d.prepare = p; return d; }
    template <class T>
    const T& data_as() const noexcept { return *static_cast<const T*>(data); }
};

template <std::size_t N>
constexpr FuncDef def(const char* name, const char* doc, const Param (&params)[N], Impl impl) {
    static_assert(N <= kMaxParams, "too many parameters for one callable");
    FuncDef d;
    d.name = name;
    d.doc = doc;
    for (std::size_t i = 0; i < N; i++) d.params[i] = params[i];
    d.nparams = N;
    d.impl = impl;
    return d;
}

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
    PyObject* module;       // the defining module: its namespace holds the globals
    void* module_state;     // its PyModule_GetState()
    PyObject* owner;        // defining class (for super()), or nullptr
    PyObject* bound;        // made by def->prepare, or nullptr
    PyObject* weakreflist;
};

// Creates the function type for `module` (called once at module exec), named
// `qualified_name` ("package.module.type"; a string that outlives the type).
PyTypeObject* make_function_type(PyObject* module, const char* qualified_name) noexcept;

// A new function of `type` from its declaration.
Function* new_function(PyTypeObject* type, PyObject* module, const FuncDef* def, PyObject* qualname) noexcept;
// A new function sharing everything with `tmpl` but its __dict__ (per-class copies).
Function* clone_function(Function* tmpl) noexcept;

}  // namespace pyrt
