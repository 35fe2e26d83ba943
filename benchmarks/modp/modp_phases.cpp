// Seconds per phase of korvane_multiply_modp's products at one size:
//   modp_phases classical|fmm N block p workers [reps]
// Runs the program's product step (multiply_padded) on random residues in
// padded matrices, reps times (default 3), and prints the best run:
//   PHASES route=... n=... block=... p=... workers=... total=<s> cpu=<s> <phase>=<s> ...
// cpu is the process's CPU seconds during the best run: on a shared machine
// it varies less than the wall time.
#include <cblas.h>

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "common/clock.h"
#include "common/common.h"
#include "modp/alloc.h"
#include "modp/phase_times.h"
#include "modp/pool.h"
#include "modp/program.h"

namespace {

int run(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: %s classical|fmm N block p workers [reps]\n", argv[0]);
        return 2;
    }
    torvik::Options options;
    options.mode = argv[1];
    const std::size_t n = std::strtoul(argv[2], nullptr, 10);
    options.block = std::strtoul(argv[3], nullptr, 10);
    options.p = std::strtoll(argv[4], nullptr, 10);
    options.workers = std::atoi(argv[5]);
    const int reps = argc > 6 ? std::atoi(argv[6]) : 3;
    torvik::apply_limits(options);
    const torvik::Plan plan = torvik::choose_route(options, n);
    openblas_set_num_threads(1);
    torvik::Pool pool;
    pool.start(plan.workers, 0);
    double* A = torvik::alloc_aligned(plan.cells);
    double* B = torvik::alloc_aligned(plan.cells);
    double* C = torvik::alloc_aligned(plan.cells);
    const std::size_t ld = plan.ld;
    const std::uint64_t p = static_cast<std::uint64_t>(plan.p);
    pool.run(static_cast<int>(plan.d), [=](int r, int) {
        std::mt19937_64 rng(static_cast<std::uint64_t>(r));
        const std::size_t row = static_cast<std::size_t>(r);
        for (std::size_t j = 0; j < ld; ++j) {
            const bool data = row < n && j < n;
            A[row * ld + j] = data ? static_cast<double>(rng() % p) : 0.0;
            B[row * ld + j] = data ? static_cast<double>(rng() % p) : 0.0;
        }
    });
    auto cpu_seconds = [] {
        timespec ts{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
    };
    double best = 1e300, best_cpu = 0;
    torvik::PhaseTimes best_times;
    for (int r = 0; r < reps; ++r) {
        pool.run(static_cast<int>(plan.d), [=](int row, int) {
            for (std::size_t j = 0; j < ld; ++j) C[static_cast<std::size_t>(row) * ld + j] = 0.0;
        });
        torvik::PhaseTimes times;
        const double cpu0 = cpu_seconds();
        const std::uint64_t t0 = monotonic_ns();
        torvik::multiply_padded(pool, plan, A, B, C, &times);
        const double total = seconds_since(t0);
        if (total < best) {
            best = total;
            best_cpu = cpu_seconds() - cpu0;
            best_times = times;
        }
    }
    std::printf("PHASES route=%s n=%zu block=%zu p=%lld workers=%d total=%.3f cpu=%.3f",
                plan.classical ? "classical" : "fmm", n, plan.block, plan.p, plan.workers, best, best_cpu);
    for (const auto& [name, seconds] : best_times.phases) std::printf(" %s=%.3f", name.c_str(), seconds);
    std::printf("\n");
    pool.stop();
    std::free(A);
    std::free(B);
    std::free(C);
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return run_reporting_failure(run, argc, argv); }
