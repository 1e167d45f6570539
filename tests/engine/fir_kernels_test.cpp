// Every filter kernel the processor can run against the scalar reference.
#include "engine/simd/fir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "test_signals.h"

namespace squeakbox::simd {

namespace {

// The level as a test parameter of its own type, so that gtest names it in
// its messages (other test files print plain levels their own way).
struct level_param {
    level value;
};
void PrintTo(level_param p, std::ostream* os) {
    *os << level_name(p.value);
}

class FirKernels : public ::testing::TestWithParam<level_param> {
  protected:
    void SetUp() override {
        const level l = GetParam().value;
        if (!processor_supports(l))
            GTEST_SKIP() << level_name(l) << " is not available on this processor";
        kernels = &fir_kernels_for(l);
        ASSERT_EQ(kernels->kernel_level, l);
    }
    const fir_kernels* kernels = nullptr;
};

struct named_signal {
    std::string name;
    std::vector<std::int16_t> samples;
};

std::vector<named_signal> signals(std::size_t n) {
    return {{"random", squeakbox::testing::random_samples(n, 1234)},
            {"silence", std::vector<std::int16_t>(n, 0)},
            {"dc max", squeakbox::testing::constant_samples(n, 32767)},
            {"dc min", squeakbox::testing::constant_samples(n, -32768)},
            {"impulses", squeakbox::testing::impulses(n, 37)},
            {"extremes", squeakbox::testing::alternating_extremes(n)}};
}

// Tap sets: the filter's own designs and arbitrary 16-bit values, whose sums
// wrap in 32 bits (including -32768 * -32768 pairs, the one case where a
// multiply-add's pair sum itself wraps).
std::vector<std::vector<std::int16_t>> tap_sets() {
    std::vector<std::vector<std::int16_t>> sets;
    sets.push_back({-78, 347, -1139, 4607, 4607, -1139, 347, -78});
    sets.push_back({-12, 16,   -23, 35,    -51,  73,   -102,  139, -186, 247, -328,
                    441, -610, 903, -1560, 4764, 4764, -1560, 903, -610, 441, -328,
                    247, -186, 139, -102,  73,   -51,  35,    -23, 16,   -12});
    for (std::size_t taps : {8u, 32u, 128u})
        sets.push_back(squeakbox::testing::random_samples(taps, 99 + unsigned(taps)));
    sets.push_back(std::vector<std::int16_t>(32, -32768));
    sets.push_back(std::vector<std::int16_t>(128, 32767));
    return sets;
}

constexpr std::uint32_t frame_counts[] = {0,  1,  7,  8,  9,  15,  16,  17,  31,
                                          32, 33, 63, 64, 65, 480, 512, 1001};
constexpr std::int16_t guard = 0x5A5A;

TEST_P(FirKernels, MonoEqualsScalarOnEverySample) {
    for (const auto& taps : tap_sets()) {
        const auto length = static_cast<std::uint32_t>(taps.size());
        for (const auto& signal : signals(1001 + 128)) {
            for (std::uint32_t frames : frame_counts) {
                // Exactly as much input as the frames need, so a read past it
                // shows under the address sanitizer.
                const std::vector<std::int16_t> in(signal.samples.begin(),
                                                   signal.samples.begin() + frames + length - 1);
                std::vector<std::int16_t> want(frames + 1, guard), got(frames + 1, guard);
                fir_mono_scalar(want.data(), in.data(), frames, taps.data(), length);
                kernels->mono(got.data(), in.data(), frames, taps.data(), length);
                ASSERT_EQ(got, want)
                    << signal.name << ", " << length << " taps, " << frames << " frames";
            }
        }
    }
}

TEST_P(FirKernels, StereoPairsEqualScalarOnEverySample) {
    for (const auto& taps : tap_sets()) {
        const auto length = static_cast<std::uint32_t>(taps.size());
        std::vector<std::int16_t> paired(2 * length);
        for (std::uint32_t g = 0; g < length / 4; ++g) {
            const std::int16_t* c = taps.data() + 4 * g;
            const std::int16_t entries[8] = {c[0], c[2], c[0], c[2], c[1], c[3], c[1], c[3]};
            std::copy(entries, entries + 8, paired.begin() + 8 * g);
        }
        for (const auto& signal : signals(2 * (1001 + 130))) {
            for (std::uint32_t pairs : {0u, 1u, 2u, 3u, 17u, 256u, 500u}) {
                // Exactly the frames a pass reads: 2 * pairs + taps - 1.
                const std::vector<std::int16_t> in(
                    signal.samples.begin(), signal.samples.begin() + 2 * (2 * pairs + length - 1));
                std::vector<std::int16_t> want(4 * pairs + 1, guard), got(4 * pairs + 1, guard);
                fir_stereo_pairs_scalar(want.data(), in.data(), pairs, paired.data(), length);
                kernels->stereo_pairs(got.data(), in.data(), pairs, paired.data(), length);
                ASSERT_EQ(got, want)
                    << signal.name << ", " << length << " taps, " << pairs << " pairs";
                // And the pairs are the plain convolution, saturated.
                const std::vector<std::int16_t> longer(
                    signal.samples.begin(), signal.samples.begin() + 2 * (2 * pairs + length));
                const auto reference =
                    squeakbox::testing::reference_fir(taps.data(), length, longer, 2);
                ASSERT_TRUE(std::equal(got.begin(), got.end() - 1, reference.begin()))
                    << signal.name << ", " << length << " taps, " << pairs << " pairs";
            }
        }
    }
}

TEST_P(FirKernels, MonoIsTheSaturatedConvolution) {
    // Anchors the reference itself, so the cross-checks above compare against
    // the right thing.
    for (const auto& taps : tap_sets()) {
        const auto length = static_cast<std::uint32_t>(taps.size());
        const auto in = squeakbox::testing::random_samples(600 + length, length);
        std::vector<std::int16_t> out(600);
        kernels->mono(out.data(), in.data(), 600, taps.data(), length);
        EXPECT_EQ(out, squeakbox::testing::reference_fir(taps.data(), length, in, 1))
            << length << " taps";
    }
}

TEST(FirKernelsFallback, AnUnavailableLevelFallsBackToOneThatRuns) {
    for (level l : all_levels) {
        const level got = fir_kernels_for(l).kernel_level;
        EXPECT_TRUE(processor_supports(got));
        EXPECT_LE(static_cast<int>(got), static_cast<int>(l));
        if (processor_supports(l)) {
            EXPECT_EQ(got, l);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, FirKernels,
                         ::testing::Values(level_param{level::scalar}, level_param{level::sse2},
                                           level_param{level::avx2}, level_param{level::avx512}),
                         [](const ::testing::TestParamInfo<level_param>& info) {
                             return std::string(level_name(info.param.value));
                         });

}  // namespace
}  // namespace squeakbox::simd
