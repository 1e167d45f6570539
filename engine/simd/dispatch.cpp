#include "engine/simd/dispatch.h"

#include <atomic>

namespace squeakbox::simd {

namespace {
// -1: not chosen yet. Set once, then only read.
std::atomic<int> chosen{-1};
}  // namespace

const char* level_name(level l) noexcept {
    switch (l) {
        case level::scalar: return "scalar";
        case level::sse2: return "sse2";
        case level::avx2: return "avx2";
        case level::avx512: return "avx512";
    }
    return "unknown";
}

std::optional<level> parse_level(std::string_view name) noexcept {
    for (level l : all_levels)
        if (name == level_name(l)) return l;
    return std::nullopt;
}

bool processor_supports(level l) noexcept {
    switch (l) {
        case level::scalar: return true;
#if defined(SQUEAKBOX_X86_SIMD)
        case level::sse2: return __builtin_cpu_supports("sse2");
        case level::avx2: return __builtin_cpu_supports("avx2");
        case level::avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512vl");
#else
        default: return false;
#endif
    }
    return false;
}

level best_level() noexcept {
    level best = level::scalar;
    for (level l : all_levels)
        if (processor_supports(l)) best = l;
    return best;
}

level active_level() noexcept {
    int value = chosen.load(std::memory_order_acquire);
    if (value < 0) {
        int expected = -1;
        const int best = static_cast<int>(best_level());
        if (chosen.compare_exchange_strong(expected, best, std::memory_order_acq_rel))
            value = best;
        else
            value = expected;
    }
    return static_cast<level>(value);
}

bool force_level(level l) noexcept {
    if (!processor_supports(l)) return false;
    int expected = -1;
    if (chosen.compare_exchange_strong(expected, static_cast<int>(l), std::memory_order_acq_rel))
        return true;
    return expected == static_cast<int>(l);
}

}  // namespace squeakbox::simd
