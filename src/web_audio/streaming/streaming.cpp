// The streaming area's registration, and the audio metadata message the channel and the relay send.
#include "streaming/streaming.hpp"

#include "host/host.hpp"

namespace wa {

int send_metadata(Function* f, PyObject* sample_rate, PyObject* channels) noexcept {
    State* st = state(f);
    Ref payload = Ref::steal(PyDict_New());
    if (!payload || PyDict_SetItem(payload.get(), st->s_sample_rate, sample_rate) < 0 ||
        PyDict_SetItem(payload.get(), st->s_channels, channels) < 0)
        return -1;
    return host::send_message(f, st->s_audio_metadata, payload.get());
}

int register_streaming(Surface& s) {
    register_channel(s);
    register_relay(s);
    return 0;
}

}  // namespace wa
