#pragma once
// The live sound devices, through PortAudio: one stream per opened device,
// 16-bit mono at 44.1 kHz in callbacks of 512 frames. The callbacks only move
// buffers through lock-free rings; the notifications reach the
// user-interface thread through an eventfd and dispatch_pending().
//
// A capture device records after start(); a playback device starts playing
// with the first buffer written after opening or a reset.

#include <memory>
#include <string>

#include "audio/devices/backend_sound_system.h"

namespace squeakbox {

class portaudio_sound_system final : public backend_sound_system {
  public:
    // PortAudio is initialised once per process, on the first construction,
    // with its probe messages kept off the terminal. The device list is the
    // one found then, so device numbers stay the same for the whole run.
    portaudio_sound_system();
    ~portaudio_sound_system() override;

    // Why PortAudio could not be initialised; empty when it was. Without it
    // both device lists are empty.
    [[nodiscard]] std::string problem() const override;

  private:
    struct impl;
    explicit portaudio_sound_system(std::unique_ptr<impl> made);
    impl& impl_;
};

}  // namespace squeakbox
