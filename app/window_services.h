#pragma once
// What the window drives besides its own widgets, seen from the window: the
// audio stream, the pitch engine, the recorder and the actions that reach
// outside the program. Each is a small seam, so the window can be built and
// tested with stand-ins and wired to the real parts in main().

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "audio/audio_stream.h"
#include "audio/sound_device.h"

namespace squeakbox {

// The stream's operations that the window calls (see audio_stream).
class stream_control {
  public:
    virtual ~stream_control() = default;
    virtual void set_observer(block_observer* observer) = 0;
    virtual int open_stream() = 0;
    virtual void on_capture_block(wave_header* header) = 0;
    virtual void on_playback_done(wave_header* header) = 0;
    virtual void request_stop() = 0;
    [[nodiscard]] virtual bool close_allowed() const = 0;
    virtual void stop_deadline_passed() = 0;
    [[nodiscard]] virtual int stream_state() const = 0;
    virtual void set_stream_state(int state) = 0;
    [[nodiscard]] virtual const record_target& recording_target() const = 0;
};

// Any class with audio_stream's operations, as a stream_control. Header-only,
// so only the program that picks a stream links one.
template <class Stream>
class stream_adapter final : public stream_control {
  public:
    template <class... Args>
    explicit stream_adapter(Args&&... args) : stream_(std::forward<Args>(args)...) {}

    Stream& stream() noexcept { return stream_; }

    void set_observer(block_observer* observer) override { stream_.set_observer(observer); }
    int open_stream() override { return stream_.open_stream(); }
    void on_capture_block(wave_header* header) override { stream_.on_capture_block(header); }
    void on_playback_done(wave_header* header) override { stream_.on_playback_done(header); }
    void request_stop() override { stream_.request_stop(); }
    [[nodiscard]] bool close_allowed() const override { return stream_.close_allowed(); }
    void stop_deadline_passed() override { stream_.stop_deadline_passed(); }
    [[nodiscard]] int stream_state() const override { return stream_.stream_state(); }
    void set_stream_state(int state) override { stream_.set_stream_state(state); }
    [[nodiscard]] const record_target& recording_target() const override {
        return stream_.recording_target();
    }

  private:
    Stream stream_;
};

// Builds the stream once the window exists: the window is the stream's host
// (device lists, boxes, the final close) and the target of the device
// notifications.
using stream_factory =
    std::function<std::unique_ptr<stream_control>(stream_host& host, device_events& events)>;

// The pitch shifter's set-up as the window makes it.
class pitch_control {
  public:
    virtual ~pitch_control() = default;
    virtual void set_channels(int channels) = 0;
    virtual void set_sample_rate(int rate) = 0;
    virtual void set_block_size(int bytes) = 0;
    virtual void set_pitch_semitones(int semitones) = 0;
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

  private:
    Shifter& shifter_;
};

// The recording of the processed voice.
class recording_control {
  public:
    virtual ~recording_control() = default;
    // True when the file is open and its headers are written; otherwise
    // `reason` says why not, in words for the user.
    virtual bool open_file(const record_target& target, std::string& reason) = 0;
    // Appends the block while a file is open. False when this block ended the
    // recording: the file reached the largest size a WAV file can describe or
    // could not be written. It is then closed, as complete as it could be
    // made, and `reason` says what happened.
    virtual bool write_block(const wave_header& header, std::string& reason) = 0;
    // Finishes and closes the file, waiting for the disk.
    virtual void close_file() = 0;
    // Ends the recording at once; the file is finished without the caller
    // waiting for the disk.
    virtual void close_file_in_background() { close_file(); }
    // True, once, when the recording failed where write_block() could not say
    // so: no block came after the failure, or the file failed while being
    // finished in the background. `reason` says what happened.
    virtual bool take_failure(std::string& /*reason*/) { return false; }
};

// Any class with wav_recorder's operations, as a recording_control.
template <class Recorder>
class recorder_adapter final : public recording_control {
  public:
    explicit recorder_adapter(Recorder& recorder) noexcept : recorder_(recorder) {}

    bool open_file(const record_target& target, std::string& reason) override {
        if (recorder_.open_file(target) == 0) return true;
        reason = without_file_name(recorder_.last_error(), target.file_name);
        return false;
    }
    bool write_block(const wave_header& header, std::string& reason) override {
        using status = typename Recorder::write_status;
        const status result = recorder_.write_block(header);
        if (result != status::limit_reached && result != status::error) return true;
        reason = recorder_.last_error();
        return false;
    }
    void close_file() override { recorder_.close_file(); }
    void close_file_in_background() override { recorder_.close_file_in_background(); }
    bool take_failure(std::string& reason) override {
        if (!recorder_.take_failure()) return false;
        reason = recorder_.last_error();
        return true;
    }

  private:
    // The recorder's reasons start with the file's name, which the window
    // shows on its own.
    static std::string without_file_name(const std::string& error, const std::string& name) {
        const std::string prefix = name + ": ";
        if (!name.empty() && error.starts_with(prefix)) return error.substr(prefix.size());
        return error;
    }

    Recorder& recorder_;
};

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
