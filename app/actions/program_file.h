#pragma once
// Where the running program file lies: the source of the desktop copy, and the
// anchor from which the installed help pages are found.

#include <filesystem>

namespace squeakbox {

// The full path of the running program file, read from /proc/self/exe, with the
// case of every letter as it is on disk. When that file was deleted or replaced
// since the start (an upgrade while running), the path no longer names what is
// running, so /proc/self/exe itself is returned: it still reads the running
// program. Empty when the path cannot be read at all.
std::filesystem::path module_path();

// The folder that holds the running program file (its path on disk even when the
// file was replaced meanwhile). Empty when unknown.
std::filesystem::path program_folder();

}  // namespace squeakbox
