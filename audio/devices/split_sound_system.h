#pragma once
// Capture from one sound system and playback on another: a sound file as the
// microphone with the sound card as the output, or the other way round.

#include <cstdint>
#include <memory>
#include <string>

#include "audio/sound_device.h"

namespace squeakbox {

class split_sound_system final : public sound_system {
  public:
    // Both systems must outlive this one; they may be the same object.
    split_sound_system(sound_system& capture_side, sound_system& playback_side);
    ~split_sound_system() override;
    split_sound_system(const split_sound_system&) = delete;
    split_sound_system& operator=(const split_sound_system&) = delete;

    std::uint32_t capture_device_count() override { return capture_.capture_device_count(); }
    mm_result capture_caps(std::uint32_t device, device_caps& caps) override {
        return capture_.capture_caps(device, caps);
    }
    std::uint32_t playback_device_count() override { return playback_.playback_device_count(); }
    mm_result playback_caps(std::uint32_t device, device_caps& caps) override {
        return playback_.playback_caps(device, caps);
    }
    mm_result query_capture(std::uint32_t device, const wave_format& format) override {
        return capture_.query_capture(device, format);
    }
    mm_result query_playback(std::uint32_t device, const wave_format& format) override {
        return playback_.query_playback(device, format);
    }
    mm_result open_capture(std::uint32_t device, const wave_format& format, device_events& target,
                           std::unique_ptr<capture_device>& opened) override {
        return capture_.open_capture(device, format, target, opened);
    }
    mm_result open_playback(std::uint32_t device, const wave_format& format, device_events& target,
                            std::unique_ptr<playback_device>& opened) override {
        return playback_.open_playback(device, format, target, opened);
    }

    // One descriptor that is readable when either side has notifications (an
    // epoll set of the two); -1 when either side has none.
    [[nodiscard]] int event_fd() const override;
    void dispatch_pending() override;
    // The capture side's problem first: the voice comes before its output.
    [[nodiscard]] std::string problem() const override {
        std::string why = capture_.problem();
        return why.empty() ? playback_.problem() : why;
    }

  private:
    sound_system& capture_;
    sound_system& playback_;
    int watch_fd_ = -1;  // owned when the two sides differ
};

}  // namespace squeakbox
