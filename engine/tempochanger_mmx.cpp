#include "engine/tempochanger_mmx.h"

#include <cstdint>

#include "engine/simd/stretch_mmx.h"

namespace squeakbox {

namespace {

// The kernels follow the level that the base class was built with, so the
// variant needs no state of its own.
const simd::stretch_mmx_kernels& mmx_kernels(const simd::correlation_kernels* kernels) {
    return simd::stretch_mmx_kernels_for(kernels->kernel_level);
}

}  // namespace

tempochanger_mmx::tempochanger_mmx(simd::level level) : tempochanger(level) {}

std::int32_t tempochanger_mmx::correlate_stereo_mmx(const std::int16_t* input,
                                                    const std::int16_t* reference) const {
    return mmx_kernels(kernels).correlate_stereo(input, reference, overlap_length, overlap_shift);
}

std::uint32_t tempochanger_mmx::seek_best_overlap_stereo(const std::int16_t* mid,
                                                         const std::int16_t* input) {
    precalc_reference_stereo(mid);
    const auto& k = mmx_kernels(kernels);
    return scan_full([&](std::uint32_t p) {
        return k.correlate_stereo(input + 2 * std::size_t{p}, reference_buffer.get(),
                                  overlap_length, overlap_shift);
    });
}

std::uint32_t tempochanger_mmx::seek_best_overlap_stereo_quick(const std::int16_t* mid,
                                                               const std::int16_t* input) {
    precalc_reference_stereo(mid);
    // The packed search starts from the first coarse position, 124. A window
    // of 124 frames or less has no such position; there it starts from 0 like
    // the plain search, which tries nothing and returns 0, so the result
    // always lies inside the window.
    constexpr std::uint32_t first_coarse = 124;
    const std::uint32_t start = seek_length > first_coarse ? first_coarse : 0;
    return scan_quick(start, [&](std::uint32_t p) {
        return correlate_stereo_mmx(input + 2 * std::size_t{p}, reference_buffer.get());
    });
}

void tempochanger_mmx::overlap_stereo(std::int16_t* dest, std::uint32_t pos) {
    mmx_kernels(kernels).overlap_stereo(dest, overlap_buffer.get(),
                                        input_buffer.data() + 2 * std::size_t{pos}, overlap_length,
                                        overlap_shift);
}

}  // namespace squeakbox
