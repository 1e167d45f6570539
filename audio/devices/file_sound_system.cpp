#include "audio/devices/file_sound_system.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "audio/block_format.h"
#include "audio/devices/backend_sound_system.h"
#include "audio/sound_files/sound_file.h"

namespace squeakbox {
namespace {

// Time from the start of the stream to the end of `blocks` blocks, computed
// from the frame count every time so that rounding never accumulates.
std::chrono::nanoseconds time_of_blocks(std::uint64_t blocks) {
    const std::uint64_t frames = blocks * block_frames;
    constexpr std::uint64_t ns_per_s = 1'000'000'000;
    return std::chrono::nanoseconds((frames / sample_rate) * ns_per_s +
                                    (frames % sample_rate) * ns_per_s / sample_rate);
}

// What the header of a capture file says, or why it cannot be used.
struct capture_file_check {
    sound_file file;
    std::string problem;  // empty when the file can be captured
};

capture_file_check check_capture_file(const std::string& path) {
    capture_file_check check{sound_file::open_for_reading(path), {}};
    const sound_file::layout& header = check.file.header();
    if (!check.file) {
        check.problem = "cannot read the sound file \"" + path + "\": " + check.file.error();
    } else if (header.sample_rate != static_cast<int>(sample_rate)) {
        check.problem = "the sound file \"" + path + "\" has a sample rate of " +
                        std::to_string(header.sample_rate) +
                        " Hz; capturing from a file needs 44100 Hz";
        check.file = {};
    } else if (header.channels < 1) {
        check.problem = "the sound file \"" + path + "\" has no channels";
        check.file = {};
    }
    return check;
}

// In fast mode a capture file and a playback file of one system keep to one
// clock, the output's, as the two sides of a sound card do. Without it the
// capture side reads ten blocks the moment its ten buffers are queued, the
// notifications of both sides reach the stream in turns, and the stream finds
// its playback queue full and drops blocks: sound lost for nothing. So the
// capture reads at most `lead` frames ahead of what the playback side has
// taken (played, or given back by a reset), while a playback file is open.
class fast_clock {
  public:
    static constexpr std::uint64_t lead = 2 * block_frames;

    // Worker of the capture side.
    [[nodiscard]] bool capture_may_read() const noexcept {
        return !playback_open_.load(std::memory_order_acquire) ||
               captured_.load(std::memory_order_acquire) <
                   taken_.load(std::memory_order_acquire) + lead;
    }
    void captured(std::uint64_t frames) noexcept {
        captured_.fetch_add(frames, std::memory_order_acq_rel);
    }

    // The playback side took frames out of its queue; a reset gives back all
    // it held, which counts as taken.
    void taken(std::uint64_t frames) {
        taken_.fetch_add(frames, std::memory_order_acq_rel);
        wake_capture();
    }
    void playback_reset() {
        taken_.store(captured_.load(std::memory_order_acquire), std::memory_order_release);
        wake_capture();
    }
    void set_playback_open(bool open) {
        if (open) taken_.store(captured_.load(std::memory_order_acquire));
        playback_open_.store(open, std::memory_order_release);
        wake_capture();
    }

    // The capture side's wake-up, set while a capture file is open.
    void set_capture_wakeup(std::function<void()> wake) {
        std::lock_guard<std::mutex> lock(mutex_);
        wake_capture_ = std::move(wake);
    }

  private:
    void wake_capture() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (wake_capture_) wake_capture_();
    }

    std::atomic<std::uint64_t> captured_{0};
    std::atomic<std::uint64_t> taken_{0};
    std::atomic<bool> playback_open_{false};
    std::mutex mutex_;
    std::function<void()> wake_capture_;
};

// The device's own thread: it makes one block at a time, on the clock or
// whenever a buffer is there for it. Its control state is guarded by a mutex,
// which is fine for a timer thread; the blocks themselves travel through the
// lock-free rings of device_queue like those of a sound card.
class file_queue : public backend_queue {
  public:
    file_queue(device_direction direction, device_events& target,
               std::shared_ptr<notification_wakeup> wakeup, file_pacing pacing)
        : backend_queue(direction, target, std::move(wakeup)), pacing_(pacing) {}

    // Derived classes stop the worker in their own destructors, while the
    // members that make_block() uses still exist.
    ~file_queue() override = default;

    void start_worker(bool running) {
        run_ = running;
        worker_ = std::thread([this] { loop(); });
    }

    // UI: a buffer was queued; in fast mode it may be what the worker waits for.
    void kick() {
        { std::lock_guard<std::mutex> lock(mutex_); }
        wake_.notify_all();
    }

    mm_result add_buffer(wave_header& header) override {
        const mm_result result = enqueue(header);
        if (result == mm_ok) kick();
        return result;
    }
    mm_result write(wave_header& header) override { return add_buffer(header); }

    mm_result start() override {
        if (closed()) return mm_invalid_handle;
        if (failed()) return mm_error;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            run_ = true;
        }
        wake_.notify_all();
        return mm_ok;
    }

    mm_result reset() override {
        if (closed()) return mm_invalid_handle;
        pause();
        return_queued();
        after_reset();
        // Playback goes on with the next written buffer; capture waits for start().
        if (direction() == device_direction::playback && !failed()) start();
        return mm_ok;
    }

    mm_result shutdown() override {
        if (closed()) return mm_invalid_handle;
        stop_worker();
        close();
        finish_file();
        leave_clock();
        return mm_ok;
    }

    void handle_fault() override {
        pause();
        report_failure(fault_reason_);
    }

  protected:
    // Worker: makes one block. False when the device has nothing more to do
    // until it is started again (the capture file ended, a write failed).
    virtual bool make_block(std::size_t frames) = 0;
    virtual void finish_file() noexcept {}
    // Worker, fast mode: whether the next block may be made now.
    [[nodiscard]] virtual bool may_make_block() const noexcept { return true; }
    // UI, worker stopped: the queued buffers have been given back.
    virtual void after_reset() {}
    // UI, worker stopped for good: the device no longer takes part in the
    // shared clock.
    virtual void leave_clock() {}

    // Worker: the device cannot go on; the UI thread hears of it through the
    // next dispatch_pending().
    void fail(std::string reason) noexcept {
        fault_reason_ = std::move(reason);
        raise_fault();
    }

    [[nodiscard]] bool real_time() const noexcept { return pacing_ == file_pacing::real_time; }

    void stop_worker() {
        if (!worker_.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
        }
        wake_.notify_all();
        worker_.join();
    }

  private:
    void pause() {
        std::unique_lock<std::mutex> lock(mutex_);
        run_ = false;
        wake_.notify_all();
        wake_.wait(lock, [this] { return idle_ || !worker_.joinable(); });
    }

    void loop() {
        const bool capture = direction() == device_direction::capture;
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            idle_ = true;
            wake_.notify_all();
            // A playback device's clock starts with the first buffer written,
            // as a sound card starts playing then.
            wake_.wait(lock, [&] { return quit_ || (run_ && (capture || has_queued())); });
            if (quit_) return;
            idle_ = false;
            const auto start = std::chrono::steady_clock::now();
            for (std::uint64_t block = 0; !quit_ && run_; ++block) {
                std::size_t frames = block_frames;
                if (real_time()) {
                    // A captured block is there once it has been heard; a
                    // played block goes out at the start of its time.
                    const auto due = start + time_of_blocks(capture ? block + 1 : block);
                    if (wake_.wait_until(lock, due, [&] { return quit_ || !run_; })) break;
                } else {
                    wake_.wait(
                        lock, [&] { return quit_ || !run_ || (has_queued() && may_make_block()); });
                    if (quit_ || !run_) break;
                    frames = std::min(std::size_t{block_frames}, front_room());
                }
                lock.unlock();
                const bool go_on = make_block(frames);
                lock.lock();
                if (!go_on) run_ = false;
            }
        }
    }

    const file_pacing pacing_;
    std::string fault_reason_;

    std::thread worker_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool run_ = false;
    bool quit_ = false;
    bool idle_ = true;
};

class file_capture_queue final : public file_queue {
  public:
    file_capture_queue(device_events& target, std::shared_ptr<notification_wakeup> wakeup,
                       file_pacing pacing, capture_file_check opened,
                       std::shared_ptr<fast_clock> clock)
        : file_queue(device_direction::capture, target, std::move(wakeup), pacing),
          clock_(std::move(clock)),
          file_(std::move(opened.file)),
          channels_(static_cast<std::size_t>(file_.header().channels)),
          frames_left_(file_.header().frames),
          interleaved_(block_frames * channels_),
          mono_(block_frames) {
        if (clock_) clock_->set_capture_wakeup([this] { kick(); });
    }
    ~file_capture_queue() override {
        leave_clock();
        stop_worker();
    }

  private:
    [[nodiscard]] bool may_make_block() const noexcept override {
        return !clock_ || clock_->capture_may_read();
    }
    void leave_clock() override {
        if (clock_) clock_->set_capture_wakeup(nullptr);
    }

    bool make_block(std::size_t frames) override {
        if (at_end_) return false;
        std::int64_t got = 0;
        if (frames > 0 && frames_left_ > 0) {
            got = file_.read(interleaved_.data(), static_cast<std::int64_t>(frames));
            if (got < 0) got = 0;
            frames_left_ -= got;
        }
        const auto count = static_cast<std::size_t>(got);
        mix_down(count);
        if (count > 0) {
            // On the clock a short last block is padded to a whole one.
            const std::size_t length = real_time() ? frames : count;
            std::fill(mono_.begin() + static_cast<std::ptrdiff_t>(count),
                      mono_.begin() + static_cast<std::ptrdiff_t>(length), std::int16_t{0});
            capture(mono_.data(), length);
            if (clock_) clock_->captured(length);
        }
        if (count < frames || frames_left_ <= 0) {
            at_end_ = true;
            end_of_capture();
            return false;
        }
        return true;
    }

    void mix_down(std::size_t frames) noexcept {
        for (std::size_t i = 0; i < frames; ++i) {
            std::int32_t sum = 0;
            for (std::size_t c = 0; c < channels_; ++c) sum += interleaved_[i * channels_ + c];
            mono_[i] = static_cast<std::int16_t>(sum / static_cast<std::int32_t>(channels_));
        }
    }

    const std::shared_ptr<fast_clock> clock_;  // null when paced in real time
    sound_file file_;
    const std::size_t channels_;
    std::int64_t frames_left_;
    std::vector<std::int16_t> interleaved_;
    std::vector<std::int16_t> mono_;
    bool at_end_ = false;
};

class file_playback_queue final : public file_queue {
  public:
    file_playback_queue(device_events& target, std::shared_ptr<notification_wakeup> wakeup,
                        file_pacing pacing, sound_file file, std::string path,
                        std::shared_ptr<fast_clock> clock)
        : file_queue(device_direction::playback, target, std::move(wakeup), pacing),
          clock_(std::move(clock)),
          file_(std::move(file)),
          path_(std::move(path)) {
        if (clock_) clock_->set_playback_open(true);
    }
    ~file_playback_queue() override {
        stop_worker();
        leave_clock();
    }

  private:
    bool make_block(std::size_t frames) override {
        // Only what was written goes into the file; a gap on the clock is
        // counted as an underrun but leaves no silence in the recording.
        // The frames are in the file before their buffers go back.
        const std::size_t taken = peek(block_.data(), frames);
        if (taken > 0) {
            const auto wanted = static_cast<std::int64_t>(taken);
            if (file_.write(block_.data(), wanted) != wanted) {
                // A capture waiting for this side must not wait for ever.
                if (clock_) clock_->set_playback_open(false);
                fail("cannot write the sound file \"" + path_ + "\": " + file_.error());
                return false;
            }
        }
        take(taken, frames);
        if (clock_ && taken > 0) clock_->taken(taken);
        return true;
    }

    void finish_file() noexcept override { file_ = {}; }
    void after_reset() override {
        if (clock_) clock_->playback_reset();
    }
    void leave_clock() override {
        if (clock_) clock_->set_playback_open(false);
    }

    const std::shared_ptr<fast_clock> clock_;  // null when paced in real time
    sound_file file_;
    const std::string path_;
    std::array<std::int16_t, block_frames> block_{};
};

bool is_open(const std::weak_ptr<device_queue>& queue) {
    const auto q = queue.lock();
    return q && !q->closed();
}

}  // namespace

struct file_sound_system::impl final : device_backend {
    file_device_options options;
    // Shared by the two sides in fast mode.
    std::shared_ptr<fast_clock> clock;
    std::weak_ptr<device_queue> capture_open;
    std::weak_ptr<device_queue> playback_open;
    // The capture file is opened once and kept until the device takes it:
    // listing, the format query and the open all look at this one handle,
    // since a pipe (a FIFO, `<(sox ...)`) can be read only once.
    std::optional<capture_file_check> capture_check;

    explicit impl(file_device_options given) : options(std::move(given)) {
        if (options.pacing == file_pacing::as_fast_as_taken) clock = std::make_shared<fast_clock>();
    }

    const capture_file_check& checked_capture_file() {
        if (!capture_check) capture_check = check_capture_file(options.capture_file);
        return *capture_check;
    }
    // The open device reads from the handle; a later open starts afresh.
    capture_file_check take_capture_file() {
        checked_capture_file();
        capture_file_check taken = std::move(*capture_check);
        capture_check.reset();
        return taken;
    }

    // Why the latest query or open that reached a file refused it.
    std::string refusal;

    std::uint32_t device_count(device_direction direction) override {
        const bool capture = direction == device_direction::capture;
        return (capture ? options.capture_file : options.playback_file).empty() ? 0 : 1;
    }

    void describe(device_direction direction, std::uint32_t, device_caps& caps) override {
        const bool capture = direction == device_direction::capture;
        caps.name = capture ? options.capture_file : options.playback_file;
        caps.supports_44k_mono16 = !capture || checked_capture_file().problem.empty();
    }

    // The capture query reads the file's header.
    mm_result query(device_direction direction, std::uint32_t) override {
        refusal.clear();
        if (direction == device_direction::playback) return mm_ok;
        const capture_file_check& check = checked_capture_file();
        if (check.problem.empty()) return mm_ok;
        refusal = check.problem;
        return mm_bad_format;
    }

    mm_result open(device_direction direction, std::uint32_t, device_events& target,
                   std::shared_ptr<backend_queue>& opened) override {
        refusal.clear();
        const bool capture = direction == device_direction::capture;
        if (is_open(capture ? capture_open : playback_open)) return mm_allocated;
        if (capture) return open_capture(target, opened);
        const std::string& path = options.playback_file;
        sound_file file = sound_file::create_wav(path, static_cast<int>(sample_rate), 1);
        if (!file) {
            refusal = "cannot write the sound file \"" + path + "\": " + file.error();
            return mm_error;
        }
        auto queue = std::make_shared<file_playback_queue>(target, hub.wakeup(), options.pacing,
                                                           std::move(file), path, clock);
        queue->start_worker(true);
        playback_open = queue;
        opened = std::move(queue);
        return mm_ok;
    }

    mm_result open_capture(device_events& target, std::shared_ptr<backend_queue>& opened) {
        capture_file_check check = take_capture_file();
        if (!check.problem.empty()) {
            refusal = std::move(check.problem);
            return mm_error;
        }
        auto queue = std::make_shared<file_capture_queue>(target, hub.wakeup(), options.pacing,
                                                          std::move(check), clock);
        queue->start_worker(false);
        capture_open = queue;
        opened = std::move(queue);
        return mm_ok;
    }
};

file_sound_system::file_sound_system(file_device_options options)
    : file_sound_system(std::make_unique<impl>(std::move(options))) {}

file_sound_system::file_sound_system(std::unique_ptr<impl> made)
    : backend_sound_system(std::move(made)), impl_(static_cast<impl&>(backend())) {}

file_sound_system::~file_sound_system() = default;

std::string file_sound_system::problem() const {
    return impl_.refusal;
}

}  // namespace squeakbox
