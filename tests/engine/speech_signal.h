#pragma once
// A voice-like test signal for the engine's and the renderer's tests: seeded,
// so a failure repeats.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

namespace squeakbox::testing {

// Something with the shape of a voice: a harmonic series on a gliding
// fundamental (90 to 260 Hz), two formant-like peaks, a little breath noise and
// syllables about four times a second with short pauses between them.
inline std::vector<std::int16_t> speech_like(std::size_t count, std::uint32_t sample_rate,
                                             std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> breath(0.0, 1.0);
    std::vector<std::int16_t> out(count);
    const double rate = sample_rate;
    double phase = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / rate;
        const double f0 = 175.0 + 85.0 * std::sin(2.0 * std::numbers::pi * 0.7 * t);
        phase += 2.0 * std::numbers::pi * f0 / rate;
        double voiced = 0.0;
        for (int h = 1; h <= 20 && h * f0 < rate / 2.0; ++h) {
            const double f = h * f0;
            const double formants = 1.0 / (1.0 + std::pow((f - 700.0) / 150.0, 2)) +
                                    0.6 / (1.0 + std::pow((f - 1800.0) / 250.0, 2));
            voiced += (0.15 + formants) / h * std::sin(h * phase);
        }
        const double syllable = std::sin(std::numbers::pi * std::fmod(t * 4.1, 1.0));
        const double envelope = syllable > 0.15 ? syllable : 0.0;
        const double value = envelope * (0.9 * voiced + 0.03 * breath(rng));
        out[i] = static_cast<std::int16_t>(std::clamp(value * 9000.0, -32768.0, 32767.0));
    }
    return out;
}

}  // namespace squeakbox::testing
