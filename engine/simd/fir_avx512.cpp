// The anti-alias filter's one-channel kernel for AVX-512BW: thirty-two output
// frames per pass, even and odd frames in separate vectors (see fir_sse2.cpp);
// a 256-bit pass takes sixteen of the rest.
#include <immintrin.h>

#include <cstring>

#include "engine/simd/fir.h"

namespace squeakbox::simd {

namespace {

inline std::int32_t tap_pair(const std::int16_t* coefficients, std::uint32_t m) {
    std::int32_t pair;
    std::memcpy(&pair, coefficients + 2 * m, sizeof pair);
    return pair;
}

constexpr __mmask16 all_lanes = 0xFFFF;

}  // namespace

void fir_mono_avx512(std::int16_t* output, const std::int16_t* input, std::uint32_t frames_out,
                     const std::int16_t* coefficients, std::uint32_t taps) {
    const std::uint32_t pairs = taps / 2;
    std::uint32_t k = 0;
    for (; k + 32 <= frames_out; k += 32) {
        __m512i even = _mm512_setzero_si512();
        __m512i odd = _mm512_setzero_si512();
        const std::int16_t* x = input + k;
        for (std::uint32_t m = 0; m < pairs; ++m) {
            const __m512i c = _mm512_set1_epi32(tap_pair(coefficients, m));
            const __m512i xe = _mm512_loadu_si512(x + 2 * m);
            const __m512i xo = _mm512_loadu_si512(x + 2 * m + 1);
            even = _mm512_add_epi32(even, _mm512_madd_epi16(xe, c));
            odd = _mm512_add_epi32(odd, _mm512_madd_epi16(xo, c));
        }
        // The zero-masked forms with every lane selected are the plain
        // instructions; GCC 12 warns about the undefined source register the
        // unmasked intrinsics pass to the builtin.
        even = _mm512_maskz_srai_epi32(all_lanes, even, 13);
        odd = _mm512_maskz_srai_epi32(all_lanes, odd, 13);
        // Per 128-bit lane L the pack yields frames k + 8L .. k + 8L + 7.
        const __m512i low = _mm512_maskz_unpacklo_epi32(all_lanes, even, odd);
        const __m512i high = _mm512_maskz_unpackhi_epi32(all_lanes, even, odd);
        _mm512_storeu_si512(output + k, _mm512_packs_epi32(low, high));
    }
    for (; k + 16 <= frames_out; k += 16) {
        __m256i even = _mm256_setzero_si256();
        __m256i odd = _mm256_setzero_si256();
        const std::int16_t* x = input + k;
        for (std::uint32_t m = 0; m < pairs; ++m) {
            const __m256i c = _mm256_set1_epi32(tap_pair(coefficients, m));
            const __m256i xe = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + 2 * m));
            const __m256i xo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + 2 * m + 1));
            even = _mm256_add_epi32(even, _mm256_madd_epi16(xe, c));
            odd = _mm256_add_epi32(odd, _mm256_madd_epi16(xo, c));
        }
        even = _mm256_srai_epi32(even, 13);
        odd = _mm256_srai_epi32(odd, 13);
        const __m256i low = _mm256_unpacklo_epi32(even, odd);
        const __m256i high = _mm256_unpackhi_epi32(even, odd);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(output + k), _mm256_packs_epi32(low, high));
    }
    if (k < frames_out) fir_mono_scalar(output + k, input + k, frames_out - k, coefficients, taps);
}

}  // namespace squeakbox::simd
