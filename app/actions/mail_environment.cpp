#include "app/actions/mail_environment.h"

#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#include <cstdlib>
#include <fstream>
#include <string_view>

namespace squeakbox {

namespace {

// xdg-mime answers within milliseconds; a hung helper must not freeze the window.
constexpr int probe_timeout_ms = 5000;

constexpr std::string_view mailto_type = "x-scheme-handler/mailto";

std::string env_or_empty(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::vector<std::string> split_list(const std::string& list, char separator) {
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    while (start <= list.size()) {
        const auto end = list.find(separator, start);
        const auto stop = end == std::string::npos ? list.size() : end;
        if (stop > start) parts.push_back(list.substr(start, stop - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return parts;
}

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

enum class probe_answer { yes, no, cannot_ask };

// xdg-mime's own answer, which follows the running desktop's rules.
probe_answer ask_xdg_mime() {
    const QString program = QStandardPaths::findExecutable(QStringLiteral("xdg-mime"));
    if (program.isEmpty()) return probe_answer::cannot_ask;
    QProcess process;
    process.start(program, {QStringLiteral("query"), QStringLiteral("default"),
                            QString::fromLatin1(mailto_type.data(),
                                                static_cast<qsizetype>(mailto_type.size()))});
    if (!process.waitForStarted(probe_timeout_ms)) return probe_answer::cannot_ask;
    if (!process.waitForFinished(probe_timeout_ms)) {
        process.kill();
        process.waitForFinished(probe_timeout_ms);
        return probe_answer::cannot_ask;
    }
    if (process.exitStatus() != QProcess::NormalExit) return probe_answer::cannot_ask;
    return process.readAllStandardOutput().trimmed().isEmpty() ? probe_answer::no
                                                               : probe_answer::yes;
}

bool mailto_handler_registered() {
    switch (ask_xdg_mime()) {
        case probe_answer::yes:
            return true;
        case probe_answer::no:
            return false;
        case probe_answer::cannot_ask:
            break;
    }
    return mailto_handler_listed(mime_association_files(xdg_variables_from_environment()));
}

bool mail_launcher_available() {
    // The desktop opener hands mailto: links to xdg-open.
    return !QStandardPaths::findExecutable(QStringLiteral("xdg-open")).isEmpty();
}

}  // namespace

mail_environment system_mail_environment() {
    return {mailto_handler_registered, mail_launcher_available, desktop_url_opener()};
}

xdg_variables xdg_variables_from_environment() {
    return {env_or_empty("HOME"),
            env_or_empty("XDG_CONFIG_HOME"),
            env_or_empty("XDG_CONFIG_DIRS"),
            env_or_empty("XDG_DATA_HOME"),
            env_or_empty("XDG_DATA_DIRS"),
            env_or_empty("XDG_CURRENT_DESKTOP")};
}

std::vector<std::filesystem::path> mime_association_files(const xdg_variables& xdg) {
    namespace fs = std::filesystem;
    const fs::path home = xdg.home;
    fs::path config_home = xdg.config_home;
    if (config_home.empty() && !home.empty()) config_home = home / ".config";
    fs::path data_home = xdg.data_home;
    if (data_home.empty() && !home.empty()) data_home = home / ".local" / "share";
    std::vector<std::string> config_dirs = split_list(xdg.config_dirs, ':');
    if (config_dirs.empty()) config_dirs = {"/etc/xdg"};
    std::vector<std::string> data_dirs = split_list(xdg.data_dirs, ':');
    if (data_dirs.empty()) data_dirs = {"/usr/local/share", "/usr/share"};

    // Desktop names in XDG_CURRENT_DESKTOP are matched in lower case.
    std::vector<std::string> desktops;
    for (std::string name : split_list(xdg.current_desktop, ':')) {
        for (char& c : name) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        desktops.push_back(name);
    }
    const auto add_lists = [&](std::vector<fs::path>& files, const fs::path& folder) {
        if (folder.empty()) return;
        for (const std::string& desktop : desktops) {
            files.push_back(folder / (desktop + "-mimeapps.list"));
        }
        files.push_back(folder / "mimeapps.list");
    };

    std::vector<fs::path> files;
    add_lists(files, config_home);
    for (const std::string& dir : config_dirs) add_lists(files, dir);
    std::vector<fs::path> application_folders;
    if (!data_home.empty()) application_folders.push_back(data_home / "applications");
    for (const std::string& dir : data_dirs)
        application_folders.push_back(fs::path(dir) / "applications");
    for (const fs::path& folder : application_folders) add_lists(files, folder);
    for (const fs::path& folder : application_folders) files.push_back(folder / "defaults.list");
    for (const fs::path& folder : application_folders) files.push_back(folder / "mimeinfo.cache");
    return files;
}

bool mailto_handler_listed(const std::vector<std::filesystem::path>& files) {
    for (const std::filesystem::path& file : files) {
        std::ifstream in(file);
        if (!in) continue;
        bool counting_section = false;
        std::string line;
        while (std::getline(in, line)) {
            const std::string_view text = trim(line);
            if (text.empty() || text.front() == '#') continue;
            if (text.front() == '[') {
                // [Removed Associations] takes programs away and never adds one.
                counting_section = text == "[Default Applications]" ||
                                   text == "[Added Associations]" || text == "[MIME Cache]";
                continue;
            }
            if (!counting_section) continue;
            const auto equals = text.find('=');
            if (equals == std::string_view::npos) continue;
            if (trim(text.substr(0, equals)) != mailto_type) continue;
            // The value lists .desktop files separated by ";"; one is enough.
            for (const std::string& entry : split_list(std::string(text.substr(equals + 1)), ';')) {
                if (!trim(entry).empty()) return true;
            }
        }
    }
    return false;
}

}  // namespace squeakbox
