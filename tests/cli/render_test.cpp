// squeakbox-render, run as a user runs it: files in, files (or clear errors) out.

#include <fcntl.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "cli/render_options.h"
#include "engine/pitch_shifter.h"
#include "tests/engine/speech_signal.h"
#include "tests/engine/test_signals.h"

namespace squeakbox::render {
namespace {

namespace fs = std::filesystem;

struct sound {
    std::vector<std::int16_t> samples;
    int channels = 1;
    int rate = 44100;
    [[nodiscard]] std::size_t frames() const { return samples.size() / channels; }
};

void write_sound(const fs::path& path, const sound& s,
                 int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16) {
    SF_INFO info{};
    info.samplerate = s.rate;
    info.channels = s.channels;
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
    sf_writef_short(file, s.samples.data(), static_cast<sf_count_t>(s.frames()));
    sf_close(file);
}

sound read_sound(const fs::path& path) {
    SF_INFO info{};
    sound s;
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        ADD_FAILURE() << path << ": " << sf_strerror(nullptr);
        return s;
    }
    s.channels = info.channels;
    s.rate = info.samplerate;
    s.samples.resize(static_cast<std::size_t>(info.frames) * info.channels);
    sf_readf_short(file, s.samples.data(), info.frames);
    sf_close(file);
    return s;
}

sound tone(double hz, double seconds, int rate = 44100, int channels = 1, double start = 0.0,
           double stop = 1e9) {
    sound s;
    s.rate = rate;
    s.channels = channels;
    const auto frames = static_cast<std::size_t>(seconds * rate);
    s.samples.resize(frames * channels);
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / rate;
        const double v =
            (t >= start && t < stop) ? 12000.0 * std::sin(2 * std::numbers::pi * hz * t) : 0.0;
        for (int c = 0; c < channels; ++c)
            s.samples[i * channels + c] = static_cast<std::int16_t>(std::lround(c == 0 ? v : -v));
    }
    return s;
}

sound test_noise_sound() {
    sound s;
    s.samples = testing::random_samples(44100 * 2, 17);
    return s;
}

// The median period between upward zero crossings of channel 0 from `from`
// to `to`, with the crossings placed by linear interpolation, as a frequency.
double measured_hz(const sound& s, std::size_t from, std::size_t to) {
    std::vector<double> crossings;
    for (std::size_t i = from + 1; i < to; ++i) {
        const double a = s.samples[(i - 1) * s.channels];
        const double b = s.samples[i * s.channels];
        if (a < 0 && b >= 0) crossings.push_back(static_cast<double>(i - 1) + a / (a - b));
    }
    std::vector<double> periods;
    for (std::size_t i = 1; i < crossings.size(); ++i)
        periods.push_back(crossings[i] - crossings[i - 1]);
    if (periods.empty()) return 0.0;
    std::nth_element(periods.begin(), periods.begin() + periods.size() / 2, periods.end());
    return s.rate / periods[periods.size() / 2];
}

// How well the loudness envelopes (10 ms windows every millisecond) of `in`
// and `out` match with `out` lagging by -most to +most milliseconds; every
// lag is scored over the same stretch of `in`.
std::vector<double> envelope_matches(const sound& in, const sound& out, int most) {
    auto envelope = [](const sound& s) {
        const std::size_t hop = s.rate / 1000;
        const std::size_t window = s.rate / 100;
        std::vector<double> e;
        for (std::size_t k = 0; k + window < s.frames(); k += hop) {
            double energy = 0;
            for (std::size_t j = k; j < k + window; ++j) {
                const double v = s.samples[j * s.channels];
                energy += v * v;
            }
            e.push_back(std::sqrt(energy / window));
        }
        double mean = 0;
        for (double v : e) mean += v;
        mean /= static_cast<double>(e.size());
        for (double& v : e) v -= mean;
        return e;
    };
    const auto a = envelope(in);
    const auto b = envelope(out);
    const int margin = std::max(200, most);
    std::vector<double> scores;
    for (int lag = -most; lag <= most; ++lag) {
        double score = 0;
        for (int t = margin; t + margin < static_cast<int>(a.size()); ++t) {
            const int u = t + lag;
            if (u >= 0 && u < static_cast<int>(b.size())) score += a[t] * b[u];
        }
        scores.push_back(score);
    }
    return scores;
}

// How many milliseconds `out` lags behind `in`: the lag that best lines up
// their loudness envelopes, within +-150 ms.
double envelope_lag_ms(const sound& in, const sound& out) {
    const auto scores = envelope_matches(in, out, 150);
    return static_cast<double>(std::max_element(scores.begin(), scores.end()) - scores.begin()) -
           150;
}

// The same where a sound comes out smeared over most of a second (far up, the
// stretcher plays each stretch of input many times over): the best match is
// then a broad plateau whose highest point is chance, so this is its centre,
// the lags weighted by how far they rise above half the best match.
double envelope_centre_ms(const sound& in, const sound& out) {
    const int most = 800;
    const auto scores = envelope_matches(in, out, most);
    const double half = *std::max_element(scores.begin(), scores.end()) / 2;
    double weight = 0, sum = 0;
    for (std::size_t i = 0; i < scores.size(); ++i) {
        if (scores[i] <= half) continue;
        weight += scores[i] - half;
        sum += (scores[i] - half) * (static_cast<double>(i) - most);
    }
    return sum / weight;
}

struct outcome {
    int status = -1;
    std::string errors;
};

// The program running as a child. Standard input and output may be files,
// or standard input a pipe the test feeds; signals may start out ignored, as
// under nohup.
struct launch {
    fs::path stdin_file;
    fs::path stdout_file;
    bool stdin_pipe = false;
    std::vector<int> ignored_signals;
};

class program_run {
  public:
    program_run(const std::vector<std::string>& args, const launch& how) {
        static int runs = 0;
        errors_ =
            fs::temp_directory_path() / ("squeakbox-render-errors-" + std::to_string(::getpid()) +
                                         "-" + std::to_string(++runs));
        int input[2] = {-1, -1};
        if (how.stdin_pipe && ::pipe2(input, O_CLOEXEC) != 0) ADD_FAILURE() << "no pipe";
        pid_ = ::fork();
        if (pid_ == 0) {
            auto redirect = [](const fs::path& path, int target, int flags) {
                const int fd = ::open(path.c_str(), flags, 0644);
                if (fd < 0) ::_exit(120);
                ::dup2(fd, target);
                ::close(fd);
            };
            if (how.stdin_pipe) ::dup2(input[0], STDIN_FILENO);
            if (!how.stdin_file.empty()) redirect(how.stdin_file, STDIN_FILENO, O_RDONLY);
            if (!how.stdout_file.empty())
                redirect(how.stdout_file, STDOUT_FILENO, O_WRONLY | O_CREAT | O_TRUNC);
            redirect(errors_, STDERR_FILENO, O_WRONLY | O_CREAT | O_TRUNC);
            for (int s : {SIGHUP, SIGINT, SIGTERM, SIGPIPE}) ::signal(s, SIG_DFL);
            for (int s : how.ignored_signals) ::signal(s, SIG_IGN);
            std::vector<char*> argv;
            std::string program = SQUEAKBOX_RENDER_PROGRAM;
            argv.push_back(program.data());
            std::vector<std::string> copies = args;
            for (auto& a : copies) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(121);
        }
        if (how.stdin_pipe) {
            ::close(input[0]);
            input_ = input[1];
        }
    }
    ~program_run() {
        close_input();
        if (pid_ > 0 && !finished_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        fs::remove(errors_);
    }
    program_run(const program_run&) = delete;
    program_run& operator=(const program_run&) = delete;

    // Writes into the program's standard input; a program that stopped
    // reading (having refused its input) tells why in its outcome.
    void feed(const std::vector<unsigned char>& bytes) {
        ::signal(SIGPIPE, SIG_IGN);
        for (std::size_t at = 0; at < bytes.size();) {
            const ssize_t n = ::write(input_, bytes.data() + at, bytes.size() - at);
            if (n <= 0) return;
            at += static_cast<std::size_t>(n);
        }
    }
    void close_input() {
        if (input_ >= 0) ::close(input_);
        input_ = -1;
    }
    void signal(int signal_number) const { ::kill(pid_, signal_number); }

    outcome finish() {
        close_input();
        outcome result;
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "squeakbox-render did not finish in time";
                return result;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        finished_ = true;
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::ifstream in(errors_);
        result.errors.assign(std::istreambuf_iterator<char>(in), {});
        return result;
    }

  private:
    pid_t pid_ = -1;
    int input_ = -1;
    bool finished_ = false;
    fs::path errors_;
};

outcome run_program(const std::vector<std::string>& args, const fs::path& stdin_file = {},
                    const fs::path& stdout_file = {}) {
    launch how;
    how.stdin_file = stdin_file;
    how.stdout_file = stdout_file;
    return program_run(args, how).finish();
}

// Standard input from a pipe the test feeds.
launch piped() {
    launch how;
    how.stdin_pipe = true;
    return how;
}

std::vector<unsigned char> file_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The bytes of a WAV stream as a recorder writes it into a pipe: the lengths
// in its header are unknown (0xFFFFFFFF), followed by `s`'s samples.
std::vector<unsigned char> streamed_wav(const sound& s) {
    const auto le = [](std::vector<unsigned char>& out, std::uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
    };
    std::vector<unsigned char> out = {'R', 'I', 'F', 'F'};
    le(out, 0xFFFFFFFFu, 4);
    for (char c : std::string("WAVEfmt ")) out.push_back(static_cast<unsigned char>(c));
    le(out, 16, 4);
    le(out, 1, 2);
    le(out, static_cast<std::uint32_t>(s.channels), 2);
    le(out, static_cast<std::uint32_t>(s.rate), 4);
    le(out, static_cast<std::uint32_t>(s.rate * s.channels * 2), 4);
    le(out, static_cast<std::uint32_t>(s.channels * 2), 2);
    le(out, 16, 2);
    for (char c : std::string("data")) out.push_back(static_cast<unsigned char>(c));
    le(out, 0xFFFFFFFFu, 4);
    for (std::int16_t v : s.samples) le(out, static_cast<std::uint16_t>(v), 2);
    return out;
}

class RenderProgram : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("squeakbox-render-test-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        if (!HasFailure()) fs::remove_all(dir_);
    }
    fs::path file(const std::string& name) const { return dir_ / name; }
    // Nothing but the named files may be left in the folder.
    void expect_only(std::vector<std::string> names) const {
        std::vector<std::string> present;
        for (const auto& entry : fs::directory_iterator(dir_))
            present.push_back(entry.path().filename());
        std::sort(present.begin(), present.end());
        std::sort(names.begin(), names.end());
        EXPECT_EQ(present, names);
    }

    // Waits (up to 10 s) until the output's temporary file in `folder` holds
    // more than `bytes` bytes: the run is under way and writing.
    bool wait_for_temporary(const fs::path& folder, std::uintmax_t bytes) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            std::error_code error;
            for (const auto& entry : fs::directory_iterator(folder, error))
                if (entry.path().filename().string().find(".part-") != std::string::npos &&
                    entry.file_size(error) > bytes)
                    return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    fs::path dir_;
};

// ---------------------------------------------------------------------------

TEST_F(RenderProgram, ToneComesOutAtTheNewPitchWithTheInputsLength) {
    for (int channels : {1, 2}) {
        write_sound(file("tone.wav"), tone(200.0, 4.0, 44100, channels));
        const outcome run = run_program({"--quiet", file("tone.wav"), file("high.wav")});
        ASSERT_EQ(run.status, 0) << run.errors;
        EXPECT_EQ(run.errors, "");
        const sound out = read_sound(file("high.wav"));
        EXPECT_EQ(out.channels, channels);
        EXPECT_EQ(out.rate, 44100);
        EXPECT_EQ(out.frames(), 4u * 44100);
        const double hz = measured_hz(out, 44100, 3 * 44100);
        const double cents = 1200.0 * std::log2(hz / (200.0 * std::exp2(6.0 / 12.0)));
        EXPECT_LT(std::abs(cents), 2.0) << hz << " Hz, " << channels << " channel(s)";
    }
}

TEST_F(RenderProgram, OutputLinesUpWithTheInput) {
    // The syllables of a voice must come out where they went in, give or take
    // the time-stretcher's jitter: each sequence may start anywhere in its
    // 28 ms seek window, so 15 ms either way.
    for (int rate : {44100, 48000, 8000}) {
        sound voice;
        voice.rate = rate;
        voice.samples = testing::speech_like(static_cast<std::size_t>(rate) * 8, rate, 13);
        write_sound(file("voice.wav"), voice);
        for (const char* voice_option : {"squeak", "natural"}) {
            for (const char* latency : {"normal", "low"}) {
                for (int semitones : {-12, -5, 0, 6, 12}) {
                    const outcome run =
                        run_program({"-s", std::to_string(semitones), "--latency", latency,
                                     "--voice", voice_option, file("voice.wav"), file("out.wav")});
                    ASSERT_EQ(run.status, 0) << run.errors;
                    const sound out = read_sound(file("out.wav"));
                    ASSERT_EQ(out.frames(), voice.frames());
                    EXPECT_LE(std::abs(envelope_lag_ms(voice, out)), 15.0)
                        << semitones << " semitones at " << rate << " Hz, " << latency
                        << " latency, " << voice_option << " voice";
                }
            }
        }
    }
}

TEST_F(RenderProgram, LongFilesStayInLineToTheirEnd) {
    // Three minutes of voice, ending in a syllable that stops 50 ms before the
    // file does: the first and the last minute must line up (the engine's
    // surplus used to slide the end by up to 0.7 s an hour at +6 and 6.5 s at
    // +43, and the delay removed at +43 was 40 ms short), and that last
    // syllable must come out rather than stay in the engine.
    const int rate = 44100;
    const std::size_t minute = 60 * rate;
    sound voice;
    voice.samples = testing::speech_like(3 * minute, rate, 19);
    write_sound(file("long.wav"), voice);
    auto slice = [](const sound& s, std::size_t from, std::size_t to) {
        sound part;
        part.rate = s.rate;
        part.samples.assign(s.samples.begin() + static_cast<std::ptrdiff_t>(from),
                            s.samples.begin() + static_cast<std::ptrdiff_t>(to));
        return part;
    };
    auto loudness = [](const sound& s, std::size_t from, std::size_t to) {
        double energy = 0;
        for (std::size_t i = from; i < to; ++i) energy += double(s.samples[i]) * s.samples[i];
        return std::sqrt(energy / static_cast<double>(to - from));
    };
    for (int semitones : {-6, 6, 43}) {
        const outcome run =
            run_program({"-s", std::to_string(semitones), file("long.wav"), file("out.wav")});
        ASSERT_EQ(run.status, 0) << run.errors;
        const sound out = read_sound(file("out.wav"));
        ASSERT_EQ(out.frames(), voice.frames());
        const std::size_t end = voice.frames();
        const double first = envelope_centre_ms(slice(voice, 0, minute), slice(out, 0, minute));
        const double last =
            envelope_centre_ms(slice(voice, end - minute, end), slice(out, end - minute, end));
        EXPECT_LE(std::abs(first), 10.0) << semitones << " semitones";
        EXPECT_LE(std::abs(last), 10.0) << semitones << " semitones";
        EXPECT_LE(std::abs(last - first), 10.0) << semitones << " semitones";
        // The last syllable's sound, not silence padded in its place.
        EXPECT_GT(loudness(out, end - rate / 5, end - rate / 20),
                  0.2 * loudness(voice, end - rate / 5, end - rate / 20))
            << semitones << " semitones";
    }

    // Pauses of digital silence, as synthetic speech has: a join onto
    // silence starts its sequence wherever the search began, which left the
    // sound far up some 75 ms late for good; the stream now brings it back.
    for (std::size_t i = 0; i < voice.samples.size(); ++i)
        if (i % (13 * rate / 10) < 4 * rate / 10) voice.samples[i] = 0;
    write_sound(file("long.wav"), voice);
    const outcome run = run_program({"-s", "43", file("long.wav"), file("out.wav")});
    ASSERT_EQ(run.status, 0) << run.errors;
    const sound out = read_sound(file("out.wav"));
    const std::size_t end = voice.frames();
    EXPECT_LE(std::abs(envelope_centre_ms(slice(voice, end - minute, end),
                                          slice(out, end - minute, end))),
              20.0);
}

TEST_F(RenderProgram, RawOutputIsExactlyWhatTheEngineReturns) {
    sound speech;
    speech.samples = testing::speech_like(44100 * 3 + 123, 44100, 5);
    write_sound(file("speech.wav"), speech);
    struct setting {
        latency_mode latency;
        voice_kind voice;
        int timbre;
    };
    for (const setting& r : {setting{latency_mode::normal, voice_kind::squeak, 0},
                             setting{latency_mode::low, voice_kind::squeak, 0},
                             setting{latency_mode::low, voice_kind::natural, 0},
                             setting{latency_mode::normal, voice_kind::squeak, -3}}) {
        const latency_mode latency = r.latency;
        const outcome run = run_program(
            {"--raw", "--block-frames", "300", "--semitones", "+4", "--pitch-changes",
             "200:-3,40:7", "--latency", latency_name(latency), "--voice", voice_name(r.voice),
             "--timbre", std::to_string(r.timbre), file("speech.wav"), file("raw.wav")});
        ASSERT_EQ(run.status, 0) << run.errors;

        pitch_shifter engine;
        engine.set_channels(1);
        engine.set_sample_rate(44100);
        engine.set_block_size(300 * 2);
        engine.set_latency(latency);
        engine.set_pitch_semitones(4);
        engine.set_voice(r.voice);
        engine.set_timbre_semitones(r.timbre);
        std::vector<std::int16_t> expected;
        std::vector<std::int16_t> out(300);
        for (std::size_t k = 0; (k + 1) * 300 <= speech.samples.size(); ++k) {
            if (k == 40) engine.set_pitch_semitones(7);
            if (k == 200) engine.set_pitch_semitones(-3);
            const auto n = engine.process(out.data(), speech.samples.data() + k * 300, 300);
            expected.insert(expected.end(), out.begin(), out.begin() + n);
        }
        EXPECT_EQ(read_sound(file("raw.wav")).samples, expected) << latency_name(latency);
    }
}

TEST_F(RenderProgram, PipesFormatsAndFloatInputsWork) {
    sound speech;
    speech.samples = testing::speech_like(44100 * 2, 44100, 9);
    write_sound(file("in.wav"), speech);
    write_sound(file("in.flac"), speech, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    ASSERT_EQ(run_program({file("in.wav"), file("a.wav")}).status, 0);
    const sound reference = read_sound(file("a.wav"));

    // Standard input and output.
    const outcome piped = run_program({"-q", "-", "-"}, file("in.flac"), file("b.wav"));
    ASSERT_EQ(piped.status, 0) << piped.errors;
    EXPECT_EQ(read_sound(file("b.wav")).samples, reference.samples);

    // The output's extension chooses its format.
    ASSERT_EQ(run_program({file("in.wav"), file("c.flac")}).status, 0);
    SF_INFO info{};
    SNDFILE* flac = sf_open(file("c.flac").c_str(), SFM_READ, &info);
    ASSERT_NE(flac, nullptr);
    EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_FLAC);
    sf_close(flac);
    EXPECT_EQ(read_sound(file("c.flac")).samples, reference.samples);

    // Float samples beyond full scale are clipped, not wrapped around.
    SF_INFO float_info{};
    float_info.samplerate = 44100;
    float_info.channels = 1;
    float_info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* loud = sf_open(file("loud.wav").c_str(), SFM_WRITE, &float_info);
    ASSERT_NE(loud, nullptr);
    std::vector<float> over(44100);
    for (std::size_t i = 0; i < over.size(); ++i) over[i] = i % 100 < 50 ? 1.7f : -1.7f;
    sf_writef_float(loud, over.data(), static_cast<sf_count_t>(over.size()));
    sf_close(loud);
    ASSERT_EQ(run_program({"-s", "0", "--raw", file("loud.wav"), file("loud-out.wav")}).status, 0);
    const sound clipped = read_sound(file("loud-out.wav"));
    ASSERT_FALSE(clipped.samples.empty());
    const auto quiet =
        std::count_if(clipped.samples.begin() + clipped.samples.size() / 4, clipped.samples.end(),
                      [](std::int16_t v) { return std::abs(v) < 20000; });
    EXPECT_LT(quiet, static_cast<long>(clipped.samples.size() / 10));
}

TEST_F(RenderProgram, BadInputsAreReportedAndLeaveNoFileBehind) {
    write_sound(file("good.wav"), tone(200.0, 1.0));
    { std::ofstream(file("text.wav")) << "this is not a sound file, only words\n"; }
    // A WAV file cut off in the middle of its data.
    write_sound(file("full.wav"), tone(200.0, 2.0));
    fs::copy_file(file("full.wav"), file("cut.wav"));
    fs::resize_file(file("cut.wav"), fs::file_size(file("full.wav")) / 2);
    // A FLAC file cut off in the middle of a frame.
    write_sound(file("full.flac"), test_noise_sound(), SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    fs::copy_file(file("full.flac"), file("cut.flac"));
    fs::resize_file(file("cut.flac"), fs::file_size(file("full.flac")) / 2 + 7);
    sound three = tone(200.0, 1.0, 44100, 3);
    write_sound(file("three.wav"), three);
    write_sound(file("slow.wav"), tone(200.0, 1.0, 4000));
    write_sound(file("fast.wav"), tone(200.0, 0.2, 384000));
    { std::ofstream(file("old.wav")) << "keep me"; }
    fs::create_directory(file("folder"));

    struct error_case {
        std::vector<std::string> args;
        std::string names;   // the file the message must name
        std::string reason;  // a word of the reason
    };
    const std::vector<error_case> cases = {
        {{file("missing.wav"), file("out.wav")}, file("missing.wav"), "No such file"},
        {{file("text.wav"), file("out.wav")}, file("text.wav"), "sound file"},
        {{file("cut.wav"), file("out.wav")}, file("cut.wav"), "truncated"},
        {{file("cut.flac"), file("out.wav")}, file("cut.flac"), "truncated"},
        {{file("three.wav"), file("out.wav")}, file("three.wav"), "3 channels"},
        {{file("slow.wav"), file("out.wav")}, file("slow.wav"), "4000 Hz"},
        {{file("fast.wav"), file("out.wav")}, file("fast.wav"), "384000 Hz"},
        {{file("folder"), file("out.wav")}, file("folder"), "directory"},
        {{file("good.wav"), file("folder")}, file("folder"), "directory"},
        {{file("good.wav"), file("good.wav/out.wav")}, file("good.wav/out.wav"), "cannot create"},
        {{file("good.wav"), file("nowhere/out.wav")}, file("nowhere/out.wav"), "cannot create"},
        {{file("cut.wav"), file("old.wav")}, file("cut.wav"), "truncated"},
    };
    for (const auto& c : cases) {
        const outcome run = run_program(c.args);
        EXPECT_EQ(run.status, 1) << c.args[0] << " -> " << c.args[1];
        EXPECT_NE(run.errors.find(c.names + ": "), std::string::npos) << run.errors;
        EXPECT_NE(run.errors.find(c.reason), std::string::npos) << run.errors;
        EXPECT_EQ(std::count(run.errors.begin(), run.errors.end(), '\n'), 1) << run.errors;
    }
    expect_only({"good.wav", "text.wav", "full.wav", "cut.wav", "full.flac", "cut.flac",
                 "three.wav", "slow.wav", "fast.wav", "old.wav", "folder"});
    std::ifstream old(file("old.wav"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(old), {}), "keep me");
}

TEST_F(RenderProgram, BadOptionsAreUsageErrors) {
    write_sound(file("in.wav"), tone(200.0, 0.5));
    const std::vector<std::vector<std::string>> cases = {
        {"--semitones", "49", file("in.wav"), file("o.wav")},
        {"--semitones", "six", file("in.wav"), file("o.wav")},
        {"--block-frames", "10", file("in.wav"), file("o.wav")},
        {"--pitch-changes", "5", file("in.wav"), file("o.wav")},
        {"--engine", "turbo", file("in.wav"), file("o.wav")},
        {"--simd", "avx9", file("in.wav"), file("o.wav")},
        {"--frobnicate", file("in.wav"), file("o.wav")},
        {file("in.wav")},
        {file("in.wav"), file("o.wav"), file("p.wav")},
    };
    for (const auto& args : cases) {
        const outcome run = run_program(args);
        EXPECT_EQ(run.status, 2) << args[0];
        EXPECT_NE(run.errors.find("--help"), std::string::npos) << run.errors;
    }
    expect_only({"in.wav"});

    const outcome help = run_program({"--help"}, {}, file("help.txt"));
    EXPECT_EQ(help.status, 0);
    const outcome version = run_program({"--version", "--simd", "scalar"}, {}, file("version.txt"));
    EXPECT_EQ(version.status, 0);
    std::ifstream text(file("version.txt"));
    const std::string shown(std::istreambuf_iterator<char>(text), {});
    EXPECT_NE(shown.find("libsndfile"), std::string::npos) << shown;
    EXPECT_NE(shown.find("scalar"), std::string::npos) << shown;
}

TEST_F(RenderProgram, PipedInputsAreRenderedAsTheyArrive) {
    sound voice;
    voice.samples = testing::speech_like(44100 * 6, 44100, 3);
    write_sound(file("voice.wav"), voice);
    ASSERT_EQ(run_program({"-q", file("voice.wav"), file("from-file.wav")}).status, 0);
    const sound reference = read_sound(file("from-file.wav"));

    // A recorder's stream of unknown length: the output grows while the input
    // still comes, and ends up as the file's rendering.
    const std::vector<unsigned char> stream = streamed_wav(voice);
    const auto half = static_cast<std::ptrdiff_t>(stream.size() / 2);
    {
        program_run run({"-q", "-", file("out.wav")}, piped());
        run.feed({stream.begin(), stream.begin() + half});
        EXPECT_TRUE(wait_for_temporary(dir_, 44100 * 2))
            << "nothing written before the input ended";
        run.feed({stream.begin() + half, stream.end()});
        const outcome done = run.finish();
        ASSERT_EQ(done.status, 0) << done.errors;
    }
    EXPECT_EQ(read_sound(file("out.wav")).samples, reference.samples);

    // Formats that need no seeking come through a pipe whole, a data chunk
    // that says 0 bytes included; one whose description follows its sound
    // data is refused with the reason.
    write_sound(file("voice.flac"), voice, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    write_sound(file("voice.ogg"), voice, SF_FORMAT_OGG | SF_FORMAT_VORBIS);
    std::vector<unsigned char> zero_length = stream;
    std::fill(zero_length.begin() + 40, zero_length.begin() + 44, 0);
    // Longer than the stretch a pipe's reader looks ahead while opening.
    sound long_voice;
    long_voice.samples = testing::speech_like(44100 * 15, 44100, 4);
    std::vector<unsigned char> aiff_sound_first;
    {
        const auto be = [&aiff_sound_first](std::uint32_t v, int bytes) {
            for (int i = bytes - 1; i >= 0; --i)
                aiff_sound_first.push_back(static_cast<unsigned char>(v >> (8 * i)));
        };
        const auto tag = [&aiff_sound_first](const char* text) {
            aiff_sound_first.insert(aiff_sound_first.end(), text, text + 4);
        };
        const auto data_bytes = static_cast<std::uint32_t>(long_voice.samples.size() * 2 + 8);
        tag("FORM");
        be(4 + 8 + data_bytes + 8 + 18, 4);
        tag("AIFF");
        tag("SSND");
        be(data_bytes, 4);
        be(0, 4);
        be(0, 4);
        for (std::int16_t v : long_voice.samples) be(static_cast<std::uint16_t>(v), 2);
        tag("COMM");
        be(18, 4);
        be(1, 2);
        be(static_cast<std::uint32_t>(long_voice.frames()), 4);
        be(16, 2);
        for (unsigned byte : {0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0}) be(byte, 1);
    }
    // A block codec whose header claims far more than the stream brings:
    // libsndfile would fill the missing blocks with silence, for hours.
    write_sound(file("adpcm.wav"), voice, SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM);
    std::vector<unsigned char> adpcm_claims_more = file_bytes(file("adpcm.wav"));
    {
        const std::string data = "data";
        const auto at = std::search(adpcm_claims_more.begin(), adpcm_claims_more.end(),
                                    data.begin(), data.end());
        ASSERT_NE(at, adpcm_claims_more.end());
        const unsigned char claim[4] = {0, 0, 0, 0x10};  // 256 MB
        std::copy(claim, claim + 4, at + 4);
    }
    struct piped_case {
        std::string what;
        std::vector<unsigned char> bytes;
        std::string error;  // empty: renders like the file
    };
    const std::vector<piped_case> cases = {
        {"FLAC", file_bytes(file("voice.flac")), ""},
        {"Ogg Vorbis", file_bytes(file("voice.ogg")), ""},
        {"WAV with a 0-byte data chunk", zero_length, ""},
        {"AIFF with its description last", aiff_sound_first, "needs seeking"},
        {"IMA ADPCM claiming 256 MB", adpcm_claims_more, "truncated"},
    };
    for (const auto& c : cases) {
        fs::remove(file("out.wav"));
        program_run run({"-q", "-", file("out.wav")}, piped());
        run.feed(c.bytes);
        const outcome done = run.finish();
        if (!c.error.empty()) {
            EXPECT_EQ(done.status, 1) << c.what;
            EXPECT_NE(done.errors.find("standard input: "), std::string::npos) << done.errors;
            EXPECT_NE(done.errors.find(c.error), std::string::npos) << done.errors;
            EXPECT_EQ(std::count(done.errors.begin(), done.errors.end(), '\n'), 1) << done.errors;
            continue;
        }
        ASSERT_EQ(done.status, 0) << c.what << ": " << done.errors;
        const sound out = read_sound(file("out.wav"));
        EXPECT_EQ(out.frames(), voice.frames()) << c.what;
        if (c.what != "Ogg Vorbis") {
            EXPECT_EQ(out.samples, reference.samples) << c.what;
        }
    }
}

TEST_F(RenderProgram, OutputsReplaceWhatTheirNamesStandFor) {
    write_sound(file("in.wav"), tone(200.0, 2.0));
    const auto frames = 2u * 44100;
    const auto no_temporary_in = [](const fs::path& folder) {
        for (const auto& entry : fs::directory_iterator(folder))
            EXPECT_EQ(entry.path().filename().string().find(".part-"), std::string::npos)
                << entry.path();
    };

    // Through a symbolic link, the file it points to is replaced, with its
    // permissions: a private file stays private.
    fs::create_directory(file("real"));
    { std::ofstream(file("real/private.wav")) << "old"; }
    fs::permissions(file("real/private.wav"), fs::perms::owner_read | fs::perms::owner_write);
    fs::create_symlink("real/private.wav", file("link.wav"));
    outcome run = run_program({"-q", file("in.wav"), file("link.wav")});
    ASSERT_EQ(run.status, 0) << run.errors;
    ASSERT_TRUE(fs::is_symlink(file("link.wav")));
    EXPECT_EQ(fs::read_symlink(file("link.wav")), "real/private.wav");
    EXPECT_EQ(read_sound(file("real/private.wav")).frames(), frames);
    EXPECT_EQ(fs::status(file("real/private.wav")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    no_temporary_in(dir_);
    no_temporary_in(file("real"));

    // A FIFO's reader gets the whole file, and the FIFO stays.
    ASSERT_EQ(::mkfifo(file("fifo.wav").c_str(), 0644), 0);
    const int reader = ::open(file("fifo.wav").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    std::vector<unsigned char> received;
    std::atomic<bool> done{false};
    std::thread drain([&] {
        unsigned char buffer[65536];
        while (true) {
            const ssize_t n = ::read(reader, buffer, sizeof buffer);
            if (n > 0) {
                received.insert(received.end(), buffer, buffer + n);
            } else if (done) {
                break;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
    });
    run = run_program({"-q", file("in.wav"), file("fifo.wav")});
    done = true;
    drain.join();
    ::close(reader);
    EXPECT_EQ(run.status, 0) << run.errors;
    EXPECT_TRUE(fs::is_fifo(file("fifo.wav")));
    {
        std::ofstream(file("received.wav"), std::ios::binary)
            .write(reinterpret_cast<const char*>(received.data()),
                   static_cast<std::streamsize>(received.size()));
    }
    EXPECT_EQ(read_sound(file("received.wav")).frames(), frames);
    no_temporary_in(dir_);

    // Device nodes are written into, never replaced: one that takes
    // everything, and one that is full. Making them takes root.
    if (::mknod(file("null.wav").c_str(), S_IFCHR | 0666, ::makedev(1, 3)) != 0 ||
        ::mknod(file("full.wav").c_str(), S_IFCHR | 0666, ::makedev(1, 7)) != 0) {
        GTEST_SKIP() << "cannot make device nodes here";
    }
    run = run_program({"-q", file("in.wav"), file("null.wav")});
    EXPECT_EQ(run.status, 0) << run.errors;
    EXPECT_TRUE(fs::is_character_file(file("null.wav")));
    run = run_program({"-q", file("in.wav"), file("full.wav")});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.errors.find(file("full.wav").string() + ": "), std::string::npos) << run.errors;
    EXPECT_NE(run.errors.find("space left on device"), std::string::npos) << run.errors;
    EXPECT_TRUE(fs::is_character_file(file("full.wav")));
    no_temporary_in(dir_);
}

TEST_F(RenderProgram, FullDisksAndVanishedFoldersLeaveNothingBehind) {
    sound voice;
    voice.samples = testing::speech_like(44100 * 4, 44100, 7);
    write_sound(file("in.wav"), voice);

    // The folder of the output goes away while the output is written.
    fs::create_directory(file("gone"));
    const std::vector<unsigned char> stream = streamed_wav(voice);
    const auto half = static_cast<std::ptrdiff_t>(stream.size() / 2);
    {
        program_run run({"-q", "-", file("gone/out.wav")}, piped());
        run.feed({stream.begin(), stream.begin() + half});
        EXPECT_TRUE(wait_for_temporary(file("gone"), 44));
        fs::remove_all(file("gone"));
        run.feed({stream.begin() + half, stream.end()});
        const outcome done = run.finish();
        EXPECT_EQ(done.status, 1);
        EXPECT_NE(done.errors.find(file("gone/out.wav").string() + ": "), std::string::npos)
            << done.errors;
        EXPECT_NE(done.errors.find("No such file or directory"), std::string::npos) << done.errors;
        EXPECT_EQ(std::count(done.errors.begin(), done.errors.end(), '\n'), 1) << done.errors;
    }

    // Standard output on a full device.
    outcome run = run_program({"-q", file("in.wav"), "-"}, {}, "/dev/full");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.errors.find("standard output: "), std::string::npos) << run.errors;
    EXPECT_NE(run.errors.find("space left on device"), std::string::npos) << run.errors;
    expect_only({"in.wav"});

    // A full disk: a small file system of its own, where the system lets us
    // mount one.
    fs::create_directory(file("small"));
    if (::mount("tmpfs", file("small").c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a small file system here";
    { std::ofstream(file("small/old.wav")) << "keep me"; }
    run = run_program({"-q", file("in.wav"), file("small/old.wav")});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.errors.find(file("small/old.wav").string() + ": "), std::string::npos)
        << run.errors;
    EXPECT_NE(run.errors.find("No space left on device"), std::string::npos) << run.errors;
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(file("small")))
        left.push_back(entry.path().filename());
    EXPECT_EQ(left, std::vector<std::string>{"old.wav"});
    std::ifstream old(file("small/old.wav"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(old), {}), "keep me");
    old.close();
    ::umount(file("small").c_str());
}

TEST_F(RenderProgram, SignalsIgnoredAtTheStartStayIgnored) {
    // Under nohup a hang-up, and in a script that ignores it an interrupt,
    // must neither end the run nor take its output away; a signal that was
    // not ignored ends it and removes the unfinished file.
    sound voice;
    voice.samples = testing::speech_like(44100 * 4, 44100, 11);
    const std::vector<unsigned char> stream = streamed_wav(voice);
    const auto half = static_cast<std::ptrdiff_t>(stream.size() / 2);
    struct signal_case {
        int signal_number;
        bool ignored;
        int status;
    };
    for (const signal_case& c : {signal_case{SIGHUP, true, 0}, signal_case{SIGINT, true, 0},
                                 signal_case{SIGTERM, false, 128 + SIGTERM}}) {
        fs::remove(file("out.wav"));
        launch how = piped();
        if (c.ignored) how.ignored_signals = {c.signal_number};
        program_run run({"-q", "-", file("out.wav")}, how);
        run.feed({stream.begin(), stream.begin() + half});
        EXPECT_TRUE(wait_for_temporary(dir_, 44)) << c.signal_number;
        run.signal(c.signal_number);
        if (c.ignored) run.feed({stream.begin() + half, stream.end()});
        const outcome done = run.finish();
        EXPECT_EQ(done.status, c.status) << "signal " << c.signal_number << ": " << done.errors;
        if (c.status == 0) {
            EXPECT_EQ(read_sound(file("out.wav")).frames(), voice.frames());
            expect_only({"out.wav"});
        } else {
            expect_only({});
        }
    }
}

}  // namespace
}  // namespace squeakbox::render
