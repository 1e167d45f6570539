#pragma once
// The folder that holds the user's desktop items: where the recording and the
// desktop copy of the program go.

#include <string>

namespace squeakbox {

// The XDG desktop directory (XDG_DESKTOP_DIR in $XDG_CONFIG_HOME/user-dirs.dirs,
// else $HOME/Desktop), without a trailing separator; the home directory when
// that folder does not exist; the last path found when a look-up fails; empty
// when nothing was ever found. Callers refuse to write with an empty path.
// Returns the same buffer every time; the next call overwrites it.
const std::string& get_desktop_path();

}  // namespace squeakbox
