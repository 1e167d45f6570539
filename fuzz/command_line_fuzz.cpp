// Any command line for squeakbox: the bytes split at NUL into arguments. The
// parser must answer everything with options or an error, keep its promises
// about what it returns, and read the start pitch exactly as the C library
// reads a leading decimal number.

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "app/command_line.h"
#include "options/pitch_range.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace squeakbox;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    // The number scan against strtoll, which saturates the same way.
    const std::string terminated(text);
    char* end = nullptr;
    errno = 0;
    const long long expected = std::strtoll(terminated.c_str(), &end, 10);
    const auto scanned = scan_leading_integer(text);
    if (scanned.has_value() != (end != terminated.c_str())) __builtin_trap();
    if (scanned && *scanned != expected) __builtin_trap();

    std::vector<std::string_view> args;
    for (std::size_t start = 0; start <= text.size() && args.size() < 64;) {
        const std::size_t stop = std::min(text.find('\0', start), text.size());
        args.push_back(text.substr(start, stop - start));
        start = stop + 1;
    }
    const command_line_result result = parse_command_line(args);
    if (!result.error.empty()) return 0;
    const command_line& options = result.options;
    if (options.pitch_semitones < min_pitch_semitones ||
        options.pitch_semitones > max_pitch_semitones)
        __builtin_trap();
    (void)options.starts_at_once();
    (void)usage_text("squeakbox");
    return 0;
}
