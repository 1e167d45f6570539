#include "audio/audio_stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "audio/mic_monitor_mute.h"
#include "fake_sound_system.h"
#include "stream_harness.h"

namespace squeakbox {
namespace {

using fake::call_kind;
using fake::fake_sound_system;
using test_support::box_shown;
using test_support::copying_recorder;
using test_support::fake_host;
using test_support::level_of;
using test_support::pattern_processor;
using test_support::test_window;
using namespace std::chrono_literals;

// Everything a stream needs, wired like the program: three microphones, two outputs.
struct rig {
    fake_sound_system devices{{{"Mic A"}, {"Mic B"}, {"Line In"}}, {{"Speakers"}, {"Headset"}}};
    fake_host host;
    pattern_processor processor;
    copying_recorder recorder;
    test_window window{devices, processor, host};
    audio_stream& stream = window.stream;

    rig() {
        stream.set_recorder(&recorder);
        stream.set_desktop_path_source([] { return std::string("/home/ann/Desktop"); });
    }
    // Captures k blocks and handles them; the device plays nothing meanwhile.
    void capture(std::size_t k) {
        devices.fill_capture(k);
        window.run();
    }
    void play(std::size_t k) {
        devices.finish_playback(k);
        window.run();
    }
    [[nodiscard]] std::vector<int> played_slots() const {
        std::vector<int> slots;
        for (const auto& block : devices.played()) slots.push_back(block.header_index);
        return slots;
    }
    [[nodiscard]] std::vector<call_kind> kinds() const {
        std::vector<call_kind> all;
        for (const auto& call : devices.calls()) all.push_back(call.kind);
        return all;
    }
};

std::vector<std::int16_t> block_of(std::int16_t value) {
    return std::vector<std::int16_t>(block_frames, value);
}

struct fake_mixer final : mixer_mute_control {
    std::uint32_t value = 0;
    bool read_mute(std::uint32_t& v, std::uint32_t& maximum) override {
        v = value;
        maximum = 1;
        return true;
    }
    void write_mute(std::uint32_t v) override { value = v; }
};

TEST(AudioStream, OpensChosenDevicesAndFlowsEveryBlockThroughInOrder) {
    rig r;
    fake_mixer mixer;
    mic_monitor_mute mute(mixer);
    r.stream.set_mic_mute(&mute);

    ASSERT_EQ(r.window.start(1, 1), 1);
    EXPECT_EQ(r.stream.stream_state(), 1);
    EXPECT_FALSE(r.stream.device_calls_refused());
    std::vector<call_kind> expected = {call_kind::query_capture, call_kind::query_playback,
                                       call_kind::open_playback, call_kind::open_capture};
    expected.insert(expected.end(), 10, call_kind::capture_prepare);
    expected.insert(expected.end(), 10, call_kind::playback_prepare);
    expected.insert(expected.end(), 10, call_kind::capture_add);
    expected.push_back(call_kind::capture_start);
    EXPECT_EQ(r.kinds(), expected);
    for (const auto& call : r.devices.calls()) {
        const bool capture_side =
            call.kind == call_kind::query_capture || call.kind == call_kind::open_capture ||
            call.kind == call_kind::capture_prepare || call.kind == call_kind::capture_add ||
            call.kind == call_kind::capture_start;
        EXPECT_EQ(call.device, 1u) << fake::to_string(call.kind) << (capture_side ? " in" : " out");
    }
    EXPECT_EQ(mixer.value, 1u);  // the monitor line is muted while the stream runs
    EXPECT_EQ(r.stream.capture_queued(), 10);
    EXPECT_EQ(r.devices.capture_held(), 10u);
    EXPECT_EQ(r.stream.playback_queued(), 0);
    EXPECT_EQ(r.devices.playback_held(), 0u);  // nothing is written in advance
    EXPECT_EQ(r.stream.recording_target().file_name, "/home/ann/Desktop/Squeakbox Record.wav");
    EXPECT_EQ(r.stream.recording_target().format, stream_format);

    // Each block: processed, measured, recorded, played, and its buffer handed back.
    std::vector<std::string> events;
    r.processor.on_process = [&] { events.emplace_back("process"); };
    r.host.on_level = [&] { events.emplace_back("level"); };
    r.recorder.on_write = [&] { events.emplace_back("record"); };
    r.devices.on_call = [&](const fake::call_record& call) {
        if (call.kind == call_kind::playback_write) events.emplace_back("write");
        if (call.kind == call_kind::capture_add) events.emplace_back("add");
    };
    r.capture(3);
    std::vector<std::string> one = {"process", "level", "record", "write", "add"};
    std::vector<std::string> three;
    for (int i = 0; i < 3; ++i) three.insert(three.end(), one.begin(), one.end());
    EXPECT_EQ(events, three);

    for (int i = 0; i < 25; ++i) {
        r.capture(1);
        r.play(1);
    }
    std::vector<int> slots;
    for (int i = 0; i < 28; ++i) slots.push_back(i % 10);
    EXPECT_EQ(r.played_slots(), slots);
    ASSERT_EQ(r.devices.played().size(), 28u);
    for (std::size_t i = 0; i < 28; ++i) {
        const auto expected_block = block_of(static_cast<std::int16_t>(i + 1 + 1000));
        EXPECT_EQ(r.devices.played()[i].samples, expected_block) << "block " << i;
        EXPECT_EQ(r.host.levels[i].level, level_of(expected_block));
        EXPECT_EQ(r.recorder.recorded[i], expected_block);
    }
    EXPECT_EQ(r.stream.processed_blocks(), 28u);
    EXPECT_EQ(r.stream.dropped_blocks(), 0u);
    EXPECT_EQ(r.stream.capture_queued(), 10);
    EXPECT_EQ(r.stream.playback_queued(), 3);
    EXPECT_TRUE(r.host.boxes.empty());

    // The output caught up with the input: the device stays open, and the
    // next block simply starts it again.
    r.play(3);
    EXPECT_EQ(r.stream.playback_queued(), 0);
    EXPECT_TRUE(r.stream.playback_open());
    EXPECT_EQ(r.host.posted_closes, 0);
    r.capture(1);
    EXPECT_EQ(r.devices.playback_held(), 1u);
    EXPECT_EQ(r.played_slots().back(), 8);
}

TEST(AudioStream, FullPlaybackQueueDropsTheBlockAndKeepsTheSlot) {
    rig r;
    ASSERT_EQ(r.window.start(), 1);
    r.capture(10);
    EXPECT_EQ(r.stream.playback_queued(), 10);
    EXPECT_EQ(r.stream.next_playback_slot(), 0);

    r.capture(1);  // block 11 finds ten blocks queued for playing
    EXPECT_EQ(r.stream.dropped_blocks(), 1u);
    EXPECT_EQ(r.stream.processed_blocks(), 10u);
    EXPECT_EQ(r.processor.first_inputs.size(), 10u);
    EXPECT_EQ(r.host.levels.size(), 10u);
    EXPECT_EQ(r.recorder.recorded.size(), 10u);
    EXPECT_EQ(r.devices.played().size(), 10u);
    EXPECT_EQ(r.stream.next_playback_slot(), 0);
    EXPECT_EQ(r.stream.capture_queued(), 10);
    EXPECT_EQ(r.devices.capture_held(), 10u);  // its buffer went straight back

    r.play(1);
    r.capture(1);  // block 12 takes slot 0, which the device has just given back
    ASSERT_EQ(r.devices.played().size(), 11u);
    EXPECT_EQ(r.devices.played().back().header_index, 0);
    EXPECT_EQ(r.devices.played().back().samples, block_of(12 + 1000));
}

TEST(AudioStream, ClosesAtOnceWhenTheStreamNeverRan) {
    rig before_start;
    EXPECT_TRUE(before_start.window.close());
    EXPECT_TRUE(before_start.stream.stopping());
    EXPECT_TRUE(before_start.devices.calls().empty());  // nothing to reset
    EXPECT_TRUE(before_start.host.deadlines.empty());

    struct failure {
        call_kind refused;
        int state;
        bool playback_left_open;
    };
    for (const failure f : {failure{call_kind::query_capture, -1, false},
                            failure{call_kind::query_playback, -2, false},
                            failure{call_kind::open_playback, -2, false},
                            failure{call_kind::open_capture, -1, true}}) {
        SCOPED_TRACE(fake::to_string(f.refused));
        int released_at_end = 0;
        {
            rig r;
            r.devices.refuse(f.refused);
            EXPECT_EQ(r.window.start(), f.state);
            EXPECT_FALSE(r.devices.capture_open());
            EXPECT_EQ(r.devices.playback_open(), f.playback_left_open);
            if (f.refused == call_kind::open_playback) {
                EXPECT_EQ(r.devices.count(call_kind::open_capture), 0u);
            }
            EXPECT_TRUE(r.window.close());
            EXPECT_TRUE(r.host.boxes.empty());  // the window tells the user, not the stream
            EXPECT_TRUE(r.host.deadlines.empty());
            EXPECT_TRUE(r.stream.recording_target().file_name.empty());
            EXPECT_EQ(r.devices.count(call_kind::playback_close), 0u);
            // The output left open is released when the stream goes.
            r.devices.on_call = [&released_at_end](const fake::call_record& call) {
                if (call.kind == call_kind::playback_close && call.result == mm_ok) {
                    ++released_at_end;
                }
            };
        }
        EXPECT_EQ(released_at_end, f.playback_left_open ? 1 : 0);
    }
}

TEST(AudioStream, CloseBeforeTheFirstBlockLeavesPlaybackOpenUntilTheEnd) {
    rig r;
    ASSERT_EQ(r.window.start(), 1);
    EXPECT_FALSE(r.window.close());
    EXPECT_EQ(r.host.deadlines, (std::vector<std::chrono::milliseconds>{2000ms}));
    r.window.run();
    EXPECT_TRUE(r.window.destroyed);
    EXPECT_EQ(r.host.posted_closes, 1);
    EXPECT_FALSE(r.devices.capture_open());
    EXPECT_TRUE(r.devices.playback_open());
    EXPECT_TRUE(r.processor.first_inputs.empty());
    const auto unprepared = r.devices.calls_of(call_kind::capture_unprepare);
    ASSERT_EQ(unprepared.size(), 10u);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(r.devices.capture_header_index(unprepared[i].header), i);
    EXPECT_TRUE(r.host.boxes.empty());
}

TEST(AudioStream, NormalCloseReturnsEveryBufferAndProcessesNothingMore) {
    rig r;
    ASSERT_EQ(r.window.start(), 1);
    r.capture(4);
    r.devices.finish_playback(1);  // already waiting when the close comes
    r.devices.fill_capture(2);     // captured, not yet handled
    r.devices.clear_calls();
    EXPECT_FALSE(r.window.close());
    EXPECT_EQ(r.kinds(),
              (std::vector<call_kind>{call_kind::playback_reset, call_kind::capture_reset}));
    r.window.run();

    EXPECT_TRUE(r.window.destroyed);
    EXPECT_EQ(r.host.posted_closes, 1);
    EXPECT_EQ(r.stream.processed_blocks(), 4u);  // the two late blocks were dropped
    EXPECT_EQ(r.recorder.recorded.size(), 4u);
    EXPECT_EQ(r.devices.count(call_kind::capture_add), 0u);  // and not handed back
    EXPECT_EQ(r.devices.count(call_kind::playback_unprepare), 10u);
    EXPECT_EQ(r.devices.count(call_kind::capture_unprepare), 10u);
    EXPECT_FALSE(r.devices.capture_open());
    EXPECT_FALSE(r.devices.playback_open());
    EXPECT_TRUE(r.stream.closing());
    EXPECT_TRUE(r.host.boxes.empty());

    // The deadline of a stop that completed changes nothing.
    const auto calls = r.devices.calls().size();
    r.stream.stop_deadline_passed();
    EXPECT_EQ(r.devices.calls().size(), calls);
    EXPECT_EQ(r.host.posted_closes, 1);
}

TEST(AudioStream, SecondCloseDuringTheStop) {
    rig r;
    ASSERT_EQ(r.window.start(), 1);
    r.capture(2);
    EXPECT_FALSE(r.window.close());
    EXPECT_FALSE(r.window.close());  // both devices still open: swallowed, reset again
    EXPECT_EQ(r.devices.count(call_kind::playback_reset), 2u);
    EXPECT_EQ(r.devices.count(call_kind::capture_reset), 2u);
    EXPECT_EQ(r.host.deadlines.size(), 1u);
    EXPECT_EQ(r.devices.pending(), 12u);  // each buffer comes back once

    r.devices.dispatch_one();
    r.devices.dispatch_one();  // both played blocks back: the output closes first
    EXPECT_FALSE(r.stream.playback_open());
    EXPECT_TRUE(r.window.close());  // one device closed: the window goes at once
    EXPECT_TRUE(r.stream.capture_open());
}

TEST(AudioStream, RefusedCallsShowTheirBoxesAndCountAsDone) {
    rig r;
    r.devices.refuse(call_kind::capture_prepare, mm_error, 3);
    r.devices.refuse(call_kind::playback_prepare, mm_no_memory, 5);
    r.devices.refuse(call_kind::capture_add, mm_error, 2);
    r.devices.refuse(call_kind::capture_start);
    EXPECT_EQ(r.window.start(), 1);
    // The header that failed to prepare is refused again when it is added.
    EXPECT_EQ(r.host.boxes, (std::vector<box_shown>{{"In Prepare error", "error"},
                                                    {"Out Prepare error", "error"},
                                                    {"Add buffer error", "error"},
                                                    {"Add buffer error", "error"},
                                                    {"Start error", "error"}}));
    EXPECT_TRUE(r.stream.device_calls_refused());  // the run ends with status 1
    EXPECT_EQ(r.stream.capture_queued(), 10);

    rig running;
    ASSERT_EQ(running.window.start(), 1);
    EXPECT_FALSE(running.stream.device_calls_refused());
    running.devices.refuse(call_kind::playback_write, mm_error, 2);
    running.devices.refuse(call_kind::capture_add, mm_error, 13);  // the third hand-back
    running.capture(4);
    EXPECT_EQ(running.host.boxes,
              (std::vector<box_shown>{{"Wave out error", "error"}, {"Add buffer error", "error"}}));
    EXPECT_TRUE(running.stream.device_calls_refused());
    EXPECT_EQ(running.stream.playback_queued(), 4);
    EXPECT_EQ(running.devices.playback_held(), 3u);
    EXPECT_EQ(running.stream.capture_queued(), 10);
    EXPECT_EQ(running.devices.capture_held(), 9u);
    EXPECT_EQ(running.recorder.recorded.size(), 4u);  // the refused block was recorded first
    EXPECT_EQ(running.stream.next_playback_slot(), 4);
    // A header that is not one of the stream's own is ignored.
    wave_header stranger{};
    running.stream.capture_data(&stranger);
    EXPECT_EQ(running.stream.capture_queued(), 10);
}

TEST(AudioStream, UnprepareErrorsDuringTheStopStillCloseTheDevices) {
    rig r;
    ASSERT_EQ(r.window.start(), 1);
    r.capture(1);
    r.devices.refuse(call_kind::capture_unprepare, mm_error, 4);
    r.devices.refuse(call_kind::playback_unprepare, mm_error, 7);
    r.window.close();
    r.window.run();
    EXPECT_EQ(r.host.boxes, (std::vector<box_shown>{{"Out UnPrepare error", "error"},
                                                    {"In UnPrepare error", "error"}}));
    EXPECT_TRUE(r.stream.device_calls_refused());
    EXPECT_FALSE(r.devices.capture_open());
    EXPECT_FALSE(r.devices.playback_open());
    EXPECT_TRUE(r.window.destroyed);
}

TEST(AudioStream, StopDeadlineClosesAWindowThatCouldNeverClose) {
    rig r;
    ASSERT_EQ(r.window.start(), 1);
    r.devices.refuse(call_kind::playback_write, mm_error, 1);
    r.devices.refuse(call_kind::capture_add, mm_error, 12);  // the second hand-back
    r.capture(3);
    r.host.boxes.clear();

    EXPECT_FALSE(r.window.close());
    r.window.run();
    // Every buffer the devices held came back, but each count is one short of 0.
    EXPECT_EQ(r.stream.playback_queued(), 1);
    EXPECT_EQ(r.stream.capture_queued(), 1);
    EXPECT_FALSE(r.window.destroyed);
    EXPECT_FALSE(r.window.close());  // within the two seconds: as before, swallowed
    EXPECT_EQ(r.host.deadlines, (std::vector<std::chrono::milliseconds>{2000ms}));

    r.devices.clear_calls();
    r.stream.stop_deadline_passed();
    std::vector<call_kind> expected = {call_kind::playback_reset};
    expected.insert(expected.end(), 10, call_kind::playback_unprepare);
    expected.push_back(call_kind::playback_close);
    expected.push_back(call_kind::capture_reset);
    expected.insert(expected.end(), 10, call_kind::capture_unprepare);
    expected.push_back(call_kind::capture_close);
    EXPECT_EQ(r.kinds(), expected);
    for (const auto& call : r.devices.calls()) EXPECT_EQ(call.result, mm_ok);
    EXPECT_EQ(r.host.posted_closes, 1);
    r.window.run();
    EXPECT_TRUE(r.window.destroyed);
    EXPECT_TRUE(r.host.boxes.empty());

    // Only the output stuck: the microphone closes by itself; the deadline
    // closes the output and lets the window go.
    rig half;
    ASSERT_EQ(half.window.start(), 1);
    half.devices.refuse(call_kind::playback_write);
    half.capture(1);
    half.window.close();
    half.window.run();
    EXPECT_FALSE(half.devices.capture_open());
    EXPECT_TRUE(half.devices.playback_open());
    EXPECT_FALSE(half.window.destroyed);
    half.stream.stop_deadline_passed();
    half.window.run();
    EXPECT_FALSE(half.devices.playback_open());
    EXPECT_TRUE(half.window.destroyed);
}

TEST(AudioStream, BoxNestedLoopDeliversNotificationsBeforeTheHandlerResumes) {
    // A refused write, or a refused hand-back: the box's loop handles the
    // next blocks, and the refused one stays counted.
    const struct {
        call_kind refused;
        std::uint32_t nth;
        std::vector<int> played;  // slot 0's write was refused
        std::size_t capture_held;
    } cases[] = {{call_kind::playback_write, 1, {1, 2}, 10},
                 {call_kind::capture_add, 11, {0, 1, 2}, 9}};
    for (const auto& c : cases) {
        SCOPED_TRACE(fake::to_string(c.refused));
        rig r;
        ASSERT_EQ(r.window.start(), 1);
        r.devices.refuse(c.refused, mm_error, c.nth);
        r.host.inside_box = [&r] { r.devices.dispatch_pending(); };
        r.capture(3);
        EXPECT_EQ(r.processor.first_inputs, (std::vector<std::int16_t>{1, 2, 3}));
        EXPECT_EQ(r.played_slots(), c.played);
        EXPECT_EQ(r.stream.next_playback_slot(), 3);
        EXPECT_EQ(r.stream.playback_queued(), 3);
        EXPECT_EQ(r.stream.capture_queued(), 10);
        EXPECT_EQ(r.devices.capture_held(), c.capture_held);
        r.play(2);
        EXPECT_EQ(r.stream.playback_queued(), 1);
    }
    {
        SCOPED_TRACE("window closed while the box is open");
        rig r;
        ASSERT_EQ(r.window.start(), 1);
        r.devices.refuse(call_kind::playback_write, mm_error, 1);
        r.host.inside_box = [&r] {
            r.window.close();
            r.devices.dispatch_pending();
        };
        r.capture(3);
        r.window.run();
        EXPECT_EQ(r.processor.first_inputs, (std::vector<std::int16_t>{1}));
        EXPECT_EQ(r.devices.count(call_kind::capture_add),
                  10u);  // no buffer went back after the stop
        EXPECT_FALSE(r.devices.capture_open());
        EXPECT_TRUE(r.window.destroyed);
        EXPECT_EQ(r.host.posted_closes, 1);
    }
}

TEST(AudioStream, SamplesTheShifterDidNotWriteAreSilence) {
    rig r;
    ASSERT_EQ(r.window.start(), 1);
    for (int i = 0; i < 10; ++i) {  // every slot full of sound
        r.capture(1);
        r.play(1);
    }
    r.processor.frames = 100;  // the shifter writes only part of the next block
    r.capture(1);
    ASSERT_EQ(r.devices.played().size(), 11u);
    const auto& played = r.devices.played().back();
    EXPECT_EQ(played.header_index, 0);
    std::vector<std::int16_t> expected(512, 0);
    std::fill(expected.begin(), expected.begin() + 100, std::int16_t{11 + 1000});
    EXPECT_EQ(played.samples, expected);
    EXPECT_EQ(r.host.levels.back().level, level_of(expected));
    EXPECT_EQ(r.recorder.recorded.back(), expected);

    r.play(1);
    r.processor.frames = 0;  // the shifter's first calls write nothing at all
    r.capture(1);
    EXPECT_EQ(r.devices.played().back().samples, block_of(0));

    r.play(1);
    r.processor.frames = 9999;  // a count beyond the block is taken as the block
    r.capture(1);
    EXPECT_EQ(r.devices.played().back().samples, block_of(13 + 1000));
}

TEST(AudioStream, RecordingNameKeepsThePathWhole) {
    const std::string long_path = "/home/ann/" + std::string(300, 'x') + "/100% Schreibtisch";
    rig r;
    r.stream.set_desktop_path_source([&] { return long_path; });
    ASSERT_EQ(r.window.start(), 1);
    EXPECT_EQ(r.stream.recording_target().file_name, long_path + "/Squeakbox Record.wav");

    rig unknown;  // no desktop folder: no file name, rather than one at the root
    unknown.stream.set_desktop_path_source([] { return std::string(); });
    ASSERT_EQ(unknown.window.start(), 1);
    EXPECT_EQ(unknown.stream.recording_target().file_name, "");
    EXPECT_EQ(unknown.stream.recording_target().format, stream_format);
}

TEST(AudioStream, DeviceStatisticsOutliveTheDevices) {
    rig r;
    ASSERT_EQ(r.window.start(), 1);
    r.devices.set_stats(true, {5, 0});
    r.devices.set_stats(false, {0, 7});
    EXPECT_EQ(r.stream.capture_stats().overruns, 5u);
    EXPECT_EQ(r.stream.playback_stats().underruns, 7u);
    r.capture(1);
    r.window.close();
    r.play(1);
    r.window.run();
    ASSERT_TRUE(r.window.destroyed);
    EXPECT_EQ(r.stream.capture_stats().overruns, 5u);
    EXPECT_EQ(r.stream.playback_stats().underruns, 7u);
}

}  // namespace
}  // namespace squeakbox
