#pragma once
// How the desktop folder is found on Linux, apart from the process's own
// environment so that it can be tried on made-up home folders.

#include <optional>
#include <string>
#include <string_view>

namespace squeakbox {

struct desktop_environment {
    std::string home;         // $HOME, else the account's home directory; may be empty
    std::string config_home;  // $XDG_CONFIG_HOME; empty or relative: home + "/.config"

    // This process's environment.
    static desktop_environment current();
};

// The value of XDG_DESKTOP_DIR in the text of a user-dirs.dirs file, with
// "$HOME" expanded, quotes and backslash escapes removed and trailing
// separators dropped. The last valid assignment counts, as when the shell
// reads the file; values that are neither absolute nor under "$HOME" are not
// valid.
std::optional<std::string> parse_desktop_dir(std::string_view user_dirs, const std::string& home);

// The desktop folder (XDG_DESKTOP_DIR, else home + "/Desktop") when it is a
// directory; else the home directory when that is one; else nothing, for a
// program must never end up writing its files into the file-system root.
std::optional<std::string> find_desktop_folder(const desktop_environment& environment);

// The last desktop folder found. A failed look-up keeps it, so it is empty
// only until the first success.
class desktop_folder {
  public:
    const std::string& look_up(const desktop_environment& environment);
    [[nodiscard]] const std::string& path() const noexcept { return path_; }

  private:
    std::string path_;
};

}  // namespace squeakbox
