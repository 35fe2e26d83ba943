// One agg1 term product (three terms per side, three outputs) against
// one-thread OpenBLAS cblas_sgemm on the same pinned core, in the same run.
// Usage: term_product_bench [n=1024] [reps=15] [cpu=last usable CPU]
//
// Flops are counted as 2 n^3 for both. Runs alternate between the two so that
// frequency drift and neighbours' load hit both alike; the best and the median
// time of each are reported. Target: term product >= 0.85 x SGEMM.
#include <cblas.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "benchmarks/agg1/bench_support.h"
#include "common/clock.h"
#include "common/cpus.h"
#include "common/pinned_thread.h"
#include "multiply/agg1/term_product.h"

extern "C" char* openblas_get_corename(void);

int main(int argc, char** argv) {
    const std::uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    const int reps = argc > 2 ? std::atoi(argv[2]) : 15;
    const int cpu = argc > 3 ? std::atoi(argv[3]) : usable_cpus().back();

    pin_current_thread(cpu, report_pin_failure);
    openblas_set_num_threads(1);

    const std::size_t nn = n * n;
    std::mt19937 rng(42);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    std::vector<float*> blocks;
    for (int i = 0; i < 12; ++i) {
        float* p = aligned_floats(nn);
        for (std::size_t e = 0; e < nn; ++e) p[e] = i < 9 ? d(rng) : 0.0f;
        blocks.push_back(p);
    }
    // The shape of an agg1 main leaf: three A terms, three B terms, three outputs.
    agg1::TermView ta[3], tb[3], tc[3];
    const float sign[3] = {-1.0f, 1.0f, 1.0f};
    for (int t = 0; t < 3; ++t) {
        ta[t] = agg1::TermView{blocks[t], n, sign[t]};
        tb[t] = agg1::TermView{blocks[3 + t], n, 1.0f};
        tc[t] = agg1::TermView{blocks[6 + t], n, sign[t]};
    }
    float *A = blocks[9], *B = blocks[10], *C = blocks[11];
    for (std::size_t e = 0; e < nn; ++e) A[e] = d(rng), B[e] = d(rng);
    const pan_adapter::LeafPlan plan = pan_adapter::leaf_plan_default(n);
    float* ws = aligned_floats(agg1::term_workspace_floats(n, &plan));

    auto run_term = [&] { agg1::term_product(n, 3, ta, 3, tb, 3, tc, ws, &plan); };
    auto run_blas = [&] {
        const int s = static_cast<int>(n);
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, s, s, s, 1.0f, A, s, B, s, 1.0f, C, s);
    };
    for (int i = 0; i < 2; ++i) run_term(), run_blas();  // page faults, frequency
    std::vector<double> t_term, t_blas;
    for (int r = 0; r < reps; ++r) {
        const std::uint64_t t0 = monotonic_ns();
        run_term();
        t_term.push_back(seconds_since(t0));
        const std::uint64_t t1 = monotonic_ns();
        run_blas();
        t_blas.push_back(seconds_since(t1));
    }
    const double flops = 2.0 * static_cast<double>(n) * static_cast<double>(n) * static_cast<double>(n);
    const double term_best = *std::min_element(t_term.begin(), t_term.end());
    const double blas_best = *std::min_element(t_blas.begin(), t_blas.end());
    const double term_med = median_of(t_term), blas_med = median_of(t_blas);
    const char* coretype = std::getenv("OPENBLAS_CORETYPE");
    std::printf("TERM_PRODUCT_BENCH n=%llu reps=%d cpu=%d openblas_core=%s OPENBLAS_CORETYPE=%s config=\"%s\"\n",
                static_cast<unsigned long long>(n), reps, cpu, openblas_get_corename(),
                coretype != nullptr ? coretype : "(unset)", openblas_get_config());
    std::printf("term_product  best=%.6f s %.2f GFLOPS  median=%.6f s %.2f GFLOPS\n", term_best,
                flops / term_best * 1e-9, term_med, flops / term_med * 1e-9);
    std::printf("cblas_sgemm   best=%.6f s %.2f GFLOPS  median=%.6f s %.2f GFLOPS\n", blas_best,
                flops / blas_best * 1e-9, blas_med, flops / blas_med * 1e-9);
    std::printf("ratio term/sgemm best=%.3f median=%.3f (target >= 0.85)\n", blas_best / term_best,
                blas_med / term_med);
    return 0;
}
