// The CPU list is built once per process, so the environment case lives in
// a test program of its own that sets KORVANE_CPUS before anything reads it.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "modp/pool.h"

namespace {

TEST(ModpCpuListEnvironment, GivenListIsUsedInOrderAndWraps) {
    ASSERT_EQ(setenv("KORVANE_CPUS", "3,1,1", 1), 0);
    EXPECT_EQ(torvik::worker_cpu_list(), (std::vector<int>{3, 1, 1}));

    // Four workers on a list of three: worker 3 shares worker 0's CPU.
    torvik::Pool pool;
    pool.start(4, 0);
    std::vector<int> cpu_of(4, -2);
    pool.run(4000, [&](int, int w) {
        cpu_set_t set;
        CPU_ZERO(&set);
        pthread_getaffinity_np(pthread_self(), sizeof(set), &set);
        int only = -1;
        if (CPU_COUNT(&set) == 1)
            for (int c = 0; c < CPU_SETSIZE; ++c)
                if (CPU_ISSET(c, &set)) only = c;
        cpu_of[static_cast<size_t>(w)] = only;
        usleep(20);
    });
    pool.stop();
    const int expected[4] = {3, 1, 1, 3};
    for (int w = 0; w < 4; ++w) {
        if (cpu_of[static_cast<size_t>(w)] == -2) continue;  // took no task
        EXPECT_EQ(cpu_of[static_cast<size_t>(w)], expected[w]) << w;
    }
    // Once built, the list no longer follows the environment.
    setenv("KORVANE_CPUS", "0", 1);
    EXPECT_EQ(torvik::worker_cpu_list().size(), 3u);
}

}  // namespace
