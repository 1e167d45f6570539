#include "audio/devices/portaudio_sound_system.h"

#include <gtest/gtest.h>

#include <set>

#include "device_test_support.h"

namespace squeakbox {
namespace {

TEST(PortAudioSoundSystem, ProbingIsQuietAndDeviceNumbersAreChecked) {
    ::testing::internal::CaptureStderr();
    portaudio_sound_system system;
    std::vector<device_caps> inputs(system.capture_device_count());
    std::vector<device_caps> outputs(system.playback_device_count());
    for (std::uint32_t d = 0; d < inputs.size(); ++d)
        EXPECT_EQ(system.capture_caps(d, inputs[d]), mm_ok);
    for (std::uint32_t d = 0; d < outputs.size(); ++d)
        EXPECT_EQ(system.playback_caps(d, outputs[d]), mm_ok);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(system.problem(), "");

    for (const auto& caps : inputs) EXPECT_FALSE(caps.name.empty());
    for (const auto& caps : outputs) EXPECT_FALSE(caps.name.empty());

    // The numbers stay the same for the whole run, in every system.
    portaudio_sound_system again;
    ASSERT_EQ(again.capture_device_count(), inputs.size());
    for (std::uint32_t d = 0; d < inputs.size(); ++d) {
        device_caps caps;
        again.capture_caps(d, caps);
        EXPECT_EQ(caps.name, inputs[d].name);
    }

    testing::event_log log;
    const auto past_inputs = static_cast<std::uint32_t>(inputs.size());
    const auto past_outputs = static_cast<std::uint32_t>(outputs.size());
    device_caps caps;
    EXPECT_EQ(system.capture_caps(past_inputs, caps), mm_bad_device_id);
    EXPECT_EQ(system.playback_caps(past_outputs, caps), mm_bad_device_id);
    EXPECT_EQ(system.query_capture(past_inputs, stream_format), mm_bad_device_id);
    EXPECT_EQ(system.query_playback(past_outputs, stream_format), mm_bad_device_id);
    std::unique_ptr<capture_device> capture;
    std::unique_ptr<playback_device> playback;
    EXPECT_EQ(system.open_capture(past_inputs, stream_format, log, capture), mm_bad_device_id);
    EXPECT_EQ(system.open_playback(past_outputs, stream_format, log, playback), mm_bad_device_id);
    EXPECT_EQ(capture, nullptr);
    EXPECT_EQ(playback, nullptr);

    wave_format stereo = stream_format;
    stereo.channels = 2;
    stereo.block_align = 4;
    stereo.avg_bytes_per_sec = 176400;
    if (!inputs.empty()) {
        EXPECT_EQ(system.query_capture(0, stereo), mm_bad_format);
        EXPECT_EQ(system.open_capture(0, stereo, log, capture), mm_bad_format);
    }
    if (!outputs.empty()) {
        EXPECT_EQ(system.query_playback(0, stereo), mm_bad_format);
    }
    EXPECT_GE(system.event_fd(), 0);
    system.dispatch_pending();  // nothing open: nothing happens
    EXPECT_TRUE(log.entries.empty());
}

}  // namespace
}  // namespace squeakbox
