#pragma once
// The audio stream: every captured block goes through the pitch shifter to the
// playback device. It has no thread of its own and locks nothing: one thread at
// a time drives it, the sound thread while the sound runs (audio/sound_thread.h)
// and the window's thread to open it and to close it. Beside the road, each played block is
// measured for the level bar and handed to the recording; the window hears of the level, never of
// the block.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "audio/block_format.h"
#include "audio/level_meter.h"
#include "audio/sound_device.h"

namespace squeakbox {

class mic_monitor_mute;
class pitch_shifter;

// What the stream tells the window, and the little it needs of it.
class stream_listener {
  public:
    virtual ~stream_listener() = default;
    // A modal box with an OK button. Its nested loop lets device
    // notifications through, so the stream can be re-entered while it is open.
    virtual void message_box(std::string_view text, std::string_view title) = 0;
    // Both devices are closed after a stop: queue the final close behind the
    // messages already queued.
    virtual void post_close() = 0;
    // A stop is under way: call stop_deadline_passed() once, `delay` from now.
    virtual void start_stop_deadline(std::chrono::milliseconds delay) = 0;
    // The level of the block just played, against the loudest so far.
    virtual void show_level(level_reading level) = 0;
    // The recording ended by itself (the disk failed, the file is full);
    // `reason` says why, in words for the user.
    virtual void recording_stopped(const std::string& reason) = 0;
    // The capture source reached its end (file devices).
    virtual void capture_ended() = 0;
    // A device failed or vanished while open.
    virtual void device_failed(const std::string& reason) = 0;
};

// The block transformation. The program's is the pitch shifter itself; tests
// put their own in its place.
class block_processor {
  public:
    virtual ~block_processor() = default;
    // Writes at most `count` frames to output and returns how many.
    virtual std::uint32_t process(std::int16_t* output, const std::int16_t* input,
                                  std::uint32_t count) = 0;
};

// The recording's file name and the stream's format.
struct record_target {
    std::string file_name;  // the desktop folder followed by "/Squeakbox Record.wav"
    wave_format format{};   // all zero until the stream is opened
};

// The recording of the played blocks: the window opens and closes it, the
// stream feeds it every block it plays.
class recording_control {
  public:
    virtual ~recording_control() = default;
    // True when the file is open and its headers are written; otherwise
    // `reason` says why not, in words for the user.
    virtual bool open_file(const record_target& target, std::string& reason) = 0;
    // Appends the block while a file is open. False when this block ended the
    // recording: the file reached the largest size a WAV file can describe or
    // could not be written. It is then closed, as complete as it could be
    // made, and `reason` says what happened.
    virtual bool write_block(const wave_header& header, std::string& reason) = 0;
    // Finishes and closes the file, waiting for the disk.
    virtual void close_file() = 0;
    // Ends the recording at once; the file is finished without the caller
    // waiting for the disk.
    virtual void close_file_in_background() { close_file(); }
    // True, once, when the recording failed where write_block() could not say
    // so: no block came after the failure, or the file failed while being
    // finished in the background. `reason` says what happened.
    virtual bool take_failure(std::string& /*reason*/) { return false; }
};

// Where the stream stands. The values are those the window has always read
// (failures below zero), and plain numbers still compare with them.
enum stream_status : int {
    stream_not_open = 0,
    stream_running = 1,
    stream_no_microphone = -1,  // the microphone failed to open
    stream_no_output = -2,      // the sound output failed to open
};

[[nodiscard]] constexpr bool open_failed(stream_status status) noexcept {
    return status < stream_not_open;
}

// The stream as the window drives it.
class stream_control {
  public:
    virtual ~stream_control() = default;
    // Opens both devices and starts capturing; the result is also the stream
    // state.
    virtual stream_status open_stream(std::uint32_t capture_number,
                                      std::uint32_t playback_number) = 0;
    virtual void request_stop() = 0;
    [[nodiscard]] virtual bool close_allowed() const = 0;
    virtual void stop_deadline_passed() = 0;
    // stream_not_open until the stream has been opened, then open_stream's
    // result.
    [[nodiscard]] virtual stream_status stream_state() const = 0;
    // True once a device refused a call (a buffer, a block or a header went
    // missing): the run ends with a failure status.
    [[nodiscard]] virtual bool device_calls_refused() const noexcept { return false; }
    [[nodiscard]] virtual const record_target& recording_target() const = 0;

    // A stream that can move its blocks on a thread of its own goes there
    // once it runs; until then, and after a stop, it runs on the caller's.
    virtual void move_to_own_thread() {}
    // True while that thread runs: the window must leave the devices'
    // notifications to it.
    [[nodiscard]] virtual bool on_own_thread() const noexcept { return false; }
    // Readable when news from that thread waits for the window; -1: none comes.
    [[nodiscard]] virtual int notice_fd() const noexcept { return -1; }
    // The window's thread: tells the listener the news that waits.
    virtual void deliver_notices() {}
};

class audio_stream final : public stream_control, public device_events {
  public:
    static constexpr int buffer_count = 10;
    // A stop that has not completed by then closes what is still open.
    static constexpr std::chrono::milliseconds stop_deadline{2000};

    audio_stream(sound_system& devices, pitch_shifter& shifter, stream_listener& listener);
    audio_stream(sound_system& devices, block_processor& processor, stream_listener& listener);
    ~audio_stream() override;
    audio_stream(const audio_stream&) = delete;
    audio_stream& operator=(const audio_stream&) = delete;

    // Where the played blocks are recorded; none: nothing is.
    void set_recorder(recording_control* recorder) noexcept { recorder_ = recorder; }
    // Muted while the stream runs; the window restores it at the end.
    void set_mic_mute(mic_monitor_mute* mute) noexcept { mic_mute_ = mute; }
    // Where the desktop folder is, asked when the stream opens; the app passes
    // get_desktop_path. Without one (or with an empty path) the recording has
    // no file name, and the recorder refuses to record.
    void set_desktop_path_source(std::function<std::string()> source) {
        desktop_path_ = std::move(source);
    }

    // stream_control
    stream_status open_stream(std::uint32_t capture_number, std::uint32_t playback_number) override;
    void request_stop() override;
    [[nodiscard]] bool close_allowed() const noexcept override;
    void stop_deadline_passed() override;
    [[nodiscard]] stream_status stream_state() const noexcept override { return stream_state_; }
    [[nodiscard]] bool device_calls_refused() const noexcept override {
        return calls_refused_.load(std::memory_order_relaxed);
    }
    [[nodiscard]] const record_target& recording_target() const noexcept override {
        return record_target_;
    }

    // device_events: the devices' notifications.
    void capture_data(wave_header* header) override;
    void playback_done(wave_header* header) override;
    void capture_ended() override { listener_.capture_ended(); }
    void device_failed(const std::string& reason) override { listener_.device_failed(reason); }

    // The handshake's state, for diagnostics and tests.
    [[nodiscard]] std::int32_t capture_queued() const noexcept { return capture_.queued; }
    [[nodiscard]] std::int32_t playback_queued() const noexcept { return playback_.queued; }
    [[nodiscard]] std::int32_t next_playback_slot() const noexcept { return next_playback_slot_; }
    [[nodiscard]] bool stopping() const noexcept { return stopping_; }
    [[nodiscard]] bool closing() const noexcept { return closing_; }
    [[nodiscard]] bool capture_open() const noexcept { return capture_.device != nullptr; }
    [[nodiscard]] bool playback_open() const noexcept { return playback_.device != nullptr; }

    // Counters for diagnostics (--stats).
    [[nodiscard]] std::uint64_t dropped_blocks() const noexcept { return dropped_blocks_; }
    [[nodiscard]] std::uint64_t processed_blocks() const noexcept { return processed_blocks_; }
    // Any thread: the frames the engine left unwritten in the blocks played
    // so far (silence in their place). Every one of them put the sound
    // that followed a frame later, so with the engine's own delay it is
    // what the engine adds to the live delay.
    [[nodiscard]] std::uint64_t unwritten_frames() const noexcept {
        return unwritten_frames_.load(std::memory_order_relaxed);
    }
    [[nodiscard]] device_stats capture_stats() const { return capture_.stats(); }
    [[nodiscard]] device_stats playback_stats() const { return playback_.stats(); }

  private:
    // Samples are stored as samples; the headers see them as bytes.
    using block = std::array<std::int16_t, block_frames>;

    // One side of the stream, capture or playback: the device, its ring of
    // buffers with their headers, and the count the device holds. While a
    // header is queued, it and its buffer belong to the device.
    template <class Device>
    struct direction {
        std::unique_ptr<Device> device;
        std::array<block, buffer_count> buffers{};
        std::array<wave_header, buffer_count> headers{};
        std::int32_t queued = 0;
        bool prepared = false;      // the headers were handed to the device to prepare
        device_stats last_stats{};  // as the device reported them when it closed
        std::string_view prepare_error;
        std::string_view unprepare_error;

        // Binds every header to its buffer and prepares it; a box for each
        // one refused.
        void prepare(audio_stream& boxes);
        // Unprepares every header and closes the device. False when a box's
        // nested loop closed it meanwhile.
        bool close(audio_stream& boxes);
        // Resets and closes at once, whatever is still queued; boxes only
        // where someone is left to read them.
        void force_close(audio_stream* boxes);
        [[nodiscard]] device_stats stats() const { return device ? device->stats() : last_stats; }
    };

    using process_function =
        std::function<std::uint32_t(std::int16_t*, const std::int16_t*, std::uint32_t)>;
    audio_stream(sound_system& devices, process_function process, stream_listener& listener);

    sound_system& devices_;
    process_function process_;
    stream_listener& listener_;
    recording_control* recorder_ = nullptr;
    mic_monitor_mute* mic_mute_ = nullptr;
    std::function<std::string()> desktop_path_;
    level_meter meter_;

    direction<capture_device> capture_;
    direction<playback_device> playback_;
    block input_copy_{};
    std::int32_t next_playback_slot_ = 0;
    bool stopping_ = false;
    bool closing_ = false;
    bool deadline_armed_ = false;
    stream_status stream_state_ = stream_not_open;
    std::atomic<bool> calls_refused_{false};
    record_target record_target_;
    std::string recording_end_reason_;
    std::uint64_t dropped_blocks_ = 0;
    std::uint64_t processed_blocks_ = 0;
    std::atomic<std::uint64_t> unwritten_frames_{0};

    stream_status open_devices(std::uint32_t capture_number, std::uint32_t playback_number);
    void play_block(int slot, const wave_header& captured);
    void close_capture_after_stop();
    void finish_close();
    [[nodiscard]] bool is_capture_header(const wave_header* header) const noexcept;
    void report(std::string_view text);
};

}  // namespace squeakbox
