#pragma once
// The desktop's own sound devices, as a native client of its sound server:
// PulseAudio, or PipeWire through pipewire-pulse, which speaks the same
// protocol. The devices are the server's sources and sinks, listed by the
// descriptions the desktop shows; the output list ends with a virtual
// microphone for call programs, which the server creates while the sound runs.
//
// The server's streams are served by libpulse's own thread. Its callbacks only
// move frames between the server and lock-free rings; the lent buffers are
// filled and given back on the user-interface thread, in dispatch_pending(),
// with the same notifications as every other backend.
//
// A capture device records after start(). A playback device is brought to
// life with two blocks of silence before the open returns, so an output that
// is slow to wake does not let the first blocks pile up into a lasting delay;
// after that the server plays a block as soon as two are there.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/devices/backend_sound_system.h"

namespace squeakbox {

class pulse_sound_system final : public backend_sound_system {
  public:
    // The entry at the end of the output list that plays into the virtual
    // microphone.
    static constexpr const char* virtual_mic_label = "Squeakbox-Mikrofon (für Anrufe)";
    // The virtual microphone's source, as call programs see it.
    static constexpr const char* virtual_mic_source = "squeakbox_mic";
    static constexpr const char* virtual_mic_description = "Squeakbox";

    // Connects to the server named by the environment (PULSE_SERVER, or the
    // user's session), waiting at most `timeout`, and takes the device lists.
    // Virtual microphones that a run killed earlier left on the server are
    // removed now. Without an answer both lists are empty and problem() says
    // why.
    explicit pulse_sound_system(std::chrono::milliseconds timeout = std::chrono::seconds(3));
    ~pulse_sound_system() override;

    [[nodiscard]] bool ready() const;
    [[nodiscard]] std::string problem() const override;
    // "PulseAudio 16.1" or the like: the server that answered.
    [[nodiscard]] std::string server_description() const;
    // The version of the libpulse that is loaded.
    [[nodiscard]] static std::string library_version();
    // The number of the virtual microphone's entry in the output list.
    [[nodiscard]] std::uint32_t virtual_mic_device() const;

    // Hearing yourself: while the virtual microphone is there, the server
    // also plays it on its default output (the desktop's speaker or
    // headset), without adding anything to the call's road. Switched on
    // before the microphone is made, it comes with it. False when the
    // server refused it.
    bool set_hear_yourself(bool on);
    [[nodiscard]] bool hearing_yourself() const;

    // The moves the sound made by itself (a device gone, back, a new
    // default, the server back after a restart), told in a line each. The
    // latest `route_news_kept` are kept; `seen` is how many the caller has
    // had, and is moved on past those returned.
    // The device lists as the server has them now: devices plugged in or
    // gone since, and a new default, are taken into the lists (and their
    // numbers). False when nothing changed. Open devices stay as they are.
    bool refresh_devices();

    static constexpr std::size_t route_news_kept = 8;
    [[nodiscard]] std::vector<std::string> routes_since(std::uint64_t& seen) const;

    struct impl;

  private:
    explicit pulse_sound_system(std::unique_ptr<impl> made);
    impl& impl_;
};

}  // namespace squeakbox
