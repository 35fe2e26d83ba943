// The monotonic clock every printed duration is measured with.
#pragma once

#include <time.h>

#include <cstdint>

// Monotonic clock in nanoseconds; a duration is a difference of two readings / 1e9.
inline std::uint64_t monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<std::uint64_t>(ts.tv_nsec);
}

// Seconds elapsed since the reading t0.
inline double seconds_since(std::uint64_t t0) { return static_cast<double>(monotonic_ns() - t0) / 1e9; }
