// The anti-alias filter's one-channel kernel for SSE2: eight output frames per
// pass. Even and odd output frames are summed in separate vectors, so that a
// plain unaligned load of the input already pairs the two samples that one
// multiply-add (pmaddwd) weighs with a pair of neighbouring taps.
#include <emmintrin.h>

#include <cstring>

#include "engine/simd/fir.h"

namespace squeakbox::simd {

namespace {

// Taps 2m and 2m + 1 in every 32-bit lane, the lower tap in the lower half.
inline __m128i tap_pair(const std::int16_t* coefficients, std::uint32_t m) {
    std::int32_t pair;
    std::memcpy(&pair, coefficients + 2 * m, sizeof pair);
    return _mm_set1_epi32(pair);
}

}  // namespace

void fir_mono_sse2(std::int16_t* output, const std::int16_t* input, std::uint32_t frames_out,
                   const std::int16_t* coefficients, std::uint32_t taps) {
    const std::uint32_t pairs = taps / 2;
    std::uint32_t k = 0;
    for (; k + 8 <= frames_out; k += 8) {
        __m128i even = _mm_setzero_si128();  // frames k, k + 2, k + 4, k + 6
        __m128i odd = _mm_setzero_si128();   // frames k + 1, k + 3, k + 5, k + 7
        const std::int16_t* x = input + k;
        for (std::uint32_t m = 0; m < pairs; ++m) {
            const __m128i c = tap_pair(coefficients, m);
            const __m128i xe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + 2 * m));
            const __m128i xo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + 2 * m + 1));
            even = _mm_add_epi32(even, _mm_madd_epi16(xe, c));
            odd = _mm_add_epi32(odd, _mm_madd_epi16(xo, c));
        }
        even = _mm_srai_epi32(even, 13);
        odd = _mm_srai_epi32(odd, 13);
        const __m128i low = _mm_unpacklo_epi32(even, odd);   // frames k .. k + 3
        const __m128i high = _mm_unpackhi_epi32(even, odd);  // frames k + 4 .. k + 7
        _mm_storeu_si128(reinterpret_cast<__m128i*>(output + k), _mm_packs_epi32(low, high));
    }
    if (k < frames_out) fir_mono_scalar(output + k, input + k, frames_out - k, coefficients, taps);
}

}  // namespace squeakbox::simd
