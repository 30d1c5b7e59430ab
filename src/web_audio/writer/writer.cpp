// AudioStreamWriter: the class, its members in order (the live path, then the take), and its teardown.
#include "writer/guard.hpp"
#include "writer/writer.hpp"

#include <vector>

namespace wa {
namespace {

constexpr const char* kClassDoc =
    "流式音频写入器\n"
    "    \n"
    "    封装通用的 PCM 数据缓冲推送、归一化、WAV 保存逻辑。\n"
    "    适用于任何 TTS 引擎的流式音频输出。\n"
    "    \n"
    "    支持实时试听开关控制，可随时静音/取消静音。\n"
    "    \n"
    "    用法::\n"
    "    \n"
    "        writer = player.stream_writer()\n"
    "        tts_engine.synthesize(text, stream_writer=writer)\n"
    "        writer.finish(output_file=\"output.wav\")\n"
    "        \n"
    "        # 动态控制实时试听\n"
    "        writer.mute = True   # 静音（只保存，不播放）\n"
    "        writer.mute = False  # 取消静音（恢复播放）\n"
    "    ";

}  // namespace

// class AudioStreamWriter, as the class statement builds it.
int register_writer(Surface& s) {
    std::vector<Member> members;
    for (auto part : {live_members(), take_members()}) members.insert(members.end(), part.begin(), part.end());
    Ref cls = s.add_class("AudioStreamWriter", kClassDoc, members);
    if (!cls) return -1;
    Py_XSETREF(s.state()->writer_class, cls.release());
    return 0;
}

void release_writer() noexcept { writer_state::clear_all(); }

}  // namespace wa
