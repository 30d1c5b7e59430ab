// The streaming area: the front-end stream channel and the HTTP relay.
#pragma once

#include "surface.hpp"

namespace wa {

// send_message("audio_metadata", {"sample_rate": rate, "channels": channels}).  0 / -1.
int send_metadata(Function* f, PyObject* sample_rate, PyObject* channels) noexcept;

void register_channel(Surface& s);  // channel.cpp
void register_relay(Surface& s);    // relay.cpp

}  // namespace wa
