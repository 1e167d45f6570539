// The whole pitch shifter as the program runs it: one channel at 44.1 kHz,
// 512-frame blocks, +6 semitones, on ten seconds of a voice-like signal; and
// its second stage alone on the first stage's output, so that the split
// between the stages shows next to the transposer's own benchmarks.
//
// Reports frames per second and `x_realtime`, the factor against real time
// (44100 input frames per second = 1x).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/pitch_shifter.h"
#include "engine/rate_transposer.h"
#include "engine/simd/dispatch.h"
#include "engine/tempochanger.h"
#include "engine/tempochanger_mmx.h"
#include "tests/engine/speech_signal.h"

namespace {

using namespace squeakbox;

constexpr std::uint32_t block_frames = 512;
constexpr std::uint32_t sample_rate = 44100;
constexpr std::size_t signal_blocks = 10 * sample_rate / block_frames;

const std::vector<std::int16_t>& voice() {
    static const auto signal =
        testing::speech_like(signal_blocks * block_frames, sample_rate, 2024);
    return signal;
}

void report(benchmark::State& state, std::uint64_t frames, const std::string& label) {
    state.SetItemsProcessed(static_cast<std::int64_t>(frames));
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(frames) / sample_rate, benchmark::Counter::kIsRate);
    state.SetLabel(label);
}

void whole_engine(benchmark::State& state, engine_variant variant, int semitones,
                  latency_mode latency) {
    pitch_shifter ps(variant);
    ps.set_channels(1);
    ps.set_sample_rate(sample_rate);
    ps.set_block_size(block_frames * 2);
    ps.set_latency(latency);
    ps.set_pitch_semitones(semitones);
    const auto& in = voice();
    std::vector<std::int16_t> out(block_frames);
    std::uint64_t frames = 0;
    std::size_t k = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            ps.process(out.data(), in.data() + k * block_frames, block_frames));
        benchmark::ClobberMemory();
        k = (k + 1) % signal_blocks;
        frames += block_frames;
    }
    report(state, frames, engine_description(variant, latency));
}

// The tempo changer at +6 semitones fed with what the transposer makes of
// each block; counted in the blocks' input frames, like the whole engine.
void tempo_stage(benchmark::State& state, simd::level l) {
    const std::uint32_t rate = 14142;
    const std::uint32_t tempo = 7071;
    rate_transposer_stage transposer(1, l);
    transposer.set_channels(1);
    transposer.set_rate(rate);
    const std::uint32_t room = block_frames * 10000 / rate + 32;
    transposer.set_block_size(room * 2);
    std::vector<std::vector<std::int16_t>> blocks;
    std::vector<std::int16_t> buffer(room);
    for (std::size_t k = 0; k < signal_blocks; ++k) {
        const std::uint32_t n =
            transposer.process(buffer.data(), voice().data() + k * block_frames, block_frames);
        blocks.emplace_back(buffer.begin(), buffer.begin() + n);
    }

    tempochanger_mmx stage(l);
    stage.set_channels(1);
    stage.set_parameters(sample_rate, 82, 28, 12);
    stage.set_tempo(tempo);
    stage.set_block_size(block_frames * 2);
    std::vector<std::int16_t> out(block_frames);
    std::uint64_t frames = 0;
    std::size_t k = 0;
    for (auto _ : state) {
        const auto& b = blocks[k];
        benchmark::DoNotOptimize(
            stage.process(out.data(), b.data(), static_cast<std::uint32_t>(b.size())));
        benchmark::ClobberMemory();
        k = (k + 1) % blocks.size();
        frames += block_frames;
    }
    report(state, frames, simd::level_name(l));
}

const bool registered = [] {
    const simd::level best = simd::best_level();
    for (simd::level l : {simd::level::scalar, best}) {
        benchmark::RegisterBenchmark(
            ("tempochanger_mono_7071/" + std::string(simd::level_name(l))).c_str(), tempo_stage, l);
        if (l == best) break;
    }
    const engine_variant fastest = best_variant();
    for (engine_variant v : {engine_variant::plain, fastest}) {
        benchmark::RegisterBenchmark(
            ("pitch_shifter_mono_+6/" + std::string(variant_name(v))).c_str(), whole_engine, v, 6,
            latency_mode::normal);
        if (v == fastest) break;
    }
    // The low-latency mode: shorter sequences, so more of them, each with a
    // shorter search.
    benchmark::RegisterBenchmark("pitch_shifter_mono_+6_low_latency/best", whole_engine, fastest, 6,
                                 latency_mode::low);
    benchmark::RegisterBenchmark("pitch_shifter_mono_-6_low_latency/best", whole_engine, fastest,
                                 -6, latency_mode::low);
    benchmark::RegisterBenchmark("pitch_shifter_mono_-6/best", whole_engine, fastest, -6,
                                 latency_mode::normal);
    benchmark::RegisterBenchmark("pitch_shifter_mono_0/best", whole_engine, fastest, 0,
                                 latency_mode::normal);
    return true;
}();

}  // namespace
