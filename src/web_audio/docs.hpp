// Docstrings of the public surface, as the source shows them (continuation lines keep the
// indentation of the body they belong to: 4 for module level, 8 for AudioStreamWriter
// methods, 12 for WebAudioProps members, which are defined inside web_audio).
#pragma once

namespace docs {

inline constexpr const char* module =
    "\n"
    "Veltrane Web Audio 组件\n"
    "\n"
    "基于 Web Audio API 的音频播放器，支持：\n"
    "- 静态音频文件播放\n"
    "- 流式音频播放\n"
    "- 音频可视化（波形显示）\n"
    "- 精确播放控制\n";

// ---- module-level functions ----

inline constexpr const char* url_type =
    "判断URL类型\n"
    "    \n"
    "    参数:\n"
    "    - url: URL字符串\n"
    "    \n"
    "    返回:\n"
    "    - URL类型字符串\n"
    "    ";

inline constexpr const char* web_audio =
    "基于 Web Audio API 的音频播放器\n"
    "    \n"
    "    参数:\n"
    "    - src: 音频文件路径或URL\n"
    "    - minimal: 是否使用最小化模式\n"
    "    - show_wave: 是否显示波形可视化\n"
    "    - stream_mode: 是否启用流式播放模式\n"
    "    - stream_url: 流式音频的URL\n"
    "    - visualizer_type: 可视化类型 ('waveform' | 'spectrum')\n"
    "    - visualizer_color: 可视化颜色\n"
    "    - onplay: 播放事件回调\n"
    "    - onpause: 暂停事件回调\n"
    "    - onended: 播放结束事件回调\n"
    "    - visible: 是否显示界面（False 为纯功能模式，后台静默播放）\n"
    "    - onerror: 错误事件回调\n"
    "    \n"
    "    返回:\n"
    "    - 音频播放器组件\n"
    "    ";

// ---- WebAudioProps: properties (getter doc is the property's doc) ----

inline constexpr const char* src_get = "获取音频源";
inline constexpr const char* src_set = "设置音频源";
inline constexpr const char* stream_url_get = "获取流式音频URL";
inline constexpr const char* stream_url_set = "设置流式音频URL";
inline constexpr const char* stream_mode_get = "获取流式播放模式";
inline constexpr const char* stream_mode_set = "设置流式播放模式";
inline constexpr const char* show_wave_get = "获取是否显示波形";
inline constexpr const char* show_wave_set = "设置是否显示波形";
inline constexpr const char* volume_get = "获取音量";
inline constexpr const char* volume_set = "设置音量";
inline constexpr const char* minimal_get = "获取最小化模式";
inline constexpr const char* minimal_set = "设置最小化模式";
inline constexpr const char* label_get = "获取标签";
inline constexpr const char* label_set = "设置标签";

// ---- WebAudioProps: commands ----

inline constexpr const char* play = "播放音频";
inline constexpr const char* pause = "暂停音频";
inline constexpr const char* stop = "停止音频";
inline constexpr const char* seek = "跳转到指定时间";
inline constexpr const char* reload = "重新加载音频";
inline constexpr const char* setSrc = "设置音频源URL";

// ---- WebAudioProps: stream channel ----

inline constexpr const char* start_stream =
    "开始流式播放\n"
    "            \n"
    "            参数:\n"
    "                url: 流式音频 URL\n"
    "                sample_rate: 采样率，默认为 48000\n"
    "                channels: 通道数，默认为 2\n"
    "                params: POST 请求参数（字典），如果提供则使用 POST 方式\n"
    "            ";

inline constexpr const char* close_stream = "关闭流式播放";

inline constexpr const char* stream_binary =
    "推送二进制音频数据到前端播放\n"
    "            \n"
    "            参数:\n"
    "                data: 二进制音频数据（bytes 类型）\n"
    "            ";

inline constexpr const char* send_audio_metadata =
    "发送音频元数据到前端\n"
    "            \n"
    "            参数:\n"
    "                sample_rate: 采样率\n"
    "                channels: 声道数\n"
    "            ";

inline constexpr const char* stream_writer =
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
    "            ";

inline constexpr const char* stream_from_url =
    "从 HTTP URL 流式接收音频数据并播放\n"
    "            \n"
    "            参数:\n"
    "                url: 流式音频 URL\n"
    "                sample_rate: 采样率，默认为 48000\n"
    "                channels: 声道数，默认为 2\n"
    "                skip_wav_header: 是否跳过 WAV 头部（前44字节），默认为 True\n"
    "                chunk_callback: 每收到一个音频块时的回调函数，接收参数 (chunk)\n"
    "                progress_callback: 进度更新回调函数，接收参数 (bytes_received)\n"
    "                push_to_frontend: 是否推送到前端播放，默认为 True\n"
    "            ";

// ---- WebAudioProps: event callbacks ----

#define WA_CALLBACK_DOC(summary) summary "\n            \n            返回 self 以支持链式调用\n            "
inline constexpr const char* on_play = WA_CALLBACK_DOC("设置播放事件回调");
inline constexpr const char* on_pause = WA_CALLBACK_DOC("设置暂停事件回调");
inline constexpr const char* on_ended = WA_CALLBACK_DOC("设置播放结束事件回调");
inline constexpr const char* on_error = WA_CALLBACK_DOC("设置错误事件回调");
inline constexpr const char* on_stream_start = WA_CALLBACK_DOC("设置流开始事件回调");
#undef WA_CALLBACK_DOC

// ---- AudioStreamWriter ----

inline constexpr const char* writer_class =
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

inline constexpr const char* configure =
    "配置音频参数并发送元数据到前端\n"
    "        \n"
    "        参数:\n"
    "            sample_rate: 采样率\n"
    "            channels: 声道数\n"
    "        ";
inline constexpr const char* stopped = "是否已停止";
inline constexpr const char* configured = "是否已配置";
inline constexpr const char* mute_get = "是否静音（静音时只保存音频，不推送到前端播放）";
inline constexpr const char* mute_set =
    "设置静音状态\n"
    "        \n"
    "        参数:\n"
    "            value: True 静音（只保存），False 取消静音（正常播放）\n"
    "        ";
inline constexpr const char* write =
    "写入 PCM 数据，自动缓冲并推送到前端（除非静音）\n"
    "        \n"
    "        参数:\n"
    "            pcm_data: PCM 二进制数据（int16 格式）\n"
    "        ";
inline constexpr const char* flush = "强制推送缓冲区数据到前端";
inline constexpr const char* writer_stop = "停止推送，清空缓冲区";
inline constexpr const char* finish =
    "完成写入，归一化并保存 WAV 文件\n"
    "        \n"
    "        参数:\n"
    "            output_file: 输出文件路径，None 则不保存\n"
    "            normalize: 是否归一化音量\n"
    "            normalize_target: 归一化目标振幅（默认 30000）\n"
    "        \n"
    "        返回:\n"
    "            包含音频信息的字典\n"
    "        ";
inline constexpr const char* set_output_file =
    "设置输出文件并打开文件句柄（边生成边写入模式）\n"
    "        \n"
    "        参数:\n"
    "            output_file: 输出文件路径\n"
    "        ";

}  // namespace docs
