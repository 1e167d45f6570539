#pragma once
// The voice as it is: with the bypass on, every block goes from the
// microphone to the output unchanged, so the delay falls to the devices' own,
// for the moment one wants to be heard as oneself. The change either way is a
// short crossfade over one block, never a jump from one sample to another.
//
// The engine keeps hearing the voice while it is bypassed, and its output is
// thrown away: coming back, the changed voice continues from the voice just
// heard instead of from what was said before the bypass, and the crossfade
// meets a running engine rather than one that has to fill up first.
//
// Only the thread that moves the blocks calls it (set_bypass comes through
// the engine's command queue), so it needs no lock.

#include <array>
#include <cstdint>

#include "audio/audio_stream.h"
#include "audio/block_format.h"

namespace squeakbox {

class pitch_shifter;

class voice_bypass final : public block_processor {
  public:
    explicit voice_bypass(pitch_shifter& shifter) noexcept : shifter_(shifter) {}

    // From the next block on; the crossfade spans that block.
    void set_bypass(bool on) noexcept { wanted_ = on; }
    [[nodiscard]] bool bypassed() const noexcept { return wanted_; }

    std::uint32_t process(std::int16_t* output, const std::int16_t* input,
                          std::uint32_t count) override;

  private:
    std::uint32_t process_part(std::int16_t* output, const std::int16_t* input,
                               std::uint32_t count) noexcept;

    pitch_shifter& shifter_;
    bool wanted_ = false;  // what the user asked for
    bool heard_ = false;   // what the last block played
    std::array<std::int16_t, block_frames> changed_{};
};

}  // namespace squeakbox
