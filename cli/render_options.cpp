#include "cli/render_options.h"

#include <algorithm>

namespace squeakbox::render {

namespace {

using options::number_in_range;

std::int32_t parse_semitones(std::string_view text, std::string_view option) {
    // Beyond even a long long the number is still just a pitch out of range.
    const long long value = options::whole_number(text, option);
    if (value < min_pitch_semitones || value > max_pitch_semitones)
        throw usage_error(std::string(option) + ": " + pitch_shifter::out_of_range_message(value));
    return static_cast<std::int32_t>(value);
}

std::vector<pitch_change> parse_pitch_changes(std::string_view text) {
    constexpr std::string_view option = "--pitch-changes";
    std::vector<pitch_change> changes;
    while (true) {
        const std::size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        const std::size_t colon = item.find(':');
        if (colon == std::string_view::npos)
            throw usage_error(std::string(option) + " needs BLOCK:SEMITONES pairs, not '" +
                              std::string(item) + "'");
        pitch_change change;
        change.block = number_in_range<std::uint64_t>(item.substr(0, colon), option, 0,
                                                      std::uint64_t{1} << 48);
        change.semitones = parse_semitones(item.substr(colon + 1), option);
        changes.push_back(change);
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    std::stable_sort(
        changes.begin(), changes.end(),
        [](const pitch_change& a, const pitch_change& b) { return a.block < b.block; });
    for (std::size_t i = 1; i < changes.size(); ++i)
        if (changes[i].block == changes[i - 1].block)
            throw usage_error(std::string(option) + " names block " +
                              std::to_string(changes[i].block) + " twice");
    return changes;
}

engine_variant parse_engine(std::string_view text) {
    // The older name of the processor-specific classes: the fastest variant
    // that runs them.
    if (text == "mmx") {
        if (!pitch_shifter::processor_has_mmx())
            throw usage_error("--engine mmx: this processor cannot run the mmx engine classes");
        return best_variant();
    }
    return options::engine_variant_named("--engine", text);
}

// The older spelling of the variant by its kernels, where the plain variant's
// are "scalar".
engine_variant parse_simd(std::string_view text) {
    const std::string_view name = options::named_choice<std::string_view>(
        "--simd", text,
        {{"scalar", "plain"}, {"sse2", "sse2"}, {"avx2", "avx2"}, {"avx512", "avx512"}});
    return options::engine_variant_named("--simd", name);
}

}  // namespace

render_options parse_options(std::span<const std::string_view> args) {
    render_options options;
    std::optional<engine_variant> engine;
    std::vector<std::string_view> files;
    options::argument_scanner scan(args, false);
    while (scan.next()) {
        if (!scan.is_option()) {
            files.push_back(scan.arg());
            continue;
        }
        const std::string_view name = scan.name();
        if (name == "--semitones" || name == "-s")
            options.semitones = parse_semitones(scan.value(), name);
        else if (name == "--pitch-changes")
            options.pitch_changes = parse_pitch_changes(scan.value());
        else if (name == "--block-frames")
            options.block_frames = number_in_range<std::uint32_t>(
                scan.value(), name, min_block_frames, max_block_frames);
        else if (name == "--engine")
            engine = parse_engine(scan.value());
        else if (name == "--simd")
            engine = parse_simd(scan.value());
        else if (name == "--latency")
            options.latency = options::latency_named(scan.value());
        else if (name == "--voice")
            options.voice = options::voice_named(scan.value());
        else if (name == "--timbre")
            options.timbre = options::timbre_named(scan.value());
        else if (name == "--raw")
            scan.no_value(), options.raw = true;
        else if (name == "--quiet" || name == "-q")
            scan.no_value(), options.quiet = true;
        else if (name == "--help" || name == "-h")
            scan.no_value(), options.help = true;
        else if (name == "--version" || name == "-V")
            scan.no_value(), options.version = true;
        else
            scan.unknown();
    }
    if (options.help) return options;
    options.engine = options::choose_engine_variant(engine);
    if (options.version) return options;
    if (files.size() != 2)
        throw usage_error(files.size() < 2 ? "needs an INPUT and an OUTPUT file"
                                           : "takes one INPUT and one OUTPUT file, not " +
                                                 std::to_string(files.size()) + " files");
    options.input = files[0];
    options.output = files[1];
    return options;
}

const char* program_version() noexcept {
    return SQUEAKBOX_VERSION;
}

// The help names the range and the default in words; a change to either
// must reach it (and the manual page, which is checked against it).
static_assert(min_pitch_semitones == -47 && max_pitch_semitones == 47 &&
              default_pitch_semitones == 6);

std::string help_text() {
    return R"(Usage: squeakbox-render [options] INPUT OUTPUT

Moves the pitch of a recording by whole semitones while keeping its speed,
with the same engine that Squeakbox runs live.

INPUT is any file libsndfile reads (WAV of any PCM or float depth, FLAC,
Ogg/Vorbis, AIFF, ...) with 1 or 2 channels at 8 kHz to 192 kHz; samples are
converted to 16 bits, clipping floating-point peaks. OUTPUT is written as
16-bit WAV, or in the format its extension names (.flac, .aiff, .ogg, .au,
.caf, .w64, .rf64, ...). Either may be '-' for standard input or output (the
output then is a WAV file).

Pipes, FIFOs and devices are read and written as the sound goes, so a
recording of any length can be piped through; a WAV file written into one says
that its length is unknown. A file that needs seeking (sound data before its
description) must be given by name, and AIFF, CAF, W64 and RF64 cannot be
streamed out. A regular output file appears only when it is complete, in place
of the file a symbolic link points to and with the old file's permissions.

Options:
  -s, --semitones N          pitch change, -47 to 47 (default 6)
      --pitch-changes B:S[,B:S...]
                             change to S semitones before block B (counted
                             from 0); e.g. 0:3,400:-2
      --block-frames N       frames per engine call, 64 to 16384 (default 512,
                             as the live program uses)
      --engine auto|plain|sse2|avx2|avx512
                             the engine variant (default: SQUEAKBOX_ENGINE,
                             else auto, the fastest this processor runs):
                             plain is the portable reference, the others run
                             the processor-specific (mmx) classes on kernels
                             of that instruction set; mmx names the fastest
      --simd scalar|sse2|avx2|avx512
                             the same by its kernels: scalar is plain
      --latency normal|low   the engine's mode: low holds back far less (about
                             40 ms instead of 110 to 230) with shorter
                             time-stretcher lengths, at a little smoothness;
                             the live program's --latency (default normal)
      --voice squeak|natural the voice (default squeak): squeak moves the
                             formants with the pitch, the cartoon voice;
                             natural keeps them and moves only the pitch, a
                             pitch-synchronous engine with a fixed delay of
                             about 24 ms (low latency) or 40 ms (normal)
      --timbre N             moves the formants on their own by N semitones,
                             -12 to 12 (default 0), in either voice; anything
                             but 0 runs the natural voice's engine
      --raw                  write exactly what the engine returns for each
                             full block of the input, in order: no padding, no
                             delay removed, a last partial block dropped
  -q, --quiet                no progress bar
  -h, --help                 show this help
  -V, --version              show versions and the engine variant

Without --raw the output has exactly the input's length and lines up with it:
the engine's delay is removed from the front and its tail is flushed out with
silence. The delay is derived from the engine's settings: frame t of its
stream carries, on average, frame t + D of the input, where
  D = r * P + (S - O) / 2 * (r - 1) + F
with r the pitch factor, S and O the time-stretcher's 82 ms sequence and
12 ms overlap in frames, F the anti-alias filter's centre (14.5 frames up,
15.5 * r - 1 down) and P where, counted by loudness, a sequence starts on
average within the 28 ms seek window W: 5 * W / 8 when the pitch goes up,
2 * W / 5 when it stays or goes down. Within each sequence the shifted voice
runs r times as fast, hence the middle term. Measured against the loudness
envelope of recorded speech, the result lines up within about 5 ms from -47
to +24 semitones, at the start and after half an hour alike. Further up every
sound comes out spread over most of a second; the centre of that spread lands
within about 15 ms, by how the voice sounds. Where the pauses are digital
silence (as in synthetic speech, never in a recording) it starts late, at
+43 by some 40 ms or more, and is brought back to about 15 ms within the
first minute.
With --pitch-changes the starting pitch sets D. With --latency low, S, W
and O are that mode's lengths at the pitch, and the silence that the
engine's first block of sound starts with comes off D. The natural voice
(and any timbre but 0) trails the input by a fixed delay instead, removed
exactly.

Exit status: 0 on success, 1 on an error with a file, 2 on a usage error.
)";
}

}  // namespace squeakbox::render
