#include "audio/voice_bypass.h"

#include <algorithm>
#include <cstring>

#include "engine/pitch_shifter.h"

namespace squeakbox {

std::uint32_t voice_bypass::process(std::int16_t* output, const std::int16_t* input,
                                    std::uint32_t count) {
    if (!wanted_ && !heard_) return shifter_.process(output, input, count);
    // The stream hands over one block at a time; anything longer is taken in
    // blocks, so the scratch block is always big enough.
    std::uint32_t done = 0;
    while (done < count) {
        const std::uint32_t part = std::min(count - done, block_frames);
        process_part(output + done, input + done, part);
        done += part;
    }
    return count;
}

std::uint32_t voice_bypass::process_part(std::int16_t* output, const std::int16_t* input,
                                         std::uint32_t count) noexcept {
    const std::uint32_t changed = std::min(shifter_.process(changed_.data(), input, count), count);
    // While the engine fills up after a start, what it has not given is silence.
    std::fill(changed_.begin() + changed, changed_.begin() + count, std::int16_t{0});
    if (wanted_ == heard_) {
        // Bypassed: the engine's output is not heard.
        std::memcpy(output, input, count * sizeof(std::int16_t));
        return count;
    }
    // One block of crossfade from what was heard to what is wanted. The two
    // voices are unrelated signals, so a straight line between them is as
    // good as any curve over 12 ms, and it ends exactly on the new voice.
    const std::int16_t* from = wanted_ ? changed_.data() : input;
    const std::int16_t* to = wanted_ ? input : changed_.data();
    const auto steps = static_cast<std::int32_t>(count);
    for (std::int32_t i = 0; i < steps; ++i) {
        const std::int32_t mixed = (from[i] * (steps - i) + to[i] * i) / steps;
        output[i] = static_cast<std::int16_t>(mixed);
    }
    heard_ = wanted_;
    return count;
}

}  // namespace squeakbox
