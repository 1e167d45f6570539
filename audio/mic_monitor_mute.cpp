#include "audio/mic_monitor_mute.h"

namespace squeakbox {

void mic_monitor_mute::save_and_mute() {
    std::uint32_t value = 0;
    std::uint32_t maximum = 0;
    // Without a control nothing was read, and nothing read is ever written.
    if (!mixer_.read_mute(value, maximum)) return;
    saved_mute_value_ = value;
    applied_mute_value_ = maximum;
    mixer_.write_mute(applied_mute_value_);
}

void mic_monitor_mute::restore() {
    std::uint32_t value = 0;
    std::uint32_t maximum = 0;
    if (!mixer_.read_mute(value, maximum)) return;
    // A different value means the user set the control while we ran: keep it.
    if (value == applied_mute_value_) mixer_.write_mute(saved_mute_value_);
}

}  // namespace squeakbox
