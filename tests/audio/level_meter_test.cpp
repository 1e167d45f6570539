#include "audio/level_meter.h"

#include <gtest/gtest.h>

#include <vector>

namespace squeakbox {
namespace {

wave_header header_for(std::vector<std::int16_t>& samples) {
    wave_header header{};
    header.data = reinterpret_cast<char*>(samples.data());
    header.buffer_length = static_cast<std::uint32_t>(samples.size() * 2);
    return header;
}

std::uint32_t level_of(std::vector<std::int16_t> samples) {
    return block_level(header_for(samples));
}

TEST(LevelMeter, BlockLevelIsAQuarterOfTheMeanAbsoluteValue) {
    EXPECT_EQ(level_of(std::vector<std::int16_t>(512, 0)), 0u);
    EXPECT_EQ(level_of(std::vector<std::int16_t>(512, -32768)), 8192u);  // |-32768| is 32768
    EXPECT_EQ(level_of(std::vector<std::int16_t>(512, 32767)), 8191u);
    EXPECT_EQ(level_of(std::vector<std::int16_t>(512, 3)), 0u);   // mean below 4
    EXPECT_EQ(level_of(std::vector<std::int16_t>(512, -4)), 1u);  // signs do not matter
    std::vector<std::int16_t> alternating(512);
    for (std::size_t i = 0; i < alternating.size(); ++i) alternating[i] = i % 2 ? 1000 : -3000;
    EXPECT_EQ(level_of(alternating), 500u);  // mean 2000

    // Divided by the byte length, then halved: 3 bytes hold one sample.
    std::vector<std::int16_t> odd = {600, 0};
    wave_header three_bytes = header_for(odd);
    three_bytes.buffer_length = 3;
    EXPECT_EQ(block_level(three_bytes), 100u);  // 600 / 3 = 200, halved

    // A block without bytes has nothing to measure, and nothing to divide by.
    std::vector<std::int16_t> none;
    EXPECT_EQ(level_of(none), 0u);
    wave_header no_data{};
    no_data.buffer_length = 1024;
    EXPECT_EQ(block_level(no_data), 0u);
}

TEST(LevelMeter, BarIsRelativeToThePeakThatOnlyRises) {
    level_meter meter;
    EXPECT_EQ(meter.peak(), 1);
    EXPECT_EQ(meter.split(0, 300, 1), 300);  // peak 1, level 1: full bar
    EXPECT_EQ(meter.split(0, 300, 0), 0);    // silence: all blank
    EXPECT_EQ(meter.peak(), 1);

    EXPECT_EQ(meter.split(0, 300, 400), 300);  // the first loud block sets the peak: full
    EXPECT_EQ(meter.peak(), 400);
    EXPECT_EQ(meter.split(0, 300, 400), 300);  // equal to the peak changes nothing
    EXPECT_EQ(meter.split(0, 300, 100), 75);

    EXPECT_EQ(meter.split(0, 300, 8192), 300);  // one very loud block ...
    EXPECT_EQ(meter.split(0, 300, 100), 3);     // ... and speech draws short bars: 30000 / 8192
    EXPECT_EQ(meter.split(10, 310, 100), 13);   // measured from the left edge
    EXPECT_EQ(meter.split(0, 300, 20), 0);      // multiplied first, rounded toward zero
    EXPECT_EQ(meter.peak(), 8192);

    // The bar takes the level's low 16 bits; any rectangle stays defined.
    EXPECT_EQ(meter.split(0, 300, 0x10000 + 100), 3);
    EXPECT_EQ(meter.split(-2'000'000'000, 2'000'000'000, 8192), 2'000'000'000);
    EXPECT_EQ(meter.split(300, 0, 4096), 150);
}

TEST(LevelMeter, MeasureRemembersTheLastLevelForRepainting) {
    level_meter meter;
    std::vector<std::int16_t> loud(512, -32768);
    EXPECT_EQ(meter.measure(header_for(loud)), 8192u);
    EXPECT_EQ(meter.last_level(), 8192u);
    EXPECT_EQ(meter.peak(), 1);  // the peak rises only when a bar is drawn
}

}  // namespace
}  // namespace squeakbox
