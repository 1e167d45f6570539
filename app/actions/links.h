#pragma once
// The links of the main window: the two link buttons and the banner. Each leads
// to one of Squeakbox's own help pages on disk.

#include <optional>
#include <string>
#include <string_view>

#include "app/actions/url_opener.h"

namespace squeakbox {

// Captions of the two link buttons (string-table entries 113 and 123): the
// pages they open, named as a user would look for them.
inline constexpr std::string_view homepage_caption = "Squeakbox-Anleitung";  // string 113
inline constexpr std::string_view apps_caption = "squeakbox-render";         // string 123

// The homepage link (string 104): the short user guide.
std::string homepage_link();

// The apps link: the page about squeakbox-render, the command-line companion.
std::string apps_link();

// Hands `link` to the browser; whether it opens is not checked, as with every
// link of the program. An empty link opens nothing.
void open_link(std::string_view link, const url_opener& opener = desktop_url_opener());

// The banner. banner_kind picks its link from a table of five (0 to 4); the
// window shows kind 4 on every run.
inline constexpr int banner_kind_count = 5;

// Seeds the runtime's random generator with the current time in seconds and
// returns the banner kind to show (4). Call once while building the window.
int banner_setup();

// The banner's link for `kind`; none for a kind outside 0 to 4.
std::optional<std::string> banner_link(int kind);

// The banner click: opens banner_link(kind), or nothing for an unknown kind.
void open_banner_link(int kind, const url_opener& opener = desktop_url_opener());

}  // namespace squeakbox
