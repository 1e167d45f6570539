// The stream with the real pitch shifter, without a sound card: whatever the
// devices are, the output must be exactly what the engine returns for the
// blocks the stream accepted, each block's unwritten tail silent.

#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "../engine/speech_signal.h"
#include "audio/audio_stream.h"
#include "audio/devices/file_sound_system.h"
#include "audio/voice_bypass.h"
#include "audio/wav_recorder.h"
#include "device_test_support.h"
#include "engine/pitch_shifter.h"
#include "fake_sound_system.h"
#include "stream_harness.h"

namespace squeakbox {
namespace {

using test_support::copying_recorder;
using test_support::fake_host;
using test_support::level_of;
using test_support::test_window;

constexpr std::uint32_t block = block_frames;
using block_samples = std::vector<std::int16_t>;

// The engine on its own, set up as the program sets it up, independently of
// the adapter under test.
class reference_engine {
  public:
    explicit reference_engine(std::int32_t semitones) {
        shifter_.set_channels(1);
        shifter_.set_sample_rate(44100);
        shifter_.set_block_size(1024);
        shifter_.set_pitch_semitones(semitones);
    }
    void set_pitch_semitones(std::int32_t semitones) { shifter_.set_pitch_semitones(semitones); }

    // One block as the speaker must hear it: what the engine wrote, then silence.
    block_samples process(std::span<const std::int16_t> input) {
        block_samples out(block, 0);
        std::vector<std::int16_t> copy(input.begin(), input.end());
        const std::uint32_t n = shifter_.process(out.data(), copy.data(), block);
        last_count_ = n;
        std::fill(out.begin() + std::min<std::uint32_t>(n, block), out.end(), std::int16_t{0});
        return out;
    }
    [[nodiscard]] std::uint32_t last_count() const noexcept { return last_count_; }

  private:
    pitch_shifter shifter_;
    std::uint32_t last_count_ = 0;
};

std::span<const std::int16_t> block_at(const std::vector<std::int16_t>& signal, std::size_t b) {
    return std::span<const std::int16_t>(signal).subspan(b * block, block);
}

// The engine as the program hands it to the stream: set up as the window sets
// it up, each block passed straight through.
class program_engine final : public block_processor {
  public:
    explicit program_engine(std::int32_t semitones) {
        shifter_.set_channels(1);
        shifter_.set_sample_rate(44100);
        shifter_.set_block_size(block_bytes);
        shifter_.set_pitch_semitones(semitones);
    }
    void set_pitch_semitones(std::int32_t semitones) { shifter_.set_pitch_semitones(semitones); }
    std::uint32_t process(std::int16_t* output, const std::int16_t* input,
                          std::uint32_t count) override {
        return shifter_.process(output, input, count);
    }

  private:
    pitch_shifter shifter_;
};

// Fully scripted devices: every block is captured and played on command, so
// the comparison holds sample for sample, drops and pitch changes included.
TEST(StreamWithTheEngine, PlaysAndRecordsExactlyWhatTheEngineReturnsForTheAcceptedBlocks) {
    fake::fake_sound_system devices({{"Mic"}}, {{"Speakers"}});
    fake_host host;
    program_engine processor(6);
    copying_recorder recorder;
    test_window window(devices, processor, host);
    window.stream.set_recorder(&recorder);
    ASSERT_EQ(window.start(), 1);

    const std::size_t blocks = 600;
    const auto speech = testing::speech_like(block * blocks, 44100, 11);
    reference_engine reference(6);
    std::vector<block_samples> expected;
    std::size_t short_blocks_after_start = 0;  // the tails the test relies on
    std::size_t next = 0;
    auto capture_one = [&] {
        devices.fill_capture(1, block_at(speech, next));
        window.run();
        ++next;
    };
    auto accept = [&](std::size_t b) {
        expected.push_back(reference.process(block_at(speech, b)));
        if (expected.size() > 40 && reference.last_count() < block) ++short_blocks_after_start;
    };

    for (; next < 200;) {
        accept(next);
        capture_one();
        devices.finish_playback(1);
        window.run();
    }
    // The user lowers the pitch while sound flows.
    processor.set_pitch_semitones(-3);
    reference.set_pitch_semitones(-3);
    for (; next < 400;) {
        accept(next);
        capture_one();
        devices.finish_playback(1);
        window.run();
    }
    // The output stalls: ten blocks fill the playback queue, the next three
    // are dropped and the engine never sees them.
    for (int i = 0; i < 10; ++i) {
        accept(next);
        capture_one();
    }
    for (int i = 0; i < 3; ++i) capture_one();
    devices.finish_playback(10);
    window.run();
    processor.set_pitch_semitones(12);
    reference.set_pitch_semitones(12);
    while (next < blocks) {
        accept(next);
        capture_one();
        devices.finish_playback(1);
        window.run();
    }

    EXPECT_EQ(window.stream.dropped_blocks(), 3u);
    EXPECT_EQ(window.stream.processed_blocks(), expected.size());
    EXPECT_GT(short_blocks_after_start, 0u) << "no short block: the silent tails went untested";
    ASSERT_EQ(devices.played().size(), expected.size());
    ASSERT_EQ(recorder.recorded.size(), expected.size());
    std::size_t sounding = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(devices.played()[i].samples, expected[i]) << "played block " << i;
        ASSERT_EQ(recorder.recorded[i], expected[i]) << "recorded block " << i;
        ASSERT_EQ(host.levels[i].level, level_of(expected[i])) << "measured block " << i;
        sounding += std::any_of(expected[i].begin(), expected[i].end(),
                                [](std::int16_t s) { return s != 0; });
    }
    EXPECT_GT(sounding, expected.size() / 2);  // the comparison was not of silence

    window.close();
    window.run();
    EXPECT_TRUE(window.destroyed);
    EXPECT_TRUE(host.boxes.empty());
}

TEST(file_stream, SpeechFromAFileComesOutShiftedBlockForBlockAndTheRecordingMatchesIt) {
    const test_support::temp_folder dir;
    // Twenty seconds of speech, not a whole number of blocks.
    const std::size_t frames = 44100 * 20 + 300;
    const auto speech = testing::speech_like(frames, 44100, 5);
    const std::string input = dir.file("voice.wav");
    const std::string output = dir.file("out.wav");
    testing::write_wav(input, 44100, 1, speech);

    file_sound_system devices({input, output, file_pacing::as_fast_as_taken});
    fake_host host;
    program_engine processor(6);
    wav_recorder recorder;
    test_window window(devices, processor, host);
    window.stream.set_recorder(&recorder);
    window.stream.set_desktop_path_source([&] { return dir.path().string(); });
    ASSERT_EQ(window.start(), 1);
    std::string reason;
    ASSERT_TRUE(recorder.open_file(window.stream.recording_target(), reason)) << reason;

    // Until the file has ended and the output has caught up, then a close.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    bool stop_sent = false;
    while (!window.destroyed && std::chrono::steady_clock::now() < deadline) {
        pollfd p{devices.event_fd(), POLLIN, 0};
        ::poll(&p, 1, 20);
        window.run();
        if (!stop_sent && host.ended && window.stream.playback_queued() == 0) {
            stop_sent = true;
            window.close();
            window.run();
        }
    }
    ASSERT_TRUE(window.destroyed) << "the stream did not close within a minute";
    recorder.close_file();
    EXPECT_TRUE(host.failure.empty()) << host.failure;
    EXPECT_EQ(devices.problem(), "");

    // The engine on the same blocks; the last one padded with silence as the
    // file ends. Blocks the stream dropped never reached the engine, so any
    // drop shows up as a mismatch.
    const std::size_t blocks = (frames + block - 1) / block;
    std::vector<std::int16_t> padded(speech);
    padded.resize(blocks * block, 0);
    reference_engine reference(6);
    std::vector<std::int16_t> expected;
    for (std::size_t b = 0; b < blocks; ++b) {
        const block_samples out = reference.process(block_at(padded, b));
        expected.insert(expected.end(), out.begin(), out.end());
    }
    EXPECT_EQ(window.stream.dropped_blocks(), 0u);
    EXPECT_EQ(window.stream.processed_blocks(), blocks);

    const auto played = testing::read_wav(output);
    ASSERT_TRUE(played.ok);
    ASSERT_EQ(played.samples.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(played.samples[i], expected[i]) << "sample " << i << " of block " << i / block;

    const auto recorded = testing::read_wav(window.stream.recording_target().file_name);
    ASSERT_TRUE(recorded.ok);
    EXPECT_EQ(recorded.rate, 44100u);
    EXPECT_EQ(recorded.channels, 1u);
    EXPECT_TRUE(recorded.samples == played.samples) << "the recording differs from what was played";
}

// The bypass, switched on and off while a voice flows: once a switch's one
// block of crossfade is over, the voice is exactly the input (on) or exactly
// what an engine that never left the road gives (off); and the switch block
// moves no further from one sample to the next than the two voices do on
// their own, where a hard cut jumps by up to their sum.
TEST(voice_bypass, switches_without_a_click_and_lands_on_each_voice_exactly) {
    struct switch_case {
        const char* name;
        std::vector<std::size_t> switch_at;  // blocks at which the bypass flips
    };
    const switch_case cases[] = {
        {"on once", {30}},
        {"on and off again", {30, 50}},
        {"on at the very start", {0}},
        {"on, off, on in quick blocks", {30, 31, 32}},
    };
    const std::size_t blocks = 80;
    const auto voice = testing::speech_like(blocks * block, 44100, 1);
    for (const switch_case& c : cases) {
        SCOPED_TRACE(c.name);
        pitch_shifter shifter;
        shifter.set_channels(1);
        shifter.set_sample_rate(44100);
        shifter.set_block_size(1024);
        shifter.set_pitch_semitones(6);
        voice_bypass bypass(shifter);
        reference_engine reference(6);

        bool on = false;
        std::size_t last_switch = 0;
        bool switched = false;
        std::int16_t previous = 0;
        for (std::size_t b = 0; b < blocks; ++b) {
            if (std::find(c.switch_at.begin(), c.switch_at.end(), b) != c.switch_at.end()) {
                on = !on;
                bypass.set_bypass(on);
                last_switch = b;
                switched = true;
            }
            const auto input = block_at(voice, b);
            const block_samples changed = reference.process(input);
            block_samples out(block, 0);
            std::vector<std::int16_t> copy(input.begin(), input.end());
            const std::uint32_t n = bypass.process(out.data(), copy.data(), block);
            std::fill(out.begin() + std::min<std::uint32_t>(n, block), out.end(), std::int16_t{0});

            if (!switched || b > last_switch) {
                const block_samples& expected =
                    on ? block_samples(input.begin(), input.end()) : changed;
                ASSERT_TRUE(out == expected) << "block " << b << (on ? " (bypassed)" : "");
            } else {
                // The crossfade block: no step beyond the larger of the two
                // voices' own steps, across its joins too.
                int largest_own = 0;
                for (std::size_t i = 1; i < block; ++i) {
                    largest_own = std::max({largest_own, std::abs(input[i] - input[i - 1]),
                                            std::abs(changed[i] - changed[i - 1])});
                }
                for (std::size_t i = 0; i < block; ++i) {
                    const int step = std::abs(out[i] - (i == 0 ? previous : out[i - 1]));
                    ASSERT_LE(step, largest_own + 128) << "block " << b << " sample " << i;
                }
            }
            previous = out[block - 1];
        }
    }
}

}  // namespace
}  // namespace squeakbox
