#include "engine/pitch_shifter.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "engine/rate_transposer.h"
#include "engine/tempochanger.h"
#include "engine/tempochanger_mmx.h"

namespace squeakbox {

namespace {

// ln 2 as the nearest single-precision value, held as a double: the pitch
// factors (and so the rates and tempos handed to the stages) depend on it to
// the last ten-thousandth.
constexpr double ln2_single = 0.6931471824645996;

// Sequence, seek window and overlap of the tempo changer, in milliseconds: long
// enough sequences to keep voiced sounds smooth, a seek window that covers the
// pitch periods of a voice, and a crossfade long enough to hide each joint.
constexpr std::uint32_t sequence_ms = 82;
constexpr std::uint32_t seek_window_ms = 28;
constexpr std::uint32_t overlap_ms = 12;

constexpr std::uint32_t unity = 10000;

bool choose_mmx(engine_choice choice) {
    switch (choice) {
        case engine_choice::plain:
            return false;
        case engine_choice::mmx:
            if (!pitch_shifter::processor_has_mmx())
                throw std::invalid_argument(
                    "this processor cannot run the processor-specific engine classes");
            return true;
        case engine_choice::automatic:
            break;
    }
    return pitch_shifter::processor_has_mmx();
}

}  // namespace

std::string pitch_shifter::out_of_range_message(long long semitones) {
    return "pitch " + std::to_string(semitones) + " is outside " + std::to_string(-max_semitones) +
           " to " + std::to_string(max_semitones) + " semitones";
}

bool pitch_shifter::processor_has_mmx() noexcept {
#if defined(SQUEAKBOX_X86_SIMD)
    // The processor-specific classes are built on SSE2 on this architecture.
    return __builtin_cpu_supports("sse2");
#else
    return false;
#endif
}

pitch_shifter::pitch_shifter(engine_choice choice, simd::level level) : level_(level) {
    intermediate_capacity_ = 0;
    intermediate_buffer_.reset();
    const bool mmx = choose_mmx(choice);
    mmx_classes_ = mmx;
    transposer_ = std::make_unique<rate_transposer_stage>(mmx ? 1 : 0, level);
    if (mmx)
        tempo_changer_ = std::make_unique<tempochanger_mmx>(level);
    else
        tempo_changer_ = std::make_unique<tempochanger>(level);
    base_tempo_ = base_rate_ = pitch_ = 1.0f;
    effective_tempo_ = effective_rate_ = 0;
    // The effective values were 0, so this hands 10000 to both stages.
    recalculate();
    set_channels(2);
}

pitch_shifter::~pitch_shifter() {
    transposer_.reset();
    tempo_changer_.reset();
    intermediate_buffer_.reset();
}

void pitch_shifter::set_channels(std::uint32_t channels) {
    channels_ = channels;
    transposer_->set_channels(channels);
    tempo_changer_->set_channels(channels);
}

void pitch_shifter::set_sample_rate(std::uint32_t sample_rate) {
    // The tempo changer derives its input requirement anew from the new
    // lengths, so the tempo need not be handed again.
    tempo_changer_->set_parameters(sample_rate, sequence_ms, seek_window_ms, overlap_ms);
}

void pitch_shifter::set_block_size(std::uint32_t bytes) {
    tempo_changer_->set_block_size(bytes);
}

std::int32_t pitch_shifter::delay_frames() const noexcept {
    // An empty transposer at rate 10000 is bypassed and adds nothing.
    const double transposer = transposer_->delay_frames();
    return static_cast<std::int32_t>(std::lround(tempo_changer_->delay_frames() + transposer));
}

void pitch_shifter::set_lag_tolerance(std::uint32_t frames) {
    tempo_changer_->set_lag_tolerance(frames);
}

void pitch_shifter::keep_in_step(bool on) {
    in_step_ = on;
    tempo_changer_->keep_in_step(on ? effective_rate_ : 0);
}

void pitch_shifter::set_pitch_semitones(std::int32_t semitones) {
    semitones = std::clamp(semitones, -max_semitones, max_semitones);
    set_pitch_octaves(static_cast<float>(static_cast<double>(semitones) / 12.0));
}

void pitch_shifter::set_pitch_octaves(float octaves) {
    if (std::isnan(octaves)) return;
    octaves = std::clamp(octaves, -max_octaves, max_octaves);
    const auto y = static_cast<float>(static_cast<double>(octaves) * ln2_single);
    pitch_ = static_cast<float>(std::exp(static_cast<double>(y)));
    recalculate();
}

void pitch_shifter::recalculate() {
    const std::uint32_t old_rate = effective_rate_;
    const std::uint32_t old_tempo = effective_tempo_;
    effective_tempo_ = static_cast<std::uint32_t>((static_cast<double>(base_tempo_) * 10000.0) /
                                                  static_cast<double>(pitch_));
    effective_rate_ = static_cast<std::uint32_t>((10000.0 * static_cast<double>(pitch_)) *
                                                 static_cast<double>(base_rate_));
    if (effective_rate_ != old_rate) {
        transposer_->set_rate(effective_rate_);
        ++rate_updates_;
    }
    if (effective_tempo_ != old_tempo) {
        tempo_changer_->set_tempo(effective_tempo_);
        ++tempo_updates_;
    }
    if (in_step_ && (effective_rate_ != old_rate || effective_tempo_ != old_tempo))
        tempo_changer_->keep_in_step(effective_rate_);
}

void pitch_shifter::reserve_intermediate(std::uint32_t count) {
    // Room for the most the transposer can write for `count` frames at this
    // rate, with 32 frames to spare for the fractional position and for frames
    // held back by the filter.
    const std::uint32_t need = channels_ * count * unity / effective_rate_ + 32;
    if (need <= intermediate_capacity_) return;
    // The contents are consumed by the tempo changer within each call, so the
    // old buffer is freed before the new one is taken.
    intermediate_buffer_.reset();
    intermediate_capacity_ = 0;
    intermediate_buffer_ = std::make_unique_for_overwrite<std::int16_t[]>(need);
    intermediate_capacity_ = need;
    // The transposer's pass-through path (draining frames held from an earlier
    // rate) is capped by this size, so it never writes past the buffer.
    transposer_->set_block_size(need * 2);
    transposer_block_bytes_ = need * 2;
}

std::uint32_t pitch_shifter::process(std::int16_t* output, const std::int16_t* input,
                                     std::uint32_t count) {
    if (effective_rate_ == unity && transposer_->is_empty())
        return tempo_changer_->process(output, input, count);

    reserve_intermediate(count);
    // An empty block gives the transposer nothing to interpolate between; the
    // tempo changer still hands out its paced share of what it holds.
    const std::uint32_t produced =
        count == 0 ? 0 : transposer_->process(intermediate_buffer_.get(), input, count);
    return tempo_changer_->process(output, intermediate_buffer_.get(), produced);
}

}  // namespace squeakbox
