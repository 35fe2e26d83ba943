// The agg1 pool: placement, every index once, finish functions, failures.
#include "multiply/agg1/pool.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <new>
#include <thread>
#include <vector>

#include "common/cpus.h"
#include "common/testing/test_support.h"
#include "common/testing/test_watchdog.h"
#include "common/testing/thread_start_limit.h"
#include "multiply/agg1/agg1.h"
#include "multiply/pan_adapter/pool.h"

namespace {

std::vector<std::atomic<int>>* hits = nullptr;
std::atomic<int> finishes[1024];
std::atomic<int> misplaced{0};
int placement_base = 0;

bool on_own_cpu() {
    const int id = agg1_worker_id;
    return id >= 0 && id < agg1::detail::pool.workers && only_cpu() == team_cpu(placement_base, id);
}

void count_hit(int i) {
    (*hits)[static_cast<std::size_t>(i)].fetch_add(1);
    if (!on_own_cpu()) misplaced.fetch_add(1);
}
void count_finish() { finishes[agg1_worker_id].fetch_add(1); }

std::atomic<long> ran{0};
// So many jobs that all of them running before the failure lands would take
// seconds, even on a loaded machine where the failing worker is descheduled.
constexpr int kManyJobs = 1 << 25;
void throw_at_three(int i) {
    ran.fetch_add(1);
    if (i == 3) throw std::runtime_error("job 3 failed");
}
void count_hit_noop(int) {}
void finish_throws() { throw std::runtime_error("finish failed"); }

// One run of count indices with the finish function: each index once, the
// finish once on every worker.
void expect_each_once(int count) {
    std::vector<std::atomic<int>> v(static_cast<std::size_t>(count));
    hits = &v;
    const int W = agg1::detail::pool.workers;
    for (int w = 0; w < W; ++w) finishes[w] = 0;
    agg1::detail::pool.run(count, count_hit, count_finish);
    for (int i = 0; i < count; ++i) ASSERT_EQ(v[static_cast<std::size_t>(i)].load(), 1) << "count=" << count;
    for (int w = 0; w < W; ++w) ASSERT_EQ(finishes[w].load(), 1) << "worker " << w;
}

// The pool tests that run in this process (not the forked death tests).
class Agg1Pool : public ::testing::Test {
protected:
    const TestWatchdog watchdog_;  // a deadlocked run fails in seconds
};

}  // namespace

TEST_F(Agg1Pool, PlacementRefusalsAndSecondPlacement) {
    const int all = static_cast<int>(usable_cpus().size());
    for (auto [w, base] : std::vector<std::pair<int, int>>{{0, 0}, {1025, 0}, {4, -1}, {all + 1, 0}}) {
        EXPECT_EQ(message_of<std::invalid_argument>([&] { agg1::init_pool(w, base); }), "agg1: invalid pool")
            << w << "," << base;
        EXPECT_FALSE(agg1::detail::started);
    }
    EXPECT_EQ(message_of<std::logic_error>([] { agg1::prepare(4, 16); }), "agg1: init_pool first");
    EXPECT_EQ(message_of<std::logic_error>([] { agg1::detail::pool.run(1, count_hit, nullptr); }),
              "agg1: init_pool first");

    agg1::init_pool(1, 0);
    agg1::init_pool(1, 0);  // same values: nothing changes
    EXPECT_EQ(agg1::detail::pool.threads.size(), 1u);
    EXPECT_EQ(message_of<std::logic_error>([] { agg1::init_pool(2, 0); }), "agg1: pool placement already fixed");
    EXPECT_EQ(message_of<std::logic_error>([] { agg1::init_pool(0, 0); }), "agg1: pool placement already fixed");

    // A run of no index and no finish wakes nobody.
    const std::uint32_t generation = agg1::detail::pool.generation;
    agg1::detail::pool.run(0, count_hit, nullptr);
    EXPECT_EQ(agg1::detail::pool.generation, generation);

    agg1::shutdown();
    agg1::shutdown();  // not started: still fine
    EXPECT_FALSE(agg1::detail::started);
    const int w = std::min(2, test_workers());
    agg1::init_pool(w, 0);  // new values after a shutdown
    EXPECT_EQ(agg1::detail::pool.workers, w);
    agg1::shutdown();
}

// Each worker count, placed to end at the last usable CPU: every index runs
// once, on its worker's own CPU, and every worker calls finish once; a run of
// no index still calls every worker's finish.
TEST_F(Agg1Pool, EveryIndexOnceAndFinishOncePerWorker) {
    const int n = test_workers();
    for (int w = 1; w <= n; ++w) {
        placement_base = n - w;
        agg1::init_pool(w, placement_base);
        for (int count : {0, 1, w - 1, w, w + 1, 257, 5000})
            for (int rep = 0; rep < (count > 1000 ? 20 : 300); ++rep) expect_each_once(count);
        EXPECT_EQ(agg1_worker_id, -1);
        agg1::shutdown();
    }
    EXPECT_EQ(misplaced.load(), 0);
}

TEST_F(Agg1Pool, ExceptionsReachTheCallerAndThePoolKeepsWorking) {
    placement_base = 0;
    agg1::init_pool(test_workers(), 0);
    EXPECT_EQ(message_of([] { agg1::detail::pool.run(kManyJobs, throw_at_three, count_finish); }), "job 3 failed");
    EXPECT_LT(ran.load(), kManyJobs);  // the rest of the run was skipped
    expect_each_once(500);
    EXPECT_EQ(message_of([] { agg1::detail::pool.run(10, count_hit_noop, finish_throws); }), "finish failed");
    expect_each_once(500);
    agg1::shutdown();
}

TEST_F(Agg1Pool, WorkerIdIsMinusOneOutsideThePool) {
    EXPECT_EQ(agg1_worker_id, -1);
    int seen = 0;
    std::thread([&] { seen = agg1_worker_id; }).join();
    EXPECT_EQ(seen, -1);
    // Workers of the Pan pool are not agg1 workers either.
    static std::atomic<int> pan_seen{0};
    pan_adapter::init_pool(1, 0);
    pan_adapter::run_jobs(1, [](int) { pan_seen = agg1_worker_id; });
    {
        std::lock_guard<std::mutex> guard(pan_adapter::implementation::adapter_mutex);
        pan_adapter::implementation::stop_pool();
    }
    EXPECT_EQ(pan_seen.load(), -1);
}

// A thread that cannot start: the started ones are joined, the pool stays
// unstarted, the caller gets std::bad_alloc, and a later placement works.
TEST(Agg1PoolDeath, FailedStartLeavesThePoolUnstarted) {
#ifdef KORVANE_SANITIZER_BUILD
    GTEST_SKIP() << "sets an address-space limit (RLIMIT_AS), which a sanitizer's shadow memory cannot run under";
#endif
    if (usable_cpus().size() < 2) GTEST_SKIP() << "needs two usable CPUs";
    EXPECT_EXIT(
        {
            rlimit before{};
            getrlimit(RLIMIT_AS, &before);
            if (!limit_thread_starts(1)) std::exit(3);
            bool thrown = false;
            try {
                agg1::init_pool(test_workers(), 0);
            } catch (const std::bad_alloc&) {
                thrown = true;
            }
            const bool unstarted = !agg1::detail::started && agg1::detail::pool.threads.empty();
            setrlimit(RLIMIT_AS, &before);
            agg1::init_pool(test_workers(), 0);
            expect_each_once(100);
            agg1::shutdown();
            std::exit(thrown && unstarted && !::testing::Test::HasFailure() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(Agg1PoolDeath, ProcessEndsWithoutShutdown) {
    EXPECT_EXIT(
        {
            agg1::init_pool(test_workers(), 0);
            expect_each_once(10);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}
