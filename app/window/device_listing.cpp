#include "app/window/device_listing.h"

#include <algorithm>

namespace squeakbox {
namespace {

char lower(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool contains_ignoring_case(std::string_view text, std::string_view part) {
    if (part.empty()) return false;
    const auto found = std::search(text.begin(), text.end(), part.begin(), part.end(),
                                   [](char a, char b) { return lower(a) == lower(b); });
    return found != text.end();
}

}  // namespace

std::vector<listed_device> list_devices(sound_system& devices, device_list_kind direction) {
    const bool capture = direction == device_list_kind::capture;
    const std::uint32_t count =
        capture ? devices.capture_device_count() : devices.playback_device_count();
    std::vector<listed_device> list;
    for (std::uint32_t d = 0; d < count; ++d) {
        device_caps caps;
        const mm_result result =
            capture ? devices.capture_caps(d, caps) : devices.playback_caps(d, caps);
        if (result != mm_ok || !caps.supports_44k_mono16) continue;
        list.push_back({d, std::move(caps.name), std::move(caps.id), caps.is_default});
    }
    return list;
}

device_match find_device(const std::vector<listed_device>& list, std::string_view name) {
    device_match match;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (list[i].name == name || (!list[i].id.empty() && list[i].id == name)) {
            match.index = static_cast<int>(i);
            return match;
        }
    }
    // The names that always meant the sound server's default devices.
    if (name == "default" || name == "pulse") {
        for (std::size_t i = 0; i < list.size(); ++i) {
            if (list[i].is_default) {
                match.index = static_cast<int>(i);
                return match;
            }
        }
    }
    std::vector<std::size_t> partial;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (contains_ignoring_case(list[i].name, name) || contains_ignoring_case(list[i].id, name))
            partial.push_back(i);
    }
    if (partial.size() == 1) {
        match.index = static_cast<int>(partial.front());
        return match;
    }
    // Appended to a string that starts out empty: GCC 12 at -O3 mistakes
    // literal + std::string, and assigning a literal, for an overlapping copy
    // (-Wrestrict).
    std::string error;
    if (partial.empty()) {
        error.append("no device called \"")
            .append(name)
            .append("\" can stream 44.1 kHz mono 16-bit");
    } else {
        error.append("\"").append(name).append("\" fits several devices:");
        for (std::size_t i : partial) error.append(" \"").append(list[i].name).append("\"");
    }
    match.error = std::move(error);
    return match;
}

}  // namespace squeakbox
