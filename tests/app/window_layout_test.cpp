#include "app/window/window_layout.h"

#include <gtest/gtest.h>

namespace squeakbox {
namespace {

TEST(WindowLayout, CentredWithDivisionsThatTruncateTowardZero) {
    EXPECT_EQ(centred_window_origin(1920, 1080).x, 645);
    EXPECT_EQ(centred_window_origin(1920, 1080).y, 165);
    EXPECT_EQ(centred_window_origin(1023, 768).x, 196);  // 393 / 2
    // A screen lower than the window puts the top above the screen.
    EXPECT_EQ(centred_window_origin(800, 600).y, -75);
    EXPECT_EQ(centred_window_origin(800, 601).y, -74);  // -149 / 2, not -75
    EXPECT_EQ(centred_window_origin(629, 749).x, 0);    // -1 / 2
}

TEST(WindowLayout, EveryControlInItsSlotAndInsideTheWindow) {
    for (int i = 0; i < control_count; ++i) {
        const control_layout& c = control_layouts[static_cast<std::size_t>(i)];
        EXPECT_EQ(static_cast<int>(c.id), i) << c.name;
        EXPECT_LE(c.x + c.width, window_width) << c.name;
        EXPECT_LE(c.y + c.height, window_height) << c.name;
    }
}

}  // namespace
}  // namespace squeakbox
