// Registration of the areas' callables: module functions, module classes, the handle template.
#include "surface.hpp"

#include "pyrt/classbuilder.hpp"

#include <algorithm>

namespace wa {
namespace {

// The function objects of one member: getter or method, and the setter.
int make_member(PyObject* module, PyObject* prefix, const Member& m, Ref& fn, Ref& setter) noexcept {
    Ref qn = Ref::steal(PyUnicode_FromFormat("%U.%s", prefix, m.fn->name));
    if (!qn) return -1;
    fn = new_function(module, *m.fn, qn.get());
    if (!fn) return -1;
    if (m.setter && !(setter = new_function(module, *m.setter, qn.get()))) return -1;
    return 0;
}

}  // namespace

Ref new_function(PyObject* module, const FuncDef& def, PyObject* qualname) noexcept {
    return Ref::steal(reinterpret_cast<PyObject*>(
        pyrt::new_function(state_of(module)->function_type, module, &def, qualname)));
}

int Surface::add_function(const FuncDef& def) noexcept {
    Ref fn = new_function(module_, def, nullptr);
    return fn ? PyModule_AddObjectRef(module_, def.name, fn.get()) : -1;
}

Ref Surface::add_class(const char* name, const char* doc, std::span<const Member> members) noexcept {
    State* st = state();
    Ref cls_name = Ref::steal(PyUnicode_InternFromString(name));
    Ref bases = cls_name ? Ref::steal(PyTuple_New(0)) : Ref();
    if (!bases) return Ref();
    Ref meta;
    Ref ns = pyrt::prepare_class(cls_name.get(), bases.get(), meta);
    if (!ns) return Ref();
    Ref module_name = Ref::steal(PyModule_GetNameObject(module_));
    Ref doc_text = module_name ? Ref::steal(PyUnicode_FromString(doc)) : Ref();
    if (!doc_text || PyObject_SetItem(ns.get(), st->s_dunder_module, module_name.get()) < 0 ||
        PyObject_SetItem(ns.get(), st->s_dunder_qualname, cls_name.get()) < 0 ||
        PyObject_SetItem(ns.get(), st->s_dunder_doc, doc_text.get()) < 0)
        return Ref();
    for (const Member& m : members) {
        Ref fn, setter;
        if (make_member(module_, cls_name.get(), m, fn, setter) < 0) return Ref();
        Ref value = m.property ? pyrt::make_property(fn.get(), setter.get(), st->s_setter) : std::move(fn);
        Ref member_name = value ? Ref::steal(PyUnicode_InternFromString(m.fn->name)) : Ref();
        if (!member_name || PyObject_SetItem(ns.get(), member_name.get(), value.get()) < 0) return Ref();
    }
    Ref cls = pyrt::finish_class(meta.get(), cls_name.get(), bases.get(), ns.get());
    if (!cls || PyModule_AddObjectRef(module_, name, cls.get()) < 0) return Ref();
    return cls;
}

int Surface::finish() noexcept {
    State* st = state();
    std::stable_sort(handle_.begin(), handle_.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return -1;
    for (const auto& [section, m] : handle_) {
        Ref fn, setter;
        if (make_member(module_, st->handle_qualname, m, fn, setter) < 0) return -1;
        Ref name = Ref::steal(PyUnicode_InternFromString(m.fn->name));
        if (!name) return -1;
        Ref entry = Ref::steal(PyTuple_Pack(4, name.get(), fn.get(), setter ? setter.get() : Py_None,
                                            m.property ? Py_True : Py_False));
        if (!entry || PyList_Append(list.get(), entry.get()) < 0) return -1;
    }
    Py_XSETREF(st->handle_template, list.release());
    return 0;
}

}  // namespace wa
