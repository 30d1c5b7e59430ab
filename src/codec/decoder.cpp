// OpusDecoder: the packets of one stream in, int16 PCM at the source's rate out, to the sample.
#include "objects.hpp"

#include <bit>

namespace codec {
namespace {

static_assert(std::endian::native == std::endian::little, "PCM is little-endian int16");

using DecoderObject = CoreObject<Decoder>;
constexpr auto box_of = DecoderObject::of;

PyObject* decoder_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"sample_rate", "channels", nullptr};
    int rate = 0, channels = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "ii:OpusDecoder", const_cast<char**>(kwlist), &rate, &channels))
        return nullptr;
    if (check_stream_args(rate, channels) < 0) return nullptr;
    return DecoderObject::create(type, rate, channels);
}

PyObject* pcm_bytes(const std::vector<std::int16_t>& pcm) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(pcm.data()),
                                     static_cast<Py_ssize_t>(pcm.size() * sizeof(std::int16_t)));
}

PyObject* decoder_decode(PyObject* self, PyObject* packet) {
    Packet p;
    if (packet_fields(state_of_type(Py_TYPE(self)), packet, p) < 0) return nullptr;
    auto* box = box_of(self);
    std::vector<std::int16_t> pcm;
    if (run_released(box->lock, [&] { box->core.decode(p, pcm); }) < 0) return nullptr;
    return pcm_bytes(pcm);
}

PyObject* decoder_flush(PyObject* self, PyObject*) {
    auto* box = box_of(self);
    std::vector<std::int16_t> pcm;
    if (run_released(box->lock, [&] { box->core.flush(pcm); }) < 0) return nullptr;
    return pcm_bytes(pcm);
}

PyObject* get_opus_rate(PyObject* self, void*) { return PyLong_FromLong(box_of(self)->core.opus_rate()); }

PyMethodDef decoder_methods[] = {
    {"decode", decoder_decode, METH_O,
     "decode($self, packet, /)\n--\n\n"
     "Decode the stream's next Packet; return the int16 PCM at the source's rate it lets through.\n\n"
     "Packets must come in order (each starting where the previous one ended): ValueError\n"
     "otherwise, or for data that is no Opus packet. Resampled audio lags a little and comes\n"
     "with the next packets or flush(); never more than the packets so far stood for."},
    {"flush", decoder_flush, METH_NOARGS,
     "flush($self, /)\n--\n\n"
     "End the stream: return the rest of its PCM. All the output then holds exactly as many\n"
     "sample frames as the packets stood for (the last packet's end)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef decoder_getset[] = {
    {"opus_rate", get_opus_rate, nullptr, "The rate the stream was coded at (see OpusEncoder.opus_rate).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kDecoderDoc =
    "OpusDecoder(sample_rate, channels)\n--\n\n"
    "Decoder of the packets of one OpusEncoder stream back into int16 PCM at its source rate.\n\n"
    "sample_rate and channels are the encoder's. Each packet's skip and keep are applied, so the\n"
    "output is as long as what was written, to the sample.";

PyType_Slot decoder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(decoder_tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(DecoderObject::dealloc)},
    {Py_tp_methods, decoder_methods},
    {Py_tp_getset, decoder_getset},
    {Py_tp_doc, const_cast<char*>(kDecoderDoc)},
    {0, nullptr},
};

}  // namespace

PyType_Spec decoder_spec = {
    "veltrane.vt_ui._codec.OpusDecoder", sizeof(DecoderObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    decoder_slots,
};

}  // namespace codec
