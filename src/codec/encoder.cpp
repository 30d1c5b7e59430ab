// OpusEncoder: int16 PCM of one stream in, 20 ms Opus packets out.
#include "objects.hpp"

namespace codec {
namespace {

using EncoderObject = CoreObject<Encoder>;
constexpr auto box_of = EncoderObject::of;

PyObject* encoder_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"sample_rate", "channels", "bitrate", nullptr};
    int rate = 0, channels = 0;
    PyObject* bitrate_arg = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "ii|O:OpusEncoder", const_cast<char**>(kwlist), &rate, &channels,
                                     &bitrate_arg))
        return nullptr;
    if (check_stream_args(rate, channels) < 0) return nullptr;
    int bitrate = default_bitrate(channels);
    if (bitrate_arg != Py_None) {
        const long b = PyLong_AsLong(bitrate_arg);
        if (b == -1 && PyErr_Occurred()) return nullptr;
        if (check_range("bitrate", b, kMinBitrate, kMaxBitrate, "bit/s") < 0) return nullptr;
        bitrate = static_cast<int>(b);
    }
    return EncoderObject::create(type, rate, channels, bitrate);
}

PyObject* encoder_encode(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"", "sync", nullptr};
    PyObject* pcm = nullptr;
    int sync = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|$p:encode", const_cast<char**>(kwlist), &pcm, &sync))
        return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(pcm, &view, PyBUF_SIMPLE) < 0) return nullptr;
    auto* box = box_of(self);
    std::vector<Packet> packets;
    const int rc = run_released(box->lock, [&] {
        box->core.encode(static_cast<const unsigned char*>(view.buf), static_cast<std::size_t>(view.len), packets,
                         sync != 0);
    });
    PyBuffer_Release(&view);
    if (rc < 0) return nullptr;
    return packet_list(state_of_type(Py_TYPE(self)), packets);
}

PyObject* encoder_flush(PyObject* self, PyObject*) {
    auto* box = box_of(self);
    std::vector<Packet> packets;
    if (run_released(box->lock, [&] { box->core.flush(packets); }) < 0) return nullptr;
    return packet_list(state_of_type(Py_TYPE(self)), packets);
}

template <int (Encoder::*field)() const>
PyObject* get_int(PyObject* self, void*) {
    return PyLong_FromLong((box_of(self)->core.*field)());
}

PyMethodDef encoder_methods[] = {
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encoder_encode)),
     METH_VARARGS | METH_KEYWORDS,
     "encode($self, pcm, /, *, sync=False)\n--\n\n"
     "Take the next chunk of the stream and return the packets it completes.\n\n"
     "pcm is int16 PCM, channels interleaved, in any bytes-like object (bytes, bytearray,\n"
     "memoryview, array('h'), a numpy array). Chunks may have any size: samples short of\n"
     "a 20 ms frame, or of one sample for every channel, wait for the next chunk. With\n"
     "sync=True (a writer's chunk that may be its last for a while) 10 ms of what is short of\n"
     "a 20 ms frame go too, as a 10 ms packet, once the first packet is out: less than 10 ms\n"
     "and the encoder's look-ahead (6.5 ms) wait. The GIL is released while encoding; one\n"
     "encoder serves one call at a time."},
    {"flush", encoder_flush, METH_NOARGS,
     "flush($self, /)\n--\n\n"
     "End the stream: return the packets still to come, the last one padded with silence.\n\n"
     "The last packet then ends at the number of whole sample frames written; bytes short of\n"
     "one frame at the very end are left out. A second flush returns []; encode() then raises\n"
     "ValueError."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef encoder_getset[] = {
    {"sample_rate", get_int<&Encoder::sample_rate>, nullptr, "The source's rate in Hz.", nullptr},
    {"channels", get_int<&Encoder::channels>, nullptr, "1 or 2.", nullptr},
    {"bitrate", get_int<&Encoder::bitrate>, nullptr, "Target bitrate in bit/s.", nullptr},
    {"opus_rate", get_int<&Encoder::opus_rate>, nullptr,
     "The rate the stream is coded at: the source's where Opus takes it (8, 12, 16, 24 or 48 kHz),\n"
     "else the next of those above it (48 kHz at most), reached with libsoxr.", nullptr},
    {"pre_skip", get_int<&Encoder::pre_skip>, nullptr,
     "Decoded samples (at 48 kHz) before the stream's first: the first packet's skip.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kEncoderDoc =
    "OpusEncoder(sample_rate, channels, bitrate=None)\n--\n\n"
    "Encoder of one stream of int16 PCM into 20 ms Opus packets.\n\n"
    "sample_rate is any rate from 1000 to 384000 Hz, channels 1 or 2; bitrate defaults to\n"
    "32000 bit/s per channel (speech) and may be 6000 to 510000. Each Packet says which source\n"
    "samples it stands for, so that a receiver can count what it plays to the sample.";

PyType_Slot encoder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(encoder_tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(EncoderObject::dealloc)},
    {Py_tp_methods, encoder_methods},
    {Py_tp_getset, encoder_getset},
    {Py_tp_doc, const_cast<char*>(kEncoderDoc)},
    {0, nullptr},
};

}  // namespace

PyType_Spec encoder_spec = {
    "veltrane.vt_ui._codec.OpusEncoder", sizeof(EncoderObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    encoder_slots,
};

int check_range(const char* name, long value, long lo, long hi, const char* unit) {
    if (value >= lo && value <= hi) return 0;
    PyErr_Format(PyExc_ValueError, "%s must be from %ld to %ld %s, not %ld", name, lo, hi, unit, value);
    return -1;
}

int check_stream_args(int sample_rate, int channels) {
    if (check_range("sample_rate", sample_rate, kMinRate, kMaxRate, "Hz") < 0) return -1;
    if (channels == 1 || channels == 2) return 0;
    PyErr_Format(PyExc_ValueError, "channels must be 1 or 2, not %d", channels);
    return -1;
}

}  // namespace codec
