// The anti-alias filter's one-channel kernel for AVX2: sixteen output frames
// per pass, even and odd frames in separate vectors (see fir_sse2.cpp).
#include <immintrin.h>

#include <cstring>

#include "engine/simd/fir.h"

namespace squeakbox::simd {

namespace {

inline __m256i tap_pair(const std::int16_t* coefficients, std::uint32_t m) {
    std::int32_t pair;
    std::memcpy(&pair, coefficients + 2 * m, sizeof pair);
    return _mm256_set1_epi32(pair);
}

}  // namespace

void fir_mono_avx2(std::int16_t* output, const std::int16_t* input, std::uint32_t frames_out,
                   const std::int16_t* coefficients, std::uint32_t taps) {
    const std::uint32_t pairs = taps / 2;
    std::uint32_t k = 0;
    for (; k + 16 <= frames_out; k += 16) {
        __m256i even = _mm256_setzero_si256();
        __m256i odd = _mm256_setzero_si256();
        const std::int16_t* x = input + k;
        for (std::uint32_t m = 0; m < pairs; ++m) {
            const __m256i c = tap_pair(coefficients, m);
            const __m256i xe = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + 2 * m));
            const __m256i xo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + 2 * m + 1));
            even = _mm256_add_epi32(even, _mm256_madd_epi16(xe, c));
            odd = _mm256_add_epi32(odd, _mm256_madd_epi16(xo, c));
        }
        even = _mm256_srai_epi32(even, 13);
        odd = _mm256_srai_epi32(odd, 13);
        // Unpack and pack work within 128-bit lanes, which keeps frames
        // k .. k + 7 in the lower lane and k + 8 .. k + 15 in the upper one.
        const __m256i low = _mm256_unpacklo_epi32(even, odd);
        const __m256i high = _mm256_unpackhi_epi32(even, odd);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(output + k), _mm256_packs_epi32(low, high));
    }
    if (k < frames_out) fir_mono_scalar(output + k, input + k, frames_out - k, coefficients, taps);
}

}  // namespace squeakbox::simd
