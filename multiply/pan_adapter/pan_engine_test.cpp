#include "multiply/pan_adapter/pan_engine.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "multiply/blas/leaf_route.h"
#include "multiply/pan_adapter/leaf_plan.h"

using pan_adapter::PanView;
using pan_adapter::implementation::pan_schedule;
using pan_adapter::implementation::pan_state;
using u64 = std::uint64_t;

namespace {

template <class E>
void expect_throw_msg(const std::function<void()>& fn, const std::string& msg) {
    try {
        fn();
        ADD_FAILURE() << "no exception, expected: " << msg;
    } catch (const E& e) {
        EXPECT_EQ(std::string(e.what()), msg);
    } catch (const std::exception& e) {
        ADD_FAILURE() << "wrong exception type: " << e.what();
    }
}

const char* const kBadSide = "Pan side must be positive, fit BLAS int and be divisible by leaf";
const char* const kTaskRange = "Pan schedule exceeds its int task-index range";
const char* const kMulOverflow = "Pan size multiplication overflow";
const char* const kAddOverflow = "Pan size addition overflow";
const char* const kBadView = "Pan view requires a nonnull pointer and side <= ld <= INT_MAX";
const char* const kBadSpan = "Pan view has invalid alignment or address span";

constexpr int kWorkers = 2;

// Bytes of one buffer of `floats` floats as the engine allocates it.
u64 rounded_bytes(u64 floats) { return (floats * 4 + 63) / 64 * 64; }

bool all_zero(const float* p, u64 floats) {
    for (u64 i = 0; i < floats; ++i)
        if (p[i] != 0.0f) return false;
    return true;
}

class PanEngine : public ::testing::Test {
protected:
    void SetUp() override { pan_adapter::init_pool(kWorkers, 0); }
    void TearDown() override {
        pan_adapter::shutdown();
        EXPECT_FALSE(pan_state.prepared);
        EXPECT_EQ(pan_state.workspace_bytes, 0u);
    }
};

}  // namespace

TEST(PanEngineNoPool, PrepareNeedsThePool) {
    pan_adapter::shutdown();
    expect_throw_msg<std::logic_error>([] { pan_adapter::prepare(64, 64); },
                                       "Call pan_adapter::init_pool before prepare");
    EXPECT_FALSE(pan_state.prepared);
}

TEST_F(PanEngine, SingleBlockGrid) {
    pan_adapter::prepare(64, 64);
    EXPECT_TRUE(pan_state.prepared);
    EXPECT_EQ(pan_state.grid, 1);
    EXPECT_EQ(pan_state.block_ld, 80u);
    EXPECT_EQ(pan_state.chunk_rows, 64u);
    EXPECT_EQ(pan_state.chunks_per_block, 1);
    EXPECT_EQ(leaf_routing::pan_leaf_side, 64u);
    ASSERT_EQ(pan_schedule.tasks.size(), 1u);
    EXPECT_EQ(pan_schedule.tasks[0].i, 0u);
    EXPECT_EQ(pan_schedule.tasks[0].j, 0u);
    EXPECT_EQ(pan_schedule.tasks[0].k, 0u);
    EXPECT_EQ(pan_schedule.next.size(), 1u);
    EXPECT_EQ(pan_schedule.busy_c.size(), 1u);
    EXPECT_EQ(pan_schedule.busy_c2.size(), 1u);
    for (auto* set : {&pan_state.ra, &pan_state.ca2, &pan_state.rb, &pan_state.cb2, &pan_state.u,
                      &pan_state.t, &pan_state.p})
        EXPECT_EQ(set->size(), 1u);
    EXPECT_EQ(pan_state.a_sums.size(), 2u);
    EXPECT_EQ(pan_state.b_sums.size(), 2u);
    EXPECT_EQ(pan_state.leaf_workspaces.size(), 2u);
    // Blocks of 64 x 80 floats; leaf workspaces of 7,392 floats (worked by hand
    // from the default plan of 64: 16 + 4 B panels of 1,040 + 3,216 A floats).
    const u64 block = 64 * 80 * 4;
    EXPECT_EQ(pan_adapter::pair_workspace_floats_default(64), 7392u);
    EXPECT_EQ(pan_state.workspace_bytes, 4 * block + 2 * 7392 * 4 + 7 * block);
    for (float* b : pan_state.p) EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b) % 64, 0u);
    EXPECT_TRUE(all_zero(pan_state.p[0], 64 * 80));
    EXPECT_TRUE(all_zero(pan_state.leaf_workspaces[1], 7392));
}

TEST_F(PanEngine, SixBySixGridTaskOrder) {
    pan_adapter::prepare(6144, 1024);
    const u64 g = 6;
    EXPECT_EQ(pan_state.grid, 6);
    EXPECT_EQ(pan_state.chunks_per_block, 16);
    EXPECT_EQ(pan_state.block_ld, 1040u);
    ASSERT_EQ(pan_schedule.tasks.size(), 216u);
    auto is = [](const pan_adapter::implementation::PanTask& t, u64 i, u64 j, u64 k) {
        return t.i == i && t.j == j && t.k == k;
    };
    EXPECT_TRUE(is(pan_schedule.tasks[0], 0, 0, 0));
    EXPECT_TRUE(is(pan_schedule.tasks[1], 1, 0, 0));
    EXPECT_TRUE(is(pan_schedule.tasks[6], 0, 1, 1));
    EXPECT_TRUE(is(pan_schedule.tasks[36], 0, 0, 1));
    EXPECT_TRUE(is(pan_schedule.tasks[215], 5, 5, 4));
    // Every (i, j, k) once; each diagonal of g^2 tasks writes every C[i][k]
    // and every C2[j][i] exactly once.
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
    EXPECT_EQ(pan_state.p.size(), 36u);
    EXPECT_EQ(pan_state.u.size(), 6u);
    const u64 block = 1024 * 1040 * 4;
    EXPECT_EQ(pan_state.workspace_bytes,
              4 * block + 2 * rounded_bytes(574112) + (6 * 6 + 36) * block);
    EXPECT_TRUE(all_zero(pan_state.p[35], 1024 * 1040));
}

TEST_F(PanEngine, RePrepareKeepsOrRestarts) {
    pan_adapter::prepare(256, 128);
    const u64 bytes = pan_state.workspace_bytes;
    const float* p0 = pan_state.p[0];
    pan_state.p[0][5] = 3.0f;  // a run's leftovers stay as they are
    pan_adapter::prepare(256, 128);
    EXPECT_EQ(pan_state.workspace_bytes, bytes);
    EXPECT_EQ(pan_state.p[0], p0);
    EXPECT_EQ(pan_state.p[0][5], 3.0f);

    // Other arguments: everything goes, the counter restarts from zero.
    pan_adapter::prepare(128, 128);
    const u64 block = 128 * 144 * 4;
    EXPECT_EQ(pan_state.workspace_bytes,
              11 * block + 2 * rounded_bytes(pan_adapter::pair_workspace_floats_default(128)));
    EXPECT_EQ(pan_state.grid, 1);
    EXPECT_EQ(pan_state.recorded_side, 128u);
    EXPECT_TRUE(all_zero(pan_state.p[0], 128 * 144));
}

TEST_F(PanEngine, SizeRefusals) {
    for (auto [s, L] : std::vector<std::pair<u64, u64>>{
             {0, 64}, {64, 0}, {100, 64}, {2147483648ull, 1}, {2147483632ull, 2147483632ull}})
        expect_throw_msg<std::invalid_argument>([s = s, L = L] { pan_adapter::prepare(s, L); },
                                                kBadSide);
    expect_throw_msg<std::invalid_argument>([] { pan_adapter::prepare(2048, 1); }, kTaskRange);
    expect_throw_msg<std::overflow_error>([] { pan_adapter::prepare(2147483647, 1); },
                                          kMulOverflow);
    EXPECT_FALSE(pan_state.prepared);

    // A bad size leaves the preparation in force untouched.
    pan_adapter::prepare(64, 32);
    const u64 bytes = pan_state.workspace_bytes;
    expect_throw_msg<std::invalid_argument>([] { pan_adapter::prepare(64, 48); }, kBadSide);
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

TEST(PanEngineSizes, GridLimits) {
    using pan_adapter::implementation::check_pan_size;
    // g = 1290 is the largest grid whose g^3 fits the int task range.
    EXPECT_EQ(check_pan_size(1290, 1).grid, 1290u);
    expect_throw_msg<std::invalid_argument>([] { check_pan_size(1291, 1); }, kTaskRange);
    // 2 g^2 c decode jobs: g = 1290 with c = 646 chunks per block exceeds INT_MAX.
    EXPECT_EQ(check_pan_size(1290 * 64 * 645, 64 * 645).chunks, 645u);
    expect_throw_msg<std::invalid_argument>([] { check_pan_size(1290 * 64 * 646, 64 * 646); },
                                            kTaskRange);
    const auto big = check_pan_size(2147483616ull, 2147483616ull);
    EXPECT_EQ(big.grid, 1u);
    EXPECT_EQ(big.chunks, 33554432u);
    EXPECT_EQ(big.block_floats, 2147483616ull * 2147483632ull);
    EXPECT_EQ(check_pan_size(100, 100).chunks, 2u);
}

TEST(PanEngineSizes, CheckedMultiply) {
    EXPECT_EQ(pan_adapter::checked_mul(0, std::numeric_limits<u64>::max()), 0u);
    EXPECT_EQ(pan_adapter::checked_mul(std::uint64_t{1} << 32, (std::uint64_t{1} << 32) - 1),
              (std::uint64_t{1} << 32) * ((std::uint64_t{1} << 32) - 1));
    expect_throw_msg<std::overflow_error>(
        [] { pan_adapter::checked_mul(std::uint64_t{1} << 32, std::uint64_t{1} << 32); },
        kMulOverflow);
}

TEST(PanEngineSizes, AllocWorkspace) {
    std::vector<float*> set;
    pan_state.workspace_bytes = 0;
    pan_adapter::pan_alloc_workspace(set, 0, 1000);
    EXPECT_TRUE(set.empty());
    EXPECT_EQ(pan_state.workspace_bytes, 0u);
    pan_adapter::pan_alloc_workspace(set, 3, 1);
    ASSERT_EQ(set.size(), 3u);
    EXPECT_EQ(pan_state.workspace_bytes, 3u * 64);
    pan_adapter::pan_alloc_workspace(set, 1, 17);
    EXPECT_EQ(pan_state.workspace_bytes, 3u * 64 + 128);
    EXPECT_TRUE(all_zero(set[3], 32));
    for (float* p : set) EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 64, 0u);

    expect_throw_msg<std::overflow_error>(
        [&] { pan_adapter::pan_alloc_workspace(set, 1, std::uint64_t{1} << 62); }, kMulOverflow);
    expect_throw_msg<std::overflow_error>(
        [&] { pan_adapter::pan_alloc_workspace(set, 1, (std::uint64_t{1} << 62) - 1); },
        kAddOverflow);
    expect_throw_msg<std::overflow_error>(
        [&] { pan_adapter::pan_alloc_workspace(set, std::uint64_t{1} << 60, 16); }, kMulOverflow);
    pan_state.workspace_bytes = std::numeric_limits<u64>::max() - 100;
    expect_throw_msg<std::overflow_error>([&] { pan_adapter::pan_alloc_workspace(set, 2, 16); },
                                          kAddOverflow);
    EXPECT_EQ(set.size(), 4u);
    // A buffer that cannot exist: std::bad_alloc, counter unchanged.
    pan_state.workspace_bytes = 0;
    EXPECT_THROW(pan_adapter::pan_alloc_workspace(set, 1, std::uint64_t{1} << 61), std::bad_alloc);
    EXPECT_EQ(pan_state.workspace_bytes, 0u);
    for (float* p : set) std::free(p);
}

TEST_F(PanEngine, ViewChecks) {
    pan_adapter::prepare(64, 32);
    std::vector<float> buf(64 * 70 + 8);
    const auto span = pan_adapter::check_view({buf.data(), 70});
    const auto begin = reinterpret_cast<u64>(buf.data());
    EXPECT_EQ(span.begin, begin);
    EXPECT_EQ(span.end, begin + (63 * 70 + 64) * 4);
    EXPECT_EQ(span.row_stride, 280u);
    EXPECT_EQ(span.row_bytes, 256u);

    expect_throw_msg<std::invalid_argument>(
        [&] {
            pan_adapter::check_view({buf.data(), 63});
        },
        kBadView);
    expect_throw_msg<std::invalid_argument>(
        [&] {
            pan_adapter::check_view({buf.data(), 2147483648ull});
        },
        kBadView);
    expect_throw_msg<std::invalid_argument>(
        [] {
            pan_adapter::check_view({nullptr, 64});
        },
        kBadView);
    auto* odd = reinterpret_cast<float*>(reinterpret_cast<char*>(buf.data()) + 2);
    expect_throw_msg<std::invalid_argument>([&] { pan_adapter::check_view({odd, 64}); }, kBadSpan);
    // A view that would run past the end of the address space.
    auto* top = reinterpret_cast<float*>(std::numeric_limits<std::uintptr_t>::max() - 1023);
    expect_throw_msg<std::invalid_argument>([&] { pan_adapter::check_view({top, 64}); }, kBadSpan);
    // ld = INT_MAX itself is allowed when the span fits.
    EXPECT_NO_THROW(pan_adapter::check_view({buf.data(), 2147483647ull}));
}

TEST_F(PanEngine, PairViewOverlaps) {
    pan_adapter::prepare(64, 32);
    const u64 s = 64, ld = 2 * s;
    std::vector<float> out(s * ld), in(s * ld);
    PanView A{in.data(), ld}, B{in.data() + s, ld};
    PanView left{out.data(), ld}, right{out.data() + s, ld};
    // Inputs may overlap and coincide; side-by-side outputs interleave without sharing a byte.
    EXPECT_NO_THROW(pan_adapter::check_pair_views(A, B, A, A, left, right));
    EXPECT_NO_THROW(pan_adapter::check_pair_views(A, B, A, A, right, left));
    // One shared element: the last of C's first row is the first of C2's.
    PanView shifted{out.data() + s - 1, ld};
    expect_throw_msg<std::invalid_argument>(
        [&] { pan_adapter::check_pair_views(A, B, A, B, left, shifted); },
        "Pan output views overlap");
    // Rows of C2 that fall between rows of C, sharing only the last element.
    std::vector<float> big(6 * s * s);
    PanView wide{big.data(), 4 * s}, inter{big.data() + 2 * s, 4 * s};
    EXPECT_NO_THROW(pan_adapter::check_pair_views(A, B, A, B, wide, inter));
    PanView last{big.data() + 63 * 4 * s + 63, s};
    expect_throw_msg<std::invalid_argument>(
        [&] { pan_adapter::check_pair_views(A, B, A, B, wide, last); }, "Pan output views overlap");
    // An output equal to an input, or C2 overlapping B2.
    expect_throw_msg<std::invalid_argument>(
        [&] {
            pan_adapter::check_pair_views(left, B, A, B, left, PanView{big.data(), s});
        },
        "Pan output view overlaps an input");
    expect_throw_msg<std::invalid_argument>(
        [&] {
            pan_adapter::check_pair_views(A, B, A, PanView{out.data() + s + 5, ld}, left, right);
        },
        "Pan output view overlaps an input");
    // View errors come first, in argument order.
    expect_throw_msg<std::invalid_argument>(
        [&] {
            pan_adapter::check_pair_views(A, B, A, B, left, PanView{nullptr, ld});
        },
        kBadView);
}
