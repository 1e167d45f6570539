#include "engine/anti_alias_filter_mmx.h"

namespace squeakbox {

anti_alias_filter_mmx::anti_alias_filter_mmx(std::uint32_t taps, simd::level kernels)
    : anti_alias_filter(taps, kernels) {}

void anti_alias_filter_mmx::calculate_coefficients() {
    anti_alias_filter::calculate_coefficients();
    for (std::uint32_t g = 0; 4 * g < length; ++g) {
        const std::int16_t* c = coefficients + 4 * g;
        std::int16_t* t = coefficients_mmx + 8 * g;
        t[0] = c[0];
        t[1] = c[2];
        t[2] = c[0];
        t[3] = c[2];
        t[4] = c[1];
        t[5] = c[3];
        t[6] = c[1];
        t[7] = c[3];
    }
}

std::uint32_t anti_alias_filter_mmx::filter_stereo(std::int16_t* output, const std::int16_t* input,
                                                   std::uint32_t frames) {
    // Like the plain filter it writes frames - length frames at most, here
    // only whole pairs, so fewer than length + 2 frames yield none.
    if (frames < length + 2) return 0;
    const std::uint32_t pairs = (frames - length) / 2;
    kernels_->stereo_pairs(output, input, pairs, coefficients_mmx, length);
    return 2 * pairs;
}

}  // namespace squeakbox
