#pragma once
// What the recommendation mail needs from the desktop, asked one question at a
// time so that each failure gets its own box and tests can stage every one.

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/actions/url_opener.h"

namespace squeakbox {

struct mail_environment {
    // Is a mail program registered for mailto: links?
    std::function<bool()> handler_registered;
    // Is the launcher there that hands a mailto: link to that program?
    std::function<bool()> launcher_available;
    // Hands the mailto: link over.
    url_opener open;
};

// The desktop's answers: xdg-mime's default for x-scheme-handler/mailto (or the
// desktop's MIME association lists when xdg-mime is not installed), xdg-open on
// the PATH, and the desktop's opener.
mail_environment system_mail_environment();

// The XDG variables that decide where MIME association lists lie, as found in
// the environment. Unset ones are empty.
struct xdg_variables {
    std::string home;
    std::string config_home;
    std::string config_dirs;
    std::string data_home;
    std::string data_dirs;
    std::string current_desktop;
};

xdg_variables xdg_variables_from_environment();

// Every file that can associate a program with a MIME type or URL scheme, in the
// order the desktop reads them (mimeapps.list with its desktop-specific forms,
// then the older defaults.list and the mimeinfo.cache of installed programs).
std::vector<std::filesystem::path> mime_association_files(const xdg_variables& xdg);

// True when one of `files` names a program for x-scheme-handler/mailto as a
// default, an added association or an installed handler.
bool mailto_handler_listed(const std::vector<std::filesystem::path>& files);

}  // namespace squeakbox
