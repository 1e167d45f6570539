#pragma once
// Handing a link to the desktop: the browser for web pages and local files, the
// mail program for mailto: links.

#include <functional>
#include <string>

namespace squeakbox {

// Hands `url` (already percent-encoded) to the desktop; true when it was handed
// over, false when no program could be started for it. Whether the page or
// the compose window then appears is up to the program that takes it.
using url_opener = std::function<bool(const std::string& url)>;

// The desktop's own opener (the user's default browser or mail program). Needs a
// running QGuiApplication.
url_opener desktop_url_opener();

}  // namespace squeakbox
