#pragma once
// A ring for exactly one producer thread and one consumer thread. It never
// locks, allocates or blocks after it is made, so an audio callback may sit on
// either end of it.
//
// Its size is fixed when it is compiled (spsc_ring<T, 64>), or chosen when it
// is made (spsc_ring<T> ring(1 << 17)) and allocated then, for rings of
// seconds of sound. Either holds whole elements one at a time (push, pop) or
// runs of them in bulk: frames copied in as they come and handed on in the
// pieces that lie together in memory, or records of several parts put in
// place first and made visible to the consumer at once.

#include <algorithm>
#include <array>
#include <atomic>
#include <cassert>
#include <cstddef>
#include <memory>
#include <utility>

namespace squeakbox {

// The capacity of a ring whose size is given to its constructor.
inline constexpr std::size_t runtime_capacity = 0;

namespace ring_detail {

template <typename T, std::size_t Capacity>
struct slots {
    [[nodiscard]] static constexpr std::size_t size() noexcept { return Capacity; }
    T* data() noexcept { return items.data(); }
    const T* data() const noexcept { return items.data(); }
    std::array<T, Capacity> items{};
};

template <typename T>
struct slots<T, runtime_capacity> {
    explicit slots(std::size_t capacity)
        : items(std::make_unique<T[]>(capacity)), capacity_(capacity) {}
    [[nodiscard]] std::size_t size() const noexcept { return capacity_; }
    T* data() noexcept { return items.get(); }
    const T* data() const noexcept { return items.get(); }
    std::unique_ptr<T[]> items;
    std::size_t capacity_;
};

}  // namespace ring_detail

template <typename T, std::size_t Capacity = runtime_capacity>
class spsc_ring {
    static_assert(Capacity == runtime_capacity ||
                      (Capacity >= 2 && (Capacity & (Capacity - 1)) == 0),
                  "the capacity must be a power of two");

  public:
    static constexpr std::size_t capacity = Capacity;

    spsc_ring() requires(Capacity != runtime_capacity) = default;
    // `capacity`: a power of two, at least 2.
    explicit spsc_ring(std::size_t capacity) requires(Capacity == runtime_capacity)
        : slots_(capacity) {
        assert(capacity >= 2 && (capacity & (capacity - 1)) == 0);
    }

    // How many elements the ring holds when full.
    [[nodiscard]] std::size_t size_limit() const noexcept { return slots_.size(); }

    // Producer side. False when the ring is full (nothing is stored).
    bool push(const T& value) noexcept {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail - head_.load(std::memory_order_acquire) == slots_.size()) return false;
        slots_.data()[tail & mask()] = value;
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }

    // Producer side: room for this many elements (a snapshot; the consumer
    // may only make more).
    [[nodiscard]] std::size_t room() const noexcept {
        return slots_.size() -
               (tail_.load(std::memory_order_relaxed) - head_.load(std::memory_order_acquire));
    }
    // Producer side: copies `count` elements (value-initialised ones for a
    // null `from`) to `past_tail` places behind the newest, where the
    // consumer does not see them until publish(). The caller has made sure
    // of the room().
    void put(std::size_t past_tail, const T* from, std::size_t count) noexcept {
        const std::size_t start = tail_.load(std::memory_order_relaxed) + past_tail;
        for (std::size_t done = 0; done < count;) {
            const std::size_t at = (start + done) & mask();
            const std::size_t run = std::min(count - done, slots_.size() - at);
            if (from != nullptr)
                std::copy_n(from + done, run, slots_.data() + at);
            else
                std::fill_n(slots_.data() + at, run, T{});
            done += run;
        }
    }
    // Producer side: hands the next `count` elements put() to the consumer.
    void publish(std::size_t count) noexcept {
        tail_.store(tail_.load(std::memory_order_relaxed) + count, std::memory_order_release);
    }
    // Producer side: stores as many of `count` elements as there is room for
    // (value-initialised ones for a null `from`) and returns how many.
    std::size_t write(const T* from, std::size_t count) noexcept {
        const std::size_t n = std::min(room(), count);
        put(0, from, n);
        publish(n);
        return n;
    }

    // Consumer side: the oldest element, left in place; nullptr when empty.
    const T* front() const noexcept {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) return nullptr;
        return &slots_.data()[head & mask()];
    }

    // Consumer side: the element `index` places behind the oldest; nullptr
    // past the newest.
    const T* at(std::size_t index) const noexcept {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        if (tail_.load(std::memory_order_acquire) - head <= index) return nullptr;
        return &slots_.data()[(head + index) & mask()];
    }

    // Consumer side: removes the oldest element. False when empty.
    bool pop(T& value) noexcept {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) return false;
        value = slots_.data()[head & mask()];
        head_.store(head + 1, std::memory_order_release);
        return true;
    }

    bool drop_front() noexcept {
        T ignored{};
        return pop(ignored);
    }

    // Consumer side: the elements from `past_head` places behind the oldest
    // on that lie in one piece in memory (none past the newest).
    [[nodiscard]] std::pair<const T*, std::size_t> readable(
        std::size_t past_head = 0) const noexcept {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        const std::size_t count = tail_.load(std::memory_order_acquire) - head;
        if (count <= past_head) return {nullptr, 0};
        const std::size_t at = (head + past_head) & mask();
        return {slots_.data() + at, std::min(count - past_head, slots_.size() - at)};
    }
    // Consumer side: removes the `count` oldest elements; no more than are
    // there.
    void consume(std::size_t count) noexcept {
        head_.store(head_.load(std::memory_order_relaxed) + count, std::memory_order_release);
    }
    // Consumer, or anyone while the consumer is held off: forgets everything.
    void clear() noexcept { head_.store(tail_.load(std::memory_order_acquire)); }

    // Exact on either end while the other end is idle; a snapshot otherwise.
    [[nodiscard]] std::size_t size() const noexcept {
        return tail_.load(std::memory_order_acquire) - head_.load(std::memory_order_acquire);
    }
    [[nodiscard]] bool empty() const noexcept { return size() == 0; }

  private:
    [[nodiscard]] std::size_t mask() const noexcept { return slots_.size() - 1; }

    // The two indices on separate cache lines, so the producer and the
    // consumer do not steal the line from each other on every block.
    alignas(64) std::atomic<std::size_t> head_{0};
    alignas(64) std::atomic<std::size_t> tail_{0};
    alignas(64) ring_detail::slots<T, Capacity> slots_;
};

}  // namespace squeakbox
