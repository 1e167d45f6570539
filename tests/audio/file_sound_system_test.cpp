#include "audio/devices/file_sound_system.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "audio/devices/split_sound_system.h"
#include "device_test_support.h"

namespace squeakbox {
namespace {

using namespace std::chrono_literals;
using testing::buffer_set;
using testing::event_log;
using testing::pump_for;
using testing::pump_until;
using entry = event_log::entry;

struct file_devices : ::testing::Test {
    std::filesystem::path dir;

    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = std::filesystem::temp_directory_path() /
              ("squeakbox-file-devices-" + std::to_string(::getpid()) + "-" + info->name());
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string path(const char* name) const { return (dir / name).string(); }

    file_device_options options(std::string capture, std::string playback, file_pacing pacing) {
        file_device_options o;
        o.capture_file = std::move(capture);
        o.playback_file = std::move(playback);
        o.pacing = pacing;
        return o;
    }

    std::string mono_ramp_file(std::size_t frames, std::uint32_t rate = 44100) {
        std::vector<std::int16_t> samples(frames);
        for (std::size_t i = 0; i < frames; ++i) samples[i] = testing::ramp_sample(i);
        const std::string p = path("input.wav");
        testing::write_wav(p, rate, 1, samples);
        return p;
    }
};

// Runs a capture device to its end, handing each buffer straight back, and
// returns the frames in arrival order.
template <std::size_t N>
std::vector<std::int16_t> capture_all(file_sound_system& system, capture_device& device,
                                      event_log& log, buffer_set<N>& buffers) {
    std::vector<std::int16_t> frames;
    log.on_buffer = [&](wave_header* h) {
        const auto* s = reinterpret_cast<const std::int16_t*>(h->data);
        frames.insert(frames.end(), s, s + h->bytes_recorded / 2);
        if (log.count(entry::ended) == 0) device.add_buffer(*h);
    };
    for (auto& h : buffers.headers) {
        EXPECT_EQ(device.prepare_header(h), mm_ok);
        EXPECT_EQ(device.add_buffer(h), mm_ok);
    }
    EXPECT_EQ(device.start(), mm_ok);
    EXPECT_TRUE(pump_until(system, [&] { return log.count(entry::ended) > 0; }));
    return frames;
}

// Opens the capture device of `system` and runs it to its end with N buffers.
template <std::size_t N>
std::vector<std::int16_t> capture_file(file_sound_system& system, event_log& log) {
    std::unique_ptr<capture_device> device;
    EXPECT_EQ(system.open_capture(0, stream_format, log, device), mm_ok);
    if (!device) return {};
    buffer_set<N> buffers;
    return capture_all(system, *device, log, buffers);
}

TEST_F(file_devices, CaptureReadsTheFileBlockByBlockAndReportsItsEndOnce) {
    const std::size_t frames = 5 * 512 + 100;  // the last block is partial
    file_sound_system system(options(mono_ramp_file(frames), "", file_pacing::as_fast_as_taken));
    ASSERT_EQ(system.capture_device_count(), 1u);
    EXPECT_EQ(system.playback_device_count(), 0u);
    device_caps caps;
    ASSERT_EQ(system.capture_caps(0, caps), mm_ok);
    EXPECT_EQ(caps.name, path("input.wav"));
    EXPECT_TRUE(caps.supports_44k_mono16);
    ASSERT_EQ(system.query_capture(0, stream_format), mm_ok);

    event_log log;
    std::unique_ptr<capture_device> device;
    ASSERT_EQ(system.open_capture(0, stream_format, log, device), mm_ok);
    buffer_set<4> buffers;
    const auto got = capture_all(system, *device, log, buffers);

    ASSERT_EQ(got.size(), 6u * 512);
    for (std::size_t i = 0; i < frames; ++i) ASSERT_EQ(got[i], testing::ramp_sample(i)) << i;
    for (std::size_t i = frames; i < got.size(); ++i) ASSERT_EQ(got[i], 0) << i;
    // Blocks in the order of the buffers, then the end, and nothing more.
    ASSERT_EQ(log.entries.size(), 7u);
    for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(log.entries[i].header, &buffers.headers[i % 4]);
    EXPECT_EQ(log.entries[6].what, entry::ended);
    pump_for(system, 50ms);
    EXPECT_EQ(log.entries.size(), 7u);
    EXPECT_EQ(device->stats().overruns, 0u);

    ASSERT_EQ(device->reset(), mm_ok);
    EXPECT_TRUE(pump_until(system, [&] { return log.entries.size() == 11; }));
    for (auto& h : buffers.headers) EXPECT_EQ(device->unprepare_header(h), mm_ok);
    EXPECT_EQ(device->close(), mm_ok);
    EXPECT_EQ(device->close(), mm_invalid_handle);
    EXPECT_EQ(system.problem(), "");
}

TEST_F(file_devices, StereoIsMixedDownToMonoAndWholeBlocksEndAtOnce) {
    std::vector<std::int16_t> stereo;
    for (std::size_t i = 0; i < 2 * 512; ++i) {
        const auto left = static_cast<std::int16_t>(i % 2000);
        stereo.push_back(left);
        stereo.push_back(static_cast<std::int16_t>(-3 * left + 1000));  // left + right is even
    }
    testing::write_wav(path("stereo.wav"), 44100, 2, stereo);
    file_sound_system system(options(path("stereo.wav"), "", file_pacing::as_fast_as_taken));
    event_log log;
    const auto got = capture_file<2>(system, log);
    ASSERT_EQ(got.size(), 2u * 512);
    for (std::size_t i = 0; i < got.size(); ++i)
        ASSERT_EQ(got[i], (stereo[2 * i] + stereo[2 * i + 1]) / 2) << i;
    // The file ends exactly with a block: the end follows it, no padded block.
    EXPECT_EQ(log.count(entry::capture), 2u);
    EXPECT_EQ(log.entries.back().what, entry::ended);
}

TEST_F(file_devices, AFileThatCannotBeCapturedIsRefusedWithAMessageNamingIt) {
    const std::string file = mono_ramp_file(1000, 48000);
    file_sound_system system(options(file, "", file_pacing::real_time));
    device_caps caps;
    ASSERT_EQ(system.capture_caps(0, caps), mm_ok);
    EXPECT_FALSE(caps.supports_44k_mono16);
    EXPECT_EQ(system.problem(), "");  // listing the devices says nothing yet

    EXPECT_EQ(system.query_capture(0, stream_format), mm_bad_format);
    const std::string why = system.problem();
    EXPECT_NE(why.find(file), std::string::npos) << why;
    EXPECT_NE(why.find("48000 Hz"), std::string::npos) << why;
    event_log log;
    std::unique_ptr<capture_device> device;
    EXPECT_NE(system.open_capture(0, stream_format, log, device), mm_ok);
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(system.problem(), why);  // the open is refused for the same reason

    file_sound_system missing(options(path("missing.wav"), "", file_pacing::real_time));
    EXPECT_NE(missing.query_capture(0, stream_format), mm_ok);
    EXPECT_NE(missing.problem().find("missing.wav"), std::string::npos) << missing.problem();

    // Wrong device numbers and formats are refused before any file is read.
    wave_format stereo = stream_format;
    stereo.channels = 2;
    EXPECT_EQ(system.query_capture(1, stream_format), mm_bad_device_id);
    EXPECT_EQ(system.query_playback(0, stream_format), mm_bad_device_id);
    file_sound_system playback(options("", path("out.wav"), file_pacing::real_time));
    EXPECT_EQ(playback.query_playback(0, stereo), mm_bad_format);
}

TEST_F(file_devices, ResetGivesBackEveryQueuedBufferInOrderAndCloseSilencesTheDevice) {
    file_sound_system system(options(mono_ramp_file(44100 * 5), "", file_pacing::real_time));
    event_log log;
    std::unique_ptr<capture_device> device;
    ASSERT_EQ(system.open_capture(0, stream_format, log, device), mm_ok);
    std::unique_ptr<capture_device> second;
    EXPECT_EQ(system.open_capture(0, stream_format, log, second), mm_allocated);

    buffer_set<10> buffers;
    for (auto& h : buffers.headers) {
        device->prepare_header(h);
        device->add_buffer(h);
    }
    // Before start nothing is recorded; reset gives all ten back, in order.
    pump_for(system, 30ms);
    EXPECT_TRUE(log.entries.empty());
    ASSERT_EQ(device->reset(), mm_ok);
    ASSERT_TRUE(pump_until(system, [&] { return log.entries.size() == 10; }));
    for (std::size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(log.entries[i].header, &buffers.headers[i]);
        EXPECT_EQ(log.entries[i].bytes, 0u);
    }

    // While running: a reset returns each buffer exactly once.
    log.entries.clear();
    for (auto& h : buffers.headers) device->add_buffer(h);
    ASSERT_EQ(device->start(), mm_ok);
    ASSERT_TRUE(pump_until(system, [&] { return log.entries.size() >= 3; }));
    ASSERT_EQ(device->reset(), mm_ok);
    pump_for(system, 60ms);
    ASSERT_EQ(log.entries.size(), 10u);
    for (std::size_t i = 0; i < 10; ++i) EXPECT_EQ(log.entries[i].header, &buffers.headers[i]);

    // Close while running: no notification afterwards, not even for buffers
    // that were finished but not yet delivered.
    log.entries.clear();
    for (auto& h : buffers.headers) device->add_buffer(h);
    ASSERT_EQ(device->start(), mm_ok);
    std::this_thread::sleep_for(60ms);
    ASSERT_EQ(device->close(), mm_ok);
    pump_for(system, 60ms);
    EXPECT_TRUE(log.entries.empty());
    for (auto& h : buffers.headers) EXPECT_EQ(h.flags & header_in_queue, 0u);
    EXPECT_EQ(device->add_buffer(buffers.headers[0]), mm_invalid_handle);
    // The device may be opened again once closed.
    EXPECT_EQ(system.open_capture(0, stream_format, log, second), mm_ok);
}

TEST_F(file_devices, PlaybackFileHoldsExactlyWhatWasWritten) {
    const std::string out = path("out.wav");
    file_sound_system system(options("", out, file_pacing::as_fast_as_taken));
    event_log log;
    std::unique_ptr<playback_device> device;
    ASSERT_EQ(system.open_playback(0, stream_format, log, device), mm_ok);
    buffer_set<3> buffers;
    buffer_set<1, 300> odd;  // a buffer that is not a whole block
    for (auto& h : buffers.headers) device->prepare_header(h);
    device->prepare_header(odd.headers[0]);

    std::size_t next = 0;
    auto fill = [&](wave_header& h) {
        auto* s = reinterpret_cast<std::int16_t*>(h.data);
        for (std::size_t i = 0; i < h.buffer_length / 2; ++i) s[i] = testing::ramp_sample(next++);
    };
    std::size_t written = 0;
    log.on_buffer = [&](wave_header* h) {
        if (written < 20) {
            fill(*h);
            ++written;
            device->write(*h);
        }
    };
    for (auto& h : buffers.headers) {
        fill(h);
        ++written;
        ASSERT_EQ(device->write(h), mm_ok);
    }
    ASSERT_TRUE(pump_until(system, [&] { return log.count(entry::playback) == 20; }));
    fill(odd.headers[0]);
    ASSERT_EQ(device->write(odd.headers[0]), mm_ok);
    ASSERT_TRUE(pump_until(system, [&] { return log.count(entry::playback) == 21; }));

    // Readable while still open, as after a killed process.
    const auto early = testing::read_wav(out);
    EXPECT_TRUE(early.ok);
    EXPECT_EQ(early.samples.size(), next);

    ASSERT_EQ(device->close(), mm_ok);
    const auto wav = testing::read_wav(out);
    ASSERT_TRUE(wav.ok);
    EXPECT_EQ(wav.rate, 44100u);
    EXPECT_EQ(wav.channels, 1);
    EXPECT_EQ(wav.bits, 16);
    ASSERT_EQ(wav.samples.size(), 20u * 512 + 150);
    for (std::size_t i = 0; i < wav.samples.size(); ++i)
        ASSERT_EQ(wav.samples[i], testing::ramp_sample(i)) << i;
    EXPECT_EQ(device->stats().underruns, 0u);
}

TEST_F(file_devices, PlaybackResetReturnsWrittenBuffersAndTheFileGoesOn) {
    const std::string out = path("out.wav");
    file_sound_system system(options("", out, file_pacing::real_time));
    event_log log;
    std::unique_ptr<playback_device> device;
    ASSERT_EQ(system.open_playback(0, stream_format, log, device), mm_ok);
    buffer_set<10> buffers;
    for (auto& h : buffers.headers) {
        std::memset(h.data, 1, h.buffer_length);
        device->prepare_header(h);
        ASSERT_EQ(device->write(h), mm_ok);
    }
    ASSERT_TRUE(pump_until(system, [&] { return !log.entries.empty(); }));
    ASSERT_EQ(device->reset(), mm_ok);
    ASSERT_TRUE(pump_until(system, [&] { return log.entries.size() == 10; }));
    for (std::size_t i = 0; i < 10; ++i) EXPECT_EQ(log.entries[i].header, &buffers.headers[i]);
    const std::size_t played = testing::read_wav(out).samples.size();
    EXPECT_LT(played, 10u * 512);  // the reset cut playback short

    ASSERT_EQ(device->write(buffers.headers[0]), mm_ok);
    ASSERT_TRUE(pump_until(system, [&] { return log.entries.size() == 11; }));
    EXPECT_EQ(testing::read_wav(out).samples.size(), played + 512);
}

// The one check here that keeps time against the clock (label `realtime`).
struct file_devices_on_the_clock : file_devices {};

TEST_F(file_devices_on_the_clock, RealTimePacingFollowsTheClockAndCountsStarvedBlocks) {
    file_sound_system system(
        options(mono_ramp_file(44100 * 5), path("out.wav"), file_pacing::real_time));
    event_log log;
    std::unique_ptr<capture_device> capture;
    std::unique_ptr<playback_device> playback;
    ASSERT_EQ(system.open_capture(0, stream_format, log, capture), mm_ok);
    ASSERT_EQ(system.open_playback(0, stream_format, log, playback), mm_ok);
    buffer_set<10> in;
    buffer_set<1> out;
    playback->prepare_header(out.headers[0]);
    std::size_t captured = 0;
    log.on_buffer = [&](wave_header* h) {
        if (h == &out.headers[0]) return;
        ++captured;
        capture->add_buffer(*h);
        if (captured == 1) playback->write(out.headers[0]);  // one block, then nothing
    };
    for (auto& h : in.headers) {
        capture->prepare_header(h);
        capture->add_buffer(h);
    }
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(capture->start(), mm_ok);
    ASSERT_TRUE(pump_until(system, [&] { return captured == 43; }));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    // 43 blocks of 512 frames are 499 ms of sound.
    EXPECT_GE(elapsed, 480ms);
    EXPECT_LE(elapsed, 800ms);
    EXPECT_EQ(capture->stats().overruns, 0u);
    // The output ran dry after its one block: every block time since counts.
    const double blocks_since = std::chrono::duration<double>(elapsed).count() * 44100 / 512 - 2;
    EXPECT_NEAR(static_cast<double>(playback->stats().underruns), blocks_since, 4.0);
    EXPECT_EQ(testing::read_wav(path("out.wav")).samples.size(), 512u);  // no silence added

    // No buffer queued on the clock: the blocks are dropped and counted.
    log.on_buffer = nullptr;
    ASSERT_EQ(capture->reset(), mm_ok);
    pump_for(system, 20ms);
    ASSERT_EQ(capture->start(), mm_ok);
    std::this_thread::sleep_for(120ms);
    EXPECT_GE(capture->stats().overruns, 5u);
}

TEST_F(file_devices, FastModeRunsAsFastAsTheBuffersComeBack) {
    // Ten seconds of sound through a file-to-file pass-through.
    const std::size_t frames = 44100 * 10;
    file_sound_system input(options(mono_ramp_file(frames), "", file_pacing::as_fast_as_taken));
    file_sound_system output(options("", path("out.wav"), file_pacing::as_fast_as_taken));
    split_sound_system system(input, output);
    ASSERT_GE(system.event_fd(), 0);
    EXPECT_EQ(system.capture_device_count(), 1u);
    EXPECT_EQ(system.playback_device_count(), 1u);

    event_log capture_log;
    event_log playback_log;
    std::unique_ptr<capture_device> capture;
    std::unique_ptr<playback_device> playback;
    ASSERT_EQ(system.open_capture(0, stream_format, capture_log, capture), mm_ok);
    ASSERT_EQ(system.open_playback(0, stream_format, playback_log, playback), mm_ok);
    buffer_set<10> out;
    std::vector<wave_header*> free_out;
    for (auto& h : out.headers) {
        playback->prepare_header(h);
        free_out.push_back(&h);
    }
    // A pass-through that never drops: a captured block waits for a free
    // output buffer, in order.
    std::vector<wave_header*> waiting;
    auto pass = [&] {
        while (!waiting.empty() && !free_out.empty()) {
            wave_header* h = waiting.front();
            waiting.erase(waiting.begin());
            wave_header* o = free_out.back();
            free_out.pop_back();
            std::memcpy(o->data, h->data, 1024);
            playback->write(*o);
            if (capture_log.count(event_log::entry::ended) == 0) capture->add_buffer(*h);
        }
    };
    playback_log.on_buffer = [&](wave_header* h) {
        free_out.push_back(h);
        pass();
    };
    capture_log.on_buffer = [&](wave_header* h) {
        waiting.push_back(h);
        pass();
    };
    buffer_set<10> in;
    for (auto& h : in.headers) {
        capture->prepare_header(h);
        capture->add_buffer(h);
    }
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(capture->start(), mm_ok);
    ASSERT_TRUE(pump_until(system, [&] {
        return capture_log.count(event_log::entry::ended) == 1 && waiting.empty() &&
               free_out.size() == 10;
    }));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    ASSERT_EQ(playback->close(), mm_ok);
    const auto wav = testing::read_wav(path("out.wav"));
    ASSERT_GE(wav.samples.size(), frames);
    for (std::size_t i = 0; i < frames; ++i) ASSERT_EQ(wav.samples[i], testing::ramp_sample(i));
}

TEST_F(file_devices, FastCaptureKeepsToThePlaybackFilesClockAndIsLetGoWhenItCloses) {
    // Both files in one system: the capture reads only two blocks ahead of
    // what the playback file has taken, however many buffers it holds.
    file_sound_system system(
        options(mono_ramp_file(44100), path("out.wav"), file_pacing::as_fast_as_taken));
    event_log capture_log;
    event_log playback_log;
    std::unique_ptr<capture_device> capture;
    std::unique_ptr<playback_device> playback;
    ASSERT_EQ(system.open_playback(0, stream_format, playback_log, playback), mm_ok);
    ASSERT_EQ(system.open_capture(0, stream_format, capture_log, capture), mm_ok);
    buffer_set<10> in;
    buffer_set<10> out;
    for (auto& h : in.headers) {
        capture->prepare_header(h);
        capture->add_buffer(h);
    }
    for (auto& h : out.headers) playback->prepare_header(h);
    ASSERT_EQ(capture->start(), mm_ok);
    pump_for(system, 60ms);
    EXPECT_EQ(capture_log.count(entry::capture), 2u);

    // Each block written and played lets one more be read.
    for (std::size_t i = 0; i < 3; ++i) ASSERT_EQ(playback->write(out.headers[i]), mm_ok);
    ASSERT_TRUE(pump_until(system, [&] { return playback_log.count(entry::playback) == 3; }));
    pump_for(system, 30ms);
    EXPECT_EQ(capture_log.count(entry::capture), 5u);

    // Buffers a reset gives back unplayed count as taken: no wait for ever.
    playback->write(out.headers[3]);
    playback->write(out.headers[4]);
    ASSERT_EQ(playback->reset(), mm_ok);
    ASSERT_TRUE(pump_until(
        system, [&] { return capture_log.count(entry::capture) >= 6; }, 1s));

    // Without a playback file the capture runs free to the end.
    for (auto& h : out.headers) playback->unprepare_header(h);
    ASSERT_EQ(playback->close(), mm_ok);
    ASSERT_TRUE(pump_until(
        system, [&] { return capture_log.count(entry::capture) == 10; }, 1s));
    EXPECT_EQ(capture->stats().overruns, 0u);
}

TEST_F(file_devices, AnUnwritablePlaybackFileIsRefusedWithAMessage) {
    file_sound_system system(options("", path("no/such/folder/out.wav"), file_pacing::real_time));
    event_log log;
    std::unique_ptr<playback_device> device;
    EXPECT_NE(system.open_playback(0, stream_format, log, device), mm_ok);
    EXPECT_NE(system.problem().find("no/such/folder/out.wav"), std::string::npos)
        << system.problem();

    // Behind a good capture file the pair answers with the output's reason.
    file_sound_system input(options(mono_ramp_file(1000), "", file_pacing::real_time));
    split_sound_system pair(input, system);
    EXPECT_NE(pair.open_playback(0, stream_format, log, device), mm_ok);
    EXPECT_EQ(pair.problem(), system.problem());
}

}  // namespace
}  // namespace squeakbox
