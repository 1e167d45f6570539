#pragma once
// The natural voice: the pitch moves, the formants stay.
//
// Moving the pitch by resampling moves every resonance of the vocal tract
// with it, and the voice turns into a cartoon. This engine works
// pitch-synchronously instead: it finds the pitch period of the voice, cuts
// grains two periods long (Hann-windowed) around marks one period apart, and
// lays them down again at the new period's spacing. A grain keeps its own
// waveform, so the resonances inside it, the formants, stay where they were;
// only the rate at which the glottal pulses repeat changes. Resampling each
// grain by its own factor moves the formants independently: that is the
// timbre.
//
// Unvoiced sounds (s, f, sh) and silence have no period to keep. They pass by
// plain overlap-add at a fixed hop with the analysis under the synthesis, so
// no periodic grain pattern is stamped onto noise (which would buzz).
//
// Every call returns exactly as many frames as it was given, a fixed
// `latency_frames()` behind the input. Samples are converted to float inside.
// Not safe for concurrent use; only `configure` allocates.

#include <cstdint>
#include <vector>

namespace squeakbox {

enum class latency_mode;

class natural_voice {
  public:
    // The formant factor's range: two octaves either way already turn a
    // voice into something else, and beyond them the grains are too short or
    // too long to carry a resonance.
    static constexpr double min_formant_factor = 0.25;
    static constexpr double max_formant_factor = 4.0;

    natural_voice();

    // Sizes every buffer for the rate and channels (1 or 2) and starts anew.
    // The only call that allocates.
    void configure(std::uint32_t channels, std::uint32_t sample_rate);
    // Normal keeps grains up to 20 ms a half, deep voices whole; low caps the
    // halves at 12 ms, for a shorter delay. Starts anew when the mode changes.
    void set_latency(latency_mode mode) noexcept;
    // The factor the pitch moves by (2 to the power semitones / 12); > 0.
    void set_pitch_factor(double factor) noexcept;
    // The factor the formants move by, clamped to the range above.
    void set_formant_factor(double factor) noexcept;

    // Forgets all sound held; the stream starts again with silence.
    void reset() noexcept;

    // Converts `count` interleaved frames; `output` holds `count` frames and
    // may not overlap `input`. Returns `count`.
    std::uint32_t process(std::int16_t* output, const std::int16_t* input,
                          std::uint32_t count) noexcept;

    // Output frame t carries input frame t - latency_frames().
    [[nodiscard]] std::uint32_t latency_frames() const noexcept { return latency_; }

  private:
    struct mark {
        double position = 0;  // input frame of the grain's centre
        double period = 0;    // frames; 0 for unvoiced
    };

    void derive_lengths() noexcept;
    void take_input(const std::int16_t* input, std::uint32_t count) noexcept;
    void track_pitch() noexcept;
    void add_marks() noexcept;
    void add_grains(std::int64_t output_end) noexcept;
    void add_grain(double centre, double source, double half_in, double half_out) noexcept;
    void emit(std::int16_t* output, std::uint32_t count) noexcept;

    [[nodiscard]] float input_at(std::uint32_t channel, std::int64_t frame) const noexcept;

    std::uint32_t channels_ = 1;
    std::uint32_t rate_ = 44100;
    bool low_latency_ = false;
    double pitch_ = 1.0;
    double formant_ = 1.0;

    // Lengths in frames, from the rate and the mode.
    std::uint32_t cap_ = 0;         // longest grain half, in and out
    double unvoiced_hop_ = 0;       // fixed hop of unvoiced grains
    std::uint32_t latency_ = 0;     // output behind input
    std::uint32_t decimation_ = 1;  // full-rate frames per tracker sample
    std::uint32_t track_hop_ = 1;   // tracker samples between estimates
    std::uint32_t min_lag_ = 2;     // tracker samples: highest pitch
    std::uint32_t max_lag_ = 2;     // tracker samples: lowest pitch
    double quiet_energy_ = 0;       // mean square below which nothing is voiced

    // Rings indexed by absolute frame & mask_.
    std::uint64_t mask_ = 0;
    std::vector<float> input_;   // channels_ rings, one after the other
    std::vector<float> mix_;     // the channels' mean, for the tracker
    std::vector<float> sum_;     // channels_ rings of overlap-added grains
    std::vector<float> weight_;  // the windows' sum at each output frame
    std::uint64_t track_mask_ = 0;
    std::vector<float> track_;  // low-passed, decimated mix
    std::vector<float> scratch_;
    std::vector<mark> marks_;
    std::uint64_t marks_mask_ = 0;

    // Stream state.
    std::int64_t received_ = 0;  // input frames taken
    std::int64_t emitted_ = 0;   // output frames handed out, less the delay
    std::uint64_t tracked_ = 0;  // tracker samples written
    std::uint32_t decimation_phase_ = 0;
    std::uint32_t since_estimate_ = 0;
    double lowpass_state_[4] = {};
    double lowpass_[5] = {};  // b0 b1 b2 a1 a2
    bool voiced_ = false;
    double period_ = 0;
    std::uint64_t marks_written_ = 0;
    std::uint64_t mark_cursor_ = 0;  // the mark at or before the synthesis point
    double next_mark_ = 0;
    double next_grain_ = 0;
};

}  // namespace squeakbox
