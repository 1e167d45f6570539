#pragma once
// The anti-alias filter with a two-channel path that computes two output
// frames per pass with 16-bit multiply-adds over a rearranged copy of the
// taps. Its samples equal the plain filter's on every frame both write; it
// writes only whole pairs, leaving an odd last frame for the next call.

#include <cstdint>

#include "engine/anti_alias_filter.h"

namespace squeakbox {

class anti_alias_filter_mmx : public anti_alias_filter {
  public:
    explicit anti_alias_filter_mmx(std::uint32_t taps,
                                   simd::level kernels = squeakbox::kernel_level(active_variant()));

  protected:
    void calculate_coefficients() override;
    std::uint32_t filter_stereo(std::int16_t* output, const std::int16_t* input,
                                std::uint32_t frames) override;

    // For each group of four taps c0..c3: c0, c2, c0, c2, c1, c3, c1, c3.
    // The base constructor cannot reach the override, so the table stays zero
    // until the first set_cutoff or set_length after construction.
    std::int16_t coefficients_mmx[256] = {};
};

}  // namespace squeakbox
