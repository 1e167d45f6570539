// The anti-alias filter's kernel tables, one per instruction-set level.
#include "engine/simd/fir.h"

namespace squeakbox::simd {

namespace {

constexpr fir_kernels scalar_kernels{level::scalar, fir_mono_scalar, fir_stereo_pairs_scalar};

#if defined(SQUEAKBOX_X86_SIMD)
// The two-frame stereo kernel needs nothing wider than SSE2: its work per pass
// is one 128-bit vector of four sums, so the wider levels share it.
constexpr fir_kernels sse2_kernels{level::sse2, fir_mono_sse2, fir_stereo_pairs_sse2};
constexpr fir_kernels avx2_kernels{level::avx2, fir_mono_avx2, fir_stereo_pairs_sse2};
constexpr fir_kernels avx512_kernels{level::avx512, fir_mono_avx512, fir_stereo_pairs_sse2};
#endif

}  // namespace

const fir_kernels& fir_kernels_for(level l) noexcept {
#if defined(SQUEAKBOX_X86_SIMD)
    static constexpr const fir_kernels* by_level[] = {&scalar_kernels, &sse2_kernels, &avx2_kernels,
                                                      &avx512_kernels};
    return *by_level[static_cast<int>(runnable_level(l))];
#else
    (void)l;
    return scalar_kernels;
#endif
}

}  // namespace squeakbox::simd
