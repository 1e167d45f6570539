// The one-channel correlation with SSE2, sixteen-bit lanes across positions.
//
// A vector of eight input samples starting at p + j holds the j-th input term
// of eight neighbouring positions. Multiply-adding it with the pair
// (ref[j], 0) repeated gives the exact 32-bit products of the even positions,
// with (0, ref[j]) those of the odd positions: the zero partner keeps every
// product on its own, so it can be shifted before it is summed, exactly as
// the scalar code does. Each lane then accumulates one position, and no
// horizontal sums are needed.

#include <emmintrin.h>

#include "engine/simd/correlation.h"

namespace squeakbox::simd {

namespace {

constexpr std::uint32_t lanes = 8;  // positions per vector

// Positions p .. p + lanes * blocks - 1, sharing each reference term.
template <std::uint32_t blocks>
inline void correlate_group(const std::int16_t* ref, const std::int16_t* input, std::uint32_t n,
                            __m128i shift, std::int32_t* out) {
    __m128i even[blocks];
    __m128i odd[blocks];
#pragma GCC unroll 8
    for (std::uint32_t b = 0; b < blocks; ++b) even[b] = odd[b] = _mm_setzero_si128();
    for (std::uint32_t j = 1; j < n; ++j) {
        const __m128i low = _mm_set1_epi32(static_cast<std::uint16_t>(ref[j]));
        const __m128i high = _mm_slli_epi32(low, 16);
        // Unrolled, so that the accumulators stay in registers.
#pragma GCC unroll 8
        for (std::uint32_t b = 0; b < blocks; ++b) {
            const __m128i x =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(input + j + lanes * b));
            even[b] = _mm_add_epi32(even[b], _mm_sra_epi32(_mm_madd_epi16(x, low), shift));
            odd[b] = _mm_add_epi32(odd[b], _mm_sra_epi32(_mm_madd_epi16(x, high), shift));
        }
    }
    for (std::uint32_t b = 0; b < blocks; ++b) {
        auto* dest = reinterpret_cast<__m128i*>(out + lanes * b);
        _mm_storeu_si128(dest, _mm_unpacklo_epi32(even[b], odd[b]));
        _mm_storeu_si128(dest + 1, _mm_unpackhi_epi32(even[b], odd[b]));
    }
}

void correlate_mono_sse2(const std::int16_t* ref, const std::int16_t* input, std::uint32_t n,
                         std::uint32_t shift, std::uint32_t positions, std::int32_t* out) {
    if (positions < lanes) {
        correlation_scalar.correlate_mono(ref, input, n, shift, positions, out);
        return;
    }
    const __m128i count = _mm_cvtsi32_si128(static_cast<int>(shift));
    std::uint32_t p = 0;
    for (; p + 4 * lanes <= positions; p += 4 * lanes)
        correlate_group<4>(ref, input + p, n, count, out + p);
    for (; p + lanes <= positions; p += lanes)
        correlate_group<1>(ref, input + p, n, count, out + p);
    // The last few positions: one more vector that ends at the last position,
    // recomputing some already written (with the same values).
    if (p < positions) {
        p = positions - lanes;
        correlate_group<1>(ref, input + p, n, count, out + p);
    }
}

}  // namespace

const correlation_kernels correlation_sse2{level::sse2, correlate_mono_sse2};

}  // namespace squeakbox::simd
