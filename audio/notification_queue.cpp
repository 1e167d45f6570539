#include "audio/notification_queue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace squeakbox {

notification_wakeup::notification_wakeup() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

notification_wakeup::~notification_wakeup() {
    if (fd_ >= 0) ::close(fd_);
}

void notification_wakeup::signal() noexcept {
    if (fd_ < 0 || signalled_.exchange(true, std::memory_order_acq_rel)) return;
    const std::uint64_t one = 1;
    // A full counter (never in practice) still leaves the descriptor readable.
    [[maybe_unused]] const auto written = ::write(fd_, &one, sizeof one);
}

void notification_wakeup::clear() noexcept {
    if (fd_ < 0) return;
    // Drain the descriptor first, then allow signals again, and only then look
    // at the rings. The other order loses a wake-up: a signal landing between
    // the two would be read away here while the flag stays set, so no later
    // signal would write again and the loop would never be woken. The flag is
    // lowered by an exchange: reading the device thread's raised flag makes
    // what it pushed before signalling visible to the look that follows.
    std::uint64_t count = 0;
    [[maybe_unused]] const auto got = ::read(fd_, &count, sizeof count);
    signalled_.exchange(false, std::memory_order_acq_rel);
}

device_queue::device_queue(device_direction direction, device_events& target,
                           std::shared_ptr<notification_wakeup> wakeup)
    : direction_(direction), target_(target), wakeup_(std::move(wakeup)) {}

mm_result device_queue::prepare(wave_header& header) const {
    if (closed_) return mm_invalid_handle;
    if (header.data == nullptr || header.buffer_length < 2) return mm_invalid_param;
    if ((header.flags & header_in_queue) != 0) return mm_still_playing;
    header.flags |= header_prepared;
    return mm_ok;
}

mm_result device_queue::unprepare(wave_header& header) const {
    if (closed_) return mm_invalid_handle;
    if ((header.flags & header_in_queue) != 0) return mm_still_playing;
    header.flags &= ~header_prepared;
    return mm_ok;
}

mm_result device_queue::enqueue(wave_header& header) {
    if (closed_) return mm_invalid_handle;
    if ((header.flags & header_prepared) == 0) return mm_unprepared;
    if ((header.flags & header_in_queue) != 0) return mm_still_playing;
    if (header.data == nullptr || header.buffer_length < 2) return mm_invalid_param;
    if (lent_ == max_buffers) return mm_no_memory;
    header.flags = (header.flags | header_in_queue) & ~header_done;
    if (direction_ == device_direction::capture) header.bytes_recorded = 0;
    if (!queued_.push(&header)) {
        header.flags &= ~header_in_queue;
        return mm_no_memory;
    }
    ++lent_;
    return mm_ok;
}

void device_queue::hand_back(kind what, wave_header* header) noexcept {
    // Cannot overflow: at most max_buffers buffers are lent, plus one end and
    // one failure report.
    done_.push(notification{what, header});
    wakeup_->signal();
}

void device_queue::return_queued() {
    wave_header* header = nullptr;
    bool first = true;
    while (queued_.pop(header)) {
        if (direction_ == device_direction::capture)
            header->bytes_recorded = first ? static_cast<std::uint32_t>(front_frames_ * 2) : 0;
        first = false;
        hand_back(kind::buffer, header);
    }
    front_frames_ = 0;
}

void device_queue::report_failure(std::string reason, bool notify) {
    if (failed_) return;
    failed_ = true;
    failure_reason_ = std::move(reason);
    return_queued();
    if (notify) hand_back(kind::failed, nullptr);
}

void device_queue::close() noexcept {
    if (closed_) return;
    closed_ = true;
    auto release = [](wave_header* header) {
        header->flags = (header->flags & ~header_in_queue) | header_done;
    };
    notification n;
    while (done_.pop(n))
        if (n.header != nullptr) release(n.header);
    wave_header* header = nullptr;
    while (queued_.pop(header)) release(header);
    lent_ = 0;
}

bool device_queue::deliver_one() {
    notification n;
    if (closed_ || !done_.pop(n)) return false;
    // The notification is off the ring before its handler runs, and nothing of
    // this object is touched after the handler: it may close the device.
    switch (n.what) {
        case kind::buffer:
            n.header->flags = (n.header->flags & ~header_in_queue) | header_done;
            --lent_;
            if (direction_ == device_direction::capture)
                target_.capture_data(n.header);
            else
                target_.playback_done(n.header);
            break;
        case kind::ended:
            target_.capture_ended();
            break;
        case kind::failed: {
            const std::string reason = failure_reason_;
            target_.device_failed(reason);
            break;
        }
    }
    return true;
}

void device_queue::raise_fault() noexcept {
    fault_raised_.store(true, std::memory_order_release);
    wakeup_->signal();
}

std::size_t device_queue::capture(const std::int16_t* frames, std::size_t count) noexcept {
    std::size_t stored = 0;
    while (stored < count) {
        wave_header* const* front = queued_.front();
        if (front == nullptr) break;
        wave_header* header = *front;
        const std::size_t capacity = header->buffer_length / 2;
        const std::size_t n = std::min(capacity - front_frames_, count - stored);
        char* to = header->data + front_frames_ * 2;
        if (frames != nullptr)
            std::memcpy(to, frames + stored, n * 2);
        else
            std::memset(to, 0, n * 2);
        front_frames_ += n;
        stored += n;
        if (front_frames_ == capacity) {
            header->bytes_recorded = static_cast<std::uint32_t>(capacity * 2);
            queued_.drop_front();
            front_frames_ = 0;
            hand_back(kind::buffer, header);
        }
    }
    if (stored < count) count_overrun();
    return stored;
}

std::size_t device_queue::peek(std::int16_t* out, std::size_t count) const noexcept {
    // Only the producer moves the queue's head, so the buffers seen here stay
    // in place until take().
    std::size_t copied = 0;
    std::size_t offset = front_frames_;
    for (std::size_t i = 0; copied < count; ++i) {
        wave_header* const* at = queued_.at(i);
        if (at == nullptr) break;
        const std::size_t n = std::min((*at)->buffer_length / 2 - offset, count - copied);
        std::memcpy(out + copied, (*at)->data + offset * 2, n * 2);
        copied += n;
        offset = 0;
    }
    return copied;
}

void device_queue::count_underrun(std::uint64_t played_frames) noexcept {
    // One producer counts: the slot is filled before the count that makes it
    // visible, so a reader never sees a count ahead of its place.
    const std::uint64_t n = underruns_.load(std::memory_order_relaxed);
    if (n < underrun_frames_.size())
        underrun_frames_[n].store(played_frames, std::memory_order_relaxed);
    underruns_.store(n + 1, std::memory_order_release);
}

void device_queue::take(std::size_t taken, std::size_t wanted) noexcept {
    played_frames_ += taken;
    if (taken < wanted) count_underrun(played_frames_);
    while (taken > 0) {
        wave_header* const* front = queued_.front();
        if (front == nullptr) break;
        wave_header* header = *front;
        const std::size_t n = std::min(header->buffer_length / 2 - front_frames_, taken);
        front_frames_ += n;
        taken -= n;
        if (front_frames_ == header->buffer_length / 2) {
            queued_.drop_front();
            front_frames_ = 0;
            hand_back(kind::buffer, header);
        }
    }
}

std::size_t device_queue::play(std::int16_t* out, std::size_t count) noexcept {
    const std::size_t taken = peek(out, count);
    std::memset(out + taken, 0, (count - taken) * 2);
    take(taken, count);
    return taken;
}

std::size_t device_queue::front_room() const noexcept {
    wave_header* const* front = queued_.front();
    if (front == nullptr) return 0;
    return (*front)->buffer_length / 2 - front_frames_;
}

void device_queue::end_of_capture() noexcept {
    if (end_reported_) return;
    end_reported_ = true;
    if (front_frames_ > 0) capture(nullptr, front_room());
    hand_back(kind::ended, nullptr);
}

device_stats device_queue::stats() const noexcept {
    device_stats s;
    s.overruns = overruns_.load(std::memory_order_relaxed);
    s.underruns = underruns_.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < s.underrun_frames.size() && i < s.underruns; ++i)
        s.underrun_frames[i] = underrun_frames_[i].load(std::memory_order_relaxed);
    s.latency_us = latency_us_.load(std::memory_order_relaxed);
    return s;
}

notification_hub::notification_hub() : wakeup_(std::make_shared<notification_wakeup>()) {}

void notification_hub::attach(std::shared_ptr<device_queue> queue) {
    if (depth_ == 0)
        std::erase_if(queues_, [](const std::shared_ptr<device_queue>& q) { return q->closed(); });
    queues_.push_back(std::move(queue));
}

void notification_hub::dispatch_pending() {
    wakeup_->clear();
    ++depth_;
    // Only what is waiting now: a device that refills as fast as it is served
    // (a file in fast mode) must not keep the loop from painting.
    std::size_t budget = 0;
    for (std::size_t i = 0; i < queues_.size(); ++i) {
        std::shared_ptr<device_queue> q = queues_[i];
        if (!q->closed() && q->take_fault()) q->handle_fault();
        if (!q->closed()) q->service();
        if (!q->closed()) budget += q->pending_count();
    }
    bool delivered = true;
    while (budget > 0 && delivered) {
        delivered = false;
        // By index and by copy: a handler may open or close devices.
        for (std::size_t i = 0; i < queues_.size() && budget > 0; ++i) {
            std::shared_ptr<device_queue> q = queues_[i];
            if (q->deliver_one()) {
                --budget;
                delivered = true;
            }
        }
    }
    bool more = false;
    for (const auto& q : queues_) more = more || (!q->closed() && q->has_pending());
    --depth_;
    if (more) wakeup_->signal();
}

}  // namespace squeakbox
