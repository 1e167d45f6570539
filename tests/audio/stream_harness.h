#pragma once
// A window for the stream in tests: the listening side of audio_stream
// (boxes, posted closes, the stop deadline, the level) and a message loop that
// delivers the devices' notifications and then the posted closes.

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "audio/audio_stream.h"
#include "audio/level_meter.h"
#include "fake_sound_system.h"

namespace squeakbox::test_support {

struct box_shown {
    std::string text;
    std::string title;
    friend bool operator==(const box_shown&, const box_shown&) = default;
    friend std::ostream& operator<<(std::ostream& out, const box_shown& box) {
        return out << '"' << box.text << "\" / \"" << box.title << '"';
    }
};

// The window's side of the stream: boxes, posted closes, the stop deadline
// and the news, all recorded.
class fake_host final : public stream_listener {
  public:
    std::vector<box_shown> boxes;
    // Runs inside the box, as its nested loop would deliver messages.
    std::function<void()> inside_box;
    int posted_closes = 0;
    std::vector<std::chrono::milliseconds> deadlines;
    std::vector<level_reading> levels;
    std::function<void()> on_level;
    std::vector<std::string> recordings_stopped;
    bool ended = false;
    std::string failure;

    void message_box(std::string_view text, std::string_view title) override {
        boxes.push_back({std::string(text), std::string(title)});
        if (inside_box) inside_box();
    }
    void post_close() override { ++posted_closes; }
    void start_stop_deadline(std::chrono::milliseconds delay) override {
        deadlines.push_back(delay);
    }
    void show_level(level_reading level) override {
        levels.push_back(level);
        if (on_level) on_level();
    }
    void recording_stopped(const std::string& reason) override {
        recordings_stopped.push_back(reason);
    }
    void capture_ended() override { ended = true; }
    void device_failed(const std::string& reason) override { failure = reason; }
};

// Writes input + 1000 for the first `frames` samples and returns `frames`;
// the input's first sample of every call tells the blocks apart.
class pattern_processor final : public block_processor {
  public:
    std::uint32_t frames = block_frames;
    std::vector<std::int16_t> first_inputs;
    std::function<void()> on_process;

    std::uint32_t process(std::int16_t* output, const std::int16_t* input,
                          std::uint32_t count) override {
        first_inputs.push_back(input[0]);
        if (on_process) on_process();
        const std::uint32_t n = frames < count ? frames : count;
        for (std::uint32_t i = 0; i < n; ++i)
            output[i] = static_cast<std::int16_t>(input[i] + 1000);
        return frames;
    }
};

// A recording that keeps a copy of every block it is given.
class copying_recorder final : public recording_control {
  public:
    std::vector<std::vector<std::int16_t>> recorded;
    std::function<void()> on_write;

    bool open_file(const record_target&, std::string&) override { return true; }
    bool write_block(const wave_header& header, std::string&) override {
        const auto* first = reinterpret_cast<const std::int16_t*>(header.data);
        recorded.emplace_back(first, first + header.buffer_length / 2);
        if (on_write) on_write();
        return true;
    }
    void close_file() override {}
};

// A fresh folder per test, removed afterwards.
class temp_folder {
  public:
    temp_folder() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "squeakbox-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~temp_folder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    [[nodiscard]] std::string file(const std::string& name) const {
        return (path_ / name).string();
    }
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// The level the meter gives for a block of these samples.
inline std::uint32_t level_of(std::vector<std::int16_t> samples) {
    wave_header header{};
    header.data = reinterpret_cast<char*>(samples.data());
    header.buffer_length = static_cast<std::uint32_t>(samples.size() * 2);
    return block_level(header);
}

// The window's part in the stream: Start opens it, a close is let through or
// swallowed, and the loop delivers the devices' notifications, then each
// posted close.
class test_window {
  public:
    test_window(sound_system& devices, block_processor& processor, fake_host& host)
        : stream(devices, processor, host), devices_(devices), host_(host) {}

    int start(std::uint32_t capture_number = 0, std::uint32_t playback_number = 0) {
        return stream.open_stream(capture_number, playback_number);
    }
    // A close request; true once the window is destroyed.
    bool close() {
        stream.request_stop();
        if (stream.close_allowed()) destroyed = true;
        return destroyed;
    }
    // Delivers everything pending, then each posted close in turn.
    void run() {
        for (;;) {
            devices_.dispatch_pending();
            if (closes_handled_ >= host_.posted_closes || destroyed) break;
            ++closes_handled_;
            close();
        }
    }

    audio_stream stream;
    bool destroyed = false;

  private:
    sound_system& devices_;
    fake_host& host_;
    int closes_handled_ = 0;
};

}  // namespace squeakbox::test_support
