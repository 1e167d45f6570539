#pragma once
// Squeakbox's own help pages (resources/help/ in the source tree), opened from
// disk so that every link of the program works offline.

#include <filesystem>
#include <string>
#include <string_view>

namespace squeakbox {

// Where the pages lie, relative to the folder of the installed program file.
inline constexpr std::string_view installed_help_folder = "../share/squeakbox/help";

// The help folder for a program file in `program_folder`: the installed one
// (program_folder/../share/squeakbox/help) when it holds index.html, else
// `source_folder` when that does (a program run from its build tree), else the
// installed one anyway, so that a missing page shows up as a missing file in the
// browser rather than as nothing at all.
std::filesystem::path find_help_folder(const std::filesystem::path& program_folder,
                                       const std::filesystem::path& source_folder);

// The help folder of this run: find_help_folder for the running program, with
// the source tree it was built from as the fallback.
std::filesystem::path help_folder();

// A file:// URL for an absolute path, each byte outside the unreserved set and
// "/" percent-encoded, so spaces and accented letters in folder names survive.
std::string file_url(const std::filesystem::path& absolute_path);

// The file:// URL of `page` (for example "calls.html") in help_folder().
std::string help_page_url(std::string_view page);

}  // namespace squeakbox
