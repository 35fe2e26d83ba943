#include "multiply/pan_adapter/leaf_plan.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

using pan_adapter::LeafLayout;
using pan_adapter::LeafPlan;
using pan_adapter::leaf_layout;
using pan_adapter::leaf_plan_default;
using u64 = std::uint64_t;

TEST(LeafPlan, HugeBlockSizesMeanTheWholeSide) {
    // Unchecked overrides near 2^64 must not wrap to a zero-sized block.
    const LeafPlan p{~u64{0}, ~u64{0} - 3, ~u64{0}, 0};
    const LeafLayout l = leaf_layout(100, p);
    EXPECT_EQ(l.mc_eff, 102u);
    EXPECT_EQ(l.nc_eff, 112u);
    EXPECT_EQ(l.kc_eff, 100u);
    EXPECT_EQ(l.b_panels, 7u);
    EXPECT_EQ(l.a_panels, 17u);
}

TEST(LeafPlan, RegionsStay64ByteAligned) {
    const LeafPlan odd{13, 40, 37, 1};
    for (u64 n = 1; n <= 700; ++n) {
        // A row block's A panels stay within 73,728 floats (one strip of slack).
        ASSERT_LE(leaf_plan_default(n).mc * n, 73728u + 6 * n) << n;
        for (const LeafPlan& p : {leaf_plan_default(n), odd}) {
            const LeafLayout l = leaf_layout(n, p);
            ASSERT_EQ(l.b_floats % 16, 0u) << n;
            ASSERT_EQ(l.a_floats % 16, 0u) << n;
            ASSERT_GE(l.a_floats, l.a_panel_floats * l.a_panels) << n;
            if (l.apf) {
                ASSERT_GE(6 * l.a_panels, n) << n;  // every strip of the block
            }
        }
    }
}

