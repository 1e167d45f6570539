#include "app/string_table.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace squeakbox {
namespace {

struct entry {
    int id;
    std::string_view text;
};

// Links and the mail body are provisional until the desktop actions supply
// the program's own.
constexpr std::array entries{
    entry{string_id::window_title, "Squeakbox V1.6 - (c) 2026 the Squeakbox developers"},
    entry{string_id::homepage_link, "https://squeakbox.example.org"},
    entry{string_id::class_name, "SQUEAKBOX"},
    entry{string_id::homepage_label, "Homepage besuchen für für tolle Windows Software!"},
    entry{string_id::recommend_caption, "Mail an Bekannten"},
    entry{string_id::intro_label, "Aktivieren Sie Ihr Mikrofon und hören Sie Ihre lustige Stimme!"},
    entry{string_id::homepage_caption, "https://squeakbox.example.org"},
    entry{string_id::recommend_label, "Empfehlen Sie Squeakbox an Bekannte"},
    entry{string_id::mail_body, "Squeakbox ändert Ihre Tonlage."},
    entry{string_id::input_device_label, "Mikrofon von"},
    entry{string_id::output_device_label, "Sound Ausgabe an"},
    entry{string_id::record_label, "Speichern Sie eine Aufnahme auf dem Desktop"},
    entry{string_id::record_caption, "Aufnehmen"},
    entry{string_id::apps_label, "Homepage besuchen für tolle Apps!"},
    entry{string_id::apps_caption, "https://apps.squeakbox.example.org"},
};

char text_buffer[resource_text_capacity];

// The longest prefix of `text` of at most `limit` bytes that does not end
// inside a UTF-8 sequence, so a cut text never shows a broken character.
std::size_t utf8_prefix(std::string_view text, std::size_t limit) noexcept {
    if (text.size() <= limit) return text.size();
    std::size_t end = limit;
    // Step back over continuation bytes (10xxxxxx) to the start of the
    // character that the limit cuts through.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0u) == 0x80u) --end;
    return end;
}

}  // namespace

std::string_view resource_string(int id) noexcept {
    const auto* found =
        std::find_if(entries.begin(), entries.end(), [id](const entry& e) { return e.id == id; });
    return found == entries.end() ? std::string_view{} : found->text;
}

const char* load_resource_text(int id) noexcept {
    const std::string_view text = resource_string(id);
    const std::size_t length = utf8_prefix(text, resource_text_capacity - 1);
    std::memcpy(text_buffer, text.data(), length);
    text_buffer[length] = '\0';
    return text_buffer;
}

}  // namespace squeakbox
