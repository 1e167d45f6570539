#include "engine/rate_transposer.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>
#include <new>

#include "engine/anti_alias_filter_mmx.h"

namespace squeakbox {

namespace {

constexpr std::int32_t unit = 10000;  // one frame, in ten-thousandths

// Samples for a number of frames, as the 32-bit count the buffers keep. A
// request beyond that (and the headroom the growth adds) cannot be met, like
// any allocation that fails.
std::uint32_t checked_samples(std::uint64_t frames, std::uint32_t channels) {
    const std::uint64_t samples = frames * channels;
    if (samples > std::numeric_limits<std::uint32_t>::max() - 256u) throw std::bad_alloc();
    return static_cast<std::uint32_t>(samples);
}

// Linear interpolation with weights in ten-thousandths, 0 < p <= 10000 (or
// p = 0 at the very start). The weights add up to 10000, so each product and
// the sum stay within +-10000 * 32768, and the quotient, truncated toward
// zero, lies between the two samples.
inline std::int16_t blend(std::int16_t from, std::int16_t to, std::int32_t p) {
    return static_cast<std::int16_t>((to * p + (unit - p) * from) / unit);
}

bool regions_overlap(const std::int16_t* a, std::size_t a_samples, const std::int16_t* b,
                     std::size_t b_samples) {
    if (a_samples == 0 || b_samples == 0) return false;
    const std::less<const std::int16_t*> before;
    return before(a, b + b_samples) && before(b, a + a_samples);
}

}  // namespace

rate_transposer_stage::rate_transposer_stage(int mmx, simd::level kernels) {
    if (mmx != 0)
        anti_alias = std::make_unique<anti_alias_filter_mmx>(filter_taps, kernels);
    else
        anti_alias = std::make_unique<anti_alias_filter>(filter_taps, kernels);
    set_rate(unity_rate);
}

rate_transposer_stage::~rate_transposer_stage() = default;

void rate_transposer_stage::set_rate(std::uint32_t new_rate) {
    rate = std::clamp(new_rate, min_rate, max_rate);
    // Below 10000 the filter runs on the interpolated stream, where the input
    // band now ends at rate / 10000 of Nyquist; above, it runs on the input
    // and keeps only the band the output can carry.
    const double r = static_cast<double>(rate);
    anti_alias->set_cutoff(rate <= unity_rate ? r * 0.5 / 10000.0 : 5000.0 / r);
}

void rate_transposer_stage::set_channels(std::uint32_t new_channels) {
    const std::uint32_t c = new_channels == 2 ? 2 : 1;  // as the filter counts them
    if (c == channels) return;
    channels = c;
    // The held samples stay where they are and are only counted anew.
    if (c == 1) {
        store_frames = store_frames * 2;
        output_limit = block_bytes >> 1;
    } else {
        store_frames = store_frames >> 1;
        output_limit = block_bytes >> 2;
    }
    position = 0;
    previous_left = 0;
    previous_right = 0;
}

void rate_transposer_stage::set_block_size(std::uint32_t bytes) {
    block_bytes = bytes;
    output_limit = channels == 1 ? bytes >> 1 : bytes >> 2;
}

std::uint32_t rate_transposer_stage::process(std::int16_t* output, const std::int16_t* input,
                                             std::uint32_t count) {
    if (rate == unity_rate) return pass_through(output, input, count);

    if (rate < unity_rate) {
        // Interpolate into the store behind the filter's history, then filter
        // straight into the caller's output. The input is fully read before
        // the output is written, so the two may be the same buffer.
        reserve_store(std::uint64_t{store_frames} + std::uint64_t{count} * unit / rate + 1);
        const std::uint32_t made =
            interpolate(store_buffer.data() + std::size_t{store_frames} * channels, input, count);
        store_frames += made;
        const std::uint32_t written =
            anti_alias->filter(output, store_buffer.data(), store_frames, channels);
        remove_store(written);
        return written;
    }

    // Filter the input behind the history, then interpolate the filtered frames.
    append_store(input, count);
    reserve_filtered(store_frames);
    const std::uint32_t filtered =
        anti_alias->filter(filtered_buffer.data(), store_buffer.data(), store_frames, channels);
    remove_store(filtered);
    return interpolate(output, filtered_buffer.data(), filtered);
}

std::uint32_t rate_transposer_stage::interpolate(std::int16_t* output, const std::int16_t* input,
                                                 std::uint32_t count) {
    return channels == 2 ? interpolate_stereo(output, input, count)
                         : interpolate_mono(output, input, count);
}

// Output frames lie at positions p, p + rate, p + 2 * rate, ... counted in
// ten-thousandths from the previous call's last frame, up to and including the
// block's last frame at count * 10000. A position exactly on a frame takes
// that frame itself. Whatever lies beyond is left, as `position`, for the next
// call, so the result does not depend on where blocks are cut; a block of a
// single frame just moves the reference on by one frame.
template <std::uint32_t frame>
std::uint32_t rate_transposer_stage::interpolate_frames(std::int16_t* output,
                                                        const std::int16_t* input,
                                                        std::uint32_t count) {
    if (count == 0) return 0;
    const std::int32_t step = static_cast<std::int32_t>(rate);
    std::int32_t p = position;
    std::uint32_t i = 0;
    // Output frame i lies between frames `before` and `after`, at p.
    const auto put = [&](const std::int16_t* before, const std::int16_t* after) {
        for (std::uint32_t c = 0; c < frame; ++c)
            output[frame * std::size_t{i} + c] = blend(before[c], after[c], p);
        ++i;
        p += step;
    };
    const std::int16_t previous[2] = {previous_left, previous_right};
    while (p <= unit) put(previous, input);
    p -= unit;  // now counted from input frame 0
    const std::uint32_t last = count - 1;
    std::uint32_t j = 0;
    if (j < last) {
        for (;;) {
            while (p > unit) {
                p -= unit;
                if (++j >= last) break;
            }
            if (j >= last) break;
            put(input + frame * std::size_t{j}, input + frame * std::size_t{j + 1});
        }
    }
    previous_left = input[frame * std::size_t{last}];
    if (frame == 2) previous_right = input[2 * std::size_t{last} + 1];
    position = p;
    return i;
}

std::uint32_t rate_transposer_stage::interpolate_mono(std::int16_t* output,
                                                      const std::int16_t* input,
                                                      std::uint32_t count) {
    return interpolate_frames<1>(output, input, count);
}

std::uint32_t rate_transposer_stage::interpolate_stereo(std::int16_t* output,
                                                        const std::int16_t* input,
                                                        std::uint32_t count) {
    return interpolate_frames<2>(output, input, count);
}

std::uint32_t rate_transposer_stage::pass_through(std::int16_t* output, const std::int16_t* input,
                                                  std::uint32_t count) {
    const std::size_t width = channels;
    if (store_frames == 0) {
        if (count != 0 && output != input)
            std::memmove(output, input, count * width * sizeof(std::int16_t));
        return count;
    }
    // Frames held from an earlier rate come out first, at most output_limit
    // frames per call. When writing them could overwrite input not yet read,
    // the whole input joins the store first.
    std::uint32_t direct = count;
    if (regions_overlap(output, output_limit * width, input, count * width)) {
        append_store(input, count);
        direct = 0;
    }
    const std::uint32_t held = std::min(store_frames, output_limit);
    take_store(output, held);
    const std::uint32_t copied = std::min(output_limit - held, direct);
    if (copied != 0)
        std::memcpy(output + held * width, input, copied * width * sizeof(std::int16_t));
    if (direct > copied) append_store(input + copied * width, direct - copied);
    return held + copied;
}

void rate_transposer_stage::reserve_store(std::uint64_t frames) {
    store_buffer.reserve(checked_samples(frames, channels), 0, store_frames * channels);
}

void rate_transposer_stage::reserve_filtered(std::uint64_t frames) {
    filtered_buffer.reserve_discard(checked_samples(frames, channels));
}

void rate_transposer_stage::append_store(const std::int16_t* source, std::uint32_t frames) {
    if (frames == 0) return;
    reserve_store(std::uint64_t{store_frames} + frames);
    std::memcpy(store_buffer.data() + std::size_t{store_frames} * channels, source,
                std::size_t{frames} * channels * sizeof(std::int16_t));
    store_frames += frames;
}

void rate_transposer_stage::remove_store(std::uint32_t frames) {
    if (frames == 0) return;
    store_frames -= frames;
    if (store_frames != 0)
        std::memmove(store_buffer.data(), store_buffer.data() + std::size_t{frames} * channels,
                     std::size_t{store_frames} * channels * sizeof(std::int16_t));
}

void rate_transposer_stage::take_store(std::int16_t* destination, std::uint32_t frames) {
    if (frames == 0) return;
    std::memcpy(destination, store_buffer.data(),
                std::size_t{frames} * channels * sizeof(std::int16_t));
    remove_store(frames);
}

double rate_transposer_stage::delay_frames() const noexcept {
    const double centre = (filter_taps - 1) / 2.0;
    if (rate > 10000) return centre - 1.0;
    if (rate < 10000) return centre * rate / 10000.0 - 1.0;
    return 0.0;
}

}  // namespace squeakbox
