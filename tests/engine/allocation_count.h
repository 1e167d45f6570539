#pragma once
// Counts heap allocations while `counting_allocations` is set, so that a warm
// engine can be shown to allocate nothing. This replaces the program's global
// operator new and delete: include it in one file of a program only.

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

// The replacement pairs operator new with free(), which the compiler cannot
// tell is deliberate once everything is inlined.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::atomic<bool> counting_allocations{false};
std::atomic<std::uint64_t> allocations{0};
}  // namespace

void* operator new(std::size_t size) {
    if (counting_allocations.load(std::memory_order_relaxed))
        allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
