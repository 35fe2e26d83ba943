#include "modp/pool.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <vector>

namespace {

using torvik::parse_cpu_list;

TEST(ModpCpuList, Grammar) {
    EXPECT_EQ(parse_cpu_list("0-3,8"), (std::vector<int>{0, 1, 2, 3, 8}));
    EXPECT_EQ(parse_cpu_list("3-1"), std::vector<int>{});
    EXPECT_EQ(parse_cpu_list("5,2000"), std::vector<int>{5});
    std::vector<int> high;
    for (int c = 1000; c <= 1023; ++c) high.push_back(c);
    EXPECT_EQ(parse_cpu_list("1000-5000"), high);
    EXPECT_EQ(parse_cpu_list("2,2"), (std::vector<int>{2, 2}));
    EXPECT_EQ(parse_cpu_list("none"), std::vector<int>{});
    EXPECT_EQ(parse_cpu_list(""), std::vector<int>{});
    // A second dash after a range separates items.
    EXPECT_EQ(parse_cpu_list("1-2-3"), (std::vector<int>{1, 2, 3}));
    // A dash with no digits after it is the range a..0.
    EXPECT_EQ(parse_cpu_list("4-"), std::vector<int>{});
    EXPECT_EQ(parse_cpu_list("0-"), std::vector<int>{0});
    // Sibling-file style line with a newline, any separators, order kept.
    EXPECT_EQ(parse_cpu_list("7 ; 3\n"), (std::vector<int>{7, 3}));
    // Digit runs far beyond int range neither overflow nor get accepted.
    EXPECT_EQ(parse_cpu_list("99999999999999999999999,1"), std::vector<int>{1});
    EXPECT_EQ(parse_cpu_list("1023-99999999999999999999"), std::vector<int>{1023});
}

TEST(ModpPool, EveryTaskRunsExactlyOnce) {
    torvik::Pool pool;
    pool.start(4, 0);
    for (int tasks : {0, 1, 3, 4, 5, 257, 10000}) {
        std::vector<std::atomic<int>> hits(static_cast<size_t>(tasks > 0 ? tasks : 1));
        std::atomic<int> bad_worker{0};
        pool.run(tasks, [&](int t, int w) {
            hits[static_cast<size_t>(t)].fetch_add(1);
            if (w < 0 || w >= 4) bad_worker.fetch_add(1);
        });
        for (int t = 0; t < tasks; ++t) EXPECT_EQ(hits[static_cast<size_t>(t)].load(), 1) << tasks << " " << t;
        if (tasks == 0) {
            EXPECT_EQ(hits[0].load(), 0);
        }
        EXPECT_EQ(bad_worker.load(), 0);
    }
    // Negative counts run nothing.
    std::atomic<int> ran{0};
    pool.run(-5, [&](int, int) { ran.fetch_add(1); });
    EXPECT_EQ(ran.load(), 0);
    pool.stop();
    pool.stop();  // a second stop is harmless
}

TEST(ModpPool, DispatchIsABarrierAndWorkersUseDistinctIndices) {
    torvik::Pool pool;
    pool.start(3, 0);
    // Each worker index is held by one thread at a time: per-worker
    // counters updated without atomics must add up.
    std::vector<long> per_worker(3, 0);
    for (int round = 0; round < 50; ++round) {
        pool.run(200, [&](int, int w) { per_worker[static_cast<size_t>(w)] += 1; });
    }
    EXPECT_EQ(per_worker[0] + per_worker[1] + per_worker[2], 50 * 200);
    pool.stop();
}

TEST(ModpPool, DefaultCpuListIsOnePerCoreAndWorkersArePinned) {
    // Without KORVANE_CPUS (the test environment leaves it unset) the list
    // holds allowed CPUs in ascending order without siblings.
    if (std::getenv("KORVANE_CPUS")) GTEST_SKIP() << "KORVANE_CPUS set in the environment";
    const std::vector<int>& list = torvik::worker_cpu_list();
    ASSERT_FALSE(list.empty());
    for (size_t i = 1; i < list.size(); ++i) EXPECT_LT(list[i - 1], list[i]);
    cpu_set_t mine;
    ASSERT_EQ(sched_getaffinity(0, sizeof(mine), &mine), 0);
    for (int c : list) EXPECT_TRUE(CPU_ISSET(c, &mine)) << c;

    const int workers = static_cast<int>(list.size()) < 4 ? static_cast<int>(list.size()) : 4;
    torvik::Pool pool;
    pool.start(workers, 1);
    std::vector<int> cpu_of(static_cast<size_t>(workers), -2);
    pool.run(2000, [&](int, int w) {
        cpu_set_t set;
        CPU_ZERO(&set);
        pthread_getaffinity_np(pthread_self(), sizeof(set), &set);
        int only = -1;
        if (CPU_COUNT(&set) == 1)
            for (int c = 0; c < CPU_SETSIZE; ++c)
                if (CPU_ISSET(c, &set)) only = c;
        cpu_of[static_cast<size_t>(w)] = only;
        usleep(50);
    });
    pool.stop();
    for (int w = 0; w < workers; ++w) {
        if (cpu_of[static_cast<size_t>(w)] == -2) continue;  // took no task
        EXPECT_EQ(cpu_of[static_cast<size_t>(w)], list[static_cast<size_t>(w + 1) % list.size()]) << w;
    }
}

}  // namespace
