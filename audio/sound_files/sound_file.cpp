#include "audio/sound_files/sound_file.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string_view>
#include <vector>

namespace squeakbox {

namespace {

std::string display_name(const std::string& path, bool output) {
    if (path == "-") return output ? "standard output" : "standard input";
    return path;
}

[[noreturn]] void fail(const std::string& name, const std::string& reason) {
    throw file_error(name + ": " + reason);
}

std::string system_reason(int error) {
    return std::strerror(error);
}

// libsndfile's messages end with a full stop and sometimes start with a
// category; keep them short for a one-line report.
std::string sndfile_reason(SNDFILE* file) {
    std::string text = sf_strerror(file);
    while (!text.empty() && (text.back() == '.' || text.back() == '\n')) text.pop_back();
    for (std::string_view prefix : {"Error : ", "System error : "})
        if (text.starts_with(prefix)) text.erase(0, prefix.size());
    if (!text.empty())
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

// ---------------------------------------------------------------------------
// A sound file held in memory, for callers that have its bytes at hand.

struct memory_file {
    std::vector<unsigned char> bytes;
    sf_count_t position = 0;
};

sf_count_t memory_length(void* user) {
    return static_cast<sf_count_t>(static_cast<memory_file*>(user)->bytes.size());
}

sf_count_t memory_seek(sf_count_t offset, int whence, void* user) {
    auto* file = static_cast<memory_file*>(user);
    sf_count_t base = 0;
    if (whence == SEEK_CUR) base = file->position;
    if (whence == SEEK_END) base = static_cast<sf_count_t>(file->bytes.size());
    const sf_count_t target = base + offset;
    if (target < 0) return -1;
    file->position = target;
    return target;
}

sf_count_t memory_read(void* destination, sf_count_t count, void* user) {
    auto* file = static_cast<memory_file*>(user);
    const auto size = static_cast<sf_count_t>(file->bytes.size());
    const sf_count_t n = std::clamp<sf_count_t>(size - file->position, 0, count);
    if (n > 0)
        std::memcpy(destination, file->bytes.data() + file->position, static_cast<std::size_t>(n));
    file->position += n;
    return n;
}

sf_count_t memory_write(const void* source, sf_count_t count, void* user) {
    auto* file = static_cast<memory_file*>(user);
    const auto end = static_cast<std::size_t>(file->position + count);
    if (end > file->bytes.size()) file->bytes.resize(end);
    std::memcpy(file->bytes.data() + file->position, source, static_cast<std::size_t>(count));
    file->position += count;
    return count;
}

sf_count_t memory_tell(void* user) {
    return static_cast<memory_file*>(user)->position;
}

SF_VIRTUAL_IO memory_io{memory_length, memory_seek, memory_read, memory_write, memory_tell};

// ---------------------------------------------------------------------------
// A sound file read from a pipe as it arrives, so that an hour of sound from
// a recorder costs no more memory than a second of it. libsndfile seeks while
// it reads a header: back to the start after guessing the format, and ahead
// past the audio to look for chunks behind it. So the bytes read so far are
// kept while the file is opened, and a jump far beyond them reads as the end
// of the stream (a stream ends with its audio). Once the file is open, only a
// short stretch behind the reading position is kept.

// How far ahead of the bytes read an opening seek is served by reading on.
constexpr sf_count_t open_reach = sf_count_t{1} << 20;
// What stays behind the reading position once the file is open.
constexpr sf_count_t kept_behind = sf_count_t{1} << 16;

struct stream_file {
    int fd = -1;
    std::vector<unsigned char> window;  // the stream's bytes from `start` on
    sf_count_t start = 0;
    sf_count_t position = 0;
    bool opening = true;
    bool beyond_reach = false;  // `position` lies past what an opening seek reads
    bool ended = false;
    int read_error = 0;
    bool refused_seek = false;    // a seek back before the window, or from the end
    bool skipped = false;         // an opening seek jumped past what was read
    bool starved = false;         // a read asked for bytes past the end of the stream
    std::size_t riff_chunk = 12;  // the next WAV chunk header to look at
    bool riff_seen = false;

    [[nodiscard]] sf_count_t end() const { return start + static_cast<sf_count_t>(window.size()); }

    // Reads on until the window reaches `upto`; once open, drops what lies
    // well behind `keep_from`.
    void fill(sf_count_t upto, sf_count_t keep_from) {
        unsigned char chunk[1 << 16];
        while (end() < upto && !ended) {
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                if (n < 0) read_error = errno;
                ended = true;
                break;
            }
            const sf_count_t drop = std::min(keep_from, end()) - kept_behind - start;
            if (!opening && drop >= kept_behind) {
                window.erase(window.begin(), window.begin() + static_cast<std::ptrdiff_t>(drop));
                start += drop;
            }
            window.insert(window.end(), chunk, chunk + n);
            mark_unknown_wav_length();
        }
    }

    // A WAV stream whose data chunk says 0 bytes was written by a recorder
    // that could not go back to fill in the length; libsndfile would read
    // nothing from it. The data runs to the end of the stream instead.
    void mark_unknown_wav_length() {
        if (riff_seen || start != 0 || window.size() < 12) return;
        if (std::memcmp(window.data(), "RIFF", 4) != 0 ||
            std::memcmp(window.data() + 8, "WAVE", 4) != 0) {
            riff_seen = true;
            return;
        }
        while (riff_chunk + 8 <= window.size()) {
            unsigned char* header = window.data() + riff_chunk;
            const std::uint32_t size = header[4] | header[5] << 8 | header[6] << 16 |
                                       static_cast<std::uint32_t>(header[7]) << 24;
            if (std::memcmp(header, "data", 4) == 0) {
                if (size == 0) std::memset(header + 4, 0xFF, 4);
                riff_seen = true;
                return;
            }
            riff_chunk += 8 + std::size_t{size} + (size & 1u);
        }
    }
};

sf_count_t stream_length(void*) {
    return SF_COUNT_MAX;  // unknown until the stream ends
}

sf_count_t stream_seek(sf_count_t offset, int whence, void* user) {
    auto* file = static_cast<stream_file*>(user);
    sf_count_t target = 0;
    if (whence == SEEK_SET) {
        target = offset;
    } else if (whence != SEEK_CUR || __builtin_add_overflow(file->position, offset, &target)) {
        file->refused_seek = true;  // the end of a stream is not known until it comes
        return -1;
    }
    if (target < file->start) {
        file->refused_seek = true;
        return -1;
    }
    file->beyond_reach = false;
    if (target > file->end()) {
        if (file->opening && target > file->end() + open_reach) {
            file->beyond_reach = true;
            file->skipped = true;
        } else {
            file->fill(target, target);
        }
    }
    file->position = target;
    return target;
}

sf_count_t stream_read(void* destination, sf_count_t count, void* user) {
    auto* file = static_cast<stream_file*>(user);
    if (file->beyond_reach || count > SF_COUNT_MAX - file->position) return 0;
    file->fill(file->position + count, file->position);
    const sf_count_t n = std::clamp<sf_count_t>(file->end() - file->position, 0, count);
    if (n > 0)
        std::memcpy(destination, file->window.data() + (file->position - file->start),
                    static_cast<std::size_t>(n));
    file->position += n;
    if (n < count && file->ended) file->starved = true;
    return n;
}

sf_count_t stream_write(const void*, sf_count_t, void*) {
    return -1;
}

sf_count_t stream_tell(void* user) {
    return static_cast<stream_file*>(user)->position;
}

SF_VIRTUAL_IO stream_io{stream_length, stream_seek, stream_read, stream_write, stream_tell};

// ---------------------------------------------------------------------------
// A sound file written into a pipe, a FIFO or a device that cannot seek.
// libsndfile goes back to the header when it knows the lengths; here the
// header says "length unknown" instead, as streaming recorders write it, and
// those late rewrites are dropped. The file's head is held back until the
// first samples are written, because libsndfile writes the header twice.

struct stream_sink {
    int fd = -1;
    int major = 0;
    std::vector<unsigned char> head;  // the bytes from 0 on, while held back
    bool holding = true;
    sf_count_t position = 0;
    sf_count_t sent = 0;  // bytes passed on to `fd`
    int error = 0;

    bool send(const unsigned char* data, std::size_t count) {
        while (count > 0) {
            const ssize_t n = ::write(fd, data, count);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                error = errno;
                return false;
            }
            data += n;
            count -= static_cast<std::size_t>(n);
            sent += n;
        }
        return true;
    }

    void put_unknown(std::size_t at) {
        if (at + 4 <= head.size()) std::memset(head.data() + at, 0xFF, 4);
    }

    // Marks the lengths in the header as unknown and passes the head on.
    bool release() {
        if (!holding) return error == 0;
        holding = false;
        const auto tag = [this](std::size_t at, const char* text) {
            return at + 4 <= head.size() && std::memcmp(head.data() + at, text, 4) == 0;
        };
        if ((major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX) && tag(0, "RIFF")) {
            put_unknown(4);
            for (std::size_t at = 12; at + 8 <= head.size();) {
                const std::uint32_t size = head[at + 4] | head[at + 5] << 8 | head[at + 6] << 16 |
                                           static_cast<std::uint32_t>(head[at + 7]) << 24;
                if (tag(at, "data")) {
                    put_unknown(at + 4);
                    break;
                }
                at += 8 + std::size_t{size} + (size & 1u);
            }
        } else if (major == SF_FORMAT_AU && tag(0, ".snd")) {
            put_unknown(8);
        }
        const bool sent_all = send(head.data(), head.size());
        head = {};
        return sent_all;
    }
};

sf_count_t sink_length(void* user) {
    const auto* sink = static_cast<stream_sink*>(user);
    return std::max(sink->sent, static_cast<sf_count_t>(sink->head.size()));
}

sf_count_t sink_seek(sf_count_t offset, int whence, void* user) {
    auto* sink = static_cast<stream_sink*>(user);
    sf_count_t base = 0;
    if (whence == SEEK_CUR) base = sink->position;
    if (whence == SEEK_END) base = sink_length(user);
    if (base + offset < 0) return -1;
    sink->position = base + offset;
    return sink->position;
}

sf_count_t sink_read(void*, sf_count_t, void*) {
    return 0;
}

sf_count_t sink_write(const void* source, sf_count_t count, void* user) {
    auto* sink = static_cast<stream_sink*>(user);
    const auto* data = static_cast<const unsigned char*>(source);
    if (sink->holding) {
        const auto end = static_cast<std::size_t>(sink->position + count);
        if (end > sink->head.size()) sink->head.resize(end);
        std::memcpy(sink->head.data() + sink->position, data, static_cast<std::size_t>(count));
        sink->position += count;
        return count;
    }
    // What was passed on is gone; a rewrite of it is dropped.
    const sf_count_t dropped = std::clamp<sf_count_t>(sink->sent - sink->position, 0, count);
    sink->position += dropped;
    if (dropped == count) return count;
    if (sink->position != sink->sent) {
        sink->error = ESPIPE;
        return -1;
    }
    if (!sink->send(data + dropped, static_cast<std::size_t>(count - dropped))) return -1;
    sink->position = sink->sent;
    return count;
}

sf_count_t sink_tell(void* user) {
    return static_cast<stream_sink*>(user)->position;
}

SF_VIRTUAL_IO sink_io{sink_length, sink_seek, sink_read, sink_write, sink_tell};

// A file whose header promises more data than the file holds is reported by
// libsndfile only in its log ("data : 88200 (should be 49956)"); it then reads
// what is there. Placeholder lengths mark a stream written without knowing
// its length, which is not a fault.
bool header_promises_more(SNDFILE* file) {
    char log[8192] = {};
    sf_command(file, SFC_GET_LOG_INFO, log, sizeof log);
    static const std::regex chunk(R"((data|SSND) *: *(\d+) \(should be (\d+)\))");
    for (std::cregex_iterator it(log, log + std::strlen(log), chunk), end; it != end; ++it) {
        const unsigned long long claimed = std::stoull((*it)[2].str());
        const unsigned long long present = std::stoull((*it)[3].str());
        // Streaming writers put 0 or a number near 2^31 or 2^32 there.
        const bool unknown = claimed == 0 || claimed >= 0x7FFF0000ull;
        if (!unknown && present < claimed) return true;
    }
    return false;
}

// A stream written without knowing its length says so with a placeholder in
// its header (0, or a number near 2^31 or 2^32); it ends where the stream does.
bool header_length_unknown(SNDFILE* file) {
    char log[8192] = {};
    sf_command(file, SFC_GET_LOG_INFO, log, sizeof log);
    static const std::regex chunk(R"((data|SSND) *: *(\d+))");
    std::cmatch found;
    if (!std::regex_search(log, found, chunk)) return false;
    const unsigned long long claimed = std::stoull(found[2].str());
    return claimed == 0 || claimed >= 0x7FFF0000ull;
}

// ---------------------------------------------------------------------------
// Output formats by extension

struct output_format {
    int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    std::string name = "WAV 16-bit";
};

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// What this libsndfile lists under a count command and a get command: its
// major formats, or its subtypes.
std::vector<SF_FORMAT_INFO> listed_formats(int count_command, int get_command) {
    int count = 0;
    sf_command(nullptr, count_command, &count, sizeof count);
    std::vector<SF_FORMAT_INFO> listed(static_cast<std::size_t>(std::max(count, 0)));
    for (std::size_t i = 0; i < listed.size(); ++i) {
        listed[i].format = static_cast<int>(i);
        sf_command(nullptr, get_command, &listed[i], sizeof listed[i]);
    }
    return listed;
}

int major_for_extension(const std::string& extension) {
    struct alias {
        const char* extension;
        int major;
    };
    static constexpr alias aliases[] = {
        {"wav", SF_FORMAT_WAV},   {"wave", SF_FORMAT_WAV},  {"aif", SF_FORMAT_AIFF},
        {"aiff", SF_FORMAT_AIFF}, {"aifc", SF_FORMAT_AIFF}, {"au", SF_FORMAT_AU},
        {"snd", SF_FORMAT_AU},    {"flac", SF_FORMAT_FLAC}, {"ogg", SF_FORMAT_OGG},
        {"oga", SF_FORMAT_OGG},   {"opus", SF_FORMAT_OGG},  {"caf", SF_FORMAT_CAF},
        {"w64", SF_FORMAT_W64},   {"rf64", SF_FORMAT_RF64}, {"mp3", SF_FORMAT_MPEG},
    };
    for (const alias& a : aliases)
        if (extension == a.extension) return a.major;
    // Whatever else this libsndfile knows by extension.
    for (const SF_FORMAT_INFO& info :
         listed_formats(SFC_GET_FORMAT_MAJOR_COUNT, SFC_GET_FORMAT_MAJOR))
        if (info.extension != nullptr && extension == info.extension)
            return info.format & SF_FORMAT_TYPEMASK;
    return 0;
}

std::string format_info_name(int format, int command) {
    SF_FORMAT_INFO info{};
    info.format = format;
    if (sf_command(nullptr, command, &info, sizeof info) != 0 || info.name == nullptr) return "?";
    return info.name;
}

output_format choose_format(const std::string& path, const std::string& name,
                            std::uint32_t sample_rate, std::uint32_t channels) {
    output_format chosen;
    if (path == "-") return chosen;
    const std::string extension = lower(std::filesystem::path(path).extension().string());
    const int major = extension.size() > 1 ? major_for_extension(extension.substr(1)) : 0;
    if (major == 0 || major == SF_FORMAT_WAV) return chosen;

    SF_INFO info{};
    info.samplerate = static_cast<int>(sample_rate);
    info.channels = static_cast<int>(channels);
    // 16-bit PCM where the format holds it, else its own coding.
    std::vector<int> subtypes = {SF_FORMAT_PCM_16};
    if (extension == ".opus") subtypes.insert(subtypes.begin(), SF_FORMAT_OPUS);
    subtypes.insert(subtypes.end(), {SF_FORMAT_VORBIS, SF_FORMAT_MPEG_LAYER_III});
    for (const SF_FORMAT_INFO& sub :
         listed_formats(SFC_GET_FORMAT_SUBTYPE_COUNT, SFC_GET_FORMAT_SUBTYPE))
        subtypes.push_back(sub.format & SF_FORMAT_SUBMASK);
    for (int subtype : subtypes) {
        info.format = major | subtype;
        if (sf_format_check(&info)) {
            chosen.format = info.format;
            chosen.name = format_info_name(major, SFC_GET_FORMAT_INFO) + ", " +
                          format_info_name(subtype, SFC_GET_FORMAT_INFO);
            return chosen;
        }
    }
    fail(name, "this libsndfile cannot write " + format_info_name(major, SFC_GET_FORMAT_INFO) +
                   " files with " + std::to_string(channels) + " channel(s) at " +
                   std::to_string(sample_rate) + " Hz");
}

// ---------------------------------------------------------------------------
// Interrupted runs: the temporary output is removed before the signal's
// default action ends the process.

char pending_temporary[4096];
volatile std::sig_atomic_t have_pending_temporary = 0;

void remember_temporary(const std::string& path) {
    have_pending_temporary = 0;
    if (path.size() >= sizeof pending_temporary) return;
    std::memcpy(pending_temporary, path.c_str(), path.size() + 1);
    have_pending_temporary = 1;
}

void forget_temporary() {
    have_pending_temporary = 0;
}

extern "C" void remove_temporary_and_reraise(int signal_number) {
    if (have_pending_temporary) ::unlink(pending_temporary);
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

mode_t creation_mode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
}

}  // namespace

// ---------------------------------------------------------------------------

sound_file sound_file::open_for_reading(const std::string& path) {
    sound_file opened;
    SF_INFO info{};
    opened.handle_.reset(sf_open(path.c_str(), SFM_READ, &info));
    opened.layout_ = {info.samplerate, info.channels, info.frames};
    return opened;
}

sound_file sound_file::create_wav(const std::string& path, int sample_rate, int channels) {
    sound_file created;
    SF_INFO info{};
    info.samplerate = sample_rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    created.handle_.reset(sf_open(path.c_str(), SFM_WRITE, &info));
    if (created) sf_command(created.handle_.get(), SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
    created.layout_ = {sample_rate, channels, 0};
    return created;
}

void sound_file::closer::operator()(sf_private_tag* handle) const noexcept {
    sf_close(handle);
}

std::int64_t sound_file::read(std::int16_t* samples, std::int64_t frames) noexcept {
    return sf_readf_short(handle_.get(), samples, frames);
}

std::int64_t sound_file::write(const std::int16_t* samples, std::int64_t frames) noexcept {
    return sf_writef_short(handle_.get(), samples, frames);
}

std::string sound_file::error() const {
    return sf_strerror(handle_.get());
}

// ---------------------------------------------------------------------------

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

// ---------------------------------------------------------------------------

struct sound_writer::impl {
    std::string path;  // the file written: the output's name with its links followed
    std::string name;
    std::string temporary;
    output_format format;
    memory_file memory;
    std::unique_ptr<stream_sink> sink;
    SNDFILE* file = nullptr;
    int fd = -1;
    bool own_fd = false;
    bool committed = false;
    bool keep_in_memory = false;  // the file stays in `memory`

    ~impl() {
        if (file != nullptr) sf_close(file);
        if (own_fd && fd >= 0) ::close(fd);
        if (!committed && !temporary.empty()) {
            ::unlink(temporary.c_str());
            forget_temporary();
        }
    }

    void open_memory(SF_INFO info) {
        file = sf_open_virtual(&memory_io, SFM_WRITE, &info, &memory);
        if (file == nullptr) fail(name, sndfile_reason(nullptr));
    }
    // Formats whose header can say "length unknown", or needs no length.
    void check_streamable() const {
        const int major = format.format & SF_FORMAT_TYPEMASK;
        switch (major) {
            case SF_FORMAT_WAV:
            case SF_FORMAT_WAVEX:
            case SF_FORMAT_AU:
            case SF_FORMAT_FLAC:
            case SF_FORMAT_OGG:
            case SF_FORMAT_RAW:
                return;
            default:
                fail(name, "is a pipe or device, which " +
                               format_info_name(major, SFC_GET_FORMAT_INFO) +
                               " files cannot be streamed to; use .wav, .flac, .ogg or .au");
        }
    }
    void open_direct(int descriptor, bool own, SF_INFO info);
    void open_replacement(SF_INFO info);
    void finish_replacement();
};

// Writes straight into what is not a regular file by name (a FIFO, a device)
// or into standard output: a FIFO's reader is waiting on it, and a device is
// not ours to replace.
void sound_writer::impl::open_direct(int descriptor, bool own, SF_INFO info) {
    fd = descriptor;
    own_fd = own;
    struct stat status {};
    if (::fstat(fd, &status) != 0) fail(name, system_reason(errno));
    const bool seekable =
        (S_ISREG(status.st_mode) || S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode)) &&
        ::lseek(fd, 0, SEEK_CUR) == 0 && (::fcntl(fd, F_GETFL) & O_APPEND) == 0;
    if (seekable) {
        file = sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE);
        if (file == nullptr) fail(name, sndfile_reason(nullptr));
        return;
    }
    check_streamable();
    sink = std::make_unique<stream_sink>();
    sink->fd = fd;
    sink->major = format.format & SF_FORMAT_TYPEMASK;
    file = sf_open_virtual(&sink_io, SFM_WRITE, &info, sink.get());
    if (file == nullptr) fail(name, sndfile_reason(nullptr));
}

// A regular file is written beside the file it replaces and renamed over it
// once complete, so the old file stays whole until then.
void sound_writer::impl::open_replacement(SF_INFO info) {
    namespace fs = std::filesystem;
    const fs::path target(path);
    const fs::path directory = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::string pattern =
        (directory / ("." + target.filename().string() + ".part-XXXXXX")).string();
    fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0)
        fail(name,
             "cannot create a file in " + directory.string() + " (" + system_reason(errno) + ")");
    own_fd = true;
    temporary = pattern;
    remember_temporary(temporary);
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0) {
        // The new file takes the old one's place with its owner and
        // permissions: a private file stays private. Another owner is kept
        // where the system allows it, the group where only that is allowed.
        if (::fchown(fd, old.st_uid, old.st_gid) != 0 &&
            ::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
            // The file then belongs to whoever runs the program, as a new file would.
        }
        ::fchmod(fd, old.st_mode & 07777);
    } else {
        ::fchmod(fd, creation_mode());
    }
    file = sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE);
    if (file == nullptr) fail(name, sndfile_reason(nullptr));
}

// The data reaches the disk before the rename, and the rename before the
// program says it is done: after a power cut the name holds the old file or
// the new one, never an empty one.
void sound_writer::impl::finish_replacement() {
    if (::fsync(fd) != 0) fail(name, "could not be saved (" + system_reason(errno) + ")");
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0) fail(name, "could not be saved (" + system_reason(errno) + ")");
    if (::rename(temporary.c_str(), path.c_str()) != 0)
        fail(name, "cannot be replaced (" + system_reason(errno) + ")");
    committed = true;
    forget_temporary();

    namespace fs = std::filesystem;
    const fs::path target(path);
    const fs::path directory = target.has_parent_path() ? target.parent_path() : fs::path(".");
    const int folder = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return;
    // Some file systems cannot sync a folder (EINVAL); their renames are safe as they are.
    const int synced = ::fsync(folder) == 0 ? 0 : errno;
    ::close(folder);
    if (synced != 0 && synced != EINVAL && synced != EROFS)
        fail(name,
             "was written, but its folder could not be saved (" + system_reason(synced) + ")");
}

namespace {

// The file a name stands for, through any symbolic links: the new file
// replaces that one and the links keep pointing at it.
std::string follow_links(const std::string& path, const std::string& name) {
    namespace fs = std::filesystem;
    fs::path current(path);
    for (int hops = 0; hops < 40; ++hops) {
        struct stat status {};
        if (::lstat(current.c_str(), &status) != 0 || !S_ISLNK(status.st_mode))
            return current.string();
        std::error_code error;
        const fs::path target = fs::read_symlink(current, error);
        if (error) fail(name, error.message());
        current = target.is_absolute() ? target : current.parent_path() / target;
    }
    fail(name, system_reason(ELOOP));
}

}  // namespace

sound_writer::sound_writer(const std::string& path, std::uint32_t sample_rate,
                           std::uint32_t channels)
    : impl_(std::make_unique<impl>()) {
    impl& self = *impl_;
    self.name = display_name(path, true);
    self.format = choose_format(path, self.name, sample_rate, channels);

    SF_INFO info{};
    info.samplerate = static_cast<int>(sample_rate);
    info.channels = static_cast<int>(channels);
    info.format = self.format.format;

    if (path == "-") {
        if (::isatty(STDOUT_FILENO))
            fail(self.name, "is a terminal; redirect it to a file or a pipe");
        self.open_direct(STDOUT_FILENO, false, info);
        return;
    }

    self.path = follow_links(path, self.name);
    struct stat status {};
    if (::stat(self.path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
        if (S_ISDIR(status.st_mode)) fail(self.name, "is a directory");
        // Refused before a FIFO's open waits for its reader.
        if (S_ISFIFO(status.st_mode)) self.check_streamable();
        const int fd = ::open(self.path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) fail(self.name, system_reason(errno));
        if (::isatty(fd)) {
            ::close(fd);
            fail(self.name, "is a terminal; redirect it to a file or a pipe");
        }
        self.open_direct(fd, true, info);
        return;
    }
    self.open_replacement(info);
}

sound_writer::sound_writer(in_memory_t, std::uint32_t sample_rate, std::uint32_t channels)
    : impl_(std::make_unique<impl>()) {
    impl_->name = "memory";
    impl_->keep_in_memory = true;
    SF_INFO info{};
    info.samplerate = static_cast<int>(sample_rate);
    info.channels = static_cast<int>(channels);
    info.format = impl_->format.format;
    impl_->open_memory(info);
}

sound_writer::~sound_writer() = default;

void sound_writer::write(const std::int16_t* samples, std::uint64_t frames) {
    impl& self = *impl_;
    const sf_count_t n = sf_writef_short(self.file, samples, static_cast<sf_count_t>(frames));
    int error = errno;
    if (self.sink && self.sink->error == 0 && self.sink->holding && !self.sink->release())
        error = self.sink->error;
    if (self.sink && self.sink->error != 0) error = self.sink->error;
    if (n != static_cast<sf_count_t>(frames) || (self.sink && self.sink->error != 0)) {
        std::string reason = sndfile_reason(self.file);
        if (error == ENOSPC || error == EDQUOT || error == EIO || error == EFBIG ||
            error == EPIPE || (self.sink && self.sink->error != 0))
            reason = system_reason(error);
        fail(self.name, "write failed (" + reason + ")");
    }
}

void sound_writer::commit() {
    impl& self = *impl_;
    // Closing writes the final header; only then is the file complete.
    SNDFILE* file = self.file;
    self.file = nullptr;
    const int closed = sf_close(file);
    if (self.sink && (!self.sink->release() || self.sink->error != 0))
        fail(self.name, "write failed (" + system_reason(self.sink->error) + ")");
    if (closed != 0) fail(self.name, "could not be finished (" + sndfile_reason(nullptr) + ")");

    if (self.keep_in_memory) {
        self.committed = true;
        return;
    }
    if (self.temporary.empty()) {
        if (self.own_fd) {
            const int result = ::close(self.fd);
            self.fd = -1;
            if (result != 0) fail(self.name, "write failed (" + system_reason(errno) + ")");
        }
        self.committed = true;
        return;
    }
    self.finish_replacement();
}

std::string sound_writer::format_name() const {
    return impl_->format.name;
}

const std::vector<unsigned char>& sound_writer::bytes() const noexcept {
    return impl_->memory.bytes;
}

void remove_temporary_file_on_signals() {
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        // A signal ignored when the program starts stays ignored: under nohup
        // a hang-up must neither end the run nor take its output away.
        struct sigaction current {};
        if (::sigaction(signal_number, nullptr, &current) != 0 || current.sa_handler == SIG_IGN)
            continue;
        struct sigaction handler {};
        handler.sa_handler = remove_temporary_and_reraise;
        sigemptyset(&handler.sa_mask);
        handler.sa_flags = SA_RESTART;
        ::sigaction(signal_number, &handler, nullptr);
    }
}

std::string sndfile_version() {
    return sf_version_string();
}

}  // namespace squeakbox
