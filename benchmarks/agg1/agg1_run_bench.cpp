// Times agg1::run on N x N float matrices: N = q * block on W pinned workers.
// Usage: agg1_run_bench N block [reps=2] [workers=8] [cpu_base=0]
//
// The matrices are backed by transparent huge pages, as the program's are.
// Prints one AGG1_RUN line for the best run: seconds, effective GFLOPS
// (2 N^3 / seconds), the phase times of its report and its counts, and the
// register tiles the term products ran (avx512 where the processor has usable
// AVX-512F, else avx2). Inputs are
// uniform in [-1, 1]; the first run is a warm-up of the same size only when
// reps > 1 (it is then counted like the others: best of all).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "benchmarks/agg1/bench_support.h"
#include "multiply/agg1/agg1.h"
#include "multiply/agg1/term_product.h"

namespace {

// xorshift64*: a fast fill of the inputs.
void fill(float* p, std::size_t count, std::uint64_t seed) {
    std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (std::size_t i = 0; i < count; ++i) {
        x ^= x >> 12, x ^= x << 25, x ^= x >> 27;
        const std::uint64_t r = x * 0x2545F4914F6CDD1Dull;
        p[i] = static_cast<float>(static_cast<double>(r >> 40) / 8388608.0 - 1.0);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s N block [reps=2] [workers=8] [cpu_base=0]\n", argv[0]);
        return 2;
    }
    const std::uint64_t N = std::strtoull(argv[1], nullptr, 10);
    const std::uint64_t block = std::strtoull(argv[2], nullptr, 10);
    const int reps = argc > 3 ? std::atoi(argv[3]) : 2;
    const int workers = argc > 4 ? std::atoi(argv[4]) : 8;
    const int cpu_base = argc > 5 ? std::atoi(argv[5]) : 0;
    if (block == 0 || N % block != 0) {
        std::fprintf(stderr, "N must be a multiple of block\n");
        return 2;
    }
    try {
        agg1::init_pool(workers, cpu_base);
        const std::size_t nn = N * N;
        float *A = huge_page_floats(nn), *B = huge_page_floats(nn), *C = huge_page_floats(nn);
        fill(A, nn, 1);
        fill(B, nn, 2);
        std::fill_n(C, nn, 0.0f);
        agg1::prepare(N / block, block);
        agg1::RunReport best{};
        best.total_seconds = 1e300;
        for (int r = 0; r < reps; ++r) {
            agg1::RunReport rep;
            agg1::run(&rep, A, N, B, N, C, N, false);
            if (rep.total_seconds < best.total_seconds) best = rep;
        }
        const double flops = 2.0 * static_cast<double>(N) * static_cast<double>(N) * static_cast<double>(N);
        std::printf(
            "AGG1_RUN N=%llu block=%llu q=%llu workers=%d seconds=%.3f gflops=%.1f zero=%.3f sums=%.3f main=%.3f "
            "corrections=%.3f broadcast=%.3f kernel_calls=%lld main_leaves=%lld deferrals=%lld drained=%lld "
            "drain_tail=%.3f redirects=%lld leaves=%lld-%lld finish_spread=%.3f tiles=%s\n",
            static_cast<unsigned long long>(N), static_cast<unsigned long long>(block),
            static_cast<unsigned long long>(N / block), workers, best.total_seconds, flops / best.total_seconds * 1e-9,
            best.zero_seconds, best.sums_seconds, best.main_seconds, best.corrections_seconds,
            best.broadcast_seconds, static_cast<long long>(best.kernel_calls),
            static_cast<long long>(best.main_leaves), static_cast<long long>(best.deferrals),
            static_cast<long long>(best.drained), best.drain_tail_seconds, static_cast<long long>(best.redirects),
            static_cast<long long>(best.leaves_min), static_cast<long long>(best.leaves_max),
            best.finish_spread_seconds,
            agg1::term_tiles_choice.get() == agg1::term_tiles_choice.avx512() ? "avx512" : "avx2");
        agg1::shutdown();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "FAILED %s\n", e.what());
        return 2;
    }
    return 0;
}
