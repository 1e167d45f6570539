// squeakbox-soak: hours of voice through the pitch shifter as fast as it runs,
// with the pitch changing every few seconds, as a long call would. It prints
// once per stretch of sound how far the output is behind the input and where
// that delay sits, and the process's memory; it checks that the sound neither
// dies nor blows up and, when asked, that the delay and the peak memory stay
// within bounds.
//
// The frames handed out match the frames put in after the first blocks, but
// that alone does not show the delay: the tempo changer hands out at most one
// block per call, so sound it makes beyond that waits in its output buffer,
// and every frame waiting there is heard that much later. The "held" columns
// are that wait.
//
//   squeakbox-soak [--hours H] [--change-seconds S] [--semitones N] [--seed N]
//                  [--max-lag-ms MS] [--max-growth-kb KB]
//
// Exit status 0 when every check held, 1 when one failed, 2 for a usage error.

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "engine/pitch_shifter.h"
#include "engine/simd/dispatch.h"
#include "engine/tempochanger.h"
#include "tests/engine/allocation_count.h"
#include "tests/engine/speech_signal.h"

namespace {

using namespace squeakbox;

constexpr std::uint32_t sample_rate = 44100;
constexpr std::uint32_t block_frames = 512;
constexpr std::uint64_t frames_per_hour = 3600ull * sample_rate;

struct soak_options {
    double hours = 10.0;
    double change_seconds = 4.0;
    std::optional<std::int32_t> semitones;  // unset: a new random pitch at every change
    std::uint32_t seed = 2024;
    double max_lag_ms = 0;      // 0: no limit; sound held in the tempo changer
    double max_growth_kb = 0;   // 0: no limit; peak memory growth after the first hour
    double report_hours = 1.0;  // how often to print
    // Set: one steady run per pitch instead, each of `hours`, printing one
    // line per pitch (see sweep below).
    std::vector<std::int32_t> sweep;
    std::uint32_t channels = 1;
    double max_excursion_ms = 0;  // 0: no limit; held sound's largest move after a minute
};

// The process's peak and current resident memory in kB, from the kernel.
struct memory_use {
    long peak_kb = 0;
    long current_kb = 0;
};

memory_use read_memory() {
    memory_use use;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) use.peak_kb = std::strtol(line.c_str() + 6, nullptr, 10);
        if (line.rfind("VmRSS:", 0) == 0)
            use.current_kb = std::strtol(line.c_str() + 6, nullptr, 10);
    }
    if (use.peak_kb == 0) {  // no /proc: getrusage's peak, in kB on Linux
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        use.peak_kb = usage.ru_maxrss;
    }
    return use;
}

[[noreturn]] void usage(const std::string& problem) {
    std::fprintf(stderr,
                 "squeakbox-soak: %s\n"
                 "usage: squeakbox-soak [--hours H] [--change-seconds S] [--semitones N]\n"
                 "                      [--seed N] [--max-lag-ms MS] [--max-growth-kb KB]\n"
                 "                      [--report-hours H]\n"
                 "       squeakbox-soak --sweep all|S1,S2,... [--hours H] [--channels 1|2]\n"
                 "                      [--max-excursion-ms MS]\n",
                 problem.c_str());
    std::exit(2);
}

double number(std::string_view option, const char* text) {
    if (text == nullptr) usage(std::string(option) + " needs a value");
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(value) || value < 0)
        usage(std::string(option) + ": not a number that can be used: " + text);
    return value;
}

// "all" (the engine's whole range) or pitches separated by commas.
std::vector<std::int32_t> pitch_list(std::string_view text) {
    std::vector<std::int32_t> pitches;
    const std::int32_t most = pitch_shifter::max_semitones;
    if (text == "all") {
        for (std::int32_t s = -most; s <= most; ++s) pitches.push_back(s);
        return pitches;
    }
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::string item(text.substr(0, comma));
        char* end = nullptr;
        const long s = std::strtol(item.c_str(), &end, 10);
        if (item.empty() || *end != '\0' || s < -most || s > most)
            usage("--sweep: " + pitch_shifter::out_of_range_message(s) + " (or not a number: '" +
                  item + "')");
        pitches.push_back(static_cast<std::int32_t>(s));
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return pitches;
}

soak_options parse(int argc, char** argv) {
    soak_options o;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--hours") {
            o.hours = number(a, value);
        } else if (a == "--change-seconds") {
            o.change_seconds = number(a, value);
        } else if (a == "--semitones") {
            if (value == nullptr) usage("--semitones needs a value");
            char* end = nullptr;
            const long s = std::strtol(value, &end, 10);
            if (end == value || *end != '\0' || s < -pitch_shifter::max_semitones ||
                s > pitch_shifter::max_semitones)
                usage("--semitones: " + pitch_shifter::out_of_range_message(s));
            o.semitones = static_cast<std::int32_t>(s);
        } else if (a == "--seed") {
            o.seed = static_cast<std::uint32_t>(number(a, value));
        } else if (a == "--max-lag-ms") {
            o.max_lag_ms = number(a, value);
        } else if (a == "--max-growth-kb") {
            o.max_growth_kb = number(a, value);
        } else if (a == "--report-hours") {
            o.report_hours = number(a, value);
        } else if (a == "--sweep") {
            if (value == nullptr) usage("--sweep needs a list of pitches, or all");
            o.sweep = pitch_list(value);
        } else if (a == "--channels") {
            const double c = number(a, value);
            if (c != 1 && c != 2) usage("--channels must be 1 or 2");
            o.channels = static_cast<std::uint32_t>(c);
        } else if (a == "--max-excursion-ms") {
            o.max_excursion_ms = number(a, value);
        } else {
            usage("unknown option " + std::string(a));
        }
        ++i;
    }
    if (o.hours <= 0) usage("--hours must be above 0");
    if (o.report_hours <= 0) usage("--report-hours must be above 0");
    if (o.change_seconds < 0.05) usage("--change-seconds must be at least 0.05");
    return o;
}

// One steady run per pitch. The delay from microphone to speaker grows with
// the sound the tempo changer holds (output made but not handed out, and input
// waiting, in output time); it must stay within a band. Per pitch: when the
// stretcher first caught up with its surplus, the largest move of the held
// sound and of the held output alone away from their values after the first
// minute, the output buffer and the process's memory after one hour and at
// the end, and the allocations after the first minute.
int sweep(const soak_options& options) {
    const std::uint32_t ch = options.channels;
    const std::uint64_t loop_blocks = 30ull * sample_rate / block_frames;
    const auto left = testing::speech_like(loop_blocks * block_frames, sample_rate, options.seed);
    const auto right =
        testing::speech_like(loop_blocks * block_frames, sample_rate, options.seed + 1);
    std::vector<std::int16_t> voice(left.size() * ch);
    for (std::size_t i = 0; i < left.size(); ++i) {
        voice[i * ch] = left[i];
        if (ch == 2) voice[i * 2 + 1] = right[i];
    }
    const auto total_blocks = static_cast<std::uint64_t>(
        options.hours * static_cast<double>(frames_per_hour) / block_frames);
    const std::uint64_t minute_blocks = 60ull * sample_rate / block_frames;
    const std::uint64_t hour_blocks = frames_per_hour / block_frames;
    const auto ms = [](double frames) { return 1000.0 * frames / sample_rate; };

    std::printf("squeakbox-soak: %g h of voice at each of %zu pitches, %u channel(s)\n",
                options.hours, options.sweep.size(), ch);
    std::printf("%5s %9s %9s %9s %9s %9s %9s %9s %9s %7s %7s\n", "pitch", "first s", "sound ms",
                "output ms", "delay ms", "buf1h kB", "buf kB", "rss1h kB", "rss kB", "allocs",
                "sec");
    std::fflush(stdout);
    bool failed = false;
    std::vector<std::int16_t> output(std::size_t{block_frames} * ch);
    for (const std::int32_t semitones : options.sweep) {
        const auto started = std::chrono::steady_clock::now();
        pitch_shifter engine;
        engine.set_channels(ch);
        engine.set_sample_rate(sample_rate);
        engine.set_block_size(block_frames * 2 * ch);
        engine.set_pitch_semitones(semitones);
        const tempochanger& stretcher = engine.tempo_changer();
        double first_catch_up = -1;
        std::uint64_t sound_at_minute = 0, output_at_minute = 0;
        double sound_moved = 0, output_moved = 0;
        double buffer_hour_kb = 0;
        long rss_hour_kb = 0;
        allocations = 0;
        for (std::uint64_t b = 0; b < total_blocks; ++b) {
            const std::int16_t* source = voice.data() + (b % loop_blocks) * block_frames * ch;
            engine.process(output.data(), source, block_frames);
            if (first_catch_up < 0 && stretcher.catch_ups() > 0)
                first_catch_up = double(b * block_frames) / sample_rate;
            const std::uint64_t sound = stretcher.held_sound_frames();
            const std::uint64_t held = stretcher.held_output_frames();
            if (b == minute_blocks) {
                sound_at_minute = sound;
                output_at_minute = held;
                counting_allocations = true;
            } else if (b > minute_blocks) {
                sound_moved =
                    std::max(sound_moved, std::abs(double(sound) - double(sound_at_minute)));
                output_moved =
                    std::max(output_moved, std::abs(double(held) - double(output_at_minute)));
            }
            if (b + 1 == hour_blocks) {
                counting_allocations = false;
                buffer_hour_kb = stretcher.output_capacity_samples() * 2.0 / 1024.0;
                rss_hour_kb = read_memory().current_kb;
                counting_allocations = true;
            }
        }
        counting_allocations = false;
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::printf("%+5d %9.1f %9.1f %9.1f %9.1f %9.1f %9.1f %9ld %9ld %7llu %7.1f\n", semitones,
                    first_catch_up, ms(sound_moved), ms(output_moved),
                    ms(double(stretcher.held_sound_frames())), buffer_hour_kb,
                    stretcher.output_capacity_samples() * 2.0 / 1024.0, rss_hour_kb,
                    read_memory().current_kb, static_cast<unsigned long long>(allocations.load()),
                    seconds);
        std::fflush(stdout);
        if (options.max_excursion_ms > 0 && (ms(sound_moved) > options.max_excursion_ms ||
                                             ms(output_moved) > options.max_excursion_ms)) {
            std::printf("FAIL: at %+d semitones the delay moved by more than %.0f ms\n", semitones,
                        options.max_excursion_ms);
            failed = true;
        }
        if (allocations.load() != 0) {
            std::printf("FAIL: at %+d semitones the engine allocated after its first minute\n",
                        semitones);
            failed = true;
        }
    }
    return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    const soak_options options = parse(argc, argv);
    if (!options.sweep.empty()) return sweep(options);

    // Half a minute of voice, played round and round: long enough that the
    // pitch changes meet it at ever different places.
    const std::uint64_t loop_blocks = 30ull * sample_rate / block_frames;
    const std::vector<std::int16_t> voice =
        testing::speech_like(loop_blocks * block_frames, sample_rate, options.seed);

    pitch_shifter engine;
    engine.set_channels(1);
    engine.set_sample_rate(sample_rate);
    engine.set_block_size(block_frames * 2);
    std::mt19937 random(options.seed);
    std::uniform_int_distribution<std::int32_t> pitch_choice(-12, 12);
    std::int32_t semitones = options.semitones.value_or(6);
    engine.set_pitch_semitones(semitones);

    // Whole blocks, at least the hours asked for.
    const auto total_frames =
        static_cast<std::uint64_t>(options.hours * static_cast<double>(frames_per_hour));
    const std::uint64_t total_blocks = (total_frames + block_frames - 1) / block_frames;
    const auto change_blocks = std::max<std::uint64_t>(
        1, static_cast<std::uint64_t>(options.change_seconds * sample_rate / block_frames));
    const auto report_frames = std::max<std::uint64_t>(
        block_frames,
        static_cast<std::uint64_t>(options.report_hours * static_cast<double>(frames_per_hour)));
    std::uint64_t next_report = report_frames;

    char schedule[96];
    if (options.semitones)
        std::snprintf(schedule, sizeof schedule, "steady at %+d semitones", *options.semitones);
    else
        std::snprintf(schedule, sizeof schedule, "a random pitch from -12 to +12 every %g s",
                      options.change_seconds);
    std::printf("squeakbox-soak: %g h of voice, %s, engine %s\n", options.hours, schedule,
                engine_description(engine.variant(), engine.latency()).c_str());
    std::printf("%6s %11s %11s %9s %8s %8s %9s %8s %8s %7s %7s\n", "hours", "input", "output",
                "in-out ms", "held ms", "max held", "buffer kB", "peak kB", "rss kB", "out/in",
                "sec");
    std::fflush(stdout);

    std::vector<std::int16_t> input(block_frames);
    std::vector<std::int16_t> output(block_frames);
    std::uint64_t in_frames = 0;
    std::uint64_t out_frames = 0;
    std::uint32_t max_held = 0;
    std::uint64_t stretch_frames = 0;
    double in_energy = 0;
    double out_energy = 0;
    std::optional<long> first_hour_peak;
    bool failed = false;
    const auto started = std::chrono::steady_clock::now();
    const tempochanger& stretcher = engine.tempo_changer();

    for (std::uint64_t b = 0; b < total_blocks; ++b) {
        if (!options.semitones && b % change_blocks == 0 && b > 0) {
            semitones = pitch_choice(random);
            engine.set_pitch_semitones(semitones);
        }
        const std::int16_t* source = voice.data() + (b % loop_blocks) * block_frames;
        std::copy(source, source + block_frames, input.begin());
        const std::uint32_t n = engine.process(output.data(), input.data(), block_frames);
        if (n > block_frames) {
            std::printf("FAIL: a block came back with %u frames, more than its %u\n", n,
                        block_frames);
            return 1;
        }
        in_frames += block_frames;
        out_frames += n;
        stretch_frames += block_frames;
        max_held = std::max(max_held, stretcher.held_output_frames());
        for (std::uint32_t i = 0; i < block_frames; ++i) in_energy += double(input[i]) * input[i];
        for (std::uint32_t i = 0; i < n; ++i) out_energy += double(output[i]) * output[i];

        const bool last = b + 1 == total_blocks;
        if (in_frames < next_report && !last) continue;
        while (next_report <= in_frames) next_report += report_frames;
        const memory_use memory = read_memory();
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        const double hours = double(in_frames) / double(frames_per_hour);
        const double held_ms = 1000.0 * stretcher.held_output_frames() / sample_rate;
        const double ratio = in_energy > 0 ? std::sqrt(out_energy / in_energy) : 0.0;
        std::printf(
            "%6.2f %11llu %11llu %9.1f %8.1f %8.1f %9.1f %8ld %8ld %7.3f %7.1f\n", hours,
            static_cast<unsigned long long>(in_frames), static_cast<unsigned long long>(out_frames),
            1000.0 * double(in_frames - out_frames) / sample_rate, held_ms,
            1000.0 * max_held / sample_rate, stretcher.output_capacity_samples() * 2.0 / 1024.0,
            memory.peak_kb, memory.current_kb, ratio, seconds);
        std::fflush(stdout);
        // A stretch of a few blocks at the end says nothing about the level.
        const bool judged = stretch_frames >= 10ull * sample_rate;
        in_energy = out_energy = 0;
        stretch_frames = 0;
        if (!first_hour_peak && hours >= 0.999) first_hour_peak = memory.peak_kb;

        // The sound of the last stretch: neither dying away nor blowing up.
        if (judged && (ratio < 0.5 || ratio > 2.0)) {
            std::printf("FAIL: the output's level is %.3f times the input's\n", ratio);
            failed = true;
        }
        if (options.max_lag_ms > 0 && held_ms > options.max_lag_ms) {
            std::printf("FAIL: %.1f ms of sound wait in the tempo changer, more than %.1f ms\n",
                        held_ms, options.max_lag_ms);
            failed = true;
        }
        if (options.max_growth_kb > 0 && first_hour_peak &&
            double(memory.peak_kb - *first_hour_peak) > options.max_growth_kb) {
            std::printf("FAIL: peak memory grew by %ld kB since the first hour, more than %.0f\n",
                        memory.peak_kb - *first_hour_peak, options.max_growth_kb);
            failed = true;
        }
        if (failed) return 1;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("squeakbox-soak: %.2f h of voice in %.1f s (%.0f times real time)\n",
                double(in_frames) / double(frames_per_hour), seconds,
                double(in_frames) / sample_rate / seconds);
    return 0;
}
