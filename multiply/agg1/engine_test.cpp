// The agg1 engine: preparation, the leaf-group list, main products in every
// redirect mode, corrections and broadcast, the run report and failures.
#include "multiply/agg1/agg1.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <map>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "common/cpus.h"
#include "common/testing/test_support.h"
#include "multiply/agg1/agg1_test_support.h"
#include "multiply/agg1/engine.h"

// Allocations made on agg1 workers: a run must make none (its lists are
// reserved when preparing).
std::atomic<long> worker_allocations{0};

// Every form of new is replaced, so that every allocation is counted and every
// delete frees what a replaced new allocated: the replaced operators pair
// malloc (or posix_memalign) with free; the compiler cannot see that.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
void* counted_allocation(std::size_t size, std::size_t alignment) noexcept {
    if (agg1_worker_id >= 0) worker_allocations.fetch_add(1);
    if (size == 0) size = 1;
    if (alignment <= alignof(std::max_align_t)) return std::malloc(size);
    void* p = nullptr;
    return posix_memalign(&p, alignment, size) == 0 ? p : nullptr;
}
void* counted_new(std::size_t size, std::size_t alignment) {
    if (void* p = counted_allocation(size, alignment)) return p;
    throw std::bad_alloc();
}
}  // namespace
void* operator new(std::size_t size) { return counted_new(size, 0); }
void* operator new[](std::size_t size) { return counted_new(size, 0); }
void* operator new(std::size_t size, std::align_val_t a) { return counted_new(size, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t size, std::align_val_t a) { return counted_new(size, static_cast<std::size_t>(a)); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return counted_allocation(size, 0); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return counted_allocation(size, 0); }
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return counted_allocation(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return counted_allocation(size, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

using agg1::detail::LeafGroup;
using agg1::detail::LeafRef;
using agg1::detail::state;
using u64 = std::uint64_t;

namespace {

// Restarts the pool with W workers.
void place_pool(int W) {
    agg1::shutdown();
    agg1::init_pool(W, 0);
}

// A, B and C of side N with row strides N + 5. Integers in [-2, 2] keep every
// intermediate of the engine exact in float; otherwise uniform in [-1, 1].
struct Problem {
    u64 N, ld;
    std::vector<float> A, B, C;
    Problem(u64 n, bool integers, unsigned seed) : N(n), ld(n + 5), A(ld * n), B(ld * n), C(ld * n) {
        std::mt19937 rng(seed);
        std::uniform_int_distribution<int> di(-2, 2);
        std::uniform_real_distribution<float> df(-1.0f, 1.0f);
        for (auto* v : {&A, &B, &C})
            for (auto& x : *v) x = integers ? static_cast<float>(di(rng)) : df(rng);
    }
    agg1::RunReport run(bool accumulate) {
        agg1::RunReport r;
        agg1::run(&r, A.data(), ld, B.data(), ld, C.data(), ld, accumulate);
        return r;
    }
    // The exact (or FP64) product, plus C0 when accumulating.
    std::vector<double> reference(const std::vector<float>& C0, bool accumulate) const {
        std::vector<double> R(N * N);
        for (u64 i = 0; i < N; ++i)
            for (u64 k = 0; k < N; ++k) {
                const double a = A[i * ld + k];
                for (u64 j = 0; j < N; ++j) R[i * N + j] += a * B[k * ld + j];
            }
        if (accumulate)
            for (u64 i = 0; i < N; ++i)
                for (u64 j = 0; j < N; ++j) R[i * N + j] += C0[i * ld + j];
        return R;
    }
    // Elements that differ from the reference (exact comparison).
    u64 mismatches(const std::vector<double>& R) const {
        u64 bad = 0;
        for (u64 i = 0; i < N; ++i)
            for (u64 j = 0; j < N; ++j) bad += static_cast<double>(C[i * ld + j]) != R[i * N + j];
        return bad;
    }
};

u64 expected_calls(u64 q) { return q * q * q / 3 + 9 * q * q / 2 - q / 3; }

// Every main leaf of the scheme, from its definition.
std::vector<std::tuple<int, int, int, int, int>> scheme_leaves(u64 m) {
    std::vector<std::tuple<int, int, int, int, int>> v;
    for (int slice = 0; slice < 2; ++slice)
        for (int wrap = 0; wrap < 2; ++wrap)
            for (u64 i = 0; i < m; ++i)
                for (u64 j = 0; j < m; ++j)
                    for (u64 k = 0; k < m; ++k) {
                        const bool in = wrap == 0 ? (i <= j && j < k) || (k < j && j <= i) : !(i == j && j == k);
                        if (in) v.emplace_back(wrap, slice, static_cast<int>(i), static_cast<int>(j), static_cast<int>(k));
                    }
    std::sort(v.begin(), v.end());
    return v;
}

std::vector<std::tuple<int, int, int, int, int, int>> engine_groups() {
    std::vector<std::tuple<int, int, int, int, int, int>> v;
    for (const LeafGroup& g : state.groups) v.emplace_back(g.wrap, g.slice, g.i, g.j, g.k_begin, g.k_end);
    return v;
}

// Counts how often each leaf runs (through the leaf hook).
std::map<std::tuple<int, int, int, int, int>, int> leaf_runs;
std::mutex leaf_runs_mutex;
std::atomic<int> spin_ns{0};
std::atomic<int> longest_list{0};
void count_leaf(const LeafRef& l) {
    {
        std::lock_guard<std::mutex> lock(leaf_runs_mutex);
        ++leaf_runs[{l.wrap, l.slice, l.i, l.j, l.k}];
    }
    const int held = static_cast<int>(state.deferred[static_cast<std::size_t>(agg1_worker_id)].size());
    int seen = longest_list.load();
    while (held > seen && !longest_list.compare_exchange_weak(seen, held)) {
    }
    // Artificial contention: hold the tiles a while.
    const auto until = std::chrono::steady_clock::now() + std::chrono::nanoseconds(spin_ns.load());
    while (std::chrono::steady_clock::now() < until) {
    }
}

class Agg1Engine : public Agg1PooledTest {
protected:
    void SetUp() override {
        if (agg1::detail::pool.workers != test_workers()) place_pool(test_workers());
        agg1::detail::leaf_hook = nullptr;
        spin_ns = 0;
    }
    void TearDown() override {
        agg1::detail::leaf_hook = nullptr;
        agg1::release_workspace();
    }
};

}  // namespace

TEST_F(Agg1Engine, PrepareRefusesArgumentsAndBudget) {
    for (auto [q, block] : std::vector<std::pair<u64, u64>>{
             {3, 16}, {0, 16}, {1, 16}, {65002, 16}, {4, 0}, {2, (u64{1} << 30) + 1}})
        EXPECT_EQ(message_of<std::invalid_argument>([&] { agg1::prepare(q, block); }), "agg1: q must be even >= 2")
            << q << "," << block;
    const std::string budget = "agg1: workspace would exceed AGG_MAX_SCRATCH_GB (default 400 GB)";
    // q * block = 2^31 passes the range check; only the default budget stops it.
    EXPECT_EQ(message_of<std::invalid_argument>([] { agg1::prepare(2, u64{1} << 30); }), budget);

    agg1::prepare(4, 16);
    float* const first_sum = state.operand_sums[0][0];
    for (const char* limit : {"0", "abc", "nan", "1e-9"}) {
        ScopedEnv env("AGG_MAX_SCRATCH_GB", limit);
        EXPECT_EQ(message_of<std::invalid_argument>([] { agg1::prepare(6, 16); }), budget) << limit;
        // The check runs first even for the prepared size; the earlier state stays.
        EXPECT_EQ(message_of<std::invalid_argument>([] { agg1::prepare(4, 16); }), budget) << limit;
        EXPECT_TRUE(state.prepared);
        EXPECT_EQ(state.q, 4u);
        EXPECT_EQ(state.operand_sums[0][0], first_sum);
    }
    {
        ScopedEnv env("AGG_MAX_SCRATCH_GB", "1");
        agg1::prepare(6, 16);
        EXPECT_EQ(agg1::prepared_q(), 6u);
    }
    agg1::release_workspace();
    EXPECT_EQ(agg1::prepared_q(), 0u);
    EXPECT_EQ(agg1::scratch_bytes(), 0u);
    agg1::shutdown();
    EXPECT_EQ(message_of<std::logic_error>([] { agg1::prepare(4, 16); }), "agg1: init_pool first");
    agg1::init_pool(test_workers(), 0);
}

// q = 2 has no main leaves, q = 4 sixteen; a fresh preparation starts with
// every lock and claim flag clear; AGG_KCH <= 0 gives one leaf per group.
TEST_F(Agg1Engine, PrepareBuildsGroupsAndLocks) {
    agg1::prepare(2, 16);
    EXPECT_EQ(agg1::group_count(), 0u);
    agg1::prepare(4, 20);
    u64 leaves = 0;
    for (const LeafGroup& g : state.groups) leaves += g.k_end - g.k_begin;
    EXPECT_EQ(leaves, 16u);
    for (u64 i = 0; i < 16; ++i) EXPECT_EQ(state.tile_locks[i].load(), 0);
    for (u64 i = 0; i <= agg1::group_count(); ++i) EXPECT_EQ(state.claim_flags[i].load(), 0);
    for (const char* v : {"0", "-5"}) {
        ScopedEnv env("AGG_KCH", v);
        agg1::release_workspace();
        agg1::prepare(6, 16);
        EXPECT_EQ(state.kch, 1);
        for (const LeafGroup& g : state.groups) ASSERT_EQ(g.k_end - g.k_begin, 1);
    }
}

// For m = 1..6 and chunk lengths 1, 2 and 8: every main leaf lies in exactly
// one group, and no group holds more than the chunk length.
TEST_F(Agg1Engine, GroupsHoldEveryLeafOnceInChunks) {
    for (const char* kch : {"1", "2", "8"})
        for (u64 m = 1; m <= 6; ++m) {
            ScopedEnv env("AGG_KCH", kch);
            agg1::release_workspace();
            agg1::prepare(2 * m, 16);
            std::vector<std::tuple<int, int, int, int, int>> leaves;
            for (const LeafGroup& g : state.groups) {
                ASSERT_LE(static_cast<u64>(g.k_end - g.k_begin), std::strtoul(kch, nullptr, 10));
                for (int kk = g.k_begin; kk < g.k_end; ++kk) leaves.emplace_back(g.wrap, g.slice, g.i, g.j, kk);
            }
            std::sort(leaves.begin(), leaves.end());
            EXPECT_EQ(leaves, scheme_leaves(m)) << "m=" << m << " kch=" << kch;
            EXPECT_EQ(leaves.size(), agg1::detail::main_leaf_count(2 * m));
        }
}

// A chunk length past the 16-bit group bounds (or past m) is the whole range:
// the same groups as kch = m, never wrapped or repeated leaves.
TEST_F(Agg1Engine, LargeChunkLengthsAreClampedToTheRange) {
    std::vector<std::tuple<int, int, int, int, int, int>> whole;
    {
        ScopedEnv env("AGG_KCH", "5");
        agg1::prepare(10, 16);
        whole = engine_groups();
    }
    for (const char* v : {"6", "65536", "65541", "2147483648", "4294967301", "99999999999999999999"}) {
        ScopedEnv env("AGG_KCH", v);
        agg1::release_workspace();
        agg1::prepare(10, 16);
        EXPECT_EQ(state.kch, 5) << v;
        EXPECT_EQ(engine_groups(), whole) << v;
    }
    Problem p(160, true, 1);
    const auto C0 = p.C;
    p.run(false);
    EXPECT_EQ(p.mismatches(p.reference(C0, false)), 0u);
}

// A second prepare of the same size keeps buffers, groups and the earlier
// environment readings; a fresh one reads them again.
TEST_F(Agg1Engine, PrepareAgainKeepsBuffersAndReadings) {
    ScopedEnv redirect("AGG_REDIRECT", "0");
    agg1::prepare(6, 16);
    float* const ws = state.workspaces[0];
    const auto groups = engine_groups();
    ScopedEnv kch("AGG_KCH", "1");
    ScopedEnv redirect2("AGG_REDIRECT", "2");
    agg1::prepare(6, 16);
    EXPECT_EQ(state.workspaces[0], ws);
    EXPECT_EQ(engine_groups(), groups);
    EXPECT_EQ(state.redirect_mode, 0);
    agg1::release_workspace();
    agg1::prepare(6, 16);
    EXPECT_EQ(state.redirect_mode, 2);
    EXPECT_EQ(state.kch, 1);
    // Without AGG_REDIRECT a fresh preparation takes the default mode again.
    ScopedEnv no_redirect("AGG_REDIRECT", nullptr);
    agg1::release_workspace();
    agg1::prepare(6, 16);
    EXPECT_EQ(state.redirect_mode, 1);
}

// Exact products on small integers: q = 2 (corrections only) to 8, with and
// without accumulation; the counts of the report; a second run gives the same.
TEST_F(Agg1Engine, ExactOnSmallIntegers) {
    for (u64 q : {2u, 4u, 6u, 8u})
        for (bool accumulate : {false, true}) {
            SCOPED_TRACE("q=" + std::to_string(q) + " accumulate=" + std::to_string(accumulate));
            const u64 block = q == 6 ? 20 : 16;
            agg1::prepare(q, block);
            Problem p(q * block, true, static_cast<unsigned>(q));
            const auto C0 = p.C;
            const auto R = p.reference(C0, accumulate);
            for (int rep = 0; rep < 2; ++rep) {
                p.C = C0;
                const agg1::RunReport r = p.run(accumulate);
                EXPECT_EQ(p.mismatches(R), 0u);
                EXPECT_EQ(static_cast<u64>(r.kernel_calls), expected_calls(q));
                EXPECT_EQ(static_cast<u64>(r.main_leaves), (q * q * q - 4 * q) / 3);
                EXPECT_EQ(static_cast<u64>(r.correction_products), 9 * q * q / 2 + q);
                // Padding columns of C are never written.
                for (u64 i = 0; i < p.N; ++i)
                    for (u64 j = p.N; j < p.ld; ++j) ASSERT_EQ(p.C[i * p.ld + j], C0[i * p.ld + j]);
            }
            EXPECT_EQ(state.A, nullptr);
        }
}

// Random floats: within float32 tolerance of the FP64 product, also with the
// general form builders, blocked depth and plan overrides near 2^64.
TEST_F(Agg1Engine, FloatProductsWithinTolerance) {
    struct {
        const char *kc, *nc, *mc, *apf;
        bool general;
    } settings[] = {
        {nullptr, nullptr, nullptr, nullptr, false},
        {nullptr, nullptr, nullptr, nullptr, true},
        {"37", "32", "12", "1", false},
        {"18446744073709551615", "18446744073709551615", "18446744073709551614", "0", false},
    };
    for (const auto& s : settings) {
        ScopedEnv kc("AGG_KC", s.kc), nc("AGG_NC", s.nc), mc("AGG_MC", s.mc), apf("AGG_APF", s.apf);
        agg1::general_forms_only = s.general;
        agg1::release_workspace();
        agg1::prepare(8, 72);
        Problem p(8 * 72, false, 5);
        const auto R = p.reference(p.C, false);
        p.run(false);
        double err = 0, norm = 0;
        for (u64 i = 0; i < p.N; ++i)
            for (u64 j = 0; j < p.N; ++j) {
                const double d = p.C[i * p.ld + j] - R[i * p.N + j];
                err += d * d;
                norm += R[i * p.N + j] * R[i * p.N + j];
            }
        EXPECT_LT(std::sqrt(err / norm), 2e-5) << (s.kc ? s.kc : "default");
    }
    agg1::general_forms_only = false;
}

// Every main leaf runs exactly once in each redirect mode, with one, two and
// eight workers and under artificial contention (each leaf holds its tiles a
// while); the counters follow the mode.
TEST_F(Agg1Engine, EveryLeafOnceInEachRedirectMode) {
    for (int W : {1, 2, 8}) {
        if (W > static_cast<int>(usable_cpus().size())) continue;  // skipped below
        place_pool(W);
        for (const char* mode : {"0", "1", "2"})
            for (int spin : {0, 20000}) {
                SCOPED_TRACE("W=" + std::to_string(W) + " mode=" + mode + " spin=" + std::to_string(spin));
                ScopedEnv env("AGG_REDIRECT", mode);
                agg1::release_workspace();
                agg1::prepare(8, 16);
                leaf_runs.clear();
                longest_list = 0;
                spin_ns = spin;
                Problem p(128, true, 9);
                const auto C0 = p.C;
                p.run(false);  // the run without the hook allocates nothing on the workers
                EXPECT_EQ(worker_allocations.exchange(0), 0);
                agg1::detail::leaf_hook = count_leaf;
                p.C = C0;
                const agg1::RunReport r = p.run(false);
                agg1::detail::leaf_hook = nullptr;
                worker_allocations = 0;  // the hook's own map allocates
                EXPECT_EQ(p.mismatches(p.reference(C0, false)), 0u);
                EXPECT_EQ(leaf_runs.size(), 160u);
                for (const auto& [leaf, n] : leaf_runs) ASSERT_EQ(n, 1);
                EXPECT_EQ(r.main_leaves, 160);
                std::int64_t sum = 0;
                for (auto v : state.worker_leaves) sum += v;
                EXPECT_EQ(sum, 160);
                if (W == 1) {
                    EXPECT_TRUE(r.deferrals == 0 && r.redirects == 0 && r.drained == 0);
                }
                if (std::string(mode) == "2") {
                    EXPECT_TRUE(r.deferrals == 0 && r.drained == 0);
                } else if (std::string(mode) == "1") {
                    EXPECT_LE(longest_list.load(), 8);
                } else {
                    EXPECT_EQ(r.redirects, 0);
                }
                EXPECT_LE(r.finish_spread_seconds, r.main_seconds + 1e-9);
                // A worker that took no index of the phase (another took two) keeps -1.
                const auto& cpus = state.worker_cpu;
                EXPECT_GE(*std::max_element(cpus.begin(), cpus.end()), 0);
            }
    }
    if (static_cast<int>(usable_cpus().size()) < 8)
        GTEST_SKIP() << "the eight-worker case needs 8 usable CPUs; ran W = 1 and 2";
}

// A leaf that throws part-way: the failure reaches the caller, nothing hangs,
// and the next run (same preparation) computes the exact product.
TEST_F(Agg1Engine, FailurePartWayLeavesTheEngineUsable) {
    static std::atomic<int> seen{0};
    for (const char* mode : {"0", "1", "2"}) {
        SCOPED_TRACE(std::string("mode ") + mode);
        ScopedEnv env("AGG_REDIRECT", mode);
        agg1::release_workspace();
        agg1::prepare(8, 16);
        Problem p(128, true, 3);
        const auto C0 = p.C;
        seen = 0;
        agg1::detail::leaf_hook = [](const LeafRef&) {
            if (seen.fetch_add(1) == 40) throw std::runtime_error("leaf failed");
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        };
        EXPECT_EQ(message_of([&] { p.run(false); }), "leaf failed");
        agg1::detail::leaf_hook = nullptr;
        EXPECT_TRUE(state.prepared);
        EXPECT_EQ(state.A, nullptr);
        p.C = C0;
        p.run(false);
        EXPECT_EQ(p.mismatches(p.reference(C0, false)), 0u);
    }
}

TEST_F(Agg1Engine, RunChecksAndWorkerReport) {
    Problem p(64, true, 2);
    EXPECT_EQ(message_of<std::logic_error>([&] { p.run(false); }), "agg1: prepare first");
    agg1::prepare(4, 16);
    agg1::RunReport r;
    const std::string bad = "agg1: bad views";
    EXPECT_EQ(message_of<std::invalid_argument>([&] { agg1::run(&r, p.A.data(), p.ld, p.B.data(), p.ld, p.C.data(), 63, false); }), bad);
    EXPECT_EQ(message_of<std::invalid_argument>([&] { agg1::run(&r, nullptr, p.ld, p.B.data(), p.ld, p.C.data(), p.ld, false); }), bad);
    agg1::release_workspace();
    EXPECT_EQ(message_of<std::logic_error>([&] { p.run(false); }), "agg1: prepare first");

    if (usable_cpus().size() < 3) GTEST_SKIP() << "the worker report case needs 3 usable CPUs";
    place_pool(3);
    agg1::prepare(4, 16);
    ScopedEnv report("AGG_WORKER_REPORT", "");
    ::testing::internal::CaptureStderr();
    p.run(false);
    const std::string err = ::testing::internal::GetCapturedStderr();
    int workers = 0, summary = 0;
    for (std::size_t at = 0; (at = err.find("agg1 worker ", at)) != std::string::npos; ++at) ++workers;
    for (std::size_t at = 0; (at = err.find("agg1 workers: busy ", at)) != std::string::npos; ++at) ++summary;
    EXPECT_EQ(workers, 3) << err;
    EXPECT_EQ(summary, 1) << err;
}
