#pragma once
// The live sound devices, through PortAudio: one stream per opened device,
// 16-bit mono at 44.1 kHz in callbacks of 512 frames. The callbacks only move
// buffers through lock-free rings; the notifications reach the
// user-interface thread through an eventfd and dispatch_pending().

#include <cstdint>
#include <memory>
#include <string>

#include "audio/sound_device.h"

namespace squeakbox {

class portaudio_sound_system final : public sound_system {
  public:
    // PortAudio is initialised once per process, on the first construction,
    // with its probe messages kept off the terminal. The device list is the
    // one found then, so device numbers stay the same for the whole run.
    portaudio_sound_system();
    ~portaudio_sound_system() override;
    portaudio_sound_system(const portaudio_sound_system&) = delete;
    portaudio_sound_system& operator=(const portaudio_sound_system&) = delete;

    // Why PortAudio could not be initialised; empty when it was. Without it
    // both device lists are empty.
    [[nodiscard]] std::string problem() const;

    std::uint32_t capture_device_count() override;
    mm_result capture_caps(std::uint32_t device, device_caps& caps) override;
    std::uint32_t playback_device_count() override;
    mm_result playback_caps(std::uint32_t device, device_caps& caps) override;

    mm_result query_capture(std::uint32_t device, const wave_format& format) override;
    mm_result query_playback(std::uint32_t device, const wave_format& format) override;

    // A capture device records after start(); a playback device starts
    // playing with the first buffer written after opening or a reset.
    mm_result open_capture(std::uint32_t device, const wave_format& format, device_events& target,
                           std::unique_ptr<capture_device>& opened) override;
    mm_result open_playback(std::uint32_t device, const wave_format& format, device_events& target,
                            std::unique_ptr<playback_device>& opened) override;

    [[nodiscard]] int event_fd() const override;
    void dispatch_pending() override;

  private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

}  // namespace squeakbox
