#include "multiply/pan_adapter/leaf_plan.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>

using pan_adapter::LeafLayout;
using pan_adapter::LeafPlan;
using pan_adapter::leaf_layout;
using pan_adapter::leaf_plan_default;
using pan_adapter::pair_workspace_floats;
using u64 = std::uint64_t;

TEST(LeafPlan, DefaultPlanAndLayoutTable) {
    // Worked by hand from the blocking rules.
    struct Row {
        u64 n, mc, nc;
        int apf;
        u64 mc_eff, nc_eff, a_panels, b_panels, b_floats, a_floats, workspace;
    };
    const Row rows[] = {
        {1, 48, 524288, 0, 6, 16, 1, 1, 32, 48, 96},
        {16, 48, 32768, 0, 18, 16, 3, 1, 272, 352, 640},
        {100, 48, 5232, 0, 48, 112, 8, 7, 11312, 4944, 16272},
        {1024, 48, 512, 0, 48, 512, 8, 32, 524800, 49296, 574112},  // exactly two column blocks
        {1536, 48, 336, 1, 48, 336, 256, 21, 516432, 2363408, 2879856},  // five: apf
        {2048, 36, 256, 1, 36, 256, 342, 16, 524544, 4207984, 4732544},
        {8192, 6, 64, 1, 6, 64, 1366, 4, 524352, 67163504, 67687872},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE("n = " + std::to_string(r.n));
        const LeafPlan p = leaf_plan_default(r.n);
        EXPECT_EQ(p.mc, r.mc);
        EXPECT_EQ(p.nc, r.nc);
        EXPECT_EQ(p.apf, r.apf);
        const LeafLayout l = leaf_layout(r.n, static_cast<const LeafPlan*>(nullptr));
        EXPECT_EQ(l.mc_eff, r.mc_eff);
        EXPECT_EQ(l.nc_eff, r.nc_eff);
        EXPECT_EQ(l.a_panels, r.a_panels);
        EXPECT_EQ(l.b_panels, r.b_panels);
        EXPECT_EQ(l.b_floats, r.b_floats);
        EXPECT_EQ(l.a_floats, r.a_floats);
        EXPECT_EQ(l.partial_floats, 0u);
        EXPECT_TRUE(l.whole_k && l.kc_eff == r.n);
        EXPECT_EQ(l.apf, r.apf != 0);
        EXPECT_EQ(pan_adapter::pair_workspace_floats_default(r.n), r.workspace);
        EXPECT_EQ(pair_workspace_floats(r.n, p), r.workspace);
    }
    // Side 0 has a plan but needs no workspace, whatever the plan.
    EXPECT_EQ(leaf_plan_default(0).nc, 524288u);
    EXPECT_EQ(pan_adapter::pair_workspace_floats_default(0), 0u);
    EXPECT_EQ(pair_workspace_floats(0, LeafPlan{1, 1, 3, 1}), 0u);
}

TEST(LeafPlan, OverriddenPlans) {
    // Sizes round up to whole strips and panels, clip to the side, 0 means
    // 72 rows / 512 columns / the whole depth; a depth block shorter than n
    // adds the partial-tile region.
    struct Row {
        u64 n;
        LeafPlan plan;
        u64 mc_eff, nc_eff, kc_eff, a_panels, b_panels, partial, workspace;
    };
    const Row rows[] = {
        {100, {7, 17, 0, 0}, 12, 32, 100, 2, 2, 0, 4496},
        {100, {7, 17, 100, 0}, 12, 32, 100, 2, 2, 0, 4496},
        {100, {7, 17, 99, 0}, 12, 32, 99, 2, 2, 384, 4880},
        {100, {0, 0, 40, 1}, 72, 112, 40, 17, 7, 8064, 29888},
        {5, {7, 17, 0, 0}, 6, 16, 5, 1, 1, 0, 176},
        {1000, {0, 0, 0, 0}, 72, 512, 1000, 12, 32, 0, 584736},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE("n = " + std::to_string(r.n) + " kc = " + std::to_string(r.plan.kc));
        const LeafLayout l = leaf_layout(r.n, r.plan);
        EXPECT_EQ(l.mc_eff, r.mc_eff);
        EXPECT_EQ(l.nc_eff, r.nc_eff);
        EXPECT_EQ(l.kc_eff, r.kc_eff);
        EXPECT_EQ(l.whole_k, r.kc_eff == r.n);
        EXPECT_EQ(l.a_panels, r.a_panels);
        EXPECT_EQ(l.b_panels, r.b_panels);
        EXPECT_EQ(l.partial_floats, r.partial);
        EXPECT_EQ(pair_workspace_floats(r.n, r.plan), r.workspace);
    }
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

TEST(LeafPlan, AccurateMainSubkSetter) {
    EXPECT_EQ(pan_adapter::accurate_main_subk(), 64u);
    for (u64 subk : {32u, 96u, 0u, 128u, 64u}) {
        const u64 before = pan_adapter::accurate_main_subk();
        const bool good = subk == 32 || subk == 64 || subk == 128;
        try {
            pan_adapter::set_accurate_main_subk(subk);
            EXPECT_TRUE(good) << subk << " accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_FALSE(good) << subk << " refused";
            EXPECT_STREQ(e.what(), "accurate main SUBK must be 32, 64, or 128");
        }
        EXPECT_EQ(pan_adapter::accurate_settings.main_subk, good ? subk : before);
    }
}
