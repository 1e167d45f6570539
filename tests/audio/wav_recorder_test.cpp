#include "audio/wav_recorder.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "audio/level_meter.h"
#include "audio/riff_writer.h"
#include "audio/sound_thread.h"
#include "fake_sound_system.h"
#include "stream_harness.h"

namespace squeakbox {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test_support::temp_folder;

std::vector<unsigned char> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint32_t u32_at(const std::vector<unsigned char>& bytes, std::size_t at) {
    return static_cast<std::uint32_t>(bytes.at(at)) |
           static_cast<std::uint32_t>(bytes.at(at + 1)) << 8 |
           static_cast<std::uint32_t>(bytes.at(at + 2)) << 16 |
           static_cast<std::uint32_t>(bytes.at(at + 3)) << 24;
}

// The 46-byte header a finished recording of `data_bytes` must start with.
std::vector<unsigned char> expected_header(std::uint32_t data_bytes) {
    auto le32 = [](std::vector<unsigned char>& out, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
    };
    std::vector<unsigned char> h = {'R', 'I', 'F', 'F'};
    le32(h, 38 + data_bytes);
    h.insert(h.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    le32(h, 18);
    h.insert(h.end(), {1, 0, 1, 0, 0x44, 0xAC, 0, 0, 0x88, 0x58, 0x01, 0, 2, 0, 16, 0, 0, 0});
    h.insert(h.end(), {'d', 'a', 't', 'a'});
    le32(h, data_bytes);
    return h;
}

// Checks what a WAV reader relies on: the sizes agree with each other and
// never claim more than the file holds. Returns the data size.
std::uint32_t valid_data_size(const std::vector<unsigned char>& bytes) {
    EXPECT_GE(bytes.size(), 46u);
    if (bytes.size() < 46) return 0;
    const std::uint32_t data = u32_at(bytes, 42);
    EXPECT_EQ(std::vector<unsigned char>(bytes.begin(), bytes.begin() + 46), expected_header(data));
    EXPECT_LE(46u + data, bytes.size());
    return data;
}

record_target target_in(const temp_folder& folder) {
    return {folder.file("Squeakbox Record.wav"), stream_format};
}

// Why the recording could not be opened; empty when it was.
std::string open_refusal(wav_recorder& recorder, const record_target& target) {
    std::string reason;
    if (recorder.open_file(target, reason)) return {};
    return reason.empty() ? "refused without a reason" : reason;
}

struct block {
    std::vector<std::int16_t> samples;
    wave_header header{};
    explicit block(std::int16_t seed) : samples(512) {
        for (std::size_t i = 0; i < samples.size(); ++i) {
            samples[i] = static_cast<std::int16_t>(seed * 97 + static_cast<int>(i) * 31);
        }
        header.data = reinterpret_cast<char*>(samples.data());
        header.buffer_length = 1024;
    }
};

TEST(RiffWriter, AscendRewritesAWrongSizeAndPadsAnOddOne) {
    temp_folder folder;
    const std::string path = folder.file("chunks.riff");
    riff_writer file;
    ASSERT_TRUE(file.open(path));
    riff_chunk riff{};
    riff.form_type = four_cc("TEST");
    ASSERT_TRUE(file.create_riff_chunk(riff));
    riff_chunk odd{};
    odd.id = four_cc("abcd");
    odd.size = 99;  // wrong on purpose
    ASSERT_TRUE(file.create_chunk(odd));
    ASSERT_TRUE(file.write("xyz", 3));
    ASSERT_TRUE(file.ascend(odd));
    EXPECT_EQ(odd.size, 3u);
    ASSERT_TRUE(file.ascend(riff));
    ASSERT_TRUE(file.close());
    const std::vector<unsigned char> expected = {'R', 'I', 'F', 'F', 16,  0,   0,   0,
                                                 'T', 'E', 'S', 'T', 'a', 'b', 'c', 'd',
                                                 3,   0,   0,   0,   'x', 'y', 'z', 0};
    EXPECT_EQ(read_file(path), expected);
}

TEST(WavRecorder, FinishedFileIsExactlyHeaderAndBlocks) {
    temp_folder folder;
    const record_target target = target_in(folder);
    wav_recorder recorder;

    ASSERT_EQ(open_refusal(recorder, target), "");
    EXPECT_TRUE(recorder.is_recording());
    recorder.close_file();
    EXPECT_FALSE(recorder.is_recording());
    EXPECT_EQ(read_file(target.file_name), expected_header(0));  // started and stopped at once

    // A recording of N blocks, written through the buffer in pieces.
    constexpr int blocks = 300;
    ASSERT_EQ(open_refusal(recorder, target), "");
    std::vector<unsigned char> expected = expected_header(1024 * blocks);
    for (int i = 0; i < blocks; ++i) {
        block b(static_cast<std::int16_t>(i));
        ASSERT_EQ(recorder.write_block(b.header), wav_recorder::write_status::written);
        const auto* bytes = reinterpret_cast<const unsigned char*>(b.samples.data());
        expected.insert(expected.end(), bytes, bytes + 1024);
    }
    recorder.close_file();
    EXPECT_EQ(recorder.data_bytes(), 1024u * blocks);
    const auto written = read_file(target.file_name);
    EXPECT_EQ(written.size(), 46u + 1024u * blocks);
    EXPECT_TRUE(written == expected);

    // The next recording replaces the file completely.
    ASSERT_EQ(open_refusal(recorder, target), "");
    block last(7);
    recorder.write_block(last.header);
    recorder.close_file();
    const auto replaced = read_file(target.file_name);
    EXPECT_EQ(replaced.size(), 46u + 1024u);
    EXPECT_EQ(valid_data_size(replaced), 1024u);

    // Without a file, blocks are ignored and closing does nothing.
    EXPECT_EQ(recorder.write_block(last.header), wav_recorder::write_status::not_recording);
    recorder.close_file();
    EXPECT_EQ(read_file(target.file_name), replaced);
}

TEST(WavRecorder, RefusesWhatItCannotOpenAndSaysWhy) {
    temp_folder folder;
    wav_recorder recorder;

    // Stream not opened: no name.
    const std::string unnamed = open_refusal(recorder, record_target{});
    EXPECT_NE(unnamed.find("desktop folder is unknown"), std::string::npos) << unnamed;
    EXPECT_FALSE(recorder.is_recording());

    const std::string missing = folder.file("no such folder/Squeakbox Record.wav");
    EXPECT_EQ(open_refusal(recorder, {missing, stream_format}), std::strerror(ENOENT));
    EXPECT_TRUE(fs::is_empty(folder.path()));

    // Held by another writer: refused, and the recording in progress keeps every byte.
    const record_target target = target_in(folder);
    wav_recorder first;
    ASSERT_EQ(open_refusal(first, target), "");
    block b(1);
    for (int i = 0; i < 100; ++i) first.write_block(b.header);
    EXPECT_EQ(open_refusal(recorder, target), "the file is open in another program");
    EXPECT_NE(open_refusal(first, target), "");  // one recording at a time
    first.write_block(b.header);
    first.close_file();
    EXPECT_EQ(valid_data_size(read_file(target.file_name)), 101u * 1024);
    EXPECT_EQ(open_refusal(recorder, target), "");  // free again once closed
}

TEST(WavRecorder, OpenFileIsValidAtLeastOncePerSecond) {
    temp_folder folder;
    const record_target target = target_in(folder);
    wav_recorder recorder;
    ASSERT_EQ(open_refusal(recorder, target), "");
    // Valid from the start, before any sound.
    EXPECT_EQ(read_file(target.file_name), expected_header(0));

    // The blocks reach the file through the recording's writer thread.
    block b(3);
    for (int i = 0; i < 85; ++i) recorder.write_block(b.header);
    recorder.wait_until_written();
    EXPECT_EQ(valid_data_size(read_file(target.file_name)), 0u);  // still inside the first second
    recorder.write_block(b.header);  // the 86th block: a second of sound
    recorder.wait_until_written();
    auto bytes = read_file(target.file_name);
    EXPECT_EQ(bytes.size(), 46u + 86u * 1024);
    EXPECT_EQ(valid_data_size(bytes), 86u * 1024);
    EXPECT_EQ(u32_at(bytes, 4), 38u + 86u * 1024);

    for (int i = 0; i < 100; ++i) recorder.write_block(b.header);
    recorder.wait_until_written();
    EXPECT_EQ(valid_data_size(read_file(target.file_name)), 172u * 1024);

    // A program killed now leaves at most the last second out; closing adds it.
    recorder.close_file();
    EXPECT_EQ(valid_data_size(read_file(target.file_name)), 186u * 1024);
    EXPECT_EQ(read_file(target.file_name).size(), 46u + 186u * 1024);
}

TEST(WavRecorder, StopsCleanlyBeforeTheSizesWouldOverflow) {
    temp_folder folder;
    const record_target target = target_in(folder);
    wav_recorder recorder;
    recorder.set_size_limit(38 + 3 * 1024);  // room for three blocks
    ASSERT_EQ(open_refusal(recorder, target), "");
    block b(5);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(recorder.write_block(b.header), wav_recorder::write_status::written);
    }
    std::string reason;
    EXPECT_FALSE(recorder.write_block(b.header, reason));  // the fourth would not fit
    EXPECT_FALSE(recorder.is_recording());
    EXPECT_FALSE(recorder.stopped_on_error());  // a complete file, not a failure
    EXPECT_NE(reason.find(target.file_name), std::string::npos) << reason;
    EXPECT_EQ(recorder.write_block(b.header), wav_recorder::write_status::not_recording);
    recorder.wait_until_written();  // the writer finishes the file
    const auto bytes = read_file(target.file_name);
    EXPECT_EQ(bytes.size(), 46u + 3u * 1024);
    EXPECT_EQ(valid_data_size(bytes), 3u * 1024);
}

// A file size limit stands in for a full disk: the writer's write fails.
class file_size_limit {
  public:
    explicit file_size_limit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &old_);
        old_handler_ = std::signal(SIGXFSZ, SIG_IGN);  // a failed write, not a killed test
        rlimit lowered = old_;
        lowered.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~file_size_limit() {
        ::setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, old_handler_);
    }
    file_size_limit(const file_size_limit&) = delete;
    file_size_limit& operator=(const file_size_limit&) = delete;

  private:
    rlimit old_{};
    void (*old_handler_)(int) = nullptr;
};

TEST(WavRecorder, AFailingDiskEndsTheRecordingWithItsReasonAndAValidFile) {
    temp_folder folder;
    const record_target target = target_in(folder);
    const std::string reason = target.file_name + ": " + std::strerror(EFBIG);
    block b(9);
    // Told by the next block, or, when none comes, by take_failure(); once.
    for (const bool next_block_tells : {true, false}) {
        wav_recorder recorder;
        ASSERT_EQ(open_refusal(recorder, target), "");
        // On a loaded machine the writer may fail before the last of the 300
        // blocks is handed over; then that block is the one that tells.
        bool told = false;
        std::string why;
        {
            const file_size_limit full(46 + 200 * 1024);
            for (int i = 0; i < 300 && !told; ++i) told = !recorder.write_block(b.header, why);
            recorder.wait_until_written();
        }
        if (!told && next_block_tells) {
            EXPECT_FALSE(recorder.write_block(b.header, why));
        } else if (!told) {
            EXPECT_TRUE(recorder.take_failure(why));
        }
        EXPECT_FALSE(recorder.take_failure());
        EXPECT_EQ(why, reason);
        EXPECT_TRUE(recorder.stopped_on_error());
        EXPECT_FALSE(recorder.is_recording());
        EXPECT_EQ(recorder.write_block(b.header), wav_recorder::write_status::not_recording);
        // Valid up to the last second that made it to the disk.
        const auto bytes = read_file(target.file_name);
        EXPECT_EQ(valid_data_size(bytes), 172u * 1024);
        // A stop by the user is no failure.
        wav_recorder fine;
        ASSERT_EQ(open_refusal(fine, target), "");
        fine.write_block(b.header);
        fine.close_file_in_background();
        fine.close_file();
        EXPECT_FALSE(fine.stopped_on_error());
        EXPECT_FALSE(fine.take_failure());
        EXPECT_EQ(valid_data_size(read_file(target.file_name)), 1024u);
    }
}

TEST(WavRecorder, ASlowDiskNeverHoldsUpABlockInRealTimeAndLosesNoneOnFiles) {
    temp_folder folder;
    const record_target target = target_in(folder);
    block b(4);
    constexpr int queue_blocks = wav_recorder::queue_bytes / (1024 + 4);
    for (const bool real_time : {true, false}) {
        wav_recorder recorder;
        recorder.set_real_time(real_time);
        std::atomic<bool> syncing{false};
        std::atomic<bool> release{false};
        // The first sync takes as long as the test wants.
        recorder.set_sync_hook([&] {
            syncing = true;
            while (!release) std::this_thread::sleep_for(1ms);
        });
        ASSERT_EQ(open_refusal(recorder, target), "");
        int accepted = 0;
        for (; accepted < 86; ++accepted) recorder.write_block(b.header);
        while (!syncing) std::this_thread::sleep_for(1ms);  // the writer is stuck now
        std::thread disk_recovers;
        if (!real_time) {
            disk_recovers = std::thread([&] {
                std::this_thread::sleep_for(200ms);
                release = true;
            });
        }
        // In real time the caller never waits: once the queue is full the
        // recording ends. On files it waits, and every block gets in.
        bool written = true;
        std::string why;
        while (accepted < 2 * queue_blocks && (written = recorder.write_block(b.header, why)))
            ++accepted;
        release = true;
        if (disk_recovers.joinable()) disk_recovers.join();
        if (real_time) {
            EXPECT_FALSE(written);
            EXPECT_EQ(accepted, 86 + queue_blocks);
            EXPECT_NE(why.find("too slow"), std::string::npos) << why;
            EXPECT_TRUE(recorder.stopped_on_error());
            EXPECT_FALSE(recorder.is_recording());
        } else {
            EXPECT_EQ(accepted, 2 * queue_blocks);
            EXPECT_FALSE(recorder.stopped_on_error());
        }
        recorder.close_file();
        // Every accepted block is in the file, which is complete.
        const auto bytes = read_file(target.file_name);
        EXPECT_EQ(valid_data_size(bytes), 1024u * static_cast<unsigned>(accepted));
        EXPECT_EQ(bytes.size(), 46u + 1024u * static_cast<unsigned>(accepted));
    }
}

TEST(WavRecorder, FileHoldsExactlyWhatWasMeasuredAndPlayed) {
    temp_folder folder;
    fake::fake_sound_system devices({{"Mic"}}, {{"Speakers"}});
    test_support::fake_host host;
    test_support::pattern_processor processor;
    wav_recorder recorder;
    test_support::test_window window(devices, processor, host);
    window.stream.set_recorder(&recorder);
    window.stream.set_desktop_path_source([&] { return folder.path().string(); });

    EXPECT_NE(open_refusal(recorder, window.stream.recording_target()), "");  // not started yet
    ASSERT_EQ(window.start(), 1);
    ASSERT_EQ(open_refusal(recorder, window.stream.recording_target()), "");
    std::vector<std::int16_t> speech(512 * 30);
    for (std::size_t i = 0; i < speech.size(); ++i) {
        speech[i] = static_cast<std::int16_t>((static_cast<int>(i * 7919 % 4001) - 2000) *
                                              static_cast<int>(i / 512 % 8 + 1));
    }
    devices.fill_capture(10, speech);
    window.run();
    devices.fill_capture(2, std::span(speech).subspan(512 * 10));
    window.run();
    EXPECT_EQ(window.stream.dropped_blocks(), 2u);  // the output queue was full
    devices.finish_playback(10);
    devices.fill_capture(10, std::span(speech).subspan(512 * 12));
    window.run();
    window.close();
    window.run();
    ASSERT_TRUE(window.destroyed);
    recorder.close_file();

    const auto bytes = read_file(window.stream.recording_target().file_name);
    const auto& played = devices.played();
    ASSERT_EQ(played.size(), 20u);
    ASSERT_EQ(valid_data_size(bytes), 20u * 1024);
    ASSERT_EQ(host.levels.size(), 20u);
    for (std::size_t i = 0; i < played.size(); ++i) {
        std::vector<std::int16_t> in_file(512);
        std::memcpy(in_file.data(), bytes.data() + 46 + 1024 * i, 1024);
        EXPECT_EQ(in_file, played[i].samples) << "block " << i;
        wave_header header{};
        header.data = reinterpret_cast<char*>(in_file.data());
        header.buffer_length = 1024;
        EXPECT_EQ(block_level(header), host.levels[i].level) << "block " << i;
    }
}

// While the window holds the recording (asking after the disk, closing it),
// the sound thread goes on: the blocks that come meanwhile are kept without
// waiting and go into the file first, in order, also when the file is closed
// before another block comes.
TEST(SharedRecording, BlocksThatComeWhileTheWindowHoldsItAreKeptInOrderWithoutWaiting) {
    struct held_recorder final : recording_control {
        std::vector<std::int16_t> written;  // the first sample of each block
        std::size_t written_at_close = 0;
        std::atomic<bool> asked{false};
        std::atomic<bool> answer{false};
        bool open_file(const record_target&, std::string&) override { return true; }
        bool write_block(const wave_header& header, std::string&) override {
            written.push_back(reinterpret_cast<const std::int16_t*>(header.data)[0]);
            return true;
        }
        void close_file() override { written_at_close = written.size(); }
        bool take_failure(std::string&) override {
            asked = true;
            while (!answer) std::this_thread::yield();
            answer = false;
            return false;
        }
    } recorder;
    shared_recording shared(recorder);
    std::string reason;
    ASSERT_TRUE(shared.open_file(record_target{}, reason));

    std::array<std::int16_t, block_frames> samples{};
    wave_header header{};
    header.data = reinterpret_cast<char*>(samples.data());
    header.buffer_length = block_bytes;
    const auto write = [&](std::int16_t first) {
        samples[0] = first;
        return shared.write_block(header, reason);
    };
    // The window asks after the disk and takes its time over it.
    const auto hold = [&] {
        recorder.asked = false;
        std::thread window([&shared] {
            std::string why;
            shared.take_failure(why);
        });
        while (!recorder.asked) std::this_thread::yield();
        return window;
    };

    EXPECT_TRUE(write(1));
    std::thread window = hold();
    const auto before = std::chrono::steady_clock::now();
    EXPECT_TRUE(write(2));
    EXPECT_TRUE(write(3));
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(100));
    recorder.answer = true;
    window.join();
    EXPECT_TRUE(write(4));

    window = hold();
    EXPECT_TRUE(write(5));
    recorder.answer = true;
    window.join();
    shared.close_file();
    EXPECT_EQ(recorder.written, (std::vector<std::int16_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(recorder.written_at_close, 5u);
    EXPECT_EQ(shared.lost_blocks(), 0u);
}

}  // namespace
}  // namespace squeakbox
