#include "audio/devices/pulse_sound_system.h"

#include <pulse/pulseaudio.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <utility>
#include <vector>

#include "audio/block_format.h"

namespace squeakbox {
namespace {

// Playback: the server plays about two blocks behind what it is given and
// starts (again) once two blocks are there. Writes are not held back to what
// the server asks for: a microphone that delivers in bursts hands over
// seconds of sound at once, and they wait at the server (up to
// `playback_max_bytes`).
constexpr std::uint32_t playback_target_bytes = 2 * block_bytes;
constexpr std::uint32_t playback_prebuffer_bytes = 2 * block_bytes;
constexpr std::uint32_t playback_min_request_bytes = block_bytes / 2;
constexpr std::uint32_t playback_max_bytes = 4 * bytes_per_second;
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

constexpr auto connect_wait = std::chrono::seconds(5);
constexpr auto start_wait = std::chrono::milliseconds(1500);
constexpr auto module_wait = std::chrono::seconds(3);
constexpr auto unload_wait = std::chrono::seconds(1);

// The mark on the server objects of a virtual microphone: the process that
// made it. A mark whose process is gone is a leftover of a killed run.
constexpr const char* owner_key = "squeakbox.virtual_mic";
constexpr const char* virtual_sink_name = "squeakbox_mic_input";

// Frames from one thread to another, copied in bulk. One producer, one
// consumer; neither locks, allocates or blocks.
class frame_ring {
  public:
    explicit frame_ring(std::size_t capacity) : frames_(capacity), mask_(capacity - 1) {}

    // Producer: stores up to `count` frames (silence for null), returns how many.
    std::size_t write(const std::int16_t* from, std::size_t count) noexcept {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        const std::size_t room = frames_.size() - (tail - head_.load(std::memory_order_acquire));
        const std::size_t n = std::min(room, count);
        for (std::size_t done = 0; done < n;) {
            const std::size_t at = (tail + done) & mask_;
            const std::size_t run = std::min(n - done, frames_.size() - at);
            if (from != nullptr)
                std::memcpy(&frames_[at], from + done, run * 2);
            else
                std::memset(&frames_[at], 0, run * 2);
            done += run;
        }
        tail_.store(tail + n, std::memory_order_release);
        return n;
    }

    // Consumer: the oldest frames that lie in one piece.
    [[nodiscard]] std::pair<const std::int16_t*, std::size_t> readable() const noexcept {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        const std::size_t count = tail_.load(std::memory_order_acquire) - head;
        const std::size_t at = head & mask_;
        return {&frames_[at], std::min(count, frames_.size() - at)};
    }
    void consume(std::size_t count) noexcept {
        head_.store(head_.load(std::memory_order_relaxed) + count, std::memory_order_release);
    }
    // Either side: how many frames wait (a snapshot).
    [[nodiscard]] std::size_t size() const noexcept {
        return tail_.load(std::memory_order_acquire) - head_.load(std::memory_order_acquire);
    }
    // Consumer, or anyone while the consumer is held off: forget everything.
    void clear() noexcept { head_.store(tail_.load(std::memory_order_acquire)); }

  private:
    std::vector<std::int16_t> frames_;
    const std::size_t mask_;
    alignas(64) std::atomic<std::size_t> head_{0};
    alignas(64) std::atomic<std::size_t> tail_{0};
};

// Holds libpulse's thread off while the user-interface thread talks to the
// server. Its callbacks are short, so this never waits long.
class loop_lock {
  public:
    explicit loop_lock(pa_threaded_mainloop* loop) : loop_(loop) {
        pa_threaded_mainloop_lock(loop_);
    }
    ~loop_lock() { pa_threaded_mainloop_unlock(loop_); }
    loop_lock(const loop_lock&) = delete;
    loop_lock& operator=(const loop_lock&) = delete;

  private:
    pa_threaded_mainloop* loop_;
};

void forget(pa_operation* op) {
    if (op != nullptr) pa_operation_unref(op);
}

struct server_device {
    std::string name;
    std::string description;
    bool is_monitor = false;
    bool is_default = false;
};

bool process_is_squeakbox(long pid) {
    if (pid <= 0) return false;
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return false;
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    // Without /proc (another system) a living process is given the benefit.
    return !comm || name.rfind("squeakbox", 0) == 0;
}

class pulse_queue;

}  // namespace

struct pulse_sound_system::impl final : device_backend {
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    std::string problem;
    std::string server;
    std::vector<server_device> sources;  // in list order
    std::vector<server_device> sinks;
    std::atomic<bool> server_lost{false};
    // UI only.
    bool failure_told = false;
    std::vector<std::uint32_t> virtual_modules;  // in load order
    // Hearing yourself: the wish, and the loopback that does it while the
    // virtual microphone is there.
    bool hear_yourself = false;
    std::uint32_t loopback_module = PA_INVALID_INDEX;
    std::vector<std::weak_ptr<pulse_queue>> queues;

    impl() = default;
    ~impl() override;
    impl(const impl&) = delete;
    impl& operator=(const impl&) = delete;

    std::uint32_t device_count(device_direction direction) override;
    void describe(device_direction direction, std::uint32_t device, device_caps& caps) override;
    mm_result open(device_direction direction, std::uint32_t device, device_events& target,
                   std::shared_ptr<backend_queue>& opened) override;

    void connect(std::chrono::milliseconds timeout);
    void read_devices();
    void remove_leftovers();

    [[nodiscard]] bool context_good() const {
        return context != nullptr && pa_context_get_state(context) == PA_CONTEXT_READY;
    }

    // With the loop locked: lets libpulse's thread run until `done` holds or
    // the time is up.
    template <typename Done>
    bool wait_until(Done done, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            pa_threaded_mainloop_unlock(loop);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            pa_threaded_mainloop_lock(loop);
        }
        return true;
    }
    // With the loop locked: waits for a request to the server to be answered.
    bool finish(pa_operation* op, std::chrono::milliseconds limit) {
        if (op == nullptr) return false;
        const bool done = wait_until(
            [&] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING || !context_good(); },
            limit);
        pa_operation_unref(op);
        return done;
    }

    // With the loop locked.
    bool load_virtual_mic();
    void wake_virtual_mic();
    void unload_virtual_mic();
    void load_loopback();
    void unload_loopback();
    std::uint32_t load_module(const char* name, const std::string& arguments);

    // UI: the first failure of a run is told; a second device of a server
    // that went away gives its buffers back quietly.
    bool tell_failure() { return !std::exchange(failure_told, true); }
};

namespace {

using system_impl = pulse_sound_system::impl;

// One opened device: its queue of lent buffers, its ring of frames and its
// stream at the server.
class pulse_queue final : public backend_queue {
  public:
    pulse_queue(device_direction direction, device_events& target,
                std::shared_ptr<notification_wakeup> wakeup, system_impl& system,
                std::string description)
        : backend_queue(direction, target, wakeup),
          wakeup_(std::move(wakeup)),
          system_(system),
          description_(std::move(description)),
          ring_(direction == device_direction::capture ? capture_ring_frames
                                                       : playback_ring_frames) {}

    ~pulse_queue() override { shutdown(); }

    mm_result open(const std::string& device, bool virtual_mic) {
        const loop_lock lock(system_.loop);
        if (!system_.context_good()) return mm_no_driver;
        if (virtual_mic) {
            if (!system_.load_virtual_mic()) return mm_error;
            owns_virtual_mic_ = true;
        }
        const mm_result result = connect(device);
        if (result != mm_ok && owns_virtual_mic_) {
            system_.unload_virtual_mic();
            owns_virtual_mic_ = false;
        }
        return result;
    }

    // Frames may be waiting for just this buffer.
    mm_result add_buffer(wave_header& header) override {
        const mm_result result = enqueue(header);
        if (result == mm_ok) service();
        return result;
    }

    mm_result start() override {
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

    mm_result write(wave_header& header) override {
        const mm_result result = enqueue(header);
        if (result != mm_ok || failed()) return result;
        service();
        return mm_ok;
    }

    mm_result reset() override {
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

    mm_result shutdown() override {
        if (closed()) return mm_invalid_handle;
        {
            const loop_lock lock(system_.loop);
            accepting_.store(false, std::memory_order_release);
            disconnect();
            if (owns_virtual_mic_) system_.unload_virtual_mic();
            owns_virtual_mic_ = false;
        }
        if (wake_fd_ >= 0) ::close(wake_fd_);
        wake_fd_ = -1;
        close();
        return mm_ok;
    }

    void handle_fault() override {
        if (failed() || closed()) return;
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
    void service() override {
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

  private:
    // With the loop locked. The stream stays on the device the user chose:
    // when that device goes (unplugged, or its module unloaded), the server
    // ends the stream and the user is told, rather than the voice moving
    // silently to whatever the server picks instead.
    mm_result connect(const std::string& device) {
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
            error = pa_stream_connect_record(
                stream_, device.c_str(), &attr,
                static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_START_CORKED |
                                               PA_STREAM_DONT_MOVE));
        } else {
            pa_stream_set_write_callback(stream_, &writable, this);
            pa_stream_set_underflow_callback(stream_, &underflow, this);
            pa_stream_set_overflow_callback(stream_, &overflow, this);
            pa_buffer_attr attr{};
            attr.maxlength = playback_max_bytes;
            attr.tlength = playback_target_bytes;
            attr.prebuf = playback_prebuffer_bytes;
            attr.minreq = playback_min_request_bytes;
            attr.fragsize = static_cast<std::uint32_t>(-1);
            error = pa_stream_connect_playback(
                stream_, device.c_str(), &attr,
                static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE),
                nullptr, nullptr);
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
            pa_stream_set_started_callback(stream_, &started, this);
            pa_stream_write(stream_, silence.data(), sizeof silence, nullptr, 0, PA_SEEK_RELATIVE);
            system_.wait_until([this] { return started_.load(std::memory_order_acquire); },
                               start_wait);
        }
        watch_ = pa_context_rttime_new(system_.context, pa_rtclock_now() + watch_period_usec,
                                       &watch, this);
        if (!capture) {
            wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
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
    void disconnect() {
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

    static void state_changed(pa_stream* stream, void* user) {
        auto* self = static_cast<pulse_queue*>(user);
        const pa_stream_state_t state = pa_stream_get_state(stream);
        if (state != PA_STREAM_FAILED && state != PA_STREAM_TERMINATED) return;
        if (pa_context_get_state(pa_stream_get_context(stream)) != PA_CONTEXT_READY)
            self->system_.server_lost.store(true, std::memory_order_release);
        if (self->live_.load(std::memory_order_acquire)) self->raise_fault();
    }

    static void readable(pa_stream* stream, std::size_t, void* user) {
        auto* self = static_cast<pulse_queue*>(user);
        const std::uint64_t before = self->captured_frames_;
        const void* data = nullptr;
        std::size_t bytes = 0;
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
        self->last_arrival_.store(pa_rtclock_now(), std::memory_order_relaxed);
        // The user-interface thread is woken when a block is complete: a
        // server that hands over a few milliseconds at a time would otherwise
        // wake it for every piece.
        if (self->captured_frames_ / wake_frames != before / wake_frames) self->wakeup_->signal();
    }

    // Everything written goes to the server at once, whatever it has asked
    // for: a server that stopped for want of sound starts again as soon as a
    // block is there, so a late block costs a moment's silence but leaves no
    // delay behind, and a sink that takes sound in bursts finds it waiting.
    void send_to_server() {
        if (stream_ == nullptr || pa_stream_get_state(stream_) != PA_STREAM_READY) return;
        for (;;) {
            const auto [frames, count] = ring_.readable();
            if (count == 0) return;
            if (pa_stream_write(stream_, frames, count * 2, nullptr, 0, PA_SEEK_RELATIVE) != 0)
                return;
            ring_.consume(count);
            sent_frames_ += count;
            sound_sent_ = true;
        }
    }

    static void writable(pa_stream*, std::size_t, void* user) {
        static_cast<pulse_queue*>(user)->send_to_server();
    }

    static void woken(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void* user) {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto got = ::read(fd, &count, sizeof count);
        static_cast<pulse_queue*>(user)->send_to_server();
    }

    // The silence played ahead runs out before the first block comes; only
    // a wait after that is an underrun.
    static void underflow(pa_stream*, void* user) {
        auto* self = static_cast<pulse_queue*>(user);
        if (self->sound_sent_) self->count_underrun(self->sent_frames_);
    }

    static void started(pa_stream*, void* user) {
        static_cast<pulse_queue*>(user)->started_.store(true, std::memory_order_release);
    }

    // Sound the server had no room for is lost sound.
    static void overflow(pa_stream*, void* user) {
        static_cast<pulse_queue*>(user)->count_overrun();
    }

    // What the server says the sound spends in this stream and its device.
    static void timing_known(pa_stream* stream, int success, void* user) {
        pa_usec_t latency = 0;
        int negative = 0;
        if (success == 0 || pa_stream_get_latency(stream, &latency, &negative) != 0) return;
        static_cast<pulse_queue*>(user)->set_latency(
            negative != 0 ? 0
                          : static_cast<std::uint32_t>(std::min<pa_usec_t>(latency, UINT32_MAX)));
    }

    static void watch(pa_mainloop_api*, pa_time_event* event, const timeval*, void* user) {
        auto* self = static_cast<pulse_queue*>(user);
        const pa_usec_t now = pa_rtclock_now();
        if (self->stream_ != nullptr && pa_stream_get_state(self->stream_) == PA_STREAM_READY)
            forget(pa_stream_update_timing_info(self->stream_, &timing_known, self));
        if (self->direction() == device_direction::capture &&
            self->accepting_.load(std::memory_order_acquire) && !self->silence_told_ &&
            now - self->last_arrival_.load(std::memory_order_relaxed) > silence_limit_usec) {
            self->silence_told_ = true;
            self->raise_fault();
        }
        pa_context_rttime_restart(self->system_.context, event, now + watch_period_usec);
    }

    std::shared_ptr<notification_wakeup> wakeup_;
    system_impl& system_;
    const std::string description_;
    frame_ring ring_;
    pa_stream* stream_ = nullptr;
    pa_time_event* watch_ = nullptr;
    pa_io_event* wake_ = nullptr;
    int wake_fd_ = -1;
    bool owns_virtual_mic_ = false;
    std::vector<std::int16_t> scratch_;  // UI
    std::uint64_t captured_frames_ = 0;  // libpulse's thread, since the last start
    std::atomic<bool> started_{false};
    bool sound_sent_ = false;        // libpulse's thread
    std::uint64_t sent_frames_ = 0;  // libpulse's thread: frames written to the server
    std::atomic<bool> live_{false};
    std::atomic<bool> accepting_{false};
    std::atomic<pa_usec_t> last_arrival_{0};
    bool silence_told_ = false;  // under the loop's lock
};

std::string owner_mark() {
    return std::string(owner_key) + "=" + std::to_string(::getpid());
}

}  // namespace

void pulse_sound_system::impl::connect(std::chrono::milliseconds timeout) {
    loop = pa_threaded_mainloop_new();
    if (loop == nullptr) {
        problem = "cannot start libpulse's thread";
        return;
    }
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "Squeakbox");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "squeakbox");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ICON_NAME, "squeakbox");
    context =
        pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop), "Squeakbox", properties);
    pa_proplist_free(properties);
    if (context == nullptr || pa_threaded_mainloop_start(loop) != 0) {
        problem = "cannot start libpulse's thread";
        return;
    }
    const loop_lock lock(loop);
    // Looking for a server must not start one.
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        problem = pa_strerror(pa_context_errno(context));
        return;
    }
    const auto settled = [this] {
        const pa_context_state_t state = pa_context_get_state(context);
        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    };
    if (!wait_until(settled, timeout)) {
        problem = "the sound server does not answer";
        pa_context_disconnect(context);
        return;
    }
    if (pa_context_get_state(context) != PA_CONTEXT_READY) {
        problem = pa_strerror(pa_context_errno(context));
        return;
    }
    pa_context_set_state_callback(
        context,
        [](pa_context* c, void* user) {
            if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(c)))
                static_cast<impl*>(user)->server_lost.store(true, std::memory_order_release);
        },
        this);
    remove_leftovers();
    read_devices();
}

void pulse_sound_system::impl::read_devices() {
    struct defaults {
        std::string source;
        std::string sink;
        std::string server;
    } found;
    finish(pa_context_get_server_info(
               context,
               [](pa_context*, const pa_server_info* info, void* user) {
                   auto* d = static_cast<defaults*>(user);
                   if (info == nullptr) return;
                   if (info->default_source_name != nullptr) d->source = info->default_source_name;
                   if (info->default_sink_name != nullptr) d->sink = info->default_sink_name;
                   d->server = std::string(info->server_name != nullptr ? info->server_name : "") +
                               " " + (info->server_version != nullptr ? info->server_version : "");
               },
               &found),
           connect_wait);
    server = found.server;

    std::vector<server_device> all_sources;
    std::vector<server_device> all_sinks;
    finish(pa_context_get_source_info_list(
               context,
               [](pa_context*, const pa_source_info* info, int eol, void* user) {
                   if (eol != 0 || info == nullptr) return;
                   static_cast<std::vector<server_device>*>(user)->push_back(
                       {info->name, info->description != nullptr ? info->description : info->name,
                        info->monitor_of_sink != PA_INVALID_INDEX, false});
               },
               &all_sources),
           connect_wait);
    finish(pa_context_get_sink_info_list(
               context,
               [](pa_context*, const pa_sink_info* info, int eol, void* user) {
                   if (eol != 0 || info == nullptr) return;
                   static_cast<std::vector<server_device>*>(user)->push_back(
                       {info->name, info->description != nullptr ? info->description : info->name,
                        false, false});
               },
               &all_sinks),
           connect_wait);

    // "default" is the server's default, or where PULSE_SOURCE and PULSE_SINK
    // send a program's sound, as they always have.
    const auto chosen_default = [](const std::vector<server_device>& list, const char* variable,
                                   const std::string& server_default) {
        const char* wanted = std::getenv(variable);
        if (wanted != nullptr &&
            std::any_of(list.begin(), list.end(), [&](const auto& d) { return d.name == wanted; }))
            return std::string(wanted);
        return server_default;
    };
    const std::string default_source = chosen_default(all_sources, "PULSE_SOURCE", found.source);
    const std::string default_sink = chosen_default(all_sinks, "PULSE_SINK", found.sink);
    for (auto& d : all_sources) d.is_default = d.name == default_source;
    for (auto& d : all_sinks) d.is_default = d.name == default_sink;

    // The default first, the microphones, then the monitors of outputs.
    const auto take = [](std::vector<server_device>& from, std::vector<server_device>& to,
                         auto&& wanted) {
        for (auto& d : from)
            if (!d.name.empty() && wanted(d)) {
                to.push_back(std::move(d));
                d.name.clear();
            }
    };
    take(all_sources, sources, [](const server_device& d) { return d.is_default; });
    take(all_sources, sources, [](const server_device& d) { return !d.is_monitor; });
    take(all_sources, sources, [](const server_device&) { return true; });
    take(all_sinks, sinks, [](const server_device& d) { return d.is_default; });
    take(all_sinks, sinks, [](const server_device&) { return true; });
}

void pulse_sound_system::impl::remove_leftovers() {
    struct module {
        std::uint32_t index;
        std::string argument;
    };
    std::vector<module> modules;
    finish(
        pa_context_get_module_info_list(
            context,
            [](pa_context*, const pa_module_info* info, int eol, void* user) {
                if (eol != 0 || info == nullptr || info->argument == nullptr) return;
                static_cast<std::vector<module>*>(user)->push_back({info->index, info->argument});
            },
            &modules),
        connect_wait);
    // Unloaded newest first: the source before the sink it listens to.
    std::reverse(modules.begin(), modules.end());
    const std::string key = std::string(owner_key) + "=";
    for (const module& m : modules) {
        const auto at = m.argument.find(key);
        if (at == std::string::npos) continue;
        const long pid = std::strtol(m.argument.c_str() + at + key.size(), nullptr, 10);
        if (process_is_squeakbox(pid)) continue;  // another running Squeakbox's
        finish(pa_context_unload_module(context, m.index, nullptr, nullptr), unload_wait);
    }
}

std::uint32_t pulse_sound_system::impl::load_module(const char* name,
                                                    const std::string& arguments) {
    std::uint32_t index = PA_INVALID_INDEX;
    const bool answered = finish(pa_context_load_module(
                                     context, name, arguments.c_str(),
                                     [](pa_context*, std::uint32_t idx, void* user) {
                                         *static_cast<std::uint32_t*>(user) = idx;
                                     },
                                     &index),
                                 module_wait);
    return answered ? index : PA_INVALID_INDEX;
}

bool pulse_sound_system::impl::load_virtual_mic() {
    const std::string mark = owner_mark();
    const std::string sink_arguments =
        std::string("sink_name=") + virtual_sink_name +
        " format=s16le rate=44100 channels=1 channel_map=mono"
        " sink_properties=\"device.description='Squeakbox-Mikrofon (Zuleitung)' " +
        mark + "\"";
    const std::string source_arguments =
        std::string("source_name=") + virtual_mic_source + " master=" + virtual_sink_name +
        ".monitor channels=1 channel_map=mono" +
        " source_properties=\"device.description=" + virtual_mic_description +
        " device.icon_name=audio-input-microphone " + mark + "\"";
    for (const auto& [name, arguments] :
         {std::pair<const char*, const std::string&>{"module-null-sink", sink_arguments},
          std::pair<const char*, const std::string&>{"module-remap-source", source_arguments}}) {
        const std::uint32_t index = load_module(name, arguments);
        if (index == PA_INVALID_INDEX) {
            unload_virtual_mic();
            return false;
        }
        virtual_modules.push_back(index);
        // A null sink runs on a timer of its own and, while nobody plays into
        // it, renders far ahead of the clock (up to its largest latency, two
        // seconds). A stream that connects then finds the sink's clock ahead:
        // whatever it plays waits until the clock has caught up, and that wait
        // stays in the stream as delay for the whole run, a third of a second
        // and more. Held suspended until our stream is there, the sink starts
        // its clock afresh at the latency our stream asks for.
        if (virtual_modules.size() == 1)
            finish(pa_context_suspend_sink_by_name(context, virtual_sink_name, 1, nullptr, nullptr),
                   module_wait);
    }
    if (hear_yourself) load_loopback();
    return true;
}

void pulse_sound_system::impl::wake_virtual_mic() {
    finish(pa_context_suspend_sink_by_name(context, virtual_sink_name, 0, nullptr, nullptr),
           module_wait);
}

// Hearing yourself takes a copy of the Squeakbox microphone to the desktop's
// own output, as a loopback of the server's: the call side keeps its road as
// it is, and no second engine runs. It follows the server's default output,
// so a headset plugged in meanwhile gets it.
void pulse_sound_system::impl::load_loopback() {
    if (loopback_module != PA_INVALID_INDEX || virtual_modules.empty()) return;
    const std::string mark = owner_mark();
    const std::string arguments =
        std::string("source=") + virtual_mic_source +
        " latency_msec=30 sink_input_properties=\"media.name='Squeakbox: hear yourself' " + mark +
        "\" source_output_properties=\"media.name='Squeakbox: hear yourself' " + mark + "\"";
    loopback_module = load_module("module-loopback", arguments);
}

void pulse_sound_system::impl::unload_loopback() {
    const std::uint32_t index = std::exchange(loopback_module, PA_INVALID_INDEX);
    if (index != PA_INVALID_INDEX && context_good())
        finish(pa_context_unload_module(context, index, nullptr, nullptr), unload_wait);
}

void pulse_sound_system::impl::unload_virtual_mic() {
    // The loopback listens to the microphone: it goes first.
    unload_loopback();
    while (!virtual_modules.empty()) {
        const std::uint32_t index = virtual_modules.back();
        virtual_modules.pop_back();
        if (context_good())
            finish(pa_context_unload_module(context, index, nullptr, nullptr), unload_wait);
    }
}

pulse_sound_system::impl::~impl() {
    for (const auto& weak : queues)
        if (const auto queue = weak.lock()) queue->shutdown();
    if (loop != nullptr) {
        {
            const loop_lock lock(loop);
            unload_virtual_mic();
            if (context != nullptr) {
                pa_context_set_state_callback(context, nullptr, nullptr);
                pa_context_disconnect(context);
            }
        }
        pa_threaded_mainloop_stop(loop);
    }
    if (context != nullptr) pa_context_unref(context);
    if (loop != nullptr) pa_threaded_mainloop_free(loop);
}

std::uint32_t pulse_sound_system::impl::device_count(device_direction direction) {
    if (direction == device_direction::capture) return static_cast<std::uint32_t>(sources.size());
    // The virtual microphone's entry ends the output list.
    return problem.empty() ? static_cast<std::uint32_t>(sinks.size()) + 1 : 0;
}

void pulse_sound_system::impl::describe(device_direction direction, std::uint32_t device,
                                        device_caps& caps) {
    // The server converts whatever the device runs at.
    caps.supports_44k_mono16 = true;
    if (direction == device_direction::playback && device == sinks.size()) {
        caps.name = virtual_mic_label;
        caps.id = virtual_mic_source;
        caps.is_default = false;
        return;
    }
    const server_device& d = (direction == device_direction::capture ? sources : sinks)[device];
    caps.name = d.description;
    caps.id = d.name;
    caps.is_default = d.is_default;
}

mm_result pulse_sound_system::impl::open(device_direction direction, std::uint32_t device,
                                         device_events& target,
                                         std::shared_ptr<backend_queue>& opened) {
    const bool virtual_mic = direction == device_direction::playback && device == sinks.size();
    const server_device* d =
        virtual_mic ? nullptr : &(direction == device_direction::capture ? sources : sinks)[device];
    auto queue = std::make_shared<pulse_queue>(direction, target, hub.wakeup(), *this,
                                               virtual_mic ? virtual_mic_label : d->description);
    const mm_result result = queue->open(virtual_mic ? virtual_sink_name : d->name, virtual_mic);
    if (result != mm_ok) return result;
    std::erase_if(queues, [](const auto& q) { return q.expired(); });
    queues.push_back(queue);
    opened = std::move(queue);
    return mm_ok;
}

pulse_sound_system::pulse_sound_system(std::chrono::milliseconds timeout)
    : pulse_sound_system(std::make_unique<impl>()) {
    impl_.connect(timeout);
}

pulse_sound_system::pulse_sound_system(std::unique_ptr<impl> made)
    : backend_sound_system(std::move(made)), impl_(static_cast<impl&>(backend())) {}

pulse_sound_system::~pulse_sound_system() = default;

bool pulse_sound_system::ready() const {
    return impl_.problem.empty();
}

std::string pulse_sound_system::problem() const {
    return impl_.problem;
}

std::string pulse_sound_system::server_description() const {
    return impl_.server;
}

std::string pulse_sound_system::library_version() {
    return pa_get_library_version();
}

std::uint32_t pulse_sound_system::virtual_mic_device() const {
    return static_cast<std::uint32_t>(impl_.sinks.size());
}

bool pulse_sound_system::set_hear_yourself(bool on) {
    impl_.hear_yourself = on;
    if (!ready()) return false;
    const loop_lock lock(impl_.loop);
    if (!on) {
        impl_.unload_loopback();
        return true;
    }
    if (impl_.virtual_modules.empty()) return true;  // done when the microphone is made
    impl_.load_loopback();
    return impl_.loopback_module != PA_INVALID_INDEX;
}

bool pulse_sound_system::hearing_yourself() const {
    return impl_.loopback_module != PA_INVALID_INDEX;
}

}  // namespace squeakbox
