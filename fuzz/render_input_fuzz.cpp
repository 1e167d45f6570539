// Any bytes as the input file of squeakbox-render: read through the same road
// as a file or standard input, checked, rendered and written. Refusing a file
// with a file_error is fine; a crash, a hang, a leak or a sanitizer report is
// not.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "cli/render_options.h"
#include "cli/renderer.h"
#include "cli/sound_file.h"

namespace {

using namespace squeakbox::render;

// Compressed formats can unpack a few bytes into hours of sound; past this
// the run only measures the engine's speed.
constexpr std::uint64_t max_frames = 1u << 21;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The settings follow the input's length, so every file meets several of
    // them without spending its own bytes on them.
    constexpr std::uint32_t block_sizes[] = {512, 64, 1000, 4096};
    render_options options;
    options.semitones = static_cast<std::int32_t>(size % 97) - 48;
    options.raw = (size / 97) % 2 == 1;
    options.block_frames = block_sizes[(size / 194) % 4];
    options.quiet = true;
    try {
        sound_reader input(in_memory, "fuzz input", std::vector<unsigned char>(data, data + size));
        check_input(input);
        if (input.frames() > max_frames) return -1;
        sound_writer output(in_memory, input.sample_rate(), input.channels());
        const render_result result = render_file(options, input, output);
        output.commit();
        // Without --raw the output has the input's length, whatever the input was.
        if (!options.raw && result.output_frames != result.input_frames) __builtin_trap();
    } catch (const file_error&) {
    }
    return 0;
}
