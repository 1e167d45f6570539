#include "app/window/string_table.h"

#include <algorithm>
#include <array>
#include <string>

#include "app/actions/links.h"
#include "app/actions/recommendation_mail.h"

namespace squeakbox {
namespace {

struct entry {
    int id;
    std::string_view text;
};

// The link and the mail body that depend on where the help pages lie are made
// when asked for; these are the fixed texts.
constexpr std::array entries{
    entry{string_id::window_title, "Squeakbox V1.6 - (c) 2026 the Squeakbox developers"},
    entry{string_id::class_name, "SQUEAKBOX"},
    entry{string_id::homepage_label, "Homepage besuchen für für tolle Windows Software!"},
    entry{string_id::recommend_caption, "Mail an Bekannten"},
    entry{string_id::intro_label, "Aktivieren Sie Ihr Mikrofon und hören Sie Ihre lustige Stimme!"},
    entry{string_id::homepage_caption, homepage_caption},
    entry{string_id::recommend_label, "Empfehlen Sie Squeakbox an Bekannte"},
    entry{string_id::input_device_label, "Mikrofon von"},
    entry{string_id::output_device_label, "Sound Ausgabe an"},
    entry{string_id::record_label, "Speichern Sie eine Aufnahme auf dem Desktop"},
    entry{string_id::record_caption, "Aufnehmen"},
    entry{string_id::apps_label, "Homepage besuchen für tolle Apps!"},
    entry{string_id::apps_caption, apps_caption},
};

// The one text buffer that every load shares. It holds a text whole, however
// long: a link cut short would open the wrong page.
std::string text_buffer;

}  // namespace

std::string resource_string(int id) {
    if (id == string_id::homepage_link) return homepage_link();
    if (id == string_id::mail_body) return recommendation_body();
    const auto* found =
        std::find_if(entries.begin(), entries.end(), [id](const entry& e) { return e.id == id; });
    return found == entries.end() ? std::string{} : std::string(found->text);
}

const char* load_resource_text(int id) {
    text_buffer = resource_string(id);
    return text_buffer.c_str();
}

}  // namespace squeakbox
