#pragma once
// Reading and writing sound files of 16-bit frames through libsndfile, whose
// headers stay in this folder's sources: the plain files of the file devices
// (sound_file.cpp), and the renderer's reader and writer (sound_reader.cpp,
// sound_writer.cpp).
//
// The reader and the writer stream: a long input from a pipe is read as it arrives and the output
// is written as it is made, so memory does not grow with the length.
//
// The writer never leaves a partial regular file behind: it writes to a
// temporary file beside the real file (symbolic links followed), keeps the
// old file's owner and permissions, and renames it into place only when
// commit() succeeds. Anything else (a FIFO, a device, standard output) is
// written straight into.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

struct sf_private_tag;  // libsndfile's handle

namespace squeakbox {

// A sound file opened by name the plain way, for the file devices: a capture
// file read from its start (a pipe as it comes, once), or a 16-bit PCM WAV
// file written in place whose header follows every write, so a process that
// is killed still leaves a file that plays to its last block. Failures are
// told in libsndfile's own words. Closed with its owner.
class sound_file {
  public:
    struct layout {
        int sample_rate = 0;
        int channels = 0;
        std::int64_t frames = 0;
    };

    sound_file() = default;  // empty
    // An empty handle when the file cannot be opened; error() says why.
    static sound_file open_for_reading(const std::string& path);
    static sound_file create_wav(const std::string& path, int sample_rate, int channels);

    explicit operator bool() const noexcept { return handle_ != nullptr; }
    // What the header says, as it says it.
    [[nodiscard]] const layout& header() const noexcept { return layout_; }
    // Interleaved 16-bit frames; returns the frames moved, fewer at the end
    // or on a failure.
    std::int64_t read(std::int16_t* samples, std::int64_t frames) noexcept;
    std::int64_t write(const std::int16_t* samples, std::int64_t frames) noexcept;
    // Why the last call failed, or why the open did for an empty handle.
    [[nodiscard]] std::string error() const;

  private:
    struct closer {
        void operator()(sf_private_tag* handle) const noexcept;
    };
    std::unique_ptr<sf_private_tag, closer> handle_;
    layout layout_;
};

// Chooses the constructors that read from or write to memory instead of a
// file: the same road through libsndfile that standard input and output take.
struct in_memory_t {
    explicit in_memory_t() = default;
};
inline constexpr in_memory_t in_memory{};

// A problem with a file; what() reads "NAME: reason".
class file_error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class sound_reader {
  public:
    // "-" reads standard input. A pipe, FIFO or device is read as it arrives;
    // a format that needs seeking is refused there. Throws file_error when
    // the file cannot be opened or is not a sound file that libsndfile reads.
    explicit sound_reader(const std::string& path);
    // The bytes of a whole sound file, reported under `name`.
    sound_reader(in_memory_t, std::string name, std::vector<unsigned char> bytes);
    ~sound_reader();
    sound_reader(const sound_reader&) = delete;
    sound_reader& operator=(const sound_reader&) = delete;

    [[nodiscard]] std::uint32_t sample_rate() const noexcept;
    [[nodiscard]] std::uint32_t channels() const noexcept;
    // Frames the file says it holds; 0 when it cannot say.
    [[nodiscard]] std::uint64_t frames() const noexcept;
    [[nodiscard]] const std::string& name() const noexcept;

    // Reads up to `frames` frames as interleaved 16-bit samples. Returns
    // fewer only at the end of the file; throws file_error when the file
    // turns out corrupt or shorter than its header says.
    std::uint64_t read(std::int16_t* samples, std::uint64_t frames);

  private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

class sound_writer {
  public:
    // "-" writes a WAV file to standard output. Other names choose the format
    // by their extension (WAV when it names none that libsndfile writes).
    // Into a pipe or device whose length cannot be written afterwards, the
    // header says the length is unknown. Throws file_error.
    sound_writer(const std::string& path, std::uint32_t sample_rate, std::uint32_t channels);
    // A WAV file assembled in memory; bytes() holds it after commit().
    sound_writer(in_memory_t, std::uint32_t sample_rate, std::uint32_t channels);
    // Without commit(), the temporary file is removed.
    ~sound_writer();
    sound_writer(const sound_writer&) = delete;
    sound_writer& operator=(const sound_writer&) = delete;

    void write(const std::int16_t* samples, std::uint64_t frames);
    // Finishes the file and moves it into place.
    void commit();

    // A short name of the output format, e.g. "WAV 16-bit".
    [[nodiscard]] std::string format_name() const;
    // The file written in memory (empty for a file on disk).
    [[nodiscard]] const std::vector<unsigned char>& bytes() const noexcept;

  private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

// Removes the writer's temporary file if the process is interrupted by a
// signal that was not ignored when the program started.
void remove_temporary_file_on_signals();

// libsndfile's version string.
[[nodiscard]] std::string sndfile_version();

}  // namespace squeakbox
