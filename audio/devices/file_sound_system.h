#pragma once
// Sound devices made of files, so the whole program runs without a sound card:
// a capture device that reads an audio file and a playback device that writes
// a 16-bit mono WAV file. They keep the semantics of the live devices (buffers
// lent through headers, one notification per buffer in order, reset, close),
// paced by a timer like a sound card or as fast as the buffers come back.

#include <memory>
#include <string>

#include "audio/devices/backend_sound_system.h"

namespace squeakbox {

enum class file_pacing {
    real_time,         // 512 frames every 11.6 ms, on absolute deadlines
    as_fast_as_taken,  // a block whenever a buffer is there to take it
};

struct file_device_options {
    std::string capture_file;   // empty: no capture device
    std::string playback_file;  // empty: no playback device
    file_pacing pacing = file_pacing::real_time;
};

// One capture device when a capture file was given, named after it; likewise
// for playback. The capture query reads the file's header: a file that cannot
// be read, or whose sample rate is not 44100 Hz, is refused, and so is a
// playback file that cannot be made; problem() then says why in one line, for
// the caller to show (the devices print nothing themselves).
class file_sound_system final : public backend_sound_system {
  public:
    explicit file_sound_system(file_device_options options);
    ~file_sound_system() override;

    // Why the latest query or open that reached a file refused it; empty when
    // it did not. A wrong device number or format is refused before any file
    // is looked at and leaves it as it was.
    [[nodiscard]] std::string problem() const override;

  private:
    struct impl;
    explicit file_sound_system(std::unique_ptr<impl> made);
    impl& impl_;
};

}  // namespace squeakbox
