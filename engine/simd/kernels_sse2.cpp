// The one-channel correlation and FIR kernels with SSE2: eight sixteen-bit
// lanes per register.
#include <emmintrin.h>

#include "engine/simd/lane_drivers.h"

namespace squeakbox::simd {

namespace {

struct vec128 {
    using reg = __m128i;
    static constexpr std::uint32_t lanes = 8;
    static reg zero() { return _mm_setzero_si128(); }
    static reg load(const std::int16_t* p) {
        return _mm_loadu_si128(reinterpret_cast<const reg*>(p));
    }
    static reg broadcast(std::int32_t v) { return _mm_set1_epi32(v); }
    static reg add(reg a, reg b) { return _mm_add_epi32(a, b); }
    static reg madd(reg a, reg b) { return _mm_madd_epi16(a, b); }
    static reg sra(reg v, __m128i count) { return _mm_sra_epi32(v, count); }
    static reg srai13(reg v) { return _mm_srai_epi32(v, 13); }
    static void store_positions(std::int32_t* out, reg even, reg odd) {
        auto* dest = reinterpret_cast<reg*>(out);
        _mm_storeu_si128(dest, _mm_unpacklo_epi32(even, odd));
        _mm_storeu_si128(dest + 1, _mm_unpackhi_epi32(even, odd));
    }
    static void store_packed(std::int16_t* out, reg even, reg odd) {
        _mm_storeu_si128(
            reinterpret_cast<reg*>(out),
            _mm_packs_epi32(_mm_unpacklo_epi32(even, odd), _mm_unpackhi_epi32(even, odd)));
    }
};

}  // namespace

const correlation_kernels correlation_sse2{
    level::sse2, lane_drivers::correlate_mono<vec128, correlation_scalar>};
const fir_kernels fir_sse2{level::sse2, lane_drivers::fir_mono<vec128, fir_scalar>,
                           fir_stereo_pairs_sse2};

}  // namespace squeakbox::simd
