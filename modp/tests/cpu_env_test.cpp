// The CPU list is built once per process, so the environment case lives in
// a test program of its own that sets KORVANE_CPUS before anything reads it.
#include "modp/tests/test_util.h"

namespace {

TEST(ModpCpuListEnvironment, GivenListIsUsedInOrderAndWraps) {
    ASSERT_EQ(setenv("KORVANE_CPUS", "3,1,1", 1), 0);
    EXPECT_EQ(torvik::worker_cpu_list(), (std::vector<int>{3, 1, 1}));

    // Four workers on a list of three: worker 3 shares worker 0's CPU.
    torvik::Pool pool;
    pool.start(4, 0);
    const std::vector<int> cpu_of = modp_test::worker_cpus(pool);
    pool.stop();
    const int expected[4] = {3, 1, 1, 3};
    for (int w = 0; w < 4; ++w)  // -2: took no task
        EXPECT_TRUE(cpu_of[w] == -2 || cpu_of[w] == expected[w]) << w << " ran on " << cpu_of[w];
    // Once built, the list no longer follows the environment.
    setenv("KORVANE_CPUS", "0", 1);
    EXPECT_EQ(torvik::worker_cpu_list().size(), 3u);
}

}  // namespace
