// The rate transposer's cost on the program's blocks: 512 frames of one
// channel at 44.1 kHz, with 32 taps.
//
// Reports frames per second and `x_realtime`, the factor against real time
// (44100 frames per second = 1x).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "engine/anti_alias_filter.h"
#include "engine/rate_transposer.h"
#include "engine/simd/dispatch.h"

namespace {

using namespace squeakbox;

constexpr std::uint32_t block_frames = 512;
constexpr double sample_rate = 44100.0;

std::vector<std::int16_t> noise(std::size_t n) {
    std::mt19937 gen(1);
    std::uniform_int_distribution<int> dist(-20000, 20000);
    std::vector<std::int16_t> out(n);
    for (auto& s : out) s = static_cast<std::int16_t>(dist(gen));
    return out;
}

void report(benchmark::State& state, simd::level l, std::uint64_t frames) {
    state.SetItemsProcessed(static_cast<std::int64_t>(frames));
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(frames) / sample_rate, benchmark::Counter::kIsRate);
    state.SetLabel(simd::level_name(l));
}

void filter_mono(benchmark::State& state, simd::level l) {
    anti_alias_filter f(32, l);
    f.set_cutoff(5000.0 / 14142);
    const auto in = noise(block_frames + 32);
    std::vector<std::int16_t> out(block_frames);
    std::uint64_t frames = 0;
    for (auto _ : state) {
        frames += f.filter(out.data(), in.data(), block_frames + 32, 1);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    report(state, l, frames);
}

// Counts input frames: the transposer's real-time budget is set by the
// capture side.
void transposer_mono(benchmark::State& state, simd::level l, std::uint32_t rate) {
    rate_transposer_stage t(0, l);
    t.set_channels(1);
    t.set_block_size(2 * 1056);
    t.set_rate(rate);
    const auto in = noise(block_frames);
    std::vector<std::int16_t> out(block_frames * 10000 / rate + 32);
    std::uint64_t frames = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(t.process(out.data(), in.data(), block_frames));
        benchmark::ClobberMemory();
        frames += block_frames;
    }
    report(state, l, frames);
}

// Every level this processor runs, scalar first, so the gain of each shows.
const bool registered = [] {
    for (simd::level l : simd::all_levels) {
        if (!simd::processor_supports(l)) continue;
        const std::string name = simd::level_name(l);
        benchmark::RegisterBenchmark(("filter_mono_32taps/" + name).c_str(), filter_mono, l);
        for (std::uint32_t rate : {14142u, 7071u})
            benchmark::RegisterBenchmark(
                ("rate_transposer_mono/" + std::to_string(rate) + "/" + name).c_str(),
                transposer_mono, l, rate);
    }
    return true;
}();

}  // namespace
