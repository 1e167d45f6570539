#pragma once
// Growable storage for 16-bit samples, shared by the engine's stages.
//
// Growth follows one rule everywhere: when a request needs more samples than
// the capacity, the new capacity is need + 128 with the low five bits cleared
// (a multiple of 32, 97 to 128 samples of headroom). Capacities never shrink,
// so a steady stream of equal blocks stops allocating after its first blocks.

#include <cstdint>
#include <cstring>
#include <memory>

namespace squeakbox {

class sample_buffer {
  public:
    sample_buffer() = default;
    sample_buffer(const sample_buffer&) = delete;
    sample_buffer& operator=(const sample_buffer&) = delete;

    [[nodiscard]] std::int16_t* data() noexcept { return storage_.get(); }
    [[nodiscard]] const std::int16_t* data() const noexcept { return storage_.get(); }
    [[nodiscard]] std::uint32_t capacity() const noexcept { return capacity_; }

    [[nodiscard]] static constexpr std::uint32_t grown_capacity(std::uint32_t need) noexcept {
        return (need + 128u) & ~31u;
    }

    // Makes room for `need` samples. When the storage has to grow, `keep`
    // samples starting at sample `keep_from` are carried to the start of the
    // new storage. Returns true when it grew. If the allocation fails the
    // buffer is left exactly as it was and std::bad_alloc propagates.
    bool reserve(std::uint32_t need, std::uint32_t keep_from, std::uint32_t keep) {
        if (need <= capacity_) return false;
        const std::uint32_t grown = grown_capacity(need);
        auto fresh = std::make_unique_for_overwrite<std::int16_t[]>(grown);
        if (keep != 0)
            std::memcpy(fresh.get(), storage_.get() + keep_from, keep * sizeof(std::int16_t));
        storage_ = std::move(fresh);
        capacity_ = grown;
        return true;
    }

    // Makes room for `need` samples without keeping anything held.
    bool reserve_discard(std::uint32_t need) {
        if (need <= capacity_) return false;
        const std::uint32_t grown = grown_capacity(need);
        storage_.reset();  // free first: the contents are not needed
        capacity_ = 0;
        storage_ = std::make_unique_for_overwrite<std::int16_t[]>(grown);
        capacity_ = grown;
        return true;
    }

  private:
    std::unique_ptr<std::int16_t[]> storage_;
    std::uint32_t capacity_ = 0;
};

}  // namespace squeakbox
