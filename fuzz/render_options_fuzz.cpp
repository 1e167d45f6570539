// Any command line for squeakbox-render: the bytes split at NUL into
// arguments. A usage_error is the right answer to nonsense; anything else
// that escapes, or a sanitizer report, is a fault.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "cli/render_options.h"
#include "cli/renderer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace squeakbox::render;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string_view> args;
    for (std::size_t start = 0; start <= text.size() && args.size() < 64;) {
        const std::size_t end = std::min(text.find('\0', start), text.size());
        args.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    try {
        const render_options options = parse_options(args);
        if (options.help || options.version) return 0;
        // What a parsed command line promises the renderer.
        if (options.block_frames < min_block_frames || options.block_frames > max_block_frames)
            __builtin_trap();
        if (options.semitones < -48 || options.semitones > 48) __builtin_trap();
        for (std::size_t i = 1; i < options.pitch_changes.size(); ++i)
            if (options.pitch_changes[i].block <= options.pitch_changes[i - 1].block)
                __builtin_trap();
        (void)starting_semitones(options);
        (void)engine_description(options.engine, options.latency);
    } catch (const usage_error&) {
    }
    return 0;
}
