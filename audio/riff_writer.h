#pragma once
// A small buffered writer for RIFF files, in the manner of a multimedia file
// interface: create a chunk (its header carries the size held in the chunk
// record), write bytes, ascend out of the chunk (which rewrites a size field
// that turned out wrong and pads an odd size), close (which flushes).
//
// While a file is open it holds an exclusive advisory lock on it, so a second
// writer, in this process or another, cannot open the same file and interleave
// its bytes with ours. Errors are kept as text with the file name and reason.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace squeakbox {

// Four characters as a little-endian chunk identifier: four_cc("RIFF").
[[nodiscard]] constexpr std::uint32_t four_cc(const char (&code)[5]) noexcept {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(code[3])) << 24;
}

// The record of one chunk.
struct riff_chunk {
    std::uint32_t id = 0;
    std::uint32_t size = 0;         // the size written into the chunk header
    std::uint32_t form_type = 0;    // RIFF chunks only
    std::uint64_t data_offset = 0;  // where the chunk's data (a RIFF chunk's form type) starts
};

class riff_writer {
  public:
    static constexpr std::size_t default_buffer_bytes = 16384;

    riff_writer() = default;
    ~riff_writer();
    riff_writer(const riff_writer&) = delete;
    riff_writer& operator=(const riff_writer&) = delete;

    // Creates the file, or empties an existing one, and locks it. Fails,
    // leaving an existing file untouched, when another writer holds it.
    bool open(const std::string& path);
    [[nodiscard]] bool is_open() const noexcept { return fd_ >= 0; }

    // Writes "RIFF", the record's size and its form type.
    bool create_riff_chunk(riff_chunk& chunk);
    // Writes the record's identifier and size.
    bool create_chunk(riff_chunk& chunk);
    bool write(const void* bytes, std::size_t count);
    // Leaves a chunk: the size field is rewritten when the bytes written since
    // the chunk was created differ from it (and the record updated), an odd
    // size is padded with one zero byte, and writing goes on after the chunk.
    bool ascend(riff_chunk& chunk);

    // Overwrites four bytes already written with a little-endian value.
    bool patch_u32(std::uint64_t offset, std::uint32_t value);
    // Hands the buffered bytes to the system.
    bool flush();
    // Asks the system to put the written data on the storage device.
    bool sync();
    // Flushes, unlocks and closes. Safe to call when nothing is open.
    bool close();

    // Bytes written so far, buffered ones included: the current position.
    [[nodiscard]] std::uint64_t position() const noexcept { return position_; }
    [[nodiscard]] const std::string& path() const noexcept { return path_; }
    // The last failure: the file name and the reason.
    [[nodiscard]] const std::string& last_error() const noexcept { return last_error_; }

  private:
    bool fail(const std::string& reason);
    bool fail_errno(int error);
    bool write_all(const char* bytes, std::size_t count);
    bool write_u32(std::uint32_t value);

    int fd_ = -1;
    std::string path_;
    std::string last_error_;
    std::vector<char> buffer_;
    std::uint64_t position_ = 0;  // logical end of the file
    bool failed_ = false;         // a write failed: later bytes would leave a hole
};

}  // namespace squeakbox
