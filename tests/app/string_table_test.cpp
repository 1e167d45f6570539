#include "app/string_table.h"

#include <gtest/gtest.h>

#include <cstring>
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

TEST(StringTable, EveryTextFitsTheSharedBufferWhole) {
    for (int id = 100; id < 130; ++id) {
        const std::string_view text = resource_string(id);
        EXPECT_LT(text.size(), resource_text_capacity) << id;
        EXPECT_EQ(std::string(load_resource_text(id)), text) << id;
    }
}

}  // namespace
}  // namespace squeakbox
