#include "audio/mic_monitor_mute.h"

#include <gtest/gtest.h>

#include <vector>

namespace squeakbox {
namespace {

// A mixer control with a value and a maximum; absent when `present` is false.
struct fake_mixer final : mixer_mute_control {
    bool present = true;
    std::uint32_t value = 0;
    std::uint32_t maximum = 1;
    std::vector<std::uint32_t> writes;

    bool read_mute(std::uint32_t& v, std::uint32_t& m) override {
        if (!present) return false;
        v = value;
        m = maximum;
        return true;
    }
    void write_mute(std::uint32_t v) override {
        if (!present) return;
        writes.push_back(v);
        value = v;
    }
};

TEST(MicMonitorMute, MutesWhileRunningAndRestoresWhatItFound) {
    fake_mixer mixer;  // unmuted at start
    mic_monitor_mute mute(mixer);
    mute.save_and_mute();
    EXPECT_EQ(mixer.value, 1u);
    mute.restore();
    EXPECT_EQ(mixer.value, 0u);
    EXPECT_EQ(mixer.writes, (std::vector<std::uint32_t>{1, 0}));

    fake_mixer muted;  // already muted at start: written back to the same value
    muted.value = 1;
    mic_monitor_mute again(muted);
    again.save_and_mute();
    again.restore();
    EXPECT_EQ(muted.value, 1u);
    EXPECT_EQ(again.saved_mute_value(), 1u);
    EXPECT_EQ(again.applied_mute_value(), 1u);
}

TEST(MicMonitorMute, KeepsTheUsersChangeMadeWhileRunning) {
    fake_mixer mixer;
    mic_monitor_mute mute(mixer);
    mute.save_and_mute();
    mixer.value = 0;  // the user unmuted the line
    mixer.writes.clear();
    mute.restore();
    EXPECT_TRUE(mixer.writes.empty());
    EXPECT_EQ(mixer.value, 0u);
}

TEST(MicMonitorMute, NeverStartedOrNoControl) {
    fake_mixer unmuted;  // never started: a control reading 0 is written with 0 again
    mic_monitor_mute a(unmuted);
    a.restore();
    EXPECT_EQ(unmuted.writes, (std::vector<std::uint32_t>{0}));

    fake_mixer muted;  // never started: a muted control is left alone
    muted.value = 1;
    mic_monitor_mute b(muted);
    b.restore();
    EXPECT_TRUE(muted.writes.empty());

    fake_mixer absent;  // no mute control: nothing read, nothing written
    absent.present = false;
    mic_monitor_mute c(absent);
    c.save_and_mute();
    c.restore();
    EXPECT_EQ(c.saved_mute_value(), 0u);
    EXPECT_EQ(c.applied_mute_value(), 0u);
}

}  // namespace
}  // namespace squeakbox
