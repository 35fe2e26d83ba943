// The current problem of the float32 program: one process-wide record written
// by the entry (or the benchmark driver) on the main thread while no job runs,
// and read by every engine.
#pragma once

#include <cstdint>
#include <string>

#include "multiply/method/method_spec.h"

struct Problem {
    float* A = nullptr;         // left operand view, row-major
    std::uint64_t lda = 0;      // in elements
    float* B = nullptr;         // right operand view
    std::uint64_t ldb = 0;
    float* C = nullptr;         // output view
    std::uint64_t ldc = 0;
    const float* R = nullptr;   // full reference view (benchmark validation only)
    std::uint64_t ldr = 0;
    std::uint64_t n = 61440;    // internal (padded) side of A, B and C
    std::uint64_t real_n = 0;   // side of the data in the leading rows and columns
                                // (the rest is zero padding); 0: all of n
    std::uint64_t ld = 61440;   // allocation stride of the three matrices
    std::uint64_t leaf = 1024;  // requested leaf size
    std::int32_t workers = 64;         // worker count of the pools and of every job
    std::int32_t native_threads = 64;  // thread count of the native AOCL route
    std::int32_t cpu_base = 0;         // first CPU of the worker range
    GridSpec leaf_grid_n{64, 128, 0};  // tile grid of the whole side n
    std::string data_distribution = "balanced";  // input distribution (benchmark)
    bool full_reference = false;       // a full FP32 reference exists (benchmark)
};

extern Problem problem;
