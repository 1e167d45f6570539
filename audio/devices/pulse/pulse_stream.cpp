#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <utility>

#include "audio/block_format.h"
#include "audio/devices/pulse/pulse_internal.h"

namespace squeakbox {
namespace {

// Playback: the server plays about two blocks behind what it is given and
// starts (again) once two blocks are there. Writes are not held back to what
// the server asks for, but what waits there is bounded: a microphone that
// delivers in bursts hands over seconds of sound at once, and only the
// newest of it goes on (see send_to_server()).
constexpr std::uint32_t playback_target_bytes = 2 * block_bytes;
constexpr std::uint32_t playback_prebuffer_bytes = 2 * block_bytes;
constexpr std::uint32_t playback_min_request_bytes = block_bytes / 2;
// Into the Squeakbox microphone's sink, which is ours and renders on a timer
// in steps of the latency our stream asks for, the call's whole delay is
// what waits in our stream. A larger request makes those steps 2.9 ms
// instead of 5.8 ms, and the voice's first block is placed half a block
// after where the sink reads, so that one and a half blocks wait there
// instead of the two or three the start happened to leave (the silence
// played ahead, a first burst from the microphone). Half a block is what is
// left when the next block is due, still more than the sink takes at a step;
// and one and a half blocks start a stream that had run dry. A block that
// comes late after all costs an underrun, after which the stream waits for
// two blocks, as into a speaker.
constexpr std::uint32_t mic_min_request_bytes = 3 * block_bytes / 4;
constexpr std::uint32_t mic_prebuffer_bytes = 3 * block_bytes / 2;
constexpr std::int64_t mic_first_lead_bytes = block_bytes / 2;
constexpr std::uint32_t playback_max_bytes = 4 * bytes_per_second;
// What may wait at the server at most: its target and six blocks more, room
// for a writer that keeps a few blocks ahead and for the guess of where the
// server reads.
constexpr std::int64_t playback_backlog_bytes = playback_target_bytes + 6 * block_bytes;
// Cut back to, once over it: two blocks below, so that a backlog standing
// near the bound is not cut again at each new guess of where the server reads.
constexpr std::int64_t playback_cut_to_bytes = playback_backlog_bytes - 2 * block_bytes;
// Capture: the server hands over one block at a time, or less.
constexpr std::uint64_t wake_frames = block_bytes / 2;
constexpr std::uint32_t capture_fragment_bytes = block_bytes;

// Frames waiting between the server's thread and the user-interface thread.
// A monitor of an idle null sink delivers up to two seconds at once; the
// stream takes them block by block as it hands its buffers back.
constexpr std::size_t capture_ring_frames = std::size_t{1} << 18;   // 5.9 s
constexpr std::size_t playback_ring_frames = std::size_t{1} << 17;  // 3.0 s

// A running microphone that delivers nothing for this long is gone: far
// longer than any server holds sound back.
constexpr pa_usec_t silence_limit_usec = 6 * PA_USEC_PER_SEC;
constexpr pa_usec_t watch_period_usec = 500 * PA_USEC_PER_MSEC;

constexpr auto start_wait = std::chrono::milliseconds(1500);

// A microphone brought back is held to the clock this long, give or take
// this much (see take_after_gap()).
constexpr pa_usec_t settle_usec = 3 * PA_USEC_PER_SEC;
constexpr std::uint64_t settle_slack_frames = 2 * block_frames;

}  // namespace

pulse_queue::pulse_queue(device_direction direction, device_events& target,
                         std::shared_ptr<notification_wakeup> wakeup, system_impl& system,
                         std::string description)
    : backend_queue(direction, target, wakeup),
      wakeup_(std::move(wakeup)),
      system_(system),
      description_(std::move(description)),
      ring_(direction == device_direction::capture ? capture_ring_frames : playback_ring_frames) {}

// `follows_default`: the user chose the server's default, so the
// stream moves with it.
mm_result pulse_queue::open(const std::string& device, bool virtual_mic, bool follows_default) {
    const std::lock_guard repairing(system_.repair);
    const loop_lock lock(system_.loop);
    if (!system_.context_good()) return mm_no_driver;
    wanted_ = device;
    follows_default_ = follows_default;
    virtual_mic_ = virtual_mic;
    if (virtual_mic) {
        if (!system_.load_virtual_mic()) return mm_error;
        owns_virtual_mic_ = true;
    }
    const mm_result result = connect(device);
    if (result != mm_ok && owns_virtual_mic_) {
        system_.unload_virtual_mic();
        owns_virtual_mic_ = false;
    }
    if (result == mm_ok) current_ = device;
    return result;
}

// The server went away with the stream: a gap begins. The virtual
// microphone went with it, and is made again with the stream.
void pulse_queue::lose_stream() {
    disconnect();
    current_.clear();
    begin_gap();
}

// Brings the stream to `device`; an empty name: nothing fits now, and
// the sound waits in silence. True when the stream is there.
bool pulse_queue::move_to(const std::string& device, bool afresh) {
    if (!afresh && device == current_ && streaming()) return true;
    disconnect();
    current_.clear();
    begin_gap();
    if (device.empty()) return false;
    if (virtual_mic_ && system_.virtual_modules.empty()) {
        if (!system_.load_virtual_mic()) return false;
        owns_virtual_mic_ = true;
    }
    // The device may have been closed while the server was asked.
    if (!in_use() || connect(device) != mm_ok) return false;
    current_ = device;
    // A microphone's gap ends once its sound keeps time (see readable()).
    if (direction() == device_direction::playback) set_in_gap(false);
    return true;
}

// While the stream is gone the microphone's time goes on: silence, by
// the clock, so a recording stays in time with the call; and what the
// window plays meanwhile goes nowhere rather than piling up.
void pulse_queue::fill_gap(pa_usec_t now) {
    if (!in_gap_ || !in_use()) return;
    write_gap(now, gap_sounding_ ? settle_slack_frames : 0);
}

// Frames may be waiting for just this buffer.
mm_result pulse_queue::add_buffer(wave_header& header) {
    const mm_result result = enqueue(header);
    if (result == mm_ok) service();
    return result;
}

mm_result pulse_queue::start() {
    if (closed()) return mm_invalid_handle;
    if (failed() || stream_ == nullptr) return mm_error;
    const loop_lock lock(system_.loop);
    last_arrival_.store(pa_rtclock_now(), std::memory_order_relaxed);
    silence_told_ = false;
    captured_frames_ = 0;
    accepting_.store(true, std::memory_order_release);
    // Whatever the server kept while the microphone was off is old.
    forget(pa_stream_flush(stream_, nullptr, nullptr));
    forget(pa_stream_cork(stream_, 0, nullptr, nullptr));
    return mm_ok;
}

mm_result pulse_queue::write(wave_header& header) {
    const mm_result result = enqueue(header);
    if (result != mm_ok || failed()) return result;
    service();
    return mm_ok;
}

mm_result pulse_queue::reset() {
    if (closed()) return mm_invalid_handle;
    {
        const loop_lock lock(system_.loop);
        accepting_.store(false, std::memory_order_release);
        // The server's thread is held off: what it has not yet taken or
        // given can be forgotten from this side.
        ring_.clear();
        if (stream_ != nullptr && pa_stream_get_state(stream_) == PA_STREAM_READY) {
            if (direction() == device_direction::capture)
                forget(pa_stream_cork(stream_, 1, nullptr, nullptr));
            forget(pa_stream_flush(stream_, nullptr, nullptr));
        }
    }
    return_queued();
    return mm_ok;
}

mm_result pulse_queue::shutdown() {
    if (closed()) return mm_invalid_handle;
    {
        // Not while the keeper brings the stream back.
        const std::lock_guard repairing(system_.repair);
        const loop_lock lock(system_.loop);
        accepting_.store(false, std::memory_order_release);
        disconnect();
        if (owns_virtual_mic_) system_.unload_virtual_mic();
        owns_virtual_mic_ = false;
        if (wake_fd_ >= 0) ::close(wake_fd_);
        wake_fd_ = -1;
        close();
    }
    return mm_ok;
}

void pulse_queue::handle_fault() {
    if (failed() || closed()) return;
    // The keeper asks whether the device is still in use.
    const std::lock_guard repairing(system_.repair);
    const bool lost = system_.server_lost.load(std::memory_order_acquire);
    {
        const loop_lock lock(system_.loop);
        accepting_.store(false, std::memory_order_release);
        ring_.clear();
    }
    std::string reason;
    if (lost) {
        reason = "the sound server went away";
    } else {
        reason.append("the sound device \"").append(description_).append("\" stopped working");
    }
    report_failure(std::move(reason), system_.tell_failure());
}

// UI: the frames that came meanwhile go into the lent buffers, in order;
// the blocks written go to the ring towards the server.
void pulse_queue::service() {
    if (failed() || closed()) return;
    if (direction() == device_direction::capture) {
        while (has_queued()) {
            const auto [frames, count] = ring_.readable();
            if (count == 0) break;
            const std::size_t n = std::min(count, front_room());
            capture(frames, n);
            ring_.consume(n);
        }
        return;
    }
    bool moved = false;
    while (has_queued()) {
        const std::size_t n = front_room();
        if (scratch_.size() < n) scratch_.resize(n);
        play(scratch_.data(), n);
        if (ring_.write(scratch_.data(), n) < n) count_overrun();
        moved = true;
    }
    if (moved && wake_fd_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wake_fd_, &one, sizeof one);
    }
}

// With the loop locked. The server does not move the stream by itself:
// when its device goes (unplugged, or its module unloaded), the server
// ends the stream and the keeper picks where it goes, rather than the
// server moving the microphone to whatever it likes, a monitor of the
// desktop's own sound included.
mm_result pulse_queue::connect(const std::string& device) {
    const bool capture = direction() == device_direction::capture;
    const pa_sample_spec sample_format{PA_SAMPLE_S16LE, sample_rate, 1};
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_MEDIA_NAME,
                     capture ? "Squeakbox: voice in" : "Squeakbox: changed voice");
    pa_proplist_sets(properties, PA_PROP_MEDIA_ROLE, "phone");
    stream_ = pa_stream_new_with_proplist(system_.context, capture ? "voice in" : "voice out",
                                          &sample_format, nullptr, properties);
    pa_proplist_free(properties);
    if (stream_ == nullptr) return mm_no_memory;
    pa_stream_set_state_callback(stream_, &state_changed, this);

    int error = 0;
    if (capture) {
        pa_stream_set_read_callback(stream_, &readable, this);
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
        attr.fragsize = capture_fragment_bytes;
        // A stream brought back while the sound runs records at once.
        const bool corked = !accepting_.load(std::memory_order_acquire);
        error = pa_stream_connect_record(
            stream_, device.c_str(), &attr,
            static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE |
                                           (corked ? PA_STREAM_START_CORKED : 0)));
    } else {
        pa_stream_set_write_callback(stream_, &writable, this);
        pa_stream_set_underflow_callback(stream_, &underflow, this);
        pa_stream_set_overflow_callback(stream_, &overflow, this);
        pa_buffer_attr attr{};
        attr.maxlength = playback_max_bytes;
        attr.tlength = playback_target_bytes;
        attr.prebuf = owns_virtual_mic_ ? mic_prebuffer_bytes : playback_prebuffer_bytes;
        attr.minreq = owns_virtual_mic_ ? mic_min_request_bytes : playback_min_request_bytes;
        attr.fragsize = static_cast<std::uint32_t>(-1);
        error = pa_stream_connect_playback(
            stream_, device.c_str(), &attr,
            static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE), nullptr,
            nullptr);
    }
    const auto settled = [this] {
        const pa_stream_state_t state = pa_stream_get_state(stream_);
        return state != PA_STREAM_CREATING && state != PA_STREAM_UNCONNECTED;
    };
    if (error != 0 || !system_.wait_until(settled, connect_wait) ||
        pa_stream_get_state(stream_) != PA_STREAM_READY) {
        const int why = pa_context_errno(system_.context);
        disconnect();
        return why == PA_ERR_NOENTITY ? mm_bad_device_id : mm_error;
    }

    // Only now, with our stream in place, does the Squeakbox microphone's
    // sink start its clock (see load_virtual_mic()).
    if (owns_virtual_mic_) system_.wake_virtual_mic();
    if (!capture) {
        // The output is brought to life before the microphone starts: a
        // server output that is still waking up (a suspended card, a
        // graph being set up) would otherwise let the first blocks pile
        // up at the server, and that delay would stay for the whole run.
        static const std::array<std::int16_t, playback_prebuffer_bytes / 2> silence{};
        started_.store(false, std::memory_order_relaxed);
        sound_sent_ = false;
        ring_.clear();
        pa_stream_set_started_callback(stream_, &started, this);
        pa_stream_write(stream_, silence.data(), sizeof silence, nullptr, 0, PA_SEEK_RELATIVE);
        system_.wait_until([this] { return started_.load(std::memory_order_acquire); }, start_wait);
    }
    // A stream brought back after a long gap is given its time anew.
    last_arrival_.store(pa_rtclock_now(), std::memory_order_relaxed);
    watch_ =
        pa_context_rttime_new(system_.context, pa_rtclock_now() + watch_period_usec, &watch, this);
    if (!capture) {
        if (wake_fd_ < 0) wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (wake_fd_ < 0) {
            disconnect();
            return mm_no_memory;
        }
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(system_.loop);
        wake_ = api->io_new(api, wake_fd_, PA_IO_EVENT_INPUT, &woken, this);
    }
    live_.store(true, std::memory_order_release);
    return mm_ok;
}

// With the loop locked.
void pulse_queue::disconnect() {
    live_.store(false, std::memory_order_release);
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(system_.loop);
    if (watch_ != nullptr) api->time_free(watch_);
    watch_ = nullptr;
    if (wake_ != nullptr) api->io_free(wake_);
    wake_ = nullptr;
    if (stream_ == nullptr) return;
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
    pa_stream_set_underflow_callback(stream_, nullptr, nullptr);
    pa_stream_set_overflow_callback(stream_, nullptr, nullptr);
    pa_stream_set_started_callback(stream_, nullptr, nullptr);
    if (pa_stream_get_state(stream_) == PA_STREAM_READY) pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
}

// libpulse's thread, from here on: move frames, count, raise a fault;
// nothing else.

// A stream that ends by itself is the keeper's to mend: the gap it
// leaves begins now.
void pulse_queue::state_changed(pa_stream* stream, void* user) {
    auto* self = static_cast<pulse_queue*>(user);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state != PA_STREAM_FAILED && state != PA_STREAM_TERMINATED) return;
    if (!self->live_.load(std::memory_order_acquire)) return;
    self->begin_gap();
    if (pa_context_get_state(pa_stream_get_context(stream)) != PA_CONTEXT_READY)
        self->system_.server_lost.store(true, std::memory_order_release);
    else
        self->system_.repair_wanted.store(true, std::memory_order_release);
}

// Under the loop's lock, or once the queue is out of everybody's reach.
void pulse_queue::set_in_gap(bool open) {
    if (in_gap_ == open) return;
    in_gap_ = open;
    system_.gaps_open.fetch_add(open ? 1 : -1, std::memory_order_acq_rel);
}

// Under the loop's lock.
void pulse_queue::begin_gap() {
    if (in_gap_) return;
    set_in_gap(true);
    gap_sounding_ = false;
    gap_since_ = pa_rtclock_now();
    gap_frames_ = 0;
}

// Under the loop's lock: the frames the clock says have passed since the
// gap began.
std::uint64_t pulse_queue::gap_due(pa_usec_t now) const {
    return (now - gap_since_) * sample_rate / PA_USEC_PER_SEC;
}

// Under the loop's lock: silence up to `behind` frames short of `now`.
void pulse_queue::write_gap(pa_usec_t now, std::uint64_t behind) {
    if (direction() == device_direction::playback) {
        ring_.clear();
        return;
    }
    if (!accepting_.load(std::memory_order_acquire)) {
        gap_since_ = now;
        gap_frames_ = 0;
        return;
    }
    const std::uint64_t due = gap_due(now);
    if (due <= gap_frames_ + behind) return;
    const std::uint64_t before = captured_frames_;
    const std::size_t stored =
        ring_.write(nullptr, static_cast<std::size_t>(due - behind - gap_frames_));
    gap_frames_ = due - behind;
    captured_frames_ += stored;
    if (captured_frames_ / wake_frames != before / wake_frames) wakeup_->signal();
}

void pulse_queue::readable(pa_stream* stream, std::size_t, void* user) {
    auto* self = static_cast<pulse_queue*>(user);
    const std::uint64_t before = self->captured_frames_;
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (self->in_gap_) return self->take_after_gap(stream);
    while (pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
        // A hole in the server's buffer (data null) is silence.
        if (self->accepting_.load(std::memory_order_acquire)) {
            const std::size_t frames = bytes / 2;
            const std::size_t stored =
                self->ring_.write(static_cast<const std::int16_t*>(data), frames);
            if (stored < frames) self->count_overrun();
            self->captured_frames_ += stored;
        }
        pa_stream_drop(stream);
    }
    if (self->captured_frames_ == before) return;
    self->silence_retried_ = false;
    self->last_arrival_.store(pa_rtclock_now(), std::memory_order_relaxed);
    // The user-interface thread is woken when a block is complete: a
    // server that hands over a few milliseconds at a time would otherwise
    // wake it for every piece.
    if (self->captured_frames_ / wake_frames != before / wake_frames) self->wakeup_->signal();
}

// The sound of a microphone brought back: a server that was just
// started may hold it back for a while and then hand over seconds at
// once. Until it keeps time, the clock rules: silence where it lags
// (written up to the first sound here, later by the keeper), and the
// oldest frames dropped where it runs ahead, so a recording stays as long
// as the call and the voice does not come late.
void pulse_queue::take_after_gap(pa_stream* stream) {
    const pa_usec_t now = pa_rtclock_now();
    if (!gap_sounding_) {
        write_gap(now, 0);
        gap_sounding_ = true;
        settle_until_ = now + settle_usec;
    }
    const std::uint64_t before = captured_frames_;
    const std::uint64_t allowed = gap_due(now) + settle_slack_frames;
    const void* data = nullptr;
    std::size_t bytes = 0;
    while (pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
        if (accepting_.load(std::memory_order_acquire)) {
            const std::size_t frames = bytes / 2;
            const std::size_t take = static_cast<std::size_t>(
                std::min<std::uint64_t>(frames, allowed - std::min(allowed, gap_frames_)));
            const auto* from = static_cast<const std::int16_t*>(data);
            const std::size_t stored =
                ring_.write(from != nullptr ? from + (frames - take) : nullptr, take);
            if (stored < take) count_overrun();
            gap_frames_ += take;
            captured_frames_ += stored;
        }
        pa_stream_drop(stream);
    }
    last_arrival_.store(now, std::memory_order_relaxed);
    if (now >= settle_until_) set_in_gap(false);
    if (captured_frames_ / wake_frames != before / wake_frames) wakeup_->signal();
}

// The sound waiting at the server in this stream, in bytes: by the
// server's last word on where it reads, and the clock since. -1 when
// that is not known, or the stream was not playing then (it may have
// started since, and the guess would be too high).
std::int64_t pulse_queue::server_backlog_bytes() const {
    const pa_timing_info* t = pa_stream_get_timing_info(stream_);
    if (t == nullptr || t->write_index_corrupt != 0 || t->read_index_corrupt != 0 ||
        t->playing == 0)
        return -1;
    const auto read = t->read_index + static_cast<std::int64_t>(pa_timeval_age(&t->timestamp) *
                                                                bytes_per_second / PA_USEC_PER_SEC);
    return std::max<std::int64_t>(0, t->write_index - read);
}

// Everything written goes to the server at once, whatever it has asked
// for: a server that stopped for want of sound starts again as soon as a
// block is there, so a late block costs a moment's silence but leaves no
// delay behind, and a sink that takes sound in bursts finds it waiting.
// But never more than `playback_backlog_bytes` in all: a microphone that
// hands over seconds at once (a burst, a resume) would leave the call
// partner hearing the voice that much later for the rest of the call.
// Beyond that the oldest blocks are dropped, whole (a few frames cut out
// of a block would click, and the sound played would no longer be the
// recording's blocks), down to `playback_cut_to_bytes`; the stream counts
// each one as it counts the blocks it drops for the same reason.
void pulse_queue::send_to_server() {
    if (stream_ == nullptr || pa_stream_get_state(stream_) != PA_STREAM_READY) return;
    if (const std::int64_t backlog = server_backlog_bytes(); backlog >= 0) {
        const std::size_t waiting = ring_.size();
        if (static_cast<std::int64_t>(waiting * 2) > playback_backlog_bytes - backlog) {
            const std::int64_t room = std::max<std::int64_t>(0, playback_cut_to_bytes - backlog);
            const std::size_t over =
                waiting - std::min(waiting, static_cast<std::size_t>(room / 2));
            const std::size_t dropped =
                std::min(waiting, (over + block_frames - 1) / block_frames * block_frames);
            ring_.consume(dropped);
            for (std::size_t b = 0; b < dropped; b += block_frames) count_overrun();
        }
    }
    for (;;) {
        const auto [frames, count] = ring_.readable();
        if (count == 0) return;
        const bool placed = owns_virtual_mic_ && !sound_sent_;
        if (pa_stream_write(stream_, frames, count * 2, nullptr, placed ? mic_first_lead_bytes : 0,
                            placed ? PA_SEEK_RELATIVE_ON_READ : PA_SEEK_RELATIVE) != 0)
            return;
        ring_.consume(count);
        sent_frames_ += count;
        sound_sent_ = true;
    }
}

void pulse_queue::writable(pa_stream*, std::size_t, void* user) {
    static_cast<pulse_queue*>(user)->send_to_server();
}

void pulse_queue::woken(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void* user) {
    std::uint64_t count = 0;
    [[maybe_unused]] const auto got = ::read(fd, &count, sizeof count);
    static_cast<pulse_queue*>(user)->send_to_server();
}

// The silence played ahead runs out before the first block comes; only
// a wait after that is an underrun.
void pulse_queue::underflow(pa_stream*, void* user) {
    auto* self = static_cast<pulse_queue*>(user);
    if (self->sound_sent_) self->count_underrun(self->sent_frames_);
}

void pulse_queue::started(pa_stream*, void* user) {
    static_cast<pulse_queue*>(user)->started_.store(true, std::memory_order_release);
}

// Sound the server had no room for is lost sound.
void pulse_queue::overflow(pa_stream*, void* user) {
    static_cast<pulse_queue*>(user)->count_overrun();
}

// What the server says the sound spends in this stream and its device.
void pulse_queue::timing_known(pa_stream* stream, int success, void* user) {
    pa_usec_t latency = 0;
    int negative = 0;
    if (success == 0 || pa_stream_get_latency(stream, &latency, &negative) != 0) return;
    static_cast<pulse_queue*>(user)->set_latency(
        negative != 0 ? 0 : static_cast<std::uint32_t>(std::min<pa_usec_t>(latency, UINT32_MAX)));
}

void pulse_queue::watch(pa_mainloop_api*, pa_time_event* event, const timeval*, void* user) {
    auto* self = static_cast<pulse_queue*>(user);
    const pa_usec_t now = pa_rtclock_now();
    if (self->stream_ != nullptr && pa_stream_get_state(self->stream_) == PA_STREAM_READY)
        forget(pa_stream_update_timing_info(self->stream_, &timing_known, self));
    if (self->direction() == device_direction::capture &&
        self->accepting_.load(std::memory_order_acquire) && !self->silence_told_ &&
        now - self->last_arrival_.load(std::memory_order_relaxed) > silence_limit_usec) {
        if (!self->silence_retried_) {
            // A microphone gone quiet (a card plugged in again, a server
            // that suspended it and did not wake it after a resume) gets
            // a fresh stream once before it counts as gone.
            self->silence_retried_ = true;
            self->stale_ = true;
            self->last_arrival_.store(now, std::memory_order_relaxed);
            self->system_.repair_wanted.store(true, std::memory_order_release);
        } else {
            self->silence_told_ = true;
            self->raise_fault();
        }
    }
    pa_context_rttime_restart(self->system_.context, event, now + watch_period_usec);
}

}  // namespace squeakbox
