// WebAudioProps.stream_writer: a new AudioStreamWriter (the module global, as it is now) for this player.
#include "host/host.hpp"
#include "player/player.hpp"

namespace wa {
namespace {

PyObject* stream_writer(Function* f, Args a) {
    Ref cls = host::global(f, &State::g_AudioStreamWriter);
    if (!cls) return nullptr;
    return pyrt::call1(cls.get(), a[0]).release();
}
const FuncDef stream_writer_def = def("stream_writer",
                                      "创建流式音频写入器\n"
                                      "            \n"
                                      "            返回:\n"
                                      "                AudioStreamWriter 实例，用于缓冲推送、归一化、保存音频\n"
                                      "            \n"
                                      "            用法::\n"
                                      "            \n"
                                      "                writer = player.stream_writer()\n"
                                      "                tts_engine.synthesize(text, stream_writer=writer)\n"
                                      "                writer.finish(output_file=\"output.wav\")\n"
                                      "            ",
                                      {{"self"}}, stream_writer);

}  // namespace

void register_writer_access(Surface& s) { s.add_handle_member(Section::Writer, method(stream_writer_def)); }

}  // namespace wa
