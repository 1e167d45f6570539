#pragma once
// What the end-to-end tests measure in recorded sound: the fundamental
// frequency of voiced stretches, loudness envelopes and the lag between two of
// them, where sound starts and ends, and gaps in a steady tone. Written for
// the tests alone, sharing nothing with the engine.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace squeakbox::e2e {

struct pitch_frame {
    double time = 0;     // seconds, the frame's centre
    double hz = 0;       // 0 where the frame is not voiced
    double clarity = 0;  // 1 for a perfectly periodic frame
    double rms = 0;
};

struct pitch_settings {
    double rate = 44100;
    double min_hz = 70;
    double max_hz = 600;
    std::size_t window = 1024;  // frames summed per lag
    std::size_t hop = 441;      // 10 ms
    double silence_rms = 300;   // quieter frames are not voiced
    double threshold = 0.12;    // normalised difference that counts as periodic
};

// The fundamental of each frame by the cumulative-mean-normalised difference
// function: the first lag whose normalised difference dips under the
// threshold, taken to the bottom of its dip and refined by a parabola through
// the three neighbouring values. Unlike a plain autocorrelation peak it does
// not jump an octave down on a strong second harmonic.
inline std::vector<pitch_frame> track_pitch(std::span<const std::int16_t> x,
                                            const pitch_settings& s = {}) {
    std::vector<pitch_frame> frames;
    const auto min_lag = static_cast<std::size_t>(std::floor(s.rate / s.max_hz));
    const auto max_lag = static_cast<std::size_t>(std::ceil(s.rate / s.min_hz));
    std::vector<double> d(max_lag + 2);
    std::vector<double> cmnd(max_lag + 2);
    for (std::size_t start = 0; start + s.window + max_lag + 1 < x.size(); start += s.hop) {
        pitch_frame f;
        f.time = (static_cast<double>(start) + s.window / 2.0) / s.rate;
        double energy = 0;
        for (std::size_t j = 0; j < s.window; ++j) energy += double(x[start + j]) * x[start + j];
        f.rms = std::sqrt(energy / static_cast<double>(s.window));
        if (f.rms < s.silence_rms) {
            frames.push_back(f);
            continue;
        }
        for (std::size_t lag = 1; lag <= max_lag + 1; ++lag) {
            double sum = 0;
            const std::int16_t* a = x.data() + start;
            const std::int16_t* b = a + lag;
            for (std::size_t j = 0; j < s.window; ++j) {
                const double diff = double(a[j]) - double(b[j]);
                sum += diff * diff;
            }
            d[lag] = sum;
        }
        double running = 0;
        cmnd[0] = 1;
        for (std::size_t lag = 1; lag <= max_lag + 1; ++lag) {
            running += d[lag];
            cmnd[lag] = running > 0 ? d[lag] * static_cast<double>(lag) / running : 1.0;
        }
        std::size_t best = 0;
        for (std::size_t lag = std::max<std::size_t>(min_lag, 2); lag <= max_lag; ++lag) {
            if (cmnd[lag] < s.threshold) {
                while (lag + 1 <= max_lag && cmnd[lag + 1] < cmnd[lag]) ++lag;
                best = lag;
                break;
            }
        }
        if (best == 0) {
            frames.push_back(f);
            continue;
        }
        const double left = d[best - 1];
        const double centre = d[best];
        const double right = d[best + 1];
        const double curve = left - 2 * centre + right;
        const double shift = curve > 0 ? 0.5 * (left - right) / curve : 0.0;
        f.hz = s.rate / (static_cast<double>(best) + std::clamp(shift, -0.5, 0.5));
        f.clarity = 1.0 - cmnd[best];
        frames.push_back(f);
    }
    return frames;
}

inline double cents(double ratio) {
    return 1200.0 * std::log2(ratio);
}

inline double median(std::vector<double> values) {
    if (values.empty()) return std::nan("");
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// The loudness of `x` in windows of `window` frames every `hop` frames.
inline std::vector<double> envelope(std::span<const std::int16_t> x, std::size_t window = 441,
                                    std::size_t hop = 44) {
    std::vector<double> e;
    for (std::size_t k = 0; k + window <= x.size(); k += hop) {
        double energy = 0;
        for (std::size_t j = k; j < k + window; ++j) energy += double(x[j]) * x[j];
        e.push_back(std::sqrt(energy / static_cast<double>(window)));
    }
    return e;
}

// The lag, in steps of the envelopes' hop, at which `later` best matches
// `earlier` (Pearson correlation of the two envelopes), searched from 0 to
// `max_lag` steps, with its correlation.
struct envelope_match {
    std::size_t lag = 0;
    double correlation = 0;
};
inline envelope_match match_envelopes(const std::vector<double>& earlier,
                                      const std::vector<double>& later, std::size_t max_lag) {
    envelope_match best;
    best.correlation = -2;
    for (std::size_t lag = 0; lag <= max_lag && lag < later.size(); ++lag) {
        const std::size_t n = std::min(earlier.size(), later.size() - lag);
        if (n < 10) break;
        double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const double a = earlier[i];
            const double b = later[i + lag];
            sa += a;
            sb += b;
            saa += a * a;
            sbb += b * b;
            sab += a * b;
        }
        const double dn = static_cast<double>(n);
        const double cov = sab - sa * sb / dn;
        const double va = saa - sa * sa / dn;
        const double vb = sbb - sb * sb / dn;
        const double c = va > 0 && vb > 0 ? cov / std::sqrt(va * vb) : 0.0;
        if (c > best.correlation) best = {lag, c};
    }
    return best;
}

// A recording of squeak_rig.monitor, the sound-server rig's stereo null sink
// (raw 16-bit stereo at 44.1 kHz), split into its two sides.
struct rig_recording {
    std::vector<std::int16_t> in;   // what was played into squeak_in
    std::vector<std::int16_t> out;  // what the program played to squeak_out
};

inline rig_recording split_rig(std::string_view bytes) {
    rig_recording r;
    const std::size_t frames = bytes.size() / 4;
    r.in.resize(frames);
    r.out.resize(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        std::memcpy(&r.in[i], bytes.data() + 4 * i, 2);
        std::memcpy(&r.out[i], bytes.data() + 4 * i + 2, 2);
    }
    return r;
}

// The latency of the output behind the input, in frames, from the loudness
// of the two sides: envelopes of 10 ms every 1 ms, searched up to 1.5 s.
inline double measure_latency(const rig_recording& rig, double* correlation) {
    const envelope_match m = match_envelopes(envelope(rig.in), envelope(rig.out), 1500);
    if (correlation != nullptr) *correlation = m.correlation;
    return static_cast<double>(m.lag) * 44.0;
}

// First and last frame whose 10 ms neighbourhood is louder than `rms`.
struct sounding_span {
    std::size_t first = 0;
    std::size_t last = 0;
    bool found = false;
};
inline sounding_span sounding(std::span<const std::int16_t> x, double rms,
                              std::size_t window = 441) {
    sounding_span span;
    const std::vector<double> e = envelope(x, window, 1 + window / 10);
    const std::size_t hop = 1 + window / 10;
    for (std::size_t i = 0; i < e.size(); ++i) {
        if (e[i] <= rms) continue;
        if (!span.found) span.first = i * hop + window / 2;
        span.last = i * hop + window / 2;
        span.found = true;
    }
    return span;
}

// Stretches of `min_frames` or more, inside [from, to), where a steady tone
// falls below a tenth of its median loudness: what a lost or a silent block
// leaves in the output. Returns their start frames.
inline std::vector<std::size_t> gaps_in_tone(std::span<const std::int16_t> x, std::size_t from,
                                             std::size_t to, std::size_t min_frames = 128) {
    const std::size_t window = 64;
    std::vector<double> e;
    for (std::size_t k = from; k + window <= to; k += window / 2) {
        double energy = 0;
        for (std::size_t j = k; j < k + window; ++j) energy += double(x[j]) * x[j];
        e.push_back(std::sqrt(energy / window));
    }
    const double level = median(e);
    const std::size_t step = window / 2;
    std::vector<std::size_t> gaps;
    std::size_t run = 0;
    bool reported = false;
    for (std::size_t i = 0; i < e.size(); ++i) {
        if (e[i] >= level / 10) {
            run = 0;
            reported = false;
            continue;
        }
        ++run;
        if (!reported && run * step >= min_frames) {
            gaps.push_back(from + (i + 1 - run) * step);
            reported = true;
        }
    }
    return gaps;
}

// Where `needle` occurs sample for sample in `haystack`, from `from` on.
inline std::optional<std::size_t> find_exact(std::span<const std::int16_t> haystack,
                                             std::span<const std::int16_t> needle,
                                             std::size_t from = 0) {
    if (needle.empty() || haystack.size() < needle.size()) return std::nullopt;
    const auto it = std::search(haystack.begin() + static_cast<std::ptrdiff_t>(from),
                                haystack.end(), needle.begin(), needle.end());
    if (it == haystack.end()) return std::nullopt;
    return static_cast<std::size_t>(it - haystack.begin());
}

// How the blocks of a recording lie in what was played: each block holding
// sound is looked for sample for sample, first where the block before it
// implies, else anywhere after the last block found. A break is a block found
// somewhere else than implied: sound lost, repeated or padded with silence in
// between. (A block cut by a few lost samples is not found at all, and the
// ones after it lie that much earlier than implied: they are still found.)
struct block_placement {
    std::size_t sounding = 0;  // blocks holding sound
    std::size_t placed = 0;    // of those, found in what was played
    std::size_t breaks = 0;
    // Where each break falls in the recording: the block found elsewhere.
    std::vector<std::size_t> break_at;
    // Each placed block: its place in the recording, and in what was played.
    std::vector<std::pair<std::size_t, std::size_t>> placed_at;

    // The place in the recording of a sample of what was played: from the
    // last block placed at or before it. Nothing before the first one.
    [[nodiscard]] std::optional<std::size_t> recording_place(std::size_t played) const {
        std::optional<std::size_t> found;
        for (const auto& [r, p] : placed_at)
            if (p <= played) found = r + (played - p);
        return found;
    }
};
inline block_placement place_blocks(std::span<const std::int16_t> recording,
                                    std::span<const std::int16_t> played, std::size_t block = 512,
                                    int silence = 200) {
    block_placement p;
    std::optional<std::size_t> expected;
    std::size_t found_up_to = 0;  // the end of the last block found
    for (std::size_t at = 0; at + block <= recording.size(); at += block) {
        const std::span<const std::int16_t> b = recording.subspan(at, block);
        const bool quiet = std::all_of(
            b.begin(), b.end(), [silence](std::int16_t v) { return std::abs(v) <= silence; });
        if (quiet) {
            if (expected) *expected += block;
            continue;
        }
        ++p.sounding;
        if (expected && *expected + block <= played.size() &&
            std::equal(b.begin(), b.end(),
                       played.begin() + static_cast<std::ptrdiff_t>(*expected))) {
            ++p.placed;
            p.placed_at.emplace_back(at, *expected);
            *expected += block;
            found_up_to = *expected;
            continue;
        }
        if (const auto found = find_exact(played, b, found_up_to)) {
            ++p.placed;
            p.placed_at.emplace_back(at, *found);
            if (expected) {
                ++p.breaks;
                p.break_at.push_back(at);
            }
            expected = *found + block;
            found_up_to = *expected;
        } else if (expected) {
            *expected += block;
        }
    }
    return p;
}

}  // namespace squeakbox::e2e
