#include "app/command_line.h"

#include "options/option_scan.h"
#include "options/pitch_range.h"

namespace squeakbox {
namespace {

// The options that take a value, and where the value goes.
std::string* value_slot(command_line& options, std::string_view name) noexcept {
    if (name == "--input-device") return &options.input_device;
    if (name == "--output-device") return &options.output_device;
    if (name == "--capture-file") return &options.capture_file;
    if (name == "--playback-file") return &options.playback_file;
    return nullptr;
}

bool* flag_slot(command_line& options, std::string_view name) noexcept {
    if (name == "--exit-at-end") return &options.exit_at_end;
    if (name == "--record") return &options.record;
    if (name == "--stats") return &options.stats;
    if (name == "--virtual-mic") return &options.virtual_mic;
    if (name == "--reset-settings") return &options.reset_settings;
    if (name == "--monitor") return &options.hear_yourself;
    if (name == "--list-devices") return &options.list_devices;
    if (name == "--help" || name == "-h") return &options.help;
    if (name == "--version") return &options.version;
    return nullptr;
}

audio_system_choice audio_system_named(options::argument_scanner& scan) {
    if (!scan.has_value())
        throw options::usage_error("--audio-system needs a value: auto, pulse or alsa");
    const std::string_view value = scan.value();
    if (value == "auto") return audio_system_choice::automatic;
    if (value == "pulse") return audio_system_choice::pulse;
    if (value == "alsa") return audio_system_choice::alsa;
    throw options::usage_error("--audio-system is auto, pulse or alsa, not \"" +
                               std::string(value) + "\"");
}

// The options, and the words that are not options as the old command-line
// text, of which only a leading number counts.
std::string scan_options(std::span<const std::string_view> args, command_line& options) {
    std::string pitch_text;
    std::optional<engine_variant> engine;
    // A negative start pitch ("-3") is a value, not an option.
    options::argument_scanner scan(args, true);
    while (scan.next()) {
        const std::string_view name = scan.name();
        if (!scan.is_option()) {
            if (!pitch_text.empty()) pitch_text += ' ';
            pitch_text += scan.arg();
        } else if (std::string* slot = value_slot(options, name)) {
            *slot = scan.value();
            if (slot->empty())
                throw options::usage_error(std::string(name) + " needs a non-empty value");
        } else if (bool* flag = flag_slot(options, name)) {
            scan.no_value();
            *flag = true;
        } else if (name == "--realtime" || name == "--fast") {
            scan.no_value();
            options.pacing = name == "--fast" ? pacing_choice::fast : pacing_choice::realtime;
        } else if (name == "--latency") {
            options.low_latency = options::latency_named(scan.value()) == latency_mode::low;
            options.latency_given = true;
        } else if (name == "--bypass") {
            const int mode = options::named_choice<int>(name, scan.value(),
                                                        {{"on", 1}, {"off", 0}, {"toggle", 2}});
            options.bypass_given = mode != 2;
            options.toggle_bypass = mode == 2;
            options.bypass = mode == 1;
        } else if (name == "--pitch") {
            options.pitch_semitones = options::number_in_range(
                scan.value(), name, min_pitch_semitones, max_pitch_semitones);
            options.pitch_given = true;
            options.pitch_option = true;
        } else if (name == "--pitch-up" || name == "--pitch-down") {
            scan.no_value();
            options.pitch_steps += name == "--pitch-up" ? 1 : -1;
        } else if (name == "--record-toggle") {
            scan.no_value();
            options.toggle_recording = true;
        } else if (name == "--voice") {
            options.voice = options::voice_named(scan.value());
            options.voice_given = true;
        } else if (name == "--timbre") {
            options.timbre_semitones = options::timbre_named(scan.value());
            options.timbre_given = true;
        } else if (name == "--audio-system") {
            options.audio_system = audio_system_named(scan);
        } else if (name == "--engine") {
            engine = options::engine_variant_named(name, scan.value());
        } else {
            // The program has always named an unknown option bare.
            throw options::usage_error("unknown option " + std::string(scan.arg()));
        }
    }
    if (!options.help) options.engine = options::choose_engine_variant(engine);
    return pitch_text;
}

}  // namespace

std::optional<long long> scan_leading_integer(std::string_view text) noexcept {
    const auto scanned = options::scan_integer(text);
    if (!scanned) return std::nullopt;
    return scanned->value;
}

command_line_result parse_command_line(std::span<const std::string_view> args) {
    command_line_result result;
    command_line& options = result.options;
    std::string pitch_text;
    try {
        pitch_text = scan_options(args, options);
    } catch (const options::usage_error& e) {
        result.error = e.what();
        return result;
    }

    if (const auto scanned = scan_leading_integer(pitch_text); scanned && !options.pitch_option) {
        long long pitch = *scanned;
        if (pitch < min_pitch_semitones || pitch > max_pitch_semitones) {
            const long long clamped =
                pitch < min_pitch_semitones ? min_pitch_semitones : max_pitch_semitones;
            options.warnings.push_back(pitch_shifter::out_of_range_message(pitch) + "; using " +
                                       std::to_string(clamped));
            pitch = clamped;
        }
        options.pitch_semitones = static_cast<int>(pitch);
        options.pitch_given = true;
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
    if (options.hear_yourself && !options.playback_file.empty()) {
        options.warnings.emplace_back(
            "--monitor plays the Squeakbox microphone on the speaker; with --playback-file it "
            "does nothing");
    }
    if (options.exit_at_end && options.capture_file.empty()) {
        options.warnings.emplace_back("--exit-at-end needs --capture-file; it does nothing here");
    }
    return result;
}

// The help names the range and the default in words; a change to either
// must reach it (and the manual page, which is checked against it).
static_assert(min_pitch_semitones == -47 && max_pitch_semitones == 47 &&
              default_pitch_semitones == 6);

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
  --latency low|normal     low: the engine holds back far less (about 40 ms
                           instead of 110 to 230) at a little smoothness;
                           Ctrl+L or the window's context menu switches it
  --bypass on|off          on: start with the voice unchanged and without the
                           engine's delay; Ctrl+B or the context menu switches it
  --reset-settings         forget the saved devices, pitch and latency mode
  --stats                  print the stream's counters and the delay at exit
  --voice squeak|natural   squeak (default): the formants move with the pitch,
                           the cartoon voice; natural: only the pitch moves
                           and the voice stays a person's; Ctrl+N or the
                           context menu's "Natürliche Stimme" switches it
  --timbre N               move the formants on their own by N semitones,
                           -12 to 12 (default 0), in either voice; the
                           context menu's "Klangfarbe" submenu sets it
  --virtual-mic            play into a new microphone, "Squeakbox", for call programs
  --monitor                hear yourself: play what goes into the Squeakbox
                           microphone on the speaker too; the window's context
                           menu switches it
  --audio-system SYSTEM    auto (default): the desktop's sound server (PulseAudio or
                           PipeWire) when one answers, else ALSA; pulse; or alsa
  --engine VARIANT         auto (default): the fastest engine variant this processor
                           runs; plain, sse2, avx2 or avx512 force one;
                           SQUEAKBOX_ENGINE names it when this option does not
  --list-devices           list the sound devices and exit
  -h, --help               show this help and exit
  --version                show the versions in use and exit

Commands to a Squeakbox that runs already (it takes them and this one ends;
--pitch and --bypass on|off start a new one when none runs):
  --pitch N                set the pitch to N semitones
  --pitch-up               one semitone up (may be given more than once)
  --pitch-down             one semitone down
  --bypass toggle          switch the bypass over
  --record-toggle          start or stop the recording

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
