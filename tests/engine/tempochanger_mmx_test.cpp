// The packed-integer variant of the tempo changer: its two-lane correlation,
// its cross-fade, its agreement with the plain class, and the SSE2 kernels
// against the portable ones.

#include "engine/tempochanger_mmx.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "engine/simd/stretch_mmx.h"
#include "tempochanger_probe.h"

namespace squeakbox {
namespace {

using testing::mmx_probe;
using testing::plain_probe;
using testing::random_samples;
using testing::run_stream;

static_assert(std::has_virtual_destructor_v<tempochanger>,
              "the front end deletes a tempochanger_mmx through a tempochanger pointer");

// The kernel tables to check: the portable one always, SSE2 where built.
std::vector<const simd::stretch_mmx_kernels*> mmx_variants() {
    std::vector<const simd::stretch_mmx_kernels*> variants{&simd::stretch_mmx_portable};
#if defined(SQUEAKBOX_X86_SIMD)
    variants.push_back(&simd::stretch_mmx_sse2);
#endif
    return variants;
}

TEST(TempochangerMmxCorrelation, ShiftsPairsOfFramesInTwoLanes) {
    // n = 16, s = 4. Frames 4 to 7 have P(j) = 8 * 1 + 0 * 0 = 8: the packed
    // correlation shifts 8 + 8 in each lane and adds 2; the plain one shifts
    // each 8 on its own and adds 0.
    std::vector<std::int16_t> reference(32, 0);
    std::vector<std::int16_t> input(32, 0);
    for (std::uint32_t j = 4; j < 8; ++j) {
        reference[2 * j] = 8;
        input[2 * j] = 1;
    }
    for (const auto* k : mmx_variants()) {
        SCOPED_TRACE(simd::level_name(k->kernel_level));
        EXPECT_EQ(k->correlate_stereo(input.data(), reference.data(), 16, 4), 2);
    }
    mmx_probe t;
    t.use_short_overlap(16);
    std::copy(reference.begin(), reference.end(), t.reference_buffer.get());
    EXPECT_EQ(t.correlate_stereo_mmx(input.data(), reference.data()), 2);
    EXPECT_EQ(t.correlate_stereo(input.data()), 0);

    // The odd lane: frames 1 and 3 give (8 + 8) >> 4 = 1 once.
    std::fill(reference.begin(), reference.end(), 0);
    reference[2] = reference[6] = 8;
    EXPECT_EQ(t.correlate_stereo_mmx(input.data(), reference.data()), 0);  // input 0 there
    input[2] = input[6] = 1;
    EXPECT_EQ(t.correlate_stereo_mmx(input.data(), reference.data()), 1);
}

TEST(TempochangerMmxCorrelation, FrameSumsAndLanesWrap) {
    // All samples -32768: P(j) = 2^30 + 2^30 wraps to -2^31, the sum of two
    // frames to 0, so the packed correlation is 0; the plain one shifts each
    // -2^31 to -2^27 and adds 15 of them.
    const std::vector<std::int16_t> lowest(32, -32768);
    for (const auto* k : mmx_variants()) {
        SCOPED_TRACE(simd::level_name(k->kernel_level));
        EXPECT_EQ(k->correlate_stereo(lowest.data(), lowest.data(), 16, 4), 0);
    }
    plain_probe t;
    t.use_short_overlap(16);
    std::copy(lowest.begin(), lowest.end(), t.reference_buffer.get());
    EXPECT_EQ(t.correlate_stereo(lowest.data()), -15 * (1 << 27));
}

TEST(TempochangerMmxCorrelation, Sse2MatchesPortable) {
#if !defined(SQUEAKBOX_X86_SIMD)
    GTEST_SKIP() << "no SSE2 kernels on this processor";
#else
    const auto noise = random_samples(4096, 21);
    std::vector<std::int16_t> impulses(4096, 0);
    for (std::size_t i = 5; i < impulses.size(); i += 41)
        impulses[i] = static_cast<std::int16_t>(i % 3 ? -32768 : 32767);
    const std::vector<std::vector<std::int16_t> > signals = {
        noise,
        random_samples(4096, 22),
        std::vector<std::int16_t>(4096, 0),
        std::vector<std::int16_t>(4096, -32768),
        std::vector<std::int16_t>(4096, 32767),
        impulses};
    for (std::uint32_t s = 4; s <= 9; ++s) {
        const std::uint32_t n = 1u << s;
        for (const auto& ref : signals) {
            for (const auto& in : signals) {
                for (std::uint32_t offset : {0u, 1u, 3u, 7u, 100u}) {  // any alignment
                    SCOPED_TRACE("n " + std::to_string(n) + ", offset " + std::to_string(offset));
                    // Exact-size copies: the sanitizer sees any read past n frames.
                    const std::vector<std::int16_t> r(ref.begin(), ref.begin() + 2 * n);
                    const std::vector<std::int16_t> x(in.begin() + 2 * offset,
                                                      in.begin() + 2 * (offset + n));
                    ASSERT_EQ(
                        simd::stretch_mmx_sse2.correlate_stereo(x.data(), r.data(), n, s),
                        simd::stretch_mmx_portable.correlate_stereo(x.data(), r.data(), n, s));
                }
            }
        }
    }
#endif
}

TEST(TempochangerMmxCrossfade, AgreesWithThePlainCrossfadeForEveryInput) {
    for (std::uint32_t s = 4; s <= 9; ++s) {
        const std::uint32_t n = 1u << s;
        for (std::uint32_t seed = 0; seed < 4; ++seed) {
            SCOPED_TRACE("n " + std::to_string(n) + ", seed " + std::to_string(seed));
            auto mid = random_samples(2 * n, seed);
            auto input = random_samples(2 * (n + 9), seed + 50);
            if (seed == 3) {  // the extremes, against each other
                for (std::size_t i = 0; i < mid.size(); ++i)
                    mid[i] = static_cast<std::int16_t>(i % 2 ? -32768 : 32767);
                for (std::size_t i = 0; i < input.size(); ++i)
                    input[i] = static_cast<std::int16_t>(i % 2 ? 32767 : -32768);
            }
            for (simd::level level : {simd::level::scalar, kernel_level(active_variant())}) {
                plain_probe plain;
                mmx_probe packed(level);
                plain.overlap_length = packed.overlap_length = n;
                plain.overlap_shift = packed.overlap_shift = s;
                std::copy(mid.begin(), mid.end(), plain.overlap_buffer.get());
                std::copy(mid.begin(), mid.end(), packed.overlap_buffer.get());
                plain.append_input(input.data(), n + 9);
                packed.append_input(input.data(), n + 9);
                std::vector<std::int16_t> a(2 * n), b(2 * n);
                plain.overlap_stereo(a.data(), 9);
                packed.overlap_stereo(b.data(), 9);
                ASSERT_EQ(a, b);
            }
        }
    }
}

TEST(TempochangerMmxCrossfade, SameValuesAsPlainForShortOverlap) {
    // n = 16: four steps of four frames.
    mmx_probe t;
    t.set_parameters(8000, 82, 28, 1);
    std::fill(t.overlap_buffer.get(), t.overlap_buffer.get() + 32, std::int16_t{1000});
    const std::vector<std::int16_t> input(2 * 20, -1000);
    t.append_input(input.data(), 20);
    std::vector<std::int16_t> dest(32);
    t.overlap_stereo(dest.data(), 2);
    EXPECT_EQ(dest[0], 1000);
    EXPECT_EQ(dest[1], 1000);
    EXPECT_EQ(dest[16], 0);
    EXPECT_EQ(dest[30], -875);
    EXPECT_EQ(dest[31], -875);
}

TEST(TempochangerMmxSearch, QuickSearchStaysInsideTheWindow) {
    const auto input = random_samples(2 * (1234 + 512), 31);
    const auto mid = random_samples(1024, 32);
    for (std::uint32_t window : {0u, 1u, 24u, 100u, 124u, 125u, 130u, 1234u}) {
        SCOPED_TRACE(window);
        mmx_probe t;
        t.seek_length = window;
        const std::uint32_t pos = t.seek_best_overlap_stereo_quick(mid.data(), input.data());
        if (window <= 124) {
            EXPECT_EQ(pos, 0u);  // as the plain search: nothing to try
        } else {
            EXPECT_LT(pos, window);
        }
        plain_probe plain;
        plain.seek_length = window;
        if (window <= 124) {
            EXPECT_EQ(plain.seek_best_overlap_stereo_quick(mid.data(), input.data()), 0u);
        }
    }
}

TEST(TempochangerMmxSearch, SilentOverlapGivesTheFirstPositionTried) {
    const auto input = random_samples(2 * (1234 + 511), 33);
    mmx_probe t;
    EXPECT_EQ(t.seek_best_overlap_stereo(t.overlap_buffer.get(), input.data()), 0u);
    EXPECT_EQ(t.seek_best_overlap_stereo_quick(t.overlap_buffer.get(), input.data()), 124u);
}

TEST(TempochangerMmxSearch, FullSearchFindsAPlantedMatch) {
    // The overlap copied from input frame 777: the reference then matches
    // there best by far.
    auto input = random_samples(2 * (1234 + 511), 34, -12000, 12000);
    mmx_probe t;
    std::copy(input.begin() + 2 * 777, input.begin() + 2 * (777 + 512), t.overlap_buffer.get());
    EXPECT_EQ(t.seek_best_overlap_stereo(t.overlap_buffer.get(), input.data()), 777u);
    plain_probe plain;
    std::copy(input.begin() + 2 * 777, input.begin() + 2 * (777 + 512), plain.overlap_buffer.get());
    EXPECT_EQ(plain.seek_best_overlap_stereo(plain.overlap_buffer.get(), input.data()), 777u);
}

TEST(TempochangerMmxStream, OneChannelGivesExactlyThePlainOutput) {
    const auto signal = random_samples(44100 * 10, 35, -20000, 20000);
    plain_probe plain;
    mmx_probe packed;
    for (tempochanger* t :
         {static_cast<tempochanger*>(&plain), static_cast<tempochanger*>(&packed)}) {
        t->set_channels(1);
        t->set_parameters(44100, 82, 28, 12);
        t->set_block_size(1024);
        t->set_tempo(7071);
    }
    const auto a = run_stream(plain, signal, 1, 512, {362, 363});
    const auto b = run_stream(packed, signal, 1, 512, {362, 363});
    ASSERT_GT(a.output.size(), 44100u * 9);
    EXPECT_EQ(a.frames_per_call, b.frames_per_call);
    EXPECT_EQ(a.output, b.output);
}

TEST(TempochangerMmxStream, TwoChannelsGiveTheSameOnEveryLevel) {
    // The SSE2 kernels against the portable ones through whole streams, full
    // scale, with the quick search as well as the full one.
    const auto signal = random_samples(2 * 44100 * 4, 36);
    for (std::uint32_t quick : {0u, 1u}) {
        SCOPED_TRACE(quick);
        mmx_probe portable(simd::level::scalar);
        mmx_probe best;
        for (mmx_probe* t : {&portable, &best}) {
            t->set_block_size(2048);
            t->set_tempo(14142);
            t->quick_seek = quick;
        }
        const auto a = run_stream(portable, signal, 2, 512, {724});
        const auto b = run_stream(best, signal, 2, 512, {724});
        ASSERT_GT(a.output.size(), 2u * 44100 * 2);
        EXPECT_EQ(a.output, b.output);
    }
}

TEST(TempochangerMmxStream, DestroyedThroughTheBaseClass) {
    std::unique_ptr<tempochanger> t = std::make_unique<tempochanger_mmx>();
    t->set_channels(1);
    t->set_block_size(1024);
    const auto signal = random_samples(512 * 12, 37);
    std::vector<std::int16_t> out(512);
    std::uint32_t total = 0;
    for (int call = 0; call < 12; ++call)
        total += t->process(out.data(), signal.data() + 512 * call, 512);
    EXPECT_GT(total, 0u);
    t.reset();  // the sanitizer checks that everything is freed correctly
}

}  // namespace
}  // namespace squeakbox
