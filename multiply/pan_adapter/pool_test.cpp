#include "multiply/pan_adapter/pool.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

int usable_workers() {
    long p = sysconf(_SC_NPROCESSORS_ONLN);
    return static_cast<int>(std::min<long>(8, p > 0 ? p : 1));
}

std::vector<std::atomic<int>>* hits = nullptr;
void count_hit(int i) { (*hits)[static_cast<std::size_t>(i)].fetch_add(1); }

std::atomic<int> bad_ids{0};
std::atomic<int> wrong_cpu{0};
int placement_base = 0;
void check_identity(int) {
    int id = pan_adapter::pan_worker_id;
    if (id < 0 || id >= pan_adapter::workers()) bad_ids.fetch_add(1);
    cpu_set_t set;
    CPU_ZERO(&set);
    pthread_getaffinity_np(pthread_self(), sizeof(set), &set);
    if (CPU_COUNT(&set) != 1 || !CPU_ISSET(placement_base + id, &set)) wrong_cpu.fetch_add(1);
}

std::atomic<long> ran{0};
void throw_at_three(int i) {
    ran.fetch_add(1);
    if (i == 3) throw std::runtime_error("job 3 failed");
}

std::atomic<int> negative{0};
std::atomic<int> top_hits{0};
void jump_to_end(int i) {
    if (i < 0) negative.fetch_add(1);
    if (i >= INT_MAX - 2) top_hits.fetch_add(1);
    // The first index moves the claim counter to the end of the range, so the
    // workers' final claims run past INT_MAX.
    if (i == 0) pan_adapter::implementation::pool.next.store(INT_MAX - 2);
}

template <class F>
std::string message_of(F f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(Pool, EveryIndexRunsExactlyOnceForEachWorkerCount) {
    for (int w = 1; w <= usable_workers(); ++w) {
        pan_adapter::init_pool(w, 0);
        for (int count : {0, 1, w - 1, w, w + 1, 257, 5000}) {
            if (count < 0) continue;
            for (int rep = 0; rep < (count > 1000 ? 20 : 300); ++rep) {
                std::vector<std::atomic<int>> v(static_cast<std::size_t>(count));
                hits = &v;
                pan_adapter::run_jobs(count, count_hit);
                for (int i = 0; i < count; ++i) ASSERT_EQ(v[static_cast<std::size_t>(i)].load(), 1) << "w=" << w << " count=" << count;
            }
        }
        pan_adapter::shutdown();
    }
}

TEST(Pool, WorkersArePinnedAndKnowTheirIndex) {
    int w = usable_workers();
    placement_base = 0;
    pan_adapter::init_pool(w, 0);
    EXPECT_EQ(pan_adapter::pan_worker_id, -1);
    pan_adapter::run_jobs(10 * w, check_identity);
    EXPECT_EQ(pan_adapter::pan_worker_id, -1);
    EXPECT_EQ(bad_ids.load(), 0);
    EXPECT_EQ(wrong_cpu.load(), 0);
    pan_adapter::shutdown();
    if (w >= 2) {
        placement_base = 1;
        pan_adapter::init_pool(w - 1, 1);
        pan_adapter::run_jobs(4 * w, check_identity);
        EXPECT_EQ(wrong_cpu.load(), 0);
        pan_adapter::shutdown();
    }
}

TEST(Pool, PlacementAndOrderErrors) {
    EXPECT_EQ(message_of([] { pan_adapter::run_jobs(1, count_hit); }), "Call pan_adapter::init_pool before run_jobs");
    for (auto [w, base] : std::vector<std::pair<int, int>>{{2, 1023}, {0, 0}, {1025, 0}, {4, -1}})
        EXPECT_EQ(message_of([&] { pan_adapter::init_pool(w, base); }), "Pan pool CPU range is invalid");
    EXPECT_THROW(pan_adapter::init_pool(0, 0), std::invalid_argument);

    pan_adapter::init_pool(2, 0);
    pan_adapter::init_pool(2, 0);  // same placement: nothing changes
    EXPECT_EQ(pan_adapter::workers(), 2);
    EXPECT_THROW(pan_adapter::init_pool(1, 0), std::logic_error);
    EXPECT_EQ(message_of([] { pan_adapter::init_pool(1, 0); }), "Call pan_adapter::shutdown before changing pool placement");
    EXPECT_THROW(pan_adapter::run_jobs(-1, count_hit), std::invalid_argument);
    EXPECT_EQ(message_of([] { pan_adapter::run_jobs(-1, count_hit); }), "Invalid Pan pool job dispatch");
    pan_adapter::shutdown();
    pan_adapter::shutdown();  // never started: still fine
    EXPECT_THROW(pan_adapter::run_jobs(1, count_hit), std::logic_error);

    // Restart with another placement after shutdown.
    pan_adapter::init_pool(1, 0);
    std::vector<std::atomic<int>> v(3);
    hits = &v;
    pan_adapter::run_jobs(3, count_hit);
    EXPECT_EQ(v[2].load(), 1);
    pan_adapter::shutdown();
}

TEST(Pool, JobExceptionReachesCallerAndPoolKeepsWorking) {
    pan_adapter::init_pool(usable_workers(), 0);
    ran = 0;
    EXPECT_EQ(message_of([] { pan_adapter::run_jobs(100000, throw_at_three); }), "job 3 failed");
    EXPECT_LT(ran.load(), 100000);  // the rest of the dispatch was skipped
    // The next dispatch runs in full and throws nothing.
    std::vector<std::atomic<int>> v(500);
    hits = &v;
    pan_adapter::run_jobs(500, count_hit);
    for (auto& h : v) ASSERT_EQ(h.load(), 1);
    pan_adapter::shutdown();
}

TEST(Pool, ClaimsNearIntMaxNeverGoNegative) {
    pan_adapter::init_pool(usable_workers(), 0);
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
            pan_adapter::init_pool(usable_workers(), 0);
            std::vector<std::atomic<int>> v(10);
            hits = &v;
            pan_adapter::run_jobs(10, count_hit);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}
