// Any bytes as the input file of squeakbox-render: read from memory, the
// road of a file, or from a pipe, the road of standard input, then checked,
// rendered and written. Refusing a file with a file_error is fine; a crash, a
// hang, a leak or a sanitizer report is not.

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/sound_files/sound_file.h"
#include "cli/render_options.h"
#include "cli/renderer.h"

namespace {

using namespace squeakbox;
using namespace squeakbox::render;

// Compressed formats can unpack a few bytes into hours of sound; past this
// the run only measures the engine's speed.
constexpr std::uint64_t max_frames = 1u << 21;

// A pipe that holds the whole input, its writing end closed: the reader meets
// the bytes and then the end of the stream, as from a recorder that stopped.
// Empty when the input does not fit into a pipe.
std::string pipe_holding(const std::uint8_t* data, std::size_t size, int& read_end) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return {};
    if (::fcntl(ends[1], F_SETPIPE_SZ, 1 << 20) < static_cast<int>(size) ||
        ::write(ends[1], data, size) != static_cast<ssize_t>(size)) {
        ::close(ends[0]);
        ::close(ends[1]);
        return {};
    }
    ::close(ends[1]);
    read_end = ends[0];
    return "/proc/self/fd/" + std::to_string(read_end);
}

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
    int read_end = -1;
    const std::string pipe = (size / 776) % 2 == 1 ? pipe_holding(data, size, read_end) : "";
    const std::unique_ptr<int, void (*)(int*)> closing(&read_end, [](int* fd) {
        if (*fd >= 0) ::close(*fd);
    });
    try {
        auto input_holder = pipe.empty() ? std::make_unique<sound_reader>(
                                               in_memory, "fuzz input",
                                               std::vector<unsigned char>(data, data + size))
                                         : std::make_unique<sound_reader>(pipe);
        sound_reader& input = *input_holder;
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
