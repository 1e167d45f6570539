#pragma once
// Test signals for the engine's tests: seeded, so a failure repeats.

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace squeakbox::testing {

inline std::vector<std::int16_t> random_samples(std::size_t n, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> dist(-32768, 32767);
    std::vector<std::int16_t> out(n);
    for (auto& s : out) s = static_cast<std::int16_t>(dist(gen));
    return out;
}

inline std::vector<std::int16_t> constant_samples(std::size_t n, std::int16_t value) {
    return std::vector<std::int16_t>(n, value);
}

// An impulse of full scale every `spacing` samples, alternating in sign.
inline std::vector<std::int16_t> impulses(std::size_t n, std::size_t spacing) {
    std::vector<std::int16_t> out(n, 0);
    bool up = true;
    for (std::size_t i = spacing / 2; i < n; i += spacing, up = !up)
        out[i] = up ? std::int16_t{32767} : std::int16_t{-32768};
    return out;
}

// Full scale, flipping sign every sample: the loudest possible top octave.
inline std::vector<std::int16_t> alternating_extremes(std::size_t n) {
    std::vector<std::int16_t> out(n);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = (i % 2) ? std::int16_t{-32768} : std::int16_t{32767};
    return out;
}

// `cycles_per_frame` of a sine per frame, `channels` interleaved (the second
// channel a quarter period later).
inline std::vector<std::int16_t> sine(std::size_t frames, double cycles_per_frame, double amplitude,
                                      unsigned channels = 1) {
    std::vector<std::int16_t> out(frames * channels);
    const double two_pi = 2.0 * std::acos(-1.0);
    for (std::size_t k = 0; k < frames; ++k)
        for (unsigned c = 0; c < channels; ++c)
            out[k * channels + c] = static_cast<std::int16_t>(std::lround(
                amplitude * std::sin(two_pi * (cycles_per_frame * double(k) + 0.25 * c))));
    return out;
}

// The filter written out directly: per channel, the sum of products taken
// modulo 2^32 (as the 32-bit accumulator wraps), shifted right by 13 with
// rounding toward minus infinity, clamped to 16 bits. Returns frames - taps
// frames (none when the input is shorter).
inline std::vector<std::int16_t> reference_fir(const std::int16_t* taps, unsigned length,
                                               const std::vector<std::int16_t>& input,
                                               unsigned channels) {
    const std::size_t frames = input.size() / channels;
    std::vector<std::int16_t> out;
    if (frames < length) return out;
    out.resize((frames - length) * channels);
    for (std::size_t k = 0; k < frames - length; ++k) {
        for (unsigned c = 0; c < channels; ++c) {
            std::int64_t sum = 0;
            for (unsigned i = 0; i < length; ++i)
                sum += std::int64_t{taps[i]} * input[(k + i) * channels + c];
            const auto wrapped =
                static_cast<std::int32_t>(static_cast<std::uint32_t>(sum & 0xFFFFFFFF));
            const std::int64_t shifted =
                static_cast<std::int64_t>(std::floor(static_cast<double>(wrapped) / 8192.0));
            out[k * channels + c] = static_cast<std::int16_t>(shifted > 32767    ? 32767
                                                              : shifted < -32768 ? -32768
                                                                                 : shifted);
        }
    }
    return out;
}

}  // namespace squeakbox::testing
