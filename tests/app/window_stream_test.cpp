// The window with the real stream, recorder and level meter over the scripted
// sound devices: the Start action, the bar, a recording and the close
// handshake as they happen in the program.
#include <QPushButton>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "app/window/main_window.h"
#include "audio/audio_stream.h"
#include "audio/wav_recorder.h"
#include "engine/pitch_shifter.h"
#include "fake_sound_system.h"
#include "stream_harness.h"
#include "window_harness.h"

namespace squeakbox {
namespace {

using fake::call_kind;
using fake::device_profile;
using testing::window_harness;

struct live_window {
    fake::fake_sound_system devices;
    test_support::pattern_processor processor;
    wav_recorder recorder;
    test_support::temp_folder desktop;  // a desktop folder of our own for the recording
    bool desktop_known = true;
    window_harness h;
    testing::mixer_log& mixer = h.mixer;
    std::vector<testing::shown_box>& boxes = h.boxes;
    int& quits = h.quits;
    audio_stream* stream = nullptr;

    explicit live_window(std::vector<device_profile> captures = {{"Microphone"}},
                         std::vector<device_profile> playbacks = {{"Speakers"}})
        : devices(std::move(captures), std::move(playbacks)) {
        h.sound = &devices;
        h.recording = &recorder;
        h.make_stream = [this](stream_listener& listener) {
            auto made = std::make_unique<audio_stream>(devices, processor, listener);
            made->set_recorder(&recorder);
            made->set_mic_mute(&h.monitor_mute);
            made->set_desktop_path_source(
                [this] { return desktop_known ? desktop.path().string() : std::string{}; });
            stream = made.get();
            return made;
        };
    }

    main_window& build(const window_setup& setup = {}) { return h.build(setup); }
    bool run_until(const std::function<bool()>& done) { return window_harness::run_until(done); }
};

std::vector<std::int16_t> loud_block(std::int16_t value) {
    return std::vector<std::int16_t>(block_frames, value);
}

TEST(WindowWithStream, PlaysMeasuresRecordsAndClosesThroughTheHandshake) {
    live_window live;
    main_window& w = live.build();
    w.show();
    ASSERT_TRUE(live.run_until([&] { return w.stream_state() == 1; }));
    EXPECT_TRUE(live.devices.capture_open());
    EXPECT_EQ(live.mixer.value, 1u);  // the monitor line is muted while we run

    qobject_cast<QPushButton*>(w.control_widget(control::record_button))->click();
    ASSERT_TRUE(live.run_until([&] { return w.is_recording(); }));

    // The processor adds 1000: a first block of 3000 sets the peak and draws a
    // full bar; a quieter one draws part of it.
    const int width = w.control_widget(control::level_meter_box)->contentsRect().width();
    auto first = loud_block(2000);
    live.devices.fill_capture(1, first);
    ASSERT_TRUE(live.run_until([&] { return live.stream->processed_blocks() == 1; }));
    EXPECT_EQ(w.level_split(), width);
    auto second = loud_block(500);
    live.devices.fill_capture(1, second);
    ASSERT_TRUE(live.run_until([&] { return live.stream->processed_blocks() == 2; }));
    EXPECT_EQ(w.level_split(), width * (1500 / 4) / (3000 / 4));
    live.devices.finish_playback(1);

    w.request_close();
    EXPECT_FALSE(w.is_destroyed());  // the devices give their buffers back first
    ASSERT_TRUE(live.run_until([&] { return w.is_destroyed(); }));
    EXPECT_FALSE(live.devices.capture_open());
    EXPECT_FALSE(live.devices.playback_open());
    EXPECT_EQ(live.quits, 1);
    EXPECT_EQ(live.mixer.value, 0u);
    EXPECT_TRUE(live.boxes.empty()) << live.boxes[0].text;

    // The recording holds exactly the two played blocks, its sizes patched.
    const auto file = live.desktop.path() / "Squeakbox Record.wav";
    ASSERT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(std::filesystem::file_size(file), 46u + 2 * 1024u);
    std::ifstream in(file, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    std::uint32_t data_size = 0;
    std::memcpy(&data_size, bytes.data() + 42, 4);
    EXPECT_EQ(data_size, 2048u);
    std::int16_t sample = 0;
    std::memcpy(&sample, bytes.data() + 46, 2);
    EXPECT_EQ(sample, 3000);
}

TEST(WindowWithStream, OpensTheDeviceNumberThatTheListedEntryCarries) {
    live_window live({{"Old Microphone", false}, {"USB Microphone"}}, {{"Speakers"}});
    main_window& w = live.build();
    w.show();
    ASSERT_TRUE(live.run_until([&] { return w.stream_state() == 1; }));
    EXPECT_EQ(live.devices.open_capture_number(), 1u);
    EXPECT_EQ(live.devices.open_playback_number(), 0u);
}

TEST(WindowWithStream, FailedStartShowsItsBoxAndCloseEndsAtOnce) {
    const struct {
        call_kind refused;
        int state;
        const char* text;
    } cases[] = {{call_kind::query_capture, -1, "Error initializing microphone"},
                 {call_kind::open_capture, -1, "Error initializing microphone"},
                 {call_kind::query_playback, -2, "Error initializing sound output"},
                 {call_kind::open_playback, -2, "Error initializing sound output"}};
    for (const auto& c : cases) {
        live_window live;
        live.devices.refuse(c.refused);
        main_window& w = live.build();
        w.show();
        ASSERT_TRUE(live.run_until([&] { return w.stream_state() != 0; }));
        EXPECT_EQ(w.stream_state(), c.state) << fake::to_string(c.refused);
        ASSERT_EQ(live.boxes.size(), 1u);
        EXPECT_EQ(live.boxes[0].text, c.text);
        EXPECT_EQ(live.boxes[0].title, "Error");
        w.request_close();
        EXPECT_TRUE(w.is_destroyed()) << fake::to_string(c.refused);
    }
}

TEST(WindowWithStream, CloseBeforeAnyBlockWaitsForTheCaptureBuffers) {
    live_window live;
    main_window& w = live.build();
    w.show();
    ASSERT_TRUE(live.run_until([&] { return w.stream_state() == 1; }));
    w.request_close();
    EXPECT_FALSE(w.is_destroyed());
    ASSERT_TRUE(live.run_until([&] { return w.is_destroyed(); }));
    EXPECT_FALSE(live.devices.capture_open());
    EXPECT_EQ(live.quits, 1);
}

TEST(WindowWithStream, EndOfTheCaptureFileClosesWhenAsked) {
    live_window live;
    window_setup setup;
    setup.close_at_capture_end = true;
    main_window& w = live.build(setup);
    w.show();
    ASSERT_TRUE(live.run_until([&] { return w.stream_state() == 1; }));
    live.devices.fill_capture(2);
    live.devices.queue_capture_ended();
    ASSERT_TRUE(live.run_until([&] { return w.is_destroyed(); }));
    EXPECT_EQ(live.stream->processed_blocks(), 2u);
}

TEST(WindowWithStream, RecordingIsRefusedWithoutADesktopFolder) {
    live_window live;
    main_window& w = live.build();
    live.desktop_known = false;
    w.show();
    ASSERT_TRUE(live.run_until([&] { return w.stream_state() == 1; }));
    qobject_cast<QPushButton*>(w.control_widget(control::record_button))->click();
    ASSERT_TRUE(live.run_until([&] { return !live.boxes.empty(); }));
    EXPECT_EQ(live.boxes[0].title, "Error");
    EXPECT_TRUE(live.boxes[0].text.starts_with("Cannot open recording file")) << live.boxes[0].text;
    EXPECT_FALSE(w.is_recording());
    EXPECT_EQ(qobject_cast<QPushButton*>(w.control_widget(control::record_button))->text(),
              QStringLiteral("Aufnehmen"));
    w.request_close();
    ASSERT_TRUE(live.run_until([&] { return w.is_destroyed(); }));
}

TEST(WindowWithStream, PitchButtonsReachTheEngine) {
    pitch_shifter shifter;
    pitch_adapter<pitch_shifter> pitch(shifter);
    window_harness h;
    h.engine = &pitch;
    window_setup setup;
    setup.pitch_semitones = -3;
    main_window& w = h.build(setup);
    EXPECT_EQ(shifter.channels(), 1u);
    EXPECT_NEAR(shifter.pitch(), std::exp2(-3.0 / 12), 1e-5);
    w.show();
    window_harness::settle();
    auto* down = qobject_cast<QPushButton*>(w.control_widget(control::pitch_down_button));
    for (int i = 0; i < 50; ++i) down->click();
    EXPECT_EQ(w.pitch_semitones(), -47);
    EXPECT_NEAR(shifter.pitch(), std::exp2(-47.0 / 12), 1e-5);
}

}  // namespace
}  // namespace squeakbox
