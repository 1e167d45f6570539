#include "app/actions/links.h"

#include <array>
#include <cstdlib>
#include <ctime>

#include "app/actions/help_pages.h"

namespace squeakbox {

namespace {

constexpr int shown_banner_kind = 4;

// One page per banner kind. Only the banner of kind 4 is shown; it invites the
// user to take the changed voice into calls, and until the other banners get
// pages of their own they lead there too.
constexpr std::array<std::string_view, banner_kind_count> banner_pages = {
    "calls.html", "calls.html", "calls.html", "calls.html", "calls.html"};

}  // namespace

std::string homepage_link() {
    return help_page_url("index.html");
}

std::string apps_link() {
    return help_page_url("render.html");
}

void open_link(std::string_view link, const url_opener& opener) {
    if (link.empty() || !opener) return;
    opener(std::string(link));
}

int banner_setup() {
    // Kept from the days of rotating banners, so that a later rotation draws from
    // a seeded generator; nothing is drawn today.
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    return shown_banner_kind;
}

std::optional<std::string> banner_link(int kind) {
    if (kind < 0 || kind >= banner_kind_count) return std::nullopt;
    return help_page_url(banner_pages[static_cast<std::size_t>(kind)]);
}

void open_banner_link(int kind, const url_opener& opener) {
    if (const auto link = banner_link(kind)) open_link(*link, opener);
}

}  // namespace squeakbox
