#include "engine/anti_alias_filter.h"

#include <cmath>

namespace squeakbox {

namespace {

// The design constants are the ones the filter has always used: P lies
// 1.77e-9 above pi. They change the last bits of the taps, and the taps are
// part of the sound, so they stay.
constexpr double design_pi = 3.141592655357989;
constexpr double design_two_pi = 6.283185310715978;

// Truncation toward zero into a tap. Cutoffs up to 0.5 keep every tap within
// +-7500; larger ones are clamped, and a cutoff of 0 (0 / 0 at the centre)
// gives silence instead of an undefined conversion.
std::int16_t truncate_tap(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 32767.0) return 32767;
    if (v <= -32768.0) return -32768;
    return static_cast<std::int16_t>(static_cast<std::int32_t>(v));
}

}  // namespace

anti_alias_filter::anti_alias_filter(std::uint32_t taps, simd::level kernels)
    : kernels_(&simd::fir_kernels_for(kernels)) {
    cutoff = 0.5;
    set_length(taps);
}

anti_alias_filter::~anti_alias_filter() = default;

void anti_alias_filter::set_cutoff(double new_cutoff) {
    cutoff = new_cutoff;
    calculate_coefficients();
}

void anti_alias_filter::set_length(std::uint32_t taps) {
    length_div8 = taps > max_length ? max_length / 8 : taps / 8;
    length = 8 * length_div8;
    calculate_coefficients();
}

std::uint32_t anti_alias_filter::filter(std::int16_t* output, const std::int16_t* input,
                                        std::uint32_t frames, std::uint32_t channels) {
    if (channels == 2) return filter_stereo(output, input, frames);
    return filter_mono(output, input, frames);
}

void anti_alias_filter::calculate_coefficients() {
    if (length < 2) return;
    // The order of the operations is part of the result: each rounding step
    // can move a truncated tap by one.
    const double t = cutoff + cutoff;
    const double a = t * design_pi;
    const double w = design_two_pi / static_cast<double>(length);
    const std::uint32_t half = length / 2;
    for (std::uint32_t i = 0; i < half; ++i) {
        const double distance = static_cast<double>(i) + 0.5;  // from the centre, in taps
        const double x = a * distance;
        const double window = 0.46 * std::cos(distance * w) + 0.54;
        const double v = ((t * std::sin(x)) / x) * window * 7500.0;
        const std::int16_t c = truncate_tap(v);
        coefficients[half - 1 - i] = c;
        coefficients[half + i] = c;
    }
}

std::uint32_t anti_alias_filter::filter_mono(std::int16_t* output, const std::int16_t* input,
                                             std::uint32_t frames) {
    if (frames < length) return 0;
    const std::uint32_t written = frames - length;
    kernels_->mono(output, input, written, coefficients, length);
    return written;
}

std::uint32_t anti_alias_filter::filter_stereo(std::int16_t* output, const std::int16_t* input,
                                               std::uint32_t frames) {
    if (frames < length) return 0;
    const std::uint32_t written = frames - length;
    for (std::uint32_t k = 0; k < written; ++k) {
        const std::int16_t* window = input + 2 * k;
        std::uint32_t left = 0;
        std::uint32_t right = 0;
        for (std::uint32_t i = 0; i < length; ++i) {
            const std::int32_t c = coefficients[i];
            left += static_cast<std::uint32_t>(c * window[2 * i]);
            right += static_cast<std::uint32_t>(c * window[2 * i + 1]);
        }
        output[2 * k] = simd::saturate_shifted(left);
        output[2 * k + 1] = simd::saturate_shifted(right);
    }
    return written;
}

}  // namespace squeakbox
