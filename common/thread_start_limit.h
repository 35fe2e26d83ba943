// Test support: makes thread creation fail after a given number of threads by
// lowering the process's address-space limit, so that pools can be tested
// against a start that fails part-way. Use it only inside a death-test child
// (EXPECT_EXIT), which is discarded afterwards.
#pragma once

#include <pthread.h>
#include <sys/resource.h>

#include <fstream>
#include <string>

// Leaves room for `threads` more default-size thread stacks and a little
// more; returns false when the limit could not be set.
inline bool limit_thread_starts(int threads) {
    pthread_attr_t attr;
    std::size_t stack = 0;
    if (pthread_getattr_default_np(&attr) != 0) return false;
    pthread_attr_getstacksize(&attr, &stack);
    pthread_attr_destroy(&attr);
    unsigned long long vm_kib = 0;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmSize:", 0) == 0) vm_kib = std::stoull(line.substr(7));
    if (vm_kib == 0 || stack == 0) return false;
    rlimit lim{};
    if (getrlimit(RLIMIT_AS, &lim) != 0) return false;
    lim.rlim_cur = vm_kib * 1024 + static_cast<rlim_t>(threads) * stack + stack / 2;
    return setrlimit(RLIMIT_AS, &lim) == 0;
}
