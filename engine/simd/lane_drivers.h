#pragma once
// The one-channel correlation and FIR drivers, written once for every
// register width. Each instruction set's file defines its vector operations
// `V` in an anonymous namespace and instantiates the drivers with them, so the
// code of one width never reaches a file compiled for another.
//
// Both drivers work in sixteen-bit lanes across neighbouring outputs: a plain
// unaligned load of input starting at k + j holds the j-th input term of
// V::lanes neighbouring outputs. Multiply-adding (pmaddwd) it with a weight in
// one half of each 32-bit pair gives the exact products of the even outputs,
// with the weight in the other half those of the odd outputs. Each 32-bit lane
// then accumulates one output, and no horizontal sums are needed.
//
// V provides: `reg`; `lanes` (sixteen-bit lanes per register); zero(),
// load(p), broadcast(int32), add, madd, sra(v, count), srai13(v),
// store_positions(out, even, odd) (32-bit results in output order) and
// store_packed(out, even, odd) (saturated to 16 bits, in output order).

#include <emmintrin.h>

#include <cstdint>
#include <cstring>

#include "engine/simd/correlation.h"
#include "engine/simd/fir.h"

namespace squeakbox::simd::lane_drivers {

// Correlation of positions p .. p + V::lanes * blocks - 1, sharing each
// reference term. The zero partner of each weight keeps every product on its
// own, so it is shifted before it is summed, exactly as the scalar code does.
template <class V, std::uint32_t blocks>
inline void correlate_group(const std::int16_t* ref, const std::int16_t* input, std::uint32_t n,
                            __m128i shift, std::int32_t* out) {
    typename V::reg even[blocks];
    typename V::reg odd[blocks];
#pragma GCC unroll 8
    for (std::uint32_t b = 0; b < blocks; ++b) even[b] = odd[b] = V::zero();
    for (std::uint32_t j = 1; j < n; ++j) {
        const auto r = static_cast<std::uint16_t>(ref[j]);
        const auto low = V::broadcast(r);
        const auto high = V::broadcast(static_cast<std::int32_t>(std::uint32_t{r} << 16));
        // Unrolled, so that the accumulators stay in registers.
#pragma GCC unroll 8
        for (std::uint32_t b = 0; b < blocks; ++b) {
            const auto x = V::load(input + j + V::lanes * b);
            even[b] = V::add(even[b], V::sra(V::madd(x, low), shift));
            odd[b] = V::add(odd[b], V::sra(V::madd(x, high), shift));
        }
    }
    for (std::uint32_t b = 0; b < blocks; ++b)
        V::store_positions(out + V::lanes * b, even[b], odd[b]);
}

// `narrower` takes runs too short for one register.
template <class V, const correlation_kernels& narrower>
void correlate_mono(const std::int16_t* ref, const std::int16_t* input, std::uint32_t n,
                    std::uint32_t shift, std::uint32_t positions, std::int32_t* out) {
    constexpr std::uint32_t lanes = V::lanes;
    if (positions < lanes) {
        narrower.correlate_mono(ref, input, n, shift, positions, out);
        return;
    }
    const __m128i count = _mm_cvtsi32_si128(static_cast<int>(shift));
    std::uint32_t p = 0;
    for (; p + 4 * lanes <= positions; p += 4 * lanes)
        correlate_group<V, 4>(ref, input + p, n, count, out + p);
    for (; p + lanes <= positions; p += lanes)
        correlate_group<V, 1>(ref, input + p, n, count, out + p);
    // The last few positions: one more vector that ends at the last position,
    // recomputing some already written (with the same values).
    if (p < positions) {
        p = positions - lanes;
        correlate_group<V, 1>(ref, input + p, n, count, out + p);
    }
}

// The anti-alias filter for one channel, V::lanes output frames per pass:
// even and odd frames are summed in separate registers, each load pairing the
// two samples that one multiply-add weighs with taps 2m and 2m + 1. The frames
// a pass cannot fill go to `narrower`.
template <class V, const fir_kernels& narrower>
void fir_mono(std::int16_t* output, const std::int16_t* input, std::uint32_t frames_out,
              const std::int16_t* coefficients, std::uint32_t taps) {
    const std::uint32_t pairs = taps / 2;
    std::uint32_t k = 0;
    for (; k + V::lanes <= frames_out; k += V::lanes) {
        auto even = V::zero();
        auto odd = V::zero();
        const std::int16_t* x = input + k;
        for (std::uint32_t m = 0; m < pairs; ++m) {
            // Taps 2m and 2m + 1 in every 32-bit lane, the lower tap in the
            // lower half.
            std::int32_t pair;
            std::memcpy(&pair, coefficients + 2 * m, sizeof pair);
            const auto c = V::broadcast(pair);
            even = V::add(even, V::madd(V::load(x + 2 * m), c));
            odd = V::add(odd, V::madd(V::load(x + 2 * m + 1), c));
        }
        V::store_packed(output + k, V::srai13(even), V::srai13(odd));
    }
    if (k < frames_out) narrower.mono(output + k, input + k, frames_out - k, coefficients, taps);
}

}  // namespace squeakbox::simd::lane_drivers
