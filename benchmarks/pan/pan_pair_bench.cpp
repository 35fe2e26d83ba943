// One Pan pair call (two products of side s computed together) on W pinned
// workers against two multithreaded OpenBLAS cblas_sgemm calls of the same
// side, in the same run. Usage: pan_pair_bench [s=8192] [leaf=1024] [workers=8] [reps=3]
//
// Effective GFLOPS count 2 s^3 per product (4 s^3 per pair). The phase times
// of the best pair call show what the prologue, the block-line sums, the
// aggregated products, the corrections and the decode cost.
#include <cblas.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "multiply/blas/leaf_route.h"
#include "multiply/pan_adapter/pan_engine.h"
#include "multiply/pan_adapter/pool.h"

namespace {

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

float* alloc(std::size_t floats) {
    void* p = nullptr;
    if (posix_memalign(&p, 64, floats * sizeof(float)) != 0) std::abort();
    return static_cast<float*>(p);
}

// Random values, first touched by the pool workers' rows.
float* matrix_data = nullptr;
std::uint64_t matrix_side = 0;
void fill_job(int w) {
    const std::uint64_t W = static_cast<std::uint64_t>(pan_adapter::workers());
    std::mt19937 rng(static_cast<unsigned>(w) + 1);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    const std::uint64_t r0 = w * matrix_side / W, r1 = (w + 1) * matrix_side / W;
    for (std::uint64_t i = r0 * matrix_side; i < r1 * matrix_side; ++i) matrix_data[i] = d(rng);
}

float* make_matrix(std::uint64_t s) {
    matrix_data = alloc(s * s);
    matrix_side = s;
    pan_adapter::run_jobs(pan_adapter::workers(), fill_job);
    return matrix_data;
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t s = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 8192;
    const std::uint64_t leaf = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1024;
    const int workers = argc > 3 ? std::atoi(argv[3]) : 8;
    const int reps = argc > 4 ? std::atoi(argv[4]) : 3;

    pan_adapter::init_pool(workers, 0);
    float* a = make_matrix(s);
    float* b = make_matrix(s);
    float* a2 = make_matrix(s);
    float* b2 = make_matrix(s);
    float* c = make_matrix(s);
    float* c2 = make_matrix(s);
    pan_adapter::prepare(s, leaf);
    leaf_routing::aocl_corrections = false;

    const double flops = 4.0 * static_cast<double>(s) * s * s;
    pan_adapter::PairTimes best{};
    best.total_seconds = 1e30;
    double best_blas = 1e30;
    const int n = static_cast<int>(s);
    for (int r = 0; r < reps; ++r) {
        openblas_set_num_threads(1);
        auto t = pan_adapter::run_pair({a, s}, {b, s}, false, {a2, s}, {b2, s}, {c, s}, {c2, s});
        if (t.total_seconds < best.total_seconds) best = t;

        openblas_set_num_threads(workers);
        const double t0 = now();
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, n, n, n, 1.0f, a, n, b, n, 0.0f, c, n);
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, n, n, n, 1.0f, a2, n, b2, n, 0.0f, c2, n);
        best_blas = std::min(best_blas, now() - t0);
    }
    openblas_set_num_threads(1);
    std::printf("side %llu, leaf %llu, %d workers, best of %d\n", static_cast<unsigned long long>(s),
                static_cast<unsigned long long>(leaf), workers, reps);
    std::printf("pan pair:        %.3f s  %7.1f GFLOPS  (leaf products %llu)\n", best.total_seconds,
                flops / best.total_seconds / 1e9, static_cast<unsigned long long>(best.leaf_products));
    std::printf("  prologue %.3f s, forms %.3f s, main %.3f s, corrections %.3f s, reduce %.3f s, decode %.3f s\n",
                best.prologue, best.forms, best.main, best.corrections, best.reduce, best.decode);
    std::printf("2 x OpenBLAS:    %.3f s  %7.1f GFLOPS\n", best_blas, flops / best_blas / 1e9);
    std::printf("speed-up over OpenBLAS: %.2fx\n", best_blas / best.total_seconds);
    pan_adapter::shutdown();
    return 0;
}
