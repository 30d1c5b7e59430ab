// Packet: one Opus packet and the source samples it stands for (immutable).
#include "objects.hpp"

#include <cstddef>
#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_OBJECT_EX T_OBJECT_EX
#define Py_T_LONGLONG T_LONGLONG
#define Py_T_INT T_INT
#define Py_READONLY READONLY
#endif

namespace codec {
namespace {

struct PacketObject {
    PyObject_HEAD
    PyObject* data;  // bytes
    long long start;
    long long end;
    int skip;
    int keep;
};

// A Packet owning `bytes` (stolen), or nullptr.
PyObject* make(PyTypeObject* type, PyObject* bytes, long long start, long long end, int skip, int keep) {
    if (!bytes) return nullptr;
    auto* self = reinterpret_cast<PacketObject*>(type->tp_alloc(type, 0));
    if (!self) {
        Py_DECREF(bytes);
        return nullptr;
    }
    self->data = bytes;
    self->start = start;
    self->end = end;
    self->skip = skip;
    self->keep = keep;
    return reinterpret_cast<PyObject*>(self);
}

PyObject* packet_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"data", "start", "end", "skip", "keep", nullptr};
    PyObject* data = nullptr;
    long long start = 0, end = 0;
    int skip = 0, keep = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OLLii:Packet", const_cast<char**>(kwlist), &data, &start, &end,
                                     &skip, &keep))
        return nullptr;
    if (start < 0 || end < start || skip < 0 || keep < 0) {
        PyErr_Format(PyExc_ValueError,
                     "a packet needs 0 <= start <= end and skip, keep >= 0 (start=%lld, end=%lld, skip=%d, keep=%d)",
                     start, end, skip, keep);
        return nullptr;
    }
    return make(type, PyBytes_FromObject(data), start, end, skip, keep);
}

void packet_dealloc(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    Py_XDECREF(reinterpret_cast<PacketObject*>(obj)->data);
    type->tp_free(obj);
    Py_DECREF(type);
}

PyObject* packet_repr(PyObject* obj) {
    const auto* p = reinterpret_cast<PacketObject*>(obj);
    return PyUnicode_FromFormat("Packet(<%zd bytes>, start=%lld, end=%lld, skip=%d, keep=%d)",
                                PyBytes_GET_SIZE(p->data), p->start, p->end, p->skip, p->keep);
}

PyMemberDef packet_members[] = {
    {"data", Py_T_OBJECT_EX, offsetof(PacketObject, data), Py_READONLY, "The Opus packet (20 ms; 10 ms after a synced chunk)."},
    {"start", Py_T_LONGLONG, offsetof(PacketObject, start), Py_READONLY,
     "Index of the first source sample (per channel) this packet stands for."},
    {"end", Py_T_LONGLONG, offsetof(PacketObject, end), Py_READONLY,
     "One past the last source sample it stands for; the next packet starts here."},
    {"skip", Py_T_INT, offsetof(PacketObject, skip), Py_READONLY,
     "Decoded samples (at 48 kHz) to drop at the start of this packet: the encoder's look-ahead."},
    {"keep", Py_T_INT, offsetof(PacketObject, keep), Py_READONLY,
     "Decoded samples (at 48 kHz) after those that are the source's [start, end); the rest is padding."},
    {nullptr, 0, 0, 0, nullptr},
};

constexpr const char* kPacketDoc =
    "Packet(data, start, end, skip, keep)\n--\n\n"
    "One Opus packet of a stream (20 ms, or shorter: see OpusEncoder.encode) and the source\n"
    "samples it stands for.\n\n"
    "Decoded, the packet's first `skip` samples are dropped and the next `keep` are the source's\n"
    "samples [start, end), at the decoder's rate; whatever follows them is padding. skip and keep\n"
    "count at 48 kHz (CLOCK_RATE), whatever rate the stream is coded at. Over a stream the packets\n"
    "follow one another without a gap (each starts at its predecessor's end) and the last one ends\n"
    "at the number of samples written.";

PyType_Slot packet_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(packet_tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(packet_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(packet_repr)},
    {Py_tp_members, packet_members},
    {Py_tp_doc, const_cast<char*>(kPacketDoc)},
    {0, nullptr},
};

}  // namespace

PyType_Spec packet_spec = {
    "veltrane.vt_ui._codec.Packet", sizeof(PacketObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    packet_slots,
};

PyObject* packet_new(ModuleState* st, const Packet& p) {
    PyObject* bytes =
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p.data.data()), static_cast<Py_ssize_t>(p.data.size()));
    return make(reinterpret_cast<PyTypeObject*>(st->packet_type), bytes, p.start, p.end, p.skip, p.keep);
}

PyObject* packet_list(ModuleState* st, const std::vector<Packet>& packets) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(packets.size()));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < packets.size(); i++) {
        PyObject* item = packet_new(st, packets[i]);
        if (!item) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

int packet_fields(ModuleState* st, PyObject* obj, Packet& out) {
    if (Py_TYPE(obj) != reinterpret_cast<PyTypeObject*>(st->packet_type)) {
        PyErr_Format(PyExc_TypeError, "decode() takes a Packet, not %.200s", Py_TYPE(obj)->tp_name);
        return -1;
    }
    const auto* p = reinterpret_cast<PacketObject*>(obj);
    const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(p->data));
    try {
        out.data.assign(bytes, bytes + PyBytes_GET_SIZE(p->data));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    out.start = p->start;
    out.end = p->end;
    out.skip = p->skip;
    out.keep = p->keep;
    return 0;
}

}  // namespace codec
