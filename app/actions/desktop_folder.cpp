#include "app/actions/desktop_folder.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "app/actions/desktop_folder_lookup.h"

namespace squeakbox {
namespace {

void drop_trailing_separators(std::string& path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
}

bool is_directory(const std::string& path) {
    std::error_code error;
    return !path.empty() && std::filesystem::is_directory(path, error);
}

std::string account_home() {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || found->pw_dir == nullptr)
        return {};
    return found->pw_dir;
}

// One shell word: a double-quoted string with backslash escapes, or plain
// characters up to a blank or a comment.
std::string shell_value(std::string_view text) {
    std::string value;
    if (!text.empty() && text.front() == '"') {
        for (std::size_t i = 1; i < text.size() && text[i] != '"'; ++i) {
            if (text[i] == '\\' && i + 1 < text.size()) ++i;
            value += text[i];
        }
        return value;
    }
    for (const char c : text) {
        if (c == ' ' || c == '\t' || c == '#') break;
        value += c;
    }
    return value;
}

}  // namespace

desktop_environment desktop_environment::current() {
    desktop_environment environment;
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
        environment.home = home;
    else
        environment.home = account_home();
    if (const char* config = std::getenv("XDG_CONFIG_HOME")) environment.config_home = config;
    return environment;
}

std::optional<std::string> parse_desktop_dir(std::string_view user_dirs, const std::string& home) {
    constexpr std::string_view key = "XDG_DESKTOP_DIR=";
    std::optional<std::string> found;
    std::istringstream lines{std::string(user_dirs)};
    std::string line;
    while (std::getline(lines, line)) {
        std::string_view rest = line;
        while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t'))
            rest.remove_prefix(1);
        if (!rest.starts_with(key)) continue;
        std::string value = shell_value(rest.substr(key.size()));
        for (const std::string_view name : {"$HOME", "${HOME}"}) {
            if (value.starts_with(name) &&
                (value.size() == name.size() || value[name.size()] == '/')) {
                value = home.empty() ? std::string() : home + value.substr(name.size());
                break;
            }
        }
        if (!value.starts_with('/')) continue;
        drop_trailing_separators(value);
        if (value != "/") found = std::move(value);
    }
    return found;
}

std::optional<std::string> find_desktop_folder(const desktop_environment& environment) {
    std::string home = environment.home;
    drop_trailing_separators(home);
    if (home == "/") home.clear();  // a root "home" is no place for the desktop's files

    std::string config = environment.config_home;
    if (!config.starts_with('/')) config = home.empty() ? std::string() : home + "/.config";

    std::optional<std::string> desktop;
    if (!config.empty()) {
        std::ifstream file(config + "/user-dirs.dirs");
        if (file) {
            std::ostringstream text;
            text << file.rdbuf();
            desktop = parse_desktop_dir(text.str(), home);
        }
    }
    if (!desktop && !home.empty()) desktop = home + "/Desktop";

    if (desktop && is_directory(*desktop)) return desktop;
    if (is_directory(home)) return home;
    return std::nullopt;
}

const std::string& desktop_folder::look_up(const desktop_environment& environment) {
    if (auto found = find_desktop_folder(environment)) path_ = std::move(*found);
    return path_;
}

const std::string& get_desktop_path() {
    static desktop_folder folder;
    return folder.look_up(desktop_environment::current());
}

}  // namespace squeakbox
