#include "engine/natural_voice.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "engine/pitch_shifter.h"

namespace squeakbox {

namespace {

// The tracker's view of the voice: low-passed below the third or fourth
// harmonic of most voices and decimated to about 4 kHz, where a period of
// 55 to 800 Hz is 5 to 73 samples and a search costs a few thousand
// multiplications.
constexpr double tracker_rate = 4000.0;
constexpr double tracker_cutoff_hz = 900.0;
constexpr double lowest_pitch_hz = 55.0;
constexpr double highest_pitch_hz = 800.0;
constexpr double estimate_every_s = 0.005;
// Normalised autocorrelation a period must reach to count as voiced; once
// voiced a little less keeps it so, so a vowel's weaker frames do not
// flicker between the two ways of overlap-adding.
constexpr double voicing_threshold = 0.6;
constexpr double keep_voicing_threshold = 0.45;
// The first peak within this share of the best is the period: the peaks
// at two and three periods are nearly as high and would halve the pitch.
constexpr double first_peak_share = 0.85;
// Mean square (full scale 1) of the low-passed voice under which nothing is
// voiced: about -55 dBFS, below any voice and above the hum of a quiet room.
constexpr double quiet_energy = 3.2e-6;

// The longest grain half. A grain should hold two periods: a shorter one,
// repeated to raise the pitch, is cut differently from one mark to the next
// as the marks drift against the glottal pulses, and the repeated pairs then
// beat at the old period (an octave up, that sounds as the old pitch). Normal
// latency holds two periods down to a 50 Hz voice; low down to 83 Hz, the
// low end of most men's speaking voices, where 8 ms (125 Hz) let the old
// pitch through in a seventh of a low man's voiced frames an octave up.
constexpr double normal_cap_s = 0.020;
constexpr double low_cap_s = 0.012;
// Frames converted between two looks at the marks and grains: fine enough
// that the tracker, the marks and the grains stay close behind the input.
constexpr std::uint32_t step_frames = 128;
constexpr std::size_t mark_ring = 1024;

// Sum of products in eight independent lanes: without them every addition
// waits for the one before, and the pitch search is most of the engine's work.
float dot(const float* a, const float* b, std::size_t n) noexcept {
    float lane[8] = {};
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8)
        for (std::size_t k = 0; k < 8; ++k) lane[k] += a[i + k] * b[i + k];
    float sum =
        ((lane[0] + lane[1]) + (lane[2] + lane[3])) + ((lane[4] + lane[5]) + (lane[6] + lane[7]));
    for (; i < n; ++i) sum += a[i] * b[i];
    return sum;
}

std::uint64_t ring_size_for(double frames) {
    std::uint64_t size = 1;
    while (static_cast<double>(size) < frames) size <<= 1;
    return size;
}

// Parabola through three neighbouring values: the offset of its peak from
// the middle one, within half a step.
double peak_offset(double before, double at, double after) {
    const double curve = before - 2.0 * at + after;
    if (!(curve < 0.0)) return 0.0;
    return std::clamp(0.5 * (before - after) / curve, -0.5, 0.5);
}

}  // namespace

natural_voice::natural_voice() {
    configure(1, 44100);
}

void natural_voice::configure(std::uint32_t channels, std::uint32_t sample_rate) {
    channels_ = std::clamp<std::uint32_t>(channels, 1, 2);
    rate_ = std::max<std::uint32_t>(sample_rate, 1000);
    derive_lengths();
    // A quarter second holds the tracker's window, the grains' reach and the
    // delay at any rate and in either mode, with room to spare.
    const std::uint64_t size = ring_size_for(rate_ * 0.25 + 4 * step_frames);
    mask_ = size - 1;
    input_.assign(size * channels_, 0.0f);
    mix_.assign(size, 0.0f);
    sum_.assign(size * channels_, 0.0f);
    weight_.assign(size, 0.0f);
    const std::uint64_t track_size = ring_size_for(tracker_rate * 0.25 + 4.0 * max_lag_);
    track_mask_ = track_size - 1;
    track_.assign(track_size, 0.0f);
    scratch_.assign(std::size_t{4} * (max_lag_ + 4) * decimation_ + 4 * max_lag_ + 64, 0.0f);
    marks_.assign(mark_ring, mark{});
    marks_mask_ = mark_ring - 1;
    reset();
}

void natural_voice::derive_lengths() noexcept {
    const double rate = rate_;
    cap_ =
        static_cast<std::uint32_t>(std::lround(rate * (low_latency_ ? low_cap_s : normal_cap_s)));
    cap_ = std::max<std::uint32_t>(cap_, 8);
    unvoiced_hop_ = cap_ / 4.0;
    // A grain placed on the next output frame reaches one cap back into the
    // input for its source and one cap forward for its own extent.
    latency_ = 2 * cap_ + 2;
    decimation_ = std::max<std::uint32_t>(1, static_cast<std::uint32_t>(rate / tracker_rate));
    const double decimated = rate / decimation_;
    min_lag_ = std::max<std::uint32_t>(2, static_cast<std::uint32_t>(decimated / highest_pitch_hz));
    max_lag_ = static_cast<std::uint32_t>(std::ceil(decimated / lowest_pitch_hz));
    track_hop_ = std::max<std::uint32_t>(
        1, static_cast<std::uint32_t>(std::lround(decimated * estimate_every_s)));
    quiet_energy_ = quiet_energy;

    // Second-order Butterworth low-pass, bilinear transform.
    const double w = 2.0 * std::numbers::pi * std::min(tracker_cutoff_hz, rate * 0.45) / rate;
    const double alpha = std::sin(w) / std::numbers::sqrt2;  // Q = 1 / sqrt 2
    const double cosw = std::cos(w);
    const double a0 = 1.0 + alpha;
    lowpass_[0] = (1.0 - cosw) / 2.0 / a0;
    lowpass_[1] = (1.0 - cosw) / a0;
    lowpass_[2] = lowpass_[0];
    lowpass_[3] = -2.0 * cosw / a0;
    lowpass_[4] = (1.0 - alpha) / a0;
}

void natural_voice::set_latency(latency_mode mode) noexcept {
    const bool low = mode == latency_mode::low;
    if (low == low_latency_) return;
    low_latency_ = low;
    derive_lengths();
    reset();
}

void natural_voice::set_pitch_factor(double factor) noexcept {
    if (factor > 0.0 && std::isfinite(factor)) pitch_ = factor;
}

void natural_voice::set_formant_factor(double factor) noexcept {
    if (std::isnan(factor)) return;
    formant_ = std::clamp(factor, min_formant_factor, max_formant_factor);
}

void natural_voice::reset() noexcept {
    std::fill(input_.begin(), input_.end(), 0.0f);
    std::fill(mix_.begin(), mix_.end(), 0.0f);
    std::fill(sum_.begin(), sum_.end(), 0.0f);
    std::fill(weight_.begin(), weight_.end(), 0.0f);
    std::fill(track_.begin(), track_.end(), 0.0f);
    received_ = 0;
    emitted_ = -static_cast<std::int64_t>(latency_);
    tracked_ = 0;
    decimation_phase_ = 0;
    since_estimate_ = 0;
    std::fill(std::begin(lowpass_state_), std::end(lowpass_state_), 0.0);
    voiced_ = false;
    period_ = 0;
    marks_written_ = 0;
    mark_cursor_ = 0;
    next_mark_ = 0;
    next_grain_ = 0;
}

std::uint32_t natural_voice::process(std::int16_t* output, const std::int16_t* input,
                                     std::uint32_t count) noexcept {
    std::uint32_t done = 0;
    while (done < count) {
        const std::uint32_t n = std::min(step_frames, count - done);
        take_input(input + std::size_t{done} * channels_, n);
        add_marks();
        add_grains(emitted_ + n);
        emit(output + std::size_t{done} * channels_, n);
        done += n;
    }
    return count;
}

void natural_voice::take_input(const std::int16_t* input, std::uint32_t count) noexcept {
    constexpr float scale = 1.0f / 32768.0f;
    const std::uint64_t size = mask_ + 1;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t slot = static_cast<std::uint64_t>(received_) & mask_;
        float mix = 0.0f;
        for (std::uint32_t c = 0; c < channels_; ++c) {
            const float v = input[std::size_t{i} * channels_ + c] * scale;
            input_[c * size + slot] = v;
            mix += v;
        }
        mix /= static_cast<float>(channels_);
        mix_[slot] = mix;
        ++received_;

        // Direct form I: x1 x2 y1 y2.
        double* s = lowpass_state_;
        const double y = lowpass_[0] * mix + lowpass_[1] * s[0] + lowpass_[2] * s[1] -
                         lowpass_[3] * s[2] - lowpass_[4] * s[3];
        s[1] = s[0];
        s[0] = mix;
        s[3] = s[2];
        s[2] = std::abs(y) < 1e-30 ? 0.0 : y;  // no denormals in silence
        if (++decimation_phase_ < decimation_) continue;
        decimation_phase_ = 0;
        track_[tracked_ & track_mask_] = static_cast<float>(y);
        ++tracked_;
        if (++since_estimate_ >= track_hop_ && tracked_ >= 2ull * max_lag_ + 2) {
            since_estimate_ = 0;
            track_pitch();
        }
    }
}

void natural_voice::track_pitch() noexcept {
    // The newest `window` tracker samples against the same length `lag`
    // earlier, normalised by both energies, for every lag of a voice.
    const std::uint32_t window = max_lag_;
    const std::uint32_t span = window + max_lag_ + 1;
    float* s = scratch_.data();
    for (std::uint32_t i = 0; i < span; ++i) s[i] = track_[(tracked_ - span + i) & track_mask_];
    const float* x = s + span - window;
    double e0 = 0.0;
    for (std::uint32_t n = 0; n < window; ++n) e0 += double{x[n]} * x[n];
    bool voiced = false;
    double period = 0.0;
    if (e0 / window >= quiet_energy_) {
        float* score = s + span;  // indexed by lag, up to max_lag_ + 1
        double e_lag = e0;
        for (std::uint32_t lag = 1; lag <= max_lag_ + 1; ++lag) {
            // The earlier window slides back by one sample.
            const double in = x[-static_cast<std::ptrdiff_t>(lag)];
            const double out = x[static_cast<std::ptrdiff_t>(window) - lag];
            e_lag += in * in - out * out;
            const float r = dot(x, x - lag, window);
            const double energy = e0 * std::max(e_lag, 0.0);
            score[lag] = energy > 0.0 ? static_cast<float>(r / std::sqrt(energy)) : 0.0f;
        }
        float best = 0.0f;
        for (std::uint32_t lag = min_lag_; lag <= max_lag_; ++lag)
            best = std::max(best, score[lag]);
        const double threshold = voiced_ ? keep_voicing_threshold : voicing_threshold;
        if (best >= threshold) {
            std::uint32_t chosen = 0;
            for (std::uint32_t lag = min_lag_; lag < max_lag_; ++lag) {
                if (score[lag] >= first_peak_share * best && score[lag] >= score[lag - 1] &&
                    score[lag] >= score[lag + 1]) {
                    chosen = lag;
                    break;
                }
            }
            if (chosen != 0) {
                voiced = true;
                period =
                    (chosen + peak_offset(score[chosen - 1], score[chosen], score[chosen + 1])) *
                    decimation_;
            }
        }
    }
    if (voiced && decimation_ > 1) {
        // The decimated lag is good to a fraction of a tracker sample, which
        // is several full-rate frames: look again at full rate around it,
        // over two periods, and take that peak to a fraction of a frame.
        const std::int64_t around = std::lround(period);
        const std::int64_t reach = decimation_ / 2 + 2;
        const std::int64_t low = std::max<std::int64_t>(2, around - reach);
        const std::int64_t high = around + reach;
        const std::int64_t window_f = std::min<std::int64_t>(
            2 * around, static_cast<std::int64_t>(2 * max_lag_ * decimation_));
        const std::int64_t span_f = window_f + high + 2;
        float* f = scratch_.data();
        for (std::int64_t i = 0; i < span_f; ++i)
            f[i] = mix_[static_cast<std::uint64_t>(received_ - span_f + i) & mask_];
        const float* xf = f + span_f - window_f;
        const auto length = static_cast<std::size_t>(window_f);
        const double ex = dot(xf, xf, length);
        // The earlier window's energy, slid back one frame a lag.
        double ey = dot(xf - (low - 1), xf - (low - 1), length);
        double best = -2.0, before = 0.0, after = 0.0, previous = 0.0;
        std::int64_t best_lag = around;
        bool take_next = false;
        for (std::int64_t lag = low - 1; lag <= high + 1; ++lag) {
            if (lag > low - 1) {
                const double in = xf[-lag];
                const double out = xf[window_f - lag];
                ey = std::max(ey + in * in - out * out, 0.0);
            }
            const float r = dot(xf, xf - lag, length);
            const double energy = ex * ey;
            const double score = energy > 0.0 ? r / std::sqrt(energy) : 0.0;
            if (take_next) {
                after = score;
                take_next = false;
            }
            if (lag >= low && lag <= high && score > best) {
                best = score;
                best_lag = lag;
                before = previous;
                take_next = true;
            }
            previous = score;
        }
        period = static_cast<double>(best_lag) + peak_offset(before, best, after);
    }
    voiced_ = voiced;
    if (voiced) period_ = period;
}

void natural_voice::add_marks() noexcept {
    // A mark is placed once the input holds its whole grain.
    while (next_mark_ + cap_ + 2.0 <= static_cast<double>(received_)) {
        mark& m = marks_[marks_written_ & marks_mask_];
        m.position = next_mark_;
        m.period = voiced_ ? period_ : 0.0;
        ++marks_written_;
        next_mark_ += voiced_ ? period_ : unvoiced_hop_;
    }
}

void natural_voice::add_grains(std::int64_t output_end) noexcept {
    const double cap = cap_;
    while (next_grain_ - cap < static_cast<double>(output_end)) {
        const double at = next_grain_;
        // The mark nearest to this point of the output; the marks run a
        // little ahead of the output, so both neighbours are usually there.
        if (marks_written_ > mark_ring && mark_cursor_ < marks_written_ - mark_ring)
            mark_cursor_ = marks_written_ - mark_ring;
        while (mark_cursor_ + 1 < marks_written_ &&
               marks_[(mark_cursor_ + 1) & marks_mask_].position <= at)
            ++mark_cursor_;
        mark nearest{at, 0.0};
        if (marks_written_ > 0) {
            nearest = marks_[mark_cursor_ & marks_mask_];
            if (mark_cursor_ + 1 < marks_written_) {
                const mark& next = marks_[(mark_cursor_ + 1) & marks_mask_];
                if (std::abs(next.position - at) < std::abs(nearest.position - at)) nearest = next;
            }
        }
        if (nearest.period > 0.0) {
            // Two periods of the voice, shortened or stretched by the
            // formant factor, at the new period's spacing.
            double half_in = std::min(nearest.period, cap);
            double half_out = half_in / formant_;
            if (half_out > cap) {
                half_out = cap;
                half_in = cap * formant_;
            }
            add_grain(at, nearest.position, half_in, half_out);
            next_grain_ += nearest.period / pitch_;
        } else {
            // Noise and silence: Hann grains at half their length sum to one,
            // taken from under themselves.
            add_grain(at, at, unvoiced_hop_ * formant_, unvoiced_hop_);
            next_grain_ += unvoiced_hop_;
        }
    }
}

void natural_voice::add_grain(double centre, double source, double half_in,
                              double half_out) noexcept {
    const double step = half_in / half_out;
    auto first = static_cast<std::int64_t>(std::floor(centre - half_out)) + 1;
    const auto last = static_cast<std::int64_t>(std::ceil(centre + half_out)) - 1;
    first = std::max(first, emitted_);
    if (first > last) return;
    // The window's cosine by rotation: one sine and cosine a grain rather
    // than one a frame.
    const double delta = std::numbers::pi / half_out;
    const double theta = (static_cast<double>(first) - centre) * delta;
    double c = std::cos(theta), s = std::sin(theta);
    const double dc = std::cos(delta), ds = std::sin(delta);
    const std::uint64_t size = mask_ + 1;
    for (std::int64_t o = first; o <= last; ++o) {
        const auto w = static_cast<float>(0.5 + 0.5 * c);
        const double next_c = c * dc - s * ds;
        s = s * dc + c * ds;
        c = next_c;
        const double position = source + (static_cast<double>(o) - centre) * step;
        const double whole = std::floor(position);
        const auto i = static_cast<std::int64_t>(whole);
        const auto frac = static_cast<float>(position - whole);
        const std::uint64_t slot = static_cast<std::uint64_t>(o) & mask_;
        weight_[slot] += w;
        for (std::uint32_t ch = 0; ch < channels_; ++ch) {
            const float a = input_at(ch, i);
            const float b = input_at(ch, i + 1);
            sum_[ch * size + slot] += w * (a + (b - a) * frac);
        }
    }
}

float natural_voice::input_at(std::uint32_t channel, std::int64_t frame) const noexcept {
    if (frame < 0) return 0.0f;
    return input_[channel * (mask_ + 1) + (static_cast<std::uint64_t>(frame) & mask_)];
}

void natural_voice::emit(std::int16_t* output, std::uint32_t count) noexcept {
    const std::uint64_t size = mask_ + 1;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t slot = static_cast<std::uint64_t>(emitted_ + i) & mask_;
        // Where grains overlap more than a window's sum of one (higher
        // pitches), more of them a second carry more power: as many grains
        // as overlap, and the square root of that, brings the voice back to
        // its level. Where they leave gaps (lower pitches) the gaps stay, as
        // a low voice has them.
        const float gain = 32768.0f / std::sqrt(std::max(weight_[slot], 1.0f));
        weight_[slot] = 0.0f;
        for (std::uint32_t c = 0; c < channels_; ++c) {
            float& acc = sum_[c * size + slot];
            const float v = std::nearbyint(acc * gain);
            acc = 0.0f;
            output[std::size_t{i} * channels_ + c] =
                static_cast<std::int16_t>(std::clamp(v, -32768.0f, 32767.0f));
        }
    }
    emitted_ += count;
}

}  // namespace squeakbox
