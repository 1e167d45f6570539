// Squeakbox: changes the pitch of your voice in real time.
//
// The entry point picks the sound devices (the sound card, or files with
// --capture-file / --playback-file), builds the engine, the stream and the
// window, and runs the one user-interface loop until the window is closed.
#include <QApplication>
#include <QLocale>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "app/actions/background_job.h"
#include "app/actions/desktop_copy.h"
#include "app/actions/desktop_folder.h"
#include "app/actions/links.h"
#include "app/actions/program_file.h"
#include "app/actions/recommendation_mail.h"
#include "app/command_line.h"
#include "app/remote_control.h"
#include "app/settings_file.h"
#include "app/termination_signals.h"
#include "app/version_text.h"
#include "app/window/device_listing.h"
#include "app/window/global_shortcuts.h"
#include "app/window/main_window.h"
#include "app/window/string_table.h"
#include "app/window/window_services.h"
#include "app/window_language.h"
#include "audio/alsa_mixer_mute.h"
#include "audio/audio_stream.h"
#include "audio/devices/file_sound_system.h"
#include "audio/devices/portaudio_sound_system.h"
#include "audio/devices/pulse_sound_system.h"
#include "audio/devices/split_sound_system.h"
#include "audio/mic_monitor_mute.h"
#include "audio/sound_thread.h"
#include "audio/voice_bypass.h"
#include "audio/wav_recorder.h"
#include "engine/pitch_shifter.h"
#include "engine/simd/dispatch.h"

namespace squeakbox {
namespace {

constexpr const char* program = "squeakbox";

// An ALSA device named directly goes to ALSA, not to the sound server.
bool names_alsa_device(const std::string& name) {
    return name.starts_with("hw:") || name.starts_with("plughw:");
}

// The sound files' devices as the stream sees them: a file refused by a query
// or an open is told on the terminal the moment it is, ahead of the window's
// own box about the device.
class files_that_tell final : public sound_system {
  public:
    explicit files_that_tell(sound_system& files) : files_(files) {}

    std::uint32_t capture_device_count() override { return files_.capture_device_count(); }
    mm_result capture_caps(std::uint32_t device, device_caps& caps) override {
        return files_.capture_caps(device, caps);
    }
    std::uint32_t playback_device_count() override { return files_.playback_device_count(); }
    mm_result playback_caps(std::uint32_t device, device_caps& caps) override {
        return files_.playback_caps(device, caps);
    }
    mm_result query_capture(std::uint32_t device, const wave_format& format) override {
        return told(files_.query_capture(device, format));
    }
    mm_result query_playback(std::uint32_t device, const wave_format& format) override {
        return told(files_.query_playback(device, format));
    }
    mm_result open_capture(std::uint32_t device, const wave_format& format, device_events& target,
                           std::unique_ptr<capture_device>& opened) override {
        return told(files_.open_capture(device, format, target, opened));
    }
    mm_result open_playback(std::uint32_t device, const wave_format& format, device_events& target,
                            std::unique_ptr<playback_device>& opened) override {
        return told(files_.open_playback(device, format, target, opened));
    }
    [[nodiscard]] int event_fd() const override { return files_.event_fd(); }
    void dispatch_pending() override { files_.dispatch_pending(); }
    [[nodiscard]] std::string problem() const override { return files_.problem(); }

  private:
    mm_result told(mm_result result) const {
        if (result == mm_ok) return result;
        const std::string why = files_.problem();
        if (!why.empty()) std::fprintf(stderr, "%s: %s\n", program, why.c_str());
        return result;
    }

    sound_system& files_;
};

// The devices of this run: the desktop's sound server, ALSA through
// PortAudio, files, or a file on one side and live sound on the other. Live
// devices are only touched when needed, so a run on files works on a machine
// without sound.
struct device_set {
    std::unique_ptr<pulse_sound_system> server;
    std::unique_ptr<portaudio_sound_system> live;
    std::unique_ptr<file_sound_system> files;
    std::unique_ptr<files_that_tell> told_files;  // the files, as the stream uses them
    std::unique_ptr<split_sound_system> split;
    sound_system* devices = nullptr;
    std::string in_use;   // which sound system, for --version and --list-devices
    std::string problem;  // non-empty: the run cannot have the devices it asked for

    explicit device_set(const command_line& options) {
        const bool capture_file = !options.capture_file.empty();
        const bool playback_file = !options.playback_file.empty();
        if (capture_file || playback_file) {
            file_device_options file_options;
            file_options.capture_file = options.capture_file;
            file_options.playback_file = options.playback_file;
            if (options.pacing == pacing_choice::fast)
                file_options.pacing = file_pacing::as_fast_as_taken;
            if (options.pacing == pacing_choice::realtime)
                file_options.pacing = file_pacing::real_time;
            files = std::make_unique<file_sound_system>(std::move(file_options));
            told_files = std::make_unique<files_that_tell>(*files);
            in_use = "sound files";
        }
        sound_system* live_devices = nullptr;
        if (!capture_file || !playback_file) {
            audio_system_choice choice = options.audio_system;
            if (choice == audio_system_choice::automatic &&
                (names_alsa_device(options.input_device) ||
                 names_alsa_device(options.output_device)) &&
                !options.virtual_mic) {
                choice = audio_system_choice::alsa;
            }
            if (choice != audio_system_choice::alsa) {
                server = std::make_unique<pulse_sound_system>();
                if (server->ready()) {
                    live_devices = server.get();
                    in_use = "sound server " + server->server_description() + " (libpulse " +
                             pulse_sound_system::library_version() + ")";
                } else if (choice == audio_system_choice::pulse || options.virtual_mic) {
                    problem = "no PulseAudio or PipeWire sound server answers (" +
                              server->problem() + ")";
                    if (options.virtual_mic) problem += "; --virtual-mic needs one";
                } else {
                    server.reset();
                }
            }
            if (live_devices == nullptr && problem.empty()) {
                live = std::make_unique<portaudio_sound_system>();
                live_devices = live.get();
                in_use = "ALSA through PortAudio";
            }
        }
        if (files && live_devices != nullptr) {
            split = capture_file ? std::make_unique<split_sound_system>(*told_files, *live_devices)
                                 : std::make_unique<split_sound_system>(*live_devices, *told_files);
            devices = split.get();
            in_use = (capture_file ? "sound file in, " : "sound file out, ") + in_use;
        } else {
            devices = files ? static_cast<sound_system*>(told_files.get()) : live_devices;
        }
    }
};

void print_device_lists(sound_system& devices, const std::string& in_use) {
    std::printf("Sound system: %s\n", in_use.c_str());
    for (const auto kind : {device_list_kind::capture, device_list_kind::playback}) {
        std::printf("%s devices (44.1 kHz mono 16-bit):\n",
                    kind == device_list_kind::capture ? "Capture" : "Playback");
        const std::vector<listed_device> list = list_devices(devices, kind);
        if (list.empty()) std::printf("  none\n");
        for (const listed_device& device : list) {
            if (device.id.empty() || device.id == device.name)
                std::printf("  %s\n", device.name.c_str());
            else
                std::printf("  %s  [%s]\n", device.name.c_str(), device.id.c_str());
        }
    }
}

// A device named on the command line must exist before anything starts.
bool check_named_device(sound_system& devices, device_list_kind kind, const std::string& name) {
    if (name.empty()) return true;
    const device_match match = find_device(list_devices(devices, kind), name);
    if (match.index >= 0) return true;
    std::fprintf(stderr, "%s: %s %s; see %s --list-devices\n", program,
                 kind == device_list_kind::capture ? "capture:" : "playback:", match.error.c_str(),
                 program);
    return false;
}

// The playback file written over the capture file would empty the voice
// before a block of it is read. Compared by device and inode, so a link or
// another spelling of the same path is caught too; a file that does not exist
// yet is nobody's capture file.
bool check_distinct_files(const command_line& options) {
    if (options.capture_file.empty() || options.playback_file.empty()) return true;
    std::error_code error;
    if (!std::filesystem::equivalent(options.capture_file, options.playback_file, error))
        return true;
    if (options.capture_file == options.playback_file) {
        std::fprintf(stderr, "%s: \"%s\" is both the capture file and the playback file\n", program,
                     options.capture_file.c_str());
    } else {
        std::fprintf(stderr,
                     "%s: the playback file \"%s\" is the capture file \"%s\" under another name\n",
                     program, options.playback_file.c_str(), options.capture_file.c_str());
    }
    return false;
}

// The delay from microphone to output while the sound runs: what the server
// reports for the two devices, and the engine's own. A block is played as a
// whole once it is gathered, which costs one block; the silence the engine
// wrote in place of sound it did not have yet put everything after it later;
// and the engine's stream runs its delay ahead of the input. Nothing while
// the server has reported nothing (files, ALSA).
std::optional<sound_delay> delay_of(const audio_stream& stream, const engine_commands& commands) {
    const std::uint64_t server_us =
        std::uint64_t{stream.capture_stats().latency_us} + stream.playback_stats().latency_us;
    if (server_us == 0) return std::nullopt;
    const double engine_frames = static_cast<double>(block_frames) +
                                 static_cast<double>(stream.unwritten_frames()) -
                                 static_cast<double>(commands.delay_frames());
    sound_delay delay;
    delay.server_ms = static_cast<double>(server_us) / 1000.0;
    delay.engine_ms = std::max(0.0, 1000.0 * engine_frames / sample_rate);
    return delay;
}

// For the tests of a slow desktop: SQUEAKBOX_HOLD_WINDOW="AFTER:FOR" (both in
// milliseconds) holds the window's thread FOR long, AFTER the window is shown,
// as a desktop that stops painting for a while does. The sound must go on.
void hold_window_for_tests() {
    const QByteArray hold = qgetenv("SQUEAKBOX_HOLD_WINDOW");
    const qsizetype colon = hold.indexOf(':');
    if (colon <= 0) return;
    bool after_ok = false;
    bool for_ok = false;
    const int after = hold.left(colon).toInt(&after_ok);
    const int length = hold.mid(colon + 1).toInt(&for_ok);
    if (!after_ok || !for_ok || after < 0 || length <= 0) return;
    QTimer::singleShot(
        after, [length] { std::this_thread::sleep_for(std::chrono::milliseconds(length)); });
}

// Reads the settings file (after --reset-settings has removed it) and lets
// its values fill in what the command line left open. A file that cannot be
// used costs one line, never the start.
saved_settings load_saved_settings(command_line& options, const std::filesystem::path& file) {
    std::string reason;
    if (options.reset_settings && !remove_settings(file, reason))
        std::fprintf(stderr, "%s: cannot forget the settings in %s: %s\n", program, file.c_str(),
                     reason.c_str());
    const settings_read read = read_settings(file);
    if (!read.problem.empty()) {
        std::fprintf(stderr, "%s: ignoring the settings in %s (%s); using the defaults\n", program,
                     file.c_str(), read.problem.c_str());
    }
    const saved_settings& saved = read.settings;
    if (!options.pitch_given && saved.pitch_semitones)
        options.pitch_semitones = *saved.pitch_semitones;
    if (!options.latency_given && saved.low_latency) options.low_latency = *saved.low_latency;
    if (!options.voice_given && saved.natural_voice)
        options.voice = *saved.natural_voice ? voice_kind::natural : voice_kind::squeak;
    if (!options.timbre_given && saved.timbre_semitones)
        options.timbre_semitones = *saved.timbre_semitones;
    // Hearing yourself has only a switch on the command line: --monitor turns
    // it on for the run, the saved choice counts otherwise.
    if (!options.hear_yourself && saved.hear_yourself) options.hear_yourself = *saved.hear_yourself;
    return saved;
}

// The commands of this run for a Squeakbox that runs already, or the
// request to show its window. Returns the exit status when this run ends
// here; nothing when it goes on to start.
std::optional<int> hand_over_to_running(const command_line& options, bool both_files,
                                        remote_host& remote) {
    if (both_files) {
        if (options.needs_running()) {
            std::fprintf(stderr,
                         "%s: --pitch-up, --pitch-down, --bypass toggle and --record-toggle go to "
                         "a running Squeakbox, not to a run on files\n",
                         program);
            return 2;
        }
        // A run on files is a job of its own: it answers commands when no
        // other Squeakbox does, and never gives way to one.
        (void)remote.take_name();
        return std::nullopt;
    }
    std::string problem;
    if (options.has_remote_command()) {
        remote_request request;
        if (options.pitch_option) request.pitch = options.pitch_semitones;
        request.pitch_steps = options.pitch_steps;
        if (options.bypass_given) request.bypass = options.bypass;
        request.toggle_bypass = options.toggle_bypass;
        request.toggle_recording = options.toggle_recording;
        switch (send_to_running(request, problem)) {
            case remote_result::sent:
                return 0;
            case remote_result::failed:
                std::fprintf(stderr, "%s: %s\n", program, problem.c_str());
                return 1;
            case remote_result::none_running:
                break;
        }
        if (options.needs_running()) {
            std::string what = options.pitch_steps > 0   ? "--pitch-up"
                               : options.pitch_steps < 0 ? "--pitch-down"
                               : options.toggle_bypass   ? "--bypass toggle"
                                                         : "--record-toggle";
            std::fprintf(stderr, "%s: no Squeakbox is running to take %s%s%s%s\n", program,
                         what.c_str(), problem.empty() ? "" : " (", problem.c_str(),
                         problem.empty() ? "" : ")");
            return 1;
        }
    }
    if (remote.take_name() != remote_host::claim::taken) return std::nullopt;
    remote_request raise;
    raise.raise = true;
    if (send_to_running(raise, problem) == remote_result::sent) {
        std::fprintf(stderr, "%s: Squeakbox is already running; its window comes to the front\n",
                     program);
        return 0;
    }
    // It ended between the two questions: this run takes its place.
    if (remote.take_name() != remote_host::claim::taken) return std::nullopt;
    std::fprintf(stderr,
                 "%s: another Squeakbox holds the session bus name but does not answer%s%s\n",
                 program, problem.empty() ? "" : ": ", problem.c_str());
    return 1;
}

bool has_display() {
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// The command line read and its warnings told. Returns the exit status when
// the run ends here: a mistake, --help, or a playback file that is the
// capture file.
std::optional<int> read_command_line(int argc, char** argv, command_line& options) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    const command_line_result parsed = parse_command_line(args);
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program, parsed.error.c_str(), program);
        return 2;
    }
    options = parsed.options;
    if (options.help) {
        std::fputs(usage_text(program).c_str(), stdout);
        return 0;
    }
    for (const std::string& warning : options.warnings)
        std::fprintf(stderr, "%s: %s\n", program, warning.c_str());
    // Before any file is opened: opening the playback file empties it.
    if (!check_distinct_files(options)) return 2;
    return std::nullopt;
}

// --version and --list-devices answer without a window and end the run.
std::optional<int> answer_without_window(const command_line& options) {
    if (options.version) {
        pitch_shifter probe(options.engine);
        if (options.low_latency) probe.set_latency(latency_mode::low);
        std::fputs(version_text(engine_description(probe.variant(), probe.latency())).c_str(),
                   stdout);
        const device_set sound(options);
        std::printf("sound: %s\n", sound.problem.empty() ? sound.in_use.c_str() : "none");
        return 0;
    }
    if (options.list_devices) {
        device_set sound(options);
        if (!sound.problem.empty()) {
            std::fprintf(stderr, "%s: %s\n", program, sound.problem.c_str());
            return 1;
        }
        print_device_lists(*sound.devices, sound.in_use);
        return 0;
    }
    return std::nullopt;
}

// The engine's voice, timbre and latency as this run starts them.
void set_up_engine(pitch_shifter& shifter, const command_line& options) {
    if (options.low_latency) shifter.set_latency(latency_mode::low);
    shifter.set_voice(options.voice);
    shifter.set_timbre_semitones(options.timbre_semitones);
}

// The devices the run asked for are there, and so are those it named.
// Returns the exit status when they are not.
std::optional<int> check_devices(const device_set& sound, command_line& options) {
    if (!sound.problem.empty()) {
        std::fprintf(stderr, "%s: %s\n", program, sound.problem.c_str());
        return 1;
    }
    // The Squeakbox microphone is the last entry of the server's output list.
    if (options.virtual_mic) options.output_device = pulse_sound_system::virtual_mic_label;
    if (!check_named_device(*sound.devices, device_list_kind::capture, options.input_device) ||
        !check_named_device(*sound.devices, device_list_kind::playback, options.output_device)) {
        return 2;
    }
    return std::nullopt;
}

// The program's names on the desktop. Returns whether the run has no screen
// (nobody can close its window).
bool name_the_application() {
    QApplication::setApplicationName(QStringLiteral("squeakbox"));
    QApplication::setApplicationVersion(QStringLiteral(SQUEAKBOX_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("squeakbox"));
    // Only the window's own end closes the program, after the devices drained.
    QApplication::setQuitOnLastWindowClosed(false);
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

// The sound's side of the run, which the window drives: the window's
// settings reach the engine between two blocks (on the sound's own thread
// once it runs), the recorder, and the microphone's monitor line.
struct sound_parts {
    voice_bypass bypass;
    engine_commands commands;
    pitch_adapter<engine_commands> pitch;
    wav_recorder recorder;
    shared_recording recording;
    alsa_mixer_mute mixer;
    std::optional<mic_monitor_mute> monitor_mute;

    sound_parts(pitch_shifter& shifter, const command_line& options)
        : bypass(shifter), commands(shifter, &bypass), pitch(commands), recording(recorder) {
        // A recording replaces its file; it must never be one the sound
        // comes from or goes to.
        if (!options.capture_file.empty())
            recorder.protect_file(options.capture_file, "capture file");
        if (!options.playback_file.empty())
            recorder.protect_file(options.playback_file, "playback file");
        // Files on both sides, taken as fast as they go, wait for the disk; a
        // clock on either side does not, and a disk that falls far behind
        // ends the recording instead of the sound.
        recorder.set_real_time(!(!options.capture_file.empty() && !options.playback_file.empty() &&
                                 options.pacing == pacing_choice::fast));
        // The monitor line belongs to the sound card's microphone; a voice
        // read from a file leaves the mixer alone.
        if (options.capture_file.empty()) monitor_mute.emplace(mixer);
    }
};

// What the window starts with: this run's choices, and last run's where
// they count.
window_setup make_window_setup(const command_line& options, const saved_settings& saved,
                               bool headless) {
    window_setup setup;
    setup.pitch_semitones = options.pitch_semitones;
    setup.input_device = options.input_device;
    setup.output_device = options.output_device;
    setup.start_at_once = options.starts_at_once();
    setup.record_when_running = options.record;
    setup.low_latency = options.low_latency;
    setup.bypass = options.bypass;
    setup.saved_input_device = saved.input_device;
    setup.saved_output_device = saved.output_device;
    setup.close_to_tray = saved.close_to_tray.value_or(false);
    setup.hear_yourself = options.hear_yourself;
    setup.natural_voice = options.voice == voice_kind::natural;
    setup.timbre_semitones = options.timbre_semitones;
    // Without a screen nobody can close the window: a file that has been
    // played to its end ends the run.
    setup.close_at_capture_end = options.exit_at_end || (headless && !options.capture_file.empty());
    setup.close_on_failed_start = headless;
    return setup;
}

// What the run's callbacks reach once the window and the stream exist, and
// the delays --stats tells at the end.
struct run_state {
    main_window* window = nullptr;
    audio_stream* stream = nullptr;
    std::optional<sound_delay> last_delay;
    std::vector<double> server_delays;
};

// The mail's questions to the desktop and the desktop copy may wait on a
// child process or a disk: away from the thread that moves the sound, one at
// a time each (a second click while one runs does nothing).
struct action_jobs {
    background_job mail;
    background_job copy;
};

// What the window drives, wired to this run's parts.
window_parts connect_window(const command_line& options, device_set& sound,
                            sound_parts& parts_of_sound, settings_store& settings, run_state& state,
                            action_jobs& jobs, remote_host& remote) {
    const message_box_hook owner = [&state](const std::string& text, const std::string& title) {
        state.window->message_box(text, title);
    };
    // Where the desktop copy comes from and goes, fixed as the window is made.
    const std::filesystem::path copy_source = module_path();
    const std::filesystem::path copy_target = desktop_copy_path(get_desktop_path());

    window_parts parts;
    parts.devices = sound.devices;
    parts.pitch = &parts_of_sound.pitch;
    parts.recorder = &parts_of_sound.recording;
    parts.monitor_mute = parts_of_sound.monitor_mute ? &*parts_of_sound.monitor_mute : nullptr;
    parts.settings = &settings;
    if (sound.server) {
        parts.hear_yourself = [&sound](bool on) { return sound.server->set_hear_yourself(on); };
        parts.route_news = [&sound](std::uint64_t& seen) {
            return sound.server->routes_since(seen);
        };
        parts.refresh_devices = [&sound] { return sound.server->refresh_devices(); };
    } else if (options.hear_yourself) {
        std::fprintf(stderr,
                     "%s: --monitor needs a PulseAudio or PipeWire sound server; it does "
                     "nothing here\n",
                     program);
    }
    // The window asks for the delay once a second while the sound runs.
    // --stats tells the median of the server's answers (each is a snapshot,
    // and a moment's underrun shows in one) with the engine's latest.
    parts.delay = [&state, &parts_of_sound]() -> std::optional<sound_delay> {
        if (state.stream == nullptr) return std::nullopt;
        const std::optional<sound_delay> delay = delay_of(*state.stream, parts_of_sound.commands);
        if (delay) {
            state.last_delay = delay;
            if (state.server_delays.size() < 100000)
                state.server_delays.push_back(delay->server_ms);
        }
        return delay;
    };
    // The stream is made once the window exists, from what is known now: the
    // parts above are moved into the window, so nothing here may refer to
    // them.
    parts.make_stream = [&sound, &parts_of_sound, &state,
                         monitor_mute = parts.monitor_mute](stream_listener& listener) {
        const auto make = [&sound, &parts_of_sound, &state, monitor_mute](stream_listener& relay) {
            auto made =
                std::make_unique<audio_stream>(*sound.devices, parts_of_sound.bypass, relay);
            made->set_recorder(&parts_of_sound.recording);
            made->set_mic_mute(monitor_mute);
            made->set_desktop_path_source([] { return get_desktop_path(); });
            state.stream = made.get();
            return made;
        };
        return std::make_unique<threaded_stream>(*sound.devices, listener, make,
                                                 &parts_of_sound.commands);
    };
    parts.actions.send_recommendation_mail = [owner, &jobs] {
        const std::string body = load_resource_text(string_id::mail_body);
        send_recommendation_mail_in_background(jobs.mail, recommendation_subject, body, owner);
    };
    parts.actions.open_homepage = [] { open_link(load_resource_text(string_id::homepage_link)); };
    parts.actions.open_apps_page = [] { open_link(apps_link()); };
    parts.actions.copy_to_desktop = [owner, copy_source, copy_target, &jobs] {
        copy_self_to_desktop_in_background(jobs.copy, owner, copy_source, copy_target);
    };
    parts.actions.open_banner_link = [](int kind) { open_banner_link(kind); };
    // A run in which the sound could not start, a device failed or a
    // recording was lost says so in its exit status.
    parts.quit = [&state] { QCoreApplication::exit(state.window->exit_code()); };

    parts.state_changed = [&remote] { remote.publish(); };
    return parts;
}

// --stats: what the stream counted, the delay, and where the first
// underruns fell.
void print_stats(const audio_stream& stream, const engine_commands& commands, run_state& state) {
    std::printf(
        "processed blocks: %llu\ndropped blocks: %llu\ncapture overruns: %llu\n"
        "playback underruns: %llu\nplayback drops: %llu\n",
        static_cast<unsigned long long>(stream.processed_blocks()),
        static_cast<unsigned long long>(stream.dropped_blocks()),
        static_cast<unsigned long long>(stream.capture_stats().overruns),
        static_cast<unsigned long long>(stream.playback_stats().underruns),
        static_cast<unsigned long long>(stream.playback_stats().overruns));
    if (!state.last_delay) state.last_delay = delay_of(stream, commands);
    std::vector<double>& server_delays = state.server_delays;
    if (state.last_delay && !server_delays.empty()) {
        const auto middle =
            server_delays.begin() + static_cast<std::ptrdiff_t>(server_delays.size() / 2);
        std::nth_element(server_delays.begin(), middle, server_delays.end());
        state.last_delay->server_ms = *middle;
    }
    if (const std::optional<sound_delay> delay = state.last_delay) {
        std::printf("delay: %ld ms (sound server %ld ms, engine %ld ms)\n",
                    std::lround(delay->total_ms()), std::lround(delay->server_ms),
                    std::lround(delay->engine_ms));
    }
    // Where the first ones fell, in frames of the sound played, so a gap
    // heard or recorded can be laid against them.
    const device_stats played = stream.playback_stats();
    for (std::size_t i = 0; i < played.underrun_frames.size() && i < played.underruns; ++i)
        std::printf("playback underrun at frame: %llu\n",
                    static_cast<unsigned long long>(played.underrun_frames[i]));
}

int run(int argc, char** argv) {
    command_line options;
    if (const std::optional<int> status = read_command_line(argc, argv, options)) return *status;
    if (const std::optional<int> status = answer_without_window(options)) return *status;

    // Files on both sides need no screen, and neither does a command for a
    // Squeakbox that runs already: without one, the application is made
    // without a screen, and only a window that needs one is refused below.
    const bool both_files = !options.capture_file.empty() && !options.playback_file.empty();
    const bool no_display = qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && !has_display();
    if (no_display) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    // One Squeakbox at a time: commands go to the one that runs, and a second
    // start shows its window instead of opening the devices twice.
    remote_host remote;
    if (const std::optional<int> status = hand_over_to_running(options, both_files, remote))
        return *status;

    if (no_display && !both_files) {
        std::fprintf(stderr,
                     "%s: there is no display to show the window on; set DISPLAY, or run on "
                     "files with --capture-file and --playback-file\n",
                     program);
        return 1;
    }

    // Settings that stay: last run's choices, unless the command line gives
    // its own for this run.
    const std::filesystem::path settings_file = settings_path();
    const saved_settings saved = load_saved_settings(options, settings_file);

    // Built before the devices, as the one engine of the run.
    pitch_shifter shifter(options.engine);
    set_up_engine(shifter, options);

    device_set sound(options);
    if (const std::optional<int> status = check_devices(sound, options)) return *status;

    const bool headless = name_the_application();
    // The window speaks German on a German desktop and English elsewhere.
    const window_translation translation(language_of(QLocale::system()));
    if (!translation.loaded())
        std::fprintf(stderr, "%s: the English window texts are missing; the window speaks German\n",
                     program);

    sound_parts parts_of_sound(shifter, options);
    const window_setup setup = make_window_setup(options, saved, headless);
    settings_store settings(settings_file, saved, [](const std::string& line) {
        std::fprintf(stderr, "%s: %s\n", program, line.c_str());
    });
    run_state state;
    action_jobs jobs;

    main_window main(setup,
                     connect_window(options, sound, parts_of_sound, settings, state, jobs, remote));
    state.window = &main;
    remote.attach(&main);
    // Keys that work while the call program has the focus, where the
    // desktop's portal offers them; a run without a screen has no use for them.
    std::optional<global_shortcuts> shortcuts;
    if (!headless) shortcuts.emplace(main);
    termination_signals signals([&main](int) { main.quit(); });
    main.show();
    hold_window_for_tests();
    const int code = QApplication::exec();

    if (options.stats && state.stream != nullptr)
        print_stats(*state.stream, parts_of_sound.commands, state);
    return code;
}

}  // namespace
}  // namespace squeakbox

int main(int argc, char** argv) {
    return squeakbox::run(argc, argv);
}
