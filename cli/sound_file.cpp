#include "cli/sound_file.h"

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

namespace squeakbox::render {

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
// A sound file held in memory: standard input is read whole (so that every
// format can be read from a pipe, even those that need to seek), and standard
// output is assembled before it is written out.

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
    int count = 0;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &count, sizeof count);
    for (int i = 0; i < count; ++i) {
        SF_FORMAT_INFO info{};
        info.format = i;
        sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &info, sizeof info);
        if (info.extension != nullptr && extension == info.extension)
            return info.format & SF_FORMAT_TYPEMASK;
    }
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
    int count = 0;
    sf_command(nullptr, SFC_GET_FORMAT_SUBTYPE_COUNT, &count, sizeof count);
    for (int i = 0; i < count; ++i) {
        SF_FORMAT_INFO sub{};
        sub.format = i;
        sf_command(nullptr, SFC_GET_FORMAT_SUBTYPE, &sub, sizeof sub);
        subtypes.push_back(sub.format & SF_FORMAT_SUBMASK);
    }
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

struct sound_reader::impl {
    std::string name;
    memory_file memory;
    SNDFILE* file = nullptr;
    SF_INFO info{};
    std::uint64_t frames_read = 0;
    bool exact_length = true;
    // Floating-point and lossy data are read as floats and converted here:
    // libsndfile would hand them out as shorts unscaled, or scaled to the
    // file's own peak.
    bool read_floats = false;
    std::vector<float> floats;

    ~impl() {
        if (file != nullptr) sf_close(file);
    }
};

sound_reader::sound_reader(const std::string& path) : impl_(std::make_unique<impl>()) {
    impl& self = *impl_;
    self.name = display_name(path, false);
    if (path == "-") {
        if (::isatty(STDIN_FILENO)) fail(self.name, "is a terminal; pipe a sound file into it");
        unsigned char chunk[1 << 16];
        while (true) {
            const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) fail(self.name, system_reason(errno));
            if (n == 0) break;
            self.memory.bytes.insert(self.memory.bytes.end(), chunk, chunk + n);
        }
        if (self.memory.bytes.empty()) fail(self.name, "no data");
        self.file = sf_open_virtual(&memory_io, SFM_READ, &self.info, &self.memory);
    } else {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) fail(self.name, system_reason(errno));
        struct stat status {};
        if (::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
            ::close(fd);
            fail(self.name, "is a directory");
        }
        self.file = sf_open_fd(fd, SFM_READ, &self.info, SF_TRUE);
        if (self.file == nullptr) ::close(fd);
    }
    if (self.file == nullptr)
        fail(self.name, "not a readable sound file (" + sndfile_reason(nullptr) + ")");
    if (header_promises_more(self.file))
        fail(self.name, "truncated: the file ends before its audio data does");
    if (self.info.frames <= 0 && self.info.frames != SF_COUNT_MAX)
        fail(self.name, "holds no audio");
    const int major = self.info.format & SF_FORMAT_TYPEMASK;
    switch (self.info.format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_FLOAT:
        case SF_FORMAT_DOUBLE:
        case SF_FORMAT_VORBIS:
        case SF_FORMAT_OPUS:
        case SF_FORMAT_MPEG_LAYER_I:
        case SF_FORMAT_MPEG_LAYER_II:
        case SF_FORMAT_MPEG_LAYER_III:
            self.read_floats = true;
            break;
        default:
            break;
    }
    // Compressed frame counts of these are estimates.
    self.exact_length = self.info.frames != SF_COUNT_MAX && major != SF_FORMAT_MPEG;
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
    if (got < frames) {
        if (sf_error(self.file) != SF_ERR_NO_ERROR)
            fail(self.name, "corrupt or truncated (" + sndfile_reason(self.file) + ")");
        if (self.exact_length && self.frames_read < static_cast<std::uint64_t>(self.info.frames))
            fail(self.name, "truncated: " + std::to_string(self.frames_read) + " of " +
                                std::to_string(self.info.frames) + " frames could be read");
    }
    return got;
}

// ---------------------------------------------------------------------------

struct sound_writer::impl {
    std::string path;
    std::string name;
    std::string temporary;
    output_format format;
    memory_file memory;
    SNDFILE* file = nullptr;
    bool committed = false;

    ~impl() {
        if (file != nullptr) sf_close(file);
        if (!committed && !temporary.empty()) {
            ::unlink(temporary.c_str());
            forget_temporary();
        }
    }
};

sound_writer::sound_writer(const std::string& path, std::uint32_t sample_rate,
                           std::uint32_t channels)
    : impl_(std::make_unique<impl>()) {
    impl& self = *impl_;
    self.path = path;
    self.name = display_name(path, true);
    self.format = choose_format(path, self.name, sample_rate, channels);

    SF_INFO info{};
    info.samplerate = static_cast<int>(sample_rate);
    info.channels = static_cast<int>(channels);
    info.format = self.format.format;

    if (path == "-") {
        if (::isatty(STDOUT_FILENO))
            fail(self.name, "is a terminal; redirect it to a file or a pipe");
        self.file = sf_open_virtual(&memory_io, SFM_WRITE, &info, &self.memory);
        if (self.file == nullptr) fail(self.name, sndfile_reason(nullptr));
        return;
    }

    namespace fs = std::filesystem;
    const fs::path target(path);
    std::error_code ignored;
    if (fs::is_directory(target, ignored)) fail(self.name, "is a directory");
    const fs::path directory = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::string pattern =
        (directory / ("." + target.filename().string() + ".part-XXXXXX")).string();
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0)
        fail(self.name,
             "cannot create a file in " + directory.string() + " (" + system_reason(errno) + ")");
    self.temporary = pattern;
    remember_temporary(self.temporary);
    ::fchmod(fd, creation_mode());
    self.file = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
    if (self.file == nullptr) {
        ::close(fd);
        fail(self.name, sndfile_reason(nullptr));
    }
}

sound_writer::~sound_writer() = default;

void sound_writer::write(const std::int16_t* samples, std::uint64_t frames) {
    impl& self = *impl_;
    const sf_count_t n = sf_writef_short(self.file, samples, static_cast<sf_count_t>(frames));
    if (n != static_cast<sf_count_t>(frames)) {
        const int error = errno;
        std::string reason = sndfile_reason(self.file);
        if (error == ENOSPC || error == EDQUOT || error == EIO || error == EFBIG)
            reason = system_reason(error);
        fail(self.name, "write failed (" + reason + ")");
    }
}

void sound_writer::commit() {
    impl& self = *impl_;
    // Closing writes the final header; only then is the file complete.
    SNDFILE* file = self.file;
    self.file = nullptr;
    if (sf_close(file) != 0)
        fail(self.name, "could not be finished (" + sndfile_reason(nullptr) + ")");

    if (self.path == "-") {
        const unsigned char* data = self.memory.bytes.data();
        std::size_t left = self.memory.bytes.size();
        while (left > 0) {
            const ssize_t n = ::write(STDOUT_FILENO, data, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) fail(self.name, system_reason(errno));
            data += n;
            left -= static_cast<std::size_t>(n);
        }
        self.committed = true;
        return;
    }
    if (::rename(self.temporary.c_str(), self.path.c_str()) != 0)
        fail(self.name, "cannot be replaced (" + system_reason(errno) + ")");
    self.committed = true;
    forget_temporary();
}

std::string sound_writer::format_name() const {
    return impl_->format.name;
}

void remove_temporary_file_on_signals() {
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        std::signal(signal_number, remove_temporary_and_reraise);
}

std::string sndfile_version() {
    return sf_version_string();
}

}  // namespace squeakbox::render
