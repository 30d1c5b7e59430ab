"""A plain Python + numpy transcription of AudioStreamWriter.

It is the baseline the benchmarks measure the extension against, and the
oracle the property tests compare it with.  It follows the straightforward
in-place route: finish() reads the whole take into memory and rewrites the
file with the `wave` module.
"""

from __future__ import annotations

import contextlib
import time


class NullPlayer:
    """A player that accepts everything and does nothing (benchmarks, leak checks)."""

    def send_audio_metadata(self, sample_rate, channels):
        pass

    def stream_binary(self, data):
        pass

    def stop(self):
        pass


class NoSleep:
    """Stands in for the `time` module so the start-up pause costs nothing."""

    @staticmethod
    def sleep(seconds):
        pass


class PlainAudioStreamWriter:
    def __init__(self, player):
        self._player = player
        self._sample_rate = None
        self._channels = None
        self._configured = False
        self._pcm_buffer = b""
        self._buffer_size = 4096
        self._initial_delay_sent = False
        self._stopped = False
        self._mute = False
        self._realtime_normalize = True
        self._target_peak = 30000
        self._max_peak_seen = 0
        self._current_scale = 1.0
        self._output_file_handle = None
        self._total_pcm_bytes = 0
        self._max_amplitude = 0
        self._pending_output_file = None

    def configure(self, sample_rate, channels):
        self._sample_rate = sample_rate
        self._channels = channels
        self._player.send_audio_metadata(sample_rate, channels)
        self._configured = True

    @property
    def stopped(self):
        return self._stopped

    @property
    def configured(self):
        return self._configured

    @property
    def mute(self):
        return self._mute

    @mute.setter
    def mute(self, value):
        old_value = self._mute
        self._mute = bool(value)
        if self._mute and not old_value:
            self._pcm_buffer = b""
            self._player.stop()

    @property
    def sample_rate(self):
        return self._sample_rate

    @property
    def channels(self):
        return self._channels

    def write(self, pcm_data):
        import numpy as np

        if self._stopped:
            return
        if not self._configured:
            raise RuntimeError("AudioStreamWriter 未配置，请先调用 configure(sample_rate, channels)")
        audio_array = np.frombuffer(pcm_data, dtype=np.int16)
        current_max = np.max(np.abs(audio_array))
        if self._output_file_handle:
            self._record(self._output_file_handle, pcm_data)
            self._total_pcm_bytes += len(pcm_data)
        # only a chunk that is in the recording (or that nothing was recording) sets the peak
        self._max_amplitude = max(self._max_amplitude, current_max)
        if self._mute:
            return
        play_data = pcm_data
        if self._realtime_normalize and len(audio_array) > 0:
            current_max = np.max(np.abs(audio_array))
            self._max_peak_seen = max(self._max_peak_seen, current_max)
            if self._max_peak_seen > 0:
                target_scale = self._target_peak / self._max_peak_seen
                min_peak = 1000
                if self._max_peak_seen < min_peak:
                    target_scale = self._target_peak / min_peak
                self._current_scale = self._current_scale * 0.95 + target_scale * 0.05
                if 2.0 < self._current_scale:
                    self._current_scale = 2.0
                if self._current_scale > 1.0:
                    play_data = np.clip(audio_array * self._current_scale, -32767, 32767).astype(np.int16).tobytes()
        self._pcm_buffer += play_data
        if not self._initial_delay_sent:
            time.sleep(0.08)
            self._initial_delay_sent = True
        if len(self._pcm_buffer) >= self._buffer_size:
            self.flush()

    @staticmethod
    def _record(handle, pcm_data):
        """Append a chunk; if the file refuses it part-way, take back the bytes that got through."""
        start = handle.tell() if handle.seekable() else None
        try:
            handle.write(pcm_data)
        except BaseException:
            if start is not None:
                with contextlib.suppress(OSError, ValueError):
                    if handle.tell() != start:
                        handle.seek(start)
                        handle.truncate()
            raise

    def flush(self):
        if self._pcm_buffer and not self._stopped:
            self._player.stream_binary(self._pcm_buffer)
            self._pcm_buffer = b""

    def stop(self):
        self._stopped = True
        self._pcm_buffer = b""

    def finish(self, output_file=None, normalize=True, normalize_target=30000):
        import wave

        import numpy as np

        self.flush()
        if self._output_file_handle:
            self._output_file_handle.close()
            self._output_file_handle = None
        final_output_file = output_file or self._pending_output_file
        if final_output_file:
            if normalize and self._max_amplitude > 0 and self._total_pcm_bytes > 0:
                with open(final_output_file, "rb") as f:
                    raw_pcm = f.read()
                scale_factor = normalize_target / self._max_amplitude
                audio_array = np.frombuffer(raw_pcm, dtype=np.int16)
                normalized = np.clip(audio_array * scale_factor, -32767, 32767).astype(np.int16)
                with wave.open(final_output_file, "wb") as wf:
                    wf.setnchannels(self._channels)
                    wf.setsampwidth(2)
                    wf.setframerate(self._sample_rate)
                    wf.writeframes(normalized.tobytes())
            elif self._total_pcm_bytes > 0:
                with open(final_output_file, "rb") as f:
                    raw_pcm = f.read()
                with wave.open(final_output_file, "wb") as wf:
                    wf.setnchannels(self._channels)
                    wf.setsampwidth(2)
                    wf.setframerate(self._sample_rate)
                    wf.writeframes(raw_pcm)
        return {
            "audio_path": final_output_file,
            "sample_rate": self._sample_rate,
            "channels": self._channels,
            "audio_bytes": self._total_pcm_bytes,
        }

    def set_output_file(self, output_file):
        self._pending_output_file = output_file
        if output_file:
            self._output_file_handle = open(output_file, "wb")
