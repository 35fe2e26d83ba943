// Test support: makes thread creation fail after a given number of threads by
// lowering the process's address-space limit, so that pools can be tested
// against a start that fails part-way. Use it only inside a death-test child
// (EXPECT_EXIT), which is discarded afterwards.
#pragma once

#include <pthread.h>
#include <sys/resource.h>

#include <fstream>
#include <string>

// Leaves room for `threads` more thread stacks and a little more; returns
// false when the limit could not be set. New threads get 64 MiB stacks, larger
// than any the C library keeps cached from threads that ended earlier, so
// every start needs fresh address space.
inline bool limit_thread_starts(int threads) {
    constexpr std::size_t stack = std::size_t{64} << 20;
    pthread_attr_t attr;
    if (pthread_getattr_default_np(&attr) != 0) return false;
    const bool set = pthread_attr_setstacksize(&attr, stack) == 0 && pthread_setattr_default_np(&attr) == 0;
    pthread_attr_destroy(&attr);
    if (!set) return false;
    unsigned long long vm_kib = 0;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmSize:", 0) == 0) vm_kib = std::stoull(line.substr(7));
    if (vm_kib == 0) return false;
    rlimit lim{};
    if (getrlimit(RLIMIT_AS, &lim) != 0) return false;
    lim.rlim_cur = vm_kib * 1024 + static_cast<rlim_t>(threads) * stack + stack / 2;
    return setrlimit(RLIMIT_AS, &lim) == 0;
}
