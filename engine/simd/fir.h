#pragma once
// Kernels of the anti-alias low-pass filter, one table per instruction-set level.
//
// Every kernel computes, for each output frame, the sum of 16-bit products of
// the taps with the frame's window of input in a 32-bit accumulator that wraps,
// shifts it right arithmetically by 13 (rounding toward minus infinity) and
// saturates the result to -32768..32767. Because the wrap of a 32-bit sum does
// not depend on the order of the additions, a variant that pairs products
// (pmaddwd) gives exactly the scalar result; every variant is bit-identical to
// the scalar reference.
//
// Kernels trust their callers: counts are checked once, in the filter classes.

#include <cstdint>

#include "engine/simd/dispatch.h"

namespace squeakbox::simd {

// One channel: writes `frames_out` outputs; output k reads input[k .. k + taps - 1].
// `taps` is a multiple of 8.
using fir_mono_fn = void (*)(std::int16_t* output, const std::int16_t* input,
                             std::uint32_t frames_out, const std::int16_t* coefficients,
                             std::uint32_t taps);

// Two interleaved channels, two frames per pass: writes frames 0 .. 2 * pairs - 1
// and reads input frames 0 .. 2 * pairs + taps - 2. `paired` is the tap table
// rearranged for 16-bit multiply-add: for each group of four taps c0..c3 the
// eight entries c0, c2, c0, c2, c1, c3, c1, c3. `taps` is a multiple of 8.
using fir_stereo_pairs_fn = void (*)(std::int16_t* output, const std::int16_t* input,
                                     std::uint32_t pairs, const std::int16_t* paired,
                                     std::uint32_t taps);

struct fir_kernels {
    level kernel_level;
    fir_mono_fn mono;
    fir_stereo_pairs_fn stereo_pairs;
};

// The kernels for a level. A level that was not compiled in (or is not an x86
// build) falls back to the best one that was, down to scalar.
[[nodiscard]] const fir_kernels& fir_kernels_for(level l) noexcept;

// The per-level variants; each lives in its own file. Only the scalar ones
// exist on every processor.
void fir_mono_scalar(std::int16_t* output, const std::int16_t* input, std::uint32_t frames_out,
                     const std::int16_t* coefficients, std::uint32_t taps);
void fir_stereo_pairs_scalar(std::int16_t* output, const std::int16_t* input, std::uint32_t pairs,
                             const std::int16_t* paired, std::uint32_t taps);
extern const fir_kernels fir_scalar;
#if defined(SQUEAKBOX_X86_SIMD)
// The two-frame stereo kernel needs nothing wider than SSE2: its work per pass
// is one 128-bit vector of four sums, so the wider levels share it.
void fir_stereo_pairs_sse2(std::int16_t* output, const std::int16_t* input, std::uint32_t pairs,
                           const std::int16_t* paired, std::uint32_t taps);
extern const fir_kernels fir_sse2;
extern const fir_kernels fir_avx2;
extern const fir_kernels fir_avx512;
#endif

// The shifted sum as a sample: arithmetic shift by 13, then signed saturation.
[[nodiscard]] constexpr std::int16_t saturate_shifted(std::uint32_t wrapped_sum) noexcept {
    // The conversion to signed is modular (well defined since C++20), and so is
    // the right shift of a negative value, which rounds toward minus infinity.
    const std::int32_t shifted = static_cast<std::int32_t>(wrapped_sum) >> 13;
    if (shifted > 32767) return 32767;
    if (shifted < -32768) return -32768;
    return static_cast<std::int16_t>(shifted);
}

}  // namespace squeakbox::simd
