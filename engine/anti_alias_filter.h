#pragma once
// The rate transposer's low-pass filter: a windowed-sinc FIR of up to 128
// symmetric 16-bit taps, run on one or two interleaved channels of 16-bit
// samples in fixed point.
//
// The taps add up to about 7500 and the sum of products is shifted right by
// 13 bits, a pass-band gain of about 0.915 (-0.77 dB) that leaves headroom for
// the ripple of the steep transition. Output frame k depends on input frames
// k .. k + length - 1 only, so a caller that keeps the last `length` frames in
// front of the next block gets a seamless filtered stream.
//
// A result outside the 16-bit range saturates: loud speech overshooting
// through the ripple must clip, not flip to the opposite extreme (a
// full-scale click).

#include <cstdint>

#include "engine/simd/dispatch.h"
#include "engine/simd/fir.h"

namespace squeakbox {

class anti_alias_filter {
  public:
    static constexpr std::uint32_t max_length = 128;

    // `kernels` picks the instruction set of the one-channel filter; every
    // level gives the same samples.
    explicit anti_alias_filter(std::uint32_t taps,
                               simd::level kernels = squeakbox::kernel_level(active_variant()));
    anti_alias_filter(const anti_alias_filter&) = delete;
    anti_alias_filter& operator=(const anti_alias_filter&) = delete;

    // Cutoff as a fraction of the sample rate the filter runs at (0.5 is the
    // Nyquist frequency); recalculates the taps.
    void set_cutoff(double new_cutoff);
    // Rounds down to a multiple of 8, at most 128; recalculates the taps.
    void set_length(std::uint32_t taps);

    // Filters `frames` input frames of `channels` interleaved channels (2 for
    // stereo, anything else is one channel) and returns the frames written.
    // Input shorter than the filter writes nothing and returns 0.
    std::uint32_t filter(std::int16_t* output, const std::int16_t* input, std::uint32_t frames,
                         std::uint32_t channels);

    [[nodiscard]] std::uint32_t taps() const noexcept { return length; }
    [[nodiscard]] double cutoff_fraction() const noexcept { return cutoff; }
    [[nodiscard]] simd::level kernel_level() const noexcept { return kernels_->kernel_level; }

    // Last in the virtual table; the transposer destroys a derived filter
    // through a pointer to this class.
    virtual ~anti_alias_filter();

  protected:
    virtual void calculate_coefficients();
    virtual std::uint32_t filter_stereo(std::int16_t* output, const std::int16_t* input,
                                        std::uint32_t frames);
    virtual std::uint32_t filter_mono(std::int16_t* output, const std::int16_t* input,
                                      std::uint32_t frames);

    std::uint32_t length = 0;
    std::uint32_t length_div8 = 0;
    double cutoff = 0.5;
    std::int16_t coefficients[256] = {};

    const simd::fir_kernels* kernels_;
};

}  // namespace squeakbox
