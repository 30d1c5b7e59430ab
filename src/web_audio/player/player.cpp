// The player area's registration: url_type and web_audio, and the WebAudioProps members it defines.
#include "player/player.hpp"

namespace wa {

int register_player(Surface& s) {
    if (register_url_type(s) < 0 || register_web_audio(s) < 0) return -1;
    register_init(s);
    register_options(s);
    register_commands(s);
    register_writer_access(s);
    register_callbacks(s);
    return 0;
}

}  // namespace wa
