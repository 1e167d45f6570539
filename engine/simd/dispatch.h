#pragma once
// The one place where the engine's variant is chosen.
//
// Every SIMD kernel has a plain scalar reference and one version per
// instruction-set level in its own file under engine/simd/. A variant names
// the stage classes and the kernel level together, and the one in use is
// chosen once per process, the first time active_variant() is asked: the
// variant forced by force_variant() if any, else the best that this processor
// runs.

#include <optional>
#include <string_view>

namespace squeakbox {

namespace simd {

enum class level { scalar = 0, sse2 = 1, avx2 = 2, avx512 = 3 };

inline constexpr level all_levels[] = {level::scalar, level::sse2, level::avx2, level::avx512};

[[nodiscard]] const char* level_name(level l) noexcept;

// True when the processor (and the operating system, for the wide registers)
// can run kernels of this level and they were compiled in.
[[nodiscard]] bool processor_supports(level l) noexcept;
// The best level up to `l` that this processor runs, so that asking for too
// much never executes an unsupported instruction.
[[nodiscard]] level runnable_level(level l) noexcept;
[[nodiscard]] inline level best_level() noexcept {
    return runnable_level(level::avx512);
}

}  // namespace simd

// `plain` is the readable reference: the plain stage classes on the scalar
// kernels, on any processor. The others run the processor-specific (`_mmx`)
// stage classes on the kernels of their instruction set. With one channel all
// of them give the same stream, the wider ones only faster; with two channels
// the `_mmx` classes saturate and search on pairs of frames, so `plain`
// differs from the rest, which agree with one another bit for bit.
enum class engine_variant { plain = 0, sse2 = 1, avx2 = 2, avx512 = 3 };

inline constexpr engine_variant all_variants[] = {engine_variant::plain, engine_variant::sse2,
                                                  engine_variant::avx2, engine_variant::avx512};

// "plain", "sse2", "avx2" or "avx512".
[[nodiscard]] const char* variant_name(engine_variant v) noexcept;
// A variant's name, or "auto" for the best this processor runs. Nothing for
// any other text.
[[nodiscard]] std::optional<engine_variant> parse_variant(std::string_view name) noexcept;
// "auto, plain, sse2, avx2 or avx512": what parse_variant takes, for messages.
[[nodiscard]] const char* variant_names() noexcept;

[[nodiscard]] constexpr simd::level kernel_level(engine_variant v) noexcept {
    return static_cast<simd::level>(v);
}
[[nodiscard]] constexpr bool uses_mmx_classes(engine_variant v) noexcept {
    return v != engine_variant::plain;
}
[[nodiscard]] bool processor_runs(engine_variant v) noexcept;
[[nodiscard]] engine_variant best_variant() noexcept;

// The variant in use; fixed at the first call.
[[nodiscard]] engine_variant active_variant() noexcept;

// Chooses the variant before anything has used one. Returns false, changing
// nothing, when the processor cannot run it or a different one was already
// fixed.
bool force_variant(engine_variant v) noexcept;

}  // namespace squeakbox
