#include "app/command_line.h"

#include <climits>
#include <cstdio>

#include "app/pitch_range.h"

namespace squeakbox {
namespace {

bool is_space(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool is_digit(char c) noexcept {
    return c >= '0' && c <= '9';
}

// A negative start pitch ("-3") is a value, not an option; so is anything that
// does not start with a dash.
bool looks_like_option(std::string_view arg) noexcept {
    if (arg.size() < 2 || arg[0] != '-') return false;
    return !is_digit(arg[1]) && !is_space(arg[1]);
}

// The options that take a value, and where the value goes.
std::string* value_slot(command_line& options, std::string_view name) noexcept {
    if (name == "--input-device") return &options.input_device;
    if (name == "--output-device") return &options.output_device;
    if (name == "--capture-file") return &options.capture_file;
    if (name == "--playback-file") return &options.playback_file;
    return nullptr;
}

bool set_flag(command_line& options, std::string_view name) noexcept {
    if (name == "--realtime") {
        options.pacing = pacing_choice::realtime;
    } else if (name == "--fast") {
        options.pacing = pacing_choice::fast;
    } else if (name == "--exit-at-end") {
        options.exit_at_end = true;
    } else if (name == "--record") {
        options.record = true;
    } else if (name == "--stats") {
        options.stats = true;
    } else if (name == "--virtual-mic") {
        options.virtual_mic = true;
    } else if (name == "--list-devices") {
        options.list_devices = true;
    } else if (name == "--help" || name == "-h") {
        options.help = true;
    } else if (name == "--version") {
        options.version = true;
    } else {
        return false;
    }
    return true;
}

}  // namespace

std::optional<long long> scan_leading_integer(std::string_view text) noexcept {
    std::size_t i = 0;
    while (i < text.size() && is_space(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size() || !is_digit(text[i])) return std::nullopt;
    // Accumulate towards the sign so LLONG_MIN is reachable, and stop growing
    // at the limit instead of overflowing.
    long long value = 0;
    for (; i < text.size() && is_digit(text[i]); ++i) {
        const int digit = text[i] - '0';
        if (negative) {
            value = value < (LLONG_MIN + digit) / 10 ? LLONG_MIN : value * 10 - digit;
        } else {
            value = value > (LLONG_MAX - digit) / 10 ? LLONG_MAX : value * 10 + digit;
        }
    }
    return value;
}

command_line_result parse_command_line(std::span<const std::string_view> args) {
    command_line_result result;
    command_line& options = result.options;
    // The words that are not options form the old command-line text, of which
    // only a leading number counts.
    std::string pitch_text;
    bool options_ended = false;

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (options_ended || !looks_like_option(arg)) {
            if (!pitch_text.empty()) pitch_text += ' ';
            pitch_text += arg;
            continue;
        }
        if (arg == "--") {
            options_ended = true;
            continue;
        }
        std::string_view name = arg;
        std::optional<std::string_view> inline_value;
        if (const auto eq = arg.find('='); eq != std::string_view::npos && arg.starts_with("--")) {
            name = arg.substr(0, eq);
            inline_value = arg.substr(eq + 1);
        }
        if (name == "--audio-system") {
            std::string_view value;
            if (inline_value) {
                value = *inline_value;
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                result.error = "--audio-system needs a value: auto, pulse or alsa";
                return result;
            }
            if (value == "auto") {
                options.audio_system = audio_system_choice::automatic;
            } else if (value == "pulse") {
                options.audio_system = audio_system_choice::pulse;
            } else if (value == "alsa") {
                options.audio_system = audio_system_choice::alsa;
            } else {
                result.error.append("--audio-system is auto, pulse or alsa, not \"")
                    .append(value)
                    .append("\"");
                return result;
            }
            continue;
        }
        if (std::string* slot = value_slot(options, name)) {
            if (inline_value) {
                *slot = *inline_value;
            } else if (i + 1 < args.size()) {
                *slot = args[++i];
            } else {
                result.error = std::string(name) + " needs a value";
                return result;
            }
            if (slot->empty()) {
                result.error = std::string(name) + " needs a non-empty value";
                return result;
            }
            continue;
        }
        if (!inline_value && set_flag(options, name)) continue;
        result.error = inline_value && set_flag(options, name)
                           ? std::string(name) + " takes no value"
                           : "unknown option " + std::string(arg);
        return result;
    }

    if (const auto scanned = scan_leading_integer(pitch_text)) {
        long long pitch = *scanned;
        if (pitch < min_pitch_semitones || pitch > max_pitch_semitones) {
            const long long clamped =
                pitch < min_pitch_semitones ? min_pitch_semitones : max_pitch_semitones;
            options.warnings.push_back(pitch_shifter::out_of_range_message(pitch) + "; using " +
                                       std::to_string(clamped));
            pitch = clamped;
        }
        options.pitch_semitones = static_cast<int>(pitch);
    }

    const bool file_devices = !options.capture_file.empty() || !options.playback_file.empty();
    if (options.pacing != pacing_choice::backend_default && !file_devices) {
        options.warnings.emplace_back(
            "--realtime and --fast pace file devices only; without --capture-file or "
            "--playback-file they do nothing");
    }
    if (options.virtual_mic && !options.output_device.empty()) {
        result.error = "--virtual-mic is an output of its own; leave out --output-device";
        return result;
    }
    if (options.virtual_mic && !options.playback_file.empty()) {
        result.error = "--virtual-mic and --playback-file are both outputs; choose one";
        return result;
    }
    if (options.exit_at_end && options.capture_file.empty()) {
        options.warnings.emplace_back("--exit-at-end needs --capture-file; it does nothing here");
    }
    return result;
}

std::string usage_text(std::string_view program_name) {
    std::string text = "Usage: ";
    text += program_name;
    text += R"( [PITCH] [OPTIONS]
Changes the pitch of your voice in real time.

  PITCH                    start pitch in semitones, -47 to 47 (default 6)
  --input-device NAME      capture from the device with this name and start at once
  --output-device NAME     play on the device with this name and start at once
  --capture-file FILE      read the voice from an audio file instead of a microphone
  --playback-file FILE     write the processed voice to a WAV file instead of playing it
  --realtime               pace file devices in real time
  --fast                   run file devices as fast as they can
  --exit-at-end            close once the capture file has been played
  --record                 record to the desktop as soon as the stream runs
  --stats                  print the stream's counters at exit
  --virtual-mic            play into a new microphone, "Squeakbox", for call programs
  --audio-system SYSTEM    auto (default): the desktop's sound server (PulseAudio or
                           PipeWire) when one answers, else ALSA; pulse; or alsa
  --list-devices           list the sound devices and exit
  -h, --help               show this help and exit
  --version                show the versions in use and exit

With both --capture-file and --playback-file the program starts by itself and
needs no sound card; the two must be different files. A device is named by a
unique part of its description or its server name; "default" is the server's
default device. ALSA devices such as hw:0 or plughw:1,0 are used through ALSA
directly. Ctrl+C, SIGTERM and a hang-up close it the way the window's close
button does; a signal ignored when it starts (as under nohup) stays ignored.

Exit status: 0 after a normal close; 1 when the sound could not start, a sound
device failed, or a recording could not be opened or stopped on an error (what
was written is kept, but it is not all); 2 for an unusable command line.
)";
    return text;
}

}  // namespace squeakbox
