// The CPU list is built once per process, so the environment case lives in
// a test program of its own that sets KORVANE_CPUS before anything reads it.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "common/cpus.h"
#include "modp/tests/test_util.h"

namespace {

TEST(ModpCpuListEnvironment, GivenListIsUsedInOrderWithinTheMaskAndWraps) {
    const std::vector<int>& usable = usable_cpus();
    if (usable.size() < 2) GTEST_SKIP() << "needs two CPUs the process may use";
    // Two usable CPUs, given out of order with a duplicate, and one CPU the
    // process may not use, which is dropped.
    const int a = usable[1], b = usable[0];
    int outside = 0;
    while (std::binary_search(usable.begin(), usable.end(), outside)) ++outside;
    const std::string given = std::to_string(a) + "," + std::to_string(outside) + "," + std::to_string(b) + "," +
                              std::to_string(b);
    ASSERT_EQ(setenv("KORVANE_CPUS", given.c_str(), 1), 0);
    EXPECT_EQ(torvik::worker_cpu_list(), (std::vector<int>{a, b, b})) << given;

    // Four workers on a list of three: worker 3 shares worker 0's CPU.
    torvik::Pool pool;
    pool.start(4, 0);
    const std::vector<int> cpu_of = modp_test::worker_cpus(pool);
    pool.stop();
    const int expected[4] = {a, b, b, a};
    for (int w = 0; w < 4; ++w)  // -2: took no task
        EXPECT_TRUE(cpu_of[w] == -2 || cpu_of[w] == expected[w]) << w << " ran on " << cpu_of[w];
    // Once built, the list no longer follows the environment.
    setenv("KORVANE_CPUS", std::to_string(b).c_str(), 1);
    EXPECT_EQ(torvik::worker_cpu_list().size(), 3u);
}

// A list whose CPUs all lie outside the mask (one the process may not use,
// two above the highest CPU number) gives none: the default list of one CPU
// per core within the mask is used, and the workers are pinned to it. Run in
// a fresh process (a death-test child that runs this test alone), since the
// list is built once per process.
TEST(ModpCpuListEnvironment, ListWithNoUsableCpuFallsBackToOnePerCoreOfTheMask) {
    const std::vector<int>& usable = usable_cpus();
    if (usable.size() < 2) GTEST_SKIP() << "needs two CPUs the process may use";
    int outside = 0;
    while (std::binary_search(usable.begin(), usable.end(), outside)) ++outside;
    const std::string given = std::to_string(outside) + ",1024,5000";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setenv("KORVANE_CPUS", given.c_str(), 1);
            const std::vector<int> fallback = torvik::default_cpu_list(usable, "/sys/devices/system/cpu");
            const std::vector<int>& list = torvik::worker_cpu_list();
            if (list != fallback || list.empty()) {
                std::fprintf(stderr, "list of %zu CPUs, first %d; %zu expected\n", list.size(),
                             list.empty() ? -1 : list[0], fallback.size());
                std::_Exit(1);
            }
            torvik::Pool pool;
            pool.start(2, 0);
            const std::vector<int> cpu_of = modp_test::worker_cpus(pool);
            pool.stop();
            for (int w = 0; w < 2; ++w)  // -2: took no task
                if (cpu_of[w] != -2 && cpu_of[w] != list[w % list.size()]) {
                    std::fprintf(stderr, "worker %d ran on %d\n", w, cpu_of[w]);
                    std::_Exit(2);
                }
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "")
        << "KORVANE_CPUS=" << given;
}

}  // namespace
