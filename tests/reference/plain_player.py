"""A plain Python transcription of the player: web_audio, url_type and the WebAudioProps handle.

It is the baseline the player benchmarks measure the extension against: the same
calls into the same host (vt_core), made by ordinary Python code.  The handle class
is defined inside the factory with all of its members, as the extension builds it,
so that creating a player costs what a Python implementation would pay.
"""

from __future__ import annotations

import time  # noqa: F401 - bound as the extension binds it
from urllib.parse import urlparse

from vt_core import getcm, send_binary_message, send_message
from vt_core.component import props
from vt_core.utils import convertPath2Url

try:
    from plain_writer import PlainAudioStreamWriter as AudioStreamWriter
except ImportError:  # plain_writer not on the path
    from veltrane.vt_ui.web_audio import AudioStreamWriter


def url_type(url):
    """判断URL类型"""
    parsed = urlparse(url)
    scheme = parsed.scheme
    if scheme == "http" or scheme == "https":
        return "http/https"
    return "file"


def web_audio(
    src="",
    minimal=True,
    show_wave=False,
    stream_mode=False,
    stream_url="",
    visualizer_type="waveform",
    visualizer_color="#1976D2",
    onplay=None,
    onpause=None,
    onended=None,
    onerror=None,
    visible=True,
    **kwargs,
):
    """基于 Web Audio API 的音频播放器"""
    if "minimal" not in kwargs:
        kwargs["minimal"] = minimal
    if "showWave" not in kwargs:
        kwargs["showWave"] = show_wave
    handlers = kwargs["handlers"] if "handlers" in kwargs else {}
    if onplay:
        handlers["web-audio-play"] = onplay
    if onpause:
        handlers["web-audio-pause"] = onpause
    if onended:
        handlers["web-audio-ended"] = onended
    if onerror:
        handlers["web-audio-error"] = onerror
    if "block" in kwargs and kwargs["block"]:
        if "width" not in kwargs:
            kwargs["width"] = "100%"
    converted_src = convertPath2Url(src) if src else ""
    options = {
        "minimal": minimal,
        "showWave": show_wave,
        "streamMode": stream_mode,
        "streamUrl": convertPath2Url(stream_url) if stream_url else "",
        "visualizerType": visualizer_type,
        "visualizerColor": visualizer_color,
        "visible": visible,
    }
    options.update(kwargs)
    content = {"src": converted_src, "options": options}
    res = getcm().add_component("web_audio", content=content, handlers=handlers)

    class WebAudioProps(props):
        def __init__(self, res):
            super().__init__(res)
            self.__audio = ""

        @property
        def src(self):
            """获取音频源"""
            self.__audio = getcm().components[self.id]["content"]["options"].get("src", "")
            return self.__audio

        @src.setter
        def src(self, value):
            """设置音频源"""
            converted = convertPath2Url(value) if value else ""
            getcm().components[self.id]["content"]["options"]["src"] = converted
            self.update_cm()
            self.__audio = value
            self.reload()

        @property
        def stream_url(self):
            """获取流式音频URL"""
            return getcm().components[self.id]["content"]["options"].get("streamUrl", "")

        @stream_url.setter
        def stream_url(self, value):
            """设置流式音频URL"""
            converted = convertPath2Url(value) if value else ""
            getcm().components[self.id]["content"]["options"]["streamUrl"] = converted
            self.update_cm()

        @property
        def stream_mode(self):
            """获取流式播放模式"""
            return getcm().components[self.id]["content"]["options"].get("streamMode", False)

        @stream_mode.setter
        def stream_mode(self, value):
            """设置流式播放模式"""
            value = bool(value)
            getcm().components[self.id]["content"]["options"]["streamMode"] = value
            self.update_cm()

        @property
        def show_wave(self):
            """获取是否显示波形"""
            return getcm().components[self.id]["content"]["options"].get("showWave", False)

        @show_wave.setter
        def show_wave(self, value):
            """设置是否显示波形"""
            value = bool(value)
            getcm().components[self.id]["content"]["options"]["showWave"] = value
            self.update_cm()

        @property
        def volume(self):
            """获取音量"""
            return getcm().components[self.id]["content"]["options"].get("volume", 1.0)

        @volume.setter
        def volume(self, value):
            """设置音量"""
            converted = float(value)
            getcm().components[self.id]["content"]["options"]["volume"] = converted
            self.update_cm()
            send_message("call_method", {"cid": self.id, "method": "setVolume", "volume": float(value)})

        @property
        def minimal(self):
            """获取最小化模式"""
            return getcm().components[self.id]["content"]["options"].get("minimal", True)

        @minimal.setter
        def minimal(self, value):
            """设置最小化模式"""
            value = bool(value)
            getcm().components[self.id]["content"]["options"]["minimal"] = value
            self.update_cm()

        @property
        def label(self):
            """获取标签"""
            return getcm().components[self.id]["content"]["options"].get("label", "")

        @label.setter
        def label(self, value):
            """设置标签"""
            value = str(value)
            getcm().components[self.id]["content"]["options"]["label"] = value
            self.update_cm()

        def play(self):
            """播放音频"""
            send_message("call_method", {"cid": self.id, "method": "play"})

        def pause(self):
            """暂停音频"""
            send_message("call_method", {"cid": self.id, "method": "pause"})

        def stop(self):
            """停止音频"""
            send_message("call_method", {"cid": self.id, "method": "close_stream"})

        def seek(self, seconds=0):
            """跳转到指定时间"""
            send_message("call_method", {"cid": self.id, "method": "seek", "seconds": float(seconds)})

        def reload(self):
            """重新加载音频"""
            send_message("call_method", {"cid": self.id, "method": "reload"})

        def setSrc(self, src):  # noqa: N802 - mirrors the front-end player
            """设置音频源URL"""
            converted = convertPath2Url(src) if src else ""
            getcm().components[self.id]["content"]["options"]["src"] = converted
            self.update_cm()
            self.reload()

        def start_stream(self, url, sample_rate=48000, channels=2, params=None):
            """开始流式播放"""
            text = str(url).strip().strip("`").rstrip(",")
            converted = convertPath2Url(text) if text else ""
            getcm().components[self.id]["content"]["options"]["streamUrl"] = converted
            getcm().components[self.id]["content"]["options"]["streamMode"] = True
            self.update_cm()
            payload = {
                "cid": self.id,
                "action": "start_stream",
                "url": converted,
                "sample_rate": sample_rate,
                "channels": channels,
            }
            if params is not None:
                payload["params"] = params
            send_message("call_method", payload)

        def close_stream(self):
            """关闭流式播放"""
            send_message("call_method", {"cid": self.id, "method": "close_stream"})

        def stream_binary(self, data):
            """推送二进制音频数据到前端播放"""
            send_binary_message(data)

        def send_audio_metadata(self, sample_rate, channels):
            """发送音频元数据到前端"""
            send_message("audio_metadata", {"sample_rate": sample_rate, "channels": channels})

        def stream_writer(self):
            """创建流式音频写入器"""
            return AudioStreamWriter(self)

        def stream_from_url(
            self,
            url,
            sample_rate=48000,
            channels=2,
            skip_wav_header=True,
            chunk_callback=None,
            progress_callback=None,
            push_to_frontend=True,
        ):
            """从 HTTP URL 流式接收音频数据并播放"""
            import requests

            if push_to_frontend:
                send_message("audio_metadata", {"sample_rate": sample_rate, "channels": channels})
            response = requests.get(url, stream=True, timeout=300)
            response.raise_for_status()
            skip_remaining = 44 if skip_wav_header else 0
            total_received = 0
            for chunk in response.iter_content(chunk_size=4096):
                if not chunk:
                    continue
                total_received += len(chunk)
                if skip_remaining > 0:
                    before = skip_remaining
                    skip_remaining -= len(chunk)
                    if skip_remaining >= 0:
                        continue
                    chunk = chunk[before:]
                    skip_remaining = 0
                if push_to_frontend:
                    send_binary_message(chunk)
                if chunk_callback:
                    chunk_callback(chunk)
                if progress_callback:
                    progress_callback(total_received)

        def on_play(self, callback):
            """设置播放事件回调"""
            record = getcm().components.get(self.id)
            if record is None:
                return self
            if "handlers" not in record or record["handlers"] is None:
                record["handlers"] = {}
            record["handlers"]["web-audio-play"] = callback
            return self

        def on_pause(self, callback):
            """设置暂停事件回调"""
            record = getcm().components.get(self.id)
            if record is None:
                return self
            if "handlers" not in record or record["handlers"] is None:
                record["handlers"] = {}
            record["handlers"]["web-audio-pause"] = callback
            return self

        def on_ended(self, callback):
            """设置播放结束事件回调"""
            record = getcm().components.get(self.id)
            if record is None:
                return self
            if "handlers" not in record or record["handlers"] is None:
                record["handlers"] = {}
            record["handlers"]["web-audio-ended"] = callback
            return self

        def on_error(self, callback):
            """设置错误事件回调"""
            record = getcm().components.get(self.id)
            if record is None:
                return self
            if "handlers" not in record or record["handlers"] is None:
                record["handlers"] = {}
            record["handlers"]["web-audio-error"] = callback
            return self

        def on_stream_start(self, callback):
            """设置流开始事件回调"""
            record = getcm().components.get(self.id)
            if record is None:
                return self
            if "handlers" not in record or record["handlers"] is None:
                record["handlers"] = {}
            record["handlers"]["web-audio-stream-start"] = callback
            return self

    return WebAudioProps(res)
