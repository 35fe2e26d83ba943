// The pinned pool: CPU lists, dispatch and pinning.
#include <atomic>

#include "modp/tests/test_util.h"

namespace {

TEST(ModpCpuList, Grammar) {
    std::vector<int> high;
    for (int c = 1000; c <= 1023; ++c) high.push_back(c);
    const std::pair<const char*, std::vector<int>> cases[] = {
        {"0-3,8", {0, 1, 2, 3, 8}}, {"3-1", {}}, {"5,2000", {5}}, {"1000-5000", high}, {"2,2", {2, 2}},
        {"none", {}}, {"", {}},
        {"1-2-3", {1, 2, 3}},             // a second dash after a range separates items
        {"4-", {}}, {"0-", {0}},          // a dash without digits is the range a..0
        {"7 ; 3\n", {7, 3}},              // sibling-file line: any separators, order kept
        // Digit runs far beyond int range neither overflow nor get accepted.
        {"99999999999999999999999,1", {1}}, {"1023-99999999999999999999", {1023}},
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(torvik::parse_cpu_list(text), want) << text;
}

TEST(ModpPool, EveryTaskRunsExactlyOnceOnADistinctWorkerIndex) {
    torvik::Pool pool;
    pool.start(4, 0);
    for (int tasks : {-5, 0, 1, 3, 4, 5, 257, 10000}) {
        for (int round = 0; round < 5; ++round) {
            std::vector<std::atomic<int>> hits(static_cast<size_t>(tasks > 0 ? tasks : 0));
            // Plain counters: a worker index is held by one thread at a time,
            // so they add up unless the index is shared or out of range.
            std::vector<long> per_worker(4, 0);
            pool.run(tasks, [&](int t, int w) {
                hits[static_cast<size_t>(t)].fetch_add(1);
                if (w >= 0 && w < 4) per_worker[static_cast<size_t>(w)] += 1;
            });
            int once = 0;
            for (auto& h : hits) once += h.load() == 1;
            EXPECT_EQ(once, static_cast<int>(hits.size())) << tasks;
            EXPECT_EQ(per_worker[0] + per_worker[1] + per_worker[2] + per_worker[3], tasks > 0 ? tasks : 0);
        }
    }
    pool.stop();
    pool.stop();  // a second stop is harmless
}

TEST(ModpPool, DefaultCpuListIsOnePerCoreAndWorkersArePinned) {
    // Without KORVANE_CPUS the list holds allowed CPUs in ascending order
    // without hyperthread siblings.
    if (std::getenv("KORVANE_CPUS")) GTEST_SKIP() << "KORVANE_CPUS set in the environment";
    const std::vector<int>& list = torvik::worker_cpu_list();
    ASSERT_FALSE(list.empty());
    for (size_t i = 1; i < list.size(); ++i) EXPECT_LT(list[i - 1], list[i]);
    cpu_set_t mine;
    ASSERT_EQ(sched_getaffinity(0, sizeof(mine), &mine), 0);
    for (int c : list) EXPECT_TRUE(CPU_ISSET(c, &mine)) << c;

    const int workers = list.size() < 4 ? static_cast<int>(list.size()) : 4;
    torvik::Pool pool;
    pool.start(workers, 1);  // worker w on list entry w + 1
    const std::vector<int> cpu_of = modp_test::worker_cpus(pool);
    pool.stop();
    for (int w = 0; w < workers; ++w)  // -2: took no task
        EXPECT_TRUE(cpu_of[w] == -2 || cpu_of[w] == list[static_cast<size_t>(w + 1) % list.size()])
            << w << " ran on " << cpu_of[w];
}

}  // namespace
