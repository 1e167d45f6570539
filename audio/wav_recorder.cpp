#include "audio/wav_recorder.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace squeakbox {

namespace {

constexpr std::uint32_t format_bytes = 18;                   // the format with its cbSize field
constexpr std::size_t length_bytes = sizeof(std::uint32_t);  // before each queued block
static_assert((wav_recorder::queue_bytes & (wav_recorder::queue_bytes - 1)) == 0,
              "the queue wraps by masking");

// The format as a "fmt " chunk stores it, little-endian.
void store_format(const wave_format& format, char (&out)[format_bytes]) {
    auto put16 = [&](int at, std::uint16_t v) {
        out[at] = static_cast<char>(v & 0xFF);
        out[at + 1] = static_cast<char>(v >> 8);
    };
    auto put32 = [&](int at, std::uint32_t v) {
        put16(at, static_cast<std::uint16_t>(v & 0xFFFF));
        put16(at + 2, static_cast<std::uint16_t>(v >> 16));
    };
    put16(0, format.format_tag);
    put16(2, format.channels);
    put32(4, format.samples_per_sec);
    put32(8, format.avg_bytes_per_sec);
    put16(12, format.block_align);
    put16(14, format.bits_per_sample);
    put16(16, format.cb_size);
}

}  // namespace

wav_recorder::~wav_recorder() {
    close_file();
}

void wav_recorder::protect_file(std::string path, std::string role) {
    protected_files_.push_back({std::move(path), std::move(role)});
}

bool wav_recorder::start_recording(const record_target& target) {
    if (recording_) {
        last_error_ = path_ + ": a recording is already open";
        return false;
    }
    // The last recording's file may still be being finished, and holds the lock.
    join_writer();
    if (target.file_name.empty()) {
        last_error_ = "no file name: the desktop folder is unknown";
        return false;
    }
    // Same device and inode, through links: opening would empty the file.
    for (const protected_file& kept : protected_files_) {
        std::error_code error;
        if (std::filesystem::equivalent(target.file_name, kept.path, error)) {
            last_error_ =
                target.file_name + ": it is the " + kept.role + ", which a recording would replace";
            return false;
        }
    }
    if (!file_.open(target.file_name)) {
        last_error_ = file_.last_error();
        return false;
    }
    path_ = target.file_name;
    last_error_.clear();
    writer_error_.clear();
    data_bytes_ = 0;
    written_bytes_ = 0;
    bytes_since_checkpoint_ = 0;
    blocks_since_checkpoint_ = 0;
    end_requested_.store(false);
    busy_.store(false);
    failed_.store(false);
    if (!queue_) queue_ = std::make_unique<spsc_ring<char>>(queue_bytes);
    // A writer that failed left its blocks behind.
    queue_->clear();

    riff_chunk_ = riff_chunk{};
    riff_chunk_.form_type = four_cc("WAVE");
    file_.create_riff_chunk(riff_chunk_);

    // Only the 18 bytes of the format are written; an extension that cbSize
    // announces has no bytes here to follow it.
    inner_chunk_ = riff_chunk{};
    inner_chunk_.id = four_cc("fmt ");
    inner_chunk_.size = format_bytes;
    file_.create_chunk(inner_chunk_);
    char format[format_bytes];
    store_format(target.format, format);
    file_.write(format, sizeof format);
    file_.ascend(inner_chunk_);

    // The data chunk starts with the size the record still carries (18); the
    // first checkpoint, right now, makes the file valid before any sound. Its
    // sync is left to the writer.
    inner_chunk_.id = four_cc("data");
    file_.create_chunk(inner_chunk_);
    if (!checkpoint(false)) {
        last_error_ = file_.last_error();
        file_.close();
        return false;
    }
    try {
        writer_ = std::thread([this] { writer_loop(); });
    } catch (const std::system_error& error) {
        last_error_ = path_ + ": cannot start writing the recording: " + error.what();
        file_.close();
        return false;
    }
    recording_ = true;
    return true;
}

wav_recorder::write_status wav_recorder::write_block(const wave_header& header) {
    if (!recording_) return write_status::not_recording;
    if (failed_.load(std::memory_order_acquire)) return end_after_writer_failure();
    if (header.data == nullptr || header.buffer_length == 0) return write_status::written;

    // The RIFF size this block would bring, with the pad byte an odd data size needs.
    const std::uint64_t data_after = data_bytes_ + header.buffer_length;
    const std::uint64_t riff_after = 4 + 8 + format_bytes + 8 + data_after + (data_after & 1);
    if (riff_after > size_limit_) {
        end_recording();
        last_error_ = path_ + ": the recording reached the largest size a WAV file can hold";
        return write_status::limit_reached;
    }
    if (!queue_block(header.data, header.buffer_length) &&
        !wait_for_room(header.data, header.buffer_length)) {
        // The writer may have failed while we waited for it.
        if (failed_.load(std::memory_order_acquire)) return end_after_writer_failure();
        // Everything queued so far still goes into the file; a recording with
        // a hole in it would be worse than one that ends here.
        end_recording();
        stopped_on_error_ = true;
        last_error_ = path_ +
                      ": the disk is too slow: the recording fell more than ten seconds "
                      "behind the sound";
        return write_status::error;
    }
    data_bytes_ = data_after;
    wake_writer();
    return write_status::written;
}

wav_recorder::write_status wav_recorder::end_after_writer_failure() {
    // The writer has closed the file as far as it could and stopped; the
    // caller now tells the user why.
    join_writer();
    recording_ = false;
    failure_unreported_ = false;
    return write_status::error;
}

void wav_recorder::close_file() {
    if (recording_) end_recording();
    join_writer();
}

void wav_recorder::close_file_in_background() {
    if (recording_) end_recording();
}

bool wav_recorder::take_failure() {
    if (writer_.joinable() && failed_.load(std::memory_order_acquire)) {
        join_writer();
        recording_ = false;
    }
    if (!failure_unreported_) return false;
    failure_unreported_ = false;
    last_error_ = failure_text_;
    return true;
}

bool wav_recorder::open_file(const record_target& target, std::string& reason) {
    if (start_recording(target)) return true;
    const std::string prefix = target.file_name + ": ";
    reason = !target.file_name.empty() && last_error_.starts_with(prefix)
                 ? last_error_.substr(prefix.size())
                 : last_error_;
    return false;
}

bool wav_recorder::write_block(const wave_header& header, std::string& reason) {
    const write_status result = write_block(header);
    if (result != write_status::limit_reached && result != write_status::error) return true;
    reason = last_error_;
    return false;
}

bool wav_recorder::take_failure(std::string& reason) {
    if (!take_failure()) return false;
    reason = last_error_;
    return true;
}

void wav_recorder::wait_until_written() {
    for (;;) {
        if (!recording_) {
            join_writer();
            return;
        }
        if (failed_.load() || (queued() == 0 && !busy_.load())) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// The caller's side.

bool wav_recorder::queue_block(const char* bytes, std::uint32_t count) noexcept {
    const std::size_t need = length_bytes + count;
    if (queue_->room() < need) return false;
    char length[length_bytes];
    std::memcpy(length, &count, sizeof length);
    // The writer sees the length and the block together.
    queue_->put(0, length, sizeof length);
    queue_->put(length_bytes, bytes, count);
    queue_->publish(need);
    return true;
}

bool wav_recorder::wait_for_room(const char* bytes, std::uint32_t count) {
    if (real_time_ || length_bytes + count > queue_bytes) return false;
    wake_writer();
    while (!failed_.load(std::memory_order_acquire)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (queue_block(bytes, count)) return true;
    }
    return false;
}

void wav_recorder::wake_writer() noexcept {
    wake_.fetch_add(1, std::memory_order_release);
    wake_.notify_one();
}

void wav_recorder::end_recording() {
    recording_ = false;
    end_requested_.store(true, std::memory_order_release);
    wake_writer();
}

void wav_recorder::join_writer() {
    if (!writer_.joinable()) return;
    writer_.join();
    data_bytes_ = written_bytes_;
    if (failed_.load()) {
        last_error_ = writer_error_;
        failure_text_ = writer_error_;
        stopped_on_error_ = true;
        failure_unreported_ = true;
    }
}

// The writer's side.

void wav_recorder::writer_loop() {
    for (;;) {
        const std::uint32_t seen = wake_.load(std::memory_order_acquire);
        if (queued() > 0) {
            busy_.store(true);
            while (queued() > 0) {
                if (!write_queued_block()) {
                    fail_and_close();
                    return;
                }
            }
            busy_.store(false);
            continue;
        }
        if (end_requested_.load(std::memory_order_acquire)) {
            if (queued() > 0) continue;  // the last blocks came with the request
            if (!finish_file()) {
                writer_error_ = file_.last_error();
                file_.close();
                failed_.store(true, std::memory_order_release);
            }
            return;
        }
        wake_.wait(seen, std::memory_order_acquire);
    }
}

bool wav_recorder::write_queued_block() {
    // A record may wrap round the end of the queue: it is taken in the
    // pieces that lie together.
    const auto piece = [this](std::size_t past_head, std::size_t n, auto&& use) {
        for (std::size_t done = 0; done < n;) {
            const auto [from, run] = queue_->readable(past_head + done);
            const std::size_t take = std::min(run, n - done);
            if (take == 0 || !use(from, take)) return false;
            done += take;
        }
        return true;
    };
    std::uint32_t count = 0;
    auto* length = reinterpret_cast<char*>(&count);
    std::size_t filled = 0;
    piece(0, length_bytes, [&](const char* from, std::size_t n) {
        std::memcpy(length + filled, from, n);
        filled += n;
        return true;
    });
    const bool ok = piece(length_bytes, count,
                          [this](const char* from, std::size_t n) { return file_.write(from, n); });
    queue_->consume(length_bytes + count);
    if (!ok) return false;
    written_bytes_ += count;
    bytes_since_checkpoint_ += count;
    ++blocks_since_checkpoint_;
    if (blocks_since_checkpoint_ < checkpoint_blocks && bytes_since_checkpoint_ < checkpoint_bytes)
        return true;
    // The sync waits for the storage device, which may take long; while
    // blocks are waiting, catching up with them comes first, and the sync is
    // left to a checkpoint that finds the queue empty.
    return checkpoint(queued() == 0);
}

bool wav_recorder::checkpoint(bool sync) {
    // Data first, then the sizes that describe it: whenever the program dies,
    // the sizes in the file never claim more than the file holds.
    if (!file_.flush()) return false;
    inner_chunk_.size = static_cast<std::uint32_t>(written_bytes_);
    riff_chunk_.size = static_cast<std::uint32_t>(file_.position() - riff_chunk_.data_offset);
    if (!file_.patch_u32(inner_chunk_.data_offset - 4, inner_chunk_.size)) return false;
    if (!file_.patch_u32(riff_chunk_.data_offset - 4, riff_chunk_.size)) return false;
    bytes_since_checkpoint_ = 0;
    blocks_since_checkpoint_ = 0;
    return !sync || this->sync();
}

bool wav_recorder::sync() {
    if (sync_hook_) sync_hook_();
    return file_.sync();
}

bool wav_recorder::finish_file() {
    bool ok = file_.ascend(inner_chunk_);
    ok = file_.ascend(riff_chunk_) && ok;
    // The end of a recording is where a user pulls the stick out.
    ok = ok && sync();
    return file_.close() && ok;
}

void wav_recorder::fail_and_close() {
    writer_error_ = file_.last_error();
    // Keep what made it to the file readable, as far as the file still allows.
    file_.ascend(inner_chunk_);
    file_.ascend(riff_chunk_);
    file_.close();
    failed_.store(true, std::memory_order_release);
}

}  // namespace squeakbox
