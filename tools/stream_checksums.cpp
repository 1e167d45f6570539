// Prints the checksum tables of PitchShifterLag.FirstTwentySecondsAreTheStreamOfOld
// for the engine it is linked with. tools/stream_checksums.sh builds it
// against the engine of any commit, so the tables can be made again from the
// engine they were recorded from. It uses only calls that engine had too.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "engine/pitch_shifter.h"
#include "engine/tempochanger.h"
#include "tests/engine/speech_signal.h"

namespace {

constexpr std::uint32_t block = 512;

// FNV-1a over every call's frame count and the frames it returned.
struct stream_hash {
    std::uint64_t value = 14695981039346656037ull;
    void mix(std::uint32_t v) {
        value ^= v;
        value *= 1099511628211ull;
    }
};

template <class Stage>
std::uint64_t hash_stream(Stage& stage, const std::vector<std::int16_t>& input,
                          std::uint32_t channels, std::uint32_t frames_per_call) {
    std::vector<std::int16_t> out(std::size_t{frames_per_call + 32} * channels * 4);
    stream_hash h;
    for (std::size_t k = 0; (k + 1) * frames_per_call * channels <= input.size(); ++k) {
        const std::uint32_t n = stage.process(
            out.data(), input.data() + k * frames_per_call * channels, frames_per_call);
        h.mix(n);
        for (std::uint32_t i = 0; i < n * channels; ++i) h.mix(static_cast<std::uint16_t>(out[i]));
    }
    return h.value;
}

}  // namespace

int main() {
    using namespace squeakbox;
    const std::size_t frames = 20 * 44100;
    const auto voice = testing::speech_like(frames, 44100, 7);

    std::printf("pitch shifter, one channel, -47 to +47 semitones:\n");
    for (int s = -47; s <= 47; ++s) {
        pitch_shifter ps;
        ps.set_channels(1);
        ps.set_sample_rate(44100);
        ps.set_block_size(block * 2);
        ps.set_pitch_semitones(s);
        std::printf("0x%016" PRIx64 ",%s", hash_stream(ps, voice, 1, block),
                    (s + 47) % 4 == 3 ? "\n" : " ");
    }

    // The stretcher alone on the normal lengths, one channel.
    std::printf("\ntempochanger alone: {tempo, block frames, checksum}\n");
    for (std::uint32_t tempo : {7071u, 9439u, 10000u, 10595u, 14142u, 20000u}) {
        for (std::uint32_t frames_per_call : {64u, 512u, 1000u}) {
            tempochanger tc;
            tc.set_channels(1);
            tc.set_parameters(44100, 82, 28, 12);
            tc.set_tempo(tempo);
            tc.set_block_size(frames_per_call * 2);
            std::printf("{%u, %u, 0x%016" PRIx64 "},\n", tempo, frames_per_call,
                        hash_stream(tc, voice, 1, frames_per_call));
        }
    }
    return 0;
}
