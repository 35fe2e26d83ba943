// Pan leaf kernels versus one-thread OpenBLAS cblas_sgemm on one pinned core,
// in the same run. Usage: pan_kernel_bench [n=1024] [reps=15] [cpu=last online CPU]
//
// Runs pair_product and accurate_pair_product (at each depth chunk: 32, 64,
// 128) with the AVX2 register tiles and, where the processor has usable
// AVX-512F, with the AVX-512F tiles (each forced in turn); says so plainly
// when it cannot run the AVX-512F tiles. Flops are counted as 2 n^3 for all:
// both kernels compute one product (A1 + A2)(B1 + B2) and add it into two
// outputs (float for the pair kernel, FP64 for the accurate one). Runs
// alternate between the contenders so that frequency drift and neighbours'
// load hit all alike; the best and the median time of each are reported.
// OpenBLAS runs whatever kernel the environment selects (OPENBLAS_CORETYPE);
// run_pan_kernel_bench.sh runs this program with that variable unset and as set.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "benchmarks/kernel_contest.h"
#include "common/pinned_thread.h"
#include "multiply/pan_adapter/accurate_kernel.h"
#include "multiply/pan_adapter/kernel_select_testing.h"
#include "multiply/pan_adapter/leaf_plan.h"
#include "multiply/pan_adapter/pan_kernel.h"

namespace {

void fill(float* p, std::size_t count, std::mt19937& rng) {
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    for (std::size_t i = 0; i < count; ++i) p[i] = d(rng);
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    const int reps = argc > 2 ? std::atoi(argv[2]) : 15;
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    const int cpu = argc > 3 ? std::atoi(argv[3]) : static_cast<int>(online - 1);
    if (n == 0 || reps < 1) {
        std::fprintf(stderr, "usage: pan_kernel_bench [n>=1] [reps>=1] [cpu]\n");
        return 1;
    }

    if (const int rc = try_pin_current_thread(cpu); rc != 0) {
        errno = rc;
        std::perror("sched_setaffinity");
        return 1;
    }
    openblas_set_num_threads(1);

    const std::size_t nn = n * n;
    std::mt19937 rng(42);
    float *A1 = aligned_floats(nn), *A2 = aligned_floats(nn), *B1 = aligned_floats(nn), *B2 = aligned_floats(nn);
    float *C1 = aligned_floats(nn), *C2 = aligned_floats(nn), *A = aligned_floats(nn), *B = aligned_floats(nn), *C = aligned_floats(nn);
    for (float* p : {A1, A2, B1, B2, A, B}) fill(p, nn, rng);
    for (float* p : {C1, C2, C}) std::fill(p, p + nn, 0.0f);
    float* ws = aligned_floats(pan_adapter::pair_workspace_floats_default(n));
    std::vector<double> D1(nn, 0.0), D2(nn, 0.0);

    using pan_adapter::PairTilesFn;
    const auto pair_with = [&](PairTilesFn tiles) {
        return [&, tiles] {
            kernel_select::ForcedKernel<PairTilesFn> force(pan_adapter::pair_tiles_choice, tiles);
            pan_adapter::pair_product(n, A1, n, A2, n, B1, n, B2, n, C1, n, C2, n, ws);
        };
    };
    const bool avx512 = kernel_select::avx512f_usable();
    std::vector<Contender> contenders;
    contenders.push_back({"pair_product avx2 6x16", pair_with(&pan_adapter::pair_tiles_avx2), 0.95, {}});
    if (avx512)
        contenders.push_back(
            {"pair_product avx512 12x32", pair_with(&pan_adapter::pair_tiles_avx512), 0.95, {}});
    using pan_adapter::AccurateTilesFn;
    const auto accurate_with = [&](AccurateTilesFn tiles, std::uint64_t subk) {
        return [&, tiles, subk] {
            kernel_select::ForcedKernel<AccurateTilesFn> force(pan_adapter::accurate_tiles_choice,
                                                               tiles);
            pan_adapter::set_accurate_main_subk(subk);
            pan_adapter::accurate_pair_product(n, A1, n, A2, n, B1, n, B2, n, D1.data(), n,
                                               D2.data(), n, ws);
        };
    };
    for (std::uint64_t subk : {32u, 64u, 128u}) {
        const std::string s = " subk " + std::to_string(subk);
        const double target = subk == 32 ? 0.85 : 0.90;
        contenders.push_back({"accurate avx2 6x16" + s,
                              accurate_with(&pan_adapter::accurate_tiles_avx2, subk), target, {}});
        if (avx512)
            contenders.push_back({"accurate avx512 12x32" + s,
                                  accurate_with(&pan_adapter::accurate_tiles_avx512, subk), target, {}});
    }
    contenders.push_back(sgemm_contender(n, A, B, C));
    run_contest(contenders, reps);

    std::printf("PAN_KERNEL_BENCH n=%llu reps=%d cpu=%d\n", static_cast<unsigned long long>(n),
                reps, cpu);
    print_openblas_line();
    print_selected_tiles(avx512);
    if (!avx512)
        std::printf("pair_product and accurate avx512 12x32: not run: this processor has no "
                    "usable AVX-512F (the AVX2 tiles are what the programs use here)\n");
    print_contest(contenders, n, 32);
    return 0;
}
