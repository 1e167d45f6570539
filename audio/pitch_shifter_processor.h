#pragma once
// The pitch shifter as the stream's block transformation, set up the way the
// live program runs it: one channel at 44100 Hz into output buffers of 1024
// bytes, so each call hands out at most one 512-frame block.

#include <array>
#include <cstdint>

#include "audio/audio_stream.h"
#include "engine/pitch_shifter.h"

namespace squeakbox {

class pitch_shifter_processor final : public block_processor {
  public:
    static constexpr std::uint32_t sample_rate = 44100;
    static constexpr std::uint32_t output_bytes = audio_stream::block_bytes;
    static constexpr std::uint32_t output_frames = output_bytes / 2;

    explicit pitch_shifter_processor(std::int32_t semitones = 6,
                                     engine_choice choice = engine_choice::automatic,
                                     simd::level level = simd::active_level());

    // Takes effect with the next block; the sound already inside the engine
    // is not discarded. Clamped to +-pitch_shifter::max_semitones.
    void set_pitch_semitones(std::int32_t semitones);
    [[nodiscard]] std::int32_t pitch_semitones() const noexcept { return semitones_; }

    // Writes at most min(count, 512) frames. The engine may hand out a whole
    // block whatever the input count, so a caller with a smaller output
    // buffer gets the first `count` frames and the rest is not kept.
    std::uint32_t process(std::int16_t* output, const std::int16_t* input,
                          std::uint32_t count) override;

    [[nodiscard]] const pitch_shifter& shifter() const noexcept { return shifter_; }

  private:
    pitch_shifter shifter_;
    std::int32_t semitones_ = 0;
    std::array<std::int16_t, output_frames> scratch_{};
};

}  // namespace squeakbox
