#pragma once
// Command-line options of squeakbox-render.

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "engine/pitch_shifter.h"
#include "options/option_scan.h"
#include "options/pitch_range.h"

namespace squeakbox::render {

// A new pitch that takes effect before block `block` (counted from 0).
struct pitch_change {
    std::uint64_t block = 0;
    std::int32_t semitones = 0;
};

struct render_options {
    std::string input;   // "-" is standard input
    std::string output;  // "-" is standard output
    std::int32_t semitones = default_pitch_semitones;
    std::vector<pitch_change> pitch_changes;  // sorted by block
    std::uint32_t block_frames = 512;
    // From --engine, --simd or SQUEAKBOX_ENGINE; the fastest by default.
    engine_variant engine = best_variant();
    latency_mode latency = latency_mode::normal;
    voice_kind voice = voice_kind::squeak;
    std::int32_t timbre = 0;
    bool raw = false;
    bool quiet = false;
    bool help = false;
    bool version = false;
};

inline constexpr std::uint32_t min_block_frames = 64;
// Above this, at -48 semitones, the tempo changer's pacing product of a
// block's transposed frames would leave 32 bits.
inline constexpr std::uint32_t max_block_frames = 16384;

using options::usage_error;

// Parses the arguments after the program name. Throws usage_error. With --help
// or --version the file names may be missing; without --help the engine
// variant is chosen, from SQUEAKBOX_ENGINE when no option names one.
[[nodiscard]] render_options parse_options(std::span<const std::string_view> args);

[[nodiscard]] std::string help_text();

// The program's version, e.g. "1.6.0".
[[nodiscard]] const char* program_version() noexcept;

}  // namespace squeakbox::render
