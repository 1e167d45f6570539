#include "audio/audio_stream.h"

#include <algorithm>
#include <cstring>

#include "audio/mic_monitor_mute.h"
#include "engine/pitch_shifter.h"

namespace squeakbox {

namespace {

constexpr std::string_view error_title = "error";
constexpr std::string_view recording_name = "/Squeakbox Record.wav";

}  // namespace

// Each box below runs a nested loop that may close the device (the stop
// deadline), so every device call first checks that the device is still there.
template <class Device>
void audio_stream::direction<Device>::prepare(audio_stream& boxes) {
    prepared = true;
    for (int i = 0; i < buffer_count; ++i) {
        // A header describes its buffer for its whole life; everything else
        // starts zero.
        headers[i] = wave_header{};
        headers[i].data = reinterpret_cast<char*>(buffers[i].data());
        headers[i].buffer_length = block_bytes;
        if (!device) break;
        if (device->prepare_header(headers[i]) != mm_ok) boxes.report(prepare_error);
    }
}

template <class Device>
bool audio_stream::direction<Device>::close(audio_stream& boxes) {
    for (auto& header : headers) {
        if (!device) return false;
        if (device->unprepare_header(header) != mm_ok) {
            boxes.report(unprepare_error);
        }
    }
    if (!device) return false;
    last_stats = device->stats();
    device->close();
    device.reset();
    return true;
}

template <class Device>
void audio_stream::direction<Device>::force_close(audio_stream* boxes) {
    if (!device) return;
    // Taken out of its slot first: a handler entered from a box below sees
    // the device as closed and leaves it alone.
    std::unique_ptr<Device> closing = std::move(device);
    queued = 0;
    closing->reset();
    if (prepared) {
        for (auto& header : headers) {
            if (closing->unprepare_header(header) != mm_ok && boxes != nullptr) {
                boxes->report(unprepare_error);
            }
        }
    }
    last_stats = closing->stats();
    closing->close();
}

audio_stream::audio_stream(sound_system& devices, process_function process,
                           stream_listener& listener)
    : devices_(devices), process_(std::move(process)), listener_(listener) {
    capture_.prepare_error = "In Prepare error";
    capture_.unprepare_error = "In UnPrepare error";
    playback_.prepare_error = "Out Prepare error";
    playback_.unprepare_error = "Out UnPrepare error";
}

audio_stream::audio_stream(sound_system& devices, pitch_shifter& shifter, stream_listener& listener)
    : audio_stream(
          devices,
          [&shifter](std::int16_t* output, const std::int16_t* input, std::uint32_t count) {
              return shifter.process(output, input, count);
          },
          listener) {}

audio_stream::audio_stream(sound_system& devices, block_processor& processor,
                           stream_listener& listener)
    : audio_stream(
          devices,
          [&processor](std::int16_t* output, const std::int16_t* input, std::uint32_t count) {
              return processor.process(output, input, count);
          },
          listener) {}

audio_stream::~audio_stream() {
    // A device can outlive the handshake (the playback device after a close
    // before the first block, or after the microphone failed to open). Nobody
    // is left to read a box now, so it is released quietly.
    playback_.force_close(nullptr);
    capture_.force_close(nullptr);
}

void audio_stream::report(std::string_view text) {
    // A refused call cost a block or a buffer: the run says so at its end,
    // whether or not the box reached anyone.
    calls_refused_.store(true, std::memory_order_relaxed);
    listener_.message_box(text, error_title);
}

stream_status audio_stream::open_stream(std::uint32_t capture_number,
                                        std::uint32_t playback_number) {
    stream_state_ = open_devices(capture_number, playback_number);
    return stream_state_;
}

stream_status audio_stream::open_devices(std::uint32_t capture_number,
                                         std::uint32_t playback_number) {
    // Cleared before anything can open a box: a close requested from inside a
    // box's loop during the open must still count when the open finishes.
    stopping_ = false;
    closing_ = false;

    if (devices_.query_capture(capture_number, stream_format) != mm_ok) return stream_no_microphone;
    if (devices_.query_playback(playback_number, stream_format) != mm_ok) return stream_no_output;

    // Playback first: when the output cannot be had, the microphone is not
    // touched at all.
    std::unique_ptr<playback_device> playback;
    if (devices_.open_playback(playback_number, stream_format, *this, playback) != mm_ok ||
        !playback) {
        return stream_no_output;
    }
    playback_.device = std::move(playback);
    std::unique_ptr<capture_device> capture;
    if (devices_.open_capture(capture_number, stream_format, *this, capture) != mm_ok || !capture) {
        return stream_no_microphone;  // the playback device stays open, unused, until the end
    }
    capture_.device = std::move(capture);

    if (mic_mute_ != nullptr) mic_mute_->save_and_mute();

    capture_.prepare(*this);
    playback_.prepare(*this);
    capture_.queued = 0;
    for (auto& header : capture_.headers) {
        if (!capture_.device) break;
        if (capture_.device->add_buffer(header) != mm_ok) report("Add buffer error");
        // A refused buffer is counted as queued all the same.
        ++capture_.queued;
    }
    playback_.queued = 0;

    // Nothing is written to the output in advance: the first sound goes out
    // when the first captured block has been processed.
    if (capture_.device && capture_.device->start() != mm_ok) report("Start error");

    record_target_.format = stream_format;
    // The path is kept whole, however long. Without a desktop folder there is
    // no file name at all, rather than a file at the root of the file system.
    const std::string desktop = desktop_path_ ? desktop_path_() : std::string{};
    record_target_.file_name =
        desktop.empty() ? std::string{} : desktop + std::string(recording_name);
    return stream_running;
}

bool audio_stream::is_capture_header(const wave_header* header) const noexcept {
    return std::any_of(capture_.headers.begin(), capture_.headers.end(),
                       [header](const wave_header& own) { return &own == header; });
}

// Processed, measured, recorded and written to the output, in that order.
void audio_stream::play_block(int slot, const wave_header& captured) {
    // The whole block, whatever the device says it recorded: a block given
    // back short still has 512 samples of buffer behind it.
    std::memcpy(input_copy_.data(), captured.data, block_bytes);
    std::int16_t* output = playback_.buffers[slot].data();
    const std::uint32_t written =
        std::min(process_(output, input_copy_.data(), block_frames), block_frames);
    // Whatever the shifter did not write would otherwise replay this slot's
    // sound from ten blocks ago; it is silence instead.
    std::fill(output + written, output + block_frames, std::int16_t{0});
    if (written < block_frames)
        unwritten_frames_.fetch_add(block_frames - written, std::memory_order_relaxed);
    ++processed_blocks_;

    wave_header& out = playback_.headers[slot];
    listener_.show_level(meter_.observe(out));
    if (recorder_ != nullptr && !recorder_->write_block(out, recording_end_reason_)) {
        listener_.recording_stopped(recording_end_reason_);
    }
    if (playback_.device->write(out) != mm_ok) report("Wave out error");
    // Counted as queued even when refused; not when the stop deadline closed
    // the device while the box was open.
    if (playback_.device) ++playback_.queued;
}

void audio_stream::capture_data(wave_header* header) {
    if (!capture_.device) return;
    // Only our own buffers are counted, copied and handed back.
    if (!is_capture_header(header)) return;
    --capture_.queued;

    if (!stopping_) {
        const int slot = next_playback_slot_;
        if (playback_.queued < buffer_count) {
            // Advanced before anything can open a box, so a block handled from
            // inside that box takes the next slot, not this one.
            next_playback_slot_ = (slot + 1) % buffer_count;
            if (!playback_.device) return;
            play_block(slot, *header);
        } else {
            // The output is ten blocks behind: drop this one rather than grow
            // the delay. Its capture buffer goes straight back.
            ++dropped_blocks_;
        }
        if (!capture_.device) return;
        // A stop begun from inside a box above has already reset the device;
        // a buffer added now would never come back, so it is kept.
        if (!stopping_) {
            if (capture_.device->add_buffer(*header) != mm_ok) report("Add buffer error");
            if (!capture_.device) return;
            ++capture_.queued;
        }
    }

    // Only during a stop can every capture buffer be back with us.
    if (capture_.queued == 0) close_capture_after_stop();
}

void audio_stream::playback_done(wave_header* /*header*/) {
    if (!playback_.device) return;
    --playback_.queued;
    // While the stream runs an empty queue only means the output caught up
    // with the input; the device stays open and the next block restarts it.
    if (playback_.queued == 0 && stopping_) playback_.close(*this);
    if (capture_.queued == 0 && playback_.queued == 0) finish_close();
}

void audio_stream::close_capture_after_stop() {
    // False when the stop deadline closed it from inside a box.
    if (capture_.close(*this) && playback_.queued == 0) finish_close();
}

void audio_stream::finish_close() {
    // Both devices reach this point; the window needs one close, not two.
    if (closing_) return;
    closing_ = true;
    listener_.post_close();
}

void audio_stream::request_stop() {
    stopping_ = true;
    if (playback_.device) playback_.device->reset();
    if (capture_.device) capture_.device->reset();
    // A refused write or re-add is counted but never comes back, and can
    // keep a count above 0 for ever; the deadline then closes what is open.
    if (!deadline_armed_ && !close_allowed()) {
        deadline_armed_ = true;
        listener_.start_stop_deadline(stop_deadline);
    }
}

bool audio_stream::close_allowed() const noexcept {
    return closing_ || !capture_.device || !playback_.device || stream_state_ != stream_running;
}

void audio_stream::stop_deadline_passed() {
    if (!stopping_ || closing_) return;
    if (!capture_.device && !playback_.device) return;
    playback_.force_close(this);
    capture_.force_close(this);
    finish_close();
}

}  // namespace squeakbox
