#include "audio/sound_files/sndfile_parts.h"

#include <cctype>
#include <cstring>
#include <regex>
#include <string_view>

#include "audio/sound_files/sound_file.h"

// How the sound files tell a failure in one line, and what a header's
// lengths say.
namespace squeakbox::sound_files {

std::string display_name(const std::string& path, bool output) {
    if (path == "-") return output ? "standard output" : "standard input";
    return path;
}

[[noreturn]] void fail(const std::string& name, const std::string& reason) {
    throw file_error(name + ": " + reason);
}

std::string system_reason(int error) {
    return std::strerror(error);
}

std::string sndfile_reason(SNDFILE* file) {
    std::string text = sf_strerror(file);
    while (!text.empty() && (text.back() == '.' || text.back() == '\n')) text.pop_back();
    for (std::string_view prefix : {"Error : ", "System error : "})
        if (text.starts_with(prefix)) text.erase(0, prefix.size());
    if (!text.empty())
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

bool header_promises_more(SNDFILE* file) {
    char log[8192] = {};
    sf_command(file, SFC_GET_LOG_INFO, log, sizeof log);
    static const std::regex chunk(R"((data|SSND) *: *(\d+) \(should be (\d+)\))");
    for (std::cregex_iterator it(log, log + std::strlen(log), chunk), end; it != end; ++it) {
        const unsigned long long claimed = std::stoull((*it)[2].str());
        const unsigned long long present = std::stoull((*it)[3].str());
        // Streaming writers put 0 or a number near 2^31 or 2^32 there.
        const bool unknown = claimed == 0 || claimed >= 0x7FFF0000ull;
        if (!unknown && present < claimed) return true;
    }
    return false;
}

// A stream written without knowing its length says so with a placeholder in
// its header (0, or a number near 2^31 or 2^32); it ends where the stream does.
bool header_length_unknown(SNDFILE* file) {
    char log[8192] = {};
    sf_command(file, SFC_GET_LOG_INFO, log, sizeof log);
    static const std::regex chunk(R"((data|SSND) *: *(\d+))");
    std::cmatch found;
    if (!std::regex_search(log, found, chunk)) return false;
    const unsigned long long claimed = std::stoull(found[2].str());
    return claimed == 0 || claimed >= 0x7FFF0000ull;
}

}  // namespace squeakbox::sound_files
