#include "app/actions/desktop_copy.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <system_error>
#include <vector>

namespace squeakbox {

namespace {

constexpr const char* error_title = "Error";

std::string quoted(const std::filesystem::path& path) {
    std::string text(1, '"');
    text += path.string();
    text += '"';
    return text;
}

copy_result refuse(const message_box_hook& owner, const std::string& reason) {
    copy_result result{false, "Cannot copy Squeakbox to the desktop: " + reason};
    if (owner) owner(result.message, error_title);
    return result;
}

// Removes the temporary file on every way out unless the rename has consumed it.
class temp_file_guard {
  public:
    explicit temp_file_guard(std::filesystem::path path) : path_(std::move(path)) {}
    temp_file_guard(const temp_file_guard&) = delete;
    temp_file_guard& operator=(const temp_file_guard&) = delete;
    ~temp_file_guard() {
        if (path_.empty()) return;
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    void release() { path_.clear(); }

  private:
    std::filesystem::path path_;
};

// A new, empty file beside `target`, named after it and hidden, that no one else
// can have opened. Empty path and `error` set on failure.
std::filesystem::path make_temp_beside(const std::filesystem::path& target,
                                       std::error_code& error) {
    std::string hidden = ".";
    hidden += target.filename().string();
    hidden += "-XXXXXX";
    const std::string pattern = (target.parent_path() / hidden).string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = ::mkstemp(name.data());
    if (fd < 0) {
        error = std::error_code(errno, std::generic_category());
        return {};
    }
    ::close(fd);
    return std::filesystem::path(name.data());
}

// Puts the copy's bytes on the disk before the rename makes it the desktop copy,
// so a crash right after cannot leave an empty file under the good name.
void flush_to_disk(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

std::string ascii_upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

std::filesystem::path desktop_copy_path(const std::filesystem::path& desktop_folder) {
    if (desktop_folder.empty()) return {};
    return desktop_folder / ascii_upper(desktop_copy_name);
}

copy_result copy_self_to_desktop(const message_box_hook& owner, const std::filesystem::path& from,
                                 const std::filesystem::path& to) {
    namespace fs = std::filesystem;
    if (to.empty()) return refuse(owner, "no desktop folder was found.");
    if (!to.is_absolute()) {
        return refuse(owner,
                      "the desktop folder " + quoted(to.parent_path()) + " is not a full path.");
    }
    if (from.empty()) return refuse(owner, "the program file could not be found.");

    std::error_code ec;
    const fs::file_status source = fs::status(from, ec);
    if (ec || !fs::is_regular_file(source)) {
        return refuse(owner, "cannot read the program file " + quoted(from) + ": " +
                                 (ec ? ec.message() : std::string("not a file")) + ".");
    }
    const fs::path folder = to.parent_path();
    if (!fs::is_directory(folder, ec)) {
        return refuse(owner, "the desktop folder " + quoted(folder) + " does not exist.");
    }

    const fs::path temp = make_temp_beside(to, ec);
    if (temp.empty()) {
        return refuse(owner, "cannot write to " + quoted(folder) + ": " + ec.message() + ".");
    }
    temp_file_guard guard(temp);

    fs::copy_file(from, temp, fs::copy_options::overwrite_existing, ec);
    if (ec) {
        return refuse(owner, "cannot copy " + quoted(from) + " to " + quoted(folder) + ": " +
                                 ec.message() + ".");
    }
    // The temporary file was made private (0600); give the copy the program
    // file's own bits so that it runs like the original.
    fs::permissions(temp, source.permissions() & fs::perms::all, fs::perm_options::replace, ec);
    if (ec) {
        return refuse(owner, "cannot make " + quoted(to) + " executable: " + ec.message() + ".");
    }
    flush_to_disk(temp);

    fs::rename(temp, to, ec);
    if (ec) return refuse(owner, "cannot replace " + quoted(to) + ": " + ec.message() + ".");
    guard.release();
    return {true, {}};
}

bool copy_self_to_desktop_in_background(background_job& job, message_box_hook owner,
                                        std::filesystem::path from, std::filesystem::path to) {
    auto result = std::make_shared<copy_result>(
        copy_result{false, "Cannot copy Squeakbox to the desktop: the copy was interrupted."});
    return job.start([result, from = std::move(from),
                      to = std::move(to)] { *result = copy_self_to_desktop({}, from, to); },
                     [result, owner = std::move(owner)] {
                         if (!result->ok && owner) owner(result->message, error_title);
                     });
}

}  // namespace squeakbox
