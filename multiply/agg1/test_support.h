// Helpers shared by the agg1 tests.
#pragma once

#include <algorithm>
#include <exception>
#include <string>

#include "common/cpus.h"

// Workers for a test pool: the usable CPUs, at most 8.
inline int usable_workers() { return std::min(static_cast<int>(usable_cpus().size()), 8); }

// The message of the E that f throws; "(no exception)" when it throws none.
template <class E = std::exception, class F>
std::string message_of(F f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "(no exception)";
}
