#include "multiply/pan_adapter/leaf_plan.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

using pan_adapter::LeafLayout;
using pan_adapter::LeafPlan;
using pan_adapter::leaf_layout;
using pan_adapter::leaf_plan_default;
using pan_adapter::pair_workspace_floats;
using u64 = std::uint64_t;

// The whole depth needs no partial tiles; a depth block shorter than the side
// adds the partial-tile region; sizes round up to whole strips and panels and
// clip to the side; side 0 needs no workspace, whatever the plan.
TEST(LeafPlan, LayoutFollowsThePlan) {
    for (u64 n : {1u, 100u, 1536u, 8192u}) {
        const LeafLayout l = leaf_layout(n, static_cast<const LeafPlan*>(nullptr));
        EXPECT_TRUE(l.whole_k && l.kc_eff == n && l.partial_floats == 0) << n;
        EXPECT_EQ(pair_workspace_floats(n, leaf_plan_default(n)), pan_adapter::pair_workspace_floats_default(n));
    }
    const LeafLayout blocked = leaf_layout(100, LeafPlan{7, 17, 99, 0});
    EXPECT_TRUE(!blocked.whole_k && blocked.kc_eff == 99u && blocked.partial_floats > 0);
    EXPECT_TRUE(blocked.mc_eff == 12u && blocked.nc_eff == 32u);
    const LeafLayout clipped = leaf_layout(5, LeafPlan{7, 17, 0, 0});
    EXPECT_TRUE(clipped.mc_eff == 6u && clipped.nc_eff == 16u && clipped.a_panels == 1u && clipped.b_panels == 1u);
    EXPECT_EQ(pan_adapter::pair_workspace_floats_default(0), 0u);
    EXPECT_EQ(pair_workspace_floats(0, LeafPlan{1, 1, 3, 1}), 0u);
}

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

