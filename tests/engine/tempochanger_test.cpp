// The tempo changer: parameters, pacing, buffers, search and cross-fade, and
// the behaviour of whole streams.

#include "engine/tempochanger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

#include "tempochanger_probe.h"

namespace squeakbox {
namespace {

using testing::plain_probe;
using testing::random_samples;
using testing::run_stream;

// Sets a stretcher up as the program does: one channel, 1024-byte blocks.
void program_setup(tempochanger& t) {
    t.set_channels(1);
    t.set_parameters(44100, 82, 28, 12);
    t.set_block_size(1024);
}

// Speech-like test material: a few harmonics with a slow vibrato and noise.
std::vector<std::int16_t> voice(std::size_t frames, std::uint32_t seed, double amplitude = 9000) {
    const auto noise = random_samples(frames, seed, -800, 800);
    std::vector<std::int16_t> out(frames);
    double phase = 0;
    for (std::size_t i = 0; i < frames; ++i) {
        const double f0 = 140 + 25 * std::sin(2 * M_PI * 3.1 * static_cast<double>(i) / 44100);
        phase += 2 * M_PI * f0 / 44100;
        const double v = std::sin(phase) + 0.5 * std::sin(2 * phase) + 0.25 * std::sin(3 * phase);
        out[i] = static_cast<std::int16_t>(amplitude * v / 1.75 + noise[i]);
    }
    return out;
}

TEST(TempochangerSetup, NewObjectHasTheSystemsParameters) {
    plain_probe t;
    EXPECT_EQ(t.seek_length, 1234u);
    EXPECT_EQ(t.seek_margin, 1234u);
    EXPECT_EQ(t.sequence_length, 3616u);
    EXPECT_EQ(t.overlap_length, 512u);
    EXPECT_EQ(t.overlap_shift, 9u);
    EXPECT_EQ(t.reference_shift, 15u);
    EXPECT_EQ(t.tempo, 10000u);
    EXPECT_EQ(t.input_required, 4850u);
    EXPECT_EQ(t.channels, 2u);
    EXPECT_EQ(t.output_limit, 0u);
    EXPECT_EQ(t.block_bytes, 0u);
    EXPECT_EQ(t.quick_seek, 0u);
    EXPECT_EQ(t.input_frames + t.output_frames + t.output_start, 0u);
    EXPECT_EQ(t.input_capacity + t.output_capacity, 0u);
    // The first sequence fades out of a silent overlap.
    EXPECT_TRUE(std::all_of(t.overlap_buffer.get(), t.overlap_buffer.get() + 1024,
                            [](std::int16_t s) { return s == 0; }));
}

TEST(TempochangerSetup, ParametersFollowSampleRateAndDurations) {
    struct row {
        std::uint32_t rate, sequence_ms, seek_ms, overlap_ms;
        std::uint32_t seek, sequence, shift, required;
    };
    // required: max(overlap + skip, sequence) + seek at tempo 10000.
    const row rows[] = {
        {44100, 82, 28, 12, 1234, 3616, 9, 4850},
        {8000, 82, 28, 1, 224, 656, 4, 880},       // x = 8: exponent 3, raised to 4
        {44100, 82, 28, 50, 1234, 3616, 9, 4850},  // x = 2205: exponent 11, lowered to 9
        {44100, 82, 28, 6, 1234, 3616, 8, 4850},   // x = 264.6
        {44100, 82, 28, 8, 1234, 3616, 8, 4850},   // x = 352.8: 8.46 + 0.5 truncates to 8
        {44100, 82, 28, 9, 1234, 3616, 9, 4850},   // x = 396.9: 8.63 + 0.5 gives 9
        {44100, 82, 28, 1, 1234, 3616, 5, 4850},   // x = 44.1
        {48000, 82, 28, 12, 1344, 3936, 9, 5280},
        {8000, 82, 28, 12, 224, 656, 7, 880},  // x = 96
        {96000, 82, 28, 12, 2688, 7872, 9, 10560},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::to_string(r.rate) + " Hz, overlap " + std::to_string(r.overlap_ms));
        plain_probe t;
        t.set_parameters(r.rate, r.sequence_ms, r.seek_ms, r.overlap_ms);
        EXPECT_EQ(t.seek_length, r.seek);
        EXPECT_EQ(t.seek_margin, r.seek);
        EXPECT_EQ(t.sequence_length, r.sequence);
        EXPECT_EQ(t.overlap_shift, r.shift);
        EXPECT_EQ(t.overlap_length, 1u << r.shift);
        EXPECT_EQ(t.reference_shift, 2 * r.shift - 3);
        // Derived again without a set_tempo: a stale 4850 at 48 kHz would let a
        // sequence read 430 frames past the held input.
        EXPECT_EQ(t.input_required, r.required);
    }
}

TEST(TempochangerSetup, NonsenseRatesStillGiveAWorkingGeometry) {
    for (std::uint32_t rate : {0u, 1u, 100u, 390u}) {
        SCOPED_TRACE(rate);
        plain_probe t;
        t.set_parameters(rate, 82, 28, 12);
        EXPECT_EQ(t.overlap_length, 16u);
        EXPECT_GE(t.sequence_length, 2 * t.overlap_length);
        EXPECT_GE(t.input_required, t.sequence_length + t.seek_length);
    }
}

TEST(TempochangerSetup, TempoSetsInputRequirement) {
    struct row {
        std::uint32_t tempo, returned, required;
    };
    const row rows[] = {
        {5000, 3616, 4850},   // skip 1552: the sequence is the larger term
        {10000, 3616, 4850},  // skip 3104
        {20000, 6720, 7954},  // skip 6208
        {7071, 3616, 4850},   // skip 2194
        {14142, 4901, 6135},  // skip 4389
        // 3104 * 2000000 wraps in 32 bits to 1913032704: skip 191303.
        {2000000, 191815, 193049},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.tempo);
        plain_probe t;
        EXPECT_EQ(t.set_tempo(r.tempo), r.returned);
        EXPECT_EQ(t.tempo, r.tempo);
        EXPECT_EQ(t.input_required, r.required);
    }

    // The requirement follows a later change of parameters at the set tempo.
    plain_probe t;
    t.set_tempo(20000);
    t.set_parameters(48000, 82, 28, 12);
    EXPECT_EQ(t.input_required, 512 + 3424 * 2 + 1344u);

    // 0 is no tempo (it would divide the pacing by zero): ignored.
    EXPECT_EQ(t.set_tempo(0), 512 + 3424 * 2u);
    EXPECT_EQ(t.tempo, 20000u);
}

TEST(TempochangerSetup, ChannelChangesRescaleHeldCountsAndLimit) {
    plain_probe t;
    t.set_block_size(1024);
    EXPECT_EQ(t.output_limit, 256u);
    const auto samples = random_samples(402, 1);
    t.append_input(samples.data(), 100);
    t.output_frames = 40;
    t.output_start = 6;

    t.set_channels(2);  // already two: nothing happens
    EXPECT_EQ(t.input_frames, 100u);

    t.set_channels(1);
    EXPECT_EQ(t.channels, 1u);
    EXPECT_EQ(t.input_frames, 200u);
    EXPECT_EQ(t.output_frames, 80u);
    EXPECT_EQ(t.output_start, 12u);
    EXPECT_EQ(t.output_limit, 512u);
    // The same samples, read as one channel.
    EXPECT_TRUE(std::equal(samples.begin(), samples.begin() + 200, t.input_buffer.data()));

    t.set_channels(2);
    EXPECT_EQ(t.input_frames, 100u);
    EXPECT_EQ(t.output_limit, 256u);

    t.set_channels(1);
    t.append_input(samples.data(), 1);  // 201 samples: the odd one is dropped
    t.set_channels(2);
    EXPECT_EQ(t.input_frames, 100u);

    // Three or no channels would read past the held samples: refused.
    for (std::uint32_t c : {0u, 3u, 8u}) {
        t.set_channels(c);
        EXPECT_EQ(t.channels, 2u);
        EXPECT_EQ(t.input_frames, 100u);
    }
}

TEST(TempochangerPacing, HandsOutWhatTheTempoImpliesWithinLimits) {
    struct row {
        std::uint32_t tempo, held, count, limit, expected;
    };
    const row rows[] = {
        {10000, 0, 512, 512, 0},
        {10000, 20, 512, 512, 20},
        {10000, 31, 512, 512, 30},
        {10000, 100, 512, 512, 32},
        {10000, 530, 512, 512, 32},
        {10000, 1000, 512, 512, 488},
        {10000, 1536, 512, 512, 512},
        {10000, 2000, 512, 512, 512},
        {20000, 1000, 512, 512, 256},
        {7071, 1200, 362, 512, 510},
        // More than three blocks held: a full block, keeping `count` back.
        {10000, 1537, 1200, 512, 337},
        // No block size set: nothing while at least `count` frames are held.
        {10000, 5000, 512, 0, 0},
        {10000, 600, 512, 0, 0},
        {10000, 0, 0, 512, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE("tempo " + std::to_string(r.tempo) + ", held " + std::to_string(r.held) +
                     ", count " + std::to_string(r.count));
        plain_probe t;
        t.set_channels(1);
        t.set_block_size(2 * r.limit);
        t.set_tempo(r.tempo);
        t.output_frames = r.held;
        EXPECT_EQ(t.paced_frames(r.count), r.expected);
    }
}

TEST(TempochangerPacing, FloorOfThirtyTwoNeverHandsOutFramesThatAreNotHeld) {
    // With fewer than 32 frames per call the third rule's floor of 32 can pass
    // what is held.
    for (std::uint32_t count = 1; count < 32; ++count) {
        for (std::uint32_t held = count; held < 40; ++held) {
            plain_probe t;
            t.set_channels(1);
            t.set_block_size(1024);
            t.output_frames = held;
            const std::uint32_t frames = t.paced_frames(count);
            EXPECT_LE(frames, held) << "count " << count << ", held " << held;
            EXPECT_EQ(frames % 2, 0u);
        }
    }
}

TEST(TempochangerStream, StartUpSequenceOfTheProgram) {
    plain_probe t;
    program_setup(t);
    const auto signal = voice(512 * 5000, 3);
    std::vector<std::int16_t> out(512);
    for (std::uint32_t call = 1; call <= 5000; ++call) {
        const std::uint32_t got = t.process(out.data(), signal.data() + (call - 1) * 512, 512);
        std::uint32_t expected = 512;
        if (call <= 9) expected = 0;
        if (call == 15) expected = 32;
        if (call == 64) expected = 256;
        ASSERT_EQ(got, expected) << "call " << call;
    }
}

TEST(TempochangerStream, FirstSequenceWaitsForTheRequirementAtOtherRates) {
    // 48 kHz needs 1344 + 3936 = 5280 frames (call 11), 8 kHz 224 + 656 = 880
    // frames (call 2); each is then read in full by the first sequence.
    struct row {
        std::uint32_t rate, first_call;
    };
    for (const row r : {row{48000, 11}, row{8000, 2}, row{44100, 10}}) {
        SCOPED_TRACE(r.rate);
        plain_probe t;
        t.set_channels(1);
        t.set_parameters(r.rate, 82, 28, 12);
        t.set_block_size(1024);
        const auto signal = voice(512 * 3000, 4);
        const auto result = run_stream(t, signal, 1, 512, {512});
        const auto first =
            std::find_if(result.frames_per_call.begin(), result.frames_per_call.end(),
                         [](std::uint32_t f) { return f != 0; });
        EXPECT_EQ(first - result.frames_per_call.begin() + 1, r.first_call);
        // And the long stream keeps pace with its input.
        const auto total = std::accumulate(result.frames_per_call.begin(),
                                           result.frames_per_call.end(), std::uint64_t{0});
        EXPECT_NEAR(static_cast<double>(total), 512.0 * 3000, 12000.0);
    }
}

TEST(TempochangerStream, OutputTracksTheTempo) {
    struct row {
        std::uint32_t tempo, count;
        // Whether a sequence yields at most the 512 frames per call that the
        // pacing may hand out; the skip is truncated, so at 7071 with 362
        // frames it yields 512.1 and the held output creeps up without bound.
        bool drains;
    };
    // The pairs that the pitch shifter produces (transposed block, tempo) for
    // 0, +6, -6 and +12 semitones, and slower and faster speech.
    const row rows[] = {{10000, 512, true},  {7071, 362, false}, {14142, 724, false},
                        {7071, 360, true},   {14142, 720, true}, {5000, 256, true},
                        {20000, 1024, true}, {8000, 410, true},  {12500, 512, true}};
    for (const row& r : rows) {
        SCOPED_TRACE("tempo " + std::to_string(r.tempo) + ", count " + std::to_string(r.count));
        plain_probe t;
        t.set_channels(1);
        t.set_block_size(1024);
        t.set_tempo(r.tempo);
        const std::size_t calls = 1500;
        const auto signal = voice(r.count * calls, 5);
        std::vector<std::int16_t> out(512);
        std::uint64_t total = 0;
        std::uint32_t most_held = 0;
        for (std::size_t call = 0; call < calls; ++call) {
            total += t.process(out.data(), signal.data() + call * r.count, r.count);
            if (call >= 500) most_held = std::max(most_held, t.output_frames);
        }
        const double expected = static_cast<double>(calls) * r.count * 10000.0 / r.tempo;
        // The lag is bounded by what is held: input up to the requirement and
        // output up to about three blocks plus one sequence.
        EXPECT_NEAR(static_cast<double>(total), expected,
                    t.input_required * 10000.0 / r.tempo + 3 * 512 + 3104);
        if (r.drains) {
            EXPECT_LE(most_held, 3 * 512 + 3104 + r.count);
        }
    }
}

TEST(TempochangerStream, BlockSizeDoesNotChangeTheSound) {
    // Pacing decides only when frames are handed out; what comes out, in
    // order, depends on the input alone.
    const auto signal = voice(44100 * 20, 6);
    plain_probe whole;
    program_setup(whole);
    const auto reference = run_stream(whole, signal, 1, 512, {512});
    plain_probe pieces;
    program_setup(pieces);
    const auto irregular =
        run_stream(pieces, signal, 1, 512, {5, 400, 10, 300, 512, 0, 2000, 1, 31, 733, 32, 1024});
    const std::size_t common = std::min(reference.output.size(), irregular.output.size());
    ASSERT_GT(common, 44100u * 18);
    EXPECT_TRUE(std::equal(reference.output.begin(), reference.output.begin() + common,
                           irregular.output.begin()));
}

TEST(TempochangerStream, ChannelsThatAreEqualGiveTheOneChannelResult) {
    // Samples on multiples of 512 make every product a multiple of 2^9, so no
    // correlation term loses low bits and the two-channel score is exactly
    // twice the one-channel score: both searches pick the same positions.
    auto mono = voice(44100 * 8, 7, 8000);
    for (auto& s : mono) s = static_cast<std::int16_t>(s & ~511);
    std::vector<std::int16_t> stereo(2 * mono.size());
    for (std::size_t i = 0; i < mono.size(); ++i) stereo[2 * i] = stereo[2 * i + 1] = mono[i];

    for (std::uint32_t tempo : {10000u, 7071u, 14142u}) {
        SCOPED_TRACE(tempo);
        plain_probe one;
        program_setup(one);
        one.set_tempo(tempo);
        plain_probe two;  // two channels from construction
        two.set_parameters(44100, 82, 28, 12);
        two.set_block_size(2048);
        two.set_tempo(tempo);
        const auto a = run_stream(one, mono, 1, 512, {400});
        const auto b = run_stream(two, stereo, 2, 512, {400});
        ASSERT_EQ(a.frames_per_call, b.frames_per_call);
        ASSERT_EQ(2 * a.output.size(), b.output.size());
        ASSERT_GT(a.output.size(), 44100u * 4);
        for (std::size_t i = 0; i < a.output.size(); ++i) {
            ASSERT_EQ(b.output[2 * i], a.output[i]) << "frame " << i;
            ASSERT_EQ(b.output[2 * i + 1], a.output[i]) << "frame " << i;
        }
    }
}

TEST(TempochangerStream, SteadyStreamAllocatesNothingAfterItsFirstBlocks) {
    for (std::uint32_t channels : {1u, 2u}) {
        // Streams whose output the pacing can drain (see OutputTracksTheTempo).
        for (const auto& [tempo, count] :
             {std::pair{10000u, 512u}, {7071u, 360u}, {14142u, 720u}, {20000u, 1024u}}) {
            SCOPED_TRACE("channels " + std::to_string(channels) + ", tempo " +
                         std::to_string(tempo));
            plain_probe t;
            t.set_channels(channels);
            t.set_block_size(512 * 2 * channels);
            t.set_tempo(tempo);
            const auto signal = random_samples(std::size_t{count} * channels * 4000, 8);
            std::vector<std::int16_t> out(512 * channels);
            auto call = [&](std::size_t i) {
                t.process(out.data(), signal.data() + i * count * channels, count);
            };
            // The held counts reach their extremes within about 600 calls
            // (seven seconds), when the sequence and block phases have met.
            for (std::size_t i = 0; i < 1000; ++i) call(i);
            const std::uint32_t input_capacity = t.input_capacity;
            const std::uint32_t output_capacity = t.output_capacity;
            const std::int16_t* input_storage = t.input_buffer.data();
            const std::int16_t* output_storage = t.output_buffer.data();
            for (std::size_t i = 1000; i < 4000; ++i) call(i);
            EXPECT_EQ(t.input_capacity, input_capacity);
            EXPECT_EQ(t.output_capacity, output_capacity);
            EXPECT_EQ(t.input_buffer.data(), input_storage);
            EXPECT_EQ(t.output_buffer.data(), output_storage);
            EXPECT_EQ(t.input_capacity, t.input_buffer.capacity());
            EXPECT_EQ(t.output_capacity, t.output_buffer.capacity());
        }
    }
}

TEST(TempochangerStream, AnyCountFromZeroToTwoThousandIsSafe) {
    // Each call writes into a block of exactly max(limit, 32) frames on the
    // heap, so the address sanitizer catches any write past it.
    for (std::uint32_t channels : {1u, 2u}) {
        // The two-channel search is plain code, slow under the sanitizers:
        // the unusual limits run on one channel only.
        for (std::uint32_t block_bytes : {1024u, 0u, 40u}) {
            if (channels == 2 && block_bytes != 1024) continue;
            SCOPED_TRACE("channels " + std::to_string(channels) + ", block " +
                         std::to_string(block_bytes));
            plain_probe t;
            t.set_channels(channels);
            t.set_block_size(block_bytes);
            const std::uint32_t room = std::max<std::uint32_t>(t.output_limit, 32);
            const auto signal = random_samples(2001 * channels, 9);
            for (std::uint32_t i = 0; i <= 4001; ++i) {
                const std::uint32_t count = i <= 2000 ? i : 4001 - i;  // up, then down
                const std::uint32_t held_before = t.output_frames;
                std::vector<std::int16_t> out(std::size_t{room} * channels);
                const std::uint32_t got = t.process(out.data(), signal.data(), count);
                ASSERT_LE(got, room);
                ASSERT_LE(got, held_before + 3104);
                ASSERT_LE(t.input_frames, t.input_required + 2000);
            }
        }
    }
}

TEST(TempochangerStream, OtherSampleRatesRunClean) {
    for (std::uint32_t rate : {48000u, 8000u, 96000u, 22050u}) {
        SCOPED_TRACE(rate);
        plain_probe t;
        t.set_channels(1);
        t.set_parameters(rate, 82, 28, 12);
        t.set_block_size(1024);
        t.set_tempo(7071);
        const auto signal = random_samples(rate * 6, 10);
        const auto result = run_stream(t, signal, 1, 512, {362, 363});
        const auto total = result.output.size();
        EXPECT_NEAR(static_cast<double>(total), rate * 6 * 10000.0 / 7071,
                    t.input_required * 1.5 + 3 * 512 + t.sequence_length);
    }
}

TEST(TempochangerReference, WindowedCopyWrapsInSixteenBits) {
    struct row {
        std::int16_t mid, expected;
    };
    // At j = n / 2 the gain is 2: 20000 becomes 40000, kept as -25536.
    for (const row r : {row{20000, -25536}, row{32767, -2}, row{-32768, 0}, row{1000, 2000}}) {
        SCOPED_TRACE(r.mid);
        plain_probe t;
        t.overlap_buffer[256] = r.mid;
        t.precalc_reference_mono(t.overlap_buffer.get());
        EXPECT_EQ(t.reference_buffer[256], r.expected);

        // Two channels: frame 256 is samples 512 and 513.
        plain_probe s;
        s.overlap_buffer[512] = r.mid;
        s.overlap_buffer[513] = static_cast<std::int16_t>(-r.mid / 2);
        s.precalc_reference_stereo(s.overlap_buffer.get());
        EXPECT_EQ(s.reference_buffer[512], r.expected);
        EXPECT_EQ(s.reference_buffer[513], static_cast<std::int16_t>((-r.mid / 2) * 2));
    }
    // The window is 0 at j = 0, and j (n - j) >> 15 rounds toward minus
    // infinity near the ends: 32767 * 511 >> 15 = 510, -1 * 511 >> 15 = -1.
    plain_probe t;
    std::fill(t.overlap_buffer.get(), t.overlap_buffer.get() + 512, std::int16_t{32767});
    t.overlap_buffer[511] = -1;
    t.precalc_reference_mono(t.overlap_buffer.get());
    EXPECT_EQ(t.reference_buffer[0], 0);
    EXPECT_EQ(t.reference_buffer[1], 510);
    EXPECT_EQ(t.reference_buffer[511], -1);
}

// Gives a stretcher a 16-frame overlap and fills its kept overlap and its
// input with the given constants, for the cross-fade cases.
void crossfade_setup(plain_probe& t, std::uint32_t channels, std::int16_t mid, std::int16_t input) {
    t.set_channels(channels);
    t.set_parameters(8000, 82, 28, 1);
    EXPECT_EQ(t.overlap_length, 16u);
    std::fill(t.overlap_buffer.get(), t.overlap_buffer.get() + 32, mid);
    const std::vector<std::int16_t> samples(40 * channels, input);
    t.append_input(samples.data(), 40);
}

TEST(TempochangerCrossfade, FadesLinearlyAndRoundsTowardMinusInfinity) {
    for (std::uint32_t channels : {1u, 2u}) {
        SCOPED_TRACE(channels);
        std::vector<std::int16_t> dest(16 * channels);
        plain_probe t;
        crossfade_setup(t, channels, 1000, -1000);
        channels == 2 ? t.overlap_stereo(dest.data(), 3) : t.overlap_mono(dest.data(), 3);
        for (std::uint32_t c = 0; c < channels; ++c) {
            EXPECT_EQ(dest[0 * channels + c], 1000);
            EXPECT_EQ(dest[8 * channels + c], 0);
            EXPECT_EQ(dest[15 * channels + c], -875);  // (1000 - 15000) >> 4
        }
        plain_probe u;
        crossfade_setup(u, channels, -1, 0);
        channels == 2 ? u.overlap_stereo(dest.data(), 0) : u.overlap_mono(dest.data(), 0);
        EXPECT_TRUE(std::all_of(dest.begin(), dest.end(), [](std::int16_t s) { return s == -1; }));
    }
}

TEST(TempochangerCrossfade, ReadsTheInputAtTheFoundPosition) {
    plain_probe t;
    t.set_channels(2);
    t.set_parameters(8000, 82, 28, 1);
    std::vector<std::int16_t> samples(2 * 40);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>(i % 2 ? -16 * int(i) : 16 * int(i));
    t.append_input(samples.data(), 40);
    std::vector<std::int16_t> dest(32);
    t.overlap_stereo(dest.data(), 5);  // overlap is silent
    for (std::uint32_t i = 0; i < 16; ++i) {
        EXPECT_EQ(dest[2 * i], (samples[2 * (5 + i)] * int(i)) >> 4);
        EXPECT_EQ(dest[2 * i + 1], (samples[2 * (5 + i) + 1] * int(i)) >> 4);
    }
}

// Input of `frames` frames, silent but for an impulse of 1000 at the centre
// of a 16-frame window placed at each of `positions`.
std::vector<std::int16_t> impulses_at(std::uint32_t frames, std::uint32_t channels,
                                      std::initializer_list<std::uint32_t> positions) {
    std::vector<std::int16_t> input(std::size_t{frames} * channels, 0);
    for (std::uint32_t p : positions)
        for (std::uint32_t c = 0; c < channels; ++c) input[(p + 8) * channels + c] = 1000;
    return input;
}

TEST(TempochangerSearch, FullSearchPicksTheFirstOfEqualMaxima) {
    // A constant overlap gives the window j (16 - j), whose single peak is at
    // j = 8, so the score peaks where an impulse sits 8 frames in.
    for (std::uint32_t channels : {1u, 2u}) {
        SCOPED_TRACE(channels);
        plain_probe t;
        t.set_channels(channels);
        t.use_short_overlap(1234);
        std::fill(t.overlap_buffer.get(), t.overlap_buffer.get() + 32, std::int16_t{1000});
        const auto input = impulses_at(1234 + 15, channels, {300, 700});
        const auto pos = channels == 2
                             ? t.seek_best_overlap_stereo(t.overlap_buffer.get(), input.data())
                             : t.seek_best_overlap_mono(t.overlap_buffer.get(), input.data());
        EXPECT_EQ(pos, 300u);
        const auto later = impulses_at(1234 + 15, channels, {1233});
        t.quick_seek = 0;
        EXPECT_EQ(t.seek_best_overlap(t.overlap_buffer.get(), later.data()), 1233u);
    }
}

TEST(TempochangerSearch, SilentOverlapScoresZeroEverywhere) {
    // Every score is 0: the full search keeps its first position, the quick
    // search the first that it tries.
    for (std::uint32_t channels : {1u, 2u}) {
        SCOPED_TRACE(channels);
        plain_probe t;
        t.set_channels(channels);
        const auto input = random_samples((1234 + 511) * channels, 12);
        EXPECT_EQ(t.seek_best_overlap(t.overlap_buffer.get(), input.data()), 0u);
        t.quick_seek = 1;
        EXPECT_EQ(t.seek_best_overlap(t.overlap_buffer.get(), input.data()), 124u);
    }
}

TEST(TempochangerSearch, FullSearchIsTheSameOnEveryLevel) {
    // The one-channel search runs on the SIMD kernels; the position it picks
    // from real material must not depend on the processor.
    const auto signal = voice(1700 + 4000 + 512, 13);
    plain_probe scalar(simd::level::scalar);
    scalar.set_channels(1);
    for (simd::level l : simd::all_levels) {
        if (!simd::processor_supports(l)) continue;
        SCOPED_TRACE(simd::level_name(l));
        plain_probe t(l);
        t.set_channels(1);
        for (std::size_t at = 0; at < 4000; at += 397) {
            const std::int16_t* mid = signal.data() + at + 1700;
            EXPECT_EQ(t.seek_best_overlap_mono(mid, signal.data() + at),
                      scalar.seek_best_overlap_mono(mid, signal.data() + at));
        }
    }
}

TEST(TempochangerSearch, QuickSearchRefinesCoarseToFine) {
    plain_probe t;
    std::vector<std::uint32_t> tried;
    // A single broad peak at 533: the coarse row lands on 558, the rows of
    // 25, 5 and 1 walk down to 533 exactly.
    const auto peak = [&](std::uint32_t p) {
        tried.push_back(p);
        return -std::abs(static_cast<std::int32_t>(p) - 533);
    };
    EXPECT_EQ(t.scan_quick(0, peak), 533u);
    const std::vector<std::uint32_t> coarse = {124, 186, 248, 310, 372, 434, 496,  558,  620,
                                               682, 744, 806, 868, 930, 992, 1054, 1116, 1178};
    ASSERT_GE(tried.size(), coarse.size());
    EXPECT_TRUE(std::equal(coarse.begin(), coarse.end(), tried.begin()));
    EXPECT_LE(tried.size(), 18u + 8 + 8 + 8);

    // A refinement must be strictly better: a plateau keeps the coarse winner.
    tried.clear();
    EXPECT_EQ(t.scan_quick(0, [&](std::uint32_t p) { return p >= 900 ? 7 : 0; }), 930u);

    // A row ends at its first position past the window.
    t.use_short_overlap(300);
    tried.clear();
    EXPECT_EQ(t.scan_quick(0,
                           [&](std::uint32_t p) {
                               tried.push_back(p);
                               return static_cast<std::int32_t>(p);
                           }),
              299u);
    // Coarse 124-248; then around 248 up to 298; around 298 the fine rows stop
    // at 303 and 300.
    EXPECT_EQ(tried, (std::vector<std::uint32_t>{124, 186, 248, 148, 173, 198, 223, 273, 298, 278,
                                                 283, 288, 293, 294, 295, 296, 297, 299}));

    // Too short a window for the first coarse position: nothing is scored.
    for (std::uint32_t window : {124u, 50u, 0u}) {
        t.use_short_overlap(window);
        tried.clear();
        EXPECT_EQ(t.scan_quick(0,
                               [&](std::uint32_t p) {
                                   tried.push_back(p);
                                   return 1;
                               }),
                  0u);
        EXPECT_TRUE(tried.empty());
    }
}

}  // namespace
}  // namespace squeakbox
