#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>

#include "audio/sound_files/sndfile_parts.h"
#include "audio/sound_files/sound_file.h"

namespace squeakbox {

using namespace sound_files;

struct sound_reader::impl {
    std::string name;
    memory_file memory;
    std::unique_ptr<stream_file> stream;
    bool own_stream_fd = false;
    SNDFILE* file = nullptr;
    SF_INFO info{};
    std::uint64_t frames_read = 0;
    std::uint64_t frames_after_end = 0;  // handed out once a stream had ended
    bool may_fill_past_end = false;      // a block codec that pads a stream's end
    bool exact_length = true;
    // Floating-point and lossy data are read as floats and converted here:
    // libsndfile would hand them out as shorts unscaled, or scaled to the
    // file's own peak.
    bool read_floats = false;
    std::vector<float> floats;

    ~impl() {
        if (file != nullptr) sf_close(file);
        if (stream && own_stream_fd) ::close(stream->fd);
    }

    void open_memory() {
        if (memory.bytes.empty()) fail(name, "no data");
        file = sf_open_virtual(&memory_io, SFM_READ, &info, &memory);
        check_opened();
    }
    // Reads a pipe, a FIFO or a device as it arrives.
    void open_stream(int fd, bool own) {
        stream = std::make_unique<stream_file>();
        stream->fd = fd;
        own_stream_fd = own;
        file = sf_open_virtual(&stream_io, SFM_READ, &info, stream.get());
        stream->opening = false;
        stream->beyond_reach = false;
        stream->starved = false;
        check_opened();
    }
    // A regular file at its start can be read as it is, seeking at will.
    void open_fd(int fd, bool own) {
        struct stat status {};
        if (::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
            if (own) ::close(fd);
            fail(name, "is a directory");
        }
        if (S_ISREG(status.st_mode) && ::lseek(fd, 0, SEEK_CUR) == 0) {
            file = sf_open_fd(fd, SFM_READ, &info, own ? SF_TRUE : SF_FALSE);
            if (file == nullptr && own) ::close(fd);
            check_opened();
        } else {
            open_stream(fd, own);
        }
    }
    // What every input must pass, whatever it was read from.
    void check_opened();
    [[noreturn]] void fail_stream();
};

sound_reader::sound_reader(const std::string& path) : impl_(std::make_unique<impl>()) {
    impl& self = *impl_;
    self.name = display_name(path, false);
    if (path == "-") {
        if (::isatty(STDIN_FILENO)) fail(self.name, "is a terminal; pipe a sound file into it");
        self.open_fd(STDIN_FILENO, false);
        return;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) fail(self.name, system_reason(errno));
    if (::isatty(fd)) {
        ::close(fd);
        fail(self.name, "is a terminal, not a sound file");
    }
    self.open_fd(fd, true);
}

sound_reader::sound_reader(in_memory_t, std::string name, std::vector<unsigned char> bytes)
    : impl_(std::make_unique<impl>()) {
    impl_->name = std::move(name);
    impl_->memory.bytes = std::move(bytes);
    impl_->open_memory();
}

// Why a stream could not be read, when the stream itself is the cause.
void sound_reader::impl::fail_stream() {
    if (stream->read_error != 0) fail(name, system_reason(stream->read_error));
    if (stream->refused_seek || stream->skipped)
        fail(name, "cannot be read from a pipe: this file needs seeking; save it to a file first");
    if (stream->ended && stream->start == 0 && stream->window.empty()) fail(name, "no data");
    fail(name, "corrupt or truncated (" + sndfile_reason(file) + ")");
}

void sound_reader::impl::check_opened() {
    if (file == nullptr) {
        if (stream && (stream->read_error != 0 || stream->window.empty() || stream->refused_seek ||
                       stream->skipped))
            fail_stream();
        fail(name, "not a readable sound file (" + sndfile_reason(nullptr) + ")");
    }
    if (header_promises_more(file))
        fail(name, "truncated: the file ends before its audio data does");
    // From a stream, a placeholder length, or one libsndfile made up from
    // the unknown length of the stream, is no length at all.
    if (stream && (header_length_unknown(file) || info.frames >= (sf_count_t{1} << 48)))
        info.frames = SF_COUNT_MAX;
    if (info.frames <= 0 && info.frames != SF_COUNT_MAX) fail(name, "holds no audio");
    const int major = info.format & SF_FORMAT_TYPEMASK;
    switch (info.format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_FLOAT:
        case SF_FORMAT_DOUBLE:
        case SF_FORMAT_VORBIS:
        case SF_FORMAT_OPUS:
        case SF_FORMAT_MPEG_LAYER_I:
        case SF_FORMAT_MPEG_LAYER_II:
        case SF_FORMAT_MPEG_LAYER_III:
            read_floats = true;
            break;
        default:
            break;
    }
    // Compressed frame counts of these are estimates.
    exact_length = info.frames != SF_COUNT_MAX && major != SF_FORMAT_MPEG;
    // These decoders stop where their data does; the block codecs in WAV and
    // the like read on as far as the header says.
    may_fill_past_end =
        stream && major != SF_FORMAT_FLAC && major != SF_FORMAT_OGG && major != SF_FORMAT_MPEG;
}

sound_reader::~sound_reader() = default;

std::uint32_t sound_reader::sample_rate() const noexcept {
    return static_cast<std::uint32_t>(std::max(impl_->info.samplerate, 0));
}
std::uint32_t sound_reader::channels() const noexcept {
    return static_cast<std::uint32_t>(std::max(impl_->info.channels, 0));
}
std::uint64_t sound_reader::frames() const noexcept {
    return impl_->info.frames == SF_COUNT_MAX ? 0 : static_cast<std::uint64_t>(impl_->info.frames);
}
const std::string& sound_reader::name() const noexcept {
    return impl_->name;
}

std::uint64_t sound_reader::read(std::int16_t* samples, std::uint64_t frames) {
    impl& self = *impl_;
    const std::uint64_t wanted = frames;
    // Once a stream has ended, a block codec (ADPCM, GSM) still holds at most
    // a block decoded from real data, but would go on filling missing blocks
    // with silence for as long as the header claims: hours of it.
    constexpr std::uint64_t most_after_end = 65536;
    const bool after_end = self.may_fill_past_end && self.stream->starved;
    if (after_end)
        frames = std::min(frames, most_after_end - std::min(most_after_end, self.frames_after_end));
    sf_count_t n = 0;
    if (self.read_floats) {
        const std::size_t count = static_cast<std::size_t>(frames) * self.info.channels;
        if (self.floats.size() < count) self.floats.resize(count);
        n = sf_readf_float(self.file, self.floats.data(), static_cast<sf_count_t>(frames));
        // Peaks beyond full scale are clipped, not wrapped around.
        const std::size_t produced = n > 0 ? static_cast<std::size_t>(n) * self.info.channels : 0;
        for (std::size_t i = 0; i < produced; ++i) {
            const float scaled = std::clamp(self.floats[i] * 32767.0f, -32768.0f, 32767.0f);
            samples[i] = static_cast<std::int16_t>(std::lrint(scaled));
        }
    } else {
        n = sf_readf_short(self.file, samples, static_cast<sf_count_t>(frames));
    }
    const std::uint64_t got = n > 0 ? static_cast<std::uint64_t>(n) : 0;
    self.frames_read += got;
    if (after_end) self.frames_after_end += got;
    frames = wanted;
    if (got < frames) {
        if (self.stream && self.stream->read_error != 0) self.fail_stream();
        if (sf_error(self.file) != SF_ERR_NO_ERROR && self.stream && self.stream->refused_seek)
            self.fail_stream();
        if (sf_error(self.file) != SF_ERR_NO_ERROR)
            fail(self.name, "corrupt or truncated (" + sndfile_reason(self.file) + ")");
        if (self.frames_read == 0 && self.info.frames == SF_COUNT_MAX)
            fail(self.name, "holds no audio");
        if (self.exact_length && self.frames_read < static_cast<std::uint64_t>(self.info.frames))
            fail(self.name, "truncated: " + std::to_string(self.frames_read) + " of " +
                                std::to_string(self.info.frames) + " frames could be read");
    }
    return got;
}

}  // namespace squeakbox
