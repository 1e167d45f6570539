#pragma once
// The parts of the sound-server client that its files share: the system's
// own state (the connection, the device lists, the keeper, the Squeakbox
// microphone's modules), one opened device (pulse_queue), the lock that holds
// libpulse's thread off, and the constants more than one file needs.
//
//   pulse_server.cpp      the connection, the device lists, the keeper that
//                         mends what the server takes away, the public calls
//   pulse_stream.cpp      one device's stream and libpulse's callbacks
//   pulse_virtual_mic.cpp the Squeakbox microphone: its modules, the
//                         leftovers of killed runs, hearing yourself
//
// Only these files include this one.

#include <pulse/pulseaudio.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "audio/devices/pulse_sound_system.h"
#include "audio/spsc_ring.h"

namespace squeakbox {

constexpr auto connect_wait = std::chrono::seconds(5);

constexpr const char* virtual_sink_name = "squeakbox_mic_input";

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

inline void forget(pa_operation* op) {
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

class pulse_queue;

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
    // Streams whose microphone is in a gap the keeper fills by the clock;
    // with none, no news and the server there, its round is skipped.
    std::atomic<int> gaps_open{0};
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

using system_impl = pulse_sound_system::impl;

// One opened device: its queue of lent buffers, its ring of frames and its
// stream at the server.
class pulse_queue final : public backend_queue {
  public:
    pulse_queue(device_direction direction, device_events& target,
                std::shared_ptr<notification_wakeup> wakeup, system_impl& system,
                std::string description);

    ~pulse_queue() override {
        shutdown();
        set_in_gap(false);
    }

    mm_result open(const std::string& device, bool virtual_mic, bool follows_default);

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
    void lose_stream();
    bool move_to(const std::string& device, bool afresh = false);
    void fill_gap(pa_usec_t now);

    mm_result add_buffer(wave_header& header) override;
    mm_result start() override;
    mm_result write(wave_header& header) override;
    mm_result reset() override;
    mm_result shutdown() override;
    void handle_fault() override;
    void service() override;

  private:
    mm_result connect(const std::string& device);
    void disconnect();

    // libpulse's callbacks, and what they share with the keeper under the
    // loop's lock (see each in pulse_stream.cpp).
    static void state_changed(pa_stream* stream, void* user);
    void begin_gap();
    void set_in_gap(bool open);
    [[nodiscard]] std::uint64_t gap_due(pa_usec_t now) const;
    void write_gap(pa_usec_t now, std::uint64_t behind);
    static void readable(pa_stream* stream, std::size_t, void* user);
    void take_after_gap(pa_stream* stream);
    [[nodiscard]] std::int64_t server_backlog_bytes() const;
    void send_to_server();
    static void writable(pa_stream*, std::size_t, void* user);
    static void woken(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void* user);
    static void underflow(pa_stream*, void* user);
    static void started(pa_stream*, void* user);
    static void overflow(pa_stream*, void* user);
    static void timing_known(pa_stream* stream, int success, void* user);
    static void watch(pa_mainloop_api*, pa_time_event* event, const timeval*, void* user);

    std::shared_ptr<notification_wakeup> wakeup_;
    system_impl& system_;
    const std::string description_;
    spsc_ring<std::int16_t> ring_;  // frames between libpulse's thread and the UI
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

}  // namespace squeakbox
