// Helpers shared by the tests: CPUs for tests that start pinned teams (the
// CPUs this process may run on, common/cpus.h, at most eight of them, so that
// tests pass on small machines and under a narrowed affinity mask or a
// container's cpuset), an environment variable set for a scope, and the
// message of a thrown exception.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
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

// Sets an environment variable (unsets it for nullptr) until the end of the
// scope, then puts back what was there.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        had_ = old != nullptr;
        if (had_) old_ = old;
        if (value != nullptr)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (had_)
            setenv(name_.c_str(), old_.c_str(), 1);
        else
            unsetenv(name_.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_, old_;
    bool had_ = false;
};
