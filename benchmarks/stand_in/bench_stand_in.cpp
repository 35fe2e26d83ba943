// One-thread SGEMM: the AOCL-BLAS stand-in (loaded with dlmopen under the
// program's OpenMP settings) against OpenBLAS, both on one pinned core, then
// every worker CPU running one-thread products at once.
// Usage: bench_stand_in [cpu] [library]
#include <cblas.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "stand_in/tests/stand_in_loader.h"

using namespace stand_in_test;

extern "C" void openblas_set_num_threads(int);

namespace {

double now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

using Gemm = void (*)(int n, const float* a, const float* b, float* c);
const StandIn* g_lib = nullptr;

void stand_in_gemm(int n, const float* a, const float* b, float* c)
{
    g_lib->sgemm(101, 111, 111, n, n, n, 1.0f, a, n, b, n, 0.0f, c, n);
}
void openblas_gemm(int n, const float* a, const float* b, float* c)
{
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, n, n, n, 1.0f, a, n, b, n, 0.0f, c,
                n);
}

// Best of reps after one warm-up call, in GFLOPS.
double best_gflops(Gemm gemm, int n, int reps, const float* a, const float* b, float* c)
{
    gemm(n, a, b, c);
    double best = 1e30;
    for (int r = 0; r < reps; ++r) {
        double t0 = now();
        gemm(n, a, b, c);
        best = std::min(best, now() - t0);
    }
    return 2.0 * n * double(n) * n / best * 1e-9;
}

std::vector<float> random_matrix(int n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    std::vector<float> m(size_t(n) * n);
    for (float& x : m)
        x = d(rng);
    return m;
}

// All worker CPUs at once, each pinned and running its own products.
double concurrent_gflops(Gemm gemm, const std::vector<int>& cpus, int n, int reps)
{
    std::vector<std::thread> pool;
    std::vector<double> seconds(cpus.size());
    double t0 = 0;
    std::vector<std::vector<float>> a(cpus.size()), b(cpus.size()), c(cpus.size());
    for (size_t w = 0; w < cpus.size(); ++w) {
        a[w] = random_matrix(n, 10 + w);
        b[w] = random_matrix(n, 20 + w);
        c[w].assign(size_t(n) * n, 0.0f);
    }
    std::atomic<int> ready{0};
    for (size_t w = 0; w < cpus.size(); ++w)
        pool.emplace_back([&, w] {
            pin_to({cpus[w]});
            if (gemm == stand_in_gemm)
                g_lib->set_local(1);
            gemm(n, a[w].data(), b[w].data(), c[w].data());  // warm-up
            ++ready;
            while (ready < int(cpus.size()))
                std::this_thread::yield();
            double start = now();
            for (int r = 0; r < reps; ++r)
                gemm(n, a[w].data(), b[w].data(), c[w].data());
            seconds[w] = now() - start;
            if (current_cpus() != std::vector<int>{cpus[w]})
                std::fprintf(stderr, "worker %zu left CPU %d\n", w, cpus[w]);
        });
    for (std::thread& t : pool)
        t.join();
    (void)t0;
    double slowest = *std::max_element(seconds.begin(), seconds.end());
    return 2.0 * n * double(n) * n * reps * double(cpus.size()) / slowest * 1e-9;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<int> cpus = worker_cpus();
    int cpu = argc > 1 ? std::atoi(argv[1]) : cpus.back();
    std::string path = argc > 2 ? argv[2] : KV_STAND_IN_PATH;
    openblas_set_num_threads(1);
    static StandIn lib = load_stand_in(path);
    g_lib = &lib;
    std::printf("STAND_IN_BENCH library=%s version=%s cpu=%d openblas=%s\n", path.c_str(),
                lib.version() ? lib.version() : "null", cpu, openblas_get_config());

    std::thread single([&] {
        pin_to({cpu});
        lib.set_local(1);
        for (int n : {1024, 2048}) {
            std::vector<float> a = random_matrix(n, 1), b = random_matrix(n, 2);
            std::vector<float> c1(size_t(n) * n), c2(size_t(n) * n);
            int reps = n <= 1024 ? 7 : 3;
            double g_stand_in = best_gflops(stand_in_gemm, n, reps, a.data(), b.data(), c1.data());
            double g_openblas = best_gflops(openblas_gemm, n, reps, a.data(), b.data(), c2.data());
            double diff = 0, scale = 0;
            for (size_t i = 0; i < c1.size(); ++i) {
                diff = std::max(diff, double(std::fabs(c1[i] - c2[i])));
                scale = std::max(scale, double(std::fabs(c2[i])));
            }
            std::printf("ONE_THREAD n=%d stand_in_gflops=%.1f openblas_gflops=%.1f "
                        "max_rel_diff=%.2e same_cpu=%d\n",
                        n, g_stand_in, g_openblas, diff / scale,
                        int(current_cpus() == std::vector<int>{cpu}));
        }
    });
    single.join();

    const int n = 2048, reps = 3;
    std::printf("CONCURRENT workers=%zu n=%d stand_in_total_gflops=%.1f openblas_total_gflops=%.1f\n",
                cpus.size(), n, concurrent_gflops(stand_in_gemm, cpus, n, reps),
                concurrent_gflops(openblas_gemm, cpus, n, reps));
    return 0;
}
