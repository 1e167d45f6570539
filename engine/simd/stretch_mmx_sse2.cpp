// The packed stretcher arithmetic with SSE2: the same multiply-add, shift and
// saturating pack that the MMX code used, on 128-bit registers.

#include <emmintrin.h>

#include "engine/simd/stretch_mmx.h"

namespace squeakbox::simd {

namespace {

inline __m128i load(const std::int16_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

std::int32_t correlate_stereo_sse2(const std::int16_t* input, const std::int16_t* reference,
                                   std::uint32_t n, std::uint32_t shift) {
    const __m128i count = _mm_cvtsi32_si128(static_cast<int>(shift));
    // Lanes: frames 0+2, 1+3, 4+6, 5+7 of each group of eight; lanes 0 and 2
    // together are the even lane of the MMX code, 1 and 3 the odd one, and
    // since the lanes wrap, the order of the additions does not matter.
    __m128i sum = _mm_setzero_si128();
    for (std::uint32_t f = 0; f < n; f += 8) {
        const std::int16_t* x = input + 2 * f;
        const std::int16_t* r = reference + 2 * f;
        const __m128i a = _mm_madd_epi16(load(x), load(r));          // P0 P1 P2 P3
        const __m128i b = _mm_madd_epi16(load(x + 8), load(r + 8));  // P4 P5 P6 P7
        const __m128i pairs = _mm_add_epi32(_mm_unpacklo_epi64(a, b), _mm_unpackhi_epi64(a, b));
        sum = _mm_add_epi32(sum, _mm_sra_epi32(pairs, count));
    }
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(1, 0, 3, 2)));
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_cvtsi128_si32(sum);
}

void overlap_stereo_sse2(std::int16_t* dest, const std::int16_t* mid, const std::int16_t* input,
                         std::uint32_t n, std::uint32_t shift) {
    const __m128i count = _mm_cvtsi32_si128(static_cast<int>(shift));
    const auto w = static_cast<std::int16_t>(n);
    // Weight pairs (n - i, i) for the sample pairs (mid, input) of frames
    // i, i + 1 and i + 2, i + 3, stepping four frames a pass.
    __m128i first = _mm_setr_epi16(w, 0, w, 0, static_cast<std::int16_t>(w - 1), 1,
                                   static_cast<std::int16_t>(w - 1), 1);
    __m128i second =
        _mm_setr_epi16(static_cast<std::int16_t>(w - 2), 2, static_cast<std::int16_t>(w - 2), 2,
                       static_cast<std::int16_t>(w - 3), 3, static_cast<std::int16_t>(w - 3), 3);
    const __m128i step = _mm_setr_epi16(-4, 4, -4, 4, -4, 4, -4, 4);
    for (std::uint32_t f = 0; f < n; f += 4) {
        const __m128i m = load(mid + 2 * f);
        const __m128i x = load(input + 2 * f);
        const __m128i low = _mm_sra_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(m, x), first), count);
        const __m128i high = _mm_sra_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(m, x), second), count);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dest + 2 * f), _mm_packs_epi32(low, high));
        first = _mm_add_epi16(first, step);
        second = _mm_add_epi16(second, step);
    }
}

}  // namespace

const stretch_mmx_kernels stretch_mmx_sse2{level::sse2, correlate_stereo_sse2, overlap_stereo_sse2};

}  // namespace squeakbox::simd
