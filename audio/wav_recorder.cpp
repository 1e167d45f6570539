#include "audio/wav_recorder.h"

#include <filesystem>
#include <system_error>

namespace squeakbox {

namespace {

constexpr std::uint32_t format_bytes = 18;  // the format with its cbSize field

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

int wav_recorder::open_file(const record_target& target) {
    if (file_.is_open()) {
        last_error_ = file_.path() + ": a recording is already open";
        return 1;
    }
    if (target.file_name.empty()) {
        last_error_ = "no file name: the desktop folder is unknown";
        return 1;
    }
    // Same device and inode, through links: opening would empty the file.
    for (const protected_file& kept : protected_files_) {
        std::error_code error;
        if (std::filesystem::equivalent(target.file_name, kept.path, error)) {
            last_error_ =
                target.file_name + ": it is the " + kept.role + ", which a recording would replace";
            return 1;
        }
    }
    if (!file_.open(target.file_name)) {
        last_error_ = file_.last_error();
        return 1;
    }
    last_error_.clear();
    data_bytes_ = 0;
    bytes_since_checkpoint_ = 0;
    blocks_since_checkpoint_ = 0;

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
    // first checkpoint, right now, makes the file valid before any sound.
    inner_chunk_.id = four_cc("data");
    file_.create_chunk(inner_chunk_);
    if (!checkpoint()) {
        last_error_ = file_.last_error();
        file_.close();
        return 1;
    }
    return 0;
}

bool wav_recorder::checkpoint() {
    // Data first, then the sizes that describe it: whenever the program dies,
    // the sizes in the file never claim more than the file holds.
    if (!file_.flush()) return false;
    inner_chunk_.size = static_cast<std::uint32_t>(data_bytes_);
    riff_chunk_.size = static_cast<std::uint32_t>(file_.position() - riff_chunk_.data_offset);
    if (!file_.patch_u32(inner_chunk_.data_offset - 4, inner_chunk_.size)) return false;
    if (!file_.patch_u32(riff_chunk_.data_offset - 4, riff_chunk_.size)) return false;
    bytes_since_checkpoint_ = 0;
    blocks_since_checkpoint_ = 0;
    return file_.sync();
}

void wav_recorder::fail_and_close() {
    last_error_ = file_.last_error();
    // Keep what made it to the file readable, as far as the file still allows.
    file_.ascend(inner_chunk_);
    file_.ascend(riff_chunk_);
    file_.close();
}

wav_recorder::write_status wav_recorder::write_block(const wave_header& header) {
    if (!file_.is_open()) return write_status::not_recording;
    if (header.data == nullptr || header.buffer_length == 0) return write_status::written;

    // The RIFF size this block would bring, with the pad byte an odd data size needs.
    const std::uint64_t data_after = data_bytes_ + header.buffer_length;
    const std::uint64_t riff_after = 4 + 8 + format_bytes + 8 + data_after + (data_after & 1);
    if (riff_after > size_limit_) {
        close_file();
        last_error_ = file_.path() + ": the recording reached the largest size a WAV file can hold";
        return write_status::limit_reached;
    }

    if (!file_.write(header.data, header.buffer_length)) {
        fail_and_close();
        return write_status::error;
    }
    data_bytes_ = data_after;
    bytes_since_checkpoint_ += header.buffer_length;
    ++blocks_since_checkpoint_;
    if (blocks_since_checkpoint_ >= checkpoint_blocks ||
        bytes_since_checkpoint_ >= checkpoint_bytes) {
        if (!checkpoint()) {
            fail_and_close();
            return write_status::error;
        }
    }
    return write_status::written;
}

void wav_recorder::close_file() {
    if (!file_.is_open()) return;
    file_.ascend(inner_chunk_);
    file_.ascend(riff_chunk_);
    if (!file_.close()) last_error_ = file_.last_error();
}

}  // namespace squeakbox
