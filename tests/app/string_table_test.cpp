#include "app/window/string_table.h"

#include <gtest/gtest.h>

#include <string>

namespace squeakbox {
namespace {

TEST(StringTable, GermanTextsAsTheUserSeesThem) {
    EXPECT_EQ(resource_string(string_id::class_name), "SQUEAKBOX");
    EXPECT_EQ(resource_string(string_id::homepage_label),
              "Homepage besuchen f\u00fcr f\u00fcr tolle Windows Software!");
    EXPECT_EQ(resource_string(string_id::recommend_caption), "Mail an Bekannten");
    EXPECT_EQ(resource_string(string_id::intro_label),
              "Aktivieren Sie Ihr Mikrofon und h\u00f6ren Sie Ihre lustige Stimme!");
    EXPECT_EQ(resource_string(string_id::recommend_label), "Empfehlen Sie Squeakbox an Bekannte");
    EXPECT_EQ(resource_string(string_id::input_device_label), "Mikrofon von");
    EXPECT_EQ(resource_string(string_id::output_device_label), "Sound Ausgabe an");
    EXPECT_EQ(resource_string(string_id::record_label),
              "Speichern Sie eine Aufnahme auf dem Desktop");
    EXPECT_EQ(resource_string(string_id::record_caption), "Aufnehmen");
    EXPECT_EQ(resource_string(string_id::apps_label), "Homepage besuchen f\u00fcr tolle Apps!");
    EXPECT_TRUE(resource_string(string_id::window_title).starts_with("Squeakbox V1.6"));
    // The links are shown as captions and opened; none may be empty.
    for (int id : {string_id::homepage_link, string_id::homepage_caption, string_id::apps_caption,
                   string_id::mail_body}) {
        EXPECT_FALSE(resource_string(id).empty()) << id;
    }
}

TEST(StringTable, OneSharedBufferThatTheNextLoadOverwrites) {
    const char* first = load_resource_text(string_id::record_caption);
    EXPECT_STREQ(first, "Aufnehmen");
    const char* second = load_resource_text(string_id::input_device_label);
    EXPECT_EQ(first, second);
    EXPECT_STREQ(first, "Mikrofon von");
    // A missing entry is the empty text, not the previous one.
    EXPECT_STREQ(load_resource_text(4711), "");
    EXPECT_TRUE(resource_string(4711).empty());
}

TEST(StringTable, LinksAndTheMailBodyPointAtTheHelpPagesWhole) {
    const std::string link = resource_string(string_id::homepage_link);
    EXPECT_TRUE(link.starts_with("file://")) << link;
    EXPECT_TRUE(link.ends_with("index.html")) << link;
    // The mail body ends in the homepage link, and no text is cut to fit the
    // shared buffer, however deep the help pages lie.
    const std::string body = load_resource_text(string_id::mail_body);
    EXPECT_NE(body.find("l\u00e4\u00dft Sie wie ein Zwerg"), std::string::npos);
    EXPECT_NE(body.find(link), std::string::npos);
    EXPECT_EQ(body, resource_string(string_id::mail_body));
}

}  // namespace
}  // namespace squeakbox
