// The one-channel search correlation: the scalar reference against hand
// values, and every SIMD variant the processor has against the scalar code.

#include "engine/simd/correlation.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tempochanger_probe.h"

namespace squeakbox::simd {
namespace {

using squeakbox::testing::random_samples;

// Runs a kernel over exact-size heap buffers, so that a read or write past the
// stated extent shows up under the address sanitizer, and with sentinels
// around the output so that a stray or missing store shows up everywhere.
std::vector<std::int32_t> run(const correlation_kernels& k, const std::vector<std::int16_t>& ref,
                              const std::vector<std::int16_t>& input, std::uint32_t shift,
                              std::uint32_t positions) {
    constexpr std::int32_t sentinel = 0x5a5a5a5a;
    std::vector<std::int32_t> out(positions + 2, sentinel);
    k.correlate_mono(ref.data(), input.data(), static_cast<std::uint32_t>(ref.size()), shift,
                     positions, out.data() + 1);
    EXPECT_EQ(out.front(), sentinel) << "wrote before the first position";
    EXPECT_EQ(out.back(), sentinel) << "wrote past the last position";
    return {out.begin() + 1, out.end() - 1};
}

TEST(CorrelationScalar, ShiftsEachTermBeforeSummingAndSkipsTermZero) {
    // n = 16, s = 4. Term 0 carries a large reference that must be ignored.
    std::vector<std::int16_t> ref(16, 1);
    ref[0] = 30000;
    std::vector<std::int16_t> input(16 + 1, 16);
    EXPECT_EQ(run(correlation_scalar, ref, input, 4, 2), (std::vector<std::int32_t>{15, 15}));

    // 15 >> 4 is 0 per term: shifting the sum instead would give 225 >> 4 = 14.
    std::fill(input.begin(), input.end(), 15);
    EXPECT_EQ(run(correlation_scalar, ref, input, 4, 1)[0], 0);

    // -1 >> 4 is -1 (toward minus infinity), not 0 as a division would give.
    std::fill(input.begin(), input.end(), -1);
    EXPECT_EQ(run(correlation_scalar, ref, input, 4, 1)[0], -15);
}

TEST(CorrelationScalar, SumWrapsInThirtyTwoBits) {
    // 511 terms of (32767 * 32767) >> 4 = 67104768 add up to 34290536448,
    // which wraps to 34290536448 - 8 * 2^32 = -69201920.
    std::vector<std::int16_t> ref(512, 32767);
    std::vector<std::int16_t> input(512, 32767);
    EXPECT_EQ(run(correlation_scalar, ref, input, 4, 1)[0], -69201920);
}

TEST(CorrelationScalar, UnsupportedLevelsFallBackToWhatTheProcessorRuns) {
    for (level l : all_levels) {
        const correlation_kernels& k = correlation_kernels_for(l);
        EXPECT_TRUE(processor_supports(k.kernel_level));
        EXPECT_LE(static_cast<int>(k.kernel_level), static_cast<int>(l));
        if (processor_supports(l)) {
            EXPECT_EQ(k.kernel_level, l);
        }
    }
}

class CorrelationVariant : public ::testing::TestWithParam<level> {
  protected:
    void SetUp() override {
        if (!processor_supports(GetParam()))
            GTEST_SKIP() << level_name(GetParam()) << " is not available on this processor";
    }
    const correlation_kernels& variant() const { return correlation_kernels_for(GetParam()); }

    // Every overlap length the stretcher can have, with the shift it uses and
    // with the extremes of the shift, over irregular position counts (the
    // vector code has separate paths for groups, single vectors and tails).
    void expect_same_as_scalar(const std::vector<std::int16_t>& ref_pool,
                               const std::vector<std::int16_t>& input_pool) {
        ASSERT_EQ(variant().kernel_level, GetParam());
        const std::uint32_t position_counts[] = {1,  2,  7,  8,  9,   15,  16,  17,  31,  32,
                                                 33, 63, 64, 65, 127, 128, 129, 200, 1234};
        for (std::uint32_t s = 4; s <= 9; ++s) {
            const std::uint32_t n = 1u << s;
            const std::vector<std::int16_t> ref(ref_pool.begin(), ref_pool.begin() + n);
            for (std::uint32_t positions : position_counts) {
                const std::vector<std::int16_t> input(input_pool.begin(),
                                                      input_pool.begin() + positions + n - 1);
                for (std::uint32_t shift : {s, 0u, 15u}) {
                    SCOPED_TRACE("n " + std::to_string(n) + ", positions " +
                                 std::to_string(positions) + ", shift " + std::to_string(shift));
                    const auto expected = run(correlation_scalar, ref, input, shift, positions);
                    const auto actual = run(variant(), ref, input, shift, positions);
                    ASSERT_EQ(actual, expected);
                }
            }
        }
    }
};

TEST_P(CorrelationVariant, MatchesScalarOnFullScaleNoise) {
    for (std::uint32_t seed : {1u, 2u, 3u})
        expect_same_as_scalar(random_samples(512, seed), random_samples(2048, seed + 100));
}

TEST_P(CorrelationVariant, MatchesScalarOnSilenceDcAndImpulses) {
    const std::vector<std::int16_t> silence(2048, 0);
    const std::vector<std::int16_t> noise = random_samples(2048, 7);
    expect_same_as_scalar(silence, noise);
    expect_same_as_scalar(noise, silence);
    expect_same_as_scalar(std::vector<std::int16_t>(2048, 12345),
                          std::vector<std::int16_t>(2048, -3210));

    std::vector<std::int16_t> impulses(2048, 0);
    for (std::size_t i = 3; i < impulses.size(); i += 97)
        impulses[i] = static_cast<std::int16_t>(i % 2 ? 32767 : -32768);
    expect_same_as_scalar(noise, impulses);
    expect_same_as_scalar(impulses, noise);
}

TEST_P(CorrelationVariant, MatchesScalarWhereProductsAreExtremeAndSumsWrap) {
    // -32768 * -32768 = 2^30, the largest product; with shift 0 a few terms
    // already wrap the sum, and mixed signs give the most negative products.
    const std::vector<std::int16_t> lowest(2048, -32768);
    std::vector<std::int16_t> alternating(2048);
    for (std::size_t i = 0; i < alternating.size(); ++i)
        alternating[i] = static_cast<std::int16_t>(i % 3 ? -32768 : 32767);
    expect_same_as_scalar(lowest, lowest);
    expect_same_as_scalar(lowest, alternating);
    expect_same_as_scalar(alternating, std::vector<std::int16_t>(2048, 32767));
}

TEST_P(CorrelationVariant, CrossCheckNoticesOneAlteredInputSample) {
    // The comparison above would be worthless if a kernel could ignore part of
    // its input: changing the last sample that the last position reads must
    // change that position's value in this variant too.
    const auto ref = random_samples(512, 11);
    auto input = random_samples(1234 + 511, 12);
    const auto before = run(variant(), ref, input, 9, 1234);
    input.back() = static_cast<std::int16_t>(input.back() ^ 0x4000);
    const auto after = run(variant(), ref, input, 9, 1234);
    EXPECT_NE(before.back(), after.back());
    EXPECT_TRUE(std::equal(before.begin(), before.end() - 1, after.begin()));
}

INSTANTIATE_TEST_SUITE_P(Levels, CorrelationVariant,
                         ::testing::Values(level::sse2, level::avx2, level::avx512),
                         [](const auto& info) { return std::string(level_name(info.param)); });

}  // namespace
}  // namespace squeakbox::simd
