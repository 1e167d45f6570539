#pragma once
// A window for the stream in tests: the host side of audio_stream (device
// lists, boxes, posted closes, the stop deadline) and a message loop that
// delivers the fake devices' notifications and then the posted closes.

#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "audio/audio_stream.h"
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

class fake_host final : public stream_host {
  public:
    std::vector<std::uint32_t> input_items;  // device number of every list item
    int input_selection = -1;
    std::vector<std::uint32_t> output_items;
    int output_selection = -1;

    std::vector<box_shown> boxes;
    // Runs inside the box, as its nested loop would deliver messages.
    std::function<void()> inside_box;
    int posted_closes = 0;
    std::vector<std::chrono::milliseconds> deadlines;

    int input_list_count() override { return static_cast<int>(input_items.size()); }
    int input_list_selection() override { return input_selection; }
    std::uint32_t input_list_item_data(int index) override { return input_items.at(index); }
    int output_list_count() override { return static_cast<int>(output_items.size()); }
    int output_list_selection() override { return output_selection; }
    std::uint32_t output_list_item_data(int index) override { return output_items.at(index); }
    void message_box(std::string_view text, std::string_view title) override {
        boxes.push_back({std::string(text), std::string(title)});
        if (inside_box) inside_box();
    }
    void post_close() override { ++posted_closes; }
    void start_stop_deadline(std::chrono::milliseconds delay) override {
        deadlines.push_back(delay);
    }
};

// Writes input + 1000 for the first `frames` samples and returns `frames`;
// the input's first sample of every call tells the blocks apart.
class pattern_processor final : public block_processor {
  public:
    std::uint32_t frames = audio_stream::block_frames;
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

// Keeps a copy of every block measured and recorded.
class copying_observer final : public block_observer {
  public:
    std::vector<std::vector<std::int16_t>> measured;
    std::vector<std::vector<std::int16_t>> recorded;
    std::function<void(const char*)> on_event;

    void show_level(const wave_header& header) override {
        measured.push_back(copy(header));
        if (on_event) on_event("level");
    }
    void write_block(const wave_header& header) override {
        recorded.push_back(copy(header));
        if (on_event) on_event("record");
    }

  private:
    static std::vector<std::int16_t> copy(const wave_header& header) {
        const auto* first = reinterpret_cast<const std::int16_t*>(header.data);
        return {first, first + header.buffer_length / 2};
    }
};

// The window procedure's part in the stream: notifications go to the stream,
// Start stores open_stream's result, and a close is let through or swallowed.
class test_window final : public device_events {
  public:
    test_window(fake::fake_sound_system& devices, block_processor& processor, fake_host& host)
        : stream(devices, processor, host, *this), devices_(devices), host_(host) {}

    void capture_data(wave_header* header) override { stream.on_capture_block(header); }
    void playback_done(wave_header* header) override { stream.on_playback_done(header); }

    int start() {
        stream.set_stream_state(stream.open_stream());
        return stream.stream_state();
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
    fake::fake_sound_system& devices_;
    fake_host& host_;
    int closes_handled_ = 0;
};

}  // namespace squeakbox::test_support
