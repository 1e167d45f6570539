#pragma once
// The sounds the end-to-end tests play, and the pitch comparison they make.

#include <cmath>
#include <cstdint>
#include <numbers>
#include <string>
#include <vector>

#include "../engine/speech_signal.h"
#include "child_process.h"
#include "sound_analysis.h"

namespace squeakbox::e2e {

constexpr double rate = 44100;

// A steady tone with eight harmonics falling off as 1/h: voiced, with an
// unmistakable fundamental, and a peak of about 0.8 of full scale.
inline std::vector<std::int16_t> harmonic_tone(double hz, double seconds, double amplitude = 9000) {
    std::vector<std::int16_t> out(static_cast<std::size_t>(seconds * rate));
    for (std::size_t i = 0; i < out.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        double v = 0;
        for (int h = 1; h <= 8; ++h) v += std::sin(2 * std::numbers::pi * hz * h * t) / h;
        out[i] = static_cast<std::int16_t>(std::lround(amplitude * v));
    }
    return out;
}

inline std::vector<std::int16_t> voice_like(std::size_t frames) {
    return testing::speech_like(frames, 44100, 77);
}

// Speech from espeak-ng, resampled by sox to 44.1 kHz mono 16-bit, written to
// `path`. Returns why it could not be made, or nothing.
inline std::string make_speech(const std::string& path, const std::string& scratch) {
    const std::string spoken = scratch + "-espeak.wav";
    child_process speak({"espeak-ng", "-v", "en-us", "-s", "150", "-w", spoken,
                         "Squeakbox changes the pitch of your voice while you speak. "
                         "The quick brown fox jumps over the lazy dog, and nobody minds."},
                        scratch + "-espeak.out", scratch + "-espeak.err");
    if (!speak.started() || !speak.wait_for(std::chrono::seconds(30)) || speak.exit_code() != 0)
        return "espeak-ng cannot speak here (install it with scripts/install-deps.sh test)";
    child_process convert({"sox", spoken, "-r", "44100", "-c", "1", "-b", "16", path},
                          scratch + "-sox.out", scratch + "-sox.err");
    if (!convert.started() || !convert.wait_for(std::chrono::seconds(30)) ||
        convert.exit_code() != 0)
        return "sox cannot convert the speech (install it with scripts/install-deps.sh test)";
    return {};
}

struct pitch_comparison {
    double median_cents = std::nan("");  // output against input, frame by frame
    std::size_t frames = 0;              // voiced in both
};

// Compares the fundamental of each voiced frame of `in` with the frame of
// `out` that carries it, `lag` seconds later. Frame by frame rather than
// overall: a voice glides, and the two sides may find slightly different
// frames voiced.
inline pitch_comparison compare_pitch(std::span<const std::int16_t> in,
                                      std::span<const std::int16_t> out, double lag,
                                      double from = 0, double to = 1e9) {
    const pitch_settings settings;
    const auto a = track_pitch(in, settings);
    const auto b = track_pitch(out, settings);
    const double hop = static_cast<double>(settings.hop) / settings.rate;
    std::vector<double> ratios;
    for (const auto& f : a) {
        if (f.hz <= 0 || f.time < from || f.time >= to || b.empty()) continue;
        const double k = std::round((f.time + lag - b.front().time) / hop);
        if (k < 0 || k >= static_cast<double>(b.size())) continue;
        const pitch_frame& g = b[static_cast<std::size_t>(k)];
        if (g.hz > 0) ratios.push_back(cents(g.hz / f.hz));
    }
    pitch_comparison c;
    c.frames = ratios.size();
    if (!ratios.empty()) c.median_cents = median(ratios);
    return c;
}

}  // namespace squeakbox::e2e
