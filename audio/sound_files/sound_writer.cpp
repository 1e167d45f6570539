#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "audio/sound_files/sndfile_parts.h"
#include "audio/sound_files/sound_file.h"

namespace squeakbox {

using namespace sound_files;

namespace {

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
    // Built by appending: GCC 12 at -O3 with _FORTIFY_SOURCE takes
    // `"." + std::string&&` for an overlapping copy and stops the build.
    std::string hidden_name = ".";
    hidden_name.append(target.filename().string()).append(".part-XXXXXX");
    std::string pattern = (directory / hidden_name).string();
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

}  // namespace squeakbox
