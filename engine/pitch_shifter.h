#pragma once
// The entry point of the pitch-shift engine.
//
// A block of 16-bit frames goes in and a block of about the same duration comes
// out, its pitch moved by a factor (2 to the power semitones / 12). Two stages
// do the work: the rate transposer resamples by the pitch factor (higher pitch,
// fewer frames: shorter and higher), and the tempo changer stretches the result
// back to the input's duration while keeping the new pitch.
//
// Rate and tempo are handed to the stages in ten-thousandths (10000 = 1.0),
// derived from the float pitch factor by truncation. A stage is told about a new
// value only when it actually changed, because the transposer redesigns its
// anti-alias filter on every call.
//
// Not safe for concurrent use; no operation allocates once a steady stream of
// equal blocks has passed its first block.

#include <cstdint>
#include <memory>
#include <string>

#include "engine/simd/dispatch.h"

namespace squeakbox {

class natural_voice;
class rate_transposer_stage;
class tempochanger;

// How much the engine holds back. `normal` is the engine as it always was:
// long sequences, and a block or more kept in hand. `low` trades a little
// smoothness for a much shorter delay: shorter sequences, seek window and
// overlap, and output handed out as soon as it can flow without a gap.
enum class latency_mode { normal, low };

// How the voice is moved. `squeak` is the engine as it always was: the
// formants, the resonances that make a voice a person's, move with the pitch.
// `natural` keeps them where they are and moves only the pitch.
enum class voice_kind { squeak, natural };

// "squeak" or "natural", as the command lines take it.
[[nodiscard]] const char* voice_name(voice_kind voice) noexcept;

// The time-stretcher's lengths in milliseconds.
struct stretch_lengths {
    std::uint32_t sequence_ms = 0;
    std::uint32_t seek_window_ms = 0;
    std::uint32_t overlap_ms = 0;
    friend bool operator==(const stretch_lengths&, const stretch_lengths&) = default;
};

// "normal" or "low", as the command lines take it.
[[nodiscard]] const char* latency_name(latency_mode mode) noexcept;
// The mode and its time-stretcher lengths in words.
[[nodiscard]] std::string latency_description(latency_mode mode);
// The variant and the mode in words, for --version: "avx2 (processor-specific
// _mmx stage classes, avx2 kernels), normal latency (sequence 82 ms, ...)".
[[nodiscard]] std::string engine_description(engine_variant variant, latency_mode mode);

class pitch_shifter {
  public:
    // The usable pitch range, in semitones either way; every caller (the
    // window, the program's and the renderer's command lines) uses this one
    // limit. At +48 the transposer hands the time-stretcher 31 frames for the
    // first 512-frame block after it ran empty, fewer than the 32 frames a call
    // the stretcher is built for; up to +47 every block gives it at least 32.
    // Far past the limit the stages break down altogether: at -58 semitones
    // and 192 kHz the stretcher's 32-bit skip product wraps, and at +-160 the
    // truncated rate or tempo becomes 0, which both stages divide by.
    static constexpr std::int32_t max_semitones = 47;
    static constexpr float max_octaves = max_semitones / 12.0f;

    // "pitch 50 is outside -47 to 47 semitones": the one wording for a pitch
    // beyond the range, wherever it is given.
    [[nodiscard]] static std::string out_of_range_message(long long semitones);

    // Throws std::invalid_argument where this processor cannot run `variant`
    // (an explicit request is never silently downgraded).
    explicit pitch_shifter(engine_variant variant = active_variant());
    ~pitch_shifter();
    pitch_shifter(const pitch_shifter&) = delete;
    pitch_shifter& operator=(const pitch_shifter&) = delete;

    // True exactly where the processor-specific stage classes can run.
    [[nodiscard]] static bool processor_has_mmx() noexcept;

    // 1 or 2; two channels are interleaved left, right.
    void set_channels(std::uint32_t channels);
    void set_sample_rate(std::uint32_t sample_rate);

    // Long sequences that keep voiced sounds smooth, a seek window that covers
    // the pitch periods of a voice, and a crossfade long enough to hide each
    // joint.
    static constexpr stretch_lengths normal_lengths{82, 28, 12};
    // At unison, chosen by measuring delay, pitch accuracy and joins on
    // speech. In low-latency mode the lengths follow the pitch (see
    // `low_latency_lengths_at`).
    static constexpr stretch_lengths low_latency_lengths{28, 11, 7};

    // The stretcher works on the transposed voice, whose periods are the
    // voice's divided by the pitch factor: lengths divided by the factor
    // cover the same stretch of the voice at every pitch, and since the
    // transposed stream arrives that much slower (or faster), they hold back
    // the same time. Beyond an octave either way the octave's lengths stay:
    // they keep the overlap, seek window and sequence within what the
    // stretcher can use.
    [[nodiscard]] static stretch_lengths low_latency_lengths_at(const stretch_lengths& at_unison,
                                                                float pitch) noexcept;

    // Chooses the lengths and the pacing of the mode; may change between any
    // two blocks (held sound is kept). `normal` at construction.
    void set_latency(latency_mode mode);
    [[nodiscard]] latency_mode latency() const noexcept { return latency_; }
    // Other lengths within the current mode (in low-latency mode, the
    // lengths at unison), for measuring candidates; the next set_latency sets
    // the mode's own again.
    void set_stretch_lengths(const stretch_lengths& lengths);
    [[nodiscard]] const stretch_lengths& lengths() const noexcept { return lengths_; }
    // The lengths the stretcher runs with now.
    [[nodiscard]] const stretch_lengths& stretcher_lengths() const noexcept {
        return stretcher_lengths_;
    }
    // Size in bytes of the caller's output buffer: each call writes at most
    // bytes / 2 frames with one channel, bytes / 4 with two (but at least 32).
    void set_block_size(std::uint32_t bytes);
    // Any value is accepted and clamped to +-max_semitones here, whatever the
    // caller checked: the command line, the settings file and the window keep
    // to the same range before they get here, and the renderer refuses what
    // lies outside it. Further in, the stages keep their own factors in range
    // (the transposer its rate, the natural voice its formant factor).
    void set_pitch_semitones(std::int32_t semitones);
    // Clamped to +-max_octaves; NaN leaves the pitch as it is.
    void set_pitch_octaves(float octaves);

    // The timbre moves the formants on their own, in semitones either way.
    static constexpr std::int32_t max_timbre_semitones = 12;
    // "timbre 13 is outside -12 to 12 semitones".
    [[nodiscard]] static std::string timbre_out_of_range_message(long long semitones);

    // Both may change between any two blocks without allocating. The squeak
    // voice at timbre 0 runs the stages above, sample for sample as always;
    // every other combination runs the pitch-synchronous natural voice, the
    // squeak voice there with its formants moved by pitch and timbre
    // together. Going over from one to the other starts that one anew.
    void set_voice(voice_kind voice) noexcept;
    [[nodiscard]] voice_kind voice() const noexcept { return voice_; }
    // Clamped to +-max_timbre_semitones.
    void set_timbre_semitones(std::int32_t semitones) noexcept;
    [[nodiscard]] std::int32_t timbre_semitones() const noexcept { return timbre_; }
    // While the natural voice speaks, the squeak voice's stages go on
    // hearing the voice (on by default), so that going back to them plays
    // what was just said. A caller that never switches back (a renderer
    // with one voice for the whole file) saves their work.
    void keep_squeak_listening(bool on) noexcept { squeak_listening_ = on; }
    // True while the natural voice's engine does the work.
    [[nodiscard]] bool runs_natural_voice() const noexcept {
        return voice_ == voice_kind::natural || timbre_ != 0;
    }

    // How far, in frames, the sound held in the time-stretcher may rise above
    // its normal level before the stretcher catches up (see tempochanger).
    // Until this is called the band is one sequence: wide enough that no
    // pitch is touched in the first twenty seconds of a stream. A renderer that
    // must keep a file's timing to the millisecond asks for a narrow one.
    void set_lag_tolerance(std::uint32_t frames);
    // Keeps the returned stream's sound exactly in step with the input, so
    // that one fixed shift by delay_frames() lines up a file of any length
    // (see tempochanger::keep_in_step). A pitch change restarts the count.
    void keep_in_step(bool on);

    // Runs `count` input frames through both stages and returns the frames
    // written to `output`, which must hold max(block frames, 32) frames.
    // `channels` x `count` x 10000 must fit in 32 bits (214748 mono frames).
    std::uint32_t process(std::int16_t* output, const std::int16_t* input, std::uint32_t count);

    // How far, in frames, the stream that `process` returns runs ahead of the
    // input for the current pitch, sample rate and channels, once it flows:
    // frame t of that stream carries, on average, input frame t + delay. It
    // sums the time-stretcher's start in its seek window and its run-ahead
    // within a sequence, and the transposer's filter. Negative when the pitch
    // goes down far enough that the stretched sequences trail the input.
    // Measured on recorded speech from -47 to +24 semitones it lands within
    // about 5 ms. Further up each sound comes out spread over most of a
    // second, and the centre of that spread lands within about 15 ms, by the
    // voice. Where pauses are digital silence a silent overlap starts the
    // next sequence at the seek window's start, which makes the sound late
    // (at +43 some 40 ms); keep_in_step brings most of that back after the
    // first seconds. The silence before the first sequence is not part of
    // it: a caller that keeps every block's output has that too.
    // The natural voice returns every block's worth at once and trails the
    // input by a fixed delay, so there it is exact and negative.
    [[nodiscard]] std::int32_t delay_frames() const noexcept;

    [[nodiscard]] float pitch() const noexcept { return pitch_; }
    [[nodiscard]] std::uint32_t effective_rate() const noexcept { return effective_rate_; }
    [[nodiscard]] std::uint32_t effective_tempo() const noexcept { return effective_tempo_; }
    [[nodiscard]] std::uint32_t channels() const noexcept { return channels_; }
    [[nodiscard]] std::uint32_t intermediate_capacity() const noexcept {
        return intermediate_capacity_;
    }
    [[nodiscard]] engine_variant variant() const noexcept { return variant_; }
    [[nodiscard]] bool uses_mmx_classes() const noexcept {
        return squeakbox::uses_mmx_classes(variant_);
    }

    // How often each stage has been told a new rate or tempo, and the last
    // output size handed to the transposer: lets callers and tests see that a
    // stage is touched only when its value changes.
    [[nodiscard]] std::uint32_t rate_updates() const noexcept { return rate_updates_; }
    [[nodiscard]] std::uint32_t tempo_updates() const noexcept { return tempo_updates_; }
    [[nodiscard]] std::uint32_t transposer_block_bytes() const noexcept {
        return transposer_block_bytes_;
    }

    // Read-only views of the stages, for diagnostics.
    [[nodiscard]] const rate_transposer_stage& transposer() const noexcept { return *transposer_; }
    [[nodiscard]] const tempochanger& tempo_changer() const noexcept { return *tempo_changer_; }

  private:
    void recalculate();
    // Hands the stretcher the lengths for the mode and pitch, when they differ.
    void apply_lengths(bool always);
    void reserve_intermediate(std::uint32_t count);
    // Hands the natural voice its pitch and formant factors.
    void update_natural() noexcept;
    void switch_engine(bool was_natural) noexcept;
    // The squeak voice's own road through both stages.
    std::uint32_t process_squeak(std::int16_t* output, const std::int16_t* input,
                                 std::uint32_t count);
    // Room for what the stages hand out while the natural voice speaks.
    void reserve_squeak_scratch();

    std::unique_ptr<rate_transposer_stage> transposer_;
    std::unique_ptr<tempochanger> tempo_changer_;
    std::unique_ptr<natural_voice> natural_;
    std::unique_ptr<std::int16_t[]> squeak_scratch_;
    std::uint32_t squeak_scratch_samples_ = 0;
    std::unique_ptr<std::int16_t[]> intermediate_buffer_;
    std::uint32_t intermediate_capacity_ = 0;
    std::uint32_t channels_ = 0;
    float pitch_ = 1.0f;
    std::uint32_t effective_rate_ = 0;
    std::uint32_t effective_tempo_ = 0;
    std::uint32_t sample_rate_ = 44100;
    latency_mode latency_ = latency_mode::normal;
    stretch_lengths lengths_ = normal_lengths;
    stretch_lengths stretcher_lengths_ = normal_lengths;

    engine_variant variant_ = engine_variant::plain;
    std::uint32_t rate_updates_ = 0;
    std::uint32_t tempo_updates_ = 0;
    std::uint32_t transposer_block_bytes_ = 0;
    bool in_step_ = false;
    voice_kind voice_ = voice_kind::squeak;
    bool squeak_listening_ = true;
    std::int32_t timbre_ = 0;
};

}  // namespace squeakbox
