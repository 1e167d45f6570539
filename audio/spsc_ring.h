#pragma once
// A fixed-size ring for exactly one producer thread and one consumer thread.
// It never locks, allocates or blocks, so an audio callback may sit on either
// end of it.

#include <array>
#include <atomic>
#include <cstddef>

namespace squeakbox {

template <typename T, std::size_t Capacity>
class spsc_ring {
    static_assert(Capacity >= 2 && (Capacity & (Capacity - 1)) == 0,
                  "the capacity must be a power of two");

  public:
    static constexpr std::size_t capacity = Capacity;

    // Producer side. False when the ring is full (nothing is stored).
    bool push(const T& value) noexcept {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail - head_.load(std::memory_order_acquire) == Capacity) return false;
        slots_[tail & (Capacity - 1)] = value;
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }

    // Consumer side: the oldest element, left in place; nullptr when empty.
    const T* front() const noexcept {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) return nullptr;
        return &slots_[head & (Capacity - 1)];
    }

    // Consumer side: the element `index` places behind the oldest; nullptr
    // past the newest.
    const T* at(std::size_t index) const noexcept {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        if (tail_.load(std::memory_order_acquire) - head <= index) return nullptr;
        return &slots_[(head + index) & (Capacity - 1)];
    }

    // Consumer side: removes the oldest element. False when empty.
    bool pop(T& value) noexcept {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) return false;
        value = slots_[head & (Capacity - 1)];
        head_.store(head + 1, std::memory_order_release);
        return true;
    }

    bool drop_front() noexcept {
        T ignored{};
        return pop(ignored);
    }

    // Exact on either end while the other end is idle; a snapshot otherwise.
    [[nodiscard]] std::size_t size() const noexcept {
        return tail_.load(std::memory_order_acquire) - head_.load(std::memory_order_acquire);
    }
    [[nodiscard]] bool empty() const noexcept { return size() == 0; }

  private:
    // The two indices on separate cache lines, so the producer and the
    // consumer do not steal the line from each other on every block.
    alignas(64) std::atomic<std::size_t> head_{0};
    alignas(64) std::atomic<std::size_t> tail_{0};
    alignas(64) std::array<T, Capacity> slots_{};
};

}  // namespace squeakbox
