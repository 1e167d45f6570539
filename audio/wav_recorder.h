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

#include <cstdint>
#include <string>
#include <vector>

#include "audio/audio_stream.h"
#include "audio/riff_writer.h"

namespace squeakbox {

class wav_recorder {
  public:
    enum class write_status {
        written,        // the block is in the file (or had no samples to write)
        not_recording,  // no file is open: the block was ignored
        limit_reached,  // the block would overflow the size fields: the file was closed
        error,          // the file could not be written: it was closed, see last_error()
    };

    // The largest RIFF size (38 + D) a file may reach.
    static constexpr std::uint32_t max_riff_size = 0xFFFFFFFFu;
    // Once per second of sound at 44100 Hz, 16-bit mono: 86 blocks of 512
    // samples fall just short of a second, so whichever comes first.
    static constexpr std::uint32_t checkpoint_blocks = 86;
    static constexpr std::uint64_t checkpoint_bytes = 88200;

    wav_recorder() = default;
    ~wav_recorder();
    wav_recorder(const wav_recorder&) = delete;
    wav_recorder& operator=(const wav_recorder&) = delete;

    // A file the recording must never open, since replacing it would destroy
    // sound in use: the capture file being read, the playback file being
    // written. `role` names it for the user ("capture file").
    void protect_file(std::string path, std::string role);

    // Creates (or replaces) the file named in the target and writes its
    // headers. 0 when the recording is open, 1 when it failed: then
    // last_error() holds the file name and the reason. An empty name means the
    // desktop folder is unknown, and nothing is written anywhere. A protected
    // file, under any name or link, is refused before it is touched.
    int open_file(const record_target& target);
    // Appends the block's samples while a recording is open.
    write_status write_block(const wave_header& header);
    // Patches both sizes and closes the file, if one is open.
    void close_file();

    [[nodiscard]] bool is_recording() const noexcept { return file_.is_open(); }
    [[nodiscard]] const std::string& last_error() const noexcept { return last_error_; }
    // Sample bytes in the current (or last) recording.
    [[nodiscard]] std::uint64_t data_bytes() const noexcept { return data_bytes_; }

    // Lowers the largest RIFF size, so tests can reach the limit.
    void set_size_limit(std::uint32_t riff_size_limit) noexcept { size_limit_ = riff_size_limit; }

  private:
    bool checkpoint();
    void fail_and_close();

    struct protected_file {
        std::string path;
        std::string role;
    };
    std::vector<protected_file> protected_files_;
    riff_writer file_;
    riff_chunk riff_chunk_{};
    riff_chunk inner_chunk_{};
    std::string last_error_;
    std::uint64_t data_bytes_ = 0;
    std::uint64_t bytes_since_checkpoint_ = 0;
    std::uint32_t blocks_since_checkpoint_ = 0;
    std::uint32_t size_limit_ = max_riff_size;
};

}  // namespace squeakbox
