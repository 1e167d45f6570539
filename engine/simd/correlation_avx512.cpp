// The one-channel correlation with AVX-512 (BW): the SSE2 scheme on
// thirty-two positions per vector (see correlation_sse2.cpp).

#include <immintrin.h>

#include "engine/simd/correlation.h"

namespace squeakbox::simd {

namespace {

constexpr std::uint32_t lanes = 32;  // positions per vector

// The zero-masking form: same instruction, but GCC 12 warns (wrongly) about
// the undefined source vector that the plain intrinsic passes.
inline __m512i sra(__m512i v, __m128i count) {
    return _mm512_maskz_sra_epi32(static_cast<__mmask16>(0xffff), v, count);
}

template <std::uint32_t blocks>
inline void correlate_group(const std::int16_t* ref, const std::int16_t* input, std::uint32_t n,
                            __m128i shift, std::int32_t* out) {
    __m512i even[blocks];
    __m512i odd[blocks];
#pragma GCC unroll 8
    for (std::uint32_t b = 0; b < blocks; ++b) even[b] = odd[b] = _mm512_setzero_si512();
    for (std::uint32_t j = 1; j < n; ++j) {
        const auto r = static_cast<std::uint16_t>(ref[j]);
        const __m512i low = _mm512_set1_epi32(r);
        const __m512i high = _mm512_set1_epi32(static_cast<int>(std::uint32_t{r} << 16));
        // Unrolled, so that the accumulators stay in registers.
#pragma GCC unroll 8
        for (std::uint32_t b = 0; b < blocks; ++b) {
            const __m512i x = _mm512_loadu_si512(input + j + lanes * b);
            even[b] = _mm512_add_epi32(even[b], sra(_mm512_madd_epi16(x, low), shift));
            odd[b] = _mm512_add_epi32(odd[b], sra(_mm512_madd_epi16(x, high), shift));
        }
    }
    // Lane k of `even` is position 2k, of `odd` position 2k + 1; an index of
    // 16 or more picks from `odd`.
    const __m512i first_half =
        _mm512_setr_epi32(0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
    const __m512i second_half =
        _mm512_setr_epi32(8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
    for (std::uint32_t b = 0; b < blocks; ++b) {
        std::int32_t* dest = out + lanes * b;
        _mm512_storeu_si512(dest, _mm512_permutex2var_epi32(even[b], first_half, odd[b]));
        _mm512_storeu_si512(dest + 16, _mm512_permutex2var_epi32(even[b], second_half, odd[b]));
    }
}

void correlate_mono_avx512(const std::int16_t* ref, const std::int16_t* input, std::uint32_t n,
                           std::uint32_t shift, std::uint32_t positions, std::int32_t* out) {
    if (positions < lanes) {
        correlation_avx2.correlate_mono(ref, input, n, shift, positions, out);
        return;
    }
    const __m128i count = _mm_cvtsi32_si128(static_cast<int>(shift));
    std::uint32_t p = 0;
    for (; p + 4 * lanes <= positions; p += 4 * lanes)
        correlate_group<4>(ref, input + p, n, count, out + p);
    for (; p + lanes <= positions; p += lanes)
        correlate_group<1>(ref, input + p, n, count, out + p);
    if (p < positions) {
        p = positions - lanes;
        correlate_group<1>(ref, input + p, n, count, out + p);
    }
}

}  // namespace

const correlation_kernels correlation_avx512{level::avx512, correlate_mono_avx512};

}  // namespace squeakbox::simd
