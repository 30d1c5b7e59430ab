// Sample kernels on int16 little-endian PCM: 16-bit peak, gain with clamp and truncation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// On x86-64 the kernels are compiled twice, for AVX2 and for the baseline, and
// the loader picks the one the CPU supports.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__)
#define PCM_KERNEL __attribute__((target_clones("avx2", "default")))
#else
#define PCM_KERNEL
#endif

namespace pcm {

// Largest absolute sample value in 16-bit arithmetic: |-32768| stays -32768.
// `n` must be > 0.  Reads unaligned data.
PCM_KERNEL inline int peak(const unsigned char* data, std::size_t n) noexcept {
    std::int16_t m = INT16_MIN;
    for (std::size_t i = 0; i < n; i++) {
        std::int16_t s;
        std::memcpy(&s, data + 2 * i, 2);
        const auto v = static_cast<std::int16_t>(s < 0 ? -s : s);  // wraps for -32768, as int16 abs does
        m = v > m ? v : m;
    }
    return m;
}

// out[i] = trunc(clamp(in[i] * scale, -32767, 32767)), products in double precision.
// A NaN product (only possible with a non-finite scale, which callers refuse)
// becomes 0 rather than an undefined conversion.  `out` may equal `in`.
PCM_KERNEL inline void gain(const unsigned char* in, unsigned char* out, std::size_t n, double scale) noexcept {
    for (std::size_t i = 0; i < n; i++) {
        std::int16_t s;
        std::memcpy(&s, in + 2 * i, 2);
        double v = static_cast<double>(s) * scale;
        v = v == v ? v : 0.0;
        v = v < -32767.0 ? -32767.0 : v;
        v = v > 32767.0 ? 32767.0 : v;
        const auto r = static_cast<std::int16_t>(v);
        std::memcpy(out + 2 * i, &r, 2);
    }
}

}  // namespace pcm
