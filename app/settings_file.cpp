#include "app/settings_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "options/option_scan.h"
#include "options/pitch_range.h"

namespace squeakbox {
namespace {

constexpr std::string_view section = "[squeakbox]";

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// Well-formed UTF-8 without control characters but tab: what a text file of
// ours can hold. Random bytes fail here nearly always.
bool plain_text(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            if (byte < 0x20 && byte != '\n' && byte != '\t' && byte != '\r') return false;
            if (byte == 0x7f) return false;
            ++i;
            continue;
        }
        std::size_t more = 0;
        if ((byte & 0xe0) == 0xc0 && byte >= 0xc2) {
            more = 1;
        } else if ((byte & 0xf0) == 0xe0) {
            more = 2;
        } else if ((byte & 0xf8) == 0xf0 && byte <= 0xf4) {
            more = 3;
        } else {
            return false;
        }
        if (i + more >= text.size()) return false;
        for (std::size_t k = 1; k <= more; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80) return false;
        }
        i += more + 1;
    }
    return true;
}

std::string error_text(int error) {
    return std::generic_category().message(error);
}

// A value may not break the file's lines.
bool storable(std::string_view value) {
    return value.find_first_of("\n\r") == std::string_view::npos && plain_text(value);
}

}  // namespace

std::filesystem::path settings_path() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::filesystem::path folder;
    // A relative XDG path is to be ignored, as if it were not set.
    if (config != nullptr && config[0] == '/') {
        folder = config;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        folder = std::filesystem::path(home) / ".config";
    } else {
        return {};
    }
    return folder / "squeakbox" / "settings.ini";
}

std::string parse_settings(std::string_view text, saved_settings& into) {
    into = saved_settings{};
    if (!plain_text(text)) return "it is not a text file";
    saved_settings read;
    std::size_t line_number = 0;
    while (!text.empty()) {
        ++line_number;
        const auto end = text.find('\n');
        const std::string_view line = trimmed(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.empty() || line.front() == '#' || line.front() == ';' || line == section) continue;
        const auto equals = line.find('=');
        const std::string where = "line " + std::to_string(line_number);
        if (equals == std::string_view::npos) return where + " is not a setting";
        const std::string_view key = trimmed(line.substr(0, equals));
        const std::string_view value = trimmed(line.substr(equals + 1));
        try {
            if (key == "input-device") {
                read.input_device = value;
            } else if (key == "output-device") {
                read.output_device = value;
            } else if (key == "pitch") {
                read.pitch_semitones = options::number_in_range(value, "pitch", min_pitch_semitones,
                                                                max_pitch_semitones);
            } else if (key == "latency") {
                read.low_latency = options::latency_named(value) == latency_mode::low;
            } else if (key == "close-to-tray") {
                read.close_to_tray =
                    options::named_choice<bool>(key, value, {{"yes", true}, {"no", false}});
            } else if (key == "voice") {
                read.natural_voice = options::voice_named(value) == voice_kind::natural;
            } else if (key == "timbre") {
                read.timbre_semitones = options::timbre_named(value);
            } else if (key == "hear-yourself") {
                read.hear_yourself =
                    options::named_choice<bool>(key, value, {{"yes", true}, {"no", false}});
            }
            // Other keys come from a newer Squeakbox; they are left alone.
        } catch (const options::usage_error& e) {
            return where + ": " + e.what();
        }
    }
    into = std::move(read);
    return {};
}

std::string format_settings(const saved_settings& settings) {
    std::string text =
        "# Squeakbox's settings. Squeakbox rewrites this file whenever they change.\n";
    text += section;
    text += '\n';
    if (!settings.input_device.empty() && storable(settings.input_device))
        text += "input-device=" + settings.input_device + "\n";
    if (!settings.output_device.empty() && storable(settings.output_device))
        text += "output-device=" + settings.output_device + "\n";
    if (settings.pitch_semitones)
        text += "pitch=" + std::to_string(*settings.pitch_semitones) + "\n";
    if (settings.low_latency)
        text += std::string("latency=") + (*settings.low_latency ? "low" : "normal") + "\n";
    if (settings.close_to_tray)
        text += std::string("close-to-tray=") + (*settings.close_to_tray ? "yes" : "no") + "\n";
    if (settings.natural_voice)
        text += std::string("voice=") + (*settings.natural_voice ? "natural" : "squeak") + "\n";
    if (settings.timbre_semitones)
        text += "timbre=" + std::to_string(*settings.timbre_semitones) + "\n";
    if (settings.hear_yourself)
        text += std::string("hear-yourself=") + (*settings.hear_yourself ? "yes" : "no") + "\n";
    return text;
}

settings_read read_settings(const std::filesystem::path& file) {
    settings_read result;
    if (file.empty()) return result;
    // Not blocking: a pipe put in the file's place must not hold up the start.
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        if (errno != ENOENT) result.problem = error_text(errno);
        return result;
    }
    struct stat info {};
    std::string text;
    if (::fstat(fd, &info) != 0) {
        result.problem = error_text(errno);
    } else if (!S_ISREG(info.st_mode)) {
        result.problem = S_ISDIR(info.st_mode) ? "it is a folder" : "it is not a file";
    } else if (info.st_size > 64 * 1024) {
        result.problem = "it is far too long for a settings file";
    } else {
        std::array<char, 4096> chunk{};
        for (;;) {
            const ssize_t got = ::read(fd, chunk.data(), chunk.size());
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                result.problem = error_text(errno);
                break;
            }
            if (got == 0) break;
            text.append(chunk.data(), static_cast<std::size_t>(got));
            if (text.size() > 64 * 1024) {
                result.problem = "it is far too long for a settings file";
                break;
            }
        }
    }
    ::close(fd);
    if (result.problem.empty()) result.problem = parse_settings(text, result.settings);
    return result;
}

bool write_settings(const std::filesystem::path& file, const saved_settings& settings,
                    std::string& reason) {
    if (file.empty()) {
        reason = "there is no configuration folder (neither XDG_CONFIG_HOME nor HOME is set)";
        return false;
    }
    std::error_code error;
    std::filesystem::create_directories(file.parent_path(), error);
    if (error) {
        reason = "cannot make the folder " + file.parent_path().string() + ": " + error.message();
        return false;
    }
    const std::string text = format_settings(settings);
    std::string temporary = file.string() + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        reason = error_text(errno);
        return false;
    }
    ::fchmod(fd, 0600);
    std::size_t done = 0;
    bool ok = true;
    while (done < text.size()) {
        const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            reason = put < 0 ? error_text(errno) : "the disk took nothing";
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(put);
    }
    // On the disk before it takes the old file's place.
    if (ok && ::fsync(fd) != 0) {
        reason = error_text(errno);
        ok = false;
    }
    if (::close(fd) != 0 && ok) {
        reason = error_text(errno);
        ok = false;
    }
    if (ok && ::rename(temporary.c_str(), file.c_str()) != 0) {
        reason = error_text(errno);
        ok = false;
    }
    if (!ok) ::unlink(temporary.c_str());
    return ok;
}

bool remove_settings(const std::filesystem::path& file, std::string& reason) {
    if (file.empty()) return true;
    std::error_code error;
    // An empty folder in the file's place goes too; anything with contents
    // is someone's, and stays.
    std::filesystem::remove(file, error);
    if (error) {
        reason = error.message();
        return false;
    }
    return true;
}

void settings_store::change(const std::function<void(saved_settings&)>& change) {
    saved_settings next = values_;
    change(next);
    if (next == values_) return;
    values_ = std::move(next);
    std::string reason;
    if (write_settings(file_, values_, reason)) {
        write_failed_ = false;
        return;
    }
    // Once, not on every click of a pitch button.
    if (write_failed_) return;
    write_failed_ = true;
    if (report_) report_("cannot save the settings in " + file_.string() + ": " + reason);
}

}  // namespace squeakbox
