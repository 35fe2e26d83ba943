// korvane_multiply: C = A·B for square float32 matrices.
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cblas.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/common.h"
#include "multiply/accuracy/accuracy.h"
#include "multiply/agg1/agg1.h"
#include "multiply/blas/aocl_backend.h"
#include "multiply/io/io.h"
#include "multiply/method/matrix_storage.h"
#include "multiply/method/method_run.h"
#include "multiply/method/method_spec.h"
#include "multiply/method/problem.h"
#include "multiply/pan_adapter/pool.h"

namespace {

// Zeroes a whole padded matrix on the pool: each worker touches its own rows first.
void first_touch(const MatrixStorage& m, std::uint64_t n) {
    fill_params.pattern = 0;
    fill_params.side = n;
    fill_params.data = m.data;
    fill_params.ld = m.ld;
    pan_adapter::run_jobs(problem.workers, fill_rows_job);
}

// Owns the three matrices; on every way out (after start-up) the method state
// and pools are released before the buffers go.
struct Matrices {
    MatrixStorage a, b, c;
    bool started = false;
    ~Matrices() {
        if (started) release_all();
        std::free(a.data);
        std::free(b.data);
        std::free(c.data);
    }
};

int run(int argc, char** argv) {
    const char* thp_env = std::getenv("KORVANE_THP");
    const std::string thp = thp_env ? thp_env : "collapse";
    if (thp == "off") prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);

    std::string mode = "safe";
    std::uint64_t side_hint = 0;
    bool check = false;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--mode") {
            if (i + 1 >= argc) throw std::runtime_error("missing value after " + arg);
            mode = argv[++i];
        } else if (arg == "--n") {
            if (i + 1 >= argc) throw std::runtime_error("missing value after " + arg);
            side_hint = std::stoul(argv[++i]);
        } else if (arg == "--workers") {
            problem.workers = std::stoi(next_value(i, argc, argv, arg));
        } else if (arg == "--leaf") {
            problem.leaf = std::stoul(next_value(i, argc, argv, arg));
        } else if (arg == "--check") {
            check = true;
        } else if (arg.rfind("--", 0) == 0) {
            throw std::runtime_error("unknown option " + arg);
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 3) {
        std::fprintf(stderr,
                     "usage: %s A_file B_file C_file [--mode safe|accurate|fast|large|classical] "
                     "[--n N] [--workers W] [--leaf L] [--check]\n"
                     "       files: .npy (float32, C order, square) or raw float32 row-major\n",
                     argv[0]);
        return 2;
    }

    long online = sysconf(_SC_NPROCESSORS_ONLN);
    int workers = problem.workers < 64 ? problem.workers : 64;
    if (online > 0 && workers > online) workers = static_cast<int>(online);
    if (workers < 1 || problem.leaf == 0) throw std::runtime_error("invalid --workers or --leaf");
    problem.workers = workers;
    problem.native_threads = workers;

    const io::Info info_a = io::inspect_input(positional[0], side_hint);
    const io::Info info_b = io::inspect_input(positional[1], side_hint);
    if (info_a.side != info_b.side)
        throw std::runtime_error("A and B must be square matrices of the same size");
    const std::uint64_t N = info_a.side;
    // N + 4·leaf > 2^31 - 1, without wrap-around.
    const std::uint64_t limit = 2147483647ull;
    if (N > limit || problem.leaf > (limit - N) / 4) throw std::runtime_error("matrix too large");

    std::string method;
    std::string suffix;
    if (N < 8192 || mode == "classical") {
        method = "dense";
        if (mode != "classical") suffix = " -> classical (matrix too small for the fast routes)";
    } else if (mode == "safe") {
        method = "center_pan2";
    } else if (mode == "accurate") {
        method = "center_accurate2s32t256p1";
    } else if (mode == "fast") {
        method = "strassen_pan1";
    } else if (mode == "large") {
        method = "scale_center_agg1";
    } else {
        throw std::runtime_error("unknown mode " + mode);
    }
    const std::uint64_t multiple = method == "dense" ? 1 : 2 * problem.leaf;
    const std::uint64_t n = (N + multiple - 1) / multiple * multiple;
    problem.n = n;
    problem.ld = n;
    problem.data_distribution = "balanced";
    problem.full_reference = false;
    if (method == "scale_center_agg1" && n / problem.leaf < 30) {
        method = "center_pan2";
        suffix = " -> safe (matrix too small for the large route: fewer than 30 blocks per side)";
    }
    problem.leaf_grid_n = leaf_grid(n);

    std::printf("korvane_multiply: N = %zu (internal %zu), mode %s%s, %d workers, leaf %zu\n",
                static_cast<std::size_t>(N), static_cast<std::size_t>(n), mode.c_str(), suffix.c_str(),
                workers, static_cast<std::size_t>(problem.leaf));
    std::fflush(stdout);

    Matrices m;
    openblas_set_num_threads(1);
    aocl_backend::initialize(workers, problem.cpu_base);
    // From here on every way out stops the pools (release_all copes with a
    // partial start).
    m.started = true;
    pan_adapter::init_pool(workers, problem.cpu_base);
    agg1::init_pool(workers, problem.cpu_base);

    allocate_matrix(m.a, n, n);
    allocate_matrix(m.b, n, n);
    allocate_matrix(m.c, n, n);
    problem.A = m.a.data;
    problem.lda = m.a.ld;
    problem.B = m.b.data;
    problem.ldb = m.b.ld;
    problem.C = m.c.data;
    problem.ldc = m.c.ld;
    problem.R = nullptr;
    problem.ldr = 0;
    first_touch(m.a, n);
    first_touch(m.b, n);
    first_touch(m.c, n);
    advise_huge_pages(m.a.data, m.a.bytes, thp);
    advise_huge_pages(m.b.data, m.b.bytes, thp);
    advise_huge_pages(m.c.data, m.c.bytes, thp);

    std::uint64_t t0 = monotonic_ns();
    io::read_matrix(positional[0], info_a, m.a.data, m.a.ld);
    io::read_matrix(positional[1], info_b, m.b.data, m.b.ld);
    const double reading = seconds_since(t0);

    const MethodSpec spec = parse_method_spec(method);
    if (check) accuracy::prepare(problem.A, problem.lda, problem.B, problem.ldb, N);

    const double setup = setup_method(spec);
    const double multiply = execute_method(spec);

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double peak = static_cast<double>(static_cast<unsigned long>(usage.ru_maxrss)) / 1048576.0;
    std::printf("multiply: %.3f s (setup %.3f s, reading %.3f s), peak memory %.1f GB\n", multiply,
                setup, reading, peak);
    const PhaseTimers& pt = phase_timers;
    if (method == "scale_center_agg1") {
        std::printf("phases: conditioning %.3f s, block sums %.3f s, main products %.3f s (deferred %ld, "
                    "drained %ld, tail %.3f s, leaves per worker %ld-%ld, finish spread %.3f s), "
                    "corrections %.3f s, broadcast %.3f s, decode %.3f s\n",
                    pt.forms, pt.agg_zero + pt.agg_sums, pt.agg_main, static_cast<long>(pt.agg_deferrals),
                    static_cast<long>(pt.agg_drain_leaves), pt.agg_drain_max,
                    static_cast<long>(pt.agg_leaves_min), static_cast<long>(pt.agg_leaves_max),
                    pt.agg_finish_spread, pt.agg_corr, pt.agg_bcast, pt.decode);
    } else if (method != "dense") {
        std::printf("phases: conditioning %.3f s, block products %.3f s, corrections %.3f s, vendor "
                    "products %.3f s, decode %.3f s\n",
                    pt.forms, pt.pan_main, pt.pan_corr, pt.dense, pt.decode);
    }
    if (check) {
        AccuracyResult result;
        accuracy::analyze(&result, problem.C, problem.ldc, problem.C, problem.ldc, "result");
        std::printf("check: relative error against FP64 on sampled rows %.3g (worst row %.3g), on sampled "
                    "points %.3g, non-finite entries %llu\n",
                    result.fp64_rows_rel, result.fp64_row_max, result.points_rel,
                    static_cast<unsigned long long>(result.nonfinite));
    }
    std::fflush(stdout);

    t0 = monotonic_ns();
    io::write_matrix(positional[2], m.c.data, N, m.c.ld);
    std::printf("wrote %s (%zu x %zu float32) in %.3f s\n", positional[2].c_str(),
                static_cast<std::size_t>(N), static_cast<std::size_t>(N), seconds_since(t0));
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "FAILED %s\n", e.what());
        return 2;
    }
}
