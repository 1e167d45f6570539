#pragma once
// Where the window and its nineteen controls sit, in client pixels, in the
// order they are created (which is also the keyboard's tab order).

#include <array>
#include <string_view>

#include "app/window/string_table.h"

namespace squeakbox {

inline constexpr int window_width = 630;
inline constexpr int window_height = 750;

enum class control {
    intro_label,
    pitch_down_button,
    pitch_label,
    pitch_up_button,
    apps_label,
    apps_button,
    homepage_label,
    homepage_button,
    recommend_label,
    recommend_button,
    record_label,
    record_button,
    input_device_list,
    input_device_label,
    output_device_list,
    output_device_label,
    start_button,
    level_meter_box,
    banner_button,
};
inline constexpr int control_count = 19;

enum class control_kind { label, button, device_list, level_box, bitmap_button };

struct control_layout {
    control id;
    std::string_view name;  // the widget's object name
    control_kind kind;
    int x, y, width, height;
    bool visible_at_start;  // the rest appear when the stream is started
    int text_id;            // the string-table entry it shows at creation; 0: `text`
    std::string_view text;
};

// A device list's height includes its opened list; the closed box is as tall
// as the toolkit makes it.
inline constexpr std::array<control_layout, control_count> control_layouts{{
    {control::intro_label, "intro_label", control_kind::label, 5, 5, 550, 20, true,
     string_id::intro_label, ""},
    {control::pitch_down_button, "pitch_down_button", control_kind::button, 200, 60, 30, 20, false,
     0, "<"},
    {control::pitch_label, "pitch_label", control_kind::label, 235, 62, 70, 20, false, 0, "PITCH"},
    {control::pitch_up_button, "pitch_up_button", control_kind::button, 315, 60, 20, 20, false, 0,
     ">"},
    {control::apps_label, "apps_label", control_kind::label, 5, 130, 363, 20, true,
     string_id::apps_label, ""},
    {control::apps_button, "apps_button", control_kind::button, 370, 130, 250, 20, true,
     string_id::apps_caption, ""},
    {control::homepage_label, "homepage_label", control_kind::label, 5, 160, 363, 20, true,
     string_id::homepage_label, ""},
    {control::homepage_button, "homepage_button", control_kind::button, 370, 160, 250, 20, true,
     string_id::homepage_caption, ""},
    {control::recommend_label, "recommend_label", control_kind::label, 5, 190, 350, 20, true,
     string_id::recommend_label, ""},
    {control::recommend_button, "recommend_button", control_kind::button, 370, 190, 250, 20, true,
     string_id::recommend_caption, ""},
    {control::record_label, "record_label", control_kind::label, 5, 220, 350, 20, true,
     string_id::record_label, ""},
    {control::record_button, "record_button", control_kind::button, 370, 220, 250, 20, true,
     string_id::record_caption, ""},
    {control::input_device_list, "input_device_list", control_kind::device_list, 180, 50, 250, 200,
     true, 0, ""},
    {control::input_device_label, "input_device_label", control_kind::label, 25, 53, 150, 20, true,
     string_id::input_device_label, ""},
    {control::output_device_list, "output_device_list", control_kind::device_list, 180, 80, 250,
     200, true, 0, ""},
    {control::output_device_label, "output_device_label", control_kind::label, 25, 83, 150, 20,
     true, string_id::output_device_label, ""},
    {control::start_button, "start_button", control_kind::button, 460, 54, 55, 40, true, 0,
     "Start!"},
    {control::level_meter_box, "level_meter_box", control_kind::level_box, 200, 90, 135, 20, false,
     0, ""},
    {control::banner_button, "banner_button", control_kind::bitmap_button, 15, 280, 600, 400, true,
     0, ""},
}};

struct point {
    int x, y;
};

// The window's top-left corner that centres it on a screen of this size. The
// divisions truncate toward zero, so on a screen lower than the window the
// top lies above the screen's edge.
[[nodiscard]] constexpr point centred_window_origin(int screen_width, int screen_height) noexcept {
    return {(screen_width - window_width) / 2, (screen_height - window_height) / 2};
}

// Where the class icon is painted while the stream runs: left of "<" and
// right of ">".
inline constexpr std::array<point, 2> running_icon_positions{{{120, 60}, {380, 60}}};

}  // namespace squeakbox
