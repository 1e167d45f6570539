#include "audio/pitch_shifter_processor.h"

#include <algorithm>
#include <cstring>

namespace squeakbox {

pitch_shifter_processor::pitch_shifter_processor(std::int32_t semitones, engine_choice choice,
                                                 simd::level level)
    : shifter_(choice, level) {
    shifter_.set_channels(1);
    shifter_.set_sample_rate(sample_rate);
    shifter_.set_block_size(output_bytes);
    set_pitch_semitones(semitones);
}

void pitch_shifter_processor::set_pitch_semitones(std::int32_t semitones) {
    semitones_ = std::clamp(semitones, -pitch_shifter::max_semitones, pitch_shifter::max_semitones);
    shifter_.set_pitch_semitones(semitones_);
}

std::uint32_t pitch_shifter_processor::process(std::int16_t* output, const std::int16_t* input,
                                               std::uint32_t count) {
    if (count >= output_frames) return shifter_.process(output, input, count);
    // The engine writes up to a whole block whatever it was given; a short
    // output buffer must not be overrun.
    const std::uint32_t written = std::min(shifter_.process(scratch_.data(), input, count), count);
    std::memcpy(output, scratch_.data(), written * sizeof(std::int16_t));
    return written;
}

}  // namespace squeakbox
