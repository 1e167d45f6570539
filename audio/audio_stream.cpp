#include "audio/audio_stream.h"

#include <algorithm>
#include <cstring>

#include "audio/mic_monitor_mute.h"

namespace squeakbox {

namespace {

constexpr std::string_view error_title = "error";
constexpr std::string_view recording_name = "/Squeakbox Record.wav";

// A header describes its buffer for its whole life; everything else starts zero.
void bind_header(wave_header& header, std::int16_t* samples) {
    header = wave_header{};
    header.data = reinterpret_cast<char*>(samples);
    header.buffer_length = audio_stream::block_bytes;
}

}  // namespace

audio_stream::audio_stream(sound_system& devices, block_processor& processor, stream_host& host,
                           device_events& notification_target)
    : devices_(devices), processor_(processor), host_(host), target_(notification_target) {}

audio_stream::~audio_stream() {
    // A device can outlive the handshake (the playback device after a close
    // before the first block, or after the microphone failed to open). Nobody
    // is left to read a box now, so it is released quietly.
    force_close_playback(false);
    force_close_capture(false);
}

void audio_stream::set_observer(block_observer* observer) noexcept {
    observer_ = observer;
}

void audio_stream::set_mic_mute(mic_monitor_mute* mute) noexcept {
    mic_mute_ = mute;
}

void audio_stream::set_desktop_path_source(std::function<std::string()> source) {
    desktop_path_ = std::move(source);
}

void audio_stream::report(std::string_view text) {
    host_.message_box(text, error_title);
}

std::uint32_t audio_stream::choose_device(bool input) {
    // An empty list means the first device of its kind. With items but no
    // selection the first item stands in: the list's default.
    const int count = input ? host_.input_list_count() : host_.output_list_count();
    if (count <= 0) return 0;
    int index = input ? host_.input_list_selection() : host_.output_list_selection();
    if (index < 0 || index >= count) index = 0;
    return input ? host_.input_list_item_data(index) : host_.output_list_item_data(index);
}

int audio_stream::open_stream() {
    // Cleared before anything can open a box: a close requested from inside a
    // box's loop during the open must still count when the open finishes.
    stopping_ = false;
    closing_ = false;

    const std::uint32_t capture_number = choose_device(true);
    const std::uint32_t playback_number = choose_device(false);
    if (devices_.query_capture(capture_number, stream_format) != mm_ok) return -1;
    if (devices_.query_playback(playback_number, stream_format) != mm_ok) return -2;

    // Playback first: when the output cannot be had, the microphone is not
    // touched at all.
    std::unique_ptr<playback_device> playback;
    if (devices_.open_playback(playback_number, stream_format, target_, playback) != mm_ok ||
        !playback) {
        return -2;
    }
    playback_handle_ = std::move(playback);
    std::unique_ptr<capture_device> capture;
    if (devices_.open_capture(capture_number, stream_format, target_, capture) != mm_ok ||
        !capture) {
        return -1;  // the playback device stays open, unused, until the end
    }
    capture_handle_ = std::move(capture);

    if (mic_mute_ != nullptr) mic_mute_->save_and_mute();

    // Each box below runs a nested loop that may close a device, so every
    // device call first checks that the device is still there.
    capture_prepared_ = true;
    for (int i = 0; i < buffer_count; ++i) {
        bind_header(capture_headers_[i], capture_buffers_[i].data());
        if (!capture_handle_) break;
        if (capture_handle_->prepare_header(capture_headers_[i]) != mm_ok) {
            report("In Prepare error");
        }
    }
    playback_prepared_ = true;
    for (int i = 0; i < buffer_count; ++i) {
        bind_header(playback_headers_[i], playback_buffers_[i].data());
        if (!playback_handle_) break;
        if (playback_handle_->prepare_header(playback_headers_[i]) != mm_ok) {
            report("Out Prepare error");
        }
    }

    capture_queued_ = 0;
    for (auto& header : capture_headers_) {
        if (!capture_handle_) break;
        if (capture_handle_->add_buffer(header) != mm_ok) report("Add buffer error");
        // A refused buffer is counted as queued all the same.
        ++capture_queued_;
    }
    playback_queued_ = 0;

    // Nothing is written to the output in advance: the first sound goes out
    // when the first captured block has been processed.
    if (capture_handle_ && capture_handle_->start() != mm_ok) report("Start error");

    record_target_.format = stream_format;
    // The path is kept whole, however long. Without a desktop folder there is
    // no file name at all, rather than a file at the root of the file system.
    const std::string desktop = desktop_path_ ? desktop_path_() : std::string{};
    record_target_.file_name =
        desktop.empty() ? std::string{} : desktop + std::string(recording_name);
    return 1;
}

bool audio_stream::is_capture_header(const wave_header* header) const noexcept {
    return std::any_of(capture_headers_.begin(), capture_headers_.end(),
                       [header](const wave_header& own) { return &own == header; });
}

void audio_stream::process_block(int slot, const wave_header& captured) {
    // The whole block, whatever the device says it recorded: a block given
    // back short still has 512 samples of buffer behind it.
    std::memcpy(input_copy_.data(), captured.data, block_bytes);
    std::int16_t* output = playback_buffers_[slot].data();
    const std::uint32_t written =
        std::min(processor_.process(output, input_copy_.data(), block_frames), block_frames);
    // Whatever the shifter did not write would otherwise replay this slot's
    // sound from ten blocks ago; it is silence instead.
    std::fill(output + written, output + block_frames, std::int16_t{0});
    ++processed_blocks_;
}

void audio_stream::on_capture_block(wave_header* header) {
    if (!capture_handle_) return;
    // Only our own buffers are counted, copied and handed back.
    if (!is_capture_header(header)) return;
    --capture_queued_;

    if (!stopping_) {
        const int slot = next_playback_slot_;
        if (playback_queued_ < buffer_count) {
            // Advanced before anything can open a box, so a block handled from
            // inside that box takes the next slot, not this one.
            next_playback_slot_ = (slot + 1) % buffer_count;
            if (!playback_handle_) return;
            process_block(slot, *header);
            wave_header& out = playback_headers_[slot];
            if (observer_ != nullptr) {
                observer_->show_level(out);
                observer_->write_block(out);
            }
            if (playback_handle_->write(out) != mm_ok) report("Wave out error");
            // Counted as queued even when refused; not when the stop deadline
            // closed the device while the box was open.
            if (playback_handle_) ++playback_queued_;
        } else {
            // The output is ten blocks behind: drop this one rather than grow
            // the delay. Its capture buffer goes straight back.
            ++dropped_blocks_;
        }
        if (!capture_handle_) return;
        // A stop begun from inside a box above has already reset the device;
        // a buffer added now would never come back, so it is kept.
        if (!stopping_) {
            if (capture_handle_->add_buffer(*header) != mm_ok) report("Add buffer error");
            if (!capture_handle_) return;
            ++capture_queued_;
        }
    }

    // Only during a stop can every capture buffer be back with us.
    if (capture_queued_ == 0) close_capture_after_stop();
}

void audio_stream::on_playback_done(wave_header* /*header*/) {
    if (!playback_handle_) return;
    --playback_queued_;
    // While the stream runs an empty queue only means the output caught up
    // with the input; the device stays open and the next block restarts it.
    if (playback_queued_ == 0 && stopping_) close_playback_after_stop();
    if (capture_queued_ == 0 && playback_queued_ == 0) finish_close();
}

void audio_stream::close_capture_after_stop() {
    for (auto& header : capture_headers_) {
        if (!capture_handle_) return;  // the stop deadline closed it from inside a box
        if (capture_handle_->unprepare_header(header) != mm_ok) report("In UnPrepare error");
    }
    if (!capture_handle_) return;
    capture_stats_ = capture_handle_->stats();
    capture_handle_->close();
    capture_handle_.reset();
    if (playback_queued_ == 0) finish_close();
}

void audio_stream::close_playback_after_stop() {
    for (auto& header : playback_headers_) {
        if (!playback_handle_) return;
        if (playback_handle_->unprepare_header(header) != mm_ok) report("Out UnPrepare error");
    }
    if (!playback_handle_) return;
    playback_stats_ = playback_handle_->stats();
    playback_handle_->close();
    playback_handle_.reset();
}

void audio_stream::finish_close() {
    // Both devices reach this point; the window needs one close, not two.
    if (closing_) return;
    closing_ = true;
    host_.post_close();
}

void audio_stream::request_stop() {
    stopping_ = true;
    if (playback_handle_) playback_handle_->reset();
    if (capture_handle_) capture_handle_->reset();
    // A refused write or re-add is counted but never comes back, and can
    // keep a count above 0 for ever; the deadline then closes what is open.
    if (!deadline_armed_ && !close_allowed()) {
        deadline_armed_ = true;
        host_.start_stop_deadline(stop_deadline);
    }
}

bool audio_stream::close_allowed() const noexcept {
    return closing_ || !capture_handle_ || !playback_handle_ || stream_state_ < 1;
}

void audio_stream::stop_deadline_passed() {
    if (!stopping_ || closing_) return;
    if (!capture_handle_ && !playback_handle_) return;
    force_close_playback(true);
    force_close_capture(true);
    finish_close();
}

void audio_stream::force_close_capture(bool report_errors) {
    if (!capture_handle_) return;
    // Taken out of its slot first: a handler entered from a box below sees
    // the device as closed and leaves it alone.
    std::unique_ptr<capture_device> device = std::move(capture_handle_);
    capture_queued_ = 0;
    device->reset();
    if (capture_prepared_) {
        for (auto& header : capture_headers_) {
            if (device->unprepare_header(header) != mm_ok && report_errors) {
                report("In UnPrepare error");
            }
        }
    }
    capture_stats_ = device->stats();
    device->close();
}

void audio_stream::force_close_playback(bool report_errors) {
    if (!playback_handle_) return;
    std::unique_ptr<playback_device> device = std::move(playback_handle_);
    playback_queued_ = 0;
    device->reset();
    if (playback_prepared_) {
        for (auto& header : playback_headers_) {
            if (device->unprepare_header(header) != mm_ok && report_errors) {
                report("Out UnPrepare error");
            }
        }
    }
    playback_stats_ = device->stats();
    device->close();
}

device_stats audio_stream::capture_stats() const {
    return capture_handle_ ? capture_handle_->stats() : capture_stats_;
}

device_stats audio_stream::playback_stats() const {
    return playback_handle_ ? playback_handle_->stats() : playback_stats_;
}

}  // namespace squeakbox
