// Helpers shared by the tests: CPUs for tests that start pinned teams (the
// CPUs this process may run on, common/cpus.h, at most eight of them, so that
// tests pass on small machines and under a narrowed affinity mask or a
// container's cpuset), and the message of a thrown exception.
#pragma once

#include <algorithm>
#include <exception>
#include <string>
#include <vector>

#include "common/cpus.h"

// The first usable CPUs, at most eight: worker i of a team of that size
// starting at the first of them runs on the i-th.
inline std::vector<int> test_cpus() {
    const std::vector<int>& all = usable_cpus();
    return {all.begin(), all.begin() + static_cast<long>(std::min<std::size_t>(all.size(), 8))};
}

inline int test_workers() { return static_cast<int>(test_cpus().size()); }

// First CPU of a test team.
inline int test_cpu_base() { return usable_cpus().front(); }

// The message of the E that f throws (any other exception leaves the test);
// "(no exception)" when it throws none.
template <class E = std::exception, class F>
std::string message_of(F f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "(no exception)";
}
