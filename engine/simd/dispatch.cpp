#include "engine/simd/dispatch.h"

#include <atomic>
#include <cstddef>
#include <iterator>

namespace squeakbox {

namespace simd {

const char* level_name(level l) noexcept {
    // In the order of the levels' values.
    constexpr const char* names[] = {"scalar", "sse2", "avx2", "avx512"};
    const auto index = static_cast<std::size_t>(l);
    return index < std::size(names) ? names[index] : "unknown";
}

bool processor_supports(level l) noexcept {
    switch (l) {
        case level::scalar:
            return true;
#if defined(SQUEAKBOX_X86_SIMD)
        case level::sse2:
            return __builtin_cpu_supports("sse2");
        case level::avx2:
            return __builtin_cpu_supports("avx2");
        case level::avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512vl");
#else
        default:
            return false;
#endif
    }
    return false;
}

level runnable_level(level l) noexcept {
    while (l != level::scalar && !processor_supports(l))
        l = static_cast<level>(static_cast<int>(l) - 1);
    return l;
}

}  // namespace simd

namespace {
// -1: not chosen yet. Set once, then only read.
std::atomic<int> chosen{-1};
}  // namespace

const char* variant_name(engine_variant v) noexcept {
    return v == engine_variant::plain ? "plain" : simd::level_name(kernel_level(v));
}

std::optional<engine_variant> parse_variant(std::string_view name) noexcept {
    if (name == "auto") return best_variant();
    for (engine_variant v : all_variants)
        if (name == variant_name(v)) return v;
    return std::nullopt;
}

const char* variant_names() noexcept {
    return "auto, plain, sse2, avx2 or avx512";
}

bool processor_runs(engine_variant v) noexcept {
    return simd::processor_supports(kernel_level(v));
}

engine_variant best_variant() noexcept {
    return static_cast<engine_variant>(simd::best_level());
}

engine_variant active_variant() noexcept {
    int value = chosen.load(std::memory_order_acquire);
    if (value < 0) {
        int expected = -1;
        const int best = static_cast<int>(best_variant());
        if (chosen.compare_exchange_strong(expected, best, std::memory_order_acq_rel))
            value = best;
        else
            value = expected;
    }
    return static_cast<engine_variant>(value);
}

bool force_variant(engine_variant v) noexcept {
    if (!processor_runs(v)) return false;
    int expected = -1;
    if (chosen.compare_exchange_strong(expected, static_cast<int>(v), std::memory_order_acq_rel))
        return true;
    return expected == static_cast<int>(v);
}

}  // namespace squeakbox
