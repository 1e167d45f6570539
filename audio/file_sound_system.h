#pragma once
// Sound devices made of files, so the whole program runs without a sound card:
// a capture device that reads an audio file and a playback device that writes
// a 16-bit mono WAV file. They keep the semantics of the live devices (buffers
// lent through headers, one notification per buffer in order, reset, close),
// paced by a timer like a sound card or as fast as the buffers come back.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "audio/sound_device.h"

namespace squeakbox {

enum class file_pacing {
    real_time,         // 512 frames every 11.6 ms, on absolute deadlines
    as_fast_as_taken,  // a block whenever a buffer is there to take it
};

struct file_device_options {
    std::string capture_file;   // empty: no capture device
    std::string playback_file;  // empty: no playback device
    file_pacing pacing = file_pacing::real_time;
    // Where the devices say why a file is refused or fails, one line each.
    // Standard error when empty.
    std::function<void(const std::string&)> report;
};

class file_sound_system final : public sound_system {
  public:
    explicit file_sound_system(file_device_options options);
    ~file_sound_system() override;
    file_sound_system(const file_sound_system&) = delete;
    file_sound_system& operator=(const file_sound_system&) = delete;

    // One capture device when a capture file was given, named after it;
    // likewise for playback.
    std::uint32_t capture_device_count() override;
    mm_result capture_caps(std::uint32_t device, device_caps& caps) override;
    std::uint32_t playback_device_count() override;
    mm_result playback_caps(std::uint32_t device, device_caps& caps) override;

    // The capture query reads the file's header: a file that cannot be read,
    // or whose sample rate is not 44100 Hz, is refused with a message.
    mm_result query_capture(std::uint32_t device, const wave_format& format) override;
    mm_result query_playback(std::uint32_t device, const wave_format& format) override;

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
