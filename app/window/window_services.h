#pragma once
// What the window drives besides its own widgets, seen from the window: the
// audio stream, the pitch engine and the actions that reach outside the
// program. Each is a small seam, so the window can be built and tested with
// stand-ins and wired to the real parts in main().

#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "audio/audio_stream.h"
#include "engine/pitch_shifter.h"

namespace squeakbox {

// Builds the stream once the window exists: the window listens to it.
using stream_factory = std::function<std::unique_ptr<stream_control>(stream_listener& listener)>;

// The pitch shifter's set-up as the window makes it.
class pitch_control {
  public:
    virtual ~pitch_control() = default;
    virtual void set_channels(int channels) = 0;
    virtual void set_sample_rate(int rate) = 0;
    virtual void set_block_size(int bytes) = 0;
    virtual void set_pitch_semitones(int semitones) = 0;
    // The engine's low-latency mode on or off; any time, also while blocks flow.
    virtual void set_low_latency(bool on) = 0;
    // The voice unchanged (on) or through the engine; any time.
    virtual void set_bypass(bool /*on*/) {}
    // The voice and the timbre (semitones); any time, also while blocks flow.
    virtual void set_voice(voice_kind voice) = 0;
    virtual void set_timbre_semitones(int semitones) = 0;
};

// Any class with the pitch shifter's set-up operations, as a pitch_control.
template <class Shifter>
class pitch_adapter final : public pitch_control {
  public:
    explicit pitch_adapter(Shifter& shifter) noexcept : shifter_(shifter) {}
    void set_channels(int channels) override { shifter_.set_channels(channels); }
    void set_sample_rate(int rate) override { shifter_.set_sample_rate(rate); }
    void set_block_size(int bytes) override { shifter_.set_block_size(bytes); }
    void set_pitch_semitones(int semitones) override { shifter_.set_pitch_semitones(semitones); }
    void set_low_latency(bool on) override {
        shifter_.set_latency(on ? latency_mode::low : latency_mode::normal);
    }
    void set_bypass(bool on) override {
        if constexpr (requires { shifter_.set_bypass(on); }) shifter_.set_bypass(on);
    }
    void set_voice(voice_kind voice) override { shifter_.set_voice(voice); }
    void set_timbre_semitones(int semitones) override { shifter_.set_timbre_semitones(semitones); }

  private:
    Shifter& shifter_;
};

// The delay from the microphone to the output, as a user's call partner
// hears it: what the sound server reports its devices hold, and the engine's
// own (its processing and the block it gathers).
struct sound_delay {
    double server_ms = 0;
    double engine_ms = 0;
    [[nodiscard]] double total_ms() const noexcept { return server_ms + engine_ms; }
};

// Asked while the sound runs; nothing while the server has reported nothing.
using delay_source = std::function<std::optional<sound_delay>()>;

// The actions that reach outside the program, as the window triggers them.
// Each one that is empty does nothing.
struct window_actions {
    // A modal box with an OK button; while it is open, device notifications
    // keep arriving. Empty: a QMessageBox, or a line on stderr when there is
    // no screen to show it on.
    std::function<void(std::string_view text, std::string_view title)> message_box;
    std::function<void()> send_recommendation_mail;
    std::function<void()> open_homepage;
    std::function<void()> open_apps_page;
    std::function<void()> copy_to_desktop;
    std::function<void(int banner_kind)> open_banner_link;
};

}  // namespace squeakbox
