// The two-channel kernel of the MMX-layout filter, on SSE2: two output frames
// per pass, their four sums (left and right of each) kept in one vector.
//
// For each group of four taps c0..c3 starting at frame f, the samples are
// rearranged so that one multiply-add with (c0, c2) weighs frames f, f + 2
// for output frame 2p and f + 1, f + 3 for frame 2p + 1, and one with (c1, c3)
// weighs frames f + 1, f + 3 and f + 2, f + 4 — the pairing the rearranged tap
// table is laid out for.
#include <emmintrin.h>

#include "engine/simd/fir.h"

namespace squeakbox::simd {

namespace {

// Four frames (L0 R0 L1 R1 L2 R2 L3 R3) as (L0 L2 R0 R2 L1 L3 R1 R3).
inline __m128i pair_by_two_frames(const std::int16_t* frames) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(frames));
    return _mm_unpacklo_epi16(x, _mm_srli_si128(x, 8));
}

// Four table entries (c, c', c, c') repeated across the vector.
inline __m128i table_half(const std::int16_t* entries) {
    const __m128i t = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(entries));
    return _mm_unpacklo_epi64(t, t);
}

}  // namespace

void fir_stereo_pairs_sse2(std::int16_t* output, const std::int16_t* input, std::uint32_t pairs,
                           const std::int16_t* paired, std::uint32_t taps) {
    const std::uint32_t groups = taps / 4;
    for (std::uint32_t p = 0; p < pairs; ++p) {
        // Lanes: frame 2p left, right, frame 2p + 1 left, right.
        __m128i sums = _mm_setzero_si128();
        const std::int16_t* pass = input + 4 * p;
        for (std::uint32_t g = 0; g < groups; ++g) {
            const std::int16_t* f = pass + 8 * g;
            const __m128i even_taps = table_half(paired + 8 * g);     // c0 c2 c0 c2
            const __m128i odd_taps = table_half(paired + 8 * g + 4);  // c1 c3 c1 c3
            sums = _mm_add_epi32(sums, _mm_madd_epi16(pair_by_two_frames(f), even_taps));
            sums = _mm_add_epi32(sums, _mm_madd_epi16(pair_by_two_frames(f + 2), odd_taps));
        }
        sums = _mm_srai_epi32(sums, 13);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(output + 4 * p), _mm_packs_epi32(sums, sums));
    }
}

}  // namespace squeakbox::simd
