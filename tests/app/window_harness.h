#pragma once
// Stand-ins around the main window: a table of sound devices, a stream whose
// results a test sets, a pitch engine and a recorder that log what they are
// asked, and boxes that are recorded instead of waiting for a click. Any of
// them can be swapped for the real part.

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/window/main_window.h"
#include "audio/mic_monitor_mute.h"

namespace squeakbox::testing {

// Devices with names and format support, none of which can be opened.
struct device_table final : sound_system {
    std::vector<device_caps> capture;
    std::vector<device_caps> playback;
    std::vector<std::uint32_t> unreadable_capture;  // capture_caps fails for these

    static device_caps usable(std::string name) { return {std::move(name), true, {}, false}; }
    static device_caps unusable(std::string name) { return {std::move(name), false, {}, false}; }

    std::uint32_t capture_device_count() override {
        return static_cast<std::uint32_t>(capture.size());
    }
    mm_result capture_caps(std::uint32_t device, device_caps& caps) override {
        for (auto d : unreadable_capture)
            if (d == device) return mm_error;
        if (device >= capture.size()) return mm_bad_device_id;
        caps = capture[device];
        return mm_ok;
    }
    std::uint32_t playback_device_count() override {
        return static_cast<std::uint32_t>(playback.size());
    }
    mm_result playback_caps(std::uint32_t device, device_caps& caps) override {
        if (device >= playback.size()) return mm_bad_device_id;
        caps = playback[device];
        return mm_ok;
    }
    mm_result query_capture(std::uint32_t, const wave_format&) override { return mm_error; }
    mm_result query_playback(std::uint32_t, const wave_format&) override { return mm_error; }
    mm_result open_capture(std::uint32_t, const wave_format&, device_events&,
                           std::unique_ptr<capture_device>&) override {
        return mm_error;
    }
    mm_result open_playback(std::uint32_t, const wave_format&, device_events&,
                            std::unique_ptr<playback_device>&) override {
        return mm_error;
    }
    [[nodiscard]] int event_fd() const override { return -1; }
    void dispatch_pending() override {}
};

// A stream whose open result the test chooses. While "running" it keeps the
// window open on a close request until the test lets the devices drain.
struct scripted_stream final : stream_control {
    int open_result = 1;
    int opens = 0;
    std::pair<std::uint32_t, std::uint32_t> opened_devices;  // capture, playback
    int stop_requests = 0;
    int deadline_calls = 0;
    bool devices_open = false;
    bool closing = false;
    int state = 0;
    bool refused_calls = false;  // a device refused a call, as the real stream tells
    record_target target;
    stream_listener* listener = nullptr;

    stream_status open_stream(std::uint32_t capture_number,
                              std::uint32_t playback_number) override {
        ++opens;
        opened_devices = {capture_number, playback_number};
        if (open_result == 1) {
            devices_open = true;
            target.file_name = "/desktop/Squeakbox Record.wav";
            target.format = stream_format;
        }
        state = open_result;
        return static_cast<stream_status>(open_result);
    }
    void request_stop() override { ++stop_requests; }
    [[nodiscard]] bool close_allowed() const override {
        return closing || !devices_open || state < 1;
    }
    void stop_deadline_passed() override { ++deadline_calls; }
    [[nodiscard]] stream_status stream_state() const override {
        return static_cast<stream_status>(state);
    }
    [[nodiscard]] bool device_calls_refused() const noexcept override { return refused_calls; }
    [[nodiscard]] const record_target& recording_target() const override { return target; }

    // The last buffers came back: both devices close and the final close is
    // queued, as the stream does at the end of a stop.
    void finish_draining() {
        devices_open = false;
        closing = true;
        listener->post_close();
    }
};

struct pitch_log final : pitch_control {
    std::vector<std::string> calls;
    int semitones = 0;
    void set_channels(int c) override { calls.push_back("channels " + std::to_string(c)); }
    void set_sample_rate(int r) override { calls.push_back("rate " + std::to_string(r)); }
    void set_block_size(int b) override { calls.push_back("block " + std::to_string(b)); }
    void set_pitch_semitones(int s) override {
        semitones = s;
        calls.push_back("pitch " + std::to_string(s));
    }
    void set_low_latency(bool on) override {
        calls.push_back(on ? "latency low" : "latency normal");
    }
    void set_bypass(bool on) override { calls.push_back(on ? "bypass on" : "bypass off"); }
    void set_voice(voice_kind voice) override {
        calls.push_back(std::string("voice ") + voice_name(voice));
    }
    void set_timbre_semitones(int s) override { calls.push_back("timbre " + std::to_string(s)); }
};

struct recorder_log final : recording_control {
    bool refuse = false;
    std::string refusal = "Permission denied";
    bool open = false;
    int opens = 0;
    int closes = 0;
    std::string opened_name;

    bool open_file(const record_target& target, std::string& reason) override {
        ++opens;
        if (refuse) {
            reason = refusal;
            return false;
        }
        opened_name = target.file_name;
        open = true;
        return true;
    }
    bool write_block(const wave_header&, std::string&) override { return true; }
    void close_file() override {
        if (open) ++closes;
        open = false;
    }
    int background_closes = 0;
    void close_file_in_background() override {
        ++background_closes;
        close_file();
    }
    std::string failure;  // the writer's failure, taken once
    bool take_failure(std::string& reason) override {
        if (failure.empty()) return false;
        reason = std::exchange(failure, {});
        open = false;
        return true;
    }
};

struct mixer_log final : mixer_mute_control {
    std::uint32_t value = 0;
    std::vector<std::uint32_t> writes;
    bool read_mute(std::uint32_t& v, std::uint32_t& maximum) override {
        v = value;
        maximum = 1;
        return true;
    }
    void write_mute(std::uint32_t v) override {
        writes.push_back(v);
        value = v;
    }
};

struct shown_box {
    std::string text;
    std::string title;
};

// One window with its stand-ins; build() creates it, settle() lets the posted
// messages run.
struct window_harness {
    device_table devices;
    pitch_log pitch;
    recorder_log recorder;
    mixer_log mixer;
    mic_monitor_mute monitor_mute{mixer};
    scripted_stream* stream = nullptr;
    std::vector<shown_box> boxes;
    std::vector<std::string> actions;
    int quits = 0;
    std::unique_ptr<main_window> window;

    // What build() wires in; a test may put real parts in their place first.
    sound_system* sound = &devices;
    pitch_control* engine = &pitch;
    recording_control* recording = &recorder;
    std::function<bool(bool)> hear_yourself;  // empty: no sound server to do it
    delay_source delay;
    std::function<std::vector<std::string>(std::uint64_t&)> route_news;  // empty: none
    std::function<bool()> refresh_devices;                               // empty: none
    stream_factory make_stream = [this](stream_listener& listener) {
        auto made = std::make_unique<scripted_stream>();
        made->listener = &listener;
        stream = made.get();
        return made;
    };

    window_harness() {
        devices.capture = {device_table::usable("Built-in Microphone")};
        devices.playback = {device_table::usable("Speakers")};
    }

    main_window& build(const window_setup& setup = {}) {
        window_parts parts;
        parts.devices = sound;
        parts.pitch = engine;
        parts.recorder = recording;
        parts.monitor_mute = &monitor_mute;
        parts.make_stream = make_stream;
        parts.hear_yourself = hear_yourself;
        parts.delay = delay;
        parts.route_news = route_news;
        parts.refresh_devices = refresh_devices;
        parts.actions.message_box = [this](std::string_view text, std::string_view title) {
            boxes.push_back({std::string(text), std::string(title)});
        };
        parts.actions.send_recommendation_mail = [this] { actions.emplace_back("mail"); };
        parts.actions.open_homepage = [this] { actions.emplace_back("homepage"); };
        parts.actions.open_apps_page = [this] { actions.emplace_back("apps"); };
        parts.actions.copy_to_desktop = [this] { actions.emplace_back("copy"); };
        parts.actions.open_banner_link = [this](int kind) {
            actions.push_back("banner " + std::to_string(kind));
        };
        parts.quit = [this] { ++quits; };
        window = std::make_unique<main_window>(setup, std::move(parts));
        return *window;
    }

    static void settle() {
        for (int i = 0; i < 10; ++i) QCoreApplication::processEvents();
    }

    // Runs the event loop until `done` holds; false after `ms` without.
    static bool run_until(const std::function<bool()>& done, int ms = 5000) {
        QElapsedTimer timer;
        timer.start();
        while (!done()) {
            if (timer.elapsed() > ms) return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        return true;
    }
};

}  // namespace squeakbox::testing
