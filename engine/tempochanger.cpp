#include "engine/tempochanger.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace squeakbox {

namespace {

constexpr std::uint32_t ten_thousand = 10000;

// Copies between sample arrays; a count of 0 never touches the pointers, which
// may then be null (an empty buffer, an empty call).
void copy_samples(std::int16_t* dest, const std::int16_t* source, std::uint32_t samples) {
    if (samples != 0) std::memcpy(dest, source, std::size_t{samples} * sizeof(std::int16_t));
}

void move_samples(std::int16_t* dest, const std::int16_t* source, std::uint32_t samples) {
    if (samples != 0) std::memmove(dest, source, std::size_t{samples} * sizeof(std::int16_t));
}

// The overlap exponent: log2(x) rounded to nearest, kept within 4..9 so the
// overlap is 16 to 512 frames. The clamp happens before the conversion to an
// integer, so no rate (0 included, where the logarithm is minus infinity)
// converts an out-of-range floating-point value.
std::uint32_t round_log2(double x) {
    const double exponent = std::log(x) / std::log(2.0) + 0.5;
    if (!(exponent >= 4.0)) return 4;
    if (exponent >= 9.0) return 9;
    return static_cast<std::uint32_t>(exponent);
}

// A correlation term: the product shifted on its own, as an unsigned value so
// that the caller's sum wraps without undefined behaviour.
inline std::uint32_t shifted_term(std::int32_t product, std::uint32_t shift) {
    return static_cast<std::uint32_t>(product >> shift);
}

// The windowed reference of n frames of `channels` samples each: the gain
// j (n - j) >> (2s - 3) is 0 at both ends and 2 in the middle, so a loud mid
// sample there wraps in the stored 16 bits.
void precalc_reference(std::int16_t* ref, const std::int16_t* mid, std::uint32_t n,
                       std::uint32_t channels, std::uint32_t reference_shift) {
    for (std::uint32_t j = 0; j < n; ++j) {
        // At most 512 * 512 / 4 = 65536, and 65536 * -32768 is the least int32.
        const auto weight = static_cast<std::int32_t>(j * (n - j));
        for (std::uint32_t c = 0; c < channels; ++c) {
            const std::int32_t value =
                (std::int32_t{mid[j * channels + c]} * weight) >> reference_shift;
            ref[j * channels + c] = static_cast<std::int16_t>(value);
        }
    }
}

// dest[i] = (mid[i] (n - i) + input[i] i) >> s per channel; the weights add to
// n = 2^s, so the value always fits 16 bits.
void crossfade(std::int16_t* dest, const std::int16_t* mid, const std::int16_t* input,
               std::uint32_t n, std::uint32_t channels, std::uint32_t shift) {
    for (std::uint32_t i = 0; i < n; ++i) {
        const auto fade_in = static_cast<std::int32_t>(i);
        const auto fade_out = static_cast<std::int32_t>(n - i);
        for (std::uint32_t c = 0; c < channels; ++c) {
            const std::uint32_t k = i * channels + c;
            const std::int32_t sum =
                std::int32_t{mid[k]} * fade_out + std::int32_t{input[k]} * fade_in;
            dest[k] = static_cast<std::int16_t>(sum >> shift);
        }
    }
}

}  // namespace

// The overlap buffers are value-initialised: the first sequence fades in from
// silence rather than from whatever the allocation held.
tempochanger::tempochanger(simd::level level)
    : overlap_buffer(std::make_unique<std::int16_t[]>(2 * max_overlap_length)),
      reference_buffer(std::make_unique<std::int16_t[]>(2 * max_overlap_length)),
      kernels(&simd::correlation_kernels_for(level)) {
    set_parameters(44100, 82, 28, 12);
    set_tempo(10000);
}

tempochanger::~tempochanger() = default;

void tempochanger::set_parameters(std::uint32_t sample_rate, std::uint32_t sequence_ms,
                                  std::uint32_t seek_window_ms, std::uint32_t overlap_ms) {
    seek_length = sample_rate * seek_window_ms / 1000;
    sequence_length = sample_rate * sequence_ms / 1000;
    seek_margin = seek_length;
    overlap_shift = round_log2(static_cast<double>(sample_rate * overlap_ms) / 1000.0);
    overlap_length = 1u << overlap_shift;
    reference_shift = 2 * overlap_shift - 3;
    // A sequence must hold two overlaps (the cross-fade in and the overlap
    // kept for the next sequence). Only absurd settings (a sample rate below
    // about 400 Hz, or a sequence shorter than the overlap) break that; they
    // get the shortest sequence that works instead of writes past the output.
    sequence_length = std::max(sequence_length, 2 * overlap_length);
    // The requirement depends on the lengths too; left stale, a sequence at
    // another sample rate would read past the held input.
    derive_input_required();
}

std::uint32_t tempochanger::set_tempo(std::uint32_t new_tempo) {
    // A tempo of 0 would never consume input and divides the pacing by zero.
    if (new_tempo != 0) tempo = new_tempo;
    return derive_input_required();
}

std::uint32_t tempochanger::skip_frames() const {
    // The product wraps in 32 bits, as the pacing's does.
    return (sequence_length - overlap_length) * tempo / ten_thousand;
}

std::uint32_t tempochanger::derive_input_required() {
    std::uint32_t base = overlap_length + skip_frames();
    if (base <= sequence_length) base = sequence_length;
    input_required = base + seek_margin;
    return base;
}

void tempochanger::set_channels(std::uint32_t new_channels) {
    if (new_channels == channels) return;
    if (new_channels == 1) {
        channels = 1;
        input_frames *= 2;
        output_frames *= 2;
        output_start *= 2;
        output_limit = block_bytes >> 1;
    } else if (new_channels == 2) {
        channels = 2;
        input_frames >>= 1;
        output_frames >>= 1;
        output_start >>= 1;
        output_limit = block_bytes >> 2;
    }
    // Any other count would make the buffers' frames larger than their
    // storage; it is not a count this stretcher supports, so nothing changes.
}

void tempochanger::set_block_size(std::uint32_t bytes) {
    block_bytes = bytes;
    output_limit = channels == 1 ? bytes >> 1 : bytes >> 2;
}

std::uint32_t tempochanger::process(std::int16_t* output, const std::int16_t* input,
                                    std::uint32_t count) {
    append_input(input, count);
    // One sequence at most, however much input is held, so the work of a call
    // stays bounded by one search.
    if (input_frames >= input_required) process_sequence(count);
    if (low_latency_) return hand_out_low_latency(output);
    const std::uint32_t frames = paced_frames(count);
    take_output(output, frames);
    return frames;
}

double tempochanger::estimated_start() const noexcept {
    return tempo < ten_thousand ? seek_length * 5.0 / 8.0 : seek_length * 0.4;
}

double tempochanger::delay_frames() const noexcept {
    const double speed = static_cast<double>(ten_thousand) / tempo;
    // Where in the seek window a sequence's sound starts, on average and
    // counted by loudness, as measured on three recorded voices from -47 to
    // +47 semitones. Far up it varies with the voice by about 15 ms of
    // output either way; five eighths splits that.
    const double start = estimated_start();
    // The low-latency pacing's first block begins with silence of its own,
    // which the returned stream carries in front of the first sequence.
    const double silence = low_latency_ ? static_cast<double>(lead_silence_) : 0.0;
    return speed * start + (sequence_length - overlap_length) / 2.0 * (speed - 1.0) - silence;
}

std::uint64_t tempochanger::held_sound_frames() const noexcept {
    return output_frames + std::uint64_t{input_frames} * ten_thousand / tempo;
}

void tempochanger::set_lag_tolerance(std::uint32_t frames) {
    tolerance_setting = frames;
}

void tempochanger::set_sequence_band(bool on) {
    sequence_band_ = on;
}

std::uint32_t tempochanger::lag_tolerance() const noexcept {
    return tolerance_setting.value_or(sequence_band_ ? sequence_length : UINT32_MAX);
}

std::uint32_t tempochanger::catch_up_frames(std::uint32_t count) const {
    if (low_latency_) return low_latency_catch_up_frames();
    // The normal level, in output time, as this call finds it: the input a
    // sequence waits for plus the block just appended, and the `count`
    // frames the pacing keeps in hand.
    const std::uint64_t normal =
        (std::uint64_t{input_required} + count) * ten_thousand / tempo + count + lag_tolerance();
    const std::uint64_t held = held_sound_frames();
    if (held <= normal) return 0;
    // A small step at a time, so that the next search still finds the join
    // it would have found: at most a sixteenth of the seek window of input,
    // and at most a thirty-second of a sequence's output. That is still far
    // more than the frame or two per sequence by which the surplus grows.
    const std::uint64_t over =
        std::min<std::uint64_t>(held - normal, (sequence_length - overlap_length) / 32);
    const std::uint64_t extra =
        std::min<std::uint64_t>(over * tempo / ten_thousand, seek_length / 16);
    // Never more than the sequence leaves held behind its skip.
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(extra, input_frames - skip_frames()));
}

void tempochanger::keep_in_step(std::uint32_t source_rate) {
    const bool starting = step_rate == 0;
    step_rate = source_rate;
    step_error = 0;
    // A new rate (a pitch change) keeps what the joins have shown and how far
    // the sound has been moved for them: moving it again would count them
    // twice.
    if (!starting) return;
    start_weight = 0;
    silent_join_weight = 0;
    silent_join_sum = 0;
    loud_sequences = 0;
    silent_join_moved = 0;
    joined_before = false;
}

void tempochanger::note_start(std::uint32_t pos) {
    // The stream's first sequence joins onto nothing at all.
    if (!joined_before) {
        joined_before = true;
        return;
    }
    // The loudness of what the sequence copies out (its root mean square):
    // a sound is heard where its loud sequences put it.
    const std::int16_t* s = input_buffer.data() + std::size_t{pos} * channels;
    const std::size_t n = std::size_t{sequence_length} * channels;
    if (n == 0) return;
    std::uint64_t energy = 0;
    for (std::size_t i = 0; i < n; ++i)
        energy += static_cast<std::uint32_t>(std::int32_t{s[i]} * s[i]);
    const double loudness = std::sqrt(static_cast<double>(energy) / static_cast<double>(n));
    start_weight += loudness;
    if (loudness >= loud_sequence_level) ++loud_sequences;
    // A reference that is silent after its windowing matches every position
    // equally, and the search keeps the first one it tried instead of
    // finding the voice's join: digital silence before a word, as synthetic
    // and edited speech has and a microphone's recording has not.
    const std::int16_t* ref = reference_buffer.get();
    const std::size_t m = std::size_t{overlap_length} * channels;
    if (std::all_of(ref, ref + m, [](std::int16_t v) { return v == 0; })) {
        silent_join_weight += loudness;
        silent_join_sum += loudness * pos;
    }
}

std::uint32_t tempochanger::silent_join_frames(std::uint32_t taken) {
    if (step_rate == 0 || loud_sequences < settled_loud_sequences) return 0;
    // The delay assumes the voice's joins: a sequence started by silence
    // elsewhere in the window moves its sound by the difference. Weighted by
    // loudness, the sound so far comes out this many input frames late;
    // starting sequences that much later again brings it back. Only ever
    // forward, a frame or two per sequence, so the joins stay the search's.
    const double late = (silent_join_weight * estimated_start() - silent_join_sum) / start_weight;
    if (late <= static_cast<double>(silent_join_moved) + 1.0) return 0;
    const std::int64_t room = std::int64_t{input_frames} - skip_frames() - taken;
    const auto step = static_cast<std::uint32_t>(std::clamp<std::int64_t>(room, 0, 2));
    silent_join_moved += step;
    return step;
}

std::uint32_t tempochanger::in_step_frames() {
    if (step_rate == 0) return 0;
    // The output this sequence makes, less the input it consumes at the
    // source's rate, in ten-thousandths of an output frame.
    step_error += std::int64_t{sequence_length - overlap_length} * ten_thousand -
                  std::int64_t{skip_frames()} * step_rate;
    if (step_error <= 0) return 0;
    const std::int64_t owed = step_error / step_rate;
    const std::int64_t most =
        std::min<std::int64_t>(seek_length / 16, input_frames - skip_frames());
    return static_cast<std::uint32_t>(std::min(owed, most));
}

void tempochanger::process_sequence(std::uint32_t count) {
    // Decided before anything moves: the held sound as this call found it.
    const std::uint32_t kept = std::max(catch_up_frames(count), in_step_frames());
    if (step_rate != 0) step_error -= std::int64_t{kept} * step_rate;
    // Not part of the step count: it moves the sound, not its pace.
    const std::uint32_t extra_skip = kept + silent_join_frames(kept);
    const std::uint32_t n = overlap_length;
    const std::uint32_t pos = seek_best_overlap(overlap_buffer.get(), input_buffer.data());
    if (step_rate != 0) note_start(pos);
    // When the buffer must grow, it grows once for the whole band the held
    // sound may fill (the blocks the pacing keeps, the band above them), not
    // frame by frame as the sound creeps up to it.
    const std::uint32_t total = output_frames + sequence_length - n;
    const std::uint64_t roomy = std::uint64_t{total} +
                                std::min<std::uint64_t>(lag_tolerance(), 4ull * sequence_length) +
                                3ull * output_limit + count;
    if (std::uint64_t{total} * channels > output_capacity && roomy * channels <= UINT32_MAX / 2)
        reserve_output(static_cast<std::uint32_t>(roomy));
    else
        reserve_output(total);
    std::int16_t* dest = output_buffer.data() + std::size_t{output_frames} * channels;
    if (channels == 2)
        overlap_stereo(dest, pos);
    else
        overlap_mono(dest, pos);
    output_frames += n;
    const std::int16_t* in = input_buffer.data();
    append_output(in + std::size_t{pos + n} * channels, sequence_length - 2 * n);
    copy_samples(overlap_buffer.get(), in + std::size_t{pos + sequence_length - n} * channels,
                 n * channels);
    // Extra input consumed here moves the next sequence's search window on;
    // the search then finds the best join there, as at every seam.
    remove_input(skip_frames() + extra_skip);
    if (extra_skip != 0) {
        caught_up_frames_ += extra_skip;
        ++catch_ups_;
    }
}

std::uint32_t tempochanger::paced_frames(std::uint32_t count) const {
    const std::uint32_t held = output_frames;
    std::uint32_t frames;
    if (held < count) {
        // Running short: trickle out small amounts rather than stall.
        frames = held >= 32 ? 32 : held & ~1u;
    } else if (held > 3 * std::uint64_t{output_limit}) {
        // Too much held (the output runs slower than the input): drain a full
        // block, but keep a block's worth.
        frames = std::min(output_limit, held - count);
    } else {
        // Steady state: the output rate that the tempo implies, but never so
        // much that fewer than `count` frames stay held for the next call.
        frames = (count * ten_thousand / tempo) & ~1u;
        if (frames > output_limit) frames = output_limit;
        if (static_cast<std::int32_t>(held - frames) < static_cast<std::int32_t>(count)) {
            frames = held - count;
            if (frames < 32) frames = 32;
            frames &= ~1u;
        }
    }
    // The floor of 32 can exceed what a call of fewer than 32 frames has
    // built up; never hand out frames that are not there.
    return std::min(frames, held & ~1u);
}

void tempochanger::set_low_latency(bool on) {
    low_latency_ = on;
    flowing_ = false;
}

std::uint64_t tempochanger::output_spent_before_sequence(std::uint64_t input) const {
    // Between sequences every call hands out a block and makes nothing; a
    // sequence comes once the input has grown to its requirement, and the
    // output spent by then is the input still missing in the output's time
    // (a sequence adds `span` output frames for `skip` input frames).
    const std::uint64_t span = sequence_length - overlap_length;
    const std::uint64_t skip = skip_frames();
    if (input >= input_required || skip == 0) return 0;
    return (span * (input_required - input) + skip - 1) / skip;
}

std::int64_t tempochanger::low_latency_spare(std::uint32_t block) const {
    // What is held beyond this block and the output spent before the next
    // sequence is spare: never below 0, or a block will come up short.
    const std::uint64_t spent = output_spent_before_sequence(input_frames);
    return std::int64_t{output_frames} - std::int64_t{block} - static_cast<std::int64_t>(spent) -
           static_cast<std::int64_t>(low_latency_margin());
}

std::uint32_t tempochanger::low_latency_margin() const {
    // The transposer's share of a block varies by a frame, which is span /
    // skip frames of output: that much, and two frames for the roundings.
    const std::uint64_t skip = std::max<std::uint64_t>(skip_frames(), 1);
    return static_cast<std::uint32_t>((sequence_length - overlap_length + skip - 1) / skip + 2);
}

std::uint32_t tempochanger::low_latency_catch_up_frames() const {
    // Unless a band is asked for, it is nothing: all that a flowing stream
    // holds beyond what keeps every block full is delay, and goes. Before it
    // flows there is none.
    if (!flowing_) return 0;
    const std::int64_t band = tolerance_setting.value_or(0);
    const std::uint64_t span = sequence_length - overlap_length;
    const std::uint64_t skip = skip_frames();
    if (span == 0 || skip == 0 || input_frames < skip) return 0;
    // The spare after this sequence, its skip and this call's block.
    const std::uint64_t input_after = input_frames - skip;
    const std::uint64_t spent = output_spent_before_sequence(input_after);
    const std::int64_t spare = static_cast<std::int64_t>(output_frames + span) -
                               std::int64_t{block_frames()} - static_cast<std::int64_t>(spent) -
                               band - std::int64_t{low_latency_margin()};
    if (spare <= 1) return 0;
    // Input whose output the spare covers, a frame short for the rounding,
    // in the same small steps as the normal mode's catching up.
    const std::uint64_t over =
        std::min<std::uint64_t>(static_cast<std::uint64_t>(spare), span / 32);
    const std::uint64_t extra = std::min<std::uint64_t>((over - 1) * skip / span, seek_length / 16);
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(extra, input_after));
}

std::uint32_t tempochanger::hand_out_low_latency(std::int16_t* output) {
    const std::uint32_t block = std::max<std::uint32_t>(output_limit, 32);
    const std::uint32_t held = output_frames;
    if (flowing_) {
        if (held >= block) {
            take_output(output, block);
            return block;
        }
        // Came up short (the pitch went up, so the look-ahead grew): hand
        // out the rest and build up enough again.
        flowing_ = false;
        take_output(output, held);
        return held;
    }
    // Starting: the first block begins with as much silence as the blocks
    // after it need held back, so the sound starts as early as it can, to
    // the frame rather than to the block.
    const std::int64_t spare = low_latency_spare(block);
    if (held == 0 || spare <= -std::int64_t{block}) return 0;
    flowing_ = true;
    const std::uint32_t silence = spare >= 0 ? 0 : static_cast<std::uint32_t>(-spare);
    lead_silence_ = silence;
    std::fill_n(output, std::size_t{silence} * channels, std::int16_t{0});
    take_output(output + std::size_t{silence} * channels, block - silence);
    return block;
}

std::uint32_t tempochanger::seek_best_overlap(const std::int16_t* mid, const std::int16_t* input) {
    if (quick_seek != 0) {
        return channels == 2 ? seek_best_overlap_stereo_quick(mid, input)
                             : seek_best_overlap_mono_quick(mid, input);
    }
    return channels == 2 ? seek_best_overlap_stereo(mid, input)
                         : seek_best_overlap_mono(mid, input);
}

void tempochanger::precalc_reference_stereo(const std::int16_t* mid) {
    precalc_reference(reference_buffer.get(), mid, overlap_length, 2, reference_shift);
}

void tempochanger::precalc_reference_mono(const std::int16_t* mid) {
    precalc_reference(reference_buffer.get(), mid, overlap_length, 1, reference_shift);
}

std::int32_t tempochanger::correlate_stereo(const std::int16_t* input) const {
    const std::int16_t* ref = reference_buffer.get();
    std::uint32_t sum = 0;
    for (std::uint32_t j = 1; j < overlap_length; ++j) {
        const std::uint32_t k = 2 * j;
        // Left and right products are added before the shift; that sum wraps.
        const std::uint32_t frame =
            static_cast<std::uint32_t>(std::int32_t{ref[k]} * std::int32_t{input[k]}) +
            static_cast<std::uint32_t>(std::int32_t{ref[k + 1]} * std::int32_t{input[k + 1]});
        sum += shifted_term(static_cast<std::int32_t>(frame), overlap_shift);
    }
    return static_cast<std::int32_t>(sum);
}

std::int32_t tempochanger::correlate_mono(const std::int16_t* input) const {
    std::int32_t c;
    kernels->correlate_mono(reference_buffer.get(), input, overlap_length, overlap_shift, 1, &c);
    return c;
}

std::uint32_t tempochanger::seek_best_overlap_stereo(const std::int16_t* mid,
                                                     const std::int16_t* input) {
    precalc_reference_stereo(mid);
    return scan_full([&](std::uint32_t p) { return correlate_stereo(input + 2 * std::size_t{p}); });
}

std::uint32_t tempochanger::seek_best_overlap_mono(const std::int16_t* mid,
                                                   const std::int16_t* input) {
    precalc_reference_mono(mid);
    // The kernel scores a stretch of positions at a time into this scratch on
    // the stack; strictly greater wins, so of equal maxima the first stays.
    constexpr std::uint32_t chunk = 512;
    std::int32_t scores[chunk];
    std::int32_t best = INT32_MIN;
    std::uint32_t best_pos = 0;
    for (std::uint32_t first = 0; first < seek_length; first += chunk) {
        const std::uint32_t count = std::min(chunk, seek_length - first);
        kernels->correlate_mono(reference_buffer.get(), input + first, overlap_length,
                                overlap_shift, count, scores);
        for (std::uint32_t i = 0; i < count; ++i) {
            if (scores[i] > best) {
                best = scores[i];
                best_pos = first + i;
            }
        }
    }
    return best_pos;
}

std::uint32_t tempochanger::seek_best_overlap_stereo_quick(const std::int16_t* mid,
                                                           const std::int16_t* input) {
    precalc_reference_stereo(mid);
    return scan_quick(
        0, [&](std::uint32_t p) { return correlate_stereo(input + 2 * std::size_t{p}); });
}

std::uint32_t tempochanger::seek_best_overlap_mono_quick(const std::int16_t* mid,
                                                         const std::int16_t* input) {
    precalc_reference_mono(mid);
    return scan_quick(0, [&](std::uint32_t p) { return correlate_mono(input + p); });
}

void tempochanger::overlap_stereo(std::int16_t* dest, std::uint32_t pos) {
    crossfade(dest, overlap_buffer.get(), input_buffer.data() + 2 * std::size_t{pos},
              overlap_length, 2, overlap_shift);
}

void tempochanger::overlap_mono(std::int16_t* dest, std::uint32_t pos) {
    crossfade(dest, overlap_buffer.get(), input_buffer.data() + pos, overlap_length, 1,
              overlap_shift);
}

void tempochanger::append_input(const std::int16_t* samples, std::uint32_t frames) {
    const std::uint32_t held = input_frames * channels;
    std::uint32_t need = (input_frames + frames) * channels;
    // The low-latency stream holds up to a requirement and a call's input
    // before a sequence, and reaches new highs by a frame now and then, long
    // after it started: its first growth takes room for all of that (and for
    // a call one frame longer), so that it never allocates again.
    if (low_latency_ && need > input_capacity)
        need = std::max(need, (input_required + 2 * frames + 2) * channels);
    if (input_buffer.reserve(need, 0, held)) input_capacity = input_buffer.capacity();
    copy_samples(input_buffer.data() + held, samples, frames * channels);
    input_frames += frames;
}

void tempochanger::remove_input(std::uint32_t frames) {
    input_frames -= frames;
    std::int16_t* data = input_buffer.data();
    move_samples(data, data + std::size_t{frames} * channels, input_frames * channels);
}

void tempochanger::reserve_output(std::uint32_t total_frames) {
    const std::uint32_t held = output_frames * channels;
    const std::uint32_t start = output_start * channels;
    if (output_buffer.reserve(total_frames * channels, start, held)) {
        output_capacity = output_buffer.capacity();
    } else if (start != 0) {
        std::int16_t* data = output_buffer.data();
        move_samples(data, data + start, held);
    }
    output_start = 0;
}

void tempochanger::append_output(const std::int16_t* samples, std::uint32_t frames) {
    reserve_output(output_frames + frames);
    copy_samples(output_buffer.data() + std::size_t{output_frames} * channels, samples,
                 frames * channels);
    output_frames += frames;
}

void tempochanger::take_output(std::int16_t* dest, std::uint32_t frames) {
    copy_samples(dest, output_buffer.data() + std::size_t{output_start} * channels,
                 frames * channels);
    output_start += frames;
    output_frames -= frames;
}

}  // namespace squeakbox
