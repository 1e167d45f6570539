#pragma once
// The bordered box under the pitch controls that shows the level of the
// latest played block: green up to the split, white after it.

class QWidget;

namespace squeakbox {

// A hidden, bordered box, child of `parent`.
QWidget* create_level_meter_box(QWidget* parent);

// The width, in pixels inside the border, over which the bar runs (the
// client rectangle's left is 0, its right this width).
[[nodiscard]] int level_meter_inner_width(const QWidget* box);

// Fills green from the left edge to `split` and white from there to the right
// edge, at the next paint of the window.
void show_level_split(QWidget* box, int split);

[[nodiscard]] int shown_level_split(const QWidget* box);

}  // namespace squeakbox
