#pragma once
// The sound's own thread. While the stream runs, one thread of ours waits on
// the devices' notifications and moves every block from the microphone
// through the engine to the output, the level meter and the recording's
// queue; the window's thread only shows and commands. So a repaint, a message
// box or a slow moment of the desktop no longer lands in the sound.
//
// The window and the sound thread meet only in lock-free hand-offs:
// - `engine_commands`: the pitch and the latency mode, queued by the window
//   and applied by the sound thread between two blocks;
// - `shared_recording`: the recording, opened and closed by the window, fed
//   by the sound thread, which never waits for the window to let go of it;
// - `threaded_stream`: what the stream tells the window (level, failures,
//   boxes, the end of a capture file), queued and drained by the window.
//
// The sound thread runs from a successful open until a stop is requested.
// The closing handshake then runs on the window's thread, exactly as before,
// with the devices already told to give their buffers back.

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "audio/audio_stream.h"
#include "audio/block_format.h"
#include "audio/notification_queue.h"
#include "audio/spsc_ring.h"
#include "audio/voice_bypass.h"
#include "engine/pitch_shifter.h"

namespace squeakbox {

// The engine's settings as the window changes them. While no sound thread
// runs they go straight to the engine; while one runs they wait in a queue
// that the sound thread empties before the next block, so only one thread
// ever touches the engine and a change lands between two blocks, in order.
class engine_commands {
  public:
    // `bypass` (may be null) is the switch around the engine that the
    // bypass commands reach.
    explicit engine_commands(pitch_shifter& shifter, voice_bypass* bypass = nullptr) noexcept
        : shifter_(shifter), bypass_(bypass) {
        publish_delay();
    }
    engine_commands(const engine_commands&) = delete;
    engine_commands& operator=(const engine_commands&) = delete;

    // The set-up: made once, before the sound starts.
    void set_channels(std::uint32_t channels) {
        shifter_.set_channels(channels);
        publish_delay();
    }
    void set_sample_rate(std::uint32_t rate) {
        shifter_.set_sample_rate(rate);
        publish_delay();
    }
    void set_block_size(std::uint32_t bytes) {
        shifter_.set_block_size(bytes);
        publish_delay();
    }

    // Any time, from the window's thread.
    void set_pitch_semitones(std::int32_t semitones) { send({command_kind::pitch, semitones}); }
    void set_latency(latency_mode mode) {
        send({command_kind::latency, mode == latency_mode::low ? 1 : 0});
    }
    void set_bypass(bool on) { send({command_kind::bypass, on ? 1 : 0}); }
    void set_voice(voice_kind voice) {
        send({command_kind::voice, voice == voice_kind::natural ? 1 : 0});
    }
    void set_timbre_semitones(std::int32_t semitones) { send({command_kind::timbre, semitones}); }

    // The window's thread: from now on (true) the sound thread owns the
    // engine, or (false) it has ended and the window owns it again.
    void hand_over(bool to_sound_thread) noexcept;

    // The sound thread: readable when commands wait.
    [[nodiscard]] int wake_fd() const noexcept { return wakeup_.fd(); }
    // The sound thread: applies every waiting command, in order.
    void apply_pending() noexcept;

    // Any thread: the engine's own delay at its latest settings, in frames.
    [[nodiscard]] std::int32_t delay_frames() const noexcept {
        return delay_frames_.load(std::memory_order_relaxed);
    }

  private:
    // One more setting is one more kind here and one more case in apply().
    enum class command_kind : std::uint8_t { pitch, latency, bypass, voice, timbre };
    struct command {
        command_kind kind = command_kind::pitch;
        std::int32_t value = 0;
    };

    void send(command next);
    void apply(const command& next) noexcept;
    // Around the engine the voice waits for nothing of the engine's.
    void publish_delay() noexcept {
        const bool around = bypass_ != nullptr && bypass_->bypassed();
        delay_frames_.store(around ? 0 : shifter_.delay_frames());
    }

    pitch_shifter& shifter_;
    voice_bypass* bypass_;
    spsc_ring<command, 64> queue_;
    notification_wakeup wakeup_;
    bool queued_ = false;  // the window's thread: the sound thread owns the engine
    std::atomic<std::int32_t> delay_frames_{0};
};

// The recording as both threads see it. Whoever calls into the recorder holds
// it for that call. A block that arrives while the window holds it (opening,
// closing, or asking after a failed disk) waits in a small queue of its own
// and goes into the file first with the next block: the file loses nothing,
// and the sound thread never waits for the window.
class shared_recording final : public recording_control {
  public:
    explicit shared_recording(recording_control& recorder) noexcept : recorder_(recorder) {}

    bool open_file(const record_target& target, std::string& reason) override;
    bool write_block(const wave_header& header, std::string& reason) override;
    void close_file() override;
    void close_file_in_background() override;
    bool take_failure(std::string& reason) override;

    // Blocks that found the waiting queue full and are missing from the file.
    [[nodiscard]] std::uint64_t lost_blocks() const noexcept {
        return lost_blocks_.load(std::memory_order_relaxed);
    }

  private:
    enum holder : int { nobody, sound, window };
    struct waiting_block {
        std::array<std::int16_t, block_frames> samples{};
        std::uint32_t bytes = 0;
    };

    void hold_for_window() noexcept;
    void release() noexcept { holder_.store(nobody, std::memory_order_release); }
    bool write_waiting(std::string& reason);
    void end_recording() noexcept;

    recording_control& recorder_;
    std::atomic<int> holder_{nobody};
    std::atomic<bool> open_{false};
    std::atomic<std::uint64_t> lost_blocks_{0};
    // A few blocks: the window holds the recorder for microseconds, except
    // while a file opens, and then nothing is being recorded yet.
    spsc_ring<waiting_block, 8> waiting_;
};

// The stream with a thread of its own. It passes the window's commands to the
// stream and the stream's news to the window: directly on the window's
// thread, queued from the sound thread.
class threaded_stream final : public stream_control, private stream_listener {
  public:
    using stream_maker = std::function<std::unique_ptr<audio_stream>(stream_listener& listener)>;

    // `make` builds the stream that runs on the thread, listening to this
    // one; `commands` (may be null) is handed to the thread with the engine.
    threaded_stream(sound_system& devices, stream_listener& window, const stream_maker& make,
                    engine_commands* commands);
    ~threaded_stream() override;
    threaded_stream(const threaded_stream&) = delete;
    threaded_stream& operator=(const threaded_stream&) = delete;

    [[nodiscard]] audio_stream& stream() noexcept { return *stream_; }

    // stream_control
    stream_status open_stream(std::uint32_t capture_number, std::uint32_t playback_number) override;
    void request_stop() override;
    [[nodiscard]] bool close_allowed() const override { return stream_->close_allowed(); }
    void stop_deadline_passed() override;
    [[nodiscard]] stream_status stream_state() const override { return stream_->stream_state(); }
    [[nodiscard]] bool device_calls_refused() const noexcept override {
        return stream_->device_calls_refused();
    }
    [[nodiscard]] const record_target& recording_target() const override {
        return stream_->recording_target();
    }
    void move_to_own_thread() override;
    [[nodiscard]] bool on_own_thread() const noexcept override { return worker_.joinable(); }
    [[nodiscard]] int notice_fd() const noexcept override { return notices_wakeup_.fd(); }
    void deliver_notices() override;

    // Whether the sound thread got a real-time scheduling class.
    [[nodiscard]] bool real_time() const noexcept {
        return real_time_.load(std::memory_order_relaxed);
    }

  private:
    enum class notice_kind : std::uint8_t {
        message_box,
        post_close,
        recording_stopped,
        capture_ended,
        device_failed,
    };
    struct notice {
        notice_kind kind = notice_kind::post_close;
        std::uint16_t text_size = 0;
        std::uint8_t title_size = 0;
        std::array<char, 1024> text{};
        std::array<char, 32> title{};
    };

    // stream_listener: the stream's news.
    void message_box(std::string_view text, std::string_view title) override;
    void post_close() override;
    void start_stop_deadline(std::chrono::milliseconds delay) override;
    void show_level(level_reading level) override;
    void recording_stopped(const std::string& reason) override;
    void capture_ended() override;
    void device_failed(const std::string& reason) override;

    // True when the news is to be queued: it comes from the sound thread, or
    // older news still waits, which it must not overtake.
    [[nodiscard]] bool must_queue() const noexcept;
    void queue(notice_kind kind, std::string_view text = {}, std::string_view title = {});

    void start_thread();
    void stop_thread();
    void run() noexcept;

    sound_system& devices_;
    stream_listener& window_;
    engine_commands* commands_;
    std::unique_ptr<audio_stream> stream_;
    std::thread worker_;
    std::atomic<bool> quit_{false};
    std::atomic<bool> real_time_{false};
    notification_wakeup quit_wakeup_;

    // The news for the window: a ring, and the latest level apart, since
    // only the latest is worth painting.
    std::unique_ptr<spsc_ring<notice, 64>> notices_;
    notification_wakeup notices_wakeup_;
    std::atomic<std::uint64_t> level_{0};
    std::atomic<bool> level_fresh_{false};
    // The sound thread: when it last woke the window for a level.
    static constexpr std::chrono::milliseconds level_wake_interval{20};
    std::chrono::steady_clock::time_point last_level_wake_{};
};

}  // namespace squeakbox
