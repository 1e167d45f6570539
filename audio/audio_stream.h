#pragma once
// The audio stream: every captured block goes through the pitch shifter to the
// playback device. It has no thread of its own: the window hands it the device
// notifications, the Start command and every close request, all on the
// user-interface thread, so nothing here is locked.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "audio/sound_device.h"

namespace squeakbox {

class mic_monitor_mute;

// What the stream needs of the window.
class stream_host {
public:
    virtual ~stream_host() = default;
    // The two device lists: item count, selected index (-1 for none), and the
    // device number stored with an item.
    virtual int input_list_count() = 0;
    virtual int input_list_selection() = 0;
    virtual std::uint32_t input_list_item_data(int index) = 0;
    virtual int output_list_count() = 0;
    virtual int output_list_selection() = 0;
    virtual std::uint32_t output_list_item_data(int index) = 0;
    // A modal box with an OK button. Its nested loop lets device
    // notifications through, so the stream can be re-entered while it is open.
    virtual void message_box(std::string_view text, std::string_view title) = 0;
    // Queue the final close behind the messages already queued.
    virtual void post_close() = 0;
    // Call audio_stream::stop_deadline_passed() once, `delay` from now.
    virtual void start_stop_deadline(std::chrono::milliseconds delay) = 0;
};

// The block transformation: the pitch shifter in the program.
class block_processor {
public:
    virtual ~block_processor() = default;
    // Writes at most `count` frames to output and returns how many.
    virtual std::uint32_t process(std::int16_t* output, const std::int16_t* input,
                                  std::uint32_t count) = 0;
};

// Who sees every accepted block after processing: the level meter, then the
// recorder, in that order, before it goes to the playback device.
class block_observer {
public:
    virtual ~block_observer() = default;
    virtual void show_level(const wave_header& header) = 0;
    virtual void write_block(const wave_header& header) = 0;
};

// The recording's file name and the stream's format.
struct record_target {
    std::string file_name;  // the desktop folder followed by "/Squeakbox Record.wav"
    wave_format format{};   // all zero until the stream is opened
};

class audio_stream {
public:
    static constexpr int buffer_count = 10;
    static constexpr std::uint32_t block_bytes = 1024;
    static constexpr std::uint32_t block_frames = block_bytes / 2;
    // A stop that has not completed by then closes what is still open.
    static constexpr std::chrono::milliseconds stop_deadline{2000};

    audio_stream(sound_system& devices, block_processor& processor, stream_host& host,
                 device_events& notification_target);
    ~audio_stream();
    audio_stream(const audio_stream&) = delete;
    audio_stream& operator=(const audio_stream&) = delete;

    void set_observer(block_observer* observer) noexcept;
    // Muted while the stream runs; the window restores it at the end.
    void set_mic_mute(mic_monitor_mute* mute) noexcept;
    // Where the desktop folder is, asked when the stream opens; the app passes
    // get_desktop_path. Without one (or with an empty path) the recording has
    // no file name, and the recorder refuses to record.
    void set_desktop_path_source(std::function<std::string()> source);

    // Opens both devices and starts capturing: 1 running, -1 the microphone
    // failed to open, -2 the sound output failed to open.
    int open_stream();
    void on_capture_block(wave_header* header);
    void on_playback_done(wave_header* header);
    void request_stop();
    [[nodiscard]] bool close_allowed() const noexcept;
    void stop_deadline_passed();

    [[nodiscard]] int stream_state() const noexcept { return stream_state_; }
    void set_stream_state(int state) noexcept { stream_state_ = state; }
    [[nodiscard]] const record_target& recording_target() const noexcept { return record_target_; }

    // The handshake's state, for the window's diagnostics and for tests.
    [[nodiscard]] std::int32_t capture_queued() const noexcept { return capture_queued_; }
    [[nodiscard]] std::int32_t playback_queued() const noexcept { return playback_queued_; }
    [[nodiscard]] std::int32_t next_playback_slot() const noexcept { return next_playback_slot_; }
    [[nodiscard]] bool stopping() const noexcept { return stopping_; }
    [[nodiscard]] bool closing() const noexcept { return closing_; }
    [[nodiscard]] bool capture_open() const noexcept { return capture_handle_ != nullptr; }
    [[nodiscard]] bool playback_open() const noexcept { return playback_handle_ != nullptr; }

    // Counters for diagnostics (--stats).
    [[nodiscard]] std::uint64_t dropped_blocks() const noexcept { return dropped_blocks_; }
    [[nodiscard]] std::uint64_t processed_blocks() const noexcept { return processed_blocks_; }
    [[nodiscard]] device_stats capture_stats() const;
    [[nodiscard]] device_stats playback_stats() const;

private:
    // (implementation details: the two buffer rings, headers, counters, flags)
    sound_system& devices_;
    block_processor& processor_;
    stream_host& host_;
    device_events& target_;
    block_observer* observer_ = nullptr;

    std::unique_ptr<capture_device> capture_handle_;
    std::unique_ptr<playback_device> playback_handle_;
    // Samples are stored as samples; the headers see them as bytes.
    using block = std::array<std::int16_t, block_frames>;
    std::array<block, buffer_count> capture_buffers_{};
    std::array<wave_header, buffer_count> capture_headers_{};
    std::array<block, buffer_count> playback_buffers_{};
    std::array<wave_header, buffer_count> playback_headers_{};
    block input_copy_{};
    std::int32_t capture_queued_ = 0;
    std::int32_t playback_queued_ = 0;
    std::int32_t next_playback_slot_ = 0;
    bool stopping_ = false;
    bool closing_ = false;
    int stream_state_ = 0;
    record_target record_target_;
    std::uint64_t dropped_blocks_ = 0;
    std::uint64_t processed_blocks_ = 0;

    mic_monitor_mute* mic_mute_ = nullptr;
    std::function<std::string()> desktop_path_;
    bool deadline_armed_ = false;
    bool capture_prepared_ = false;  // the headers were handed to the device to prepare
    bool playback_prepared_ = false;
    device_stats capture_stats_{};  // as the device reported them when it closed
    device_stats playback_stats_{};

    std::uint32_t choose_device(bool input);
    void process_block(int slot, const wave_header& captured);
    void close_capture_after_stop();
    void close_playback_after_stop();
    void finish_close();
    void force_close_capture(bool report);
    void force_close_playback(bool report);
    [[nodiscard]] bool is_capture_header(const wave_header* header) const noexcept;
    void report(std::string_view text);
};

}  // namespace squeakbox
