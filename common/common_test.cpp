// The CPUs of the affinity mask (next_value, file_size and is_npy_path are
// covered through the programs' tests).
#include "common/cpus.h"

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

// Runs fn in a forked child whose affinity is `cpus`; the child's exit status
// is fn's result (0 = pass). The usable list is read once per process, so each
// mask needs its own child.
template <class Fn>
int in_child_with_cpus(const std::vector<int>& cpus, Fn fn) {
    pid_t pid = fork();
    if (pid == 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        for (int c : cpus) CPU_SET(c, &set);
        if (sched_setaffinity(0, sizeof(set), &set) != 0) _exit(90);
        _exit(fn());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
}

TEST(Common, TeamsTakeTheCpusOfTheAffinityMask) {
    // The mask as the process sees it, read directly: the helper reads it only
    // once, so the narrowed child below must run before this process asks.
    std::vector<int> all;
    cpu_set_t set;
    CPU_ZERO(&set);
    ASSERT_EQ(sched_getaffinity(0, sizeof(set), &set), 0);
    for (int c = 0; c < CPU_SETSIZE; ++c)
        if (CPU_ISSET(c, &set)) all.push_back(c);
    ASSERT_FALSE(all.empty());
    if (all.size() >= 2) {
        // Keep every other usable CPU, starting from the second one: a team
        // starting at CPU 0 must skip the CPUs the mask leaves out.
        std::vector<int> odd;
        for (std::size_t i = 1; i < all.size(); i += 2) odd.push_back(all[i]);
        EXPECT_EQ(in_child_with_cpus(odd, [&] {
                      if (usable_cpus() != odd) return 1;
                      for (std::size_t i = 0; i < odd.size(); ++i)
                          if (team_cpu(0, static_cast<int>(i)) != odd[i]) return 2;
                      if (team_cpu(0, static_cast<int>(odd.size())) != -1) return 3;
                      // A first CPU between two mask CPUs starts at the next one.
                      if (team_cpu(odd[0] + 1, 0) != (odd.size() > 1 ? odd[1] : -1)) return 4;
                      if (usable_cpus_from(odd.back() + 1) != 0) return 5;
                      return 0;
                  }),
                  0);
    }
    EXPECT_EQ(usable_cpus(), all);
    EXPECT_EQ(team_cpu(all.front(), 0), all.front());
    EXPECT_EQ(team_cpu(0, static_cast<int>(all.size())), -1);
    EXPECT_EQ(team_cpu(0, -1), -1);
    EXPECT_EQ(usable_cpus_from(0), static_cast<int>(all.size()));
    if (all.size() < 2) GTEST_SKIP() << "needs two usable CPUs to narrow the mask";
}
