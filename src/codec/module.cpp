// PyInit__codec: the Opus stream codec as a module of its own (the player's module does not need it).
#include "objects.hpp"

#include <opus/opus.h>
#include <soxr.h>

namespace codec {
namespace {

constexpr const char* kModuleDoc =
    "Opus for audio streams: an encoder of int16 PCM into Opus packets (20 ms) that each say which\n"
    "source samples they stand for, and the decoder back to PCM at the source's rate.\n\n"
    "Built on libopus, and libsoxr for the rates Opus does not take.";

ModuleState* state_of(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

int add_type(PyObject* module, PyType_Spec* spec, PyObject** slot) {
    *slot = PyType_FromModuleAndSpec(module, spec, nullptr);
    if (!*slot) return -1;
    return PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(*slot));
}

int module_exec(PyObject* module) {
    ModuleState* st = state_of(module);
    if (add_type(module, &packet_spec, &st->packet_type) < 0 ||
        add_type(module, &encoder_spec, &st->encoder_type) < 0 ||
        add_type(module, &decoder_spec, &st->decoder_type) < 0)
        return -1;
    if (PyModule_AddIntConstant(module, "CLOCK_RATE", kClockRate) < 0 ||
        PyModule_AddStringConstant(module, "opus_version", opus_get_version_string()) < 0 ||
        PyModule_AddStringConstant(module, "soxr_version", soxr_version()) < 0)
        return -1;
    return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* st = state_of(module);
    Py_VISIT(st->packet_type);
    Py_VISIT(st->encoder_type);
    Py_VISIT(st->decoder_type);
    return 0;
}

int module_clear(PyObject* module) {
    ModuleState* st = state_of(module);
    Py_CLEAR(st->packet_type);
    Py_CLEAR(st->encoder_type);
    Py_CLEAR(st->decoder_type);
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // Every object lives in the module's state; the libraries keep none of their own.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_codec", kModuleDoc, sizeof(ModuleState), nullptr,
    module_slots,          module_traverse, module_clear, module_free,
};

}  // namespace
}  // namespace codec

PyMODINIT_FUNC PyInit__codec(void) { return PyModuleDef_Init(&codec::module_def); }
