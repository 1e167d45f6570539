// The one-channel correlation and FIR kernels with AVX-512 (BW): thirty-two
// sixteen-bit lanes per register. Shorter runs go to the AVX2 kernels.
#include <immintrin.h>

#include "engine/simd/lane_drivers.h"

namespace squeakbox::simd {

namespace {

// The zero-masked forms with every lane selected are the plain instructions;
// GCC 12 warns (wrongly) about the undefined source register that the
// unmasked intrinsics pass to the builtin.
constexpr __mmask16 all_lanes = 0xFFFF;

struct vec512 {
    using reg = __m512i;
    static constexpr std::uint32_t lanes = 32;
    static reg zero() { return _mm512_setzero_si512(); }
    static reg load(const std::int16_t* p) { return _mm512_loadu_si512(p); }
    static reg broadcast(std::int32_t v) { return _mm512_set1_epi32(v); }
    static reg add(reg a, reg b) { return _mm512_add_epi32(a, b); }
    static reg madd(reg a, reg b) { return _mm512_madd_epi16(a, b); }
    static reg sra(reg v, __m128i count) { return _mm512_maskz_sra_epi32(all_lanes, v, count); }
    static reg srai13(reg v) { return _mm512_maskz_srai_epi32(all_lanes, v, 13); }
    static void store_positions(std::int32_t* out, reg even, reg odd) {
        // Lane k of `even` is position 2k, of `odd` position 2k + 1; an index
        // of 16 or more picks from `odd`.
        const reg first_half =
            _mm512_setr_epi32(0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
        const reg second_half =
            _mm512_setr_epi32(8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
        _mm512_storeu_si512(out, _mm512_permutex2var_epi32(even, first_half, odd));
        _mm512_storeu_si512(out + 16, _mm512_permutex2var_epi32(even, second_half, odd));
    }
    static void store_packed(std::int16_t* out, reg even, reg odd) {
        // Per 128-bit lane L the pack yields frames k + 8L .. k + 8L + 7.
        _mm512_storeu_si512(out,
                            _mm512_packs_epi32(_mm512_maskz_unpacklo_epi32(all_lanes, even, odd),
                                               _mm512_maskz_unpackhi_epi32(all_lanes, even, odd)));
    }
};

}  // namespace

const correlation_kernels correlation_avx512{
    level::avx512, lane_drivers::correlate_mono<vec512, correlation_avx2>};
const fir_kernels fir_avx512{level::avx512, lane_drivers::fir_mono<vec512, fir_avx2>,
                             fir_stereo_pairs_sse2};

}  // namespace squeakbox::simd
