#pragma once
// The program's texts, looked up by their resource numbers. The user interface
// speaks German; the texts are UTF-8 here and shown as such.

#include <cstddef>
#include <string_view>

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

// Bytes in the one buffer that load_resource_text() fills, terminating NUL
// included.
inline constexpr std::size_t resource_text_capacity = 700;

// The text of one entry, empty when there is no such entry.
[[nodiscard]] std::string_view resource_string(int id) noexcept;

// Copies entry `id` into the one shared text buffer and returns that buffer.
// The next call overwrites it, so a caller uses the text at once (as a caption,
// a link, a mail body) and keeps a copy if it needs the text later. A text
// longer than the buffer is cut at a character boundary; a missing entry gives
// the empty text.
const char* load_resource_text(int id) noexcept;

}  // namespace squeakbox
