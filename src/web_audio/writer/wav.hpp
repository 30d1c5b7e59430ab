// WAV output for AudioStreamWriter.finish: streamed, bounded memory, atomic replace.
#pragma once

#include "pyrt/ref.hpp"

#include <cstdint>

namespace wav {

// Largest sample payload a RIFF/WAVE file can describe (36 + size must fit 32 bits).
constexpr std::uint64_t kMaxDataBytes = 0xFFFFFFFFull - 36;

// Format fields after the checks Python's `wave` writer applies.
struct Format {
    std::uint16_t channels;
    std::uint32_t frame_rate;
};

// Checks channels and sample rate as wave's setnchannels/setframerate and its
// header packing do (wave.Error for channels < 1 or a non-positive rate;
// struct.error for values the header cannot hold).  0 / -1 with the error set.
int check_format(PyObject* channels, PyObject* sample_rate, Format& out);

// Reads every sample byte from `src_fd` (from offset 0), scales them when
// `scale` is given (clamp to +-32767, truncate toward zero), and writes a
// 16-bit PCM WAV file to a temporary file beside `target`, which then
// atomically replaces `target`.  On any failure the temporary file is removed,
// `target` and the source are untouched, and OSError (or wave.Error for a take
// too long for WAV) is set.  Runs without the GIL while it reads and writes.
int write_from_fd(int src_fd, PyObject* target, const Format& fmt, const double* scale);

}  // namespace wav
