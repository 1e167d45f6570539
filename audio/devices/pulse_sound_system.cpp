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
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "audio/block_format.h"

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
constexpr std::uint32_t playback_max_bytes = 4 * bytes_per_second;
// What may wait at the server at most: its target and six blocks more, room
// for a writer that keeps a few blocks ahead and for the guess of where the
// server reads.
constexpr std::int64_t playback_backlog_bytes = playback_target_bytes + 6 * block_bytes;
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

// A server that went away is looked for again this often, for this long,
// before the run gives up on it; one try waits this long for an answer.
constexpr auto reconnect_period = std::chrono::milliseconds(100);
constexpr auto reconnect_limit = std::chrono::seconds(30);
constexpr auto reconnect_try_wait = std::chrono::milliseconds(1000);
// A microphone brought back is held to the clock this long, give or take
// this much (see take_after_gap()).
constexpr pa_usec_t settle_usec = 3 * PA_USEC_PER_SEC;
constexpr std::uint64_t settle_slack_frames = 2 * block_frames;
// How often the keeper looks at the server's news and fills gaps.
constexpr auto keeper_tick = std::chrono::milliseconds(10);

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
    friend bool operator==(const server_device&, const server_device&) = default;
};

// What the server has now, as the keeper last read it.
struct server_view {
    std::vector<server_device> sources;
    std::vector<server_device> sinks;
    std::string default_source;  // as "default" means it (see read_view())
    std::string default_sink;
    std::string server;  // "PulseAudio 16.1" or the like
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

    // The keeper: a thread of ours that mends what the server takes away. A
    // server that went away is connected to again and every open device is
    // brought back on it; a device that went away is replaced by the
    // server's default of its kind, until it comes back; a device that
    // follows the default moves with it. It holds `repair` while it mends,
    // so that a device is not closed under its hands.
    std::thread keeper;
    std::atomic<bool> keeper_quit{false};
    std::atomic<bool> devices_changed{false};
    std::atomic<bool> repair_wanted{false};
    std::mutex repair;
    server_view view;                     // the keeper's, under the loop's lock
    std::uint64_t view_generation = 0;    // under the loop's lock
    std::uint64_t listed_generation = 0;  // UI: the view the lists were made of
    bool reconnecting = false;
    std::chrono::steady_clock::time_point lost_at{};
    std::chrono::steady_clock::time_point last_try{};
    bool gave_up = false;
    // What the user is told of the moves, newest last (the keeper writes,
    // the window reads; neither is the sound's thread).
    mutable std::mutex news_mutex;
    std::array<std::string, pulse_sound_system::route_news_kept> news;
    std::uint64_t news_count = 0;

    impl() = default;
    ~impl() override;
    impl(const impl&) = delete;
    impl& operator=(const impl&) = delete;

    std::uint32_t device_count(device_direction direction) override;
    void describe(device_direction direction, std::uint32_t device, device_caps& caps) override;
    mm_result open(device_direction direction, std::uint32_t device, device_events& target,
                   std::shared_ptr<backend_queue>& opened) override;

    void connect(std::chrono::milliseconds timeout);
    bool connect_context(std::chrono::milliseconds timeout, std::string& why);
    void drop_context();
    void read_devices();
    void read_view();
    static void list_in_order(const server_view& from, std::vector<server_device>& to_sources,
                              std::vector<server_device>& to_sinks);
    void remove_leftovers();

    // The keeper's own thread.
    void keep();
    void keeper_round();
    void try_reconnect();
    void give_up();
    void tell(std::string text);

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

    // `follows_default`: the user chose the server's default, so the
    // stream moves with it.
    mm_result open(const std::string& device, bool virtual_mic, bool follows_default) {
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

    // The keeper, from here to the private part, under `repair` and the
    // loop's lock.
    [[nodiscard]] const std::string& wanted() const { return wanted_; }
    [[nodiscard]] const std::string& current() const { return current_; }
    [[nodiscard]] bool follows_default() const { return follows_default_; }
    [[nodiscard]] bool is_virtual_mic() const { return virtual_mic_; }
    [[nodiscard]] bool in_use() const { return !closed() && !failed(); }
    bool take_stale() { return std::exchange(stale_, false); }
    [[nodiscard]] bool streaming() const {
        return stream_ != nullptr && pa_stream_get_state(stream_) == PA_STREAM_READY;
    }

    // The server went away with the stream: a gap begins. The virtual
    // microphone went with it, and is made again with the stream.
    void lose_stream() {
        disconnect();
        current_.clear();
        begin_gap();
    }

    // Brings the stream to `device`; an empty name: nothing fits now, and
    // the sound waits in silence. True when the stream is there.
    bool move_to(const std::string& device, bool afresh = false) {
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
        if (direction() == device_direction::playback) in_gap_ = false;
        return true;
    }

    // While the stream is gone the microphone's time goes on: silence, by
    // the clock, so a recording stays in time with the call; and what the
    // window plays meanwhile goes nowhere rather than piling up.
    void fill_gap(pa_usec_t now) {
        if (!in_gap_ || !in_use()) return;
        write_gap(now, gap_sounding_ ? settle_slack_frames : 0);
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

    void handle_fault() override {
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
    // With the loop locked. The server does not move the stream by itself:
    // when its device goes (unplugged, or its module unloaded), the server
    // ends the stream and the keeper picks where it goes, rather than the
    // server moving the microphone to whatever it likes, a monitor of the
    // desktop's own sound included.
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
            sound_sent_ = false;
            ring_.clear();
            pa_stream_set_started_callback(stream_, &started, this);
            pa_stream_write(stream_, silence.data(), sizeof silence, nullptr, 0, PA_SEEK_RELATIVE);
            system_.wait_until([this] { return started_.load(std::memory_order_acquire); },
                               start_wait);
        }
        // A stream brought back after a long gap is given its time anew.
        last_arrival_.store(pa_rtclock_now(), std::memory_order_relaxed);
        watch_ = pa_context_rttime_new(system_.context, pa_rtclock_now() + watch_period_usec,
                                       &watch, this);
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

    // A stream that ends by itself is the keeper's to mend: the gap it
    // leaves begins now.
    static void state_changed(pa_stream* stream, void* user) {
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

    // Under the loop's lock.
    void begin_gap() {
        if (in_gap_) return;
        in_gap_ = true;
        gap_sounding_ = false;
        gap_since_ = pa_rtclock_now();
        gap_frames_ = 0;
    }

    // Under the loop's lock: the frames the clock says have passed since the
    // gap began.
    [[nodiscard]] std::uint64_t gap_due(pa_usec_t now) const {
        return (now - gap_since_) * sample_rate / PA_USEC_PER_SEC;
    }

    // Under the loop's lock: silence up to `behind` frames short of `now`.
    void write_gap(pa_usec_t now, std::uint64_t behind) {
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

    static void readable(pa_stream* stream, std::size_t, void* user) {
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
    void take_after_gap(pa_stream* stream) {
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
        if (now >= settle_until_) in_gap_ = false;
        if (captured_frames_ / wake_frames != before / wake_frames) wakeup_->signal();
    }

    // The sound waiting at the server in this stream, in bytes: by the
    // server's last word on where it reads, and the clock since. -1 when
    // that is not known, or the stream was not playing then (it may have
    // started since, and the guess would be too high).
    [[nodiscard]] std::int64_t server_backlog_bytes() const {
        const pa_timing_info* t = pa_stream_get_timing_info(stream_);
        if (t == nullptr || t->write_index_corrupt != 0 || t->read_index_corrupt != 0 ||
            t->playing == 0)
            return -1;
        const auto read =
            t->read_index + static_cast<std::int64_t>(pa_timeval_age(&t->timestamp) *
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
    // The oldest frames beyond that are dropped, counted block by block as
    // the stream counts the blocks it drops for the same reason.
    void send_to_server() {
        if (stream_ == nullptr || pa_stream_get_state(stream_) != PA_STREAM_READY) return;
        if (const std::int64_t backlog = server_backlog_bytes(); backlog >= 0) {
            const std::size_t waiting = ring_.size();
            const std::int64_t room = std::max<std::int64_t>(0, playback_backlog_bytes - backlog);
            const std::size_t keep = std::min(waiting, static_cast<std::size_t>(room / 2));
            if (waiting > keep) {
                const std::size_t dropped = waiting - keep;
                ring_.consume(dropped);
                for (std::size_t b = 0; b < dropped; b += block_frames) count_overrun();
            }
        }
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

    std::shared_ptr<notification_wakeup> wakeup_;
    system_impl& system_;
    const std::string description_;
    frame_ring ring_;
    pa_stream* stream_ = nullptr;
    pa_time_event* watch_ = nullptr;
    pa_io_event* wake_ = nullptr;
    int wake_fd_ = -1;
    bool owns_virtual_mic_ = false;
    // Under the loop's lock: what the user chose, where the stream is now
    // (empty while it is nowhere), and the gap since it went.
    std::string wanted_;
    std::string current_;
    bool follows_default_ = false;
    bool virtual_mic_ = false;
    bool in_gap_ = false;
    bool gap_sounding_ = false;  // the microphone brought back delivers again
    pa_usec_t settle_until_ = 0;
    pa_usec_t gap_since_ = 0;
    std::uint64_t gap_frames_ = 0;
    std::vector<std::int16_t> scratch_;  // UI
    std::uint64_t captured_frames_ = 0;  // libpulse's thread, since the last start
    std::atomic<bool> started_{false};
    bool sound_sent_ = false;        // libpulse's thread
    std::uint64_t sent_frames_ = 0;  // libpulse's thread: frames written to the server
    std::atomic<bool> live_{false};
    std::atomic<bool> accepting_{false};
    std::atomic<pa_usec_t> last_arrival_{0};
    bool silence_told_ = false;     // under the loop's lock
    bool silence_retried_ = false;  // under the loop's lock
    bool stale_ = false;            // under the loop's lock: wants a fresh stream
};

std::string owner_mark() {
    return std::string(owner_key) + "=" + std::to_string(::getpid());
}

}  // namespace

void pulse_sound_system::impl::connect(std::chrono::milliseconds timeout) {
    loop = pa_threaded_mainloop_new();
    if (loop == nullptr || pa_threaded_mainloop_start(loop) != 0) {
        problem = "cannot start libpulse's thread";
        return;
    }
    const loop_lock lock(loop);
    if (!connect_context(timeout, problem)) return;
    remove_leftovers();
    read_devices();
    keeper = std::thread([this] { keep(); });
}

// With the loop locked: a context of its own, ready, or `why` says why not.
// The one in use is replaced only by one that answers, so that every call
// finds a context, be it one whose server went away.
bool pulse_sound_system::impl::connect_context(std::chrono::milliseconds timeout,
                                               std::string& why) {
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "Squeakbox");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "squeakbox");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ICON_NAME, "squeakbox");
    pa_context* fresh =
        pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop), "Squeakbox", properties);
    pa_proplist_free(properties);
    if (fresh == nullptr) {
        why = "cannot start libpulse's thread";
        return false;
    }
    const auto fail = [&](std::string text) {
        why = std::move(text);
        pa_context_disconnect(fresh);
        pa_context_unref(fresh);
        return false;
    };
    // Looking for a server must not start one.
    if (pa_context_connect(fresh, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return fail(pa_strerror(pa_context_errno(fresh)));
    const auto settled = [fresh] {
        const pa_context_state_t state = pa_context_get_state(fresh);
        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    };
    if (!wait_until(settled, timeout)) return fail("the sound server does not answer");
    if (pa_context_get_state(fresh) != PA_CONTEXT_READY)
        return fail(pa_strerror(pa_context_errno(fresh)));
    drop_context();
    context = fresh;
    pa_context_set_state_callback(
        context,
        [](pa_context* c, void* user) {
            if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(c)))
                static_cast<impl*>(user)->server_lost.store(true, std::memory_order_release);
        },
        this);
    // Devices that come and go, and a new default.
    pa_context_set_subscribe_callback(
        context,
        [](pa_context*, pa_subscription_event_type_t, std::uint32_t, void* user) {
            static_cast<impl*>(user)->devices_changed.store(true, std::memory_order_release);
        },
        this);
    forget(pa_context_subscribe(context,
                                static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK |
                                                                    PA_SUBSCRIPTION_MASK_SOURCE |
                                                                    PA_SUBSCRIPTION_MASK_SERVER),
                                nullptr, nullptr));
    server_lost.store(false, std::memory_order_release);
    return true;
}

// With the loop locked.
void pulse_sound_system::impl::drop_context() {
    if (context == nullptr) return;
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_set_subscribe_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);
    context = nullptr;
}

// With the loop locked: the server's devices and defaults, into `view`.
void pulse_sound_system::impl::read_view() {
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
    server_view seen;
    seen.server = found.server;
    finish(pa_context_get_source_info_list(
               context,
               [](pa_context*, const pa_source_info* info, int eol, void* user) {
                   if (eol != 0 || info == nullptr) return;
                   static_cast<std::vector<server_device>*>(user)->push_back(
                       {info->name, info->description != nullptr ? info->description : info->name,
                        info->monitor_of_sink != PA_INVALID_INDEX, false});
               },
               &seen.sources),
           connect_wait);
    finish(pa_context_get_sink_info_list(
               context,
               [](pa_context*, const pa_sink_info* info, int eol, void* user) {
                   if (eol != 0 || info == nullptr) return;
                   static_cast<std::vector<server_device>*>(user)->push_back(
                       {info->name, info->description != nullptr ? info->description : info->name,
                        false, false});
               },
               &seen.sinks),
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
    seen.default_source = chosen_default(seen.sources, "PULSE_SOURCE", found.source);
    seen.default_sink = chosen_default(seen.sinks, "PULSE_SINK", found.sink);
    for (auto& d : seen.sources) d.is_default = d.name == seen.default_source;
    for (auto& d : seen.sinks) d.is_default = d.name == seen.default_sink;
    view = std::move(seen);
    ++view_generation;
}

void pulse_sound_system::impl::read_devices() {
    read_view();
    server = view.server;
    listed_generation = view_generation;
    list_in_order(view, sources, sinks);
}

void pulse_sound_system::impl::list_in_order(const server_view& from,
                                             std::vector<server_device>& to_sources,
                                             std::vector<server_device>& to_sinks) {
    std::vector<server_device> all_sources = from.sources;
    std::vector<server_device> all_sinks = from.sinks;
    to_sources.clear();
    to_sinks.clear();
    // The default first, the microphones, then the monitors of outputs.
    const auto take = [](std::vector<server_device>& from, std::vector<server_device>& to,
                         auto&& wanted) {
        for (auto& d : from)
            if (!d.name.empty() && wanted(d)) {
                to.push_back(std::move(d));
                d.name.clear();
            }
    };
    take(all_sources, to_sources, [](const server_device& d) { return d.is_default; });
    take(all_sources, to_sources, [](const server_device& d) { return !d.is_monitor; });
    take(all_sources, to_sources, [](const server_device&) { return true; });
    take(all_sinks, to_sinks, [](const server_device& d) { return d.is_default; });
    take(all_sinks, to_sinks, [](const server_device&) { return true; });
}

namespace {

// Where a stream belongs, by what the server has now: the chosen device
// while it is there (or the default, for one that follows it); else the
// default of its kind, but never a monitor (the desktop's own sound would
// go into the call) nor the Squeakbox microphone itself; empty when nothing
// fits.
std::string place_for(const server_view& view, device_direction direction,
                      const std::string& wanted, bool follows_default) {
    const bool capture = direction == device_direction::capture;
    const std::vector<server_device>& list = capture ? view.sources : view.sinks;
    const std::string& by_default = capture ? view.default_source : view.default_sink;
    const auto present = [&](const std::string& name) {
        return !name.empty() &&
               std::any_of(list.begin(), list.end(), [&](const auto& d) { return d.name == name; });
    };
    const std::string& first = follows_default ? by_default : wanted;
    if (present(first)) return first;
    const auto fits = [](const server_device& d) {
        return !d.is_monitor && d.name != pulse_sound_system::virtual_mic_source &&
               d.name != virtual_sink_name;
    };
    for (const server_device& d : list)
        if (d.name == by_default && fits(d)) return d.name;
    for (const server_device& d : list)
        if (fits(d)) return d.name;
    return {};
}

std::string description_in(const server_view& view, device_direction direction,
                           const std::string& name) {
    for (const server_device& d :
         direction == device_direction::capture ? view.sources : view.sinks)
        if (d.name == name) return d.description;
    return name;
}

}  // namespace

void pulse_sound_system::impl::keep() {
    while (!keeper_quit.load(std::memory_order_acquire)) {
        std::this_thread::sleep_for(keeper_tick);
        keeper_round();
    }
}

void pulse_sound_system::impl::keeper_round() {
    const std::lock_guard repairing(repair);
    const loop_lock lock(loop);
    std::erase_if(queues, [](const auto& q) { return q.expired(); });
    if (gave_up) return;
    std::vector<std::shared_ptr<pulse_queue>> open;
    for (const auto& weak : queues)
        if (auto queue = weak.lock(); queue != nullptr && queue->in_use())
            open.push_back(std::move(queue));

    if (server_lost.load(std::memory_order_acquire)) {
        const auto now = std::chrono::steady_clock::now();
        if (!reconnecting) {
            reconnecting = true;
            lost_at = now;
            for (const auto& queue : open) queue->lose_stream();
            // The server's modules went with it.
            virtual_modules.clear();
            loopback_module = PA_INVALID_INDEX;
            tell("The sound server went away; waiting for it to come back");
        }
        if (now - last_try >= reconnect_period) {
            last_try = now;
            try_reconnect();
        }
        if (server_lost.load(std::memory_order_acquire) && now - lost_at >= reconnect_limit)
            give_up();
    } else if (devices_changed.exchange(false, std::memory_order_acq_rel) ||
               repair_wanted.exchange(false, std::memory_order_acq_rel)) {
        read_view();
        for (const auto& queue : open) {
            const std::string place = queue->is_virtual_mic()
                                          ? std::string(virtual_sink_name)
                                          : place_for(view, queue->direction(), queue->wanted(),
                                                      queue->follows_default());
            const bool stale = queue->take_stale();
            if (!stale && place == queue->current() && queue->streaming()) continue;
            const std::string was = queue->current();
            const bool there = queue->move_to(place, stale);
            if (queue->is_virtual_mic()) continue;
            const bool capture = queue->direction() == device_direction::capture;
            const std::string kind = capture ? "microphone" : "output";
            std::string line;
            if (stale && there && place == was) {
                line = "The " + kind + " \"" + description_in(view, queue->direction(), place) +
                       "\" went quiet and was opened again";
            } else if (!there) {
                line = "The " + kind + " \"" + description_in(view, queue->direction(), was) +
                       "\" is gone and no other fits; waiting for one";
            } else if (place == queue->wanted()) {
                line = "The " + kind + " \"" + description_in(view, queue->direction(), place) +
                       "\" is back";
            } else if (queue->follows_default()) {
                line = "The voice follows the default " + kind + " to \"" +
                       description_in(view, queue->direction(), place) + "\"";
            } else {
                line = "The " + kind + " \"" +
                       description_in(view, queue->direction(), queue->wanted()) +
                       "\" is gone; using \"" + description_in(view, queue->direction(), place) +
                       "\" meanwhile";
            }
            tell(std::move(line));
        }
    }
    const pa_usec_t now = pa_rtclock_now();
    for (const auto& queue : open) queue->fill_gap(now);
}

// With `repair` and the loop locked.
void pulse_sound_system::impl::try_reconnect() {
    std::string why;
    if (!connect_context(reconnect_try_wait, why)) return;
    reconnecting = false;
    read_view();
    for (const auto& weak : queues) {
        const auto queue = weak.lock();
        if (queue == nullptr || !queue->in_use()) continue;
        queue->move_to(
            queue->is_virtual_mic()
                ? std::string(virtual_sink_name)
                : place_for(view, queue->direction(), queue->wanted(), queue->follows_default()));
    }
    // A device that is not there yet is taken when it comes.
    devices_changed.store(true, std::memory_order_release);
    tell("The sound server is back; the voice goes on");
}

// No server came back in time: every open device fails as it did before
// anything was mended, and the user is told once.
void pulse_sound_system::impl::give_up() {
    gave_up = true;
    for (const auto& weak : queues)
        if (const auto queue = weak.lock()) queue->raise_fault();
}

void pulse_sound_system::impl::tell(std::string text) {
    const std::lock_guard hold(news_mutex);
    news[news_count % news.size()] = std::move(text);
    ++news_count;
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
    keeper_quit.store(true, std::memory_order_release);
    if (keeper.joinable()) keeper.join();
    for (const auto& weak : queues)
        if (const auto queue = weak.lock()) queue->shutdown();
    if (loop != nullptr) {
        {
            const loop_lock lock(loop);
            unload_virtual_mic();
            drop_context();
        }
        pa_threaded_mainloop_stop(loop);
    }
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
    const mm_result result = queue->open(virtual_mic ? virtual_sink_name : d->name, virtual_mic,
                                         !virtual_mic && d->is_default);
    if (result != mm_ok) return result;
    {
        const std::lock_guard repairing(repair);
        std::erase_if(queues, [](const auto& q) { return q.expired(); });
        queues.push_back(queue);
    }
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
    if (!ready()) {
        impl_.hear_yourself = on;
        return false;
    }
    const std::lock_guard repairing(impl_.repair);
    const loop_lock lock(impl_.loop);
    impl_.hear_yourself = on;
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

bool pulse_sound_system::refresh_devices() {
    if (!ready()) return false;
    std::vector<server_device> sources;
    std::vector<server_device> sinks;
    {
        const loop_lock lock(impl_.loop);
        if (impl_.view_generation == impl_.listed_generation) return false;
        impl_.listed_generation = impl_.view_generation;
        impl::list_in_order(impl_.view, sources, sinks);
    }
    if (sources == impl_.sources && sinks == impl_.sinks) return false;
    impl_.sources = std::move(sources);
    impl_.sinks = std::move(sinks);
    return true;
}

std::vector<std::string> pulse_sound_system::routes_since(std::uint64_t& seen) const {
    const std::lock_guard hold(impl_.news_mutex);
    const std::uint64_t count = impl_.news_count;
    std::uint64_t from = std::max(seen, count - std::min<std::uint64_t>(count, route_news_kept));
    std::vector<std::string> lines;
    for (; from < count; ++from) lines.push_back(impl_.news[from % route_news_kept]);
    seen = count;
    return lines;
}

}  // namespace squeakbox
