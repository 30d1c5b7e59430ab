// WebAudioProps.__init__: super().__init__(res), resolved from the defining class, then __audio = "".
#include "player/player.hpp"

namespace wa {
namespace {

PyObject* init(Function* f, Args a) {
    State* st = state(f);
    PyObject* self = a[0];
    if (f->owner == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "super(): __class__ cell not found");
        return nullptr;
    }
    Ref sup = pyrt::call2(reinterpret_cast<PyObject*>(&PySuper_Type), f->owner, self);
    if (!sup) return nullptr;
    Ref r = pyrt::call_method1(sup.get(), st->s_dunder_init, a[1]);
    if (!r) return nullptr;
    if (PyObject_SetAttr(self, st->s_handle_audio, st->s_empty) < 0) return nullptr;
    return pyrt::none();
}
const FuncDef init_def = def("__init__", nullptr, {{"self"}, {"res"}}, init);

}  // namespace

void register_init(Surface& s) { s.add_handle_member(Section::Init, method(init_def)); }

}  // namespace wa
