// The fake devices are what every stream test stands on: if they delivered
// out of order or let a refused call take effect, those tests would pass for
// the wrong reasons.
#include "fake_sound_system.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <utility>
#include <vector>

namespace squeakbox {
namespace {

using fake::call_kind;
using fake::fake_sound_system;

struct event_log final : device_events {
    std::vector<std::pair<char, const wave_header*>> events;
    std::function<void()> inside;
    void capture_data(wave_header* h) override {
        events.emplace_back('c', h);
        if (inside) std::exchange(inside, nullptr)();
    }
    void playback_done(wave_header* h) override { events.emplace_back('p', h); }
};

struct buffers {
    std::array<std::array<std::int16_t, 512>, 4> data{};
    std::array<wave_header, 4> headers{};
    buffers() {
        for (std::size_t i = 0; i < headers.size(); ++i) {
            headers[i].data = reinterpret_cast<char*>(data[i].data());
            headers[i].buffer_length = 1024;
        }
    }
};

TEST(FakeSoundSystem, RefusesExactlyTheScriptedCalls) {
    fake_sound_system devices({{"Mic"}, {"Old mic", false}}, {{"Out"}});
    event_log log;
    std::unique_ptr<capture_device> mic;
    EXPECT_EQ(devices.query_capture(1, stream_format), mm_bad_format);
    EXPECT_EQ(devices.query_capture(2, stream_format), mm_bad_device_id);
    devices.refuse(call_kind::open_capture, mm_allocated, 1, 0);
    EXPECT_EQ(devices.open_capture(0, stream_format, log, mic), mm_allocated);
    EXPECT_FALSE(mic);
    ASSERT_EQ(devices.open_capture(0, stream_format, log, mic), mm_ok);

    buffers b;
    devices.refuse(call_kind::capture_add, mm_error, 2);
    for (auto& h : b.headers) ASSERT_EQ(mic->prepare_header(h), mm_ok);
    EXPECT_EQ(mic->add_buffer(b.headers[0]), mm_ok);
    EXPECT_EQ(mic->add_buffer(b.headers[1]), mm_error);  // the second add only
    EXPECT_EQ(mic->add_buffer(b.headers[2]), mm_ok);
    EXPECT_EQ(mic->add_buffer(b.headers[2]), mm_still_playing);
    EXPECT_EQ(devices.capture_held(), 2u);
    EXPECT_EQ(devices.fill_capture(1), 0u);  // not started: nothing recorded
    EXPECT_EQ(mic->unprepare_header(b.headers[0]), mm_still_playing);
    EXPECT_EQ(mic->close(), mm_still_playing);
    const auto adds = devices.calls_of(call_kind::capture_add);
    ASSERT_EQ(adds.size(), 4u);
    EXPECT_EQ(adds[1].result, mm_error);
    EXPECT_EQ(adds[1].header, &b.headers[1]);
    mic->reset();
    devices.dispatch_pending();
    EXPECT_EQ(mic->close(), mm_ok);
}

TEST(FakeSoundSystem, DeliversInQueueOrderOneAtATimeAndReentrantly) {
    fake_sound_system devices({{"Mic"}}, {{"Out"}});
    event_log log;
    std::unique_ptr<capture_device> mic;
    std::unique_ptr<playback_device> out;
    ASSERT_EQ(devices.open_capture(0, stream_format, log, mic), mm_ok);
    ASSERT_EQ(devices.open_playback(0, stream_format, log, out), mm_ok);
    buffers in;
    buffers played;
    for (auto& h : in.headers) {
        mic->prepare_header(h);
        mic->add_buffer(h);
    }
    mic->start();
    for (auto& h : played.headers) {
        out->prepare_header(h);
        out->write(h);
    }

    const std::vector<std::int16_t> samples(1024, 77);
    EXPECT_EQ(devices.fill_capture(2, samples), 2u);
    EXPECT_EQ(in.data[1][511], 77);
    devices.finish_playback(1);
    EXPECT_EQ(devices.pending(), 3u);
    log.inside = [&] { devices.dispatch_pending(); };  // a nested loop inside the first handler
    EXPECT_TRUE(devices.dispatch_one());
    using ev = std::pair<char, const wave_header*>;
    EXPECT_EQ(
        log.events,
        (std::vector<ev>{{'c', &in.headers[0]}, {'c', &in.headers[1]}, {'p', &played.headers[0]}}));

    // Reset gives back every held buffer in order; a close drops what was not delivered.
    log.events.clear();
    out->reset();
    mic->reset();
    EXPECT_EQ(devices.pending(), 5u);
    devices.dispatch_one();
    EXPECT_EQ(out->close(), mm_ok);
    devices.dispatch_pending();
    EXPECT_EQ(
        log.events,
        (std::vector<ev>{{'p', &played.headers[1]}, {'c', &in.headers[2]}, {'c', &in.headers[3]}}));
    EXPECT_EQ(devices.played().size(), 4u);
    EXPECT_EQ(devices.played()[3].header_index, 3);
}

}  // namespace
}  // namespace squeakbox
