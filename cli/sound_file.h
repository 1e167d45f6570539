#pragma once
// Reading and writing sound files of 16-bit frames through libsndfile, whose
// headers stay in sound_file.cpp.
//
// The writer never leaves a partial file behind: it writes to a temporary file
// beside the target and renames it into place only when commit() succeeds.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace squeakbox::render {

// A problem with a file; what() reads "NAME: reason".
class file_error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class sound_reader {
  public:
    // "-" reads standard input. Throws file_error when the file cannot be
    // opened or is not a sound file that libsndfile reads.
    explicit sound_reader(const std::string& path);
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
    // "-" writes a WAV file to standard output once commit() is called. Other
    // names choose the format by their extension (WAV when it names none that
    // libsndfile writes). Throws file_error.
    sound_writer(const std::string& path, std::uint32_t sample_rate, std::uint32_t channels);
    // Without commit(), the temporary file is removed.
    ~sound_writer();
    sound_writer(const sound_writer&) = delete;
    sound_writer& operator=(const sound_writer&) = delete;

    void write(const std::int16_t* samples, std::uint64_t frames);
    // Finishes the file and moves it into place.
    void commit();

    // A short name of the output format, e.g. "WAV 16-bit".
    [[nodiscard]] std::string format_name() const;

  private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

// Removes the writer's temporary file if the process is interrupted.
void remove_temporary_file_on_signals();

// libsndfile's version string.
[[nodiscard]] std::string sndfile_version();

}  // namespace squeakbox::render
