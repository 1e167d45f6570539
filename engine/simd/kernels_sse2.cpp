// The one-channel correlation and FIR kernels with SSE2: eight sixteen-bit
// lanes per register.
#include <emmintrin.h>

#include "engine/simd/correlation.h"
#include "engine/simd/fir.h"
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

void correlate_mono_sse2(const std::int16_t* ref, const std::int16_t* input, std::uint32_t n,
                         std::uint32_t shift, std::uint32_t positions, std::int32_t* out) {
    lane_drivers::correlate_mono<vec128>(ref, input, n, shift, positions, out,
                                         correlation_scalar.correlate_mono);
}

}  // namespace

const correlation_kernels correlation_sse2{level::sse2, correlate_mono_sse2};

void fir_mono_sse2(std::int16_t* output, const std::int16_t* input, std::uint32_t frames_out,
                   const std::int16_t* coefficients, std::uint32_t taps) {
    lane_drivers::fir_mono<vec128>(output, input, frames_out, coefficients, taps, fir_mono_scalar);
}

}  // namespace squeakbox::simd
