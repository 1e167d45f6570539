// The one-channel correlation with AVX2: the SSE2 scheme on sixteen positions
// per vector (see correlation_sse2.cpp).

#include <immintrin.h>

#include "engine/simd/correlation.h"

namespace squeakbox::simd {

namespace {

constexpr std::uint32_t lanes = 16;  // positions per vector

template <std::uint32_t blocks>
inline void correlate_group(const std::int16_t* ref, const std::int16_t* input, std::uint32_t n,
                            __m128i shift, std::int32_t* out) {
    __m256i even[blocks];
    __m256i odd[blocks];
#pragma GCC unroll 8
    for (std::uint32_t b = 0; b < blocks; ++b) even[b] = odd[b] = _mm256_setzero_si256();
    for (std::uint32_t j = 1; j < n; ++j) {
        const __m256i low = _mm256_set1_epi32(static_cast<std::uint16_t>(ref[j]));
        const __m256i high = _mm256_slli_epi32(low, 16);
        // Unrolled, so that the accumulators stay in registers.
#pragma GCC unroll 8
        for (std::uint32_t b = 0; b < blocks; ++b) {
            const __m256i x =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(input + j + lanes * b));
            even[b] = _mm256_add_epi32(even[b], _mm256_sra_epi32(_mm256_madd_epi16(x, low), shift));
            odd[b] = _mm256_add_epi32(odd[b], _mm256_sra_epi32(_mm256_madd_epi16(x, high), shift));
        }
    }
    for (std::uint32_t b = 0; b < blocks; ++b) {
        // Within each 128-bit half the unpacks restore position order; the
        // halves then hold positions 0-3 | 8-11 and 4-7 | 12-15.
        const __m256i first = _mm256_unpacklo_epi32(even[b], odd[b]);
        const __m256i second = _mm256_unpackhi_epi32(even[b], odd[b]);
        auto* dest = reinterpret_cast<__m256i*>(out + lanes * b);
        _mm256_storeu_si256(dest, _mm256_permute2x128_si256(first, second, 0x20));
        _mm256_storeu_si256(dest + 1, _mm256_permute2x128_si256(first, second, 0x31));
    }
}

void correlate_mono_avx2(const std::int16_t* ref, const std::int16_t* input, std::uint32_t n,
                         std::uint32_t shift, std::uint32_t positions, std::int32_t* out) {
    if (positions < lanes) {
        correlation_sse2.correlate_mono(ref, input, n, shift, positions, out);
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

const correlation_kernels correlation_avx2{level::avx2, correlate_mono_avx2};

}  // namespace squeakbox::simd
