#pragma once
// How loud the processed sound is: the arithmetic behind the level bar. The
// stream measures every played block; the window only draws the reading it is
// given (a green part for the level, white for the rest).

#include <cstdint>

#include "audio/sound_device.h"

namespace squeakbox {

// A quarter of the block's mean absolute sample value, rounded down: 0 for
// silence, 8192 for a block of -32768 everywhere. The sum is kept in unsigned
// 32 bits and divided by the length in bytes, not in samples, then halved.
// A block without bytes measures 0.
[[nodiscard]] std::uint32_t block_level(const wave_header& header) noexcept;

// One block's level against the loudest of the run so far (never below 1).
struct level_reading {
    std::uint32_t level = 0;
    std::int32_t peak = 1;

    // Where the filled part of a bar from `left` to `right` ends:
    // left + (right - left) * level / peak. The product is taken before the
    // division, which rounds toward zero, so the split always lies between
    // left and right.
    [[nodiscard]] std::int32_t split(std::int32_t left, std::int32_t right) const noexcept;
};

// The bar is relative to the loudest block of the run: the peak starts at 1,
// only ever rises, and is never decayed, so after one very loud block ordinary
// speech draws short bars for the rest of the run.
class level_meter {
  public:
    // Measures a block for the bar (the level's low 16 bits, as the bar takes
    // it) and remembers it for repainting. Does not touch the peak.
    std::uint32_t measure(const wave_header& header) noexcept;

    // Raises the peak to `level` (its low 16 bits) and gives the reading.
    level_reading raise(std::uint32_t level) noexcept;
    // A played block: measured, and the peak raised to it.
    level_reading observe(const wave_header& header) noexcept { return raise(measure(header)); }

    // Where the filled part of a bar from `left` to `right` ends for `level`,
    // after raising the peak to it.
    std::int32_t split(std::int32_t left, std::int32_t right, std::uint32_t level) noexcept {
        return raise(level).split(left, right);
    }

    [[nodiscard]] std::int32_t peak() const noexcept { return level_peak_; }
    [[nodiscard]] std::uint32_t last_level() const noexcept { return last_level_; }

  private:
    std::int32_t level_peak_ = 1;
    std::uint32_t last_level_ = 0;
};

}  // namespace squeakbox
