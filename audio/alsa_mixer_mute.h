#pragma once
// The microphone monitor's mute control on Linux: the ALSA simple mixer of the
// first sound card.

#include <cstdint>
#include <string>
#include <utility>

#include "audio/mic_monitor_mute.h"

namespace squeakbox {

// The first element of the card whose name contains "Mic" and that has a
// playback switch: the line that sends the microphone to the speakers. Its
// mute value is 1 while the switch is off and 0 while it is on; the maximum
// is 1. Every access opens the mixer, does its one read or write and closes
// it again. Without a card or such an element nothing is read or written,
// silently.
class alsa_mixer_mute final : public mixer_mute_control {
  public:
    explicit alsa_mixer_mute(std::string card = "hw:0") : card_(std::move(card)) {}

    bool read_mute(std::uint32_t& value, std::uint32_t& maximum) override;
    void write_mute(std::uint32_t value) override;

    // The name of the element used, empty when there is none (for --stats
    // and diagnostics).
    [[nodiscard]] std::string control_name();

  private:
    std::string card_;
};

}  // namespace squeakbox
