#pragma once
// The command line: an optional start pitch, read the way a C "%d" scan reads
// it, followed by our options. Pure: no printing, no exiting; the caller
// reports warnings and errors.

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/pitch_shifter.h"
#include "engine/simd/dispatch.h"
#include "options/pitch_range.h"

namespace squeakbox {

// How file devices pace themselves: in real time, as fast as they can, or as
// the file backend chooses by default.
enum class pacing_choice { backend_default, realtime, fast };

// Which sound devices the program uses: the desktop's sound server
// (PulseAudio or PipeWire) when one answers, else ALSA through PortAudio.
enum class audio_system_choice { automatic, pulse, alsa };

struct command_line {
    int pitch_semitones = default_pitch_semitones;
    std::string input_device;  // select by name; empty: the first listed
    std::string output_device;
    std::string capture_file;   // read the voice from this audio file
    std::string playback_file;  // write the processed voice to this WAV file
    pacing_choice pacing = pacing_choice::backend_default;
    audio_system_choice audio_system = audio_system_choice::automatic;
    bool virtual_mic = false;    // play into the Squeakbox microphone for calls
    bool hear_yourself = false;  // --monitor: the Squeakbox microphone on the speaker too
    bool exit_at_end = false;    // close when the capture file has been played
    bool record = false;         // start recording as soon as the stream runs
    bool stats = false;          // print the stream's counters at exit
    bool low_latency = false;    // --latency low: the engine's low-latency mode
    // Commands for a Squeakbox that runs already (over the session bus);
    // --pitch and --bypass on|off are start values when none runs.
    bool bypass = false;  // --bypass on: start with the voice unchanged
    bool bypass_given = false;
    bool toggle_bypass = false;     // --bypass toggle
    bool pitch_option = false;      // --pitch N
    int pitch_steps = 0;            // --pitch-up +1, --pitch-down -1, each time given
    bool toggle_recording = false;  // --record-toggle
    // Only a running Squeakbox can take these.
    [[nodiscard]] bool needs_running() const noexcept {
        return pitch_steps != 0 || toggle_bypass || toggle_recording;
    }
    [[nodiscard]] bool has_remote_command() const noexcept {
        return needs_running() || pitch_option || bypass_given;
    }
    // Settings that stay: what the command line gave wins over them for the
    // run; --reset-settings forgets them first.
    bool pitch_given = false;
    bool latency_given = false;
    bool reset_settings = false;
    voice_kind voice = voice_kind::squeak;  // --voice
    int timbre_semitones = 0;               // --timbre
    bool voice_given = false;
    bool timbre_given = false;
    // From --engine or SQUEAKBOX_ENGINE; the fastest by default.
    engine_variant engine = best_variant();
    bool list_devices = false;
    bool help = false;
    bool version = false;
    // Lines for the user about values that were changed or options that do
    // nothing here; the program goes on.
    std::vector<std::string> warnings;

    // Devices chosen by name or file start the stream without waiting for
    // "Start!".
    [[nodiscard]] bool starts_at_once() const noexcept {
        return !input_device.empty() || !output_device.empty() || !capture_file.empty() ||
               !playback_file.empty() || virtual_mic;
    }
};

struct command_line_result {
    command_line options;
    std::string error;  // non-empty: the command line is unusable (exit code 2)
};

// Reads one decimal integer from the start of `text` as "%d" does: leading
// white space is skipped, one sign is accepted, digits follow, anything after
// them is ignored. Values beyond the range of long long saturate. No digits:
// nothing.
[[nodiscard]] std::optional<long long> scan_leading_integer(std::string_view text) noexcept;

// `args` are the arguments after the program name. Without --engine (and
// unless --help is asked) the engine variant comes from SQUEAKBOX_ENGINE.
[[nodiscard]] command_line_result parse_command_line(std::span<const std::string_view> args);

// The text of --help.
[[nodiscard]] std::string usage_text(std::string_view program_name);

}  // namespace squeakbox
