// The program as a user runs it: squeakbox on a capture file and a playback
// file, without a screen or a sound card, checked by what it writes.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/audio/device_test_support.h"
#include "tests/e2e/child_process.h"
#include "tests/e2e/sound_analysis.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A home of our own: the recording goes to its Desktop folder.
struct scratch_home {
    fs::path path;
    scratch_home() {
        char pattern[] = "/tmp/squeakbox-program-XXXXXX";
        path = ::mkdtemp(pattern);
        fs::create_directories(path / "Desktop");
        fs::create_directories(path / "config");
        fs::create_directories(path / "runtime");
        fs::permissions(path / "runtime", fs::perms::owner_all);
    }
    ~scratch_home() { fs::remove_all(path); }
    [[nodiscard]] fs::path recording() const { return path / "Desktop" / "Squeakbox Record.wav"; }
};

struct run_result {
    int exit_code = -1;
    bool timed_out = false;
    std::string out;
    std::string err;
};

std::string read_file(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct run_options {
    std::optional<std::chrono::milliseconds> terminate_after;  // then SIGTERM
    bool keep_platform = true;
    std::chrono::seconds limit = 60s;        // then SIGKILL
    rlim_t file_size_limit = RLIM_INFINITY;  // beyond it writes fail as on a full disk
};

// Runs the program with `args` in `home`, without a display.
run_result run_squeakbox(const scratch_home& home, const std::vector<std::string>& args,
                         const run_options& options = {}) {
    const auto terminate_after = options.terminate_after;
    const auto limit = options.limit;
    const fs::path out_file = home.path / "stdout.txt";
    const fs::path err_file = home.path / "stderr.txt";
    const pid_t child = ::fork();
    if (child == 0) {
        if (options.file_size_limit != RLIM_INFINITY) {
            const rlimit size{options.file_size_limit, options.file_size_limit};
            ::setrlimit(RLIMIT_FSIZE, &size);
            ::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG
        }
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
        // No desktop bus: each run is on its own, as on a server.
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
        if (!options.keep_platform) ::unsetenv("QT_QPA_PLATFORM");
        ::setenv("HOME", home.path.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (home.path / "config").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", (home.path / "runtime").c_str(), 1);
        const int out = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, 1);
        ::dup2(err, 2);
        std::vector<char*> argv{const_cast<char*>(SQUEAKBOX_BINARY)};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        ::execv(SQUEAKBOX_BINARY, argv.data());
        ::_exit(127);
    }
    run_result result;
    const auto start = std::chrono::steady_clock::now();
    bool terminated = false;
    int status = 0;
    for (;;) {
        if (::waitpid(child, &status, WNOHANG) == child) break;
        const auto elapsed = std::chrono::steady_clock::now() - start;
        if (terminate_after && !terminated && elapsed >= *terminate_after) {
            ::kill(child, SIGTERM);
            terminated = true;
        }
        if (elapsed > limit) {
            result.timed_out = true;
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            break;
        }
        std::this_thread::sleep_for(20ms);
    }
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    result.out = read_file(out_file);
    result.err = read_file(err_file);
    return result;
}

struct sound {
    std::vector<std::int16_t> samples;
    int rate = 0;
    int channels = 0;
    int format = 0;
};

sound read_sound(const fs::path& file) {
    SF_INFO info{};
    SNDFILE* handle = sf_open(file.c_str(), SFM_READ, &info);
    sound result;
    if (handle == nullptr) return result;
    result.rate = info.samplerate;
    result.channels = info.channels;
    result.format = info.format;
    result.samples.resize(static_cast<std::size_t>(info.frames * info.channels));
    sf_read_short(handle, result.samples.data(), static_cast<sf_count_t>(result.samples.size()));
    sf_close(handle);
    return result;
}

void write_sound(const fs::path& file, const std::vector<std::int16_t>& samples) {
    squeakbox::testing::write_wav(file.string(), 44100, 1, samples);
}

// A complete recording: both sizes of its header cover what was written, in
// whole blocks.
void expect_complete_recording(const fs::path& file) {
    const std::string bytes = read_file(file);
    ASSERT_GT(bytes.size(), 46u);
    std::uint32_t riff_size = 0;
    std::uint32_t data_size = 0;
    std::memcpy(&riff_size, bytes.data() + 4, 4);
    std::memcpy(&data_size, bytes.data() + 42, 4);
    EXPECT_EQ(data_size, bytes.size() - 46);
    EXPECT_EQ(riff_size, bytes.size() - 8);
    EXPECT_EQ(data_size % 1024, 0u);
}

// A voice-like tone: a fundamental with decaying harmonics, faded in and out.
std::vector<std::int16_t> harmonic_tone(double fundamental, double seconds) {
    const auto count = static_cast<std::size_t>(seconds * 44100);
    std::vector<std::int16_t> samples(count);
    const double pi = std::acos(-1.0);
    for (std::size_t i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / 44100;
        double value = 0;
        for (int h = 1; h <= 8; ++h) value += std::sin(2 * pi * fundamental * h * t) / h;
        const double fade = std::min({1.0, t / 0.05, (seconds - t) / 0.05});
        samples[i] = static_cast<std::int16_t>(6000 * fade * value);
    }
    return samples;
}

// Writes `seconds` of a 180 Hz voice-like tone into `home` and returns the file.
fs::path write_tone(const scratch_home& home, double seconds) {
    const fs::path file = home.path / "tone.wav";
    write_sound(file, harmonic_tone(180.0, seconds));
    return file;
}

// The median fundamental of the voiced frames, from the first strong peak of
// each frame's normalised autocorrelation between 60 and 900 Hz.
double median_fundamental(const std::vector<std::int16_t>& samples) {
    constexpr std::size_t frame = 2048;
    constexpr std::size_t hop = 1024;
    constexpr std::size_t min_lag = 44100 / 900;
    constexpr std::size_t max_lag = 44100 / 60;
    std::vector<double> energies;
    for (std::size_t at = 0; at + frame + max_lag < samples.size(); at += hop) {
        double energy = 0;
        for (std::size_t i = 0; i < frame; ++i) energy += double(samples[at + i]) * samples[at + i];
        energies.push_back(energy);
    }
    if (energies.empty()) return 0;
    const double loudest = *std::max_element(energies.begin(), energies.end());
    std::vector<double> found;
    for (std::size_t f = 0; f < energies.size(); ++f) {
        if (energies[f] < 0.1 * loudest) continue;
        const std::size_t at = f * hop;
        std::vector<double> r(max_lag + 1, 0.0);
        for (std::size_t lag = min_lag; lag <= max_lag; ++lag) {
            double sum = 0;
            double norm = 0;
            for (std::size_t i = 0; i < frame; ++i) {
                sum += double(samples[at + i]) * samples[at + i + lag];
                norm += double(samples[at + i + lag]) * samples[at + i + lag];
            }
            r[lag] = sum / std::sqrt(energies[f] * norm + 1e-9);
        }
        const double best = *std::max_element(r.begin() + min_lag, r.end());
        if (best < 0.5) continue;  // not voiced
        // The shortest lag that nearly reaches the best avoids octave errors.
        for (std::size_t lag = min_lag + 1; lag < max_lag; ++lag) {
            if (r[lag] >= 0.9 * best && r[lag] >= r[lag - 1] && r[lag] >= r[lag + 1]) {
                found.push_back(44100.0 / lag);
                break;
            }
        }
    }
    if (found.empty()) return 0;
    std::nth_element(found.begin(), found.begin() + found.size() / 2, found.end());
    return found[found.size() / 2];
}

double semitones_between(double from, double to) {
    return 12 * std::log2(to / from);
}

TEST(Program, SpeechSampleComesOutSixSemitonesHigherAtTheSameLength) {
    scratch_home home;
    const fs::path out = home.path / "out.wav";
    const run_result run =
        run_squeakbox(home, {"--capture-file", SQUEAKBOX_SPEECH_SAMPLE, "--playback-file", out,
                             "--exit-at-end", "--stats"});
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.out.find("processed blocks: "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("dropped blocks: 0"), std::string::npos) << run.out;

    const sound input = read_sound(SQUEAKBOX_SPEECH_SAMPLE);
    const sound output = read_sound(out);
    ASSERT_EQ(output.rate, 44100);
    ASSERT_EQ(output.channels, 1);
    EXPECT_EQ(output.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    // Whole blocks of 512 go through, the last one padded. The close at the end
    // resets the playback device, which hands back the blocks still queued
    // unplayed: on a busy machine the queue is deeper, up to its ten blocks.
    EXPECT_NEAR(double(output.samples.size()), double(input.samples.size()), 10 * 512.0 + 512.0);
    const double shift =
        semitones_between(median_fundamental(input.samples), median_fundamental(output.samples));
    EXPECT_NEAR(shift, 6.0, 0.7);
}

TEST(Program, StartPitchAndRecordingFromTheCommandLine) {
    scratch_home home;
    const fs::path in = write_tone(home, 1.5);
    const fs::path out = home.path / "out.wav";
    const run_result run = run_squeakbox(
        home, {"-5", "--capture-file", in, "--playback-file", out, "--exit-at-end", "--record"});
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_code, 0) << run.err;

    const sound output = read_sound(out);
    const double found = median_fundamental(output.samples);
    EXPECT_NEAR(semitones_between(180.0, found), -5.0, 0.3) << found << " Hz";

    // The recording holds what was sent to the output, block for block; the
    // blocks still queued when the run ended were recorded but not played.
    const sound recording = read_sound(home.recording());
    ASSERT_FALSE(recording.samples.empty()) << run.err;
    EXPECT_EQ(recording.samples.size() % 512, 0u);
    ASSERT_GE(recording.samples.size(), output.samples.size());
    EXPECT_LE(recording.samples.size() - output.samples.size(), 10u * 512u);
    EXPECT_TRUE(
        std::equal(output.samples.begin(), output.samples.end(), recording.samples.begin()));
}

// An environment variable set for the programs this test starts.
class scoped_environment {
  public:
    scoped_environment(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~scoped_environment() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }
    scoped_environment(const scoped_environment&) = delete;
    scoped_environment& operator=(const scoped_environment&) = delete;

  private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(Program, RecordingOnASlowDiskKeepsEveryBlockInTime) {
    // 300 ms per sync is two and a half times what the playback queue can
    // bridge: a sync on the thread that moves the sound loses blocks.
    scratch_home home;
    const fs::path in = write_tone(home, 15.0);
    const fs::path out = home.path / "out.wav";
    const fs::path sync_log = home.path / "syncs.log";
    const scoped_environment preload("LD_PRELOAD", SQUEAKBOX_SLOW_SYNC);
    const scoped_environment log("SQUEAKBOX_SLOW_SYNC_LOG", sync_log.string());
    const scoped_environment asan("ASAN_OPTIONS", "detect_leaks=0:verify_asan_link_order=0");
    const run_result run =
        run_squeakbox(home, {"--capture-file", in, "--playback-file", out, "--realtime",
                             "--exit-at-end", "--record", "--stats"});
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.out.find("dropped blocks: 0\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("capture overruns: 0\n"), std::string::npos) << run.out;
    // The disk really was slow: the recording was synced about once a second.
    EXPECT_GE(read_file(sync_log).size(), 10u);

    ASSERT_NO_FATAL_FAILURE(expect_complete_recording(home.recording()));
    // Every block of the 15 s went into the file, in order.
    const sound recording = read_sound(home.recording());
    const sound output = read_sound(out);
    EXPECT_GE(recording.samples.size(), 15u * 44100u);
    ASSERT_GE(recording.samples.size(), output.samples.size());
    EXPECT_TRUE(
        std::equal(output.samples.begin(), output.samples.end(), recording.samples.begin()));
}

TEST(Program, TerminationSignalClosesLikeTheCloseButtonAndKeepsTheRecording) {
    scratch_home home;
    const fs::path out = home.path / "out.wav";
    const auto started = std::chrono::steady_clock::now();
    const run_result run = run_squeakbox(
        home, {"--capture-file", SQUEAKBOX_SPEECH_SAMPLE, "--playback-file", out, "--record"},
        {.terminate_after = 1500ms});
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    // Well before the 7.8 s sample would have ended.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 6s);
    ASSERT_NO_FATAL_FAILURE(expect_complete_recording(home.recording()));
}

// A FIFO, as `--capture-file <(sox ...)` gives: it can be read only once.
TEST(Program, AVoiceFromAPipePlaysWhole) {
    scratch_home home;
    const fs::path tone = write_tone(home, 1.0);
    const fs::path pipe = home.path / "voice.pipe";
    const fs::path out = home.path / "out.wav";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const std::string bytes = read_file(tone);
    const pid_t writer = ::fork();
    if (writer == 0) {
        std::ofstream(pipe, std::ios::binary) << bytes;
        ::_exit(0);
    }
    const run_result run = run_squeakbox(
        home, {"--capture-file", pipe, "--playback-file", out, "--exit-at-end", "--fast"});
    ::kill(writer, SIGKILL);
    ::waitpid(writer, nullptr, 0);
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    const sound output = read_sound(out);
    EXPECT_NEAR(double(output.samples.size()), 44100.0, 10 * 512.0 + 512.0) << run.err;
}

// The sound and the recordings made of it are the user's work: a recording
// never replaces the file the voice is read from, and a run that lost sound
// or a recording ends with exit status 1 so a script does not call it done.
TEST(ProgramExitStatus, LostSoundOrRecordingEndsWithExitStatusOne) {
    scratch_home home;
    const fs::path out = home.path / "out.wav";
    write_sound(home.recording(), harmonic_tone(180.0, 1.0));
    const std::string voice = read_file(home.recording());
    fs::create_symlink(home.recording(), home.path / "voice.wav");
    const run_result recorded_over =
        run_squeakbox(home, {"--capture-file", home.path / "voice.wav", "--playback-file", out,
                             "--exit-at-end", "--record", "--fast"});
    ASSERT_FALSE(recorded_over.timed_out);
    EXPECT_EQ(recorded_over.exit_code, 1);
    EXPECT_NE(recorded_over.err.find("Cannot open recording file"), std::string::npos)
        << recorded_over.err;
    EXPECT_NE(recorded_over.err.find("capture file"), std::string::npos) << recorded_over.err;
    EXPECT_TRUE(read_file(home.recording()) == voice) << "the capture file was recorded over";
    // The sound went on all the same.
    EXPECT_NEAR(double(read_sound(out).samples.size()), 44100.0, 10 * 512.0 + 512.0);

    // A full disk under the playback file: the device fails part way.
    run_options full_disk;
    full_disk.file_size_limit = 64 * 1024;
    const run_result full = run_squeakbox(home,
                                          {"--capture-file", SQUEAKBOX_SPEECH_SAMPLE,
                                           "--playback-file", out, "--exit-at-end", "--fast"},
                                          full_disk);
    ASSERT_FALSE(full.timed_out);
    EXPECT_EQ(full.exit_code, 1);
    EXPECT_NE(full.err.find("The sound device failed"), std::string::npos) << full.err;
}

TEST(ProgramExitStatus, MistakesAreReportedWithTheirExitCodes) {
    scratch_home home;
    const run_result unknown = run_squeakbox(home, {"--bogus"});
    EXPECT_EQ(unknown.exit_code, 2);
    EXPECT_NE(unknown.err.find("--bogus"), std::string::npos) << unknown.err;

    const run_result missing =
        run_squeakbox(home, {"--capture-file", (home.path / "nothing.wav").string(),
                             "--playback-file", (home.path / "out.wav").string()});
    ASSERT_FALSE(missing.timed_out);
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_NE(missing.err.find("Error initializing microphone"), std::string::npos) << missing.err;

    // The output written over the voice would empty it before it is read:
    // refused before anything is opened, under any name or link.
    const fs::path voice = home.path / "voice.wav";
    write_sound(voice, harmonic_tone(180.0, 0.5));
    const std::string voice_bytes = read_file(voice);
    fs::create_symlink(voice, home.path / "symlink.wav");
    fs::create_hard_link(voice, home.path / "hardlink.wav");
    for (const fs::path& output : {voice, home.path / "symlink.wav", home.path / "hardlink.wav",
                                   home.path / "." / "voice.wav"}) {
        const run_result same = run_squeakbox(
            home, {"--capture-file", voice, "--playback-file", output, "--exit-at-end"});
        EXPECT_EQ(same.exit_code, 2) << output;
        EXPECT_EQ(std::count(same.err.begin(), same.err.end(), '\n'), 1) << same.err;
        EXPECT_NE(same.err.find(output.string()), std::string::npos) << same.err;
        EXPECT_TRUE(read_file(voice) == voice_bytes) << output << " was emptied";
    }

    run_options without_platform;
    without_platform.keep_platform = false;
    const run_result no_display = run_squeakbox(home, {}, without_platform);
    EXPECT_EQ(no_display.exit_code, 1);
    EXPECT_NE(no_display.err.find("no display"), std::string::npos) << no_display.err;

    const run_result help = run_squeakbox(home, {"--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.out.find("--capture-file"), std::string::npos);
    EXPECT_NE(help.out.find("Exit status"), std::string::npos);

    const run_result version = run_squeakbox(home, {"--version"});
    EXPECT_EQ(version.exit_code, 0);
    for (const char* part : {"squeakbox 1.6", "Qt ", "PortAudio", "libsndfile", "engine: "}) {
        EXPECT_NE(version.out.find(part), std::string::npos) << part << " in " << version.out;
    }
}

// A session bus of the test's own, ended with it.
struct private_session_bus {
    std::string address;
    pid_t pid = -1;
    private_session_bus() {
        FILE* out = ::popen("dbus-daemon --session --fork --print-address=1 --print-pid=1", "r");
        if (out == nullptr) return;
        char line[1024] = {};
        if (std::fgets(line, sizeof line, out) != nullptr) address = line;
        if (std::fgets(line, sizeof line, out) != nullptr) pid = std::atoi(line);
        ::pclose(out);
        while (!address.empty() && (address.back() == '\n' || address.back() == ' '))
            address.pop_back();
    }
    ~private_session_bus() {
        if (pid > 0) ::kill(pid, SIGTERM);
    }
};

// Seconds of sound in the playback file so far: it is written as it plays.
double played_seconds(const fs::path& file) {
    std::error_code error;
    const auto bytes = fs::file_size(file, error);
    return error || bytes < 46 ? 0.0 : static_cast<double>(bytes - 46) / 2 / 44100;
}

// The remote on a private session bus: a Squeakbox runs on a tone read in
// real time; a second process moves its pitch up one semitone, a third puts
// it in bypass, a fourth starts it again. The output shows each command at
// the moment it was given, the bypass gives back the input sample for
// sample, and the second start opens nothing.
TEST(Program, CommandsFromOtherProcessesReachTheRunningSqueakbox) {
    scratch_home home;
    const private_session_bus bus;
    ASSERT_FALSE(bus.address.empty()) << "dbus-daemon did not start (package dbus-daemon)";
    // A tone with a little seeded noise, so no two blocks of it are alike.
    std::vector<std::int16_t> tone = harmonic_tone(180.0, 8.0);
    std::mt19937 rng(3);
    for (auto& sample : tone) sample = static_cast<std::int16_t>(sample + int(rng() % 201) - 100);
    const fs::path voice = home.path / "tone.wav";
    write_sound(voice, tone);
    const fs::path played = home.path / "played.wav";

    const auto environment = squeakbox::e2e::environment_with({
        {"HOME", home.path.string()},
        {"XDG_CONFIG_HOME", (home.path / "config").string()},
        {"XDG_RUNTIME_DIR", (home.path / "runtime").string()},
        {"DBUS_SESSION_BUS_ADDRESS", bus.address},
        {"DISPLAY", ""},
        {"WAYLAND_DISPLAY", ""},
    });
    const auto out = [&home](const std::string& name) { return (home.path / name).string(); };
    squeakbox::e2e::child_process running({SQUEAKBOX_BINARY, "--capture-file", voice.string(),
                                           "--playback-file", played.string(), "--realtime"},
                                          out("running.out"), out("running.err"), environment);
    ASSERT_TRUE(running.started());

    // Each command is given at a known moment of the output: between the
    // sound played before it started and the sound played once it ended.
    struct sent {
        double after = 0;
        double before = 0;
    };
    const auto send = [&](const std::vector<std::string>& args, const std::string& name) {
        std::vector<std::string> argv{SQUEAKBOX_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        sent moment;
        moment.after = played_seconds(played);
        squeakbox::e2e::child_process client(argv, out(name + ".out"), out(name + ".err"),
                                             environment);
        EXPECT_TRUE(client.wait_for(10s)) << name << " hangs";
        EXPECT_EQ(client.exit_code(), 0) << name << ": " << read_file(out(name + ".err"));
        moment.before = played_seconds(played);
        return moment;
    };
    while (played_seconds(played) < 2.0 && !running.wait_for(10ms)) {
    }
    const sent up = send({"--pitch-up"}, "pitch-up");
    while (played_seconds(played) < 4.5 && !running.wait_for(10ms)) {
    }
    const sent bypass = send({"--bypass", "on"}, "bypass");
    const sent second = send({}, "second-start");
    EXPECT_NE(read_file(out("second-start.err")).find("already running"), std::string::npos);
    ASSERT_TRUE(running.wait_for(30s)) << "the running Squeakbox did not end with its file";
    EXPECT_EQ(running.exit_code(), 0) << read_file(out("running.err"));
    EXPECT_LT(second.before, 7.5) << "the second start took until the end";

    const sound output = read_sound(played);
    ASSERT_GT(output.samples.size(), 6u * 44100);
    // Each frame's pitch, in semitones above the tone: 6 at the start, 7
    // after the command, 0 in bypass.
    const auto frames = squeakbox::e2e::track_pitch(output.samples);
    double first_seven = -1;
    double first_zero = -1;
    int expected = 6;
    int out_of_order = 0;
    int voiced = 0;
    for (const auto& frame : frames) {
        if (frame.hz <= 0) continue;
        ++voiced;
        const double semitones = 12 * std::log2(frame.hz / 180.0);
        const int nearest = static_cast<int>(std::lround(semitones));
        if (std::abs(semitones - nearest) > 0.3) {
            ++out_of_order;  // a crossfade, or a frame across a switch
            continue;
        }
        if (nearest == 7 && expected == 6) {
            expected = 7;
            first_seven = frame.time;
        } else if (nearest == 0 && expected == 7) {
            expected = 0;
            first_zero = frame.time;
        } else if (nearest != expected) {
            ++out_of_order;
        }
    }
    std::printf(
        "pitch up asked at %.2f-%.2f s, heard from %.2f s; bypass asked at %.2f-%.2f s, "
        "heard from %.2f s\n",
        up.after, up.before, first_seven, bypass.after, bypass.before, first_zero);
    ASSERT_GT(voiced, 400);
    EXPECT_LT(out_of_order, voiced / 50) << "frames off the expected pitch";
    // The change shows up in the output between the sound played before the
    // command and, after it, the engine's delay and a frame of analysis.
    EXPECT_GE(first_seven, up.after) << "up one semitone before it was asked";
    EXPECT_LE(first_seven, up.before + 0.4);
    EXPECT_GE(first_zero, bypass.after);
    EXPECT_LE(first_zero, bypass.before + 0.1);

    // In bypass every block played is a block of the voice, unchanged.
    std::set<std::vector<std::int16_t>> voice_blocks;
    for (std::size_t at = 0; at + 512 <= tone.size(); at += 512)
        voice_blocks.emplace(tone.begin() + static_cast<long>(at),
                             tone.begin() + static_cast<long>(at + 512));
    const auto bypassed_from = static_cast<std::size_t>((bypass.before + 0.05) * 44100) / 512 + 1;
    std::size_t unchanged = 0;
    std::size_t blocks = 0;
    for (std::size_t b = bypassed_from; (b + 1) * 512 <= output.samples.size(); ++b) {
        const std::vector<std::int16_t> block(
            output.samples.begin() + static_cast<long>(b * 512),
            output.samples.begin() + static_cast<long>(b * 512 + 512));
        if (std::all_of(block.begin(), block.end(), [](std::int16_t s) { return s == 0; }))
            continue;  // the file's end
        ++blocks;
        unchanged += voice_blocks.count(block);
    }
    EXPECT_GT(blocks, 50u);
    EXPECT_EQ(unchanged, blocks) << "bypassed blocks that are not the voice's own";
}

}  // namespace
