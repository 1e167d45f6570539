#include "engine/simd/dispatch.h"

#include <gtest/gtest.h>

namespace squeakbox::simd {

TEST(SimdDispatch, NamesRoundTripAndUnknownNamesAreRejected) {
    for (level l : all_levels) {
        auto parsed = parse_level(level_name(l));
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(*parsed, l);
    }
    EXPECT_FALSE(parse_level("mmx2").has_value());
    EXPECT_FALSE(parse_level("").has_value());
}

TEST(SimdDispatch, ChoiceIsFixedOnceAndSupported) {
    EXPECT_TRUE(processor_supports(level::scalar));
    const level first = active_level();
    EXPECT_TRUE(processor_supports(first));
    EXPECT_EQ(active_level(), first);
    // Once fixed, another level cannot be forced, but the same one can.
    EXPECT_TRUE(force_level(first));
    for (level l : all_levels) {
        if (l != first) {
            EXPECT_FALSE(force_level(l));
        }
    }
}

}  // namespace squeakbox::simd
