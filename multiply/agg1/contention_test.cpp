// Contention in the agg1 main products, forced rather than hoped for: the
// first worker to reach a leaf product keeps that leaf's three output tiles
// locked (through the leaf hook) until the other worker has run into them in
// the way under test. Also the order of the leaf-group list and the worker
// report.
#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "common/printf_format.h"
#include "common/testing/test_support.h"
#include "common/testing/test_watchdog.h"
#include "multiply/agg1/agg1.h"
#include "multiply/agg1/engine.h"

using agg1::detail::LeafGroup;
using agg1::detail::LeafRef;
using agg1::detail::state;
using u64 = std::uint64_t;

namespace {

// The engine's own lines of captured standard error (a sanitizer may add others).
std::vector<std::string> agg1_lines(const std::string& err) {
    std::istringstream in(err);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);)
        if (line.starts_with("agg1 ")) out.push_back(line);
    return out;
}

// What the holding hook saw in one run.
struct Hold {
    int mode = 1;                       // the redirect mode of the run
    std::atomic<int> holder{-1};        // worker that keeps its first leaf's tiles
    LeafRef leaf{};                     // that leaf
    u64 tiles[3] = {};                  // and its tiles
    std::atomic<bool> known{false};     // leaf and tiles are written
    std::atomic<bool> released{false};  // the holder has gone on
    std::atomic<int> around{0};         // other workers' products on a tile while it was held
    std::atomic<int> around_in_groups{0};  // of them, while both workers claimed groups
    std::atomic<int> longest_list{0};   // longest deferral list seen at a product
    std::atomic<bool> timed_out{false};
};
Hold* hold = nullptr;

bool shares_a_held_tile(const LeafRef& leaf) {
    const agg1::detail::LeafTerms t = agg1::detail::leaf_terms(leaf);
    for (u64 x : t.tile)
        if (std::find(hold->tiles, hold->tiles + 3, x) != hold->tiles + 3) return true;
    return false;
}

// Whether the other worker has done what the run waits for: in mode 0 it has
// handed its deferred leaves to the drain and is draining; otherwise it has
// run a product around a held tile (a redirect, the only way past it).
bool other_worker_is_through() {
    if (hold->mode != 0) return hold->around.load() > 0;
    std::lock_guard<std::mutex> lock(state.drain_mutex);
    return state.active_workers.load() == 1 && !state.drain_stack.empty();
}

void holding_hook(const LeafRef& leaf) {
    const int id = agg1_worker_id;
    const int list = static_cast<int>(state.deferred[static_cast<std::size_t>(id)].size());
    for (int seen = hold->longest_list.load(); list > seen && !hold->longest_list.compare_exchange_weak(seen, list);) {
    }
    int none = -1;
    if (hold->holder.compare_exchange_strong(none, id)) {
        hold->leaf = leaf;
        const agg1::detail::LeafTerms t = agg1::detail::leaf_terms(leaf);
        std::copy(t.tile, t.tile + 3, hold->tiles);
        hold->known.store(true);
        // A guard against a hang if the engine never gets there; not a timing check.
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!other_worker_is_through()) {
            if (std::chrono::steady_clock::now() > give_up) {
                hold->timed_out = true;
                break;
            }
            sched_yield();
        }
        hold->released.store(true);
        return;
    }
    // A holder exists; until it has written its tiles this leaf cannot be
    // judged, and a leaf on a held tile that slipped through unjudged would
    // leave its worker waiting for that tile while the holder waits for it.
    while (!hold->known.load()) sched_yield();
    if (id != hold->holder.load() && !hold->released.load() && shares_a_held_tile(leaf)) {
        if (state.active_workers.load() == 2) hold->around_in_groups.fetch_add(1);
        hold->around.fetch_add(1);
    }
}

// Integer inputs of side q*block (row stride +3), so that every result is exact.
struct Inputs {
    u64 N, ld;
    std::vector<float> A, B, C;
    Inputs(u64 n, unsigned seed) : N(n), ld(n + 3), A(ld * n), B(ld * n), C(ld * n, 7.0f) {
        std::mt19937 rng(seed);
        std::uniform_int_distribution<int> d(-2, 2);
        for (auto* v : {&A, &B})
            for (float& x : *v) x = static_cast<float>(d(rng));
    }
    u64 wrong_entries() const {
        u64 bad = 0;
        for (u64 i = 0; i < N; ++i)
            for (u64 j = 0; j < N; ++j) {
                double s = 0;
                for (u64 k = 0; k < N; ++k) s += static_cast<double>(A[i * ld + k]) * B[k * ld + j];
                bad += static_cast<double>(C[i * ld + j]) != s;
            }
        return bad;
    }
};

// Leaves outside the holder's group that share one of its tiles: the ones the
// other worker meets while the tiles are held.
int conflicting_leaves() {
    int n = 0;
    for (const LeafGroup& g : state.groups) {
        const bool holders = g.wrap == hold->leaf.wrap && g.slice == hold->leaf.slice && g.i == hold->leaf.i &&
                             g.j == hold->leaf.j && hold->leaf.k >= g.k_begin && hold->leaf.k < g.k_end;
        if (holders) continue;
        for (int k = g.k_begin; k < g.k_end; ++k)
            n += shares_a_held_tile(LeafRef{g.wrap, g.slice, g.i, g.j, static_cast<std::uint16_t>(k)});
    }
    return n;
}

class Agg1Contention : public ::testing::Test {
protected:
    const TestWatchdog watchdog_;  // a deadlocked run fails in seconds
    void SetUp() override {
        if (usable_cpus().size() < 2) GTEST_SKIP() << "forced contention needs two workers on two usable CPUs";
        agg1::shutdown();
        agg1::init_pool(2, test_cpu_base());
    }
    void TearDown() override {
        agg1::detail::leaf_hook = nullptr;
        hold = nullptr;
        agg1::shutdown();
    }

    // One run of side q*16 in the given redirect mode with the holding hook.
    static agg1::RunReport held_run(int mode, u64 q, Hold& h) {
        ScopedEnv env("AGG_REDIRECT", std::to_string(mode).c_str());
        agg1::release_workspace();
        agg1::prepare(q, 16);
        h.mode = mode;
        hold = &h;
        agg1::detail::leaf_hook = holding_hook;
        Inputs in(q * 16, static_cast<unsigned>(q + mode));
        agg1::RunReport r;
        agg1::run(&r, in.A.data(), in.ld, in.B.data(), in.ld, in.C.data(), in.ld, false);
        agg1::detail::leaf_hook = nullptr;
        EXPECT_FALSE(h.timed_out.load()) << "the other worker never got past the held tiles";
        EXPECT_EQ(in.wrong_entries(), 0u);
        EXPECT_EQ(r.main_leaves, static_cast<std::int64_t>(agg1::detail::main_leaf_count(q)));
        EXPECT_EQ(r.deferrals, state.deferrals.load());
        EXPECT_EQ(r.redirects, state.redirects.load());
        EXPECT_EQ(r.drained, state.drained.load());
        return r;
    }
};

}  // namespace

// Mode 0 never redirects: the other worker defers every leaf on a held tile,
// hands them to the drain when it runs out of groups, and the drains run them
// once the tiles are free.
TEST_F(Agg1Contention, DeferredLeavesGoToTheDrain) {
    for (u64 q : {4u, 8u}) {
        SCOPED_TRACE("q=" + std::to_string(q));
        Hold h;
        const agg1::RunReport r = held_run(0, q, h);
        const int conflicts = conflicting_leaves();
        ASSERT_GT(conflicts, 0);
        EXPECT_GE(r.deferrals, conflicts);  // each failed once while held
        EXPECT_GE(r.drained, 1);
        EXPECT_LE(r.drained, r.deferrals);  // only deferred leaves reach the drain
        EXPECT_EQ(r.redirects, 0);
        EXPECT_EQ(h.around.load(), 0);  // nothing went past a held tile
    }
}

// Mode 1: a worker keeps at most eight deferred leaves; its ninth deferral is
// redirected at once, while it still claims groups. With fewer than nine
// leaves on the held tiles, the redirect happens in the drain instead.
TEST_F(Agg1Contention, NinthDeferralIsRedirectedAtOnceElseInTheDrain) {
    bool at_once = false, in_drain = false;
    for (u64 q : {4u, 8u, 10u}) {
        SCOPED_TRACE("q=" + std::to_string(q));
        Hold h;
        const agg1::RunReport r = held_run(1, q, h);
        const int conflicts = conflicting_leaves();
        EXPECT_LE(h.longest_list.load(), 8);
        EXPECT_GE(r.redirects, 1);
        EXPECT_GE(h.around.load(), 1);
        if (conflicts >= 9) {
            at_once = true;
            EXPECT_GE(r.deferrals, 9);
            EXPECT_GE(h.around_in_groups.load(), 1) << "the ninth deferral was not redirected while claiming";
        } else {
            in_drain = true;
            EXPECT_GE(r.deferrals, conflicts);
            EXPECT_EQ(h.around_in_groups.load(), 0);
            EXPECT_GE(r.drained, 1);
        }
    }
    EXPECT_TRUE(at_once && in_drain) << "the grid sizes no longer cover both ways";
}

// Mode 2 redirects every leaf from the start: no deferral, no drain, and the
// redirects count the busy tiles.
TEST_F(Agg1Contention, RedirectEveryLeafCountsBusyTiles) {
    Hold h;
    const agg1::RunReport r = held_run(2, 8, h);
    EXPECT_EQ(r.deferrals, 0);
    EXPECT_EQ(r.drained, 0);
    EXPECT_GE(r.redirects, 1);
    EXPECT_GE(h.around.load(), 1);
}

// The final group list interleaves the four (wrap, slice) buckets one group at
// a time, all first chunks before all second chunks, each bucket in the
// diagonal order of its base groups.
TEST_F(Agg1Contention, LeafGroupListOrder) {
    using G = std::tuple<int, int, int, int, int, int>;
    for (int kch : {1, 2, 3, 8})
        for (int m = 1; m <= 6; ++m) {
            std::vector<G> bucket[4];
            for (int slice = 0; slice < 2; ++slice) {
                auto& b0 = bucket[2 * slice];
                auto& b1 = bucket[1 + 2 * slice];
                for (int t = 0; t < m * m; ++t) {
                    const int a = t % m, b = (t / m + a) % m;
                    if (b >= a) {
                        if (b + 1 < m) b0.emplace_back(0, slice, a, b, b + 1, m);
                        if (a == b && a != 0) b0.emplace_back(0, slice, a, a, 0, a);
                    } else if (b != 0) {
                        b0.emplace_back(0, slice, a, b, 0, b);
                    }
                }
                for (int t = 0; t < m * m; ++t) {
                    const int a = t % m, b = (t / m + a) % m;
                    if (a != b) {
                        b1.emplace_back(1, slice, a, b, 0, m);
                    } else {
                        if (a != 0) b1.emplace_back(1, slice, a, a, 0, a);
                        if (a + 1 < m) b1.emplace_back(1, slice, a, a, a + 1, m);
                    }
                }
            }
            std::vector<G> want;
            for (int c = 0;; ++c) {
                std::size_t cursor[4] = {0, 0, 0, 0};
                const std::size_t before = want.size();
                for (bool any = true; any;) {
                    any = false;
                    for (int k = 0; k < 4; ++k)
                        while (cursor[k] < bucket[k].size()) {
                            const auto [w, s, i, j, lo, hi] = bucket[k][cursor[k]++];
                            if (lo + c * kch >= hi) continue;
                            want.emplace_back(w, s, i, j, lo + c * kch, std::min(lo + (c + 1) * kch, hi));
                            any = true;
                            break;
                        }
                }
                if (want.size() == before) break;
            }
            ScopedEnv env("AGG_KCH", std::to_string(kch).c_str());
            agg1::release_workspace();
            agg1::prepare(2 * static_cast<u64>(m), 16);
            std::vector<G> got;
            for (const LeafGroup& g : state.groups) got.emplace_back(g.wrap, g.slice, g.i, g.j, g.k_begin, g.k_end);
            EXPECT_EQ(got, want) << "m=" << m << " kch=" << kch;
        }

    // m = 2, one leaf a group: the buckets' first groups in turn.
    ScopedEnv env("AGG_KCH", "1");
    agg1::release_workspace();
    agg1::prepare(4, 16);
    std::vector<G> got;
    for (const LeafGroup& g : state.groups) got.emplace_back(g.wrap, g.slice, g.i, g.j, g.k_begin, g.k_end);
    const std::vector<G> want = {
        {0, 0, 0, 0, 1, 2}, {1, 0, 0, 0, 1, 2}, {0, 1, 0, 0, 1, 2}, {1, 1, 0, 0, 1, 2},
        {0, 0, 1, 1, 0, 1}, {1, 0, 1, 1, 0, 1}, {0, 1, 1, 1, 0, 1}, {1, 1, 1, 1, 0, 1},
        {1, 0, 0, 1, 0, 1}, {1, 1, 0, 1, 0, 1}, {1, 0, 1, 0, 0, 1}, {1, 1, 1, 0, 0, 1},
        {1, 0, 0, 1, 1, 2}, {1, 1, 0, 1, 1, 2}, {1, 0, 1, 0, 1, 2}, {1, 1, 1, 0, 1, 2}};
    EXPECT_EQ(got, want);
}

// The worker report: at most six workers, latest finish first, then the
// summary; every field in its format.
TEST_F(Agg1Contention, WorkerReportShowsTheSixLatestWorkers) {
    agg1::prepare(4, 16);
    const auto saved = std::make_tuple(state.worker_leaves, state.worker_busy, state.worker_finish, state.worker_cpu);
    state.worker_finish = {0.5, 2.25, 1.0, 3.0, 0.25, 2.0, 1.5, 0.75};
    state.worker_cpu = {0, 1, 2, 12, 4, 105, 6, 7};
    state.worker_leaves = {7, 9, 11, 40, 13, 15, 17, 19};
    state.worker_busy = {0.125, 1.0, 0.5, 1.25, 2.5, 0.75, 0.3125, 0.875};
    agg1::RunReport r{};
    r.leaves_min = 7;
    r.leaves_max = 40;
    ::testing::internal::CaptureStderr();
    agg1::detail::worker_report(r);
    const std::vector<std::string> lines = agg1_lines(::testing::internal::GetCapturedStderr());
    std::tie(state.worker_leaves, state.worker_busy, state.worker_finish, state.worker_cpu) = saved;
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "agg1 worker  3 cpu  12: leaves 40, busy 1.250 s, finished at 3.000 s",
                         "agg1 worker  1 cpu   1: leaves 9, busy 1.000 s, finished at 2.250 s",
                         "agg1 worker  5 cpu 105: leaves 15, busy 0.750 s, finished at 2.000 s",
                         "agg1 worker  6 cpu   6: leaves 17, busy 0.312 s, finished at 1.500 s",
                         "agg1 worker  2 cpu   2: leaves 11, busy 0.500 s, finished at 1.000 s",
                         "agg1 worker  7 cpu   7: leaves 19, busy 0.875 s, finished at 0.750 s",
                         "agg1 workers: busy 0.125-2.500 s, leaves 7-40"}));

    // A real run of two workers: both lines and the summary, from the run's figures.
    ScopedEnv report("AGG_WORKER_REPORT", "");
    Inputs in(64, 3);
    ::testing::internal::CaptureStderr();
    agg1::run(&r, in.A.data(), in.ld, in.B.data(), in.ld, in.C.data(), in.ld, false);
    const std::vector<std::string> got = agg1_lines(::testing::internal::GetCapturedStderr());
    ASSERT_EQ(got.size(), 3u);
    double later = 1e30;
    long leaves = 0;
    std::vector<int> ids;
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(printf_format::mismatch(got[i], "agg1 worker %2d cpu %3d: leaves %ld, busy %.3f s, finished at %.3f s"),
                  "");
        int id = -1, cpu = -1;
        long n = 0;
        double busy = 0, at = 0;
        ASSERT_EQ(std::sscanf(got[i].c_str(), "agg1 worker %d cpu %d: leaves %ld, busy %lf s, finished at %lf s", &id,
                              &cpu, &n, &busy, &at),
                  5);
        EXPECT_LE(at, later);
        later = at;
        leaves += n;
        ids.push_back(id);
        EXPECT_EQ(n, state.worker_leaves.at(static_cast<std::size_t>(id)));
    }
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<int>{0, 1}));
    EXPECT_EQ(leaves, 16);
    EXPECT_EQ(printf_format::mismatch(got[2], "agg1 workers: busy %.3f-%.3f s, leaves %ld-%ld"), "");
    EXPECT_TRUE(got[2].ends_with(", leaves " + std::to_string(r.leaves_min) + "-" + std::to_string(r.leaves_max)));
}
