// One agg1 term product (three terms per side, three outputs) against
// one-thread OpenBLAS cblas_sgemm on the same pinned core, in the same run.
// Usage: term_product_bench [n=1024] [reps=15] [cpu=last usable CPU]
//
// Runs term_product with the AVX2 register tiles and, where the processor has
// usable AVX-512F, with the AVX-512F tiles (each forced in turn); says so
// plainly when it cannot run the AVX-512F tiles. Flops are counted as 2 n^3
// for all. Runs alternate between the contenders so that frequency drift and
// neighbours' load hit all alike; the best and the median time of each are
// reported. OpenBLAS runs whatever kernel the environment selects
// (OPENBLAS_CORETYPE); run_term_product_bench.sh runs this program with that
// variable unset and as set. Target: >= 0.90 x SGEMM (OpenBLAS's AVX-512 kernel).
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "benchmarks/agg1/bench_support.h"
#include "benchmarks/kernel_contest.h"
#include "common/cpus.h"
#include "common/pinned_thread.h"
#include "multiply/agg1/term_product.h"
#include "multiply/pan_adapter/kernel_select_testing.h"

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

    using agg1::TermTilesFn;
    const auto term_with = [&](TermTilesFn tiles) {
        return [&, tiles] {
            kernel_select::ForcedKernel<TermTilesFn> force(agg1::term_tiles_choice, tiles);
            agg1::term_product(n, 3, ta, 3, tb, 3, tc, ws, &plan);
        };
    };
    const bool avx512 = kernel_select::avx512f_usable();
    std::vector<Contender> contenders;
    contenders.push_back({"term_product avx2 6x16", term_with(&agg1::term_tiles_avx2), 0.90, {}});
    if (avx512)
        contenders.push_back({"term_product avx512 12x32", term_with(&agg1::term_tiles_avx512), 0.90, {}});
    contenders.push_back(sgemm_contender(n, A, B, C));
    run_contest(contenders, reps);

    std::printf("TERM_PRODUCT_BENCH n=%llu reps=%d cpu=%d\n", static_cast<unsigned long long>(n), reps, cpu);
    print_openblas_line();
    print_selected_tiles(avx512);
    if (!avx512)
        std::printf("term_product avx512 12x32: not run: this processor has no usable AVX-512F "
                    "(the AVX2 tiles are what the programs use here)\n");
    print_contest(contenders, n, 26);
    return 0;
}
