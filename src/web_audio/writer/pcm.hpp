// Sample kernels on int16 little-endian PCM: 16-bit peak, gain with clamp and truncation.
#pragma once

#include <cstddef>

namespace pcm {

// Largest absolute sample value in 16-bit arithmetic: |-32768| stays -32768
// (as numpy's int16 abs gives it).  `n` samples, n > 0; data may be unaligned.
int peak(const unsigned char* data, std::size_t n) noexcept;

// out[i] = trunc(clamp(in[i] * scale, -32767, 32767)), products in double
// precision: bit for bit what numpy's int16 * float, clip and astype(int16)
// give.  A NaN product (only possible with a non-finite scale, which callers
// refuse) becomes 0 rather than an undefined conversion.  `out` may equal `in`.
void gain(const unsigned char* in, unsigned char* out, std::size_t n, double scale) noexcept;

}  // namespace pcm
