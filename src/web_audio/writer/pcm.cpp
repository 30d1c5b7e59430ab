// Sample kernels: portable loops, and AVX2 versions chosen at run time where the CPU has AVX2.
#include "writer/pcm.hpp"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define PCM_HAVE_AVX2_PATH 1
#endif

namespace pcm {
namespace {

std::int16_t load(const unsigned char* p) {
    std::int16_t s;
    std::memcpy(&s, p, 2);
    return s;
}

std::int16_t abs16(std::int16_t s) { return static_cast<std::int16_t>(s < 0 ? -s : s); }  // wraps at -32768

std::int16_t scale_one(std::int16_t s, double scale) {
    double v = static_cast<double>(s) * scale;
    v = v == v ? v : 0.0;
    v = v < -32767.0 ? -32767.0 : v;
    v = v > 32767.0 ? 32767.0 : v;
    return static_cast<std::int16_t>(v);
}

int peak_portable(const unsigned char* data, std::size_t n) {
    std::int16_t m = INT16_MIN;
    for (std::size_t i = 0; i < n; i++) {
        const std::int16_t v = abs16(load(data + 2 * i));
        m = v > m ? v : m;
    }
    return m;
}

void gain_portable(const unsigned char* in, unsigned char* out, std::size_t n, double scale) {
    for (std::size_t i = 0; i < n; i++) {
        const std::int16_t r = scale_one(load(in + 2 * i), scale);
        std::memcpy(out + 2 * i, &r, 2);
    }
}

#ifdef PCM_HAVE_AVX2_PATH
__attribute__((target("avx2"))) int peak_avx2(const unsigned char* data, std::size_t n) {
    __m256i m = _mm256_set1_epi16(INT16_MIN);
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + 2 * i));
        m = _mm256_max_epi16(m, _mm256_abs_epi16(x));  // abs(-32768) stays 0x8000 = -32768
    }
    alignas(32) std::int16_t lanes[16];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), m);
    int best = i < n ? peak_portable(data + 2 * i, n - i) : INT16_MIN;
    for (std::int16_t v : lanes) best = v > best ? v : best;
    return best;
}

__attribute__((target("avx2"))) void gain_avx2(const unsigned char* in, unsigned char* out, std::size_t n,
                                               double scale) {
    const __m256d s = _mm256_set1_pd(scale);
    const __m256d lo = _mm256_set1_pd(-32767.0);
    const __m256d hi = _mm256_set1_pd(32767.0);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * i));
        const __m256i x32 = _mm256_cvtepi16_epi32(x);
        __m256d a = _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(x32)), s);
        __m256d b = _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(x32, 1)), s);
        a = _mm256_min_pd(_mm256_max_pd(a, lo), hi);
        b = _mm256_min_pd(_mm256_max_pd(b, lo), hi);
        const __m128i packed = _mm_packs_epi32(_mm256_cvttpd_epi32(a), _mm256_cvttpd_epi32(b));  // truncation
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), packed);
    }
    gain_portable(in + 2 * i, out + 2 * i, n - i, scale);
}

// GCC 12's AVX-512 headers build results from _mm512_undefined_*() and then
// warn that it "may be used uninitialized": a known false positive of the headers.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
__attribute__((target("avx512f"))) void gain_avx512(const unsigned char* in, unsigned char* out, std::size_t n,
                                                     double scale) {
    const __m512d s = _mm512_set1_pd(scale);
    const __m512d lo = _mm512_set1_pd(-32767.0);
    const __m512d hi = _mm512_set1_pd(32767.0);
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 2 * i));
        const __m512i x32 = _mm512_cvtepi16_epi32(x);
        __m512d a = _mm512_mul_pd(_mm512_cvtepi32_pd(_mm512_castsi512_si256(x32)), s);
        __m512d b = _mm512_mul_pd(_mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(x32, 1)), s);
        a = _mm512_min_pd(_mm512_max_pd(a, lo), hi);
        b = _mm512_min_pd(_mm512_max_pd(b, lo), hi);
        const __m512i both = _mm512_inserti64x4(_mm512_castsi256_si512(_mm512_cvttpd_epi32(a)), _mm512_cvttpd_epi32(b), 1);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * i), _mm512_cvtsepi32_epi16(both));  // truncation done
    }
    gain_avx2(in + 2 * i, out + 2 * i, n - i, scale);
}
#pragma GCC diagnostic pop

bool has_avx2() {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}

bool has_avx512() {
    static const bool yes = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx2");
    return yes;
}
#endif

#ifdef PCM_HAVE_AVX2_PATH
// The vector paths need a finite scale: a finite double times an int16 is never
// NaN (it may overflow to +-inf, which the clamp handles), so they have no NaN
// case; the portable loop handles any scale.
bool vector_safe(double scale) { return scale - scale == 0.0; }
#endif

}  // namespace

int peak(const unsigned char* data, std::size_t n) noexcept {
#ifdef PCM_HAVE_AVX2_PATH
    if (has_avx2()) return peak_avx2(data, n);
#endif
    return peak_portable(data, n);
}

void gain(const unsigned char* in, unsigned char* out, std::size_t n, double scale) noexcept {
#ifdef PCM_HAVE_AVX2_PATH
    if (vector_safe(scale) && has_avx512()) return gain_avx512(in, out, n, scale);
    if (vector_safe(scale) && has_avx2()) return gain_avx2(in, out, n, scale);
#endif
    gain_portable(in, out, n, scale);
}

}  // namespace pcm
