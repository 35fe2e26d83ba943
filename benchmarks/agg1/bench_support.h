// Small helpers of the agg1 benchmarks.
#pragma once

#include <sys/mman.h>

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

// A float buffer on 2 MiB boundaries with transparent huge pages asked for
// before its first touch, as the program does for its matrices.
inline float* huge_page_floats(std::size_t floats) {
    constexpr std::size_t huge = std::size_t{2} << 20;
    const std::size_t bytes = (floats * sizeof(float) + huge - 1) / huge * huge;
    void* p = nullptr;
    if (posix_memalign(&p, huge, bytes) != 0) std::abort();
    (void)madvise(p, bytes, MADV_HUGEPAGE);
    return static_cast<float*>(p);
}

inline double median_of(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

inline void report_pin_failure(int cpu, int) { std::fprintf(stderr, "cannot run on CPU %d\n", cpu); }
