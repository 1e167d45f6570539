#pragma once
// Changes the tempo of a 16-bit sample stream without changing its pitch.
//
// An overlap-add stretcher with a waveform-similarity search: the input is cut
// into sequences of fixed length that overlap by a fixed length; each new
// sequence is placed where, within a seek window, it best matches the end of
// the previous one, the overlap is cross-faded, and the input advances by a
// skip that the tempo scales. All sample arithmetic is integer fixed point.
//
// Tempo is in ten-thousandths (10000 is normal speed, 20000 halves the
// duration). Counts are frames (one sample per channel, interleaved left,
// right) unless they are said to be samples.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>

#include "engine/sample_buffer.h"
#include "engine/simd/correlation.h"
#include "engine/simd/dispatch.h"

namespace squeakbox {

class tempochanger {
  public:
    // The one-channel search runs on the correlation kernels of `level`
    // (or the best level below it that the processor has).
    explicit tempochanger(simd::level level = squeakbox::kernel_level(active_variant()));
    virtual ~tempochanger();
    tempochanger(const tempochanger&) = delete;
    tempochanger& operator=(const tempochanger&) = delete;

    // Derives the sequence, seek window and overlap lengths from the sample
    // rate in Hz and the three durations in milliseconds, and the input
    // requirement for the current tempo.
    void set_parameters(std::uint32_t sample_rate, std::uint32_t sequence_ms,
                        std::uint32_t seek_window_ms, std::uint32_t overlap_ms);

    // Sets the tempo in ten-thousandths; 0 is not a tempo and is ignored.
    // Returns the frames that one sequence spans before the seek window:
    // the larger of overlap + skip and the sequence length.
    std::uint32_t set_tempo(std::uint32_t tempo);

    // 1 or 2; other counts are ignored. Held samples are kept as they are and
    // read with the new channel count.
    void set_channels(std::uint32_t channels);

    // The size in bytes of the caller's output blocks; bounds each call's
    // output to the frames that fit.
    void set_block_size(std::uint32_t bytes);

    // Low-latency pacing, off at construction. Instead of keeping a block or
    // more in hand, the stretcher waits only until it holds enough to fill
    // every block up to its next sequence, and from then on hands out a whole
    // block (the output limit) on every call: the delay is the sequence's
    // look-ahead and no more. Should a block ever come up short (the pitch went
    // up, so the look-ahead grew), it waits again. The held sound is caught
    // up as in the normal pacing, but down to what keeps every block full
    // (the band is 0 unless `set_lag_tolerance` asks for one), so the delay
    // stays at its least for as long as the stream runs. Switching either way
    // keeps all held sound.
    void set_low_latency(bool on);
    [[nodiscard]] bool low_latency() const noexcept { return low_latency_; }

    // Appends `count` frames of `input`, processes at most one sequence and
    // writes a paced number of frames to `output`, which is returned. `output`
    // needs room for max(output limit, 32) frames.
    std::uint32_t process(std::int16_t* output, const std::int16_t* input, std::uint32_t count);

    // How far ahead of the input, in output frames, the stream that `process`
    // returns runs on average once it flows (the calls before the first
    // sequence return nothing and are not counted). A sequence starts where
    // the search finds the best join. Counted by loudness (the search favours
    // loud matches, and loud sequences are what is heard), that is five
    // eighths into the seek window when the tempo is below 10000, where the
    // natural continuation lies beyond the window and the plain average is
    // its middle, and two fifths in otherwise. Within a sequence the output
    // runs 10000 / tempo times as fast as the input and gets ahead of it by
    // up to (sequence - overlap) times that speed less one, half of that on
    // average.
    [[nodiscard]] double delay_frames() const noexcept;

    // Diagnostics: the frames waiting in the input and output buffers (the
    // output's are sound already made but not yet handed out: delay), and the
    // output buffer's capacity in samples.
    [[nodiscard]] std::uint32_t held_input_frames() const noexcept { return input_frames; }
    [[nodiscard]] std::uint32_t held_output_frames() const noexcept { return output_frames; }
    [[nodiscard]] std::uint32_t output_capacity_samples() const noexcept { return output_capacity; }
    // The lengths in frames as derived from the parameters, and the most
    // frames that one call hands out.
    [[nodiscard]] std::uint32_t sequence_frames() const noexcept { return sequence_length; }
    [[nodiscard]] std::uint32_t seek_frames() const noexcept { return seek_length; }
    [[nodiscard]] std::uint32_t overlap_frames() const noexcept { return overlap_length; }
    [[nodiscard]] std::uint32_t block_frames() const noexcept {
        return std::max<std::uint32_t>(output_limit, 32);
    }

    // The sound held between input and output, in frames of output time: the
    // output made but not handed out, plus the input waiting, at the tempo.
    // Its growth is the growth of the delay from microphone to speaker.
    [[nodiscard]] std::uint64_t held_sound_frames() const noexcept;

    // How far, in frames of output time, the held sound may rise above its
    // normal level (the input a sequence needs plus the block the pacing keeps
    // in hand) before the stretcher catches up. The truncated skip and pacing
    // make a little more sound than they hand out at most tempos; left alone
    // the surplus piles up in the output buffer and the voice falls further
    // behind for as long as the stream runs. Past the band, the next sequence
    // starts a few input frames later than the skip says, so its overlap
    // search and cross-fade join the sound as at every other seam; nothing is
    // dropped from or added to the output. 0 keeps the held sound at its
    // normal level; UINT32_MAX never corrects. Until this is called the band
    // is what `set_sequence_band` says.
    void set_lag_tolerance(std::uint32_t frames);
    [[nodiscard]] std::uint32_t lag_tolerance() const noexcept;
    // The band of a live stream, for the normal pacing: one sequence (82 ms
    // at 44.1 kHz on the normal lengths), so a live voice never falls behind.
    // In the pitch shifter's streams no pitch crosses it in the first twenty
    // seconds of a voice; the stretcher alone does within them at some
    // tempos (0.7071 for one). Off at construction: the stretcher alone never catches up in
    // the normal pacing, and its stream is sample for sample the one it made
    // before it could. A caller that streams live (the pitch shifter) turns
    // it on. `set_lag_tolerance` overrides it either way; the low-latency
    // pacing has a band of its own (0 unless one is set).
    void set_sequence_band(bool on);
    // Keeps the made sound in step with the input exactly, for a caller that
    // lines the stream up with its input once and for all (a file renderer):
    // every input frame here is `source_rate` / 10000 frames of the source
    // (the transposer's rate; 10000 for plain time-stretching), and whenever
    // the sequences have made a whole frame more than that input lasts, the
    // next one starts a frame later. The pacing plays no part, so the stream
    // keeps its timing however the calls hand it out. It also holds the
    // sound where delay_frames() says it is when pauses are digital silence:
    // a join onto silence starts its sequence wherever the search began, and
    // once a few seconds of sound have shown how late that makes the sound,
    // weighted by loudness, later sequences start that much later again, a
    // frame or two at a time. 0 turns it off.
    void keep_in_step(std::uint32_t source_rate);

    // Input frames consumed beyond the skip so far, and the number of
    // sequences that did so.
    [[nodiscard]] std::uint64_t caught_up_frames() const noexcept { return caught_up_frames_; }
    [[nodiscard]] std::uint64_t catch_ups() const noexcept { return catch_ups_; }

  protected:
    // The six operations that a processor-specific variant may replace, in
    // this order. The searches return a position in frames below seek_length
    // (0 when seek_length is 0); the cross-fades write overlap_length frames.
    virtual std::uint32_t seek_best_overlap_stereo(const std::int16_t* mid,
                                                   const std::int16_t* input);
    virtual std::uint32_t seek_best_overlap_mono(const std::int16_t* mid,
                                                 const std::int16_t* input);
    virtual std::uint32_t seek_best_overlap_stereo_quick(const std::int16_t* mid,
                                                         const std::int16_t* input);
    virtual std::uint32_t seek_best_overlap_mono_quick(const std::int16_t* mid,
                                                       const std::int16_t* input);
    virtual void overlap_stereo(std::int16_t* dest, std::uint32_t pos);
    virtual void overlap_mono(std::int16_t* dest, std::uint32_t pos);

    std::uint32_t seek_best_overlap(const std::int16_t* mid, const std::int16_t* input);

    // Writes the windowed copy of mid into reference_buffer.
    void precalc_reference_stereo(const std::int16_t* mid);
    void precalc_reference_mono(const std::int16_t* mid);

    // The plain two-channel and one-channel correlations at one position.
    std::int32_t correlate_stereo(const std::int16_t* input) const;
    std::int32_t correlate_mono(const std::int16_t* input) const;

    // Coarse-to-fine offsets of the quick search; a row ends at its first 0.
    static constexpr std::int32_t scan_offsets[4][24] = {
        {124, 186, 248, 310,  372,  434,  496,  558,  620,  682,  744,  806,
         868, 930, 992, 1054, 1116, 1178, 1240, 1302, 1364, 1426, 1488, 0},
        {-100, -75, -50, -25, 25, 50, 75, 100, 0},
        {-20, -15, -10, -5, 5, 10, 15, 20, 0},
        {-4, -3, -2, -1, 1, 2, 3, 4, 0},
    };

    // The full search with the given correlation: every position of the seek
    // window in order; strictly greater wins, so of equal maxima the first
    // stays.
    template <class Correlation>
    std::uint32_t scan_full(Correlation&& correlation) const {
        std::int32_t best = INT32_MIN;
        std::uint32_t best_pos = 0;
        for (std::uint32_t p = 0; p < seek_length; ++p) {
            const std::int32_t c = correlation(p);
            if (c > best) {
                best = c;
                best_pos = p;
            }
        }
        return best_pos;
    }

    // The quick search over scan_offsets with the given correlation, starting
    // from best_pos = start_pos. A refinement replaces the winner only when it
    // is strictly better; a row stops at its first position past the window.
    template <class Correlation>
    std::uint32_t scan_quick(std::uint32_t start_pos, Correlation&& correlation) const {
        std::int32_t best = INT32_MIN;
        std::uint32_t best_pos = start_pos;
        std::uint32_t base = 0;
        for (const auto& row : scan_offsets) {
            for (const std::int32_t offset : row) {
                if (offset == 0) break;
                // Unsigned on purpose: below 0 becomes a huge position, which
                // ends the row like any other past the window.
                const std::uint32_t p = base + static_cast<std::uint32_t>(offset);
                if (p >= seek_length) break;
                const std::int32_t c = correlation(p);
                if (c > best) {
                    best = c;
                    best_pos = p;
                }
            }
            base = best_pos;
        }
        return best_pos;
    }

    // Buffer operations of process(); counts in frames.
    void append_input(const std::int16_t* samples, std::uint32_t frames);
    void remove_input(std::uint32_t frames);
    void reserve_output(std::uint32_t total_frames);
    void append_output(const std::int16_t* samples, std::uint32_t frames);
    void take_output(std::int16_t* dest, std::uint32_t frames);

    // The frames that a call with `count` input frames hands out.
    std::uint32_t paced_frames(std::uint32_t count) const;
    // Low-latency pacing: writes this call's frames to `output` and
    // returns their count; decides whether the output flows.
    std::uint32_t hand_out_low_latency(std::int16_t* output);
    // Output the low-latency pacing hands out before the next sequence,
    // with `input` frames held.
    std::uint64_t output_spent_before_sequence(std::uint64_t input) const;
    // Output frames held beyond this call's block and the blocks before the
    // next sequence; below 0, a block will come up short.
    std::int64_t low_latency_spare(std::uint32_t block) const;
    // Frames kept beyond that against the unevenness of the input.
    std::uint32_t low_latency_margin() const;
    // The catching up of the low-latency pacing: input frames beyond the
    // skip whose output would only add delay.
    std::uint32_t low_latency_catch_up_frames() const;

    // Input frames consumed per sequence: (sequence - overlap) * tempo / 10000.
    std::uint32_t skip_frames() const;

    sample_buffer output_buffer;
    std::uint32_t input_frames = 0;
    std::uint32_t input_capacity = 0;  // samples; follows input_buffer.capacity()
    std::uint32_t output_frames = 0;
    std::uint32_t output_start = 0;
    std::uint32_t output_capacity = 0;  // samples; follows output_buffer.capacity()
    std::uint32_t quick_seek = 0;
    std::uint32_t channels = 2;
    std::uint32_t input_required = 0;
    std::uint32_t tempo = 10000;
    std::uint32_t output_limit = 0;
    std::uint32_t block_bytes = 0;
    // Room for two channels of the longest overlap (512 frames), for life.
    std::unique_ptr<std::int16_t[]> overlap_buffer;
    std::unique_ptr<std::int16_t[]> reference_buffer;
    sample_buffer input_buffer;
    std::uint32_t overlap_length = 0;
    std::uint32_t overlap_shift = 0;
    std::uint32_t reference_shift = 0;
    std::uint32_t seek_length = 0;
    std::uint32_t sequence_length = 0;
    std::uint32_t seek_margin = 0;
    const simd::correlation_kernels* kernels;

    static constexpr std::uint32_t max_overlap_length = 512;

    bool low_latency_ = false;
    // Low-latency pacing only: whole blocks are being handed out, and the
    // silence that the first of them began with.
    bool flowing_ = false;
    std::uint32_t lead_silence_ = 0;

  private:
    // One sequence; `count` is the call's input, which the pacing keeps in hand.
    void process_sequence(std::uint32_t count);
    std::uint32_t derive_input_required();
    // Input frames the coming sequence consumes beyond its skip to bring the
    // held sound back into its band; 0 while it is inside.
    std::uint32_t catch_up_frames(std::uint32_t count) const;

    std::optional<std::uint32_t> tolerance_setting;  // unset: see sequence_band_
    bool sequence_band_ = false;
    // Input frames the next sequence consumes beyond its skip to keep in
    // step with the source; 0 unless keep_in_step is on.
    std::uint32_t in_step_frames();
    std::uint32_t step_rate = 0;
    std::int64_t step_error = 0;  // output made less input consumed, 1/10000 frames
    std::uint64_t caught_up_frames_ = 0;
    std::uint64_t catch_ups_ = 0;

    // Where a sequence's sound starts in the seek window, on average, for the
    // voice's own joins.
    [[nodiscard]] double estimated_start() const noexcept;
    // While in step: the joins that silence decided (see silent_join_frames),
    // by the loudness of the sequences, and how far they moved the sound.
    void note_start(std::uint32_t pos);
    // Input frames the coming sequence consumes beyond `taken` to bring back
    // the sound that silence-decided joins made late.
    std::uint32_t silent_join_frames(std::uint32_t taken);
    static constexpr double loud_sequence_level = 100.0;  // about -50 dBFS
    static constexpr std::uint32_t settled_loud_sequences = 256;
    double start_weight = 0;
    double silent_join_weight = 0;
    double silent_join_sum = 0;
    std::uint32_t loud_sequences = 0;
    std::uint64_t silent_join_moved = 0;
    bool joined_before = false;  // a sequence has been noted since keep_in_step began
};

}  // namespace squeakbox
