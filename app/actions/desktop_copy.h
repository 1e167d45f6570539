#pragma once
// The copy of the running program on the desktop (Alt+"?" or Alt+"/" in the
// main window).

#include <filesystem>
#include <string>
#include <string_view>

#include "app/actions/background_job.h"
#include "app/actions/message_box_hook.h"

namespace squeakbox {

// The name of the desktop copy before upper-casing; the copy bears ascii_upper
// of it. Linux programs carry no suffix.
inline constexpr std::string_view desktop_copy_name = "Squeakbox";

// `text` with the ASCII letters a to z made upper case and every other byte kept:
// digits, separators and the bytes of accented letters (UTF-8 or Latin-1) alike.
std::string ascii_upper(std::string_view text);

// Where the desktop copy goes: the desktop folder as found, case kept, followed
// by "/SQUEAKBOX". Empty when `desktop_folder` is empty: without a desktop
// folder there is no place to copy to.
std::filesystem::path desktop_copy_path(const std::filesystem::path& desktop_folder);

struct copy_result {
    bool ok = false;
    std::string message;  // why the copy failed; empty on success
};

// Copies the program file `from` to `to`, silently, replacing an existing file
// without asking and keeping the source's permission bits (so the copy stays
// executable). The copy is written to a hidden temporary file in the target
// folder and renamed over `to` only when complete, so a failed or interrupted
// copy never destroys a good one. An empty `to` (no desktop folder) or a
// relative one is refused: nothing is written anywhere else.
// On failure `owner` is shown the reason with the caption "Error", once, and the
// same text is returned; success shows nothing.
copy_result copy_self_to_desktop(const message_box_hook& owner, const std::filesystem::path& from,
                                 const std::filesystem::path& to);

// The same copy on `job`'s thread, since copying and syncing the program may
// keep a slow disk busy for seconds; a failure's box is shown back on the
// caller's thread, from its event loop. While an earlier copy still runs this
// does nothing and returns false.
bool copy_self_to_desktop_in_background(background_job& job, message_box_hook owner,
                                        std::filesystem::path from, std::filesystem::path to);

}  // namespace squeakbox
