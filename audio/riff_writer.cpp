#include "audio/riff_writer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace squeakbox {

riff_writer::~riff_writer() {
    close();
}

bool riff_writer::fail(const std::string& reason) {
    last_error_ = path_ + ": " + reason;
    return false;
}

bool riff_writer::fail_errno(int error) {
    return fail(std::strerror(error));
}

bool riff_writer::open(const std::string& path) {
    close();
    path_ = path;
    last_error_.clear();
    failed_ = false;
    position_ = 0;
    if (path.empty()) {
        last_error_ = "no file name";
        return false;
    }
    // Not O_TRUNC: the file is emptied only once we hold the lock, so a
    // recording that another writer still holds keeps every byte.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return fail_errno(errno);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK) return fail("the file is open in another program");
        return fail_errno(error);
    }
    if (::ftruncate(fd, 0) != 0) {
        const int error = errno;
        ::close(fd);
        return fail_errno(error);
    }
    fd_ = fd;
    buffer_.clear();
    buffer_.reserve(default_buffer_bytes);
    return true;
}

bool riff_writer::write_all(const char* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t done = ::write(fd_, bytes, count);
        if (done < 0) {
            if (errno == EINTR) continue;
            failed_ = true;
            return fail_errno(errno);
        }
        bytes += done;
        count -= static_cast<std::size_t>(done);
    }
    return true;
}

bool riff_writer::flush() {
    if (fd_ < 0) return false;
    if (failed_) return false;
    if (buffer_.empty()) return true;
    const bool ok = write_all(buffer_.data(), buffer_.size());
    buffer_.clear();
    return ok;
}

bool riff_writer::write(const void* bytes, std::size_t count) {
    if (fd_ < 0 || failed_) return false;
    const auto* from = static_cast<const char*>(bytes);
    position_ += count;
    if (buffer_.size() + count > default_buffer_bytes) {
        if (!flush()) return false;
        // A write larger than the buffer goes straight through.
        if (count >= default_buffer_bytes) return write_all(from, count);
    }
    buffer_.insert(buffer_.end(), from, from + count);
    return true;
}

bool riff_writer::write_u32(std::uint32_t value) {
    const char bytes[4] = {static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF),
                           static_cast<char>((value >> 16) & 0xFF),
                           static_cast<char>((value >> 24) & 0xFF)};
    return write(bytes, sizeof bytes);
}

bool riff_writer::create_riff_chunk(riff_chunk& chunk) {
    chunk.id = four_cc("RIFF");
    bool ok = write_u32(chunk.id);
    ok = write_u32(chunk.size) && ok;
    chunk.data_offset = position_;
    return write_u32(chunk.form_type) && ok;
}

bool riff_writer::create_chunk(riff_chunk& chunk) {
    bool ok = write_u32(chunk.id);
    ok = write_u32(chunk.size) && ok;
    chunk.data_offset = position_;
    return ok;
}

bool riff_writer::ascend(riff_chunk& chunk) {
    if (fd_ < 0) return false;
    const std::uint64_t written = position_ - chunk.data_offset;
    bool ok = true;
    if (written != chunk.size) {
        chunk.size = static_cast<std::uint32_t>(written);
        ok = patch_u32(chunk.data_offset - 4, chunk.size);
    }
    if (written % 2 != 0) {
        const char pad = 0;
        ok = write(&pad, 1) && ok;
    }
    return ok;
}

bool riff_writer::patch_u32(std::uint64_t offset, std::uint32_t value) {
    if (fd_ < 0 || failed_) return false;
    if (offset + 4 > position_) return fail("size field beyond the end of the file");
    // Bytes still in the buffer are patched there; the rest on disk.
    const std::uint64_t buffered_from = position_ - buffer_.size();
    const char bytes[4] = {static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF),
                           static_cast<char>((value >> 16) & 0xFF),
                           static_cast<char>((value >> 24) & 0xFF)};
    if (offset >= buffered_from) {
        std::memcpy(buffer_.data() + (offset - buffered_from), bytes, sizeof bytes);
        return true;
    }
    if (!flush()) return false;
    std::size_t done = 0;
    while (done < sizeof bytes) {
        const ssize_t n =
            ::pwrite(fd_, bytes + done, sizeof bytes - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail_errno(errno);
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool riff_writer::sync() {
    if (!flush()) return false;
    // A file system that cannot sync (EINVAL) still got the data.
    if (::fdatasync(fd_) != 0 && errno != EINVAL) return fail_errno(errno);
    return true;
}

bool riff_writer::close() {
    if (fd_ < 0) return true;
    bool ok = flush();
    // Closing the descriptor also releases the lock.
    if (::close(fd_) != 0 && ok) ok = fail_errno(errno);
    fd_ = -1;
    buffer_.clear();
    buffer_.shrink_to_fit();
    return ok;
}

}  // namespace squeakbox
