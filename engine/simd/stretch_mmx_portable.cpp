// Plain code with the values of the packed MMX stretcher arithmetic.

#include <algorithm>

#include "engine/simd/stretch_mmx.h"

namespace squeakbox::simd {

namespace {

// The pairwise multiply-add of one stereo frame; the sum of the two products
// wraps in 32 bits as the packed instruction does.
inline std::uint32_t frame_product(const std::int16_t* input, const std::int16_t* reference) {
    return static_cast<std::uint32_t>(std::int32_t{reference[0]} * std::int32_t{input[0]}) +
           static_cast<std::uint32_t>(std::int32_t{reference[1]} * std::int32_t{input[1]});
}

inline std::uint32_t shifted(std::uint32_t sum, std::uint32_t shift) {
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(sum) >> shift);
}

std::int32_t correlate_stereo_portable(const std::int16_t* input, const std::int16_t* reference,
                                       std::uint32_t n, std::uint32_t shift) {
    std::uint32_t even = 0;
    std::uint32_t odd = 0;
    for (std::uint32_t f = 0; f + 4 <= n; f += 4) {
        const std::int16_t* x = input + 2 * f;
        const std::int16_t* r = reference + 2 * f;
        even += shifted(frame_product(x, r) + frame_product(x + 4, r + 4), shift);
        odd += shifted(frame_product(x + 2, r + 2) + frame_product(x + 6, r + 6), shift);
    }
    return static_cast<std::int32_t>(even + odd);
}

void overlap_stereo_portable(std::int16_t* dest, const std::int16_t* mid, const std::int16_t* input,
                             std::uint32_t n, std::uint32_t shift) {
    const auto weight_total = static_cast<std::int32_t>(n);
    for (std::uint32_t i = 0; i < 2 * n; ++i) {
        const auto frame = static_cast<std::int32_t>(i / 2);
        const std::int32_t sum =
            std::int32_t{mid[i]} * (weight_total - frame) + std::int32_t{input[i]} * frame;
        dest[i] = static_cast<std::int16_t>(std::clamp(sum >> shift, -32768, 32767));
    }
}

}  // namespace

const stretch_mmx_kernels stretch_mmx_portable{level::scalar, correlate_stereo_portable,
                                               overlap_stereo_portable};

const stretch_mmx_kernels& stretch_mmx_kernels_for(level l) noexcept {
#if defined(SQUEAKBOX_X86_SIMD)
    if (l != level::scalar) return stretch_mmx_sse2;
#else
    (void)l;
#endif
    return stretch_mmx_portable;
}

}  // namespace squeakbox::simd
