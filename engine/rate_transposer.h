#pragma once
// The first stage of the pitch shifter: changes the sample rate of a stream of
// 16-bit frames by a ratio in ten-thousandths (every output frame advances
// rate / 10000 input frames) with linear interpolation, band-limited by the
// anti-alias filter. Above rate 10000 the filter runs on the input before the
// interpolation, below it on the interpolated frames, at 10000 neither runs.
//
// The transposer works on a stream: the last input frame, the fractional
// position and the filter's history carry over from one call to the next, so
// the output does not depend on how the input is cut into blocks. A block too
// short for a route is kept and used when later blocks bring enough.

#include <cstdint>
#include <memory>

#include "engine/anti_alias_filter.h"
#include "engine/sample_buffer.h"
#include "engine/simd/dispatch.h"

namespace squeakbox {

class rate_transposer_stage {
  public:
    static constexpr std::uint32_t unity_rate = 10000;
    static constexpr std::uint32_t filter_taps = 32;
    // Rates are kept within this range: 0 would divide by zero and never
    // advance, and beyond the top the position would leave 32 bits.
    static constexpr std::uint32_t min_rate = 1;
    static constexpr std::uint32_t max_rate = 1'000'000'000;

    // `mmx` nonzero selects the filter whose two-channel path works on frame
    // pairs; `kernels` picks the instruction set for both filters.
    explicit rate_transposer_stage(int mmx,
                                   simd::level kernels = squeakbox::kernel_level(active_variant()));
    rate_transposer_stage(const rate_transposer_stage&) = delete;
    rate_transposer_stage& operator=(const rate_transposer_stage&) = delete;
    ~rate_transposer_stage();

    // Stores the rate (clamped to min_rate..max_rate) and sets the filter's
    // cutoff for it; held frames and the position are kept.
    void set_rate(std::uint32_t new_rate);
    // 2 is stereo, any other count one channel (as the filter counts them). A
    // new count re-counts the held samples as frames of the new width and
    // restarts the interpolation.
    void set_channels(std::uint32_t new_channels);
    // Size in bytes of the caller's output buffer; bounds what the
    // pass-through route writes while frames are held.
    void set_block_size(std::uint32_t bytes);
    [[nodiscard]] bool is_empty() const noexcept { return store_frames == 0; }

    // One block of `count` input frames; returns the frames written to
    // `output`, which may be the same buffer as `input`. Once the store holds
    // only the filter's history, a call writes at most
    // count * 10000 / rate + 2 frames; at rate 10000, count frames with
    // nothing held, else at most the block size's frames. Throws
    // std::bad_alloc when the buffers cannot grow.
    std::uint32_t process(std::int16_t* output, const std::int16_t* input, std::uint32_t count);

    // How many input frames late the output's sound lies, on average: the
    // centre of the low-pass filter, less the first output frame, which sits
    // one frame before the input. Below rate 10000 the filter runs on the
    // interpolated frames, so its centre counts at the rate. 0 at 10000.
    [[nodiscard]] double delay_frames() const noexcept;

    [[nodiscard]] std::uint32_t current_rate() const noexcept { return rate; }
    [[nodiscard]] std::uint32_t channel_count() const noexcept { return channels; }
    [[nodiscard]] const anti_alias_filter& filter() const noexcept { return *anti_alias; }

  protected:
    // `frame` samples a frame: one channel or two.
    template <std::uint32_t frame>
    std::uint32_t interpolate_frames(std::int16_t* output, const std::int16_t* input,
                                     std::uint32_t count);
    std::uint32_t interpolate_mono(std::int16_t* output, const std::int16_t* input,
                                   std::uint32_t count);
    std::uint32_t interpolate_stereo(std::int16_t* output, const std::int16_t* input,
                                     std::uint32_t count);
    std::uint32_t interpolate(std::int16_t* output, const std::int16_t* input, std::uint32_t count);
    std::uint32_t pass_through(std::int16_t* output, const std::int16_t* input,
                               std::uint32_t count);

    void reserve_store(std::uint64_t frames);
    void reserve_filtered(std::uint64_t frames);
    void append_store(const std::int16_t* source, std::uint32_t frames);
    void remove_store(std::uint32_t frames);
    void take_store(std::int16_t* destination, std::uint32_t frames);

    std::unique_ptr<anti_alias_filter> anti_alias;
    sample_buffer store_buffer;     // frames waiting for the filter (or from an earlier rate)
    sample_buffer filtered_buffer;  // filter output waiting for the interpolation
    std::uint32_t store_frames = 0;
    std::int32_t position = 0;  // ten-thousandths of a frame past the previous frame
    std::int16_t previous_left = 0;
    std::int16_t previous_right = 0;
    std::uint32_t rate = unity_rate;
    std::uint32_t channels = 2;
    std::uint32_t output_limit = 0;
    std::uint32_t block_bytes = 0;
};

}  // namespace squeakbox
