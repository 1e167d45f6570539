#include "engine/anti_alias_filter_mmx.h"

#include <gtest/gtest.h>

#include <vector>

#include "test_signals.h"

namespace squeakbox {
namespace {

struct mmx_probe : anti_alias_filter_mmx {
    using anti_alias_filter_mmx::anti_alias_filter_mmx;
    using anti_alias_filter_mmx::coefficients;
    using anti_alias_filter_mmx::coefficients_mmx;
    using anti_alias_filter_mmx::length;
};

struct plain_probe : anti_alias_filter {
    using anti_alias_filter::anti_alias_filter;
    using anti_alias_filter::coefficients;
};

TEST(AntiAliasFilterMmx, PairedTableFollowsTheTapsFromTheFirstRecalculation) {
    mmx_probe f(32);
    // The base constructor's recalculation cannot reach the override.
    EXPECT_EQ(f.coefficients[0], -12);
    EXPECT_EQ(std::vector<int>(f.coefficients_mmx, f.coefficients_mmx + 256),
              std::vector<int>(256, 0));

    f.set_cutoff(0.5);
    EXPECT_EQ(std::vector<int>(f.coefficients_mmx, f.coefficients_mmx + 8),
              (std::vector<int>{-12, -23, -12, -23, 16, 35, 16, 35}));
    for (double cutoff : {0.5, 0.25}) {
        for (std::uint32_t taps : {8u, 32u, 128u}) {
            f.set_length(taps);
            f.set_cutoff(cutoff);
            for (std::uint32_t g = 0; g < taps / 4; ++g) {
                const std::int16_t* c = f.coefficients + 4 * g;
                const std::vector<int> expected{c[0], c[2], c[0], c[2], c[1], c[3], c[1], c[3]};
                EXPECT_EQ(
                    std::vector<int>(f.coefficients_mmx + 8 * g, f.coefficients_mmx + 8 * g + 8),
                    expected)
                    << "group " << g << " of " << taps << " taps";
            }
        }
    }
}

TEST(AntiAliasFilterMmx, TwoChannelsWriteWholePairsOnly) {
    for (simd::level l : simd::all_levels) {
        if (!simd::processor_supports(l)) continue;
        mmx_probe mmx(32, l);
        mmx.set_cutoff(0.5);
        plain_probe plain(32, l);
        const auto in = testing::random_samples(2 * 40, 3);
        std::vector<std::int16_t> out(2 * 40, 99);
        const struct {
            std::uint32_t frames, mmx_written, plain_written;
        } cases[] = {{35, 2, 3}, {36, 4, 4}, {34, 2, 2}, {33, 0, 1},
                     {32, 0, 0}, {31, 0, 0}, {0, 0, 0}};
        for (const auto& c : cases) {
            EXPECT_EQ(mmx.filter(out.data(), in.data(), c.frames, 2), c.mmx_written) << c.frames;
            EXPECT_EQ(plain.filter(out.data(), in.data(), c.frames, 2), c.plain_written)
                << c.frames;
        }
        // One channel is the plain filter's, frame for frame.
        EXPECT_EQ(mmx.filter(out.data(), in.data(), 35, 1), 3u);
    }
}

// Every level's pair kernel against the plain filter and against the
// convolution written out, on loud random input that overshoots.
TEST(AntiAliasFilterMmx, EqualsThePlainFilterOnEverySampleBothWrite) {
    for (simd::level l : simd::all_levels) {
        if (!simd::processor_supports(l)) continue;
        for (std::uint32_t taps : {8u, 32u, 128u}) {
            for (double cutoff : {0.5, 0.25, 5000.0 / 14142}) {
                mmx_probe mmx(taps, l);
                mmx.set_cutoff(cutoff);
                plain_probe plain(taps, simd::level::scalar);
                plain.set_cutoff(cutoff);
                for (std::uint32_t frames : {taps + 2, taps + 3, taps + 17, taps + 512, 1500u}) {
                    auto in = testing::random_samples(2 * std::size_t{frames}, frames + taps);
                    // Loud sections overshoot: samples with the sign of the taps.
                    for (std::size_t k = 0; k < 2 * taps && k < in.size(); ++k)
                        in[k] = mmx.coefficients[(k / 2) % taps] < 0 ? -32768 : 32767;
                    std::vector<std::int16_t> a(2 * frames + 8, 0), b(2 * frames + 8, 0);
                    const std::uint32_t na = mmx.filter(a.data(), in.data(), frames, 2);
                    const std::uint32_t nb = plain.filter(b.data(), in.data(), frames, 2);
                    ASSERT_EQ(na, (frames & ~1u) - taps);
                    ASSERT_EQ(nb, frames - taps);
                    EXPECT_EQ(a[2 * na], 0) << "wrote past its pairs";
                    a.resize(2 * na);
                    b.resize(2 * na);
                    const auto reference = testing::reference_fir(mmx.coefficients, taps, in, 2);
                    EXPECT_EQ(a, b) << simd::level_name(l) << ", " << taps << " taps, " << frames;
                    EXPECT_EQ(a, std::vector<std::int16_t>(reference.begin(),
                                                           reference.begin() + 2 * na));
                }
            }
        }
    }
}

}  // namespace
}  // namespace squeakbox
