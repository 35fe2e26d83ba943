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
using pan_adapter::pair_workspace_floats_default;

namespace {

// Worked figures of the default plan, computed by hand from the blocking rules.
struct Row {
    std::uint64_t n, mc, nc;
    int apf;
    std::uint64_t mc_eff, nc_eff, a_panels, b_panels, b_floats, a_floats, workspace;
};

const Row kTable[] = {
    {1, 48, 524288, 0, 6, 16, 1, 1, 32, 48, 96},
    {6, 48, 87376, 0, 6, 16, 1, 1, 112, 80, 208},
    {16, 48, 32768, 0, 18, 16, 3, 1, 272, 352, 640},
    {100, 48, 5232, 0, 48, 112, 8, 7, 11312, 4944, 16272},
    {256, 48, 2048, 0, 48, 256, 8, 16, 65792, 12432, 78240},
    {1024, 48, 512, 0, 48, 512, 8, 32, 524800, 49296, 574112},
    {1536, 48, 336, 1, 48, 336, 256, 21, 516432, 2363408, 2879856},
    {2048, 36, 256, 1, 36, 256, 342, 16, 524544, 4207984, 4732544},
    {8192, 6, 64, 1, 6, 64, 1366, 4, 524352, 67163504, 67687872},
};

}  // namespace

TEST(LeafPlan, DefaultPlanAndLayoutTable) {
    for (const Row& r : kTable) {
        SCOPED_TRACE("n = " + std::to_string(r.n));
        const LeafPlan p = leaf_plan_default(r.n);
        EXPECT_EQ(p.mc, r.mc);
        EXPECT_EQ(p.nc, r.nc);
        EXPECT_EQ(p.kc, 0u);
        EXPECT_EQ(p.apf, r.apf);
        const LeafLayout l = leaf_layout(r.n, p);
        EXPECT_EQ(l.n, r.n);
        EXPECT_EQ(l.mc_eff, r.mc_eff);
        EXPECT_EQ(l.nc_eff, r.nc_eff);
        EXPECT_EQ(l.kc_eff, r.n);
        EXPECT_EQ(l.b_panel_floats, 16 * (r.n + 1));
        EXPECT_EQ(l.a_panel_floats, 6 * r.n + 16);
        EXPECT_EQ(l.a_panels, r.a_panels);
        EXPECT_EQ(l.b_panels, r.b_panels);
        EXPECT_EQ(l.b_floats, r.b_floats);
        EXPECT_EQ(l.a_floats, r.a_floats);
        EXPECT_EQ(l.partial_floats, 0u);
        EXPECT_TRUE(l.whole_k);
        EXPECT_EQ(l.apf, r.apf != 0);
        EXPECT_EQ(pair_workspace_floats_default(r.n), r.workspace);
        EXPECT_EQ(pair_workspace_floats(r.n, p), r.workspace);
        // The pointer form is the same computation; null means the default plan.
        const LeafLayout lp = leaf_layout(r.n, &p);
        const LeafLayout ln = leaf_layout(r.n, static_cast<const LeafPlan*>(nullptr));
        EXPECT_EQ(lp.a_floats, l.a_floats);
        EXPECT_EQ(ln.b_floats, l.b_floats);
        EXPECT_EQ(ln.a_panels, l.a_panels);
    }
}

TEST(LeafPlan, SideZero) {
    const LeafPlan p = leaf_plan_default(0);
    EXPECT_EQ(p.mc, 48u);
    EXPECT_EQ(p.nc, 524288u);
    EXPECT_EQ(p.kc, 0u);
    EXPECT_EQ(p.apf, 0);
    EXPECT_EQ(pair_workspace_floats(0, p), 0u);
    EXPECT_EQ(pair_workspace_floats_default(0), 0u);
    LeafPlan blocked;
    blocked.kc = 3;
    EXPECT_EQ(pair_workspace_floats(0, blocked), 0u);
}

TEST(LeafPlan, ApfSwitchesPastTwoColumnBlocks) {
    // 1024 is exactly two blocks of 512; 1536 needs five blocks of 336.
    EXPECT_EQ(leaf_plan_default(1024).apf, 0);
    EXPECT_EQ(leaf_plan_default(1536).apf, 1);
    // Around the switch the rule is ceil(n / nc) > 2.
    for (std::uint64_t n = 1; n <= 3000; ++n) {
        const LeafPlan p = leaf_plan_default(n);
        const std::uint64_t blocks = (n + p.nc - 1) / p.nc;
        ASSERT_EQ(p.apf != 0, blocks > 2) << n;
        ASSERT_LE(p.mc * n, 73728u + 6 * n) << n;
    }
}

TEST(LeafPlan, OverriddenFieldsRoundUp) {
    LeafPlan p;
    p.mc = 7;
    p.nc = 17;
    LeafLayout l = leaf_layout(100, p);
    EXPECT_EQ(l.mc_eff, 12u);
    EXPECT_EQ(l.nc_eff, 32u);
    EXPECT_EQ(l.a_panels, 2u);
    EXPECT_EQ(l.b_panels, 2u);
    EXPECT_EQ(pair_workspace_floats(100, p), 4496u);
    // Small sides clip the blocks to the side itself.
    l = leaf_layout(5, p);
    EXPECT_EQ(l.mc_eff, 6u);
    EXPECT_EQ(l.nc_eff, 16u);
    // Zeros mean 72 rows and 512 columns.
    l = leaf_layout(1000, LeafPlan{});
    EXPECT_EQ(l.mc_eff, 72u);
    EXPECT_EQ(l.nc_eff, 512u);
}

TEST(LeafPlan, HugeBlockSizesMeanTheWholeSide) {
    // Unchecked overrides near 2^64 must not wrap to a zero-sized block.
    LeafPlan p;
    p.mc = ~std::uint64_t{0};
    p.nc = ~std::uint64_t{0} - 3;
    p.kc = ~std::uint64_t{0};
    const LeafLayout l = leaf_layout(100, p);
    EXPECT_EQ(l.mc_eff, 102u);
    EXPECT_EQ(l.nc_eff, 112u);
    EXPECT_EQ(l.kc_eff, 100u);
    EXPECT_EQ(l.b_panels, 7u);
    EXPECT_EQ(l.a_panels, 17u);
}

TEST(LeafPlan, DepthBlockAddsPartialRegion) {
    LeafPlan p;
    p.mc = 7;
    p.nc = 17;
    for (std::uint64_t kc : {100u, 101u, 5000u}) {
        p.kc = kc;
        const LeafLayout l = leaf_layout(100, p);
        EXPECT_TRUE(l.whole_k) << kc;
        EXPECT_EQ(l.kc_eff, 100u);
        EXPECT_EQ(l.partial_floats, 0u);
    }
    p.kc = 99;
    LeafLayout l = leaf_layout(100, p);
    EXPECT_FALSE(l.whole_k);
    EXPECT_EQ(l.kc_eff, 99u);
    EXPECT_EQ(l.partial_floats, 96u * 2 * 2);
    EXPECT_EQ(pair_workspace_floats(100, p), 4880u);

    LeafPlan q;
    q.kc = 40;
    q.apf = 1;
    l = leaf_layout(100, q);
    EXPECT_EQ(l.a_panels, 17u);
    EXPECT_EQ(l.partial_floats, 96u * 12 * 7);
    EXPECT_EQ(pair_workspace_floats(100, q), 29888u);
}

TEST(LeafPlan, RegionsStay64ByteAligned) {
    LeafPlan odd;
    odd.mc = 13;
    odd.nc = 40;
    odd.kc = 37;
    odd.apf = 1;
    for (std::uint64_t n = 1; n <= 700; ++n) {
        for (const LeafPlan& p : {leaf_plan_default(n), odd}) {
            const LeafLayout l = leaf_layout(n, p);
            ASSERT_EQ(l.b_panel_floats % 16, 0u) << n;
            ASSERT_EQ(l.b_floats % 16, 0u) << n;
            ASSERT_EQ(l.a_floats % 16, 0u) << n;
            ASSERT_GE(l.a_floats, l.a_panel_floats * l.a_panels) << n;
            ASSERT_EQ(l.mc_eff % 6, 0u) << n;
            ASSERT_EQ(l.nc_eff % 16, 0u) << n;
            // The apf region covers every strip of the block.
            if (l.apf) {
                ASSERT_GE(6 * l.a_panels, n) << n;
            }
        }
    }
}

TEST(LeafPlan, AccurateMainSubkSetter) {
    EXPECT_EQ(pan_adapter::accurate_main_subk(), 64u);
    pan_adapter::set_accurate_main_subk(32);
    EXPECT_EQ(pan_adapter::accurate_main_subk(), 32u);
    try {
        pan_adapter::set_accurate_main_subk(96);
        FAIL() << "96 accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "accurate main SUBK must be 32, 64, or 128");
    }
    EXPECT_EQ(pan_adapter::accurate_main_subk(), 32u);
    EXPECT_THROW(pan_adapter::set_accurate_main_subk(0), std::invalid_argument);
    pan_adapter::set_accurate_main_subk(128);
    EXPECT_EQ(pan_adapter::accurate_main_subk(), 128u);
    pan_adapter::set_accurate_main_subk(64);
    EXPECT_EQ(pan_adapter::accurate_main_subk(), 64u);
    EXPECT_EQ(pan_adapter::accurate_settings.main_subk, 64u);
}
