#include "audio/level_meter.h"

#include <cstring>

namespace squeakbox {

std::uint32_t block_level(const wave_header& header) noexcept {
    const std::uint32_t bytes = header.buffer_length;
    // An empty block has nothing to measure, and its length is the divisor.
    if (bytes == 0 || header.data == nullptr) return 0;
    const std::uint32_t count = bytes >> 1;
    std::uint32_t sum = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::int16_t sample = 0;
        std::memcpy(&sample, header.data + 2 * static_cast<std::size_t>(i), sizeof sample);
        // Widened before negating, so |-32768| is 32768. An unsigned 32-bit
        // sum is enough: our blocks of 512 samples reach at most 2^24. A far
        // longer block (over 2^17 full-scale samples) wraps it, defined
        // unsigned arithmetic, and the bar keeps only the level's low 16 bits.
        const std::int32_t wide = sample;
        sum += static_cast<std::uint32_t>(wide < 0 ? -wide : wide);
    }
    return (sum / bytes) >> 1;
}

std::uint32_t level_meter::measure(const wave_header& header) noexcept {
    last_level_ = block_level(header) & 0xFFFFu;
    return last_level_;
}

level_reading level_meter::raise(std::uint32_t level) noexcept {
    const auto low = static_cast<std::int32_t>(level & 0xFFFFu);
    if (low > level_peak_) level_peak_ = low;
    return {static_cast<std::uint32_t>(low), level_peak_};
}

std::int32_t level_reading::split(std::int32_t left, std::int32_t right) const noexcept {
    // 64-bit arithmetic gives the same result as the 32-bit bar arithmetic
    // wherever that does not overflow, and stays defined for any rectangle.
    const std::int64_t width = static_cast<std::int64_t>(right) - left;
    return static_cast<std::int32_t>(left + width * static_cast<std::int64_t>(level) / peak);
}

}  // namespace squeakbox
