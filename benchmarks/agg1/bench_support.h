// Small helpers of the agg1 benchmarks.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

// A 64-byte aligned float buffer (never freed: the benchmarks end right after).
inline float* aligned_floats(std::size_t floats) {
    void* p = nullptr;
    if (posix_memalign(&p, 64, (floats * sizeof(float) + 63) / 64 * 64) != 0) std::abort();
    return static_cast<float*>(p);
}

inline double median_of(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

inline void report_pin_failure(int cpu, int) { std::fprintf(stderr, "cannot run on CPU %d\n", cpu); }
