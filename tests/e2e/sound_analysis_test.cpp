// The measuring tools of the end-to-end tests, checked on signals whose
// answer is known, then the engine's pitch on a real voice through
// squeakbox-render: what the live tests will hold the program to.

#include "sound_analysis.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <numbers>

#include "../audio/device_test_support.h"
#include "child_process.h"
#include "e2e_signals.h"

namespace squeakbox::e2e {
namespace {

namespace fs = std::filesystem;

std::vector<double> voiced_hz(const std::vector<pitch_frame>& frames, double from, double to) {
    std::vector<double> hz;
    for (const auto& f : frames)
        if (f.hz > 0 && f.time >= from && f.time < to) hz.push_back(f.hz);
    return hz;
}

TEST(SoundAnalysis, MeasuresPitchLagAndGapsOnSignalsWithAKnownAnswer) {
    // A harmonic tone's fundamental, to a hundredth of a cent, and a tone a
    // tenth of a semitone off is told apart from the real thing.
    for (const double hz : {150.0, 150.0 * std::pow(2.0, 6.0 / 12.0), 97.0, 430.0}) {
        const auto tone = harmonic_tone(hz, 1.0);
        const double measured = median(voiced_hz(track_pitch(tone), 0.1, 0.9));
        EXPECT_NEAR(cents(measured / hz), 0.0, 0.05) << hz << " Hz";
    }
    const auto off = harmonic_tone(150.0 * std::pow(2.0, 5.9 / 12.0), 1.0);
    EXPECT_NEAR(cents(median(voiced_hz(track_pitch(off), 0.1, 0.9)) / 150.0), 590.0, 0.05);
    // A strong second harmonic does not fool it an octave down or up.
    std::vector<std::int16_t> octave_trap(44100);
    for (std::size_t i = 0; i < octave_trap.size(); ++i) {
        const double t = static_cast<double>(i) / 44100;
        octave_trap[i] =
            static_cast<std::int16_t>(3000 * std::sin(2 * std::numbers::pi * 200 * t) +
                                      9000 * std::sin(2 * std::numbers::pi * 400 * t + 0.3));
    }
    EXPECT_NEAR(median(voiced_hz(track_pitch(octave_trap), 0.1, 0.9)), 200.0, 0.1);
    // Silence and noise are not voiced.
    std::vector<std::int16_t> quiet(44100, 0);
    EXPECT_TRUE(voiced_hz(track_pitch(quiet), 0, 1).empty());

    // The lag between the loudness of two copies, to the millisecond.
    const auto speech = voice_like(44100 * 3);
    std::vector<std::int16_t> later(1234, 0);
    later.insert(later.end(), speech.begin(), speech.end());
    const envelope_match m = match_envelopes(envelope(speech), envelope(later), 1000);
    EXPECT_NEAR(static_cast<double>(m.lag) * 44, 1234.0, 44.0);
    EXPECT_GT(m.correlation, 0.99);

    // One silent block inside a tone is a gap; the tone alone has none.
    auto tone = harmonic_tone(212.0, 2.0);
    EXPECT_TRUE(gaps_in_tone(tone, 0, tone.size()).empty());
    std::fill(tone.begin() + 40000, tone.begin() + 40512, std::int16_t{0});
    const auto gaps = gaps_in_tone(tone, 0, tone.size());
    ASSERT_EQ(gaps.size(), 1u);
    EXPECT_NEAR(static_cast<double>(gaps[0]), 40000.0, 64.0);

    // Where a stretch lies, sample for sample, and nothing for one altered sample.
    const std::span<const std::int16_t> piece(later.data() + 5000, 700);
    EXPECT_EQ(find_exact(later, piece), std::optional<std::size_t>(5000));
    std::vector<std::int16_t> altered(piece.begin(), piece.end());
    altered[350] ^= 1;
    EXPECT_FALSE(find_exact(later, altered).has_value());
}

// A real voice made by espeak-ng, six semitones up through squeakbox-render:
// the fundamental of every voiced frame, against the frame of the input it
// lines up with, is 600 cents higher (median within 5 cents).
TEST(SoundAnalysis, ASpokenVoiceRenderedSixSemitonesUpIsExactlyThatMuchHigher) {
#ifndef SQUEAKBOX_RENDER_PROGRAM
    GTEST_SKIP() << "squeakbox-render is not built";
#else
    const fs::path dir =
        fs::temp_directory_path() / ("squeakbox-e2e-render-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string problem = make_speech((dir / "voice.wav").string(), (dir / "tmp").string());
    if (!problem.empty()) {
        fs::remove_all(dir);
        if (std::getenv("SQUEAKBOX_PULSE_REQUIRED") != nullptr) FAIL() << problem;
        GTEST_SKIP() << problem;
    }
    child_process render({SQUEAKBOX_RENDER_PROGRAM, "--semitones", "6", "--quiet",
                          (dir / "voice.wav").string(), (dir / "high.wav").string()},
                         (dir / "render.out").string(), (dir / "render.err").string());
    ASSERT_TRUE(render.wait_for(std::chrono::seconds(60)));
    ASSERT_EQ(render.exit_code(), 0) << read_file((dir / "render.err").string());
    const auto in = testing::read_wav((dir / "voice.wav").string());
    const auto out = testing::read_wav((dir / "high.wav").string());
    fs::remove_all(dir);
    ASSERT_TRUE(in.ok && out.ok);
    ASSERT_EQ(in.samples.size(), out.samples.size());  // the renderer lines them up

    const pitch_comparison c = compare_pitch(in.samples, out.samples, 0.0);
    std::printf(
        "[ pitch    ] espeak-ng voice through squeakbox-render +6: %+.2f cents off over "
        "%zu voiced frames\n",
        c.median_cents - 600.0, c.frames);
    EXPECT_GE(c.frames, 100u);
    EXPECT_NEAR(c.median_cents, 600.0, 5.0);
#endif
}

}  // namespace
}  // namespace squeakbox::e2e
