#include "common/pinned_thread.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

#include "common/cpus.h"
#include "common/testing/test_support.h"
#include "common/testing/thread_start_limit.h"

namespace {

void report(int cpu, int rc) { std::fprintf(stderr, "test pin failed for CPU%d rc=%d\n", cpu, rc); }

std::atomic<bool> stop_flag{false};
std::atomic<int> entered{0}, left{0}, misplaced{0};

// Waits for stop; notes whether the thread runs on its team CPU only.
void wait_for_stop(int i) {
    entered.fetch_add(1);
    if (only_cpu() != team_cpu(0, i)) misplaced.fetch_add(1);
    while (!stop_flag.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    left.fetch_add(1);
}

}  // namespace

TEST(PinnedThread, TeamRunsEachWorkerOnItsCpuAndStops) {
    const int n = test_workers();
    std::vector<std::thread> threads;
    stop_flag = false;
    entered = left = misplaced = 0;
    start_pinned_team(threads, n, 0, wait_for_stop, [] { stop_flag = true; }, report);
    ASSERT_EQ(threads.size(), static_cast<std::size_t>(n));
    stop_flag = true;
    for (auto& t : threads) t.join();
    EXPECT_EQ(entered.load(), n);
    EXPECT_EQ(misplaced.load(), 0);
}

TEST(PinnedThreadDeath, PinningToAnUnusableCpuReportsAndAborts) {
    EXPECT_DEATH(pin_current_thread(1024, report), "test pin failed for CPU1024");
    EXPECT_DEATH(pin_current_thread(-1, report), "test pin failed for CPU-1");
}

// A thread that cannot start: the ones already running are told to stop and
// joined, the vector is left empty and the caller gets std::bad_alloc (a
// memory shortage: no address space for another stack).
TEST(PinnedThreadDeath, FailedStartStopsAndJoinsTheStartedThreads) {
#ifdef KORVANE_SANITIZER_BUILD
    GTEST_SKIP() << "sets an address-space limit (RLIMIT_AS), which a sanitizer's shadow memory cannot run under";
#endif
    if (usable_cpus().size() < 2) GTEST_SKIP() << "needs two usable CPUs";
    EXPECT_EXIT(
        {
            if (!limit_thread_starts(1)) std::exit(3);
            std::vector<std::thread> threads;
            int stops = 0;
            bool thrown = false;
            try {
                start_pinned_team(threads, static_cast<int>(usable_cpus().size()), 0, wait_for_stop,
                                  [&] {
                                      ++stops;
                                      stop_flag = true;
                                  },
                                  report);
            } catch (const std::bad_alloc&) {
                thrown = true;
            }
            const bool ok = thrown && stops == 1 && threads.empty() && entered.load() >= 1 &&
                            entered.load() == left.load();
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
