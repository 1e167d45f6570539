#pragma once
// The one-channel correlation of the best-overlap search, the engine's hottest
// loop: for every candidate position the windowed reference is multiplied
// with the input, term by term.
//
//   C(p) = sum over j = 1 .. n-1 of (ref[j] * input[p + j]) >> shift
//
// Each product is shifted on its own (an arithmetic shift, rounding toward
// minus infinity) before it joins the sum, and the sum wraps in 32 bits. That
// per-term shift is what makes the search drop the same low bits on every
// processor, so every variant below gives exactly the scalar values.

#include <cstdint>

#include "engine/simd/dispatch.h"

namespace squeakbox::simd {

struct correlation_kernels {
    level kernel_level;

    // Writes C(p) to out[p] for p = 0 .. positions-1. ref holds n samples
    // (ref[0] is not used), input at least positions + n - 1 samples; shift is
    // below 32. Nothing is allocated.
    void (*correlate_mono)(const std::int16_t* ref, const std::int16_t* input, std::uint32_t n,
                           std::uint32_t shift, std::uint32_t positions, std::int32_t* out);
};

// The kernels of `l`, or of the best level below it that this processor can
// run (so asking for a level the machine lacks never executes a foreign
// instruction; compare kernel_level to see what was given).
[[nodiscard]] const correlation_kernels& correlation_kernels_for(level l) noexcept;

// The variants themselves; each exists only where its file is compiled.
extern const correlation_kernels correlation_scalar;
#if defined(SQUEAKBOX_X86_SIMD)
extern const correlation_kernels correlation_sse2;
extern const correlation_kernels correlation_avx2;
extern const correlation_kernels correlation_avx512;
#endif

}  // namespace squeakbox::simd
