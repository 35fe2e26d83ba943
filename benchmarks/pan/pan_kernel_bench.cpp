// Pan leaf kernel versus one-thread OpenBLAS cblas_sgemm, same pinned core,
// same run. Usage: pan_kernel_bench [n=1024] [reps=15] [cpu=last online CPU]
//
// Flops are counted as 2 n^3 for both: the pair kernel computes one product
// (A1 + A2)(B1 + B2) and adds it into two outputs. Runs alternate between the
// two so that frequency drift and neighbours' load hit both alike; the best
// and the median time of each are reported.
#include <cblas.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "multiply/pan_adapter/pan_kernel.h"

namespace {

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

float* alloc(std::size_t floats) {
    void* p = nullptr;
    if (posix_memalign(&p, 64, (floats * sizeof(float) + 63) / 64 * 64) != 0) std::abort();
    return static_cast<float*>(p);
}

void fill(float* p, std::size_t count, std::mt19937& rng) {
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    for (std::size_t i = 0; i < count; ++i) p[i] = d(rng);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    const int reps = argc > 2 ? std::atoi(argv[2]) : 15;
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    const int cpu = argc > 3 ? std::atoi(argv[3]) : static_cast<int>(online - 1);

    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (sched_setaffinity(0, sizeof(set), &set) != 0) {
        std::perror("sched_setaffinity");
        return 1;
    }
    openblas_set_num_threads(1);

    const std::size_t nn = n * n;
    std::mt19937 rng(42);
    float *A1 = alloc(nn), *A2 = alloc(nn), *B1 = alloc(nn), *B2 = alloc(nn);
    float *C1 = alloc(nn), *C2 = alloc(nn), *A = alloc(nn), *B = alloc(nn), *C = alloc(nn);
    for (float* p : {A1, A2, B1, B2, A, B}) fill(p, nn, rng);
    for (float* p : {C1, C2, C}) std::fill(p, p + nn, 0.0f);
    float* ws = alloc(pan_adapter::pair_workspace_floats_default(n));

    auto run_pan = [&] {
        pan_adapter::pair_product(n, A1, n, A2, n, B1, n, B2, n, C1, n, C2, n, ws);
    };
    auto run_blas = [&] {
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, static_cast<int>(n),
                    static_cast<int>(n), static_cast<int>(n), 1.0f, A, static_cast<int>(n), B,
                    static_cast<int>(n), 1.0f, C, static_cast<int>(n));
    };
    // Warm up both (page faults, frequency).
    for (int i = 0; i < 2; ++i) {
        run_pan();
        run_blas();
    }
    std::vector<double> t_pan, t_blas;
    for (int r = 0; r < reps; ++r) {
        double t0 = now();
        run_pan();
        double t1 = now();
        run_blas();
        double t2 = now();
        t_pan.push_back(t1 - t0);
        t_blas.push_back(t2 - t1);
    }
    const double flops = 2.0 * static_cast<double>(n) * static_cast<double>(n) * static_cast<double>(n);
    const double pan_best = *std::min_element(t_pan.begin(), t_pan.end());
    const double blas_best = *std::min_element(t_blas.begin(), t_blas.end());
    const double pan_med = median(t_pan), blas_med = median(t_blas);
    std::printf("PAN_KERNEL_BENCH n=%llu reps=%d cpu=%d openblas=\"%s\"\n",
                static_cast<unsigned long long>(n), reps, cpu, openblas_get_config());
    std::printf("pair_product  best=%.6f s %.2f GFLOPS  median=%.6f s %.2f GFLOPS\n", pan_best,
                flops / pan_best * 1e-9, pan_med, flops / pan_med * 1e-9);
    std::printf("cblas_sgemm   best=%.6f s %.2f GFLOPS  median=%.6f s %.2f GFLOPS\n", blas_best,
                flops / blas_best * 1e-9, blas_med, flops / blas_med * 1e-9);
    std::printf("ratio pan/sgemm best=%.3f median=%.3f (target >= 0.90)\n", blas_best / pan_best,
                blas_med / pan_med);
    return 0;
}
