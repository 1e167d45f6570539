#pragma once
// Opens the stretcher's protected state and operations to the tests.

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "engine/tempochanger.h"
#include "engine/tempochanger_mmx.h"

namespace squeakbox::testing {

template <class Base>
class probe : public Base {
  public:
    using Base::Base;

    using Base::block_bytes;
    using Base::channels;
    using Base::input_buffer;
    using Base::input_capacity;
    using Base::input_frames;
    using Base::input_required;
    using Base::kernels;
    using Base::output_buffer;
    using Base::output_capacity;
    using Base::output_frames;
    using Base::output_limit;
    using Base::output_start;
    using Base::overlap_buffer;
    using Base::overlap_length;
    using Base::overlap_shift;
    using Base::quick_seek;
    using Base::reference_buffer;
    using Base::reference_shift;
    using Base::seek_length;
    using Base::seek_margin;
    using Base::sequence_length;
    using Base::tempo;

    using Base::append_input;
    using Base::correlate_mono;
    using Base::correlate_stereo;
    using Base::overlap_mono;
    using Base::overlap_stereo;
    using Base::paced_frames;
    using Base::precalc_reference_mono;
    using Base::precalc_reference_stereo;
    using Base::scan_quick;
    using Base::seek_best_overlap;
    using Base::seek_best_overlap_mono;
    using Base::seek_best_overlap_mono_quick;
    using Base::seek_best_overlap_stereo;
    using Base::seek_best_overlap_stereo_quick;

    // A 16-frame overlap (s = 4) over the given window: small enough to place
    // patterns by hand.
    void use_short_overlap(std::uint32_t window) {
        overlap_length = 16;
        overlap_shift = 4;
        reference_shift = 5;
        seek_length = window;
    }
};

using plain_probe = probe<tempochanger>;

class mmx_probe : public probe<tempochanger_mmx> {
  public:
    using probe<tempochanger_mmx>::probe;
    using tempochanger_mmx::correlate_stereo_mmx;
};

inline std::vector<std::int16_t> random_samples(std::size_t count, std::uint32_t seed,
                                                int low = -32768, int high = 32767) {
    std::mt19937 engine(seed);
    std::uniform_int_distribution<int> dist(low, high);
    std::vector<std::int16_t> samples(count);
    for (auto& s : samples) s = static_cast<std::int16_t>(dist(engine));
    return samples;
}

struct stream_result {
    std::vector<std::int16_t> output;  // everything handed out, in order
    std::vector<std::uint32_t> frames_per_call;
};

// Feeds `signal` (interleaved, `channels` samples per frame) to `stretcher` in
// calls of the given frame counts, repeated until the signal runs out. Each
// call's output goes to a heap block of exactly max(limit, 32) frames, so the
// address sanitizer sees any write past it.
inline stream_result run_stream(tempochanger& stretcher, const std::vector<std::int16_t>& signal,
                                std::uint32_t channels, std::uint32_t limit,
                                const std::vector<std::uint32_t>& counts) {
    stream_result result;
    const std::size_t room = std::max<std::uint32_t>(limit, 32) * std::size_t{channels};
    const std::size_t frames = signal.size() / channels;
    std::size_t at = 0;
    for (std::size_t call = 0;; ++call) {
        const std::uint32_t count = counts[call % counts.size()];
        if (at + count > frames) break;
        std::vector<std::int16_t> block(room);
        const std::uint32_t got =
            stretcher.process(block.data(), signal.data() + at * channels, count);
        at += count;
        result.frames_per_call.push_back(got);
        result.output.insert(
            result.output.end(), block.begin(),
            block.begin() + std::min<std::size_t>(got * std::size_t{channels}, room));
    }
    return result;
}

}  // namespace squeakbox::testing
