// Speed of the tempo changer on one channel at 44.1 kHz, per SIMD level.
//
// process/<level>/tempo:<t>/block:<n> feeds blocks of n frames; x_realtime is
// the input frames per second over 44100. The +6 semitone case feeds what the
// rate transposer makes of a 512-frame captured block (362 frames at tempo
// 7071); there x_realtime counts 512 captured frames per call, the program's
// own measure. search/<level> is one full one-channel best-overlap search
// (1234 positions of 511 terms).

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/simd/dispatch.h"
#include "engine/tempochanger.h"

namespace squeakbox {
namespace {

constexpr double sample_rate = 44100;

// Ten seconds of a voice-like signal: harmonics with vibrato, and some noise.
const std::vector<std::int16_t>& material() {
    static const std::vector<std::int16_t> signal = [] {
        std::vector<std::int16_t> s(441000);
        std::uint32_t noise = 12345;
        double phase = 0;
        for (std::size_t i = 0; i < s.size(); ++i) {
            const double t = static_cast<double>(i) / sample_rate;
            phase += 2 * M_PI * (150 + 30 * std::sin(2 * M_PI * 2.7 * t)) / sample_rate;
            noise = noise * 1664525u + 1013904223u;
            const double v =
                std::sin(phase) + 0.5 * std::sin(2 * phase) + 0.3 * std::sin(3 * phase);
            s[i] = static_cast<std::int16_t>(5000 * v + static_cast<int>(noise >> 23) - 256);
        }
        return s;
    }();
    return signal;
}

struct search_probe : tempochanger {
    using tempochanger::overlap_buffer;
    using tempochanger::seek_best_overlap_mono;
    using tempochanger::tempochanger;
};

void process_blocks(benchmark::State& state, simd::level level, std::uint32_t tempo,
                    std::uint32_t block, double captured_per_call) {
    tempochanger t(level);
    t.set_channels(1);
    t.set_parameters(44100, 82, 28, 12);
    // Room for the output of a block at any of these tempi, so the pacing
    // never lets the held output pile up.
    t.set_block_size(4 * block * 2);
    t.set_tempo(tempo);
    const auto& signal = material();
    std::vector<std::int16_t> out(4 * block);
    std::size_t at = 0;
    auto call = [&] {
        if (at + block > signal.size()) at = 0;
        benchmark::DoNotOptimize(t.process(out.data(), signal.data() + at, block));
        at += block;
    };
    for (int i = 0; i < 1000; ++i) call();  // past start-up and buffer growth
    for (auto _ : state) call();
    benchmark::ClobberMemory();
    const auto calls = static_cast<double>(state.iterations());
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * block);
    state.counters["x_realtime"] =
        benchmark::Counter(calls * captured_per_call / sample_rate, benchmark::Counter::kIsRate);
    state.SetLabel(simd::level_name(level));
}

void one_search(benchmark::State& state, simd::level level) {
    search_probe t(level);
    t.set_channels(1);
    const auto& signal = material();
    std::copy(signal.begin() + 20000, signal.begin() + 20512, t.overlap_buffer.get());
    std::size_t at = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            t.seek_best_overlap_mono(t.overlap_buffer.get(), signal.data() + at));
        at = (at + 4409) % 100000;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * 1234);  // positions
    state.SetLabel(simd::level_name(level));
}

const int registered = [] {
    for (simd::level level : simd::all_levels) {
        if (!simd::processor_supports(level)) continue;
        const std::string name = simd::level_name(level);
        for (std::uint32_t tempo : {10000u, 7071u}) {
            benchmark::RegisterBenchmark(
                ("process/" + name + "/tempo:" + std::to_string(tempo) + "/block:512").c_str(),
                process_blocks, level, tempo, 512u, 512.0);
        }
        benchmark::RegisterBenchmark(("process/" + name + "/tempo:7071/block:362/+6st").c_str(),
                                     process_blocks, level, 7071u, 362u, 512.0);
        benchmark::RegisterBenchmark(("search/" + name).c_str(), one_search, level);
    }
    return 0;
}();

}  // namespace
}  // namespace squeakbox
