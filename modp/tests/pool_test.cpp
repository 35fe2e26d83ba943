// The pinned pool: CPU lists, dispatch, pinning and forks while it starts.
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "common/cpus.h"
#include "modp/program.h"
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

// A fake sysfs CPU tree: for each CPU, its sibling-list line (null: no file).
class ModpCpuTopology : public modp_test::ModpTest {
protected:
    std::string make_tree(const std::string& name, const std::vector<std::pair<int, const char*>>& cpus) {
        const std::string root = path(name);
        for (const auto& [cpu, line] : cpus) {
            const std::string dir = root + "/cpu" + std::to_string(cpu) + "/topology";
            std::filesystem::create_directories(dir);
            if (line) modp_test::write_file(dir + "/thread_siblings_list", line);
        }
        return root;
    }
};

TEST_F(ModpCpuTopology, SiblingsOfAllowedCpusAreDroppedAndGivenListsKeepToTheMask) {
    // 16 logical CPUs on 8 cores: CPU i pairs with i + 8 (some lines end in
    // a newline, listed in either order); CPU 5 has no file.
    std::vector<std::pair<int, const char*>> cpus;
    const char* lines[16] = {"0,8\n", "1,9", "2,10", "3,11", "4,12", nullptr, "6,14", "7,15",
                             "0,8\n", "9,1", "2,10", "3,11", "4,12", "5,13", "6,14", "7,15"};
    for (int c = 0; c < 16; ++c) cpus.push_back({c, lines[c]});
    const std::string root = make_tree("pairs", cpus);
    std::vector<int> all(16), first_eight(8), second_eight(8);
    for (int c = 0; c < 16; ++c) all[static_cast<size_t>(c)] = c;
    for (int c = 0; c < 8; ++c) first_eight[static_cast<size_t>(c)] = c, second_eight[static_cast<size_t>(c)] = c + 8;
    std::vector<int> any_cpu = first_eight;  // unknown mask: CPUs 16-1023 have no file and stay
    for (int c = 16; c <= 1023; ++c) any_cpu.push_back(c);

    struct Case { const char* given; std::vector<int> allowed, want; };
    const Case cases[] = {
        {nullptr, all, first_eight},
        {nullptr, {}, any_cpu},                      // unknown mask: every CPU allowed
        {nullptr, second_eight, second_eight},       // lower siblings not allowed: kept
        {nullptr, {2, 3, 10, 13}, {2, 3, 13}},       // CPU 13's sibling 5 is not allowed
        {nullptr, {5, 13}, {5}},                     // CPU 5 has no file; 13 sees 5 as sibling
        {"3,1,1,12", all, {3, 1, 1, 12}},            // given: order and duplicates kept
        {"3,1,20,9", {1, 3, 9}, {3, 1, 9}},          // CPUs outside the mask dropped
        {"20-30", {1, 3, 9}, {1, 3}},                // none allowed: the default list
        {"x", all, first_eight},
    };
    for (const Case& c : cases)
        EXPECT_EQ(torvik::cpu_list_from(c.given, c.allowed, root), c.want) << (c.given ? c.given : "(unset)");
    // Siblings numbered next to each other, written as ranges.
    EXPECT_EQ(torvik::default_cpu_list({0, 1, 2, 3}, make_tree("ranges", {{0, "0-1"}, {1, "0-1"}, {2, "2-3"}, {3, "2-3"}})),
              (std::vector<int>{0, 2}));
    // No topology files at all: every allowed CPU is kept.
    EXPECT_EQ(torvik::default_cpu_list({0, 8}, path("no_such_tree")), (std::vector<int>{0, 8}));
}

TEST_F(ModpCpuTopology, WorkersAreLoweredToTheCpuListSoNoTwoShareACpu) {
    const std::vector<int>& usable = usable_cpus();
    if (usable.size() < 2) GTEST_SKIP() << "needs two CPUs the process may use";
    // The usable CPUs paired two by two as hyperthread siblings: one per pair.
    std::vector<std::pair<int, const char*>> cpus;
    std::vector<std::string> lines(usable.size());
    for (size_t k = 0; k < usable.size(); ++k) {
        const size_t first = k & ~size_t{1};
        lines[k] = std::to_string(usable[first]);
        if (first + 1 < usable.size()) lines[k] += "," + std::to_string(usable[first + 1]);
        cpus.push_back({usable[k], lines[k].c_str()});
    }
    const std::string root = make_tree("smt", cpus);
    const std::string given = std::to_string(usable[1]) + "," + std::to_string(usable[0]);
    struct Case { const char* given; int workers; size_t want; };
    for (const Case& c : {Case{nullptr, 1000, (usable.size() + 1) / 2}, Case{given.c_str(), 1000, 2}}) {
        torvik::Options o;
        o.workers = c.workers;
        torvik::apply_limits(o, torvik::cpu_list_from(c.given, usable, root));
        EXPECT_EQ(o.workers, static_cast<int>(c.want)) << (c.given ? c.given : "(unset)") << " " << c.workers;
    }
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

TEST(ModpPool, DefaultCpuListIsOnePerCoreWithinTheMask) {
    // Without KORVANE_CPUS the list holds allowed CPUs in ascending order
    // without hyperthread siblings.
    if (std::getenv("KORVANE_CPUS")) GTEST_SKIP() << "KORVANE_CPUS set in the environment";
    const std::vector<int>& list = torvik::worker_cpu_list();
    ASSERT_FALSE(list.empty());
    for (size_t i = 1; i < list.size(); ++i) EXPECT_LT(list[i - 1], list[i]);
    cpu_set_t mine;
    ASSERT_EQ(sched_getaffinity(0, sizeof(mine), &mine), 0);
    for (int c : list) EXPECT_TRUE(CPU_ISSET(c, &mine)) << c;
    // Workers pinned to the list's CPUs: cpu_env_test.
}

// The wait status of child once it ends, or -1 when it has not ended within
// `seconds` (it is then killed and reaped).
int wait_or_kill(pid_t child, int seconds) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > give_up) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return status;
}

// Five tries: each forks a starter, which starts a pool of two and forks 2 ms
// later; that child must start, run and stop a pool of its own within 10 s.
// Returns 0, or 1 after naming the try that failed. Call it in a process that
// has not built the CPU list; a long KORVANE_CPUS makes building it take
// milliseconds, so that the fork lands while it is built.
int fork_while_workers_start() {
    std::string given;
    for (int i = 0; i < 1000; ++i) given += "0-1023,";
    setenv("KORVANE_CPUS", given.c_str(), 1);
    for (int attempt = 1; attempt <= 5; ++attempt) {
        std::fflush(nullptr);
        const pid_t starter = fork();
        if (starter == 0) {
            torvik::Pool pool;
            pool.start(2, 0);
            usleep(2000);
            const pid_t child = fork();
            if (child == 0) {
                torvik::Pool own;
                own.start(2, 0);
                std::atomic<int> ran{0};
                own.run(16, [&](int, int) { ran.fetch_add(1); });
                own.stop();
                _exit(ran.load() == 16 ? 0 : 2);
            }
            const int status = child < 0 ? -2 : wait_or_kill(child, 10);
            pool.stop();
            _exit(status == 0 ? 0 : status == -1 ? 3 : 4);
        }
        const int status = starter < 0 ? -2 : wait_or_kill(starter, 60);
        if (status != 0) {
            const bool hung = WIFEXITED(status) && WEXITSTATUS(status) == 3;
            std::fprintf(stderr, "try %d: %s\n", attempt,
                         hung ? "the child forked while the workers started hung for 10 s"
                              : ("ended with status " + std::to_string(status)).c_str());
            return 1;
        }
    }
    return 0;
}

// A process forked while a pool's workers start runs a pool of its own: no
// worker can be caught half-way through the process's one-time CPU list. The
// list is built once per process, so the tries run in a fresh process (a
// death-test child that runs this test alone).
TEST(ModpPoolDeath, ChildForkedWhileWorkersStartRunsAPoolOfItsOwn) {
#ifdef KORVANE_SANITIZER_BUILD
    GTEST_SKIP() << "starts threads in the forked child of a process with threads";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(fork_while_workers_start()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
