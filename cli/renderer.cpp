#include "cli/renderer.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "audio/sound_files/sound_file.h"
#include "engine/pitch_shifter.h"

namespace squeakbox::render {

namespace {

// Frames read from and written to the files at a time: large enough that the
// file layer's cost per call disappears, small enough to stay in cache.
constexpr std::uint32_t chunk_target_frames = 32768;

// The output waiting to be written, consumed from the front.
class frame_queue {
  public:
    explicit frame_queue(std::uint32_t channels) : channels_(channels) {}

    void push(const std::int16_t* samples, std::uint64_t frames) {
        samples_.insert(samples_.end(), samples, samples + frames * channels_);
    }
    void push_silence(std::uint64_t frames) {
        samples_.resize(samples_.size() + frames * channels_, 0);
    }
    [[nodiscard]] std::uint64_t frames() const noexcept {
        return (samples_.size() - front_) / channels_;
    }
    // Writes the first `frames` frames and drops them.
    void write_front(sound_writer& output, std::uint64_t frames) {
        if (frames == 0) return;
        output.write(samples_.data() + front_, frames);
        front_ += frames * channels_;
        if (front_ * 2 >= samples_.size()) {
            samples_.erase(samples_.begin(),
                           samples_.begin() + static_cast<std::ptrdiff_t>(front_));
            front_ = 0;
        }
    }

  private:
    std::uint32_t channels_;
    std::vector<std::int16_t> samples_;
    std::size_t front_ = 0;
};

}  // namespace

std::int32_t starting_semitones(const render_options& options) {
    if (!options.pitch_changes.empty() && options.pitch_changes.front().block == 0)
        return options.pitch_changes.front().semitones;
    return options.semitones;
}

void check_input(const sound_reader& input) {
    if (input.channels() < 1 || input.channels() > 2)
        throw file_error(input.name() + ": has " + std::to_string(input.channels()) +
                         " channels; only mono and stereo are supported");
    if (input.sample_rate() < min_sample_rate || input.sample_rate() > max_sample_rate)
        throw file_error(input.name() + ": sample rate " + std::to_string(input.sample_rate()) +
                         " Hz is not supported (8000 to 192000 Hz)");
}

render_result render_file(const render_options& options, sound_reader& input, sound_writer& output,
                          const progress_callback& progress) {
    const std::uint32_t channels = input.channels();
    const std::uint32_t block = options.block_frames;

    pitch_shifter engine(options.engine);
    engine.set_channels(channels);
    engine.set_sample_rate(input.sample_rate());
    engine.set_block_size(block * channels * 2);
    engine.set_latency(options.latency);
    engine.set_pitch_semitones(starting_semitones(options));
    engine.set_voice(options.voice);
    engine.set_timbre_semitones(options.timbre);
    // One voice for the whole file: nothing ever goes back to the squeak
    // voice's stages.
    engine.keep_squeak_listening(false);

    render_result result;
    // In low-latency mode the engine's first block of sound starts with as
    // much silence as it needs, which it reports with its delay once that
    // block is out; the alignment waits for it.
    bool aligned = options.raw || options.latency != latency_mode::low;
    if (!options.raw) {
        // The file is lined up by one fixed shift, the engine's delay at the
        // start, so the engine must keep that delay to the end: its sound is
        // kept in step with the input exactly.
        engine.keep_in_step(true);
        result.delay_frames = engine.delay_frames();
    }

    // Chunks are whole blocks, so only the last one can end inside a block.
    const std::uint32_t chunk_frames = std::max(1u, chunk_target_frames / block) * block;
    std::vector<std::int16_t> chunk(std::size_t{chunk_frames} * channels);
    std::vector<std::int16_t> engine_output(std::size_t{std::max(block, 32u)} * channels);
    frame_queue queue(channels);

    // Aligned output: frame t of the file is frame t - delay of the engine's
    // stream. A positive delay is made up with leading silence, a negative one
    // by skipping the stream's first frames.
    std::uint64_t skip = 0;
    std::uint64_t queued_total = 0;  // frames ever queued
    const auto align = [&] {
        skip = result.delay_frames < 0 ? static_cast<std::uint64_t>(-result.delay_frames) : 0;
        if (result.delay_frames > 0) {
            queue.push_silence(static_cast<std::uint64_t>(result.delay_frames));
            queued_total += static_cast<std::uint64_t>(result.delay_frames);
        }
        aligned = true;
    };
    if (aligned) align();
    std::uint64_t written = 0;

    std::uint64_t block_number = 0;
    auto next_change = options.pitch_changes.begin();
    auto run_block = [&](const std::int16_t* samples) {
        for (; next_change != options.pitch_changes.end() && next_change->block <= block_number;
             ++next_change)
            engine.set_pitch_semitones(next_change->semitones);
        ++block_number;
        const std::uint32_t n = engine.process(engine_output.data(), samples, block);
        if (!aligned && n > 0) {
            result.delay_frames = engine.delay_frames();
            align();
        }
        std::uint64_t from = 0;
        if (skip > 0) {
            from = std::min<std::uint64_t>(skip, n);
            skip -= from;
        }
        queue.push(engine_output.data() + from * channels, n - from);
        queued_total += n - from;
    };

    const std::uint64_t announced = input.frames();
    bool at_end = false;
    while (!at_end) {
        const std::uint64_t got = input.read(chunk.data(), chunk_frames);
        at_end = got < chunk_frames;
        result.input_frames += got;
        const std::uint64_t full_blocks = got / block;
        for (std::uint64_t b = 0; b < full_blocks; ++b)
            run_block(chunk.data() + b * block * channels);
        const std::uint64_t partial = got - full_blocks * block;
        if (partial > 0 && !options.raw) {
            // The last, short block goes in padded with silence, which the
            // flush below would send anyway.
            std::int16_t* last = chunk.data() + full_blocks * block * channels;
            std::fill(last + partial * channels, last + std::size_t{block} * channels,
                      std::int16_t{0});
            run_block(last);
        }
        // Never write beyond the input read so far: the file ends where the
        // input does, which is known only at its end.
        const std::uint64_t limit = options.raw ? queued_total : result.input_frames;
        const std::uint64_t ready = std::min(queued_total, limit);
        queue.write_front(output, ready - written);
        written = ready;
        if (progress) progress(result.input_frames, announced);
    }

    if (!options.raw) {
        // Flush the engine's tail with silence until the input's length is
        // covered; should the engine stop answering, pad the rest.
        std::fill(chunk.begin(), chunk.end(), std::int16_t{0});
        const std::uint64_t wanted = result.input_frames;
        const std::uint64_t most_blocks =
            (wanted + 10ull * input.sample_rate()) / block + 64;  // several seconds beyond need
        for (std::uint64_t b = 0; queued_total < wanted && b < most_blocks; ++b)
            run_block(chunk.data());
        if (queued_total < wanted) {
            queue.push_silence(wanted - queued_total);
            queued_total = wanted;
        }
        queue.write_front(output, wanted - written);
        written = wanted;
    }
    result.output_frames = written;
    return result;
}

}  // namespace squeakbox::render
