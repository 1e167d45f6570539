#include "audio/alsa_mixer_mute.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace squeakbox {
namespace {

TEST(AlsaMixerMute, ACardThatIsNotThereIsNoControlAndStaysQuiet) {
    alsa_mixer_mute mixer("hw:99");
    std::uint32_t value = 77;
    std::uint32_t maximum = 77;
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(mixer.read_mute(value, maximum));
    mixer.write_mute(1);
    EXPECT_EQ(mixer.control_name(), "");
    const std::string noise = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(noise, "");
    EXPECT_EQ(value, 77u);  // nothing read, nothing written
    EXPECT_EQ(maximum, 77u);

    alsa_mixer_mute nonsense("no-such-mixer-name");
    EXPECT_FALSE(nonsense.read_mute(value, maximum));
}

TEST(AlsaMixerMute, TheFirstCardGivesAMuteOfZeroOrOneOrNothing) {
    alsa_mixer_mute mixer;
    std::uint32_t value = 77;
    std::uint32_t maximum = 77;
    ::testing::internal::CaptureStderr();
    const bool found = mixer.read_mute(value, maximum);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    if (!std::filesystem::exists("/proc/asound/card0")) {
        EXPECT_FALSE(found);
        GTEST_SKIP() << "no sound card here: only the absent-card behaviour was checked";
    }
    if (!found) GTEST_SKIP() << "card 0 has no microphone line with a playback switch";
    EXPECT_EQ(maximum, 1u);
    EXPECT_LE(value, 1u);
    EXPECT_NE(mixer.control_name().find("Mic"), std::string::npos);
    // Writing back what was read leaves the user's setting as it was.
    mixer.write_mute(value);
    std::uint32_t again = 77;
    ASSERT_TRUE(mixer.read_mute(again, maximum));
    EXPECT_EQ(again, value);
}

}  // namespace
}  // namespace squeakbox
