// Seconds of the equilibration's transform and recover, the part of the
// scaled routes' conditioning and decode phases that scales A and B and
// brings C back, on standard normal inputs (optionally with subnormal
// entries in A, one in `every`, which the scaling brings down with bits to
// lose, and with every `zero_every`-th row of B zero, whose columns of A the
// scaling brings to the level of the others).
//
// Usage: conditioning_bench [N=16384] [reps=9] [workers=8] [every=0] [zero_every=0]
// One warm-up round, then `reps` rounds; prints the smallest and the median
// seconds of each step:
//   CONDITIONING n=N workers=W kept=K transform_best=S transform_median=S recover_best=S recover_median=S
// or, when the transform refuses the inputs (too many entries to keep):
//   CONDITIONING n=N workers=W refused: <reason>   (exit status 1)
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "common/clock.h"
#include "common/cpus.h"
#include "multiply/method/equil.h"
#include "multiply/method/matrix_storage.h"
#include "multiply/method/problem.h"
#include "multiply/method/square_view.h"
#include "multiply/pan_adapter/pool.h"

namespace {

// Rows [w·n/W, (w+1)·n/W) of A and B of worker w: normal entries from a
// per-row generator, so that every worker touches its own rows first.
std::uint64_t g_n = 0, g_every = 0, g_zero_every = 0;
int g_jobs = 0;
void fill_job(int w) {
    const std::uint64_t n = g_n;
    const square_view::Range rows = square_view::job_range(w, g_jobs, n);
    for (std::uint64_t i = rows.first; i < rows.last; ++i) {
        std::mt19937 rng(static_cast<unsigned>(i));
        std::normal_distribution<float> g(0.0f, 1.0f);
        for (std::uint64_t j = 0; j < n; ++j) {
            problem.A[i * n + j] = g_every != 0 && (i * n + j) % g_every == 0 ? 1e-40f : g(rng);
            problem.B[i * n + j] = g_zero_every != 0 && i % g_zero_every == 0 ? 0.0f : g(rng);
            problem.C[i * n + j] = g(rng);
        }
    }
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 16384;
    const int reps = argc > 2 ? std::atoi(argv[2]) : 9;
    int workers = argc > 3 ? std::atoi(argv[3]) : 8;
    g_every = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 0;
    g_zero_every = argc > 5 ? std::strtoull(argv[5], nullptr, 10) : 0;
    workers = std::min(workers, usable_cpus_from(0));
    if (n == 0 || reps < 1 || workers < 1) {
        std::fprintf(stderr, "usage: %s [N] [reps] [workers] [every] [zero_every]\n", argv[0]);
        return 2;
    }
    pan_adapter::init_pool(workers, 0);
    MatrixStorage a, b, c;
    allocate_matrix(a, n, n);
    allocate_matrix(b, n, n);
    allocate_matrix(c, n, n);
    problem.A = a.data;
    problem.B = b.data;
    problem.C = c.data;
    problem.lda = problem.ldb = problem.ldc = problem.n = n;
    g_n = n;
    g_jobs = workers;
    pan_adapter::run_jobs(workers, fill_job);
    equil::prepare(n);

    int status = 0;
    std::vector<double> transform, recover;
    for (int r = 0; r <= reps; ++r) {
        std::uint64_t t0 = monotonic_ns();
        try {
            equil::transform();
        } catch (const equil::UnscalableInput& e) {
            std::printf("CONDITIONING n=%llu workers=%d refused: %s\n", static_cast<unsigned long long>(n), workers,
                        e.what());
            status = 1;
            break;
        }
        const double t = seconds_since(t0);
        t0 = monotonic_ns();
        equil::recover();
        const double u = seconds_since(t0);
        if (r == 0) continue;  // warm-up
        transform.push_back(t);
        recover.push_back(u);
    }
    if (status == 0)
        std::printf("CONDITIONING n=%llu workers=%d kept=%llu transform_best=%.6f transform_median=%.6f "
                    "recover_best=%.6f recover_median=%.6f\n",
                    static_cast<unsigned long long>(n), workers,
                    static_cast<unsigned long long>(equil::published.preflight_failures),
                    *std::min_element(transform.begin(), transform.end()), median(transform),
                    *std::min_element(recover.begin(), recover.end()), median(recover));
    release_equil_state();
    pan_adapter::shutdown();
    std::free(a.data);
    std::free(b.data);
    std::free(c.data);
    return status;
}
