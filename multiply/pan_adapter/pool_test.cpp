#include "multiply/pan_adapter/pool.h"

#include <gtest/gtest.h>

#include "common/cpus.h"

#include <atomic>
#include <climits>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/testing/test_support.h"

namespace {

// Counts each index and notes any job that runs outside its own pinned CPU.
std::vector<std::atomic<int>>* hits = nullptr;
int placement_base = 0;
std::atomic<int> misplaced{0};
void count_hit(int i) {
    (*hits)[static_cast<std::size_t>(i)].fetch_add(1);
    const int id = pan_adapter::pan_worker_id;
    if (id < 0 || id >= pan_adapter::workers() || only_cpu() != team_cpu(placement_base, id)) misplaced.fetch_add(1);
}

// Runs count_hit over `count` indices and checks that each ran exactly once.
void expect_each_once(int count) {
    std::vector<std::atomic<int>> v(static_cast<std::size_t>(count));
    hits = &v;
    pan_adapter::run_jobs(count, count_hit);
    for (int i = 0; i < count; ++i) ASSERT_EQ(v[static_cast<std::size_t>(i)].load(), 1) << "count=" << count;
}

std::atomic<long> ran{0};
// So many jobs that all of them running before the failure lands would take
// seconds, even on a loaded machine where the failing worker is descheduled.
constexpr int kManyJobs = 1 << 25;
void throw_at_three(int i) {
    ran.fetch_add(1);
    if (i == 3) throw std::runtime_error("job 3 failed");
}

std::atomic<int> negative{0}, top_hits{0};
void jump_to_end(int i) {
    if (i < 0) negative.fetch_add(1);
    if (i >= INT_MAX - 2) top_hits.fetch_add(1);
    // The first index moves the claim counter to the end of the range, so the
    // workers' final claims run past INT_MAX.
    if (i == 0) pan_adapter::implementation::pool.next.store(INT_MAX - 2);
}

}  // namespace

// Each worker count, placed to end at the last test CPU (the pool restarts with a
// new placement every time): each index runs once, each job on its own worker's CPU.
TEST(Pool, EveryIndexRunsExactlyOnceOnPinnedWorkers) {
    const std::vector<int> cpus = test_cpus();
    const int n = static_cast<int>(cpus.size());
    for (int w = 1; w <= n; ++w) {
        placement_base = cpus[n - w];
        pan_adapter::init_pool(w, placement_base);
        for (int count : {0, 1, w - 1, w, w + 1, 257, 5000})
            for (int rep = 0; rep < (count > 1000 ? 20 : 300); ++rep) expect_each_once(count);
        EXPECT_EQ(pan_adapter::pan_worker_id, -1);  // the caller never runs a job
        pan_adapter::shutdown();
    }
    EXPECT_EQ(misplaced.load(), 0);
}

TEST(Pool, PlacementAndOrderErrors) {
    EXPECT_EQ(message_of<std::logic_error>([] { pan_adapter::run_jobs(1, count_hit); }),
              "Call pan_adapter::init_pool before run_jobs");
    // The last case asks for one worker more than the process has CPUs.
    const int all = static_cast<int>(usable_cpus().size());
    for (auto [w, base] : std::vector<std::pair<int, int>>{{2, 1023}, {0, 0}, {1025, 0}, {4, -1}, {all + 1, 0}})
        EXPECT_EQ(message_of<std::invalid_argument>([&] { pan_adapter::init_pool(w, base); }),
                  "Pan pool CPU range is invalid");

    const int base = placement_base = test_cpu_base();
    pan_adapter::init_pool(2, base);
    pan_adapter::init_pool(2, base);  // same placement: nothing changes
    EXPECT_EQ(pan_adapter::workers(), 2);
    EXPECT_EQ(message_of<std::logic_error>([&] { pan_adapter::init_pool(1, base); }),
              "Call pan_adapter::shutdown before changing pool placement");
    EXPECT_EQ(message_of<std::invalid_argument>([] { pan_adapter::run_jobs(-1, count_hit); }),
              "Invalid Pan pool job dispatch");
    pan_adapter::shutdown();
    pan_adapter::shutdown();  // never started: still fine
    EXPECT_EQ(message_of<std::logic_error>([] { pan_adapter::run_jobs(1, count_hit); }),
              "Call pan_adapter::init_pool before run_jobs");
}

TEST(Pool, JobExceptionReachesCallerAndPoolKeepsWorking) {
    placement_base = test_cpu_base();
    pan_adapter::init_pool(test_workers(), placement_base);
    EXPECT_EQ(message_of([] { pan_adapter::run_jobs(kManyJobs, throw_at_three); }), "job 3 failed");
#ifndef KORVANE_SANITIZER_BUILD  // a sanitizer unwinds so slowly that the other workers may finish the dispatch
    EXPECT_LT(ran.load(), kManyJobs);  // the rest of the dispatch was skipped
#endif
    expect_each_once(500);          // the next dispatch runs in full and throws nothing
    pan_adapter::shutdown();
}

TEST(Pool, ClaimsNearIntMaxNeverGoNegative) {
    pan_adapter::init_pool(test_workers(), test_cpu_base());
    for (int rep = 0; rep < 50; ++rep) {
        negative = 0;
        top_hits = 0;
        pan_adapter::run_jobs(INT_MAX, jump_to_end);
        EXPECT_EQ(negative.load(), 0);
        EXPECT_EQ(top_hits.load(), 2);  // INT_MAX - 2 and INT_MAX - 1, once each
    }
    pan_adapter::shutdown();
}

TEST(Pool, ProcessEndsWithoutShutdown) {
    // A program that returns from main with the pool running must still exit.
    EXPECT_EXIT(
        {
            pan_adapter::init_pool(test_workers(), test_cpu_base());
            expect_each_once(10);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}
