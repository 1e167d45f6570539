#include "engine/simd/dispatch.h"

#include <gtest/gtest.h>

namespace squeakbox {

TEST(EngineVariant, NamesRoundTripAndUnknownNamesAreRejected) {
    for (engine_variant v : all_variants) {
        auto parsed = parse_variant(variant_name(v));
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(*parsed, v);
        EXPECT_EQ(uses_mmx_classes(v), v != engine_variant::plain);
    }
    EXPECT_EQ(parse_variant("auto"), best_variant());
    EXPECT_FALSE(parse_variant("mmx2").has_value());
    EXPECT_FALSE(parse_variant("scalar").has_value());
    EXPECT_FALSE(parse_variant("").has_value());
}

TEST(EngineVariant, ChoiceIsFixedOnceAndSupported) {
    EXPECT_TRUE(processor_runs(engine_variant::plain));
    const engine_variant first = active_variant();
    EXPECT_TRUE(processor_runs(first));
    EXPECT_EQ(active_variant(), first);
    // Once fixed, another variant cannot be forced, but the same one can.
    EXPECT_TRUE(force_variant(first));
    for (engine_variant v : all_variants) {
        if (v != first) {
            EXPECT_FALSE(force_variant(v));
        }
    }
}

}  // namespace squeakbox
