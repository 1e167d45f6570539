// Sound through real devices: a private sound server's null sinks, seen by
// PortAudio through ALSA's pulse plugin and by the native client of the
// server. Run under scripts/with-pulse.sh or scripts/with-pipewire.sh;
// without a reachable server these tests skip and say why.
//
// squeak_in and squeak_out are the left and right channels of squeak_rig, so
// one recording of squeak_rig.monitor holds the signal that went in and what
// the pass-through played, on one sample clock: the lag between the two
// channels is the capture-to-playback latency.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>

#include "../sound_server_rig.h"
#include "audio/devices/portaudio_sound_system.h"
#include "audio/devices/pulse_sound_system.h"
#include "device_test_support.h"

extern char** environ;

namespace squeakbox {
namespace {

using namespace std::chrono_literals;
using namespace testing;  // the device tests' buffers, event log and pumps
using entry = event_log::entry;
namespace fs = std::filesystem;

constexpr std::size_t rate = 44100;

// A child process of this test, ended and reaped when the test ends.
class child_process {
  public:
    child_process(const std::vector<std::string>& argv, const std::string& output) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        if (::posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~child_process() { stop(); }
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    [[nodiscard]] bool started() const { return pid_ > 0; }
    bool finished() {
        if (pid_ <= 0) return true;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
        pid_ = -1;
        return true;
    }
    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
};

// Each test runs through PortAudio (true) and through the server's own
// protocol (false).
struct pulse_rig : ::testing::TestWithParam<bool> {
    fs::path dir;
    int lock_fd = -1;
    std::unique_ptr<sound_system> system;
    std::uint32_t input = 0;
    std::uint32_t output = 0;

    void SetUp() override {
        if (const std::string why = testing::rig_missing(); !why.empty())
            return testing::without_rig(why);
        lock_fd = testing::lock_rig();
        ASSERT_GE(lock_fd, 0);

        // ALSA's pulse plugin connects its streams to these.
        ::setenv("PULSE_SOURCE", "squeak_in.monitor", 1);
        ::setenv("PULSE_SINK", "squeak_out", 1);
        if (!make_system())
            return testing::without_rig("the sound system does not list the rig's devices");
        ASSERT_EQ(system->query_capture(input, stream_format), mm_ok);
        ASSERT_EQ(system->query_playback(output, stream_format), mm_ok);

        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = fs::temp_directory_path() /
              ("squeakbox-pulse-" + std::to_string(::getpid()) + "-" + info->name());
        fs::create_directories(dir);
    }

    // A measurement through the rig, taken again where the machine stood
    // still during a run that failed (see judged_with_the_machine_running).
    template <class Measure>
    void measured(Measure measure) {
        testing::judged_with_the_machine_running(measure, [] {});
    }

    void TearDown() override {
        system.reset();
        if (!dir.empty()) fs::remove_all(dir);
        if (lock_fd >= 0) ::close(lock_fd);
    }

    // The system of this run, and its devices for PULSE_SOURCE and
    // PULSE_SINK: ALSA's "pulse" device, or the server's default ones.
    bool make_system() {
        system.reset();
        if (GetParam()) {
            system = std::make_unique<portaudio_sound_system>();
        } else {
            auto server = std::make_unique<pulse_sound_system>();
            if (!server->ready()) return false;
            system = std::move(server);
        }
        bool in = false;
        bool out = false;
        device_caps caps;
        const auto wanted = [&](const device_caps& c) {
            return GetParam() ? c.name == "pulse" : c.is_default;
        };
        for (std::uint32_t d = 0; d < system->capture_device_count(); ++d)
            if (system->capture_caps(d, caps) == mm_ok && wanted(caps) && !in) {
                input = d;
                in = true;
            }
        for (std::uint32_t d = 0; d < system->playback_device_count(); ++d)
            if (system->playback_caps(d, caps) == mm_ok && wanted(caps) && !out) {
                output = d;
                out = true;
            }
        return in && out;
    }
};

// The stream's road in small: every captured block is copied to a free
// playback buffer and written, the capture buffer goes back to the device;
// during a stop nothing is handed back, and every buffer must come back
// exactly once.
struct pass_through final : device_events {
    sound_system& system;
    std::unique_ptr<capture_device> capture;
    std::unique_ptr<playback_device> playback;
    buffer_set<10> in;
    buffer_set<10> out;
    std::vector<wave_header*> free_out;
    std::map<const wave_header*, int> lent;  // header -> times lent minus times returned
    bool stopping = false;
    int returned_twice = 0;
    std::size_t dropped = 0;
    std::size_t blocks = 0;
    std::string failure;
    std::size_t after_close = 0;
    // Blocks of silence written ahead of the first captured block, so that a
    // moment's scheduling delay on a shared machine does not starve the output.
    std::size_t pre_roll = 0;

    explicit pass_through(sound_system& s) : system(s) {}

    void open(std::uint32_t input, std::uint32_t output) {
        ASSERT_EQ(system.open_playback(output, stream_format, *this, playback), mm_ok);
        ASSERT_EQ(system.open_capture(input, stream_format, *this, capture), mm_ok);
        for (auto& h : out.headers) {
            ASSERT_EQ(playback->prepare_header(h), mm_ok);
            free_out.push_back(&h);
        }
        for (auto& h : in.headers) {
            ASSERT_EQ(capture->prepare_header(h), mm_ok);
            ASSERT_EQ(capture->add_buffer(h), mm_ok);
            ++lent[&h];
        }
        ASSERT_EQ(capture->start(), mm_ok);
    }

    void came_back(const wave_header* h) {
        if (--lent[h] < 0) ++returned_twice;
    }

    void capture_data(wave_header* h) override {
        if (!capture) {
            ++after_close;
            return;
        }
        came_back(h);
        if (stopping) return;
        if (blocks++ == 0) {
            for (std::size_t i = 0; i < pre_roll && !free_out.empty(); ++i) {
                wave_header* o = free_out.front();
                free_out.erase(free_out.begin());
                std::memset(o->data, 0, 1024);
                ++lent[o];
                EXPECT_EQ(playback->write(*o), mm_ok);
            }
        }
        if (free_out.empty()) {
            ++dropped;
        } else {
            wave_header* o = free_out.front();
            free_out.erase(free_out.begin());
            std::memcpy(o->data, h->data, 1024);
            ++lent[o];
            EXPECT_EQ(playback->write(*o), mm_ok);
        }
        ++lent[h];
        EXPECT_EQ(capture->add_buffer(*h), mm_ok);
    }
    void playback_done(wave_header* h) override {
        if (!playback) {
            ++after_close;
            return;
        }
        came_back(h);
        free_out.push_back(h);
    }
    void device_failed(const std::string& reason) override { failure = reason; }

    [[nodiscard]] bool all_back() const {
        for (const auto& [h, n] : lent)
            if (n != 0) return false;
        return true;
    }

    void stop_and_close() {
        stopping = true;
        ASSERT_EQ(playback->reset(), mm_ok);
        ASSERT_EQ(capture->reset(), mm_ok);
        ASSERT_TRUE(pump_until(
            system, [&] { return all_back(); }, 5s));
        EXPECT_EQ(returned_twice, 0);
        for (auto& h : in.headers) EXPECT_EQ(capture->unprepare_header(h), mm_ok);
        for (auto& h : out.headers) EXPECT_EQ(playback->unprepare_header(h), mm_ok);
        EXPECT_EQ(capture->close(), mm_ok);
        EXPECT_EQ(playback->close(), mm_ok);
        capture.reset();
        playback.reset();
        pump_for(system, 100ms);
        EXPECT_EQ(after_close, 0u);
    }
};

double correlation(const std::int16_t* a, const std::int16_t* b, std::size_t n) {
    double ab = 0;
    double aa = 0;
    double bb = 0;
    for (std::size_t i = 0; i < n; ++i) {
        ab += double(a[i]) * b[i];
        aa += double(a[i]) * a[i];
        bb += double(b[i]) * b[i];
    }
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0.0;
}

TEST_P(pulse_rig, ASignalGoesThroughWithoutGapsAndTheLatencyIsMeasured) {
    measured([&] {
        // Two seconds of seeded noise: its correlation has one sharp peak.
        std::mt19937 random(1234);
        std::normal_distribution<double> noise(0.0, 4000.0);
        std::vector<std::int16_t> signal(2 * rate);
        for (auto& s : signal)
            s = static_cast<std::int16_t>(std::clamp(noise(random), -30000.0, 30000.0));
        const std::string played = (dir / "signal.wav").string();
        testing::write_wav(played, rate, 1, signal);
        const std::string recorded = (dir / "rig.raw").string();

        // PipeWire re-times its graph when the player joins after the streams,
        // and the output's queue at the server then no longer holds the blocks
        // this test wrote ahead, so the latency it measures is not the devices'
        // there: it is shown, not judged. What is judged is the same on both
        // servers: after the first 250 ms (the server settling on the new
        // player, PipeWire easing it in) the signal comes out whole, through
        // PipeWire's floating-point conversion too.
        const char* server = std::getenv("SQUEAKBOX_SOUND_SERVER");
        const bool pipewire = server != nullptr && std::string(server) == "pipewire";
        pass_through stream(*system);
        stream.pre_roll = 4;
        child_process recorder({"parec", "--device=squeak_rig.monitor", "--format=s16le",
                                "--rate=44100", "--channels=2", "--raw", "--latency-msec=10"},
                               recorded);
        ASSERT_TRUE(recorder.started());
        stream.open(input, output);
        pump_for(*system, 300ms);  // let both streams settle
        child_process player({"paplay", "--device=squeak_in", "--latency-msec=10", played},
                             (dir / "paplay.out").string());
        ASSERT_TRUE(player.started());
        ASSERT_TRUE(pump_until(
            *system, [&] { return player.finished(); }, 15s));
        pump_for(*system, 700ms);  // the tail goes through
        const device_stats capture_stats = stream.capture->stats();
        const device_stats playback_stats = stream.playback->stats();
        stream.stop_and_close();
        recorder.stop();

        EXPECT_EQ(stream.dropped, 0u);
        EXPECT_EQ(capture_stats.overruns, 0u);
        EXPECT_GT(stream.blocks, 2 * rate / 512);

        std::ifstream raw(recorded, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(raw)),
                                      std::istreambuf_iterator<char>());
        const std::size_t frames = bytes.size() / 4;
        std::vector<std::int16_t> left(frames);
        std::vector<std::int16_t> right(frames);
        for (std::size_t i = 0; i < frames; ++i) {
            std::memcpy(&left[i], bytes.data() + 4 * i, 2);
            std::memcpy(&right[i], bytes.data() + 4 * i + 2, 2);
        }

        // Where the signal lies in the input channel: the server passes it
        // unchanged, so a stretch from its middle is found sample for sample.
        // (The recording may begin a little after the signal did.)
        const std::size_t key = rate / 2;
        const auto in_left =
            std::search(left.begin(), left.end(), signal.begin() + key, signal.begin() + key + 64);
        ASSERT_NE(in_left, left.end()) << "squeak_in did not carry the signal unchanged";
        const auto onset =
            static_cast<std::ptrdiff_t>(in_left - left.begin()) - static_cast<std::ptrdiff_t>(key);

        // The lag of the output behind the input: the best match of that stretch.
        const std::size_t probe =
            static_cast<std::size_t>(onset + static_cast<std::ptrdiff_t>(key));
        const std::size_t width = 2048;
        std::size_t lag = 0;
        double best = 0;
        for (std::size_t l = 0; l < rate / 2 && probe + l + width < frames; ++l) {
            const double c = correlation(left.data() + probe, right.data() + probe + l, width);
            if (c > best) {
                best = c;
                lag = l;
            }
        }
        ASSERT_GT(best, 0.99) << "the output does not carry the input";
        // The blocks written ahead are the test's; what remains is the devices'.
        const double latency_ms = 1000.0 * (double(lag) - double(stream.pre_roll * 512)) / rate;
        std::printf(
            "[ latency  ] capture to playback through %s on the null sinks: %.1f ms "
            "(%zu frames measured, less the %zu blocks the test wrote ahead)\n",
            GetParam() ? "PortAudio" : "the server's protocol", latency_ms, lag, stream.pre_roll);
        std::printf(
            "[ latency  ] capture overruns %llu, playback underruns %llu (start-up included)\n",
            static_cast<unsigned long long>(capture_stats.overruns),
            static_cast<unsigned long long>(playback_stats.underruns));
        RecordProperty("round_trip_latency_ms", std::to_string(latency_ms));
        if (!pipewire) {
            EXPECT_LT(latency_ms, 250.0);
        }

        // No gap after the start: every 10 ms of the signal past its first 250 ms
        // (while the server settles on the new player's latency) comes out at
        // that same lag. A lost or an inserted block would shift all that
        // follows; a shared machine may still glitch for a moment, so two short
        // glitches (up to 50 ms each, after which the signal is back at the
        // same lag) are let pass.
        const std::ptrdiff_t shift = onset + static_cast<std::ptrdiff_t>(lag);
        std::size_t checked = 0;
        std::size_t glitches = 0;
        std::size_t run = 0;
        std::size_t longest_run = 0;
        for (std::size_t at = rate / 4; at + 441 <= signal.size(); at += 441) {
            const std::ptrdiff_t out = shift + static_cast<std::ptrdiff_t>(at);
            if (out < 0 || static_cast<std::size_t>(out) + 441 > frames) continue;
            ++checked;
            if (correlation(signal.data() + at, right.data() + out, 441) >= 0.99) {
                run = 0;
            } else if (++run == 1) {
                ++glitches;
            }
            longest_run = std::max(longest_run, run);
        }
        EXPECT_GT(checked, signal.size() * 8 / 10 / 441) << "too little of the output was recorded";
        EXPECT_LE(glitches, 2u);
        EXPECT_LE(longest_run, 5u) << "the signal did not come back at its lag";

        // Nor is there a hole in it: noise this loud never stays within +-64 for
        // a millisecond (44 frames), silence played for want of a block does.
        // The longest quiet run in one channel, over the signal past its first
        // 250 ms, the signal starting at `start` there.
        const auto longest_quiet_run = [&](const std::vector<std::int16_t>& side,
                                           std::ptrdiff_t start) {
            const auto clamp = [&](std::ptrdiff_t at) {
                return std::min(frames, static_cast<std::size_t>(std::max<std::ptrdiff_t>(at, 0)));
            };
            std::size_t quiet = 0;
            std::size_t longest = 0;
            for (std::size_t i = clamp(start + rate / 4);
                 i < clamp(start + static_cast<std::ptrdiff_t>(signal.size())); ++i) {
                quiet = std::abs(side[i]) <= 64 ? quiet + 1 : 0;
                longest = std::max(longest, quiet);
            }
            return longest;
        };
        const std::size_t longest_quiet = longest_quiet_run(right, shift);
        std::printf("[ gaps     ] longest quiet run in the output: %zu frames\n", longest_quiet);
        // The rig's player, starved on a busy machine, has been seen to leave
        // a hole of its own in the input (878 frames, passed on as it was):
        // such a run cannot judge the devices.
        if (longest_quiet_run(left, onset) > 44)
            testing::rig_input_broken("the rig's player left a hole in the input");
        EXPECT_LE(longest_quiet, 44u) << "the output has a hole of " << longest_quiet << " frames";
    });
}

TEST_P(pulse_rig, ResetAndCloseWhileStreamingReturnEveryBufferOnce) {
    pass_through stream(*system);
    stream.open(input, output);
    ASSERT_TRUE(pump_until(
        *system, [&] { return stream.blocks >= 20; }, 5s));

    // A capture reset mid-stream, then recording again.
    stream.stopping = true;
    ASSERT_EQ(stream.capture->reset(), mm_ok);
    ASSERT_TRUE(pump_until(
        *system,
        [&] {
            for (const auto& h : stream.in.headers)
                if (stream.lent[&h] != 0) return false;
            return true;
        },
        5s));
    EXPECT_EQ(stream.returned_twice, 0);
    stream.stopping = false;
    for (auto& h : stream.in.headers) {
        ++stream.lent[&h];
        ASSERT_EQ(stream.capture->add_buffer(h), mm_ok);
    }
    ASSERT_EQ(stream.capture->start(), mm_ok);
    const std::size_t before = stream.blocks;
    ASSERT_TRUE(pump_until(
        *system, [&] { return stream.blocks >= before + 20; }, 5s));

    stream.stop_and_close();
    EXPECT_TRUE(stream.failure.empty()) << stream.failure;
}

// A source removed mid-stream: as good as unplugging the microphone.
// Through PortAudio the stream ends and is reported, its buffers given back.
// A native stream is not: with nothing but monitors left to stand in for it
// (they would send the desktop's own sound into the call), it waits for its
// source in silence, its buffers coming back by the clock, and is never
// reported.
TEST_P(pulse_rig, ASourceThatVanishesIsReportedOrWaitedForInTime) {
    // PipeWire moves the streams of ALSA's pulse plugin to another source
    // when theirs goes, so through PortAudio nothing fails there.
    const char* server = std::getenv("SQUEAKBOX_SOUND_SERVER");
    if (GetParam() && server != nullptr && std::string(server) == "pipewire")
        GTEST_SKIP() << "PipeWire moves ALSA's streams instead of ending them";
    std::string module = testing::command_output(
        "pactl load-module module-null-sink sink_name=squeak_vanishing rate=44100 channels=1");
    while (!module.empty() && module.back() == '\n') module.pop_back();
    ASSERT_FALSE(module.empty()) << "cannot add a sink to the server";
    ::setenv("PULSE_SOURCE", "squeak_vanishing.monitor", 1);
    ASSERT_TRUE(make_system());
    pass_through stream(*system);
    stream.open(input, output);
    const bool flowing = pump_until(
        *system, [&] { return stream.blocks >= 10; }, 5s);
    const bool unloaded =
        !testing::command_output("pactl unload-module " + module + " && echo ok").empty();
    ASSERT_TRUE(flowing);
    ASSERT_TRUE(unloaded);
    if (GetParam()) {
        ASSERT_TRUE(pump_until(
            *system, [&] { return !stream.failure.empty(); }, 10s))
            << "the vanished source was not reported";
        std::printf("[ failure  ] %s\n", stream.failure.c_str());
    } else {
        // Two seconds of blocks, in about two seconds.
        const std::size_t at_unload = stream.blocks;
        const auto unloaded_at = std::chrono::steady_clock::now();
        ASSERT_TRUE(pump_until(
            *system, [&] { return stream.blocks >= at_unload + 2 * 44100 / 512; }, 5s))
            << "the blocks stopped with the source";
        const double took =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - unloaded_at).count();
        std::printf("[ waiting  ] two seconds of blocks came in %.2f s\n", took);
        EXPECT_NEAR(took, 2.0, 0.3);
        EXPECT_TRUE(stream.failure.empty()) << stream.failure;
    }
    // Its buffers came back before the report, each once; those handed back
    // since stay with the device until the reset, which, like the close,
    // still works.
    stream.stop_and_close();
}

INSTANTIATE_TEST_SUITE_P(through, pulse_rig, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "portaudio" : "native";
                         });

}  // namespace
}  // namespace squeakbox
