// Phase times of one engine at one worker count, for the parallel-efficiency
// script (efficiency.py), which runs this program at 1 worker and at W workers.
//
// Usage: phase_bench pan  N leaf workers cpu_base reps
//        phase_bench agg1 N block workers cpu_base reps
//
// pan:  pan_adapter::run_pair on four N x N inputs (two products of side N),
//       corrections through one-thread OpenBLAS, as the Pan routes run it.
// agg1: agg1::run on N x N inputs.
// Workers are pinned to CPUs cpu_base .. cpu_base + workers - 1. One warm-up
// call, then `reps` timed calls; for each phase the best (smallest) seconds of
// the timed calls. One line per phase:
//   PHASE engine=pan phase=main workers=W seconds=S gflop=F
// where gflop counts the phase's products at 2 n^3 per n x n product:
//   pan main         g^3 aggregated leaf products of side leaf
//   pan corrections  3 g^2 correction products of side leaf
//   agg1 main        main_leaves products of side block
// Then one KERNELS line: the register tiles selected and OpenBLAS's core.
#include <cblas.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "multiply/agg1/agg1.h"
#include "multiply/agg1/pool.h"
#include "multiply/agg1/term_product.h"
#include "multiply/blas/leaf_route.h"
#include "multiply/pan_adapter/pan_engine.h"
#include "multiply/pan_adapter/pan_kernel.h"
#include "multiply/pan_adapter/pool.h"

extern "C" char* openblas_get_corename(void);

namespace {

using u64 = std::uint64_t;

// A float buffer on 2 MiB boundaries with transparent huge pages asked for
// before its first touch, as the program's matrices are.
float* huge_page_floats(u64 floats) {
    constexpr u64 huge = u64{2} << 20;
    const u64 bytes = (floats * sizeof(float) + huge - 1) / huge * huge;
    void* p = nullptr;
    if (posix_memalign(&p, huge, bytes) != 0) throw std::bad_alloc();
    (void)madvise(p, bytes, MADV_HUGEPAGE);
    return static_cast<float*>(p);
}

// xorshift64*: uniform values in [-1, 1).
void fill(float* p, u64 count, u64 seed) {
    u64 x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (u64 i = 0; i < count; ++i) {
        x ^= x >> 12, x ^= x << 25, x ^= x >> 27;
        const u64 r = x * 0x2545F4914F6CDD1Dull;
        p[i] = static_cast<float>(static_cast<double>(r >> 40) / 8388608.0 - 1.0);
    }
}

float* input(u64 n, u64 seed) {
    float* m = huge_page_floats(n * n);
    fill(m, n * n, seed);
    return m;
}

void phase_line(const char* engine, const char* phase, int workers, double seconds, double flop) {
    std::printf("PHASE engine=%s phase=%s workers=%d seconds=%.4f gflop=%.3f\n", engine, phase, workers,
                seconds, flop * 1e-9);
}

double cube(u64 n) { return static_cast<double>(n) * static_cast<double>(n) * static_cast<double>(n); }

void run_pan(u64 n, u64 leaf, int workers, int cpu_base, int reps) {
    pan_adapter::init_pool(workers, cpu_base);
    float *a = input(n, 1), *b = input(n, 2), *a2 = input(n, 3), *b2 = input(n, 4);
    float *c = huge_page_floats(n * n), *c2 = huge_page_floats(n * n);
    pan_adapter::prepare(n, leaf);
    leaf_routing::aocl_corrections = false;
    openblas_set_num_threads(1);
    pan_adapter::PairTimes best{};
    best.main = best.corrections = best.total_seconds = 1e300;
    for (int r = 0; r <= reps; ++r) {
        const auto t = pan_adapter::run_pair({a, n}, {b, n}, false, {a2, n}, {b2, n}, {c, n}, {c2, n});
        if (r == 0) continue;  // warm-up
        best.main = std::min(best.main, t.main);
        best.corrections = std::min(best.corrections, t.corrections);
        best.total_seconds = std::min(best.total_seconds, t.total_seconds);
    }
    const u64 g = n / leaf;
    const double leaf_flop = 2.0 * cube(leaf);
    phase_line("pan", "main", workers, best.main, cube(g) * leaf_flop);
    phase_line("pan", "corrections", workers, best.corrections, 3.0 * static_cast<double>(g * g) * leaf_flop);
    phase_line("pan", "total", workers, best.total_seconds, 4.0 * cube(n));
    pan_adapter::shutdown();
    const bool avx512 = pan_adapter::pair_tiles_choice.get() == pan_adapter::pair_tiles_choice.avx512();
    std::printf("KERNELS pair_tiles=%s openblas_core=%s\n", avx512 ? "avx512" : "avx2", openblas_get_corename());
}

void run_agg1(u64 n, u64 block, int workers, int cpu_base, int reps) {
    agg1::init_pool(workers, cpu_base);
    float *a = input(n, 1), *b = input(n, 2), *c = huge_page_floats(n * n);
    agg1::prepare(n / block, block);
    double main = 1e300, total = 1e300;
    std::int64_t leaves = 0;
    for (int r = 0; r <= reps; ++r) {
        agg1::RunReport rep;
        agg1::run(&rep, a, n, b, n, c, n, false);
        if (r == 0) continue;
        main = std::min(main, rep.main_seconds);
        total = std::min(total, rep.total_seconds);
        leaves = rep.main_leaves;
    }
    phase_line("agg1", "main", workers, main, static_cast<double>(leaves) * 2.0 * cube(block));
    phase_line("agg1", "total", workers, total, 2.0 * cube(n));
    agg1::shutdown();
    const bool avx512 = agg1::term_tiles_choice.get() == agg1::term_tiles_choice.avx512();
    std::printf("KERNELS term_tiles=%s\n", avx512 ? "avx512" : "avx2");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: %s pan|agg1 N leaf|block workers cpu_base reps\n", argv[0]);
        return 2;
    }
    const std::string engine = argv[1];
    const u64 n = std::strtoull(argv[2], nullptr, 10), leaf = std::strtoull(argv[3], nullptr, 10);
    const int workers = std::atoi(argv[4]), cpu_base = std::atoi(argv[5]), reps = std::atoi(argv[6]);
    if (leaf == 0 || n % leaf != 0 || workers < 1 || cpu_base < 0 || reps < 1 ||
        (engine != "pan" && engine != "agg1")) {
        std::fprintf(stderr, "N must be a multiple of the leaf; workers, reps >= 1; engine pan or agg1\n");
        return 2;
    }
    try {
        if (engine == "pan")
            run_pan(n, leaf, workers, cpu_base, reps);
        else
            run_agg1(n, leaf, workers, cpu_base, reps);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "FAILED %s\n", e.what());
        return 1;
    }
    return 0;
}
