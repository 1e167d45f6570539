#pragma once
// The one place where the engine's instruction-set level is chosen.
//
// Every SIMD kernel has a plain scalar reference and one variant per level in
// its own file under engine/simd/. The level is chosen once per process, the
// first time active_level() is asked: the level forced by force_level() if any,
// else the best that this processor supports.

#include <optional>
#include <string_view>

namespace squeakbox::simd {

enum class level { scalar = 0, sse2 = 1, avx2 = 2, avx512 = 3 };

inline constexpr level all_levels[] = {level::scalar, level::sse2, level::avx2, level::avx512};

[[nodiscard]] const char* level_name(level l) noexcept;
[[nodiscard]] std::optional<level> parse_level(std::string_view name) noexcept;

// True when the processor (and the operating system, for the wide registers)
// can run kernels of this level and they were compiled in.
[[nodiscard]] bool processor_supports(level l) noexcept;
[[nodiscard]] level best_level() noexcept;

// The level in use; fixed at the first call.
[[nodiscard]] level active_level() noexcept;

// Chooses the level before anything has used one. Returns false, changing
// nothing, when the processor cannot run it or a different level was already
// fixed.
bool force_level(level l) noexcept;

}  // namespace squeakbox::simd
