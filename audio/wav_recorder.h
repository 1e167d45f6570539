#pragma once
// Records the processed sound, exactly the blocks that go to the playback
// device, into a RIFF/WAVE file: "RIFF", 38 + D, "WAVE", "fmt " 18 and the
// whole 18-byte format, "data", D, then the samples (D sample bytes).
//
// A recording survives the program: at least once per second of sound the data
// is flushed and both size fields are patched to cover it, so a crash or a
// power cut leaves a valid file holding all but at most the last second. And a
// recording never grows past what the 32-bit size fields can describe: it is
// closed cleanly first and the caller is told.
//
// The disk never holds up the sound. The thread that moves the blocks only
// copies each one into a queue that was allocated when the recording opened;
// a writer thread of the recording's own writes, patches and syncs. A slow
// disk (a busy USB stick, a network home folder) is bridged by the queue, about
// twelve seconds of sound. A disk that fails (full, gone) ends the recording:
// the caller hears of it from the next write_block(), or from take_failure()
// when no block comes. A disk that falls that far behind makes write_block()
// wait for room, as a run on files that goes as fast as it can wants; in real
// time (set_real_time) it ends the recording instead, as the sound must go on.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_stream.h"
#include "audio/riff_writer.h"
#include "audio/spsc_ring.h"

namespace squeakbox {

class wav_recorder final : public recording_control {
  public:
    enum class write_status {
        written,        // the block is queued for the file (or had no samples to write)
        not_recording,  // no file is open: the block was ignored
        limit_reached,  // the block would overflow the size fields: the file is being closed
        error,          // the file could not be written: the recording ended
    };

    // The largest RIFF size (38 + D) a file may reach.
    static constexpr std::uint32_t max_riff_size = 0xFFFFFFFFu;
    // Once per second of sound at 44100 Hz, 16-bit mono: 86 blocks of 512
    // samples fall just short of a second, so whichever comes first.
    static constexpr std::uint32_t checkpoint_blocks = 86;
    static constexpr std::uint64_t checkpoint_bytes = 88200;
    // Sound that may wait for the disk: 1 MiB, some twelve seconds.
    static constexpr std::size_t queue_bytes = std::size_t{1} << 20;

    wav_recorder() = default;
    ~wav_recorder() override;
    wav_recorder(const wav_recorder&) = delete;
    wav_recorder& operator=(const wav_recorder&) = delete;

    // A file the recording must never open, since replacing it would destroy
    // sound in use: the capture file being read, the playback file being
    // written. `role` names it for the user ("capture file").
    void protect_file(std::string path, std::string role);

    // Hands the block's samples to the writer while a recording is open. Never
    // waits for the disk and allocates nothing. The form with a reason, below,
    // says why a recording ended.
    write_status write_block(const wave_header& header);
    // Finishes the file (both sizes patched, the data synced) and closes it,
    // waiting for the writer. Also waits for a file being finished in the
    // background.
    void close_file() override;
    // Ends the recording at once and lets the writer finish the file in the
    // background, so that a slow disk does not hold up the caller.
    void close_file_in_background() override;

    // Creates (or replaces) the file named in the target and writes its
    // headers. False when it failed, with the reason in words for the user,
    // without the file's name, which the window shows on its own. An empty
    // name means the desktop folder is unknown, and nothing is written
    // anywhere. A protected file, under any name or link, is refused before it
    // is touched. Waits for the previous recording's file to be finished first.
    bool open_file(const record_target& target, std::string& reason) override;
    // As the window and the stream see a recording: write_block() is false
    // where the recording ended (the size limit, a failure), take_failure()
    // true where it failed; either with the reason in words, file name first.
    bool write_block(const wave_header& header, std::string& reason) override;
    bool take_failure(std::string& reason) override;

    [[nodiscard]] bool is_recording() const noexcept { return recording_; }
    // Sample bytes in the current (or last) recording.
    [[nodiscard]] std::uint64_t data_bytes() const noexcept { return data_bytes_; }
    // True once any recording has ended on a failure of the disk (not by the
    // user, and not at the size limit, which leaves a complete file).
    [[nodiscard]] bool stopped_on_error() const noexcept { return stopped_on_error_; }
    // True, once, when the writer failed and write_block() has not said so:
    // no block came after the failure, or the file failed while being
    // finished in the background. take_failure(reason) also says why.
    bool take_failure();

    // In real time, a recording whose queue is full ends rather than holding
    // up the caller until the disk has caught up.
    void set_real_time(bool real_time) noexcept { real_time_ = real_time; }

    // Runs on the writer's thread before every sync, so tests can stand in
    // for a slow disk. Set it before the recording opens.
    void set_sync_hook(std::function<void()> hook) { sync_hook_ = std::move(hook); }

    // Lowers the largest RIFF size, so tests can reach the limit.
    void set_size_limit(std::uint32_t riff_size_limit) noexcept { size_limit_ = riff_size_limit; }
    // Returns once the writer has written every block handed to it, with its
    // checkpoints, or has finished the file; for tests that read the file.
    void wait_until_written();

  private:
    // Writer thread.
    void writer_loop();
    bool write_queued_block();
    bool checkpoint(bool sync);
    bool sync();
    bool finish_file();
    void fail_and_close();

    struct protected_file {
        std::string path;
        std::string role;
    };
    std::vector<protected_file> protected_files_;

    // Either thread.
    [[nodiscard]] std::size_t queued() const noexcept {
        return queue_ != nullptr ? queue_->size() : 0;
    }

    // Caller's thread.
    // Opens the recording; false with the reason, after the file's name, in
    // last_error_.
    bool start_recording(const record_target& target);
    bool queue_block(const char* bytes, std::uint32_t count) noexcept;
    bool wait_for_room(const char* bytes, std::uint32_t count);
    void wake_writer() noexcept;
    void end_recording();
    write_status end_after_writer_failure();
    void join_writer();

    // The caller's side.
    bool recording_ = false;
    bool real_time_ = false;
    bool stopped_on_error_ = false;
    bool failure_unreported_ = false;  // the writer failed and nobody has been told
    std::string failure_text_;         // what take_failure() tells
    std::string path_;
    std::string last_error_;
    std::uint64_t data_bytes_ = 0;  // handed to the writer
    std::uint32_t size_limit_ = max_riff_size;
    std::function<void()> sync_hook_;
    std::thread writer_;

    // The queue: a ring of records, each a 32-bit length and that many bytes,
    // one producer (the caller) and one consumer (the writer). Made when the
    // first recording opens.
    std::unique_ptr<spsc_ring<char>> queue_;
    std::atomic<std::uint32_t> wake_{0};  // raised, and waited on, for every change
    std::atomic<bool> end_requested_{false};
    std::atomic<bool> busy_{false};    // the writer is between taking a block and its checkpoint
    std::atomic<bool> failed_{false};  // the writer failed: writer_error_ says why

    // The writer's side; the caller touches them only while no writer runs.
    riff_writer file_;
    riff_chunk riff_chunk_{};
    riff_chunk inner_chunk_{};
    std::string writer_error_;
    std::uint64_t written_bytes_ = 0;
    std::uint64_t bytes_since_checkpoint_ = 0;
    std::uint32_t blocks_since_checkpoint_ = 0;
};

}  // namespace squeakbox
