// squeakbox-latency-sweep: weighs sets of time-stretcher lengths against each
// other on speech. For each set (sequence / seek window / overlap in ms) and
// each pitch it runs the pitch shifter as the live program does (one channel,
// 44.1 kHz, 512-frame blocks) and prints:
//
//   held ms     input minus output over a minute of speech: what the engine
//               keeps back, as `squeakbox-render --raw` shows it (with the
//               silence that the first block of sound starts with)
//   voice ms    how much later the voice comes out: the held time less how
//               far the output's loudness runs ahead of its frame count
//   short       blocks that came back short once the sound had started
//               (each is a gap in a live stream)
//   cents       median pitch of the voiced frames against the intended shift
//   in 50c      share of voiced frames within 50 cents of the intended pitch
//   seam step   the largest sample step across a crossfade of the stretcher
//   /input      that step against the largest step of the input that the
//               joined pieces came from (5 ms around them), times the pitch
//               factor, as the transposed voice has it: above 1, the join is
//               steeper than the voice it joins
//
//   squeakbox-latency-sweep [--lengths S/W/O[,S/W/O...]] [--pacing normal|low]
//                           [--fixed] [--semitones N[,N...]] [--seconds S] SPEECH.wav...
//
// In low-latency pacing the lengths are those at unison, which the engine
// divides by the pitch factor; with --fixed they are used as given at every
// pitch. The lengths in use are shown in brackets.
//
// The speech files are 16-bit mono 44.1 kHz WAV; all of them, one after the
// other and repeated, make the minute on which the delay is taken, and each
// is judged for pitch and joins on its own.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "engine/pitch_shifter.h"
#include "engine/tempochanger.h"
#include "tests/e2e/sound_analysis.h"

namespace {

using namespace squeakbox;

constexpr std::uint32_t sample_rate = 44100;
constexpr std::uint32_t block_frames = 512;

[[noreturn]] void usage(const std::string& problem) {
    std::fprintf(stderr,
                 "squeakbox-latency-sweep: %s\n"
                 "usage: squeakbox-latency-sweep [--lengths S/W/O[,S/W/O...]] "
                 "[--pacing normal|low] [--fixed]\n"
                 "                               [--semitones N[,N...]] [--seconds S] "
                 "SPEECH.wav...\n",
                 problem.c_str());
    std::exit(2);
}

struct sound {
    std::string name;
    std::vector<std::int16_t> samples;
};

// 16-bit mono 44.1 kHz PCM WAV only: what the sweep's script makes with sox.
sound read_wav(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), {});
    const auto u32 = [&](std::size_t at) {
        std::uint32_t v = 0;
        std::memcpy(&v, bytes.data() + at, 4);
        return v;
    };
    const auto u16 = [&](std::size_t at) {
        std::uint16_t v = 0;
        std::memcpy(&v, bytes.data() + at, 2);
        return v;
    };
    if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0)
        usage(path + ": not a WAV file");
    sound s{path, {}};
    bool format_ok = false;
    for (std::size_t at = 12; at + 8 <= bytes.size();) {
        const std::uint32_t size = u32(at + 4);
        const std::size_t body = at + 8;
        if (bytes.compare(at, 4, "fmt ") == 0 && body + 16 <= bytes.size())
            format_ok = (u16(body) == 1 || u16(body) == 0xFFFE) && u16(body + 2) == 1 &&
                        u32(body + 4) == sample_rate && u16(body + 14) == 16;
        if (bytes.compare(at, 4, "data") == 0) {
            const std::size_t n = std::min<std::size_t>(size, bytes.size() - body) / 2;
            s.samples.resize(n);
            std::memcpy(s.samples.data(), bytes.data() + body, n * 2);
        }
        at = body + size + (size & 1);
    }
    if (!format_ok || s.samples.empty())
        usage(path + ": needs 16-bit mono 44.1 kHz PCM with sound in it");
    return s;
}

std::vector<std::string_view> split(std::string_view text, char by) {
    std::vector<std::string_view> parts;
    while (true) {
        const std::size_t at = text.find(by);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

long whole_number(std::string_view text, std::string_view what) {
    const std::string s(text);
    char* end = nullptr;
    const long v = std::strtol(s.c_str(), &end, 10);
    if (s.empty() || *end != '\0') usage(std::string(what) + ": not a whole number: " + s);
    return v;
}

// The overlap in frames, as the stretcher rounds it: a power of two, 16..512.
std::uint32_t overlap_frames(std::uint32_t overlap_ms) {
    const double x = double(sample_rate * overlap_ms) / 1000.0;
    const double e = std::clamp(std::floor(std::log2(x) + 0.5), 4.0, 9.0);
    return 1u << static_cast<unsigned>(e);
}

// A crossfade: where it begins in the output, and the stretch of the input
// (in input frames) that the two pieces it joins were taken from.
struct seam {
    std::size_t at = 0;
    double source_from = 0;
    double source_to = 0;
};

// One pass of a sound through a fresh engine: the raw stream, its seams, and
// the blocks that came back short once the sound was flowing.
struct pass {
    std::vector<std::int16_t> out;
    std::vector<seam> seams;
    std::size_t short_blocks = 0;
    std::uint64_t in_frames = 0;
    std::size_t lead_silence = 0;  // zeros that the first block of sound began with
    stretch_lengths used;          // the stretcher's lengths at this pitch
};

pass run(const std::vector<std::int16_t>& in, const stretch_lengths& lengths, latency_mode pacing,
         bool fixed, std::int32_t semitones) {
    pitch_shifter engine;
    engine.set_channels(1);
    engine.set_sample_rate(sample_rate);
    engine.set_block_size(block_frames * 2);
    engine.set_latency(pacing);
    engine.set_pitch_semitones(semitones);
    stretch_lengths given = lengths;
    if (fixed && pacing == latency_mode::low) {
        // The low-latency mode divides its lengths by the pitch factor (up to
        // an octave); multiplied first, they come out as given.
        const double factor = std::clamp(double(engine.pitch()), 0.5, 2.0);
        const auto times = [factor](std::uint32_t ms) {
            return std::uint32_t(std::lround(double(ms) * factor));
        };
        given = {times(lengths.sequence_ms), times(lengths.seek_window_ms),
                 times(lengths.overlap_ms)};
    }
    engine.set_stretch_lengths(given);
    const tempochanger& stretcher = engine.tempo_changer();
    const stretch_lengths& used = engine.stretcher_lengths();
    const std::uint32_t sequence = sample_rate * used.sequence_ms / 1000;
    const std::uint32_t seek = sample_rate * used.seek_window_ms / 1000;
    const std::uint32_t overlap = overlap_frames(used.overlap_ms);
    const std::uint32_t skip = (sequence - overlap) * engine.effective_tempo() / 10000;
    const double input_per_transposed = engine.effective_rate() / 10000.0;
    pass p;
    p.used = engine.stretcher_lengths();
    std::vector<std::int16_t> block(block_frames);
    std::uint64_t transposed = 0;  // frames the stretcher was given
    for (std::size_t at = 0; at + block_frames <= in.size(); at += block_frames) {
        const std::uint32_t held_before = stretcher.held_output_frames();
        const std::size_t handed_before = p.out.size();
        const std::uint32_t n = engine.process(block.data(), in.data() + at, block_frames);
        p.in_frames += block_frames;
        if (handed_before == 0 && n > 0)
            while (p.lead_silence < n && block[p.lead_silence] == 0) ++p.lead_silence;
        p.out.insert(p.out.end(), block.begin(), block.begin() + n);
        const bool made = stretcher.held_output_frames() + n > held_before;
        const std::uint32_t consumed = made ? skip : 0;
        // The transposer hands on the input at its rate, to a frame or so (a
        // sequence may consume a few frames beyond its skip, so the held
        // input does not tell).
        transposed = p.in_frames * 10000 / engine.effective_rate();
        if (made) {
            // The crossfade starts right behind what was held before. It
            // fades the end of the last sequence (skip frames before this
            // one's start, then sequence - overlap on) into this one's start,
            // which lies within the seek window of the held input.
            const double start = double(transposed - stretcher.held_input_frames() - consumed);
            const double old_piece = start - skip + (sequence - overlap);
            const double from = std::min(start, old_piece);
            const double to = std::max(start, old_piece) + seek + overlap;
            p.seams.push_back({handed_before + held_before, from * input_per_transposed,
                               to * input_per_transposed});
        }
        if (n < block_frames && handed_before > 0) ++p.short_blocks;
    }
    return p;
}

// How far (frames) the output's loudness is ahead of its frame index: output
// frame t carries about input frame t + ahead. Searched within +-max.
long content_ahead(const std::vector<std::int16_t>& in, const std::vector<std::int16_t>& out,
                   long max_frames) {
    constexpr std::size_t hop = 44;
    const auto ein = e2e::envelope(in, 441, hop);
    const auto eout = e2e::envelope(out, 441, hop);
    const auto max_steps = static_cast<std::size_t>(max_frames) / hop;
    // Output ahead of input: input later than output.
    const e2e::envelope_match ahead = e2e::match_envelopes(eout, ein, max_steps);
    const e2e::envelope_match behind = e2e::match_envelopes(ein, eout, max_steps);
    if (ahead.correlation >= behind.correlation) return static_cast<long>(ahead.lag * hop);
    return -static_cast<long>(behind.lag * hop);
}

struct quality {
    double median_cents = std::nan("");  // against the intended shift
    double within_50 = 0;                // share of voiced frames
    std::size_t frames = 0;
    double seam_step = 0;   // largest step across a crossfade
    double seam_ratio = 0;  // against the input's largest step around it
};

quality judge(const std::vector<std::int16_t>& in, const pass& p, long ahead, std::uint32_t overlap,
              std::int32_t semitones) {
    quality q;
    // A voice taken down an octave goes below the usual 70 Hz floor.
    e2e::pitch_settings settings;
    if (semitones < 0) {
        settings.min_hz = 70.0 * std::exp2(semitones / 12.0) * 0.9;
        settings.window = 2048;
    }
    const auto a = e2e::track_pitch(in, settings);
    const auto b = e2e::track_pitch(p.out, settings);
    const double hop = double(settings.hop) / settings.rate;
    std::vector<double> errors;
    std::size_t close = 0;
    for (const auto& f : a) {
        if (f.hz <= 0 || b.empty()) continue;
        // The output frame whose centre carries this input frame.
        const double k = std::round((f.time - double(ahead) / sample_rate - b.front().time) / hop);
        if (k < 0 || k >= double(b.size())) continue;
        const auto& g = b[static_cast<std::size_t>(k)];
        if (g.hz <= 0) continue;
        const double error = e2e::cents(g.hz / f.hz) - 100.0 * semitones;
        errors.push_back(error);
        if (std::abs(error) <= 50) ++close;
    }
    q.frames = errors.size();
    if (!errors.empty()) {
        q.median_cents = e2e::median(errors);
        q.within_50 = double(close) / double(errors.size());
    }
    // A join: from the frame before the crossfade to the first frame after
    // it, against the input it was made from and 5 ms around that.
    const long around = 5 * long(sample_rate) / 1000;
    for (const seam& j : p.seams) {
        const std::size_t s = j.at;
        if (s == 0 || s + overlap >= p.out.size()) continue;
        int step = 0;
        for (std::size_t k = s; k <= s + overlap; ++k)
            step = std::max(step, std::abs(int(p.out[k]) - int(p.out[k - 1])));
        const long from = std::max(1L, long(j.source_from) - around);
        const long to = std::min(long(in.size()), long(j.source_to) + around);
        if (from >= to) continue;
        int local = 0;
        for (long k = from; k < to; ++k)
            local =
                std::max(local, std::abs(int(in[std::size_t(k)]) - int(in[std::size_t(k - 1)])));
        q.seam_step = std::max(q.seam_step, double(step));
        // The stretcher joins the transposed voice, whose steps are the
        // input's times the pitch factor.
        const double expected = local * std::exp2(semitones / 12.0);
        if (local > 0) q.seam_ratio = std::max(q.seam_ratio, double(step) / expected);
    }
    return q;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<stretch_lengths> sets = {pitch_shifter::normal_lengths,
                                         pitch_shifter::low_latency_lengths};
    latency_mode pacing = latency_mode::low;
    bool fixed = false;
    std::vector<std::int32_t> pitches = {-12, -6, 6, 12};
    double seconds = 60;
    std::vector<sound> speech;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        const auto value = [&]() -> std::string_view {
            if (i + 1 >= argc) usage(std::string(a) + " needs a value");
            return argv[++i];
        };
        if (a == "--lengths") {
            sets.clear();
            for (const auto item : split(value(), ',')) {
                const auto parts = split(item, '/');
                if (parts.size() != 3) usage("--lengths needs SEQUENCE/SEEK/OVERLAP in ms");
                stretch_lengths l;
                l.sequence_ms = std::uint32_t(whole_number(parts[0], "--lengths"));
                l.seek_window_ms = std::uint32_t(whole_number(parts[1], "--lengths"));
                l.overlap_ms = std::uint32_t(whole_number(parts[2], "--lengths"));
                if (l.sequence_ms == 0 || l.sequence_ms > 200 || l.seek_window_ms > 100 ||
                    l.overlap_ms == 0 || l.overlap_ms > 20)
                    usage("--lengths out of range");
                sets.push_back(l);
            }
        } else if (a == "--pacing") {
            const auto v = value();
            if (v == "normal")
                pacing = latency_mode::normal;
            else if (v == "low")
                pacing = latency_mode::low;
            else
                usage("--pacing is normal or low");
        } else if (a == "--fixed") {
            fixed = true;
        } else if (a == "--semitones") {
            pitches.clear();
            for (const auto item : split(value(), ','))
                pitches.push_back(std::int32_t(std::clamp(whole_number(item, a), -48L, 48L)));
        } else if (a == "--seconds") {
            seconds = std::strtod(std::string(value()).c_str(), nullptr);
            if (!(seconds >= 5 && seconds <= 3600)) usage("--seconds must be 5 to 3600");
        } else if (a.starts_with("-")) {
            usage("unknown option " + std::string(a));
        } else {
            speech.push_back(read_wav(std::string(a)));
        }
    }
    if (speech.empty()) usage("needs at least one speech file");

    std::vector<std::int16_t> minute;
    const auto wanted = static_cast<std::size_t>(seconds * sample_rate);
    while (minute.size() < wanted)
        for (const auto& s : speech)
            minute.insert(minute.end(), s.samples.begin(), s.samples.end());
    minute.resize(wanted);

    std::printf("pacing %s; delay over %.0f s of %zu speech file(s) in 512-frame blocks\n",
                pacing == latency_mode::low ? "low" : "normal", seconds, speech.size());
    std::printf("%-20s %5s %8s %8s %6s |", "S/W/O ms (at pitch)", "semi", "held ms", "voice ms",
                "short");
    for (std::size_t k = 0; k < speech.size(); ++k)
        std::printf(" %7s %6s %5s %6s |", "cents", "in 50c", "seam", "/input");
    std::printf("\n");
    for (const auto& l : sets) {
        for (const std::int32_t semitones : pitches) {
            const pass whole = run(minute, l, pacing, fixed, semitones);
            // The low-latency pacing starts its first block with silence of
            // its own, which is delay as much as the frames it never returned.
            const double held =
                double(whole.in_frames - whole.out.size()) + double(whole.lead_silence);
            const long ahead = content_ahead(minute, whole.out, 4410);
            char name[48];
            std::snprintf(name, sizeof name, "%u/%u/%u (%u/%u/%u)", l.sequence_ms, l.seek_window_ms,
                          l.overlap_ms, whole.used.sequence_ms, whole.used.seek_window_ms,
                          whole.used.overlap_ms);
            std::printf("%-20s %+5d %8.1f %8.1f %6zu |", name, semitones,
                        1000.0 * held / sample_rate, 1000.0 * (held - double(ahead)) / sample_rate,
                        whole.short_blocks);
            for (const auto& s : speech) {
                const pass p = run(s.samples, l, pacing, fixed, semitones);
                const long a = content_ahead(s.samples, p.out, 4410);
                const quality q =
                    judge(s.samples, p, a, overlap_frames(p.used.overlap_ms), semitones);
                std::printf(" %+7.2f %5.1f%% %5.0f %6.2f |", q.median_cents, 100.0 * q.within_50,
                            q.seam_step, q.seam_ratio);
            }
            std::printf("\n");
            std::fflush(stdout);
        }
    }
    return 0;
}
