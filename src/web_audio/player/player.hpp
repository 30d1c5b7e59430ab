// The player area: each file registers the callables it defines.
#pragma once

#include "surface.hpp"

namespace wa {

void register_init(Surface& s);          // handle.cpp
void register_options(Surface& s);       // properties.cpp
void register_commands(Surface& s);      // commands.cpp
void register_writer_access(Surface& s); // writer_access.cpp
void register_callbacks(Surface& s);     // callbacks.cpp
int register_url_type(Surface& s);       // url_type.cpp
int register_web_audio(Surface& s);      // factory.cpp

}  // namespace wa
