#pragma once
// The program's texts, looked up by their resource numbers. The user interface
// speaks German; the texts are UTF-8 here and shown as such.

#include <string>

namespace squeakbox {

namespace string_id {
inline constexpr int window_title = 103;
inline constexpr int homepage_link = 104;
inline constexpr int class_name = 109;
inline constexpr int homepage_label = 110;
inline constexpr int recommend_caption = 111;
inline constexpr int intro_label = 112;
inline constexpr int homepage_caption = 113;
inline constexpr int recommend_label = 114;
inline constexpr int mail_body = 115;
inline constexpr int input_device_label = 118;
inline constexpr int output_device_label = 119;
inline constexpr int record_label = 120;
inline constexpr int record_caption = 121;
inline constexpr int apps_label = 122;
inline constexpr int apps_caption = 123;
}  // namespace string_id

// The text of one entry, empty when there is no such entry. The homepage link
// and the mail body, which end in a link, point at the help pages of this run.
[[nodiscard]] std::string resource_string(int id);

// Copies entry `id` into the one shared text buffer and returns that buffer.
// The next call overwrites it, so a caller uses the text at once (as a caption,
// a link, a mail body) and keeps a copy if it needs the text later. A missing
// entry gives the empty text.
const char* load_resource_text(int id);

}  // namespace squeakbox
