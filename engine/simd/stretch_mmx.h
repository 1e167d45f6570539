#pragma once
// The two-channel search correlation and cross-fade of tempochanger_mmx.
//
// These reproduce the packed multiply-add arithmetic of the MMX stretcher:
// the correlation adds the left and right products of a frame before
// anything else, keeps two 32-bit lanes (even and odd frames) and shifts the
// sum of two frames at a time; the cross-fade multiply-adds each sample pair
// (kept overlap, new input) with the weight pair and saturates to 16 bits.
// The portable code gives exactly the values of the SSE2 code.

#include <cstdint>

#include "engine/simd/dispatch.h"

namespace squeakbox::simd {

struct stretch_mmx_kernels {
    level kernel_level;

    // The two-lane correlation of n interleaved stereo frames of input and
    // reference; n is a multiple of 8.
    std::int32_t (*correlate_stereo)(const std::int16_t* input, const std::int16_t* reference,
                                     std::uint32_t n, std::uint32_t shift);

    // dest[i] = (mid[i] * (n - i) + input[i] * i) >> shift per channel,
    // saturated, for n stereo frames; n is a multiple of 4, at most 16384.
    void (*overlap_stereo)(std::int16_t* dest, const std::int16_t* mid, const std::int16_t* input,
                           std::uint32_t n, std::uint32_t shift);
};

// The portable kernels for the scalar level, the SSE2 ones for any other
// level on x86-64 (where SSE2 is always present).
[[nodiscard]] const stretch_mmx_kernels& stretch_mmx_kernels_for(level l) noexcept;

extern const stretch_mmx_kernels stretch_mmx_portable;
#if defined(SQUEAKBOX_X86_SIMD)
extern const stretch_mmx_kernels stretch_mmx_sse2;
#endif

}  // namespace squeakbox::simd
