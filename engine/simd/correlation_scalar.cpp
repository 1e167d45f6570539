// The plain reference of the one-channel correlation, and the choice of
// variant by level.

#include "engine/simd/correlation.h"

namespace squeakbox::simd {

namespace {

void correlate_mono_scalar(const std::int16_t* ref, const std::int16_t* input, std::uint32_t n,
                           std::uint32_t shift, std::uint32_t positions, std::int32_t* out) {
    for (std::uint32_t p = 0; p < positions; ++p) {
        const std::int16_t* x = input + p;
        // Unsigned, so that the sum wraps in 32 bits without undefined behaviour.
        std::uint32_t sum = 0;
        for (std::uint32_t j = 1; j < n; ++j) {
            const std::int32_t product = std::int32_t{ref[j]} * std::int32_t{x[j]};
            sum += static_cast<std::uint32_t>(product >> shift);
        }
        out[p] = static_cast<std::int32_t>(sum);
    }
}

}  // namespace

const correlation_kernels correlation_scalar{level::scalar, correlate_mono_scalar};

const correlation_kernels& correlation_kernels_for(level l) noexcept {
#if defined(SQUEAKBOX_X86_SIMD)
    static const correlation_kernels* const by_level[] = {&correlation_scalar, &correlation_sse2,
                                                          &correlation_avx2, &correlation_avx512};
    return *by_level[static_cast<int>(runnable_level(l))];
#else
    (void)l;
    return correlation_scalar;
#endif
}

}  // namespace squeakbox::simd
