// agg1 preparation: the AGG_MAX_SCRATCH_GB budget against what prepare really
// allocates, and blocking overrides from the environment at the ends of their
// range (the engine and the term-product driver under such plans).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/testing/test_support.h"
#include "multiply/agg1/agg1.h"
#include "multiply/agg1/agg1_test_support.h"
#include "multiply/agg1/engine.h"
#include "multiply/agg1/term_product.h"

using agg1::detail::LeafGroup;
using agg1::detail::LeafRef;
using agg1::detail::state;
using u64 = std::uint64_t;

namespace {

const std::string kBudget = "agg1: workspace would exceed AGG_MAX_SCRATCH_GB (default 400 GB)";

class Agg1Prepare : public Agg1PooledTest {
protected:
    void TearDown() override { agg1::release_workspace(); }
};

// Every byte the prepared engine holds, from the containers themselves.
double held_bytes() {
    const u64 W = state.workspaces.size();
    double bytes = static_cast<double>(agg1::scratch_bytes());
    for (float* p : state.row_buffers) bytes += p != nullptr ? (2 * state.block * 4 + 63) / 64 * 64 : 0;
    bytes += static_cast<double>(state.q * state.q + 4 * state.q);       // tile and accumulator locks
    bytes += static_cast<double>(state.groups.size() + 1);               // claim flags
    bytes += static_cast<double>(state.groups.capacity() * sizeof(LeafGroup));
    for (const auto& list : state.deferred) bytes += static_cast<double>(list.capacity() * sizeof(LeafRef));
    bytes += static_cast<double>(state.drain_stack.capacity() * sizeof(LeafRef));
    bytes += static_cast<double>(W * (8 + 8 + 8 + 4));                  // per-worker counters
    return bytes;
}

std::string gigabytes(double bytes) {
    char text[64];
    std::snprintf(text, sizeof text, "%.12g", bytes / 1e9);
    return text;
}

// n x n integers in [-2, 2] (every sum and product exact in float).
std::vector<float> integers(u64 n, u64 ld, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> d(-2, 2);
    std::vector<float> m(n * ld, 0.0f);
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j < n; ++j) m[i * ld + j] = static_cast<float>(d(rng));
    return m;
}

std::vector<float> exact_product(const std::vector<float>& a, const std::vector<float>& b, u64 n, u64 ld) {
    std::vector<float> c(n * n, 0.0f);
    for (u64 i = 0; i < n; ++i)
        for (u64 k = 0; k < n; ++k)
            for (u64 j = 0; j < n; ++j) c[i * n + j] += a[i * ld + k] * b[k * ld + j];
    return c;
}

}  // namespace

// The budget covers everything prepare allocates, the deferral lists of
// redirect mode 0 (one list per worker with room for every main leaf) too:
// a limit just below what a preparation holds refuses it, a little above
// accepts it. The leaf-group list is reserved at its exact size.
TEST_F(Agg1Prepare, BudgetCountsEveryBuffer) {
    for (const char* mode : {"0", "1", "2"}) {
        for (const char* kch : {"8", "3"}) {
            ScopedEnv redirect("AGG_REDIRECT", mode), chunk("AGG_KCH", kch), limit("AGG_MAX_SCRATCH_GB", nullptr);
            for (u64 q : {u64{2}, u64{8}, u64{64}}) {
                SCOPED_TRACE(std::string("mode ") + mode + " kch " + kch + " q " + std::to_string(q));
                agg1::prepare(q, 16);
                EXPECT_EQ(state.groups.capacity(), state.groups.size());
                const double held = held_bytes();
                agg1::release_workspace();

                ScopedEnv below("AGG_MAX_SCRATCH_GB", gigabytes(held * (1 - 1e-9)).c_str());
                EXPECT_EQ(message_of<std::invalid_argument>([q] { agg1::prepare(q, 16); }), kBudget);
                EXPECT_EQ(agg1::prepared_q(), 0u);
                ScopedEnv above("AGG_MAX_SCRATCH_GB", gigabytes(held * 1.05 + 4096).c_str());
                agg1::prepare(q, 16);
                EXPECT_EQ(agg1::prepared_q(), q);
                agg1::release_workspace();
            }
        }
    }
}

// Blocking overrides that strtoul reads near 2^64 ("-4" is 2^64 - 4) mean the
// whole block: the run ends with the exact product. The layout is checked
// before the run, so a zero step fails here instead of hanging.
TEST_F(Agg1Prepare, HugeBlockingOverridesRunTheWholeBlock) {
    const u64 q = 4, block = 40, n = q * block, ld = n + 3;
    const std::vector<float> a = integers(n, ld, 1), b = integers(n, ld, 2);
    const std::vector<float> want = exact_product(a, b, n, ld);
    const char* const values[] = {"-1", "-4", "-5", "-6", "-15", "-16", "-17", "18446744073709551615",
                                  "18446744073709551612", "0", "1"};
    for (const char* variable : {"AGG_MC", "AGG_NC", "AGG_KC"}) {
        for (const char* value : values) {
            SCOPED_TRACE(std::string(variable) + "=" + value);
            ScopedEnv env(variable, value), apf("AGG_APF", value[0] == '-' ? "1" : nullptr);
            agg1::release_workspace();
            agg1::prepare(q, block);
            const pan_adapter::LeafLayout l = pan_adapter::leaf_layout(block, &state.plan);
            ASSERT_GT(l.mc_eff, 0u);
            ASSERT_GT(l.nc_eff, 0u);
            ASSERT_GT(l.kc_eff, 0u);
            EXPECT_LE(l.mc_eff, 42u);  // ceil6(40)
            EXPECT_LE(l.nc_eff, 48u);  // ceil16(40)
            std::vector<float> c(n * ld, 7.0f);
            agg1::RunReport report;
            agg1::run(&report, a.data(), ld, b.data(), ld, c.data(), ld, false);
            u64 wrong = 0;
            for (u64 i = 0; i < n; ++i)
                for (u64 j = 0; j < n; ++j) wrong += c[i * ld + j] != want[i * n + j];
            EXPECT_EQ(wrong, 0u);
        }
    }
    // A nonzero AGG_APF beyond 32 bits stays nonzero.
    ScopedEnv apf("AGG_APF", "4294967296");
    agg1::release_workspace();
    agg1::prepare(q, block);
    EXPECT_NE(state.plan.apf, 0);
}

// The term-product driver itself under such plans, with its own workspace size.
TEST(Agg1TermProduct, HugeBlockSizesRunTheWholeBlock) {
    const u64 n = 30, ld = n + 1;
    std::vector<float> a = integers(n, ld, 3), b = integers(n, ld, 4);
    const std::vector<float> want = exact_product(a, b, n, ld);
    constexpr u64 top = ~u64{0};
    for (u64 v : {top, top - 3, top - 4, top - 5, top - 15}) {
        for (const agg1::LeafPlan& p : {agg1::LeafPlan{v, 16, 0, 0}, agg1::LeafPlan{6, v, 0, 1},
                                        agg1::LeafPlan{6, 16, v, 0}, agg1::LeafPlan{v, v, v, 1}}) {
            SCOPED_TRACE("mc " + std::to_string(p.mc) + " nc " + std::to_string(p.nc) + " kc " +
                         std::to_string(p.kc));
            const pan_adapter::LeafLayout l = pan_adapter::leaf_layout(n, p);
            ASSERT_GT(l.mc_eff, 0u);
            ASSERT_GT(l.nc_eff, 0u);
            ASSERT_GT(l.kc_eff, 0u);
            std::vector<float> c(n * ld, 0.0f);
            std::vector<float> ws(agg1::term_workspace_floats(n, &p));
            const agg1::TermView ta{a.data(), ld, 1.0f}, tb{b.data(), ld, 1.0f}, tc{c.data(), ld, 1.0f};
            agg1::term_product(n, 1, &ta, 1, &tb, 1, &tc, ws.data(), &p);
            u64 wrong = 0;
            for (u64 i = 0; i < n; ++i)
                for (u64 j = 0; j < n; ++j) wrong += c[i * ld + j] != want[i * n + j];
            EXPECT_EQ(wrong, 0u);
        }
    }
}
