// The one-channel correlation and FIR kernels with AVX2: sixteen sixteen-bit
// lanes per register.
#include <immintrin.h>

#include "engine/simd/lane_drivers.h"

namespace squeakbox::simd {

namespace {

struct vec256 {
    using reg = __m256i;
    static constexpr std::uint32_t lanes = 16;
    static reg zero() { return _mm256_setzero_si256(); }
    static reg load(const std::int16_t* p) {
        return _mm256_loadu_si256(reinterpret_cast<const reg*>(p));
    }
    static reg broadcast(std::int32_t v) { return _mm256_set1_epi32(v); }
    static reg add(reg a, reg b) { return _mm256_add_epi32(a, b); }
    static reg madd(reg a, reg b) { return _mm256_madd_epi16(a, b); }
    static reg sra(reg v, __m128i count) { return _mm256_sra_epi32(v, count); }
    static reg srai13(reg v) { return _mm256_srai_epi32(v, 13); }
    static void store_positions(std::int32_t* out, reg even, reg odd) {
        // Within each 128-bit half the unpacks restore position order; the
        // halves then hold positions 0-3 | 8-11 and 4-7 | 12-15.
        const reg first = _mm256_unpacklo_epi32(even, odd);
        const reg second = _mm256_unpackhi_epi32(even, odd);
        auto* dest = reinterpret_cast<reg*>(out);
        _mm256_storeu_si256(dest, _mm256_permute2x128_si256(first, second, 0x20));
        _mm256_storeu_si256(dest + 1, _mm256_permute2x128_si256(first, second, 0x31));
    }
    static void store_packed(std::int16_t* out, reg even, reg odd) {
        // Unpack and pack work within 128-bit halves, which keeps frames
        // k .. k + 7 in the lower half and k + 8 .. k + 15 in the upper one.
        _mm256_storeu_si256(
            reinterpret_cast<reg*>(out),
            _mm256_packs_epi32(_mm256_unpacklo_epi32(even, odd), _mm256_unpackhi_epi32(even, odd)));
    }
};

}  // namespace

const correlation_kernels correlation_avx2{level::avx2,
                                           lane_drivers::correlate_mono<vec256, correlation_sse2>};
const fir_kernels fir_avx2{level::avx2, lane_drivers::fir_mono<vec256, fir_scalar>,
                           fir_stereo_pairs_sse2};

}  // namespace squeakbox::simd
