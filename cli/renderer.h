#pragma once
// Runs a sound file through the pitch shifter block by block, as the live
// program does, and writes either the engine's raw stream or an output of the
// input's length lined up with it.

#include <cstdint>
#include <functional>
#include <string>

#include "cli/render_options.h"

namespace squeakbox {
class sound_reader;
class sound_writer;
}  // namespace squeakbox

namespace squeakbox::render {

struct render_result {
    std::uint64_t input_frames = 0;
    std::uint64_t output_frames = 0;
    std::int64_t delay_frames = 0;  // how far the output was moved (0 with --raw)
};

// Called now and then with the input frames consumed so far and the total the
// input announced (0 when unknown).
using progress_callback = std::function<void(std::uint64_t done, std::uint64_t total)>;

// The input must have 1 or 2 channels at a supported rate (check_input).
render_result render_file(const render_options& options, sound_reader& input, sound_writer& output,
                          const progress_callback& progress = {});

// Throws file_error naming the input when the renderer cannot take it.
void check_input(const sound_reader& input);
inline constexpr std::uint32_t min_sample_rate = 8000;
inline constexpr std::uint32_t max_sample_rate = 192000;

// The semitones in effect at block 0.
[[nodiscard]] std::int32_t starting_semitones(const render_options& options);

}  // namespace squeakbox::render
