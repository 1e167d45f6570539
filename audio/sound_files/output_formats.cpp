#include "audio/sound_files/sndfile_parts.h"

#include <cctype>
#include <filesystem>

namespace squeakbox::sound_files {
namespace {

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// What this libsndfile lists under a count command and a get command: its
// major formats, or its subtypes.
std::vector<SF_FORMAT_INFO> listed_formats(int count_command, int get_command) {
    int count = 0;
    sf_command(nullptr, count_command, &count, sizeof count);
    std::vector<SF_FORMAT_INFO> listed(static_cast<std::size_t>(std::max(count, 0)));
    for (std::size_t i = 0; i < listed.size(); ++i) {
        listed[i].format = static_cast<int>(i);
        sf_command(nullptr, get_command, &listed[i], sizeof listed[i]);
    }
    return listed;
}

int major_for_extension(const std::string& extension) {
    struct alias {
        const char* extension;
        int major;
    };
    static constexpr alias aliases[] = {
        {"wav", SF_FORMAT_WAV},   {"wave", SF_FORMAT_WAV},  {"aif", SF_FORMAT_AIFF},
        {"aiff", SF_FORMAT_AIFF}, {"aifc", SF_FORMAT_AIFF}, {"au", SF_FORMAT_AU},
        {"snd", SF_FORMAT_AU},    {"flac", SF_FORMAT_FLAC}, {"ogg", SF_FORMAT_OGG},
        {"oga", SF_FORMAT_OGG},   {"opus", SF_FORMAT_OGG},  {"caf", SF_FORMAT_CAF},
        {"w64", SF_FORMAT_W64},   {"rf64", SF_FORMAT_RF64}, {"mp3", SF_FORMAT_MPEG},
    };
    for (const alias& a : aliases)
        if (extension == a.extension) return a.major;
    // Whatever else this libsndfile knows by extension.
    for (const SF_FORMAT_INFO& info :
         listed_formats(SFC_GET_FORMAT_MAJOR_COUNT, SFC_GET_FORMAT_MAJOR))
        if (info.extension != nullptr && extension == info.extension)
            return info.format & SF_FORMAT_TYPEMASK;
    return 0;
}

}  // namespace

std::string format_info_name(int format, int command) {
    SF_FORMAT_INFO info{};
    info.format = format;
    if (sf_command(nullptr, command, &info, sizeof info) != 0 || info.name == nullptr) return "?";
    return info.name;
}

output_format choose_format(const std::string& path, const std::string& name,
                            std::uint32_t sample_rate, std::uint32_t channels) {
    output_format chosen;
    if (path == "-") return chosen;
    const std::string extension = lower(std::filesystem::path(path).extension().string());
    const int major = extension.size() > 1 ? major_for_extension(extension.substr(1)) : 0;
    if (major == 0 || major == SF_FORMAT_WAV) return chosen;

    SF_INFO info{};
    info.samplerate = static_cast<int>(sample_rate);
    info.channels = static_cast<int>(channels);
    // 16-bit PCM where the format holds it, else its own coding.
    std::vector<int> subtypes = {SF_FORMAT_PCM_16};
    if (extension == ".opus") subtypes.insert(subtypes.begin(), SF_FORMAT_OPUS);
    subtypes.insert(subtypes.end(), {SF_FORMAT_VORBIS, SF_FORMAT_MPEG_LAYER_III});
    for (const SF_FORMAT_INFO& sub :
         listed_formats(SFC_GET_FORMAT_SUBTYPE_COUNT, SFC_GET_FORMAT_SUBTYPE))
        subtypes.push_back(sub.format & SF_FORMAT_SUBMASK);
    for (int subtype : subtypes) {
        info.format = major | subtype;
        if (sf_format_check(&info)) {
            chosen.format = info.format;
            chosen.name = format_info_name(major, SFC_GET_FORMAT_INFO) + ", " +
                          format_info_name(subtype, SFC_GET_FORMAT_INFO);
            return chosen;
        }
    }
    fail(name, "this libsndfile cannot write " + format_info_name(major, SFC_GET_FORMAT_INFO) +
                   " files with " + std::to_string(channels) + " channel(s) at " +
                   std::to_string(sample_rate) + " Hz");
}

}  // namespace squeakbox::sound_files
