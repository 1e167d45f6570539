#include "audio/sound_thread.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cstring>
#include <system_error>

namespace squeakbox {

namespace {

// Set on the sound thread only: news from it is queued, never delivered.
thread_local bool on_sound_thread = false;

// Above the desktop's ordinary threads, below the sound server's own: the
// blocks must not wait for a busy desktop, and the server must not wait for
// us. Without the right to it the thread runs at ordinary priority.
bool raise_to_real_time() noexcept {
    for (const int policy : {SCHED_FIFO, SCHED_RR}) {
        const int lowest = sched_get_priority_min(policy);
        const int highest = sched_get_priority_max(policy);
        if (lowest < 0 || highest < lowest) continue;
        sched_param parameters{};
        parameters.sched_priority = std::min(lowest + 4, highest);
        if (pthread_setschedparam(pthread_self(), policy, &parameters) == 0) return true;
    }
    return false;
}

std::size_t copy_text(std::string_view text, char* into, std::size_t room) noexcept {
    const std::size_t size = std::min(text.size(), room);
    // An empty view may carry no pointer at all, which memcpy must not see.
    if (size != 0) std::memcpy(into, text.data(), size);
    return size;
}

}  // namespace

// engine_commands

void engine_commands::hand_over(bool to_sound_thread) noexcept {
    queued_ = to_sound_thread;
    // Whatever the thread did not get to before it ended still counts.
    if (!to_sound_thread) apply_pending();
}

void engine_commands::send(command next) {
    if (!queued_) {
        apply(next);
        return;
    }
    // The sound thread empties the queue as soon as it is woken, so a full
    // queue lasts a moment; the window may wait for it, the sound never waits
    // for the window.
    while (!queue_.push(next)) {
        wakeup_.signal();
        std::this_thread::yield();
    }
    wakeup_.signal();
}

void engine_commands::apply_pending() noexcept {
    wakeup_.clear();
    command next;
    while (queue_.pop(next)) apply(next);
}

void engine_commands::apply(const command& next) noexcept {
    switch (next.kind) {
        case command_kind::pitch:
            shifter_.set_pitch_semitones(next.value);
            break;
        case command_kind::latency:
            shifter_.set_latency(next.value != 0 ? latency_mode::low : latency_mode::normal);
            break;
        case command_kind::bypass:
            if (bypass_ != nullptr) bypass_->set_bypass(next.value != 0);
            break;
        case command_kind::voice:
            shifter_.set_voice(next.value != 0 ? voice_kind::natural : voice_kind::squeak);
            break;
        case command_kind::timbre:
            shifter_.set_timbre_semitones(next.value);
            break;
    }
    publish_delay();
}

// shared_recording

void shared_recording::hold_for_window() noexcept {
    // The sound thread holds the recorder only while it hands over one block,
    // which never waits for the disk in real time.
    for (;;) {
        int expected = nobody;
        if (holder_.compare_exchange_weak(expected, window, std::memory_order_acquire)) return;
        std::this_thread::yield();
    }
}

bool shared_recording::write_waiting(std::string& reason) {
    while (const waiting_block* block = waiting_.front()) {
        wave_header header{};
        header.data = reinterpret_cast<char*>(const_cast<std::int16_t*>(block->samples.data()));
        header.buffer_length = block->bytes;
        const bool written = recorder_.write_block(header, reason);
        waiting_.drop_front();
        if (!written) return false;
    }
    return true;
}

void shared_recording::end_recording() noexcept {
    open_.store(false, std::memory_order_relaxed);
    while (waiting_.drop_front()) {
    }
}

bool shared_recording::open_file(const record_target& target, std::string& reason) {
    hold_for_window();
    const bool opened = recorder_.open_file(target, reason);
    open_.store(opened, std::memory_order_relaxed);
    release();
    return opened;
}

bool shared_recording::write_block(const wave_header& header, std::string& reason) {
    if (!open_.load(std::memory_order_acquire)) return true;
    int expected = nobody;
    if (!holder_.compare_exchange_strong(expected, sound, std::memory_order_acquire)) {
        // The window holds the recorder: the block waits for the next one.
        waiting_block block;
        block.bytes = std::min<std::uint32_t>(header.buffer_length, block_bytes);
        if (header.data != nullptr) std::memcpy(block.samples.data(), header.data, block.bytes);
        if (!waiting_.push(block)) lost_blocks_.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    bool written = true;
    if (open_.load(std::memory_order_relaxed)) {
        written = write_waiting(reason) && recorder_.write_block(header, reason);
        if (!written) end_recording();
    }
    release();
    return written;
}

void shared_recording::close_file() {
    hold_for_window();
    // What waited for the window goes into the file before it is finished.
    std::string ignored;
    if (open_.load(std::memory_order_relaxed)) write_waiting(ignored);
    end_recording();
    recorder_.close_file();
    release();
}

void shared_recording::close_file_in_background() {
    hold_for_window();
    std::string ignored;
    if (open_.load(std::memory_order_relaxed)) write_waiting(ignored);
    end_recording();
    recorder_.close_file_in_background();
    release();
}

bool shared_recording::take_failure(std::string& reason) {
    hold_for_window();
    const bool failed = recorder_.take_failure(reason);
    if (failed) end_recording();
    release();
    return failed;
}

// threaded_stream

threaded_stream::threaded_stream(sound_system& devices, stream_listener& window,
                                 const stream_maker& make, engine_commands* commands)
    : devices_(devices),
      window_(window),
      commands_(commands),
      notices_(std::make_unique<spsc_ring<notice, 64>>()) {
    stream_ = make(*this);
}

threaded_stream::~threaded_stream() {
    stop_thread();
    // Closing the devices may still report; the window hears it directly.
    stream_.reset();
}

stream_status threaded_stream::open_stream(std::uint32_t capture_number,
                                           std::uint32_t playback_number) {
    // Opened on the window's thread: opening waits for the server and may show
    // boxes. The blocks go to the thread once the window is done starting.
    return stream_->open_stream(capture_number, playback_number);
}

void threaded_stream::move_to_own_thread() {
    // A stop that came first keeps the stream where it is, for its handshake.
    if (stream_->stream_state() != stream_running || stream_->stopping() || stream_->closing())
        return;
    start_thread();
}

void threaded_stream::request_stop() {
    // The window takes the stream back for the closing handshake: the thread
    // ends after the block in hand, and the devices' notifications come to
    // the window again.
    stop_thread();
    stream_->request_stop();
}

void threaded_stream::stop_deadline_passed() {
    stop_thread();
    stream_->stop_deadline_passed();
}

void threaded_stream::start_thread() {
    if (worker_.joinable()) return;
    if (commands_ != nullptr) commands_->hand_over(true);
    quit_.store(false, std::memory_order_relaxed);
    try {
        worker_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        // No thread to be had: the sound stays on the window's thread, as it
        // ran before there was one.
        if (commands_ != nullptr) commands_->hand_over(false);
    }
}

void threaded_stream::stop_thread() {
    if (!worker_.joinable()) return;
    quit_.store(true, std::memory_order_release);
    quit_wakeup_.signal();
    worker_.join();
    if (commands_ != nullptr) commands_->hand_over(false);
}

void threaded_stream::run() noexcept {
    on_sound_thread = true;
    real_time_.store(raise_to_real_time(), std::memory_order_relaxed);
    const int device_fd = devices_.event_fd();
    std::array<pollfd, 3> watched{};
    watched[0] = {quit_wakeup_.fd(), POLLIN, 0};
    watched[1] = {commands_ != nullptr ? commands_->wake_fd() : -1, POLLIN, 0};
    watched[2] = {device_fd, POLLIN, 0};
    // A backend without a descriptor is asked often; with one, the timeout is
    // only a safety net against a lost wake-up.
    const int timeout_ms = device_fd >= 0 ? 250 : 1;
    while (!quit_.load(std::memory_order_acquire)) {
        ::poll(watched.data(), watched.size(), timeout_ms);
        if (quit_.load(std::memory_order_acquire)) break;
        // Only looked at when woken for: every look is a system call.
        if (commands_ != nullptr && (watched[1].revents & POLLIN) != 0) commands_->apply_pending();
        devices_.dispatch_pending();
    }
    quit_wakeup_.clear();
}

// stream_listener, as the stream calls it

bool threaded_stream::must_queue() const noexcept {
    return on_sound_thread || !notices_->empty();
}

void threaded_stream::queue(notice_kind kind, std::string_view text, std::string_view title) {
    notice next;
    next.kind = kind;
    next.text_size =
        static_cast<std::uint16_t>(copy_text(text, next.text.data(), next.text.size()));
    next.title_size =
        static_cast<std::uint8_t>(copy_text(title, next.title.data(), next.title.size()));
    // Sixty-four notices unread mean a flood of refused device calls while the
    // window is held up; the window has heard of the failure by then.
    if (notices_->push(next)) notices_wakeup_.signal();
}

void threaded_stream::message_box(std::string_view text, std::string_view title) {
    if (must_queue()) return queue(notice_kind::message_box, text, title);
    window_.message_box(text, title);
}

void threaded_stream::post_close() {
    if (must_queue()) return queue(notice_kind::post_close);
    window_.post_close();
}

void threaded_stream::start_stop_deadline(std::chrono::milliseconds delay) {
    // Only a stop arms it, and a stop runs on the window's thread.
    window_.start_stop_deadline(delay);
}

void threaded_stream::show_level(level_reading level) {
    if (!on_sound_thread) {
        window_.show_level(level);
        return;
    }
    level_.store(std::uint64_t{level.level} << 32 | static_cast<std::uint32_t>(level.peak),
                 std::memory_order_relaxed);
    level_fresh_.store(true, std::memory_order_release);
    // No screen shows more than one level a frame: waking the window for
    // every block would only cost processor time. Whatever it wakes for, it
    // paints the latest level.
    const auto now = std::chrono::steady_clock::now();
    if (now - last_level_wake_ < level_wake_interval) return;
    last_level_wake_ = now;
    notices_wakeup_.signal();
}

void threaded_stream::recording_stopped(const std::string& reason) {
    if (must_queue()) return queue(notice_kind::recording_stopped, reason);
    window_.recording_stopped(reason);
}

void threaded_stream::capture_ended() {
    if (must_queue()) return queue(notice_kind::capture_ended);
    window_.capture_ended();
}

void threaded_stream::device_failed(const std::string& reason) {
    if (must_queue()) return queue(notice_kind::device_failed, reason);
    window_.device_failed(reason);
}

void threaded_stream::deliver_notices() {
    notices_wakeup_.clear();
    // Popped before it is told: a box's own loop may come back here for the
    // next one.
    notice next;
    while (notices_->pop(next)) {
        const std::string text(next.text.data(), next.text_size);
        const std::string title(next.title.data(), next.title_size);
        switch (next.kind) {
            case notice_kind::message_box:
                window_.message_box(text, title);
                break;
            case notice_kind::post_close:
                window_.post_close();
                break;
            case notice_kind::recording_stopped:
                window_.recording_stopped(text);
                break;
            case notice_kind::capture_ended:
                window_.capture_ended();
                break;
            case notice_kind::device_failed:
                window_.device_failed(text);
                break;
        }
    }
    // However long the window was held up, the bar shows the latest block.
    if (level_fresh_.exchange(false, std::memory_order_acquire)) {
        const std::uint64_t packed = level_.load(std::memory_order_relaxed);
        level_reading level;
        level.level = static_cast<std::uint32_t>(packed >> 32);
        level.peak = static_cast<std::int32_t>(static_cast<std::uint32_t>(packed));
        window_.show_level(level);
    }
}

}  // namespace squeakbox
