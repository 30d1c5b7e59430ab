// WebAudioProps playback commands, in the order the class lists them.
#include "host/host.hpp"
#include "player/command.hpp"
#include "player/player.hpp"

namespace wa {
namespace {

const FuncDef play = command("play", "播放音频", {{"self"}}, "play");
const FuncDef pause = command("pause", "暂停音频", {{"self"}}, "pause");
const FuncDef stop = command("stop", "停止音频", {{"self"}}, "close_stream");
const FuncDef seek = command("seek", "跳转到指定时间", {{"self"}, {"seconds", pyrt::d_int(0)}}, "seek");
const FuncDef reload = command("reload", "重新加载音频", {{"self"}}, "reload");

// setSrc(src): the converted source into the options, published, then reload().
PyObject* set_src(Function* f, Args a) {
    State* st = state(f);
    Ref value = host::convert_if_truthy(f, a[1]);
    if (!value) return nullptr;
    Ref options = host::options_of(f, a[0]);
    if (!options || pyrt::set_item(options.get(), st->s_src, value.get()) < 0) return nullptr;
    if (host::update_cm(f, a[0]) < 0) return nullptr;
    if (!pyrt::call_method0(a[0], st->s_reload)) return nullptr;
    return pyrt::none();
}
const FuncDef setSrc = def("setSrc", "设置音频源URL", {{"self"}, {"src"}}, set_src);

}  // namespace

void register_commands(Surface& s) {
    for (const FuncDef* fn : {&play, &pause, &stop, &seek, &reload, &setSrc})
        s.add_handle_member(Section::Commands, method(*fn));
}

}  // namespace wa
