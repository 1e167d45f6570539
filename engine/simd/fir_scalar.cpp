// The readable reference for the anti-alias filter's kernels, which every
// SIMD variant must match exactly, and the choice of variant by level.
#include "engine/simd/fir.h"

namespace squeakbox::simd {

void fir_mono_scalar(std::int16_t* output, const std::int16_t* input, std::uint32_t frames_out,
                     const std::int16_t* coefficients, std::uint32_t taps) {
    for (std::uint32_t k = 0; k < frames_out; ++k) {
        const std::int16_t* window = input + k;
        // Each product fits in 32 bits; the running sum may not for loud input
        // and long filters, so it wraps in unsigned arithmetic.
        std::uint32_t sum = 0;
        for (std::uint32_t i = 0; i < taps; ++i)
            sum += static_cast<std::uint32_t>(std::int32_t{coefficients[i]} * window[i]);
        output[k] = saturate_shifted(sum);
    }
}

void fir_stereo_pairs_scalar(std::int16_t* output, const std::int16_t* input, std::uint32_t pairs,
                             const std::int16_t* paired, std::uint32_t taps) {
    auto product = [](std::int16_t c, std::int16_t x) {
        return static_cast<std::uint32_t>(std::int32_t{c} * x);
    };
    for (std::uint32_t p = 0; p < pairs; ++p) {
        // Frame 2p and frame 2p + 1, left and right, in the order the vector
        // code keeps them.
        std::uint32_t sum[4] = {0, 0, 0, 0};
        const std::int16_t* frames = input + 4 * p;
        for (std::uint32_t g = 0; 4 * g < taps; ++g) {
            const std::int16_t* t = paired + 8 * g;
            const std::int16_t c0 = t[0], c2 = t[1], c1 = t[4], c3 = t[5];
            const std::int16_t* f = frames + 8 * g;  // frame 4g of this pass
            for (int frame = 0; frame < 2; ++frame) {
                const std::int16_t* x = f + 2 * frame;
                for (int ch = 0; ch < 2; ++ch) {
                    sum[2 * frame + ch] += product(c0, x[ch]) + product(c1, x[2 + ch]) +
                                           product(c2, x[4 + ch]) + product(c3, x[6 + ch]);
                }
            }
        }
        std::int16_t* out = output + 4 * p;
        for (int s = 0; s < 4; ++s) out[s] = saturate_shifted(sum[s]);
    }
}

const fir_kernels fir_scalar{level::scalar, fir_mono_scalar, fir_stereo_pairs_scalar};

const fir_kernels& fir_kernels_for(level l) noexcept {
#if defined(SQUEAKBOX_X86_SIMD)
    static const fir_kernels* const by_level[] = {&fir_scalar, &fir_sse2, &fir_avx2, &fir_avx512};
    return *by_level[static_cast<int>(runnable_level(l))];
#else
    (void)l;
    return fir_scalar;
#endif
}

}  // namespace squeakbox::simd
