#pragma once
// The road of a buffer through a device, shared by every real backend.
//
// The user-interface thread lends a buffer to a device by queueing its header;
// the device's producer thread (an audio callback or a timer thread) fills or
// plays it and hands it back as a notification. Both directions pass through
// lock-free single-producer/single-consumer rings, so the producer never locks,
// allocates or blocks, and the user-interface thread is woken through an
// eventfd. dispatch_pending() then hands the notifications to the device's
// `device_events`, one at a time and in queue order.
//
// Thread roles: members marked "UI" run on the thread that drives the stream
// (the sound's own thread while it runs, the window's before and after); members
// marked "producer" run on the device's producer thread, or on the UI thread
// while the producer is stopped (reset, close, failure), which the backends
// guarantee by stopping their stream or timer first.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/sound_device.h"
#include "audio/spsc_ring.h"

namespace squeakbox {

// Wakes the user-interface loop: an eventfd that becomes readable when
// notifications are waiting. Signalling costs one write only when the loop has
// not been woken already since it last looked.
class notification_wakeup {
  public:
    notification_wakeup();
    ~notification_wakeup();
    notification_wakeup(const notification_wakeup&) = delete;
    notification_wakeup& operator=(const notification_wakeup&) = delete;

    [[nodiscard]] int fd() const noexcept { return fd_; }
    void signal() noexcept;  // any thread, real-time safe
    void clear() noexcept;   // UI, before looking at the rings

  private:
    int fd_ = -1;
    std::atomic<bool> signalled_{false};
};

enum class device_direction { capture, playback };

// One open device's queue of lent buffers and of notifications.
class device_queue {
  public:
    // Buffers a device holds at once; the stream lends ten.
    static constexpr std::size_t max_buffers = 64;

    device_queue(device_direction direction, device_events& target,
                 std::shared_ptr<notification_wakeup> wakeup);
    virtual ~device_queue() = default;
    device_queue(const device_queue&) = delete;
    device_queue& operator=(const device_queue&) = delete;

    // UI: the header calls of the device interface.
    mm_result prepare(wave_header& header) const;
    mm_result unprepare(wave_header& header) const;
    mm_result enqueue(wave_header& header);

    // UI, producer stopped: every buffer still queued is given back, each with
    // its notification, behind those already finished. A partly filled
    // capture buffer comes back with the bytes it holds.
    void return_queued();
    // UI, producer stopped: gives back what is queued, then reports the
    // failure. Buffers queued later stay with the device until reset or close.
    // Without `notify` the device fails as quietly as it can: its buffers come
    // back, but no report follows (another device of the same server has
    // already told the user).
    void report_failure(std::string reason, bool notify = true);
    // UI, producer stopped: no notification after this; buffers still lent
    // are released without one.
    void close() noexcept;

    // UI: delivers the oldest notification. False when there is none.
    bool deliver_one();
    [[nodiscard]] bool has_pending() const noexcept { return !done_.empty(); }
    [[nodiscard]] std::size_t pending_count() const noexcept { return done_.size(); }
    [[nodiscard]] bool closed() const noexcept { return closed_; }
    [[nodiscard]] bool failed() const noexcept { return failed_; }

    // Any thread: something noticed that the device failed (its stream ended
    // by itself, or its callbacks stopped). The UI thread acts on it in
    // dispatch_pending(), through handle_fault().
    void raise_fault() noexcept;
    bool take_fault() noexcept { return fault_raised_.exchange(false, std::memory_order_acq_rel); }
    // UI: stop the producer and call report_failure(). Backends override it.
    virtual void handle_fault() {}
    // UI, at the start of every dispatch: a backend whose user-interface side
    // moves frames between its own rings and the lent buffers does it here.
    virtual void service() {}

    // Producer: copies captured frames into the queued buffers, handing back
    // each buffer once full; returns the frames stored. Frames that found no
    // buffer are dropped and counted as an overrun. A null `frames` is silence.
    std::size_t capture(const std::int16_t* frames, std::size_t count) noexcept;
    // Producer: takes up to `count` frames from the queued buffers, handing
    // back each buffer once played; the rest of `out` is silence and counted
    // as an underrun. Returns the frames taken.
    std::size_t play(std::int16_t* out, std::size_t count) noexcept;
    // Producer: play() in two steps, for a device that must store the frames
    // before their buffers go back (a file): copies up to `count` frames
    // without taking them, then takes `taken` frames, handing back finished
    // buffers and counting an underrun when fewer than `wanted` were there.
    std::size_t peek(std::int16_t* out, std::size_t count) const noexcept;
    void take(std::size_t taken, std::size_t wanted) noexcept;
    // Producer: frames that still fit into (or remain in) the oldest buffer.
    [[nodiscard]] std::size_t front_room() const noexcept;
    [[nodiscard]] bool has_queued() const noexcept { return !queued_.empty(); }
    // Producer: the capture source has ended. A partly filled buffer is padded
    // with silence and handed back, then the end is reported, once.
    void end_of_capture() noexcept;
    void count_overrun() noexcept { overruns_.fetch_add(1, std::memory_order_relaxed); }
    // `played_frames`: the frames of sound played before the silence began.
    void count_underrun(std::uint64_t played_frames) noexcept;
    // Producer: the frames taken from the buffers so far.
    [[nodiscard]] std::uint64_t played_frames() const noexcept { return played_frames_; }
    void set_latency(std::uint32_t microseconds) noexcept {
        latency_us_.store(microseconds, std::memory_order_relaxed);
    }

    [[nodiscard]] device_stats stats() const noexcept;
    [[nodiscard]] device_direction direction() const noexcept { return direction_; }

  private:
    enum class kind : std::uint8_t { buffer, ended, failed };
    struct notification {
        kind what = kind::buffer;
        wave_header* header = nullptr;
    };

    void hand_back(kind what, wave_header* header) noexcept;

    const device_direction direction_;
    device_events& target_;
    std::shared_ptr<notification_wakeup> wakeup_;

    spsc_ring<wave_header*, max_buffers> queued_;    // UI -> producer
    spsc_ring<notification, max_buffers * 2> done_;  // producer -> UI

    // Producer's place in the oldest queued buffer.
    std::size_t front_frames_ = 0;
    bool end_reported_ = false;

    std::atomic<bool> fault_raised_{false};
    std::atomic<std::uint64_t> overruns_{0};
    std::atomic<std::uint64_t> underruns_{0};
    std::atomic<std::uint32_t> latency_us_{0};
    // Where the first underruns fell; each slot is written once, by the
    // producer, before its count is published.
    std::array<std::atomic<std::uint64_t>, device_stats::underrun_places> underrun_frames_{};
    // Producer only: frames taken from the buffers so far.
    std::uint64_t played_frames_ = 0;

    // UI only.
    std::size_t lent_ = 0;  // queued or waiting for its notification
    bool closed_ = false;
    bool failed_ = false;
    std::string failure_reason_;
};

// The notifications of all devices of one sound system.
class notification_hub {
  public:
    notification_hub();
    [[nodiscard]] int event_fd() const noexcept { return wakeup_->fd(); }
    [[nodiscard]] const std::shared_ptr<notification_wakeup>& wakeup() const noexcept {
        return wakeup_;
    }

    void attach(std::shared_ptr<device_queue> queue);

    // Delivers the notifications waiting now, one at a time, each device's in
    // order. A handler may call it again (a modal box's nested loop): every
    // notification is taken off its ring before its handler runs, so the
    // inner call simply goes on with the next one.
    void dispatch_pending();

  private:
    std::shared_ptr<notification_wakeup> wakeup_;
    std::vector<std::shared_ptr<device_queue>> queues_;
    int depth_ = 0;
};

}  // namespace squeakbox
