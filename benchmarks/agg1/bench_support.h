// Small helpers of the agg1 benchmarks.
#pragma once

#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>

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

inline void report_pin_failure(int cpu, int) { std::fprintf(stderr, "cannot run on CPU %d\n", cpu); }
