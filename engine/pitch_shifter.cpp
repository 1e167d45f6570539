#include "engine/pitch_shifter.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "engine/natural_voice.h"
#include "engine/rate_transposer.h"
#include "engine/tempochanger.h"
#include "engine/tempochanger_mmx.h"

namespace squeakbox {

namespace {

// ln 2 as the nearest single-precision value, held as a double: the pitch
// factors (and so the rates and tempos handed to the stages) depend on it to
// the last ten-thousandth.
constexpr double ln2_single = 0.6931471824645996;

constexpr std::uint32_t unity = 10000;

// The overlap in frames that the tempo changer derives from a duration: the
// power of two nearest to it in the logarithm, 16 to 512.
std::uint32_t overlap_frames_for(std::uint32_t sample_rate, std::uint32_t overlap_ms) {
    const double x = static_cast<double>(sample_rate * overlap_ms) / 1000.0;
    const double exponent = std::log(x) / std::log(2.0) + 0.5;
    if (!(exponent >= 4.0)) return 16;
    if (exponent >= 9.0) return 512;
    return 1u << static_cast<std::uint32_t>(exponent);
}

}  // namespace

const char* voice_name(voice_kind voice) noexcept {
    return voice == voice_kind::natural ? "natural" : "squeak";
}

const char* latency_name(latency_mode mode) noexcept {
    return mode == latency_mode::low ? "low" : "normal";
}

std::string latency_description(latency_mode mode) {
    const bool low = mode == latency_mode::low;
    const stretch_lengths& l =
        low ? pitch_shifter::low_latency_lengths : pitch_shifter::normal_lengths;
    std::string text = latency_name(mode);
    text += " latency (sequence " + std::to_string(l.sequence_ms) + " ms, seek window " +
            std::to_string(l.seek_window_ms) + " ms, overlap " + std::to_string(l.overlap_ms) +
            " ms";
    text += low ? " at unison, divided by the pitch factor up to an octave)" : ")";
    return text;
}

std::string engine_description(engine_variant variant, latency_mode mode) {
    std::string text = variant_name(variant);
    text += uses_mmx_classes(variant) ? " (processor-specific _mmx stage classes, "
                                      : " (plain stage classes, ";
    text += simd::level_name(kernel_level(variant));
    text += " kernels), ";
    text += latency_description(mode);
    return text;
}

std::string pitch_shifter::out_of_range_message(long long semitones) {
    return "pitch " + std::to_string(semitones) + " is outside " + std::to_string(-max_semitones) +
           " to " + std::to_string(max_semitones) + " semitones";
}

std::string pitch_shifter::timbre_out_of_range_message(long long semitones) {
    return "timbre " + std::to_string(semitones) + " is outside " +
           std::to_string(-max_timbre_semitones) + " to " + std::to_string(max_timbre_semitones) +
           " semitones";
}

bool pitch_shifter::processor_has_mmx() noexcept {
    // The processor-specific classes are built on SSE2 at the least.
    return processor_runs(engine_variant::sse2);
}

pitch_shifter::pitch_shifter(engine_variant variant) : variant_(variant) {
    if (!processor_runs(variant))
        throw std::invalid_argument(std::string("this processor cannot run the ") +
                                    variant_name(variant) + " engine variant");
    intermediate_capacity_ = 0;
    intermediate_buffer_.reset();
    const bool mmx = squeakbox::uses_mmx_classes(variant);
    const simd::level level = kernel_level(variant);
    transposer_ = std::make_unique<rate_transposer_stage>(mmx ? 1 : 0, level);
    if (mmx)
        tempo_changer_ = std::make_unique<tempochanger_mmx>(level);
    else
        tempo_changer_ = std::make_unique<tempochanger>(level);
    natural_ = std::make_unique<natural_voice>();
    // A live voice must not fall behind: the stretcher catches up with its
    // own surplus past one sequence.
    tempo_changer_->set_sequence_band(true);
    pitch_ = 1.0f;
    effective_tempo_ = effective_rate_ = 0;
    // The effective values were 0, so this hands 10000 to both stages.
    recalculate();
    set_channels(2);
}

pitch_shifter::~pitch_shifter() {
    natural_.reset();
    transposer_.reset();
    tempo_changer_.reset();
    intermediate_buffer_.reset();
}

void pitch_shifter::set_channels(std::uint32_t channels) {
    channels_ = channels;
    natural_->configure(channels, sample_rate_);
    transposer_->set_channels(channels);
    tempo_changer_->set_channels(channels);
    reserve_squeak_scratch();
    if (latency_ == latency_mode::low) apply_lengths(false);
}

void pitch_shifter::set_sample_rate(std::uint32_t sample_rate) {
    sample_rate_ = sample_rate;
    natural_->configure(channels_, sample_rate);
    apply_lengths(true);
}

stretch_lengths pitch_shifter::low_latency_lengths_at(const stretch_lengths& at_unison,
                                                      float pitch) noexcept {
    const double factor = std::clamp(static_cast<double>(pitch), 0.5, 2.0);
    const auto scaled = [factor](std::uint32_t ms) {
        // Never 0: a sequence or overlap of no length is no stretcher.
        return std::max<std::uint32_t>(
            1, static_cast<std::uint32_t>(std::lround(static_cast<double>(ms) / factor)));
    };
    return {scaled(at_unison.sequence_ms), scaled(at_unison.seek_window_ms),
            scaled(at_unison.overlap_ms)};
}

void pitch_shifter::apply_lengths(bool always) {
    stretch_lengths used =
        latency_ == latency_mode::low ? low_latency_lengths_at(lengths_, pitch_) : lengths_;
    if (latency_ == latency_mode::low) {
        // One sequence a call at most: each must make more than a block, or
        // the output falls behind for good (short sequences at high pitches,
        // or large blocks). An eighth of a block to spare.
        const std::uint64_t block = tempo_changer_->block_frames();
        const std::uint64_t overlap = overlap_frames_for(sample_rate_, used.overlap_ms);
        const std::uint64_t least = block + block / 8 + overlap;
        const std::uint64_t rate = std::max<std::uint32_t>(sample_rate_, 1);
        const auto least_ms = static_cast<std::uint32_t>(
            std::min<std::uint64_t>((least * 1000 + rate - 1) / rate + 1, 100000));
        used.sequence_ms = std::max(used.sequence_ms, least_ms);
    }
    if (!always && used == stretcher_lengths_) return;
    stretcher_lengths_ = used;
    // The tempo changer derives its input requirement anew from the new
    // lengths, so the tempo need not be handed again.
    tempo_changer_->set_parameters(sample_rate_, used.sequence_ms, used.seek_window_ms,
                                   used.overlap_ms);
}

void pitch_shifter::set_latency(latency_mode mode) {
    latency_ = mode;
    natural_->set_latency(mode);
    tempo_changer_->set_low_latency(mode == latency_mode::low);
    lengths_ = mode == latency_mode::low ? low_latency_lengths : normal_lengths;
    apply_lengths(false);
}

void pitch_shifter::set_stretch_lengths(const stretch_lengths& lengths) {
    lengths_ = lengths;
    apply_lengths(false);
}

void pitch_shifter::set_block_size(std::uint32_t bytes) {
    tempo_changer_->set_block_size(bytes);
    reserve_squeak_scratch();
    if (latency_ == latency_mode::low) apply_lengths(false);
}

std::int32_t pitch_shifter::delay_frames() const noexcept {
    if (runs_natural_voice()) return -static_cast<std::int32_t>(natural_->latency_frames());
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
    update_natural();
}

void pitch_shifter::set_voice(voice_kind voice) noexcept {
    const bool was_natural = runs_natural_voice();
    voice_ = voice;
    update_natural();
    switch_engine(was_natural);
}

void pitch_shifter::set_timbre_semitones(std::int32_t semitones) noexcept {
    const bool was_natural = runs_natural_voice();
    timbre_ = std::clamp(semitones, -max_timbre_semitones, max_timbre_semitones);
    update_natural();
    switch_engine(was_natural);
}

void pitch_shifter::update_natural() noexcept {
    natural_->set_pitch_factor(pitch_);
    // The squeak voice moves its formants with the pitch; the timbre moves
    // them further in either voice.
    const double timbre = std::exp2(timbre_ / 12.0);
    natural_->set_formant_factor(voice_ == voice_kind::squeak ? pitch_ * timbre : timbre);
}

void pitch_shifter::switch_engine(bool was_natural) noexcept {
    // Sound the natural voice still holds from an earlier turn would come
    // out as an echo of the past; it starts from silence instead.
    if (!was_natural && runs_natural_voice()) natural_->reset();
}

void pitch_shifter::recalculate() {
    const std::uint32_t old_rate = effective_rate_;
    const std::uint32_t old_tempo = effective_tempo_;
    effective_tempo_ = static_cast<std::uint32_t>(10000.0 / static_cast<double>(pitch_));
    effective_rate_ = static_cast<std::uint32_t>(10000.0 * static_cast<double>(pitch_));
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
    if (latency_ == latency_mode::low) apply_lengths(false);
}

void pitch_shifter::reserve_squeak_scratch() {
    const std::uint32_t need =
        tempo_changer_->block_frames() * std::max<std::uint32_t>(channels_, 1);
    if (need <= squeak_scratch_samples_) return;
    squeak_scratch_ = std::make_unique_for_overwrite<std::int16_t[]>(need);
    squeak_scratch_samples_ = need;
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
    if (runs_natural_voice()) {
        // The squeak voice's stages go on hearing the voice, so that going
        // back to them plays what was just said, not a piece of what was
        // said when they were left.
        if (squeak_listening_ && squeak_scratch_samples_ > 0)
            process_squeak(squeak_scratch_.get(), input, count);
        return natural_->process(output, input, count);
    }
    return process_squeak(output, input, count);
}

std::uint32_t pitch_shifter::process_squeak(std::int16_t* output, const std::int16_t* input,
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
