// The leaf plan, the workspace layout and its size, on worked numbers; block
// sizes at the ends of the 64-bit range; the Pan pair driver under such a plan.
#include "multiply/pan_adapter/leaf_plan.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "multiply/pan_adapter/pan_kernel.h"

using pan_adapter::LeafLayout;
using pan_adapter::LeafPlan;
using pan_adapter::leaf_layout;
using pan_adapter::leaf_plan_default;
using pan_adapter::pair_workspace_floats;
using pan_adapter::pair_workspace_floats_default;
using u64 = std::uint64_t;

namespace {

constexpr u64 kTop = ~u64{0};  // 2^64 - 1

std::string text(const LeafPlan& p) {
    return "mc " + std::to_string(p.mc) + " nc " + std::to_string(p.nc) + " kc " + std::to_string(p.kc) +
           " apf " + std::to_string(p.apf);
}

}  // namespace

TEST(LeafPlan, DefaultPlansOfTheWorkedSides) {
    struct Row {
        u64 n, mc, nc;
        int apf;
        u64 mc_eff, nc_eff, a_panels, b_panels;
    };
    const Row rows[] = {
        {1, 48, 524288, 0, 6, 16, 1, 1},        {16, 48, 32768, 0, 18, 16, 3, 1},
        {256, 48, 2048, 0, 48, 256, 8, 16},     {1024, 48, 512, 0, 48, 512, 8, 32},
        {1536, 48, 336, 1, 48, 336, 256, 21},   {2048, 36, 256, 1, 36, 256, 342, 16},
        {8192, 6, 64, 1, 6, 64, 1366, 4},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE("n = " + std::to_string(r.n));
        const LeafPlan p = leaf_plan_default(r.n);
        EXPECT_EQ(p.mc, r.mc);
        EXPECT_EQ(p.nc, r.nc);
        EXPECT_EQ(p.kc, 0u);
        EXPECT_EQ(p.apf, r.apf);
        const LeafLayout l = leaf_layout(r.n, p);
        EXPECT_EQ(l.mc_eff, r.mc_eff);
        EXPECT_EQ(l.nc_eff, r.nc_eff);
        EXPECT_EQ(l.kc_eff, r.n);
        EXPECT_EQ(l.a_panels, r.a_panels);
        EXPECT_EQ(l.b_panels, r.b_panels);
        EXPECT_TRUE(l.whole_k);
        EXPECT_EQ(l.partial_floats, 0u);
        EXPECT_EQ(l.apf, r.apf != 0);
    }
    // Whole workspaces of two of them (16 + B region + A region).
    EXPECT_EQ(pair_workspace_floats_default(1024), 574112u);
    EXPECT_EQ(pair_workspace_floats_default(2048), 4732544u);

    // n = 0: the plan is defined, the workspace is empty.
    const LeafPlan zero = leaf_plan_default(0);
    EXPECT_EQ(zero.mc, 48u);
    EXPECT_EQ(zero.nc, 524288u);
    EXPECT_EQ(zero.kc, 0u);
    EXPECT_EQ(zero.apf, 0);
    EXPECT_EQ(pair_workspace_floats(0, zero), 0u);
    EXPECT_EQ(pair_workspace_floats(0, LeafPlan{kTop, kTop, kTop, 1}), 0u);
    EXPECT_EQ(pair_workspace_floats_default(0), 0u);

    // n = 6: one A panel of 52 floats, one B panel of 112, 208 floats in all.
    const LeafLayout six = leaf_layout(6, leaf_plan_default(6));
    EXPECT_EQ(six.mc_eff, 6u);
    EXPECT_EQ(six.nc_eff, 16u);
    EXPECT_EQ(six.a_panel_floats, 52u);
    EXPECT_EQ(six.b_panel_floats, 112u);
    EXPECT_EQ(six.a_panels, 1u);
    EXPECT_EQ(six.b_panels, 1u);
    EXPECT_EQ(pair_workspace_floats_default(6), 208u);
    EXPECT_EQ(pair_workspace_floats(6, leaf_plan_default(6)), 208u);
    // The pointer form: null is the default plan.
    EXPECT_EQ(leaf_layout(6, nullptr).a_floats, six.a_floats);
}

TEST(LeafPlan, OverriddenBlockSizes) {
    // n = 100 under its default plan: mc_eff 48, nc_eff 112 (7 B panels),
    // 8 A panels, 16272 floats.
    LeafPlan p = leaf_plan_default(100);
    EXPECT_EQ(pair_workspace_floats(100, p), 16272u);

    // A depth block one short of n adds 96 * (48 / 6) * 7 = 5376 floats of partial tiles.
    p.kc = 99;
    LeafLayout l = leaf_layout(100, p);
    EXPECT_FALSE(l.whole_k);
    EXPECT_EQ(l.kc_eff, 99u);
    EXPECT_EQ(l.partial_floats, 5376u);
    EXPECT_EQ(pair_workspace_floats(100, p), 21648u);
    // kc = n and kc > n: the whole depth, no partial region.
    for (u64 kc : {u64{100}, u64{101}}) {
        p.kc = kc;
        l = leaf_layout(100, p);
        EXPECT_TRUE(l.whole_k) << kc;
        EXPECT_EQ(l.kc_eff, 100u) << kc;
        EXPECT_EQ(l.partial_floats, 0u) << kc;
        EXPECT_EQ(pair_workspace_floats(100, p), 16272u) << kc;
    }

    // mc = 7 runs as 12 rows and nc = 17 as 32 columns, unless the side is smaller.
    const LeafPlan odd{7, 17, 0, 0};
    l = leaf_layout(100, odd);
    EXPECT_EQ(l.mc_eff, 12u);
    EXPECT_EQ(l.nc_eff, 32u);
    EXPECT_EQ(l.a_panels, 2u);
    EXPECT_EQ(l.b_panels, 2u);
    EXPECT_EQ(pair_workspace_floats(100, odd), 4496u);
    l = leaf_layout(8, odd);
    EXPECT_EQ(l.mc_eff, 12u);
    EXPECT_EQ(l.nc_eff, 16u);
    l = leaf_layout(5, odd);
    EXPECT_EQ(l.mc_eff, 6u);
    EXPECT_EQ(l.nc_eff, 16u);

    // Zeros: 72 rows and 512 columns, at most the side; the whole depth.
    l = leaf_layout(100, LeafPlan{0, 0, 0, 0});
    EXPECT_EQ(l.mc_eff, 72u);
    EXPECT_EQ(l.nc_eff, 112u);
    EXPECT_EQ(l.a_panels, 12u);
    EXPECT_EQ(leaf_layout(1000, LeafPlan{0, 0, 0, 0}).nc_eff, 512u);
    // Ones: one strip, one panel, depth blocks of 1.
    const LeafPlan ones{1, 1, 1, 0};
    l = leaf_layout(100, ones);
    EXPECT_EQ(l.mc_eff, 6u);
    EXPECT_EQ(l.nc_eff, 16u);
    EXPECT_EQ(l.kc_eff, 1u);
    EXPECT_EQ(l.partial_floats, 96u);
    EXPECT_EQ(pair_workspace_floats(100, ones), 2368u);
}

// Block sizes read from the environment are unchecked: "-4" arrives as
// 2^64 - 4. Every value up to 2^64 - 1 must mean "the whole side" and never
// wrap to a zero step (a driver would loop for ever).
TEST(LeafPlan, BlockSizesNearTheTopOfTheRangeMeanTheWholeSide) {
    std::vector<u64> huge;
    for (u64 d = 1; d <= 24; ++d) huge.push_back(kTop - d + 1);  // 2^64-1 .. 2^64-24
    huge.insert(huge.end(), {u64{1} << 63, (u64{1} << 63) - 1, (u64{1} << 63) + 1, u64{1} << 32});
    const u64 n = 100;
    for (u64 v : huge) {
        for (int field = 0; field < 3; ++field) {
            for (int apf : {0, 1}) {
                LeafPlan p = leaf_plan_default(n);
                p.apf = apf;
                (field == 0 ? p.mc : field == 1 ? p.nc : p.kc) = v;
                SCOPED_TRACE(text(p));
                const LeafLayout l = leaf_layout(n, p);
                EXPECT_EQ(l.mc_eff, field == 0 ? 102u : 48u);
                EXPECT_EQ(l.nc_eff, 112u);
                EXPECT_EQ(l.kc_eff, 100u);
                EXPECT_TRUE(l.whole_k);
                EXPECT_EQ(l.b_panels, 7u);
                EXPECT_EQ(l.a_panels, apf != 0 ? 17u : field == 0 ? 17u : 8u);
                EXPECT_EQ(pair_workspace_floats(n, p), apf != 0 || field == 0 ? 21824u : 16272u);
            }
        }
        // All three at once, through the pointer form too.
        const LeafPlan all{v, v, v, 0};
        SCOPED_TRACE(text(all));
        const LeafLayout l = leaf_layout(n, &all);
        EXPECT_EQ(l.mc_eff, 102u);
        EXPECT_EQ(l.nc_eff, 112u);
        EXPECT_EQ(l.kc_eff, 100u);
        EXPECT_EQ(pair_workspace_floats(n, all), 21824u);
        // The smallest side still gets one strip and one panel.
        const LeafLayout one = leaf_layout(1, all);
        EXPECT_EQ(one.mc_eff, 6u);
        EXPECT_EQ(one.nc_eff, 16u);
        EXPECT_EQ(one.kc_eff, 1u);
    }
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

TEST(LeafPlan, AccurateDepthChunkSetting) {
    const u64 before = pan_adapter::accurate_main_subk();
    EXPECT_THROW(pan_adapter::set_accurate_main_subk(96), std::invalid_argument);
    EXPECT_EQ(pan_adapter::accurate_main_subk(), before);
    for (u64 s : {u64{32}, u64{128}, u64{64}}) {
        pan_adapter::set_accurate_main_subk(s);
        EXPECT_EQ(pan_adapter::accurate_main_subk(), s);
    }
}

// The Pan pair driver under plans whose block sizes sit at the top of the
// range: it ends and computes the exact product of small integers. The layout
// is checked first, so a zero step fails the test instead of hanging it.
TEST(LeafPlan, PairDriverRunsUnderHugeBlockSizes) {
    const u64 n = 20, ld = n + 3;
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> d(-2, 2);
    std::vector<float> a1(n * ld), a2(n * ld), b1(n * ld), b2(n * ld);
    for (auto* m : {&a1, &a2, &b1, &b2})
        for (float& x : *m) x = static_cast<float>(d(rng));
    std::vector<float> want(n * n, 0.0f);
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j < n; ++j) {
            float s = 0;  // small integers: exact in any order
            for (u64 k = 0; k < n; ++k) s += (a1[i * ld + k] + a2[i * ld + k]) * (b1[k * ld + j] + b2[k * ld + j]);
            want[i * n + j] = s;
        }
    for (u64 v : {kTop, kTop - 3, kTop - 4, kTop - 5, kTop - 15}) {
        for (const LeafPlan& p : {LeafPlan{v, 16, 0, 0}, LeafPlan{6, v, 0, 1}, LeafPlan{6, 16, v, 0},
                                  LeafPlan{v, v, v, 1}}) {
            SCOPED_TRACE(text(p));
            const LeafLayout l = leaf_layout(n, p);
            ASSERT_GT(l.mc_eff, 0u);
            ASSERT_GT(l.nc_eff, 0u);
            ASSERT_GT(l.kc_eff, 0u);
            std::vector<float> ws(pair_workspace_floats(n, p));
            std::vector<float> c1(n * ld, 1.0f), c2(n * ld, -1.0f);
            pan_adapter::pair_product_with_plan(n, a1.data(), ld, a2.data(), ld, b1.data(), ld, b2.data(), ld,
                                                c1.data(), ld, c2.data(), ld, ws.data(), p);
            for (u64 i = 0; i < n; ++i)
                for (u64 j = 0; j < n; ++j) {
                    ASSERT_EQ(c1[i * ld + j], want[i * n + j] + 1.0f) << i << "," << j;
                    ASSERT_EQ(c2[i * ld + j], want[i * n + j] - 1.0f) << i << "," << j;
                }
        }
    }
}
