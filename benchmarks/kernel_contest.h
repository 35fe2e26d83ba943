// The leaf-kernel benchmarks' contest: contenders timed in the same run on
// one pinned core against one-thread OpenBLAS cblas_sgemm, the last contender.
#pragma once

#include <cblas.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "common/clock.h"

extern "C" char* openblas_get_corename(void);

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

struct Contender {
    std::string name;
    std::function<void()> run;
    double target;  // against SGEMM; 0 for SGEMM itself
    std::vector<double> seconds;
};

// Two warm-up runs of each (page faults, frequency), then `reps` rounds of
// one run each, so that frequency drift and neighbours' load hit all alike.
inline void run_contest(std::vector<Contender>& contenders, int reps) {
    for (int i = 0; i < 2; ++i)
        for (auto& c : contenders) c.run();
    for (int r = 0; r < reps; ++r)
        for (auto& c : contenders) {
            const std::uint64_t t0 = monotonic_ns();
            c.run();
            c.seconds.push_back(seconds_since(t0));
        }
}

inline const char* env_or_unset(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? v : "(unset)";
}

// The kernel OpenBLAS runs, its configuration and the variables that steer it.
inline void print_openblas_line() {
    std::printf("openblas core=%s config=\"%s\" OPENBLAS_CORETYPE=%s OPENBLAS_L2_SIZE=%s\n",
                openblas_get_corename(), openblas_get_config(), env_or_unset("OPENBLAS_CORETYPE"),
                env_or_unset("OPENBLAS_L2_SIZE"));
}

// Which register tiles the programs use on this processor.
inline void print_selected_tiles(bool avx512) {
    std::printf("selected tiles: %s\n", avx512 ? "avx512 12x32" : "avx2 6x16");
}

// One line a contender: best and median seconds and GFLOPS (2 n^3 flops),
// and for all but the SGEMM the ratios to it with the contender's target.
inline void print_contest(const std::vector<Contender>& contenders, std::uint64_t n, int name_width) {
    const double flops = 2.0 * static_cast<double>(n) * static_cast<double>(n) * static_cast<double>(n);
    const Contender& blas = contenders.back();
    const double blas_best = *std::min_element(blas.seconds.begin(), blas.seconds.end());
    const double blas_med = median_of(blas.seconds);
    for (const auto& c : contenders) {
        const double best = *std::min_element(c.seconds.begin(), c.seconds.end());
        const double med = median_of(c.seconds);
        std::printf("%-*s best=%.6f s %7.2f GFLOPS  median=%.6f s %7.2f GFLOPS", name_width, c.name.c_str(),
                    best, flops / best * 1e-9, med, flops / med * 1e-9);
        if (&c != &blas)
            std::printf("  vs sgemm best=%.3f median=%.3f (target >= %.2f)", blas_best / best, blas_med / med,
                        c.target);
        std::printf("\n");
    }
}

// One-thread cblas_sgemm C += A·B of side n, row-major: the contest's reference.
inline Contender sgemm_contender(std::uint64_t n, const float* A, const float* B, float* C) {
    const int s = static_cast<int>(n);
    return {"cblas_sgemm 1 thread",
            [=] { cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, s, s, s, 1.0f, A, s, B, s, 1.0f, C, s); },
            0.0,
            {}};
}
