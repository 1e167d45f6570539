#include "engine/rate_transposer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "test_signals.h"

namespace squeakbox {
namespace {

using samples = std::vector<std::int16_t>;

struct transposer_probe : rate_transposer_stage {
    using rate_transposer_stage::append_store;
    using rate_transposer_stage::filtered_buffer;
    using rate_transposer_stage::interpolate_mono;
    using rate_transposer_stage::interpolate_stereo;
    using rate_transposer_stage::output_limit;
    using rate_transposer_stage::position;
    using rate_transposer_stage::previous_left;
    using rate_transposer_stage::previous_right;
    using rate_transposer_stage::rate_transposer_stage;
    using rate_transposer_stage::store_buffer;
    using rate_transposer_stage::store_frames;

    samples interpolate(const samples& in, unsigned channels) {
        const auto count = static_cast<std::uint32_t>(in.size() / channels);
        samples out((std::size_t{count} * 10000 / current_rate() + 2) * channels);
        const std::uint32_t n = channels == 2 ? interpolate_stereo(out.data(), in.data(), count)
                                              : interpolate_mono(out.data(), in.data(), count);
        out.resize(std::size_t{n} * channels);
        return out;
    }
};

// Room for everything a call can write: the held frames plus the
// interpolation of the block (2 frames to spare for the position and an odd
// frame the pair filter held back). Exactly sized, so the address sanitizer
// sees a write past it.
std::size_t output_room(const transposer_probe& t, std::uint32_t count) {
    if (t.current_rate() == 10000)
        return t.is_empty() ? count : std::min(t.output_limit, t.store_frames + count);
    return t.store_frames + std::size_t{count} * 10000 / t.current_rate() + 2;
}

samples run_block(transposer_probe& t, const samples& in) {
    const unsigned ch = t.channel_count();
    const auto count = static_cast<std::uint32_t>(in.size() / ch);
    const bool only_history = t.store_frames <= t.filter().taps() + 1;
    const std::size_t bound = output_room(t, count);
    samples out(bound * ch);
    const std::uint32_t n = t.process(out.data(), in.data(), count);
    EXPECT_LE(n, bound);
    if (only_history && t.current_rate() != 10000) {
        EXPECT_LE(n, std::size_t{count} * 10000 / t.current_rate() + 2);
    }
    out.resize(std::size_t{n} * ch);
    return out;
}

TEST(RateTransposerInterpolation, WorkedExamples) {
    transposer_probe a(0), b(0), c(0), stereo(0);
    for (transposer_probe* t : {&a, &b, &c}) t->set_channels(1);
    a.set_rate(5000);
    EXPECT_EQ(a.interpolate({100, 200, 300}, 1), (samples{0, 50, 100, 150, 200, 250, 300}));
    EXPECT_EQ(a.position, 5000);
    EXPECT_EQ(a.previous_left, 300);

    b.set_rate(20000);
    EXPECT_EQ(b.interpolate({100, 200, 300, 400}, 1), (samples{0, 200, 400}));
    EXPECT_EQ(b.position, 20000);
    EXPECT_EQ(b.interpolate({500, 600}, 1), (samples{600}));

    // Division truncates toward zero: -1.5 becomes -1.
    c.set_rate(5000);
    EXPECT_EQ(c.interpolate({-3, -3}, 1), (samples{0, -1, -3, -3, -3}));

    // Two channels share the position and the weights.
    stereo.set_rate(5000);
    EXPECT_EQ(stereo.interpolate({100, -100, 200, -200, 300, -300}, 2),
              (samples{0, 0, 50, -50, 100, -100, 150, -150, 200, -200, 250, -250, 300, -300}));
    EXPECT_EQ(stereo.position, 5000);
    EXPECT_EQ(stereo.previous_left, 300);
    EXPECT_EQ(stereo.previous_right, -300);
}

// A call starting at position p0 writes the frames at p0, p0 + rate, ... up to
// and including count * 10000 and carries the rest over; also for blocks of a
// single frame, and at full scale (where the weighted sum is largest).
TEST(RateTransposerInterpolation, WritesEveryPositionUpToTheBlockEnd) {
    std::mt19937 gen(5);
    for (unsigned channels : {1u, 2u}) {
        for (std::uint32_t rate :
             {1u, 3u, 5000u, 7071u, 9438u, 9999u, 10001u, 10594u, 14142u, 20000u, 35000u}) {
            transposer_probe t(0);
            t.set_channels(channels);
            t.set_rate(rate);
            for (int call = 0; call < 60; ++call) {
                const std::uint32_t count = 1 + gen() % (rate < 100 ? 3 : 40);
                samples in = testing::random_samples(count * channels, gen());
                if (call % 3 == 0)
                    std::replace_if(
                        in.begin(), in.end(), [](auto s) { return s < 0; }, -32768);
                const std::int64_t p0 = t.position;
                const std::int16_t before = t.previous_left;
                const samples out = t.interpolate(in, channels);
                const std::int64_t end = std::int64_t{count} * 10000;
                const std::int64_t expected = p0 <= end ? (end - p0) / rate + 1 : 0;
                ASSERT_EQ(out.size() / channels, std::size_t(expected)) << rate << " at " << p0;
                EXPECT_EQ(t.position, p0 + expected * rate - end);
                EXPECT_GT(t.position, 0);
                EXPECT_EQ(t.previous_left, in[(count - 1) * channels]);
                // Each frame lies between the two it is drawn from.
                for (std::size_t k = 0; k < out.size(); k += channels) {
                    const std::int64_t q =
                        p0 + std::int64_t(k / channels) * rate;  // from the previous frame
                    const std::int64_t right = std::max<std::int64_t>(0, (q + 9999) / 10000 - 1);
                    const std::int16_t a = right == 0 ? before : in[(right - 1) * channels];
                    const std::int16_t b = q == 0 ? before : in[right * channels];
                    ASSERT_GE(out[k], std::min(a, b));
                    ASSERT_LE(out[k], std::max(a, b));
                }
            }
        }
    }
}

TEST(RateTransposerStage, CutoffFollowsTheRate) {
    transposer_probe t(1);
    EXPECT_EQ(t.filter().cutoff_fraction(), 0.5);
    const struct {
        std::uint32_t rate;
        double cutoff;
    } cases[] = {{10000, 0.5},
                 {5000, 0.25},
                 {20000, 0.25},
                 {10594, 5000.0 / 10594},
                 {7071, 7071 * 0.5 / 10000}};
    for (const auto& c : cases) {
        t.set_rate(c.rate);
        EXPECT_EQ(t.filter().cutoff_fraction(), c.cutoff) << c.rate;
    }
    // Rate 0 would divide by zero and never advance; it is held at 1.
    t.set_rate(0);
    EXPECT_EQ(t.current_rate(), 1u);
    t.set_channels(1);
    samples out(2 * 10000 + 2);
    EXPECT_EQ(t.process(out.data(), samples{1, 2}.data(), 2), 2 * 10000 + 1 - 32u);
}

// With one channel, 32 taps and blocks of 512 frames: the first block is
// 32 frames short (the filter's history fills), later ones vary by one frame
// with the carried position.
TEST(RateTransposerStage, FramesPerBlockAtThePitchRates) {
    const struct {
        std::uint32_t rate, first;
        std::set<std::uint32_t> later;
    } cases[] = {{10594, 454, {483, 484}}, {14142, 340, {362, 363}}, {20000, 241, {256}},
                 {5000, 993, {1024}},      {9438, 511, {542, 543}},  {7071, 693, {724, 725}}};
    for (const auto& c : cases) {
        transposer_probe t(0);
        t.set_channels(1);
        t.set_rate(c.rate);
        const samples block = testing::random_samples(512, c.rate);
        std::set<std::uint32_t> seen;
        std::pair<std::uint32_t, std::uint32_t> capacities;
        for (int b = 0; b < 400; ++b) {
            const std::int64_t p0 = t.position;
            const std::int64_t held = t.store_frames;
            const auto n = static_cast<std::int64_t>(run_block(t, block).size());
            if (b == 0) {
                EXPECT_EQ(n, c.first) << c.rate;
            } else {
                seen.insert(std::uint32_t(n));
            }
            // The count follows from the position the block starts at.
            const std::int64_t filtered = c.rate > 10000 ? held + 512 - 32 : 0;
            const std::int64_t expected = c.rate > 10000 ? (filtered * 10000 - p0) / c.rate + 1
                                                         : held + (5120000 - p0) / c.rate + 1 - 32;
            ASSERT_EQ(n, expected) << c.rate << ", block " << b;
            ASSERT_EQ(t.store_frames, 32u);
            // Equal blocks stop allocating once the buffers have grown.
            if (b == 2) capacities = {t.store_buffer.capacity(), t.filtered_buffer.capacity()};
            if (b > 2) {
                ASSERT_EQ(t.store_buffer.capacity(), capacities.first);
                ASSERT_EQ(t.filtered_buffer.capacity(), capacities.second);
            }
        }
        EXPECT_EQ(seen, c.later) << c.rate;
    }
}

TEST(RateTransposerStage, UnityRatePassesBlocksThrough) {
    transposer_probe t(0);
    t.set_channels(1);
    const samples in = testing::random_samples(512, 1);
    samples out(512);
    EXPECT_EQ(t.process(out.data(), in.data(), 512), 512u);
    EXPECT_EQ(out, in);
    samples same = in;
    EXPECT_EQ(t.process(same.data(), same.data(), 512), 512u);
    EXPECT_EQ(same, in);
    EXPECT_TRUE(t.is_empty());
}

// Frames held from an earlier rate come out first, in order, followed by the
// new input, never more than output_limit per call, in place or not.
TEST(RateTransposerStage, UnityRateDrainsHeldFramesFirst) {
    for (bool in_place : {false, true}) {
        for (std::uint32_t block_bytes : {1088u, 512u, 100u}) {
            transposer_probe t(0);
            t.set_channels(1);
            t.set_block_size(block_bytes);
            ASSERT_EQ(t.output_limit, block_bytes / 2);
            t.set_rate(14142);
            const samples first = testing::random_samples(512, 2);
            run_block(t, first);
            ASSERT_EQ(t.store_frames, 32u);
            t.set_rate(10000);

            samples expected(first.end() - 32, first.end());  // the filter's history
            samples got;
            for (int b = 0; b < 6; ++b) {
                const samples in = testing::random_samples(512, 10 + b);
                expected.insert(expected.end(), in.begin(), in.end());
                samples buffer = in;
                buffer.resize(std::max<std::size_t>(512, t.output_limit));
                const std::uint32_t n = in_place ? t.process(buffer.data(), buffer.data(), 512)
                                                 : t.process(buffer.data(), in.data(), 512);
                EXPECT_LE(n, t.output_limit);
                got.insert(got.end(), buffer.begin(), buffer.begin() + n);
            }
            while (!t.is_empty()) {
                samples buffer(t.output_limit);
                const std::uint32_t n = t.process(buffer.data(), nullptr, 0);
                ASSERT_GT(n, 0u);
                got.insert(got.end(), buffer.begin(), buffer.begin() + n);
            }
            EXPECT_EQ(got, expected) << block_bytes << (in_place ? " in place" : "");
        }
    }
    // The worked case: 32 held, limit 544, a block of 512 writes all 544 frames.
    transposer_probe t(0);
    t.set_channels(1);
    t.set_block_size(1088);
    const samples held = testing::random_samples(32, 3), in = testing::random_samples(512, 4);
    t.append_store(held.data(), 32);
    samples out(544);
    ASSERT_EQ(t.process(out.data(), in.data(), 512), 544u);
    EXPECT_TRUE(std::equal(held.begin(), held.end(), out.begin()));
    EXPECT_TRUE(std::equal(in.begin(), in.end(), out.begin() + 32));
    EXPECT_TRUE(t.is_empty());
}

TEST(RateTransposerStage, ChannelChangeRecountsHeldFramesAndRestartsInterpolation) {
    transposer_probe t(0);
    t.set_block_size(1024);
    EXPECT_EQ(t.output_limit, 256u);  // two channels at construction
    t.set_rate(5000);
    const samples held = testing::random_samples(32, 5);
    t.append_store(held.data(), 16);
    samples out(200);
    t.process(out.data(), samples{7, 8, 9, 10}.data(), 2);
    const auto frames = t.store_frames;
    const auto position = t.position;
    t.set_channels(2);  // unchanged: nothing moves
    EXPECT_EQ(t.store_frames, frames);
    EXPECT_EQ(t.position, position);
    EXPECT_EQ(t.previous_left, 9);

    t.set_channels(1);
    EXPECT_EQ(t.store_frames, 2 * frames);
    EXPECT_EQ(t.output_limit, 512u);
    EXPECT_EQ(t.position, 0);
    EXPECT_EQ(t.previous_left, 0);
    EXPECT_EQ(t.previous_right, 0);
    t.set_channels(2);
    EXPECT_EQ(t.store_frames, frames);
    EXPECT_EQ(t.output_limit, 256u);
}

TEST(RateTransposerStage, RateChangeKeepsPositionAndHistory) {
    transposer_probe t(0);
    t.set_channels(1);
    t.set_rate(14142);
    run_block(t, testing::random_samples(512, 6));
    const auto position = t.position;
    const auto previous = t.previous_left;
    t.set_rate(9438);
    EXPECT_EQ(t.position, position);
    EXPECT_EQ(t.previous_left, previous);
    EXPECT_EQ(t.store_frames, 32u);
}

// A stream through a schedule of rates, cut into blocks one way and another.
struct phase {
    std::uint32_t rate;
    std::size_t frames;
};

samples run_schedule(transposer_probe& t, const samples& signal, const std::vector<phase>& schedule,
                     const std::function<std::size_t()>& next_block) {
    const unsigned ch = t.channel_count();
    samples out;
    std::size_t at = 0;
    for (const phase& p : schedule) {
        t.set_rate(p.rate);
        const std::size_t end = at + p.frames;
        while (at < end) {
            const std::size_t count = std::min(next_block(), end - at);
            const samples in(signal.begin() + at * ch, signal.begin() + (at + count) * ch);
            const samples got = run_block(t, in);
            out.insert(out.end(), got.begin(), got.end());
            at += count;
        }
    }
    return out;
}

TEST(RateTransposerStage, OutputDoesNotDependOnHowTheInputIsCut) {
    const std::vector<phase> schedule = {{14142, 6000}, {10000, 1500}, {7071, 5000}, {20000, 4000},
                                         {9438, 4000},  {10594, 3000}, {5000, 3000}, {10000, 3000}};
    std::size_t total = 0;
    for (const phase& p : schedule) total += p.frames;
    for (unsigned channels : {1u, 2u}) {
        for (int mmx : {0, 1}) {
            samples signal = testing::random_samples(total * channels, 21 + channels);
            // A loud stretch overshoots through the filter.
            std::fill(signal.begin() + 1000 * channels, signal.begin() + 1200 * channels, 32767);
            auto whole_run = [&](auto next_block) {
                transposer_probe t(mmx);
                t.set_channels(channels);
                t.set_block_size(4 * 1100 * channels);
                return run_schedule(t, signal, schedule, next_block);
            };
            const samples whole = whole_run([] { return std::size_t{512}; });
            std::mt19937 gen(channels * 10 + mmx);
            const samples random_cut = whole_run([&] { return std::size_t{gen() % 700}; });
            std::size_t next = 0;
            const samples tiny_cut = whole_run([&] { return next++ % 41; });  // 0 .. 40 frames

            // The pair filter may still hold back one odd frame at the end.
            const std::size_t slack = (mmx && channels == 2) ? 2 * channels : 0;
            for (const samples* other : {&random_cut, &tiny_cut}) {
                const std::size_t common = std::min(whole.size(), other->size());
                EXPECT_LE(std::max(whole.size(), other->size()) - common, slack);
                EXPECT_GT(common, total * channels / 2);
                EXPECT_TRUE(std::equal(whole.begin(), whole.begin() + common, other->begin()))
                    << channels << " channels, mmx " << mmx;
            }
        }
    }
}

TEST(RateTransposerStage, PairFilterTransposerMatchesThePlainOne) {
    const samples signal = testing::random_samples(2 * 20000, 31);
    for (std::uint32_t rate : {7071u, 14142u}) {
        std::vector<samples> outputs;
        for (int mmx : {0, 1}) {
            transposer_probe t(mmx);
            t.set_rate(rate);
            samples out;
            std::mt19937 gen(3);
            for (std::size_t at = 0; at < 20000;) {
                const std::size_t count = std::min<std::size_t>(34 + gen() % 600, 20000 - at);
                const samples got = run_block(
                    t, samples(signal.begin() + 2 * at, signal.begin() + 2 * (at + count)));
                out.insert(out.end(), got.begin(), got.end());
                at += count;
            }
            outputs.push_back(out);
        }
        const std::size_t common = std::min(outputs[0].size(), outputs[1].size());
        EXPECT_LE(outputs[0].size() - common + outputs[1].size() - common, 4u);
        EXPECT_TRUE(std::equal(outputs[0].begin(), outputs[0].begin() + common, outputs[1].begin()))
            << rate;
    }
}

TEST(RateTransposerStage, EveryKernelLevelGivesTheSameStream) {
    const samples signal = testing::random_samples(2 * 12000, 41);
    for (unsigned channels : {1u, 2u}) {
        for (int mmx : {0, 1}) {
            for (std::uint32_t rate : {5000u, 9438u, 14142u, 20000u}) {
                samples reference;
                for (simd::level l : simd::all_levels) {
                    if (!simd::processor_supports(l)) continue;
                    transposer_probe t(mmx, l);
                    t.set_channels(channels);
                    t.set_rate(rate);
                    samples out;
                    for (std::size_t at = 0; at + 512 <= 12000; at += 512) {
                        const samples got =
                            run_block(t, samples(signal.begin() + at * channels,
                                                 signal.begin() + (at + 512) * channels));
                        out.insert(out.end(), got.begin(), got.end());
                    }
                    if (l == simd::level::scalar) {
                        reference = out;
                        continue;
                    }
                    EXPECT_EQ(out, reference) << simd::level_name(l) << ", " << channels
                                              << " channels, mmx " << mmx << ", rate " << rate;
                }
            }
        }
    }
}

// Frequency by rising zero crossings, interpolated between samples.
double cycles_per_frame(const samples& s, std::size_t skip) {
    double first = -1, last = -1;
    std::size_t crossings = 0;
    for (std::size_t k = skip + 1; k < s.size(); ++k) {
        if (s[k - 1] < 0 && s[k] >= 0) {
            const double at = double(k - 1) + double(-s[k - 1]) / double(s[k] - s[k - 1]);
            if (crossings == 0) first = at;
            last = at;
            ++crossings;
        }
    }
    return crossings < 2 ? 0.0 : double(crossings - 1) / (last - first);
}

// Every output frame advances rate / 10000 input frames, so a tone comes out
// rate / 10000 times higher (its period 10000 / rate times as long).
TEST(RateTransposerStage, ToneComesOutAtTheRateRatio) {
    const double f = 0.01;  // 441 Hz at 44.1 kHz
    const samples tone = testing::sine(100 * 1024, f, 20000.0);
    for (std::uint32_t rate : {5000u, 7071u, 9438u, 10594u, 14142u, 20000u}) {
        transposer_probe t(0);
        t.set_channels(1);
        t.set_rate(rate);
        samples out;
        for (std::size_t at = 0; at < tone.size(); at += 512) {
            const samples got = run_block(t, samples(tone.begin() + at, tone.begin() + at + 512));
            out.insert(out.end(), got.begin(), got.end());
        }
        const double expected = f * rate / 10000.0;
        EXPECT_NEAR(cycles_per_frame(out, 200), expected, expected * 0.001) << rate;
    }
}

}  // namespace
}  // namespace squeakbox
