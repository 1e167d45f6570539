#pragma once
// Mutes the microphone's monitor line while the stream runs, so the speakers
// do not play the unprocessed voice on top of the processed one, and puts
// back what it found at the end, unless the user changed it meanwhile.

#include <cstdint>

namespace squeakbox {

// One access to the mute control of the first microphone line of the first
// mixer: each call opens the mixer, does its one read or write and closes it.
class mixer_mute_control {
public:
    virtual ~mixer_mute_control() = default;
    // The current value and the maximum bound; false when there is no mixer,
    // no microphone line or no mute control (nothing was read).
    virtual bool read_mute(std::uint32_t& value, std::uint32_t& maximum) = 0;
    virtual void write_mute(std::uint32_t value) = 0;
};

class mic_monitor_mute {
public:
    explicit mic_monitor_mute(mixer_mute_control& mixer) noexcept : mixer_(mixer) {}

    // At stream start: remember the value found and write the maximum.
    void save_and_mute();
    // At the end of every run: put the saved value back if the control still
    // holds what we wrote.
    void restore();

    [[nodiscard]] std::uint32_t saved_mute_value() const noexcept { return saved_mute_value_; }
    [[nodiscard]] std::uint32_t applied_mute_value() const noexcept { return applied_mute_value_; }

private:
    mixer_mute_control& mixer_;
    std::uint32_t saved_mute_value_ = 0;
    std::uint32_t applied_mute_value_ = 0;
};

}  // namespace squeakbox
