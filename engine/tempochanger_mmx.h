#pragma once
// The tempo changer with the packed-integer two-channel search and cross-fade.
//
// Only the two-channel operations differ: the search correlation keeps two
// 32-bit lanes and shifts the sum of two frames at a time (so it drops fewer
// low bits than the plain one and may pick another position for the same
// signal), and the cross-fade gives the plain values bit for bit. With one
// channel this class produces exactly the output of tempochanger.

#include "engine/tempochanger.h"

namespace squeakbox {

class tempochanger_mmx : public tempochanger {
  public:
    // `level` scalar runs portable code with the same values; any other level
    // uses the SSE2 kernels (always present on x86-64).
    explicit tempochanger_mmx(simd::level level = squeakbox::kernel_level(active_variant()));

  protected:
    std::uint32_t seek_best_overlap_stereo(const std::int16_t* mid,
                                           const std::int16_t* input) override;
    std::uint32_t seek_best_overlap_stereo_quick(const std::int16_t* mid,
                                                 const std::int16_t* input) override;
    void overlap_stereo(std::int16_t* dest, std::uint32_t pos) override;

    // The two-lane correlation of input (at the candidate position) with the
    // reference, over overlap_length frames.
    std::int32_t correlate_stereo_mmx(const std::int16_t* input,
                                      const std::int16_t* reference) const;
};

}  // namespace squeakbox
