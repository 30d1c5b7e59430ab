// Function type, argument binder and the call entries by arity.
#include "pyrt/function.hpp"

#include <structmember.h>

#include <cstddef>
#include <exception>
#include <new>
#include <utility>

namespace pyrt {
namespace {

// ---- argument errors, worded as CPython words them for Python functions ----

void too_many_positional(Function* f, Py_ssize_t given) noexcept {
    const Py_ssize_t argcount = static_cast<Py_ssize_t>(f->def->nparams);
    const Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    Ref sig;
    bool plural;
    if (defcount) {
        plural = true;
        sig = Ref::steal(PyUnicode_FromFormat("from %zd to %zd", argcount - defcount, argcount));
    } else {
        plural = argcount != 1;
        sig = Ref::steal(PyUnicode_FromFormat("%zd", argcount));
    }
    if (!sig) return;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given", f->qualname, sig.get(),
                 plural ? "s" : "", given, given == 1 ? "was" : "were");
}

void missing_arguments(Function* f, Py_ssize_t missing, Py_ssize_t end, PyObject* const* slots) noexcept {
    Ref names = Ref::steal(PyList_New(0));
    if (!names) return;
    for (Py_ssize_t i = 0; i < end; i++) {
        if (slots[i] == nullptr) {
            Ref r = Ref::steal(PyObject_Repr(PyTuple_GET_ITEM(f->varnames, i)));
            if (!r || PyList_Append(names.get(), r.get()) < 0) return;
        }
    }
    const Py_ssize_t len = PyList_GET_SIZE(names.get());
    Ref text;
    if (len == 1) {
        text = Ref::borrow(PyList_GET_ITEM(names.get(), 0));
    } else if (len == 2) {
        text = Ref::steal(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names.get(), 0),
                                               PyList_GET_ITEM(names.get(), 1)));
    } else {
        Ref tail = Ref::steal(PyUnicode_FromFormat(", %U, and %U", PyList_GET_ITEM(names.get(), len - 2),
                                                   PyList_GET_ITEM(names.get(), len - 1)));
        if (!tail || PyList_SetSlice(names.get(), len - 2, len, nullptr) < 0) return;
        Ref comma = Ref::steal(PyUnicode_FromString(", "));
        if (!comma) return;
        Ref head = Ref::steal(PyUnicode_Join(comma.get(), names.get()));
        if (!head) return;
        text = Ref::steal(PyUnicode_Concat(head.get(), tail.get()));
    }
    if (!text) return;
    PyErr_Format(PyExc_TypeError, "%U() missing %i required positional argument%s: %U", f->qualname,
                 static_cast<int>(missing), missing == 1 ? "" : "s", text.get());
}

#if PY_VERSION_HEX >= 0x030D0000
// The "Did you mean" suggestion Python 3.13+ adds to an unexpected keyword:
// the closest parameter name by the interpreter's own weighted edit distance
// (moves cost 2, a case flip 1; at most a third of the characters changed).
constexpr std::size_t kMoveCost = 2, kCaseCost = 1, kMaxSuggestionSize = 40;

std::size_t substitution_cost(char a, char b) {
    if ((a & 31) != (b & 31)) return kMoveCost;
    if (a == b) return 0;
    if ('A' <= a && a <= 'Z') a = static_cast<char>(a + ('a' - 'A'));
    if ('A' <= b && b <= 'Z') b = static_cast<char>(b + ('a' - 'A'));
    return a == b ? kCaseCost : kMoveCost;
}

std::size_t edit_distance(const char* a, std::size_t na, const char* b, std::size_t nb, std::size_t max_cost) {
    while (na && nb && a[0] == b[0]) { a++; na--; b++; nb--; }
    while (na && nb && a[na - 1] == b[nb - 1]) { na--; nb--; }
    if (na == 0 || nb == 0) return (na + nb) * kMoveCost;
    if (na > kMaxSuggestionSize || nb > kMaxSuggestionSize) return max_cost + 1;
    if (nb < na) { std::swap(a, b); std::swap(na, nb); }
    if ((nb - na) * kMoveCost > max_cost) return max_cost + 1;
    std::size_t row[kMaxSuggestionSize];
    for (std::size_t i = 0; i < na; i++) row[i] = (i + 1) * kMoveCost;
    std::size_t result = 0;
    for (std::size_t bi = 0; bi < nb; bi++) {
        std::size_t distance = result = bi * kMoveCost;
        std::size_t minimum = static_cast<std::size_t>(-1);
        for (std::size_t i = 0; i < na; i++) {
            const std::size_t substitute = distance + substitution_cost(b[bi], a[i]);
            distance = row[i];
            const std::size_t insert_delete = (result < distance ? result : distance) + kMoveCost;
            result = insert_delete < substitute ? insert_delete : substitute;
            row[i] = result;
            if (result < minimum) minimum = result;
        }
        if (minimum > max_cost) return max_cost + 1;
    }
    return result;
}

// Borrowed parameter name closest to `key`, or nullptr.
PyObject* suggest_keyword(Function* f, PyObject* key) {
    Py_ssize_t key_size = 0;
    const char* key_str = PyUnicode_AsUTF8AndSize(key, &key_size);
    if (!key_str) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* best = nullptr;
    std::size_t best_distance = static_cast<std::size_t>(-1);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(f->varnames); i++) {
        PyObject* item = PyTuple_GET_ITEM(f->varnames, i);
        if (PyUnicode_Compare(item, key) == 0) continue;
        Py_ssize_t item_size = 0;
        const char* item_str = PyUnicode_AsUTF8AndSize(item, &item_size);
        if (!item_str) {
            PyErr_Clear();
            return nullptr;
        }
        std::size_t max_distance = static_cast<std::size_t>(key_size + item_size + 3) * kMoveCost / 6;
        if (best_distance - 1 < max_distance) max_distance = best_distance - 1;
        const std::size_t d = edit_distance(key_str, static_cast<std::size_t>(key_size), item_str,
                                            static_cast<std::size_t>(item_size), max_distance);
        if (d > max_distance) continue;
        if (!best || d < best_distance) {
            best = item;
            best_distance = d;
        }
    }
    return best;
}
#endif

void unexpected_keyword(Function* f, PyObject* key) {
#if PY_VERSION_HEX >= 0x030D0000
    if (PyObject* suggestion = suggest_keyword(f, key)) {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?", f->qualname,
                     key, suggestion);
        return;
    }
#endif
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, key);
}

// Binds the call's arguments to the declared parameters.  On success every
// slot holds a borrowed reference and, for **kwargs callables, `kwdict` a new
// dict.  On failure returns -1 with TypeError set.
int bind(Function* f, PyObject* const* args, size_t nargsf, PyObject* kwnames, PyObject** slots, Ref& kwdict) noexcept {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t n = static_cast<Py_ssize_t>(f->def->nparams);
    const Py_ssize_t ncopy = nargs < n ? nargs : n;
    for (Py_ssize_t i = 0; i < ncopy; i++) slots[i] = args[i];
    for (Py_ssize_t i = ncopy; i < n; i++) slots[i] = nullptr;

    if (f->def->varkw) {
        kwdict = Ref::steal(PyDict_New());
        if (!kwdict) return -1;
    }
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        PyObject* const* names = &PyTuple_GET_ITEM(f->varnames, 0);
        for (Py_ssize_t k = 0; k < nkw; k++) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            PyObject* value = args[nargs + k];
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", f->qualname);
                return -1;
            }
            Py_ssize_t j = 0;
            for (; j < n; j++)
                if (names[j] == key) break;
            if (j == n) {
                for (j = 0; j < n; j++) {
                    int eq = PyUnicode_Compare(names[j], key) == 0;
                    if (eq) break;
                }
                if (PyErr_Occurred()) return -1;
            }
            if (j == n) {
                if (kwdict) {
                    if (PyDict_SetItem(kwdict.get(), key, value) < 0) return -1;
                    continue;
                }
                unexpected_keyword(f, key);
                return -1;
            }
            if (slots[j] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, key);
                return -1;
            }
            slots[j] = value;
        }
    }
    if (nargs > n) {
        too_many_positional(f, nargs);
        return -1;
    }
    if (nargs < n) {
        const Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
        const Py_ssize_t m = n - defcount;
        Py_ssize_t missing = 0;
        for (Py_ssize_t i = nargs; i < m; i++)
            if (slots[i] == nullptr) missing++;
        if (missing) {
            missing_arguments(f, missing, m, slots);
            return -1;
        }
        Py_ssize_t i = nargs > m ? nargs - m : 0;
        for (; i < defcount; i++)
            if (slots[m + i] == nullptr) slots[m + i] = PyTuple_GET_ITEM(f->defaults, i);
    }
    return 0;
}

// Runs the implementation on bound arguments.  The function is held alive for
// the duration of the call (its defaults and module), as a running frame holds
// its function.
PyObject* invoke(Function* f, Args args) noexcept {
    Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(f));
    try {
        return f->def->impl(f, args);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "%U(): internal error: %s", f->qualname, e.what());
        return nullptr;
    } catch (...) {
        PyErr_Format(PyExc_SystemError, "%U(): internal error", f->qualname);
        return nullptr;
    }
}

// Any call: through the binder.
PyObject* vectorcall_general(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    Function* f = reinterpret_cast<Function*>(self);
    PyObject* slots[kMaxParams] = {};
    Ref kwdict;
    if (bind(f, args, nargsf, kwnames, slots, kwdict) < 0) return nullptr;
    return invoke(f, Args{slots, kwdict.get()});
}

// The entries of callables without **kwargs, one per parameter count N: a
// call passing exactly N positional arguments (the common case:
// `player.play()`, `player.volume = x`) goes straight to the implementation;
// any other call is bound in full.
template <Py_ssize_t N>
PyObject* vectorcall_exact(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    if (kwnames == nullptr && PyVectorcall_NARGS(nargsf) == N)
        return invoke(reinterpret_cast<Function*>(self), Args{args, nullptr});
    return vectorcall_general(self, args, nargsf, kwnames);
}

PyObject* vectorcall_exact_n(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    Function* f = reinterpret_cast<Function*>(self);
    if (kwnames == nullptr && static_cast<std::size_t>(PyVectorcall_NARGS(nargsf)) == f->def->nparams)
        return invoke(f, Args{args, nullptr});
    return vectorcall_general(self, args, nargsf, kwnames);
}

vectorcallfunc entry_for(const FuncDef* def) noexcept {
    if (def->varkw) return vectorcall_general;
    switch (def->nparams) {
        case 0: return vectorcall_exact<0>;
        case 1: return vectorcall_exact<1>;
        case 2: return vectorcall_exact<2>;
        case 3: return vectorcall_exact<3>;
        default: return vectorcall_exact_n;
    }
}

// ---- type slots ----

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = reinterpret_cast<Function*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->defaults);
    Py_VISIT(f->dict);
    Py_VISIT(f->annotations);
    Py_VISIT(f->module);
    Py_VISIT(f->owner);
    Py_VISIT(f->doc);
    Py_VISIT(f->module_name);
    Py_VISIT(f->bound);
    return 0;
}

int function_clear(PyObject* self) {
    Function* f = reinterpret_cast<Function*>(self);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->module);
    Py_CLEAR(f->owner);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->module_name);
    Py_CLEAR(f->bound);
    return 0;
}

void function_dealloc(PyObject* self) {
    Function* f = reinterpret_cast<Function*>(self);
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->varnames);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// Exactly what Python functions do: bound method on an instance, itself otherwise.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    Function* f = reinterpret_cast<Function*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<Function*>(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<Function*>(self)->qualname); }

int set_str_field(PyObject*& field, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(field, Py_NewRef(value));
    return 0;
}
int set_name(PyObject* self, PyObject* v, void*) {
    return set_str_field(reinterpret_cast<Function*>(self)->name, v, "__name__");
}
int set_qualname(PyObject* self, PyObject* v, void*) {
    return set_str_field(reinterpret_cast<Function*>(self)->qualname, v, "__qualname__");
}

PyObject* get_defaults(PyObject* self, void*) {
    Function* f = reinterpret_cast<Function*>(self);
    return f->defaults ? Py_NewRef(f->defaults) : Py_NewRef(Py_None);
}
int set_defaults(PyObject* self, PyObject* v, void*) {
    Function* f = reinterpret_cast<Function*>(self);
    if (v == Py_None) v = nullptr;
    if (v != nullptr && !PyTuple_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(f->defaults, Py_XNewRef(v));
    return 0;
}

PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_annotations(PyObject* self, void*) {
    Function* f = reinterpret_cast<Function*>(self);
    if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject* self, PyObject* v, void*) {
    Function* f = reinterpret_cast<Function*>(self);
    if (v == Py_None) v = nullptr;
    if (v != nullptr && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(f->annotations, Py_XNewRef(v));
    return 0;
}

// Functions pickle and copy by reference, as Python functions do: by their
// qualified name in their module.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<Function*>(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* get_signature(PyObject* self, void*) {
    Function* f = reinterpret_cast<Function*>(self);
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    Ref param_cls = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref sig_cls = param_cls ? Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature")) : Ref();
    if (!sig_cls) return nullptr;
    Ref pos_kw = Ref::steal(PyObject_GetAttrString(param_cls.get(), "POSITIONAL_OR_KEYWORD"));
    Ref var_kw = pos_kw ? Ref::steal(PyObject_GetAttrString(param_cls.get(), "VAR_KEYWORD")) : Ref();
    if (!var_kw) return nullptr;
    const Py_ssize_t n = static_cast<Py_ssize_t>(f->def->nparams);
    const Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    Ref params = Ref::steal(PyList_New(0));
    if (!params) return nullptr;
    for (Py_ssize_t i = 0; i < n; i++) {
        Ref args = Ref::steal(PyTuple_Pack(2, PyTuple_GET_ITEM(f->varnames, i), pos_kw.get()));
        Ref kw = Ref::steal(PyDict_New());
        if (!args || !kw) return nullptr;
        const Py_ssize_t di = i - (n - defcount);
        if (di >= 0 && di < defcount && PyDict_SetItemString(kw.get(), "default", PyTuple_GET_ITEM(f->defaults, di)) < 0)
            return nullptr;
        Ref p = Ref::steal(PyObject_Call(param_cls.get(), args.get(), kw.get()));
        if (!p || PyList_Append(params.get(), p.get()) < 0) return nullptr;
    }
    if (f->def->varkw) {
        Ref nm = Ref::steal(PyUnicode_FromString("kwargs"));
        if (!nm) return nullptr;
        Ref p = call2(param_cls.get(), nm.get(), var_kw.get());
        if (!p || PyList_Append(params.get(), p.get()) < 0) return nullptr;
    }
    return PyObject_CallOneArg(sig_cls.get(), params.get());
}

PyObject* get_text_signature(PyObject* self, void*) {
    // A textual form of the signature, for tools that read __text_signature__.
    Ref sig = Ref::steal(get_signature(self, nullptr));
    if (!sig) return nullptr;
    return PyObject_Str(sig.get());
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(Function, module_name), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(Function, doc), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(Function, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Function, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_type_def = {
    nullptr,  // named by the module that makes the type
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

PyObject* make_default(const Default& d) noexcept {
    switch (d.kind) {
        case Default::None: return Py_NewRef(Py_None);
        case Default::True: return Py_NewRef(Py_True);
        case Default::False: return Py_NewRef(Py_False);
        case Default::Int: return PyLong_FromLongLong(d.i);
        case Default::Str: return PyUnicode_FromString(d.s);
        case Default::Required: break;
    }
    PyErr_SetString(PyExc_SystemError, "parameter without a default in the defaults tuple");
    return nullptr;
}

Function* alloc_function(PyTypeObject* type, PyObject* module, void* module_state, const FuncDef* def,
                         vectorcallfunc entry) noexcept {
    Function* f = PyObject_GC_New(Function, type);
    if (!f) return nullptr;
    f->vectorcall = entry;
    f->def = def;
    f->varnames = f->name = f->qualname = f->module_name = f->doc = nullptr;
    f->defaults = f->dict = f->annotations = f->owner = f->bound = f->weakreflist = nullptr;
    f->module = Py_NewRef(module);
    f->module_state = module_state;
    return f;
}

}  // namespace

PyTypeObject* make_function_type(PyObject* module, const char* qualified_name) noexcept {
    PyType_Spec spec = function_type_def;
    spec.name = qualified_name;
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &spec, nullptr));
}

Function* new_function(PyTypeObject* type, PyObject* module, const FuncDef* def, PyObject* qualname) noexcept {
    Ref varnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(def->nparams)));
    if (!varnames) return nullptr;
    Py_ssize_t first_default = -1;
    for (std::size_t i = 0; i < def->nparams; i++) {
        PyObject* s = PyUnicode_InternFromString(def->params[i].name);
        if (!s) return nullptr;
        PyTuple_SET_ITEM(varnames.get(), static_cast<Py_ssize_t>(i), s);
        if (def->params[i].dflt.kind != Default::Required && first_default < 0)
            first_default = static_cast<Py_ssize_t>(i);
    }
    Ref defaults;
    if (first_default >= 0) {
        const Py_ssize_t n = static_cast<Py_ssize_t>(def->nparams) - first_default;
        defaults = Ref::steal(PyTuple_New(n));
        if (!defaults) return nullptr;
        for (Py_ssize_t i = 0; i < n; i++) {
            PyObject* d = make_default(def->params[first_default + i].dflt);
            if (!d) return nullptr;
            PyTuple_SET_ITEM(defaults.get(), i, d);
        }
    }
    Ref name = Ref::steal(PyUnicode_InternFromString(def->name));
    if (!name) return nullptr;
    Ref doc = def->doc ? Ref::steal(PyUnicode_FromString(def->doc)) : Ref::borrow(Py_None);
    if (!doc) return nullptr;
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return nullptr;
    Ref bound;
    if (def->prepare && !(bound = Ref::steal(def->prepare(module, *def)))) return nullptr;
    Function* f = alloc_function(type, module, PyModule_GetState(module), def, entry_for(def));
    if (!f) return nullptr;
    f->bound = bound.release();
    f->varnames = varnames.release();
    f->name = name.release();
    f->qualname = Py_NewRef(qualname ? qualname : f->name);
    f->module_name = module_name.release();
    f->doc = doc.release();
    f->defaults = defaults.release();
    PyObject_GC_Track(f);
    return f;
}

Function* clone_function(Function* t) noexcept {
    Function* f = alloc_function(Py_TYPE(t), t->module, t->module_state, t->def, t->vectorcall);
    if (!f) return nullptr;
    f->bound = Py_XNewRef(t->bound);
    f->varnames = Py_NewRef(t->varnames);
    f->name = Py_NewRef(t->name);
    f->qualname = Py_NewRef(t->qualname);
    f->module_name = Py_XNewRef(t->module_name);
    f->doc = Py_XNewRef(t->doc);
    f->defaults = Py_XNewRef(t->defaults);
    PyObject_GC_Track(f);
    return f;
}

}  // namespace pyrt
