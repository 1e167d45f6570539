#include "engine/anti_alias_filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <numeric>
#include <type_traits>
#include <vector>

#include "test_signals.h"

namespace squeakbox {
namespace {

struct filter_probe : anti_alias_filter {
    using anti_alias_filter::anti_alias_filter;
    using anti_alias_filter::coefficients;
    using anti_alias_filter::cutoff;
    using anti_alias_filter::filter_mono;
    using anti_alias_filter::filter_stereo;
    using anti_alias_filter::length;
    using anti_alias_filter::length_div8;
};

std::vector<int> taps_of(const filter_probe& f) {
    return std::vector<int>(f.coefficients, f.coefficients + f.length);
}

// The upper half, centre outwards; the lower half must mirror it.
void expect_symmetric_taps(const filter_probe& f, const std::vector<int>& upper_half, int sum) {
    const std::vector<int> taps = taps_of(f);
    ASSERT_EQ(taps.size(), 2 * upper_half.size());
    const std::size_t half = upper_half.size();
    for (std::size_t i = 0; i < half; ++i) {
        EXPECT_EQ(taps[half + i], upper_half[i]) << "tap " << half + i;
        EXPECT_EQ(taps[half - 1 - i], upper_half[i]) << "tap " << half - 1 - i;
    }
    EXPECT_EQ(std::accumulate(taps.begin(), taps.end(), 0), sum);
}

TEST(AntiAliasFilter, TapsOfTheWindowedSincDesign) {
    filter_probe f(32);
    EXPECT_EQ(f.cutoff, 0.5);
    // -610.87 and -12.66 truncate toward zero to -610 and -12.
    expect_symmetric_taps(
        f, {4764, -1560, 903, -610, 441, -328, 247, -186, 139, -102, 73, -51, 35, -23, 16, -12},
        7492);

    f.set_cutoff(0.25);
    expect_symmetric_taps(
        f, {3368, 1103, -638, -431, 312, 232, -174, -131, 98, 72, -51, -36, 24, 16, -11, -8}, 7490);

    filter_probe eight(8);
    EXPECT_EQ(taps_of(eight), (std::vector<int>{-78, 347, -1139, 4607, 4607, -1139, 347, -78}));
}

TEST(AntiAliasFilter, LengthRoundsDownToEightsAndStopsAt128) {
    filter_probe f(32);
    const struct {
        std::uint32_t asked, length;
    } cases[] = {{200, 128}, {129, 128}, {128, 128}, {37, 32}, {8, 8}, {7, 0}, {0, 0}};
    for (const auto& c : cases) {
        f.set_length(c.asked);
        EXPECT_EQ(f.length, c.length) << "asked " << c.asked;
        EXPECT_EQ(f.length_div8, c.length / 8);
    }
    // A filter without taps writes silence rather than reading garbage.
    std::vector<std::int16_t> in(10, 1000), out(10, 1);
    EXPECT_EQ(f.filter(out.data(), in.data(), 10, 1), 10u);
    EXPECT_EQ(out, std::vector<std::int16_t>(10, 0));
}

TEST(AntiAliasFilter, OddCutoffsNeverGiveUndefinedTaps) {
    // Cutoff 0 is 0 / 0 at the centre; large cutoffs overflow 16 bits.
    filter_probe f(32);
    f.set_cutoff(0.0);
    EXPECT_EQ(taps_of(f), std::vector<int>(32, 0));
    f.set_cutoff(50.0);
    for (int c : taps_of(f)) EXPECT_TRUE(c >= -32768 && c <= 32767);
}

// Constant input measures the DC gain: 7492 / 8192 at cutoff 0.5, with the
// shift rounding toward minus infinity.
TEST(AntiAliasFilter, ConstantInputGivesTheDcGainOnEveryFrameAndChannel) {
    for (simd::level l : simd::all_levels) {
        filter_probe f(32, l);
        for (int value : {10000, -10000, 1, -1, 32767, -32768, 0}) {
            const int expected = (7492 * value) >> 13;
            const auto mono = testing::constant_samples(544, static_cast<std::int16_t>(value));
            std::vector<std::int16_t> out(544, 12345);
            ASSERT_EQ(f.filter(out.data(), mono.data(), 544, 1), 512u);
            for (std::size_t k = 0; k < 512; ++k) ASSERT_EQ(out[k], expected) << value;
            EXPECT_EQ(out[512], 12345) << "wrote past the frames it returned";

            const auto stereo =
                testing::constant_samples(2 * 100, static_cast<std::int16_t>(value));
            out.assign(544, 12345);
            ASSERT_EQ(f.filter(out.data(), stereo.data(), 100, 2), 68u);
            for (std::size_t k = 0; k < 2 * 68; ++k) ASSERT_EQ(out[k], expected) << value;
            EXPECT_EQ(out[136], 12345);
        }
    }
    EXPECT_EQ((7492 * 10000) >> 13, 9145);
    EXPECT_EQ((7492 * -10000) >> 13, -9146);
}

TEST(AntiAliasFilter, InputShorterThanTheFilterWritesNothing) {
    filter_probe f(32);
    std::vector<std::int16_t> in(64, 100), out(64, 7);
    for (std::uint32_t frames : {0u, 1u, 31u, 32u}) {
        EXPECT_EQ(f.filter(out.data(), in.data(), frames, 1), 0u);
        EXPECT_EQ(f.filter(out.data(), in.data(), frames, 2), 0u);
    }
    EXPECT_EQ(out, std::vector<std::int16_t>(64, 7));
    EXPECT_EQ(f.filter(out.data(), in.data(), 33, 1), 1u);
}

// Loud input that overshoots through the ripple must clip. Taking the low 16
// bits would turn a peak of +40000 into -25536: a full-scale click.
TEST(AntiAliasFilter, OvershootSaturatesInsteadOfFlippingSign) {
    for (simd::level l : simd::all_levels) {
        if (!simd::processor_supports(l)) continue;
        filter_probe f(32, l);
        // Every sample at full scale with the sign of the tap it meets: the
        // largest sum the filter can make, about 2.3 times full scale.
        std::vector<std::int16_t> loud(33), out(2, 0);
        for (int i = 0; i < 32; ++i) loud[i] = f.coefficients[i] < 0 ? -32768 : 32767;
        loud[32] = 0;
        ASSERT_EQ(f.filter(out.data(), loud.data(), 33, 1), 1u);
        EXPECT_EQ(out[0], 32767) << simd::level_name(l);
        for (auto& s : loud)
            s = static_cast<std::int16_t>(s == 32767 ? -32768 : s == 0 ? 0 : 32767);
        ASSERT_EQ(f.filter(out.data(), loud.data(), 33, 1), 1u);
        EXPECT_EQ(out[0], -32768) << simd::level_name(l);

        // A full-scale square wave overshoots at every edge; each output must
        // agree with the saturated convolution, and keep the sign of the
        // plateau it sits on.
        std::vector<std::int16_t> square(2 * 1024);
        for (std::size_t i = 0; i < square.size(); ++i)
            square[i] = (i / 2 / 64) % 2 ? std::int16_t{-32768} : std::int16_t{32767};
        std::vector<std::int16_t> mono(square.begin(), square.begin() + 1024);
        std::vector<std::int16_t> got(2 * 1024);
        ASSERT_EQ(f.filter(got.data(), mono.data(), 1024, 1), 992u);
        got.resize(992);
        EXPECT_EQ(got, testing::reference_fir(f.coefficients, 32, mono, 1));
        int clipped = 0;
        for (std::size_t k = 0; k < 992; ++k) {
            // Output k is centred between input frames k + 15 and k + 16.
            const std::int16_t centre = mono[k + 16];
            const bool plateau = std::all_of(mono.begin() + k + 11, mono.begin() + k + 21,
                                             [&](std::int16_t s) { return s == centre; });
            if (plateau) {
                EXPECT_EQ(got[k] > 0, centre > 0) << "frame " << k;
            }
            clipped += got[k] == 32767 || got[k] == -32768;
        }
        EXPECT_GT(clipped, 0) << "the square should overshoot full scale";

        got.assign(2 * 1024, 0);
        ASSERT_EQ(f.filter(got.data(), square.data(), 1024, 2), 992u);
        got.resize(2 * 992);
        EXPECT_EQ(got, testing::reference_fir(f.coefficients, 32, square, 2));
    }
}

TEST(AntiAliasFilter, MatchesTheDirectConvolutionOnRandomFullScaleInput) {
    for (std::uint32_t length : {8u, 32u, 128u}) {
        for (double cutoff : {0.5, 0.25, 5000.0 / 10594}) {
            filter_probe f(length, simd::level::scalar);
            f.set_cutoff(cutoff);
            for (unsigned channels : {1u, 2u}) {
                const auto in = testing::random_samples(700 * channels, length + channels);
                std::vector<std::int16_t> out(700 * channels);
                const std::uint32_t n = f.filter(out.data(), in.data(), 700, channels);
                ASSERT_EQ(n, 700 - length);
                out.resize(n * channels);
                EXPECT_EQ(out, testing::reference_fir(f.coefficients, length, in, channels))
                    << length << " taps, cutoff " << cutoff << ", " << channels << " channels";
            }
        }
    }
}

// Keeping the last `length` frames in front of the next block, as the
// transposer does, continues the filtered stream without a seam.
TEST(AntiAliasFilter, FilteringInBlocksWithHistoryIsSeamless) {
    const auto in = testing::random_samples(4000, 7);
    filter_probe f(32);
    std::vector<std::int16_t> whole(4000);
    whole.resize(f.filter(whole.data(), in.data(), 4000, 1));

    const std::size_t sizes[] = {5, 40, 1, 512, 300, 33, 0};
    std::vector<std::int16_t> joined, window, out(4000);
    for (std::size_t at = 0, b = 0; at < in.size(); ++b) {
        const std::size_t take = std::min(sizes[b % std::size(sizes)], in.size() - at);
        window.insert(window.end(), in.begin() + at, in.begin() + at + take);
        at += take;
        const auto n = f.filter(out.data(), window.data(), std::uint32_t(window.size()), 1);
        joined.insert(joined.end(), out.begin(), out.begin() + n);
        window.erase(window.begin(), window.begin() + n);
    }
    EXPECT_EQ(joined, whole);
}

static_assert(std::has_virtual_destructor_v<anti_alias_filter>,
              "the transposer deletes a derived filter through the base");

}  // namespace
}  // namespace squeakbox
