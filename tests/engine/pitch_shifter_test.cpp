#include "engine/pitch_shifter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <vector>

#include "engine/rate_transposer.h"
#include "engine/simd/dispatch.h"
#include "engine/tempochanger.h"
#include "engine/tempochanger_mmx.h"
#include "tests/engine/speech_signal.h"
#include "tests/engine/test_signals.h"

// Counts heap allocations while a test asks for it, so that a steady stream can
// be shown to allocate nothing. The replacement pairs operator new with free(),
// which the compiler cannot tell is deliberate once everything is inlined.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::atomic<bool> counting_allocations{false};
std::atomic<std::size_t> allocations{0};
}  // namespace

void* operator new(std::size_t size) {
    if (counting_allocations.load(std::memory_order_relaxed))
        allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace squeakbox {
namespace {

constexpr std::uint32_t block = 512;
constexpr std::int16_t canary = 0x5A5A;

// The program's set-up: one channel, the stream's rate, 1024-byte blocks.
void set_up_mono(pitch_shifter& ps, std::uint32_t sample_rate = 44100) {
    ps.set_channels(1);
    ps.set_sample_rate(sample_rate);
    ps.set_block_size(block * 2);
}

struct stream {
    std::vector<std::int16_t> output;  // everything the calls returned, in order
    std::vector<std::uint32_t> counts;
};

// Feeds `input` in blocks of `sizes` (repeated) and checks on every call that
// the engine writes no more than it may and nothing past it.
stream run(pitch_shifter& ps, const std::vector<std::int16_t>& input,
           const std::vector<std::uint32_t>& sizes, std::uint32_t limit_frames = block) {
    const std::uint32_t ch = ps.channels();
    const std::uint32_t room = std::max<std::uint32_t>(limit_frames, 32) * ch;
    std::vector<std::int16_t> out(room + 64, canary);
    stream result;
    std::size_t at = 0;
    for (std::size_t k = 0;; ++k) {
        const std::uint32_t frames = sizes[k % sizes.size()];
        if ((at + std::size_t{frames} * ch) > input.size()) break;
        const std::uint32_t n = ps.process(out.data(), input.data() + at, frames);
        at += std::size_t{frames} * ch;
        EXPECT_LE(n * ch, room) << "call " << k;
        for (std::size_t i = room; i < out.size(); ++i)
            if (out[i] != canary) {
                ADD_FAILURE() << "call " << k << " wrote past the output buffer";
                return result;
            }
        result.counts.push_back(n);
        result.output.insert(result.output.end(), out.begin(),
                             out.begin() + std::min(n * ch, room));
    }
    return result;
}

// ---------------------------------------------------------------------------
// Pitch factor, rate and tempo

struct semitone_row {
    int semitones;
    std::uint32_t rate;
    std::uint32_t tempo;
};

TEST(PitchShifterSettings, SemitonesGiveTheRatesAndTemposOfTheTable) {
    const semitone_row table[] = {{-12, 5000, 20000}, {-6, 7071, 14142},  {-1, 9438, 10594},
                                  {0, 10000, 10000},  {1, 10594, 9438},   {6, 14142, 7071},
                                  {12, 20000, 5000},  {-48, 625, 160000}, {48, 160000, 625}};
    for (const auto& row : table) {
        pitch_shifter ps;
        ps.set_pitch_semitones(row.semitones);
        EXPECT_EQ(ps.effective_rate(), row.rate) << row.semitones << " semitones";
        EXPECT_EQ(ps.effective_tempo(), row.tempo) << row.semitones << " semitones";
    }
    pitch_shifter ps;
    ps.set_pitch_semitones(12);
    EXPECT_EQ(ps.pitch(), 2.0f);
    ps.set_pitch_semitones(-12);
    EXPECT_EQ(ps.pitch(), 0.5f);
}

TEST(PitchShifterSettings, StagesAreToldOnlyAboutValuesThatChanged) {
    pitch_shifter ps;
    // Construction hands 10000 to each stage exactly once.
    EXPECT_EQ(ps.effective_rate(), 10000u);
    EXPECT_EQ(ps.effective_tempo(), 10000u);
    EXPECT_EQ(ps.rate_updates(), 1u);
    EXPECT_EQ(ps.tempo_updates(), 1u);
    EXPECT_EQ(ps.channels(), 2u);
    EXPECT_EQ(ps.intermediate_capacity(), 0u);

    ps.set_pitch_semitones(0);
    EXPECT_EQ(ps.rate_updates(), 1u);
    EXPECT_EQ(ps.tempo_updates(), 1u);

    ps.set_pitch_semitones(6);
    ps.set_pitch_semitones(6);
    EXPECT_EQ(ps.rate_updates(), 2u);
    EXPECT_EQ(ps.tempo_updates(), 2u);

    // The sample rate, block size and channels do not count as a new tempo.
    set_up_mono(ps, 48000);
    EXPECT_EQ(ps.tempo_updates(), 2u);
    EXPECT_EQ(ps.effective_tempo(), 7071u);
}

TEST(PitchShifterSettings, EveryPitchIsClampedToFourOctaves) {
    pitch_shifter ps;
    set_up_mono(ps);
    const auto input = testing::speech_like(block * 3, 44100, 7);
    std::vector<std::int16_t> out(block + 64);
    for (int s = -1000; s <= 1000; ++s) {
        ps.set_pitch_semitones(s);
        const int expect = std::clamp(s, -48, 48);
        pitch_shifter reference;
        reference.set_pitch_semitones(expect);
        ASSERT_EQ(ps.effective_rate(), reference.effective_rate()) << s;
        ASSERT_EQ(ps.effective_tempo(), reference.effective_tempo()) << s;
        ASSERT_GE(ps.effective_rate(), 625u);
        ASSERT_GE(ps.effective_tempo(), 625u);
        if (s % 37 == 0) {
            for (std::uint32_t k = 0; k < 3; ++k)
                ASSERT_LE(ps.process(out.data(), input.data() + k * block, block), block);
        }
    }
    for (int s : {INT_MIN, INT_MIN + 1, INT_MAX}) {
        ps.set_pitch_semitones(s);
        EXPECT_EQ(ps.effective_rate(), s < 0 ? 625u : 160000u);
        EXPECT_LE(ps.process(out.data(), input.data(), block), block);
    }
    ps.set_pitch_octaves(std::numeric_limits<float>::infinity());
    EXPECT_EQ(ps.effective_rate(), 160000u);
    ps.set_pitch_octaves(-1e30f);
    EXPECT_EQ(ps.effective_rate(), 625u);
    ps.set_pitch_octaves(std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(ps.effective_rate(), 625u) << "NaN leaves the pitch as it was";
    ps.set_pitch_octaves(0.5f);
    EXPECT_EQ(ps.effective_rate(), 14142u);
}

// ---------------------------------------------------------------------------
// Intermediate buffer and routes

TEST(PitchShifterRoutes, IntermediateBufferFitsTheBlockAtTheRate) {
    const auto input = testing::speech_like(block * 4, 44100, 3);
    std::vector<std::int16_t> out(block);
    for (auto [semitones, need] : {std::pair{1, 515u}, {6, 394u}, {-12, 1056u}}) {
        pitch_shifter ps;
        set_up_mono(ps);
        ps.set_pitch_semitones(semitones);
        ps.process(out.data(), input.data(), block);
        EXPECT_EQ(ps.intermediate_capacity(), need) << semitones;
        EXPECT_EQ(ps.transposer_block_bytes(), need * 2) << semitones;
    }

    // A later rate that needs less keeps the larger buffer and block size.
    pitch_shifter ps;
    set_up_mono(ps);
    ps.set_pitch_semitones(-12);
    ps.process(out.data(), input.data(), block);
    ps.set_pitch_semitones(6);
    ps.process(out.data(), input.data() + block, block);
    EXPECT_EQ(ps.intermediate_capacity(), 1056u);
    EXPECT_EQ(ps.transposer_block_bytes(), 2112u);
}

TEST(PitchShifterRoutes, ReturningToUnisonDrainsTheTransposerThenBypassesIt) {
    const auto input = testing::speech_like(block * 40, 44100, 5);
    std::vector<std::int16_t> out(block);
    pitch_shifter ps;
    set_up_mono(ps);
    ps.set_pitch_semitones(1);
    for (std::uint32_t k = 0; k < 4; ++k) ps.process(out.data(), input.data() + k * block, block);
    EXPECT_EQ(ps.intermediate_capacity(), 515u);
    ASSERT_FALSE(ps.transposer().is_empty());

    ps.set_pitch_semitones(0);
    ps.process(out.data(), input.data() + 4 * block, block);
    // Still through the transposer: at rate 10000 a block needs 544 samples.
    EXPECT_EQ(ps.intermediate_capacity(), 544u);
    EXPECT_EQ(ps.transposer_block_bytes(), 1088u);

    std::uint32_t k = 5;
    for (; k < 10 && !ps.transposer().is_empty(); ++k)
        ps.process(out.data(), input.data() + k * block, block);
    ASSERT_TRUE(ps.transposer().is_empty()) << "the held frames never drained";
    // From here on the transposer is bypassed: even a block twice as long
    // leaves the intermediate buffer alone.
    std::vector<std::int16_t> wide(2 * block);
    ps.set_block_size(4 * block);
    ps.process(wide.data(), input.data() + k * block, 2 * block);
    EXPECT_EQ(ps.intermediate_capacity(), 544u);
    EXPECT_TRUE(ps.transposer().is_empty());
}

TEST(PitchShifterRoutes, UnisonWithAnEmptyTransposerIsTheTempoChangerAlone) {
    for (std::uint32_t rate : {44100u, 48000u, 8000u}) {
        const auto input = testing::speech_like(block * 60, rate, 11);
        pitch_shifter ps(engine_choice::plain);
        set_up_mono(ps, rate);
        tempochanger alone;
        alone.set_channels(1);
        alone.set_parameters(rate, 82, 28, 12);
        alone.set_tempo(10000);
        alone.set_block_size(block * 2);

        const stream shifted = run(ps, input, {block});
        std::vector<std::int16_t> out(block);
        std::vector<std::int16_t> expected;
        for (std::size_t at = 0; at + block <= input.size(); at += block) {
            const std::uint32_t n = alone.process(out.data(), input.data() + at, block);
            expected.insert(expected.end(), out.begin(), out.begin() + n);
        }
        EXPECT_EQ(shifted.output, expected) << rate << " Hz";
        EXPECT_EQ(ps.intermediate_capacity(), 0u);
    }
}

// ---------------------------------------------------------------------------
// Equivalence of engines, levels and block sizes

TEST(PitchShifterEquivalence, PlainAndProcessorSpecificClassesAgreeInMono) {
    if (!pitch_shifter::processor_has_mmx())
        GTEST_SKIP() << "this processor cannot run the processor-specific classes";
    const std::vector<std::vector<std::int16_t>> inputs = {
        testing::random_samples(block * 150, 21), testing::speech_like(block * 150, 44100, 22)};
    for (int semitones : {6, -5, 12, 0, 1, 47}) {
        for (const auto& input : inputs) {
            pitch_shifter plain(engine_choice::plain);
            pitch_shifter mmx(engine_choice::mmx);
            EXPECT_FALSE(plain.uses_mmx_classes());
            EXPECT_TRUE(mmx.uses_mmx_classes());
            for (pitch_shifter* ps : {&plain, &mmx}) {
                set_up_mono(*ps);
                ps->set_pitch_semitones(semitones);
            }
            const stream a = run(plain, input, {block});
            const stream b = run(mmx, input, {block});
            EXPECT_EQ(a.counts, b.counts) << semitones;
            ASSERT_EQ(a.output, b.output) << semitones;
            // Not a comparison of nothing (at +47 the first sequence needs
            // about 1.7 s of input).
            EXPECT_GT(a.output.size(), input.size() / 50) << semitones;
        }
    }
}

TEST(PitchShifterEquivalence, EveryKernelLevelGivesTheSameStream) {
    const auto input = testing::speech_like(block * 120, 44100, 31);
    for (engine_choice choice : {engine_choice::plain, engine_choice::automatic}) {
        pitch_shifter reference(choice, simd::level::scalar);
        set_up_mono(reference);
        reference.set_pitch_semitones(6);
        const stream expected = run(reference, input, {block});
        for (simd::level l : simd::all_levels) {
            if (!simd::processor_supports(l)) continue;
            pitch_shifter ps(choice, l);
            set_up_mono(ps);
            ps.set_pitch_semitones(6);
            EXPECT_EQ(run(ps, input, {block}).output, expected.output) << simd::level_name(l);
        }
    }
}

TEST(PitchShifterEquivalence, BlockSizesChangeOnlyThePacing) {
    // The stream that comes out is the same whatever the block sizes; only how
    // much of it each call hands out differs, so the common part must agree.
    const auto input = testing::speech_like(block * 120, 44100, 41);
    for (int semitones : {0, 6, -7}) {
        std::vector<std::int16_t> whole;
        for (const std::vector<std::uint32_t>& sizes : std::vector<std::vector<std::uint32_t>>{
                 {512}, {64, 400, 100, 300, 512, 1000}, {777}}) {
            pitch_shifter ps;
            set_up_mono(ps);
            ps.set_block_size(2048 * 2);
            ps.set_pitch_semitones(semitones);
            const stream s = run(ps, input, sizes, 2048);
            if (whole.empty()) {
                whole = s.output;
                ASSERT_GT(whole.size(), input.size() / 2);
                continue;
            }
            const std::size_t common = std::min(whole.size(), s.output.size());
            EXPECT_GT(common, input.size() / 2);
            EXPECT_TRUE(std::equal(whole.begin(), whole.begin() + common, s.output.begin()))
                << semitones << " semitones, first block size " << sizes[0];
        }
    }
}

// ---------------------------------------------------------------------------
// Streams

TEST(PitchShifterStream, SteadyStreamAllocatesNothingAfterItsFirstBlocks) {
    // Where rate and tempo undo each other exactly, the whole engine settles
    // within its first few hundred blocks.
    const auto input = testing::speech_like(block * 2300, 44100, 51);
    std::vector<std::int16_t> out(block);
    for (int semitones : {0, 12, -12}) {
        pitch_shifter ps;
        set_up_mono(ps);
        ps.set_pitch_semitones(semitones);
        for (std::uint32_t k = 0; k < 300; ++k)
            ps.process(out.data(), input.data() + k * block, block);
        allocations = 0;
        counting_allocations = true;
        for (std::uint32_t k = 300; k < 2300; ++k)
            ps.process(out.data(), input.data() + k * block, block);
        counting_allocations = false;
        EXPECT_EQ(allocations.load(), 0u) << semitones << " semitones";
    }
    // Elsewhere the truncated rate and skip leave the tempo changer a fraction
    // of a frame ahead per block, so its output store creeps up now and then;
    // the front end's own buffer is sized by the first block for good.
    for (int semitones : {6, -6, 1}) {
        pitch_shifter ps;
        set_up_mono(ps);
        ps.set_pitch_semitones(semitones);
        ps.process(out.data(), input.data(), block);
        const std::uint32_t capacity = ps.intermediate_capacity();
        for (std::uint32_t k = 1; k < 2300; ++k)
            ps.process(out.data(), input.data() + k * block, block);
        EXPECT_EQ(ps.intermediate_capacity(), capacity) << semitones << " semitones";
    }
}

TEST(PitchShifterStream, KeepsTheDurationAtEverySampleRateAndPitch) {
    // 48 kHz needs longer sequences than the tempo changer's defaults; 8 kHz
    // shorter ones. Either way the output keeps pace with the input.
    for (std::uint32_t rate : {48000u, 8000u, 44100u}) {
        const auto input = testing::speech_like(rate * 12 / block * block, rate, 61);
        for (int semitones : {0, 6, -6, 12, 48, -48}) {
            pitch_shifter ps;
            set_up_mono(ps, rate);
            ps.set_pitch_semitones(semitones);
            const stream s = run(ps, input, {block});
            // A second's worth of latency at most, except four octaves away:
            // at +48 the tempo changer's first sequence needs its 4850 frames
            // (at 44.1 kHz) of input sixteen times over, about 1.8 s; at -48
            // its pacing keeps a call's count, sixteen blocks, in hand.
            const std::size_t latency = std::abs(semitones) == 48 ? rate * 2 : rate;
            EXPECT_GE(s.output.size() + latency, input.size()) << rate << " Hz " << semitones;
            EXPECT_LE(s.output.size(), input.size()) << rate << " Hz " << semitones;
        }
    }
}

TEST(PitchShifterStream, StereoAndEmptyBlocksAreHandled) {
    const auto input = testing::speech_like(block * 2 * 60, 44100, 71);
    for (int semitones : {0, 5, -5}) {
        pitch_shifter ps;
        ps.set_sample_rate(44100);
        ps.set_block_size(block * 4);
        ps.set_pitch_semitones(semitones);
        std::vector<std::int16_t> out(2 * block);
        EXPECT_LE(ps.process(out.data(), input.data(), 0), block);
        const stream s = run(ps, input, {block, 0, block});
        EXPECT_GT(s.output.size(), input.size() / 2) << semitones;
        EXPECT_LE(ps.process(out.data(), input.data(), 0), block);
    }
}

TEST(PitchShifterStream, HighPitchesWithFewFramesPerBlockKeepFlowing) {
    // From +48 semitones on, the transposer delivers fewer than 32 frames for
    // some blocks; the second stage must take them and the stream must go on.
    const auto input = testing::speech_like(block * 500, 44100, 81);
    pitch_shifter ps;
    set_up_mono(ps);
    ps.set_pitch_semitones(48);
    const stream s = run(ps, input, {block});
    EXPECT_GT(s.output.size(), input.size() / 2);
}

}  // namespace
}  // namespace squeakbox
