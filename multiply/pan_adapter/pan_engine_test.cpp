// The Pan engine: preparation (sizes, workspaces, task order), view checks and
// the pair-product run.
#include "multiply/pan_adapter/pan_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/testing/test_support.h"
#include "multiply/blas/leaf_route.h"
#include "multiply/pan_adapter/leaf_plan.h"
#include "multiply/pan_adapter/pan_test_support.h"

using pan_adapter::PanView;
using pan_adapter::implementation::check_pan_size;
using pan_adapter::implementation::pan_schedule;
using pan_adapter::implementation::pan_state;
using u64 = std::uint64_t;
using pan_test::kCanary;
using pan_test::Mat;

namespace {

const char* const kBadSide = "Pan side must be positive, fit BLAS int and be divisible by leaf";
const char* const kTaskRange = "Pan schedule exceeds its int task-index range";
const char* const kMulOverflow = "Pan size multiplication overflow";
const char* const kAddOverflow = "Pan size addition overflow";
const char* const kBadView = "Pan view requires a nonnull pointer and side <= ld <= INT_MAX";
const char* const kBadSpan = "Pan view has invalid alignment or address span";
const char* const kOutOverlap = "Pan output views overlap";
const char* const kInOverlap = "Pan output view overlaps an input";

bool all_zero(const float* p, u64 floats) {
    for (u64 i = 0; i < floats; ++i)
        if (p[i] != 0.0f) return false;
    return true;
}

class PanEngine : public ::testing::Test {
protected:
    void SetUp() override { pan_adapter::init_pool(2, test_cpu_base()); }
    void TearDown() override {
        pan_adapter::shutdown();
        EXPECT_FALSE(pan_state.prepared);
        EXPECT_EQ(pan_state.workspace_bytes, 0u);
    }
};

}  // namespace

TEST_F(PanEngine, SingleBlockGrid) {
    pan_adapter::prepare(64, 64);
    EXPECT_TRUE(pan_state.prepared);
    EXPECT_EQ(pan_state.grid, 1);
    EXPECT_EQ(leaf_routing::pan_leaf_side, 64u);
    ASSERT_EQ(pan_schedule.tasks.size(), 1u);
    EXPECT_EQ(pan_state.leaf_workspaces.size(), 2u);  // one per worker, like the sums
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(pan_state.p[0]) % 64, 0u);
    EXPECT_TRUE(all_zero(pan_state.p[0], 64 * 80));
    EXPECT_TRUE(all_zero(pan_state.leaf_workspaces[1], pan_adapter::pair_workspace_floats_default(64)));
}

// A preparation hands out zeroed workspaces even where the allocator gives
// back memory that an earlier preparation dirtied.
TEST_F(PanEngine, WorkspacesAreZeroedOverReusedMemory) {
    auto sets = [] {
        return std::vector<std::vector<float*>*>{&pan_state.a_sums, &pan_state.b_sums, &pan_state.ra,
                                                 &pan_state.ca2,    &pan_state.rb,     &pan_state.cb2,
                                                 &pan_state.u,      &pan_state.t,      &pan_state.p};
    };
    std::set<const float*> dirtied;
    auto dirty_all = [&](u64 block_floats, u64 leaf_floats) {
        for (auto* set : sets())
            for (float* b : *set) {
                std::fill_n(b, block_floats, -1.0f);
                dirtied.insert(b);
            }
        for (float* b : pan_state.leaf_workspaces) {
            std::fill_n(b, leaf_floats, -1.0f);
            dirtied.insert(b);
        }
    };
    pan_adapter::prepare(128, 64);
    dirty_all(64 * 80, 7392);
    pan_adapter::prepare(64, 32);  // frees the dirty buffers, then allocates smaller ones
    dirty_all(32 * 48, pan_adapter::pair_workspace_floats_default(32));
    pan_adapter::prepare(128, 64);
    u64 reused = 0, wrong = 0;
    for (auto* set : sets())
        for (const float* b : *set) {
            reused += dirtied.count(b);
            wrong += !all_zero(b, 64 * 80);
        }
    for (const float* b : pan_state.leaf_workspaces) {
        reused += dirtied.count(b);
        wrong += !all_zero(b, 7392);
    }
    EXPECT_EQ(wrong, 0u);
    if (reused == 0) GTEST_SKIP() << "the allocator gave out no memory it had handed out before";
}

// Every (i, j, k) once; each diagonal of g^2 tasks, which run at once,
// writes every C[i][k] and every C2[j][i] exactly once.
TEST_F(PanEngine, SixBySixGridTaskOrder) {
    pan_adapter::prepare(6144, 1024);
    const u64 g = 6;
    ASSERT_EQ(pan_state.grid, 6);
    ASSERT_EQ(pan_schedule.tasks.size(), 216u);
    std::set<u64> seen;
    for (u64 d = 0; d < g; ++d) {
        std::set<u64> c_blocks, c2_blocks;
        for (u64 t = d * g * g; t < (d + 1) * g * g; ++t) {
            const auto& task = pan_schedule.tasks[t];
            seen.insert((task.i * g + task.j) * g + task.k);
            c_blocks.insert(task.i * g + task.k);
            c2_blocks.insert(task.j * g + task.i);
        }
        EXPECT_EQ(c_blocks.size(), g * g) << d;
        EXPECT_EQ(c2_blocks.size(), g * g) << d;
    }
    EXPECT_EQ(seen.size(), g * g * g);
    EXPECT_TRUE(all_zero(pan_state.p[35], 1024 * 1040));
}

TEST_F(PanEngine, SizeRefusals) {
    std::vector<float> any(64 * 64);
    const PanView v{any.data(), 64};
    EXPECT_EQ(message_of<std::logic_error>([&] { pan_adapter::run_pair(v, v, false, v, v, v, v); }),
              "Call pan_adapter::prepare before run_pair");
    pan_adapter::shutdown();
    EXPECT_EQ(message_of<std::logic_error>([] { pan_adapter::prepare(64, 64); }),
              "Call pan_adapter::init_pool before prepare");
    pan_adapter::init_pool(2, test_cpu_base());
    const struct {
        u64 s, L;
        const char* msg;
    } bad[] = {
        {0, 64, kBadSide}, {64, 0, kBadSide}, {100, 64, kBadSide}, {2147483648ull, 1, kBadSide},
        {2147483632ull, 2147483632ull, kBadSide},  // the padded block stride exceeds int
        {2048, 1, kTaskRange},
        {1291, 1, kTaskRange},  // g^3 past 2^31
        {1290 * 64 * 646, 64 * 646, kTaskRange},  // 2 g^2 c decode jobs past INT_MAX
    };
    for (const auto& b : bad)
        EXPECT_EQ(message_of<std::invalid_argument>([&] { pan_adapter::prepare(b.s, b.L); }), b.msg);
    EXPECT_EQ(message_of<std::overflow_error>([] { pan_adapter::prepare(2147483647, 1); }), kMulOverflow);
    EXPECT_FALSE(pan_state.prepared);
    // Just inside the limits.
    EXPECT_EQ(check_pan_size(1290, 1).grid, 1290u);
    EXPECT_EQ(check_pan_size(1290 * 64 * 645, 64 * 645).chunks, 645u);
    EXPECT_EQ(check_pan_size(2147483616ull, 2147483616ull).block_floats,
              2147483616ull * 2147483632ull);

    // A bad size leaves the preparation in force untouched.
    pan_adapter::prepare(64, 32);
    const u64 bytes = pan_state.workspace_bytes;
    EXPECT_EQ(message_of<std::invalid_argument>([] { pan_adapter::prepare(64, 48); }), kBadSide);
    EXPECT_TRUE(pan_state.prepared);
    EXPECT_EQ(pan_state.workspace_bytes, bytes);

    // The largest leaf passes the checks; its blocks cannot be allocated, and the
    // failure leaves the engine unprepared with nothing held.
    try {
        pan_adapter::prepare(2147483616ull, 2147483616ull);
        ADD_FAILURE() << "a 2^31-sized block was allocated";
    } catch (const std::overflow_error&) {
    } catch (const std::bad_alloc&) {
    }
    EXPECT_FALSE(pan_state.prepared);
    EXPECT_EQ(pan_state.workspace_bytes, 0u);
    EXPECT_TRUE(pan_state.a_sums.empty());
    EXPECT_TRUE(pan_schedule.tasks.empty());
    EXPECT_EQ(leaf_routing::pan_leaf_side, 0u);
}

TEST(PanEngineSizes, CheckedMultiplyAndAllocWorkspace) {
    const u64 two32 = u64{1} << 32;
    EXPECT_EQ(pan_adapter::checked_mul(0, std::numeric_limits<u64>::max()), 0u);
    EXPECT_EQ(pan_adapter::checked_mul(two32, two32 - 1), 0xFFFFFFFF00000000ull);
    EXPECT_EQ(message_of<std::overflow_error>([&] { pan_adapter::checked_mul(two32, two32); }), kMulOverflow);

    std::vector<float*> set;
    pan_state.workspace_bytes = 0;
    pan_adapter::pan_alloc_workspace(set, 0, 1000);
    pan_adapter::pan_alloc_workspace(set, 3, 1);
    pan_adapter::pan_alloc_workspace(set, 1, 17);
    ASSERT_EQ(set.size(), 4u);
    EXPECT_EQ(pan_state.workspace_bytes, 3u * 64 + 128);
    EXPECT_TRUE(all_zero(set[3], 32));
    for (float* p : set) EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 64, 0u);

    const struct {
        u64 count, floats;
        const char* msg;
    } refusals[] = {{1, u64{1} << 62, kMulOverflow},
                    {1, (u64{1} << 62) - 1, kAddOverflow},
                    {u64{1} << 60, 16, kMulOverflow}};
    for (const auto& r : refusals)
        EXPECT_EQ(message_of<std::overflow_error>([&] { pan_adapter::pan_alloc_workspace(set, r.count, r.floats); }),
                  r.msg);
    pan_state.workspace_bytes = std::numeric_limits<u64>::max() - 100;
    EXPECT_EQ(message_of<std::overflow_error>([&] { pan_adapter::pan_alloc_workspace(set, 2, 16); }), kAddOverflow);
    EXPECT_EQ(set.size(), 4u);
    // A buffer that cannot exist: std::bad_alloc, counter unchanged.
    pan_state.workspace_bytes = 0;
    EXPECT_THROW(pan_adapter::pan_alloc_workspace(set, 1, u64{1} << 61), std::bad_alloc);
    EXPECT_EQ(pan_state.workspace_bytes, 0u);
    for (float* p : set) std::free(p);
}

TEST_F(PanEngine, ViewChecks) {
    pan_adapter::prepare(64, 32);
    std::vector<float> buf(64 * 70 + 8);
    float* const d = buf.data();
    EXPECT_NO_THROW(pan_adapter::check_view({d, 70}));
    EXPECT_NO_THROW(pan_adapter::check_view({d, 2147483647ull}));  // ld = INT_MAX is allowed

    const struct {
        PanView v;
        const char* msg;
    } bad[] = {
        {{d, 63}, kBadView},
        {{d, 2147483648ull}, kBadView},
        {{nullptr, 64}, kBadView},
        {{reinterpret_cast<float*>(reinterpret_cast<char*>(d) + 2), 64}, kBadSpan},
        // A view that would run past the end of the address space.
        {{reinterpret_cast<float*>(std::numeric_limits<std::uintptr_t>::max() - 1023), 64},
         kBadSpan},
    };
    for (const auto& b : bad)
        EXPECT_EQ(message_of<std::invalid_argument>([&] { pan_adapter::check_view(b.v); }), b.msg);

    // Pair checks: inputs may overlap and coincide; outputs may interleave
    // without sharing a byte, but not overlap each other or any input.
    const u64 s = 64, ld = 2 * s;
    std::vector<float> out(s * ld), in(s * ld), big(6 * s * s);
    const PanView A{in.data(), ld}, B{in.data() + s, ld};
    const PanView left{out.data(), ld}, right{out.data() + s, ld};
    const PanView wide{big.data(), 4 * s}, inter{big.data() + 2 * s, 4 * s};
    const struct {
        PanView a, b, a2, b2, c, c2;
        const char* msg;  // null: accepted
    } pairs[] = {
        {A, B, A, A, left, right, nullptr},
        {A, B, A, A, right, left, nullptr},
        {A, B, A, B, wide, inter, nullptr},  // rows of C2 between rows of C
        // One shared element: the last of C's first row is the first of C2's.
        {A, B, A, B, left, {out.data() + s - 1, ld}, kOutOverlap},
        {A, B, A, B, wide, {big.data() + 63 * 4 * s + 63, s}, kOutOverlap},
        {left, B, A, B, left, {big.data(), s}, kInOverlap},
        {A, B, A, {out.data() + s + 5, ld}, left, right, kInOverlap},
        {A, B, A, B, left, {nullptr, ld}, kBadView},  // view errors come first
    };
    for (const auto& p : pairs) {
        auto check = [&] { pan_adapter::check_pair_views(p.a, p.b, p.a2, p.b2, p.c, p.c2); };
        if (p.msg == nullptr)
            EXPECT_NO_THROW(check());
        else
            EXPECT_EQ(message_of<std::invalid_argument>(check), p.msg);
    }
}

TEST_F(PanEngine, PairRunIsExactOnIntegerData) {
    // g = 1, 2, 3 (ragged 64-row chunks and 6x16 tiles) and 6, accumulating or
    // not; the schedule must finish with one worker or many. Every case runs
    // twice: nothing carries over between runs.
    const struct {
        u64 s, L;
    } sizes[] = {{64, 64}, {256, 128}, {300, 100}, {300, 50}};
    unsigned seed = 1;
    for (int workers : {1, test_workers()}) {
        pan_adapter::shutdown();
        pan_adapter::init_pool(workers, test_cpu_base());
        for (const auto& z : sizes) {
            const bool accumulate = (seed + static_cast<unsigned>(workers)) % 2 == 0;
            const u64 s = z.s, g = s / z.L;
            SCOPED_TRACE("W=" + std::to_string(workers) + " g=" + std::to_string(g) +
                         (accumulate ? " accumulate" : ""));
            pan_adapter::prepare(s, z.L);
            pan_test::PairOperands m(s, seed++);
            for (int run = 0; run < 2; ++run) {
                const auto t = m.run(pan_adapter::run_pair, accumulate);
                EXPECT_EQ(t.leaf_products, g * g * g + 3 * g * g);
                // Every phase is timed, inside the whole call; clearing C and
                // C2 is skipped when accumulating.
                EXPECT_EQ(t.prologue > 0, !accumulate);
                EXPECT_TRUE(t.forms > 0 && t.main > 0 && t.corrections > 0 && t.reduce > 0 && t.decode > 0);
                EXPECT_GE(t.total_seconds + 1e-9, t.prologue + t.forms + t.main + t.corrections + t.reduce + t.decode);
            }
            m.expect_products(accumulate, 2);
            // The run views do not outlive the call.
            EXPECT_EQ(pan_state.run.c.data, nullptr);
        }
    }
}
