// korvane_multiply: C = A·B for square float32 matrices.
//
// The run goes through four steps, each a small function below: parse the
// command line, choose the route (method and internal side) from the inputs,
// run it (back ends and pools, matrices, reading, set-up, product), and report
// (progress lines, then C written to its file).
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/common.h"
#include "common/cpus.h"
#include "common/output_file.h"
#include "common/process_exit.h"
#include "multiply/accuracy/accuracy.h"
#include "multiply/io/io.h"
#include "multiply/method/equil.h"
#include "multiply/method/matrix_storage.h"
#include "multiply/method/method_run.h"
#include "multiply/method/method_spec.h"
#include "multiply/method/non_finite.h"
#include "multiply/method/problem.h"
#include "multiply/pan_adapter/pool.h"

namespace {

// What the command line asked for, before any limit is applied.
struct Options {
    std::string mode = "safe";
    std::uint64_t side_hint = 0;  // --n, 0 = none
    bool check = false;
    int workers = 0;
    std::uint64_t leaf = 0;
    std::vector<std::string> paths;  // positional arguments: A, B and C when well formed
};

// The chosen route: both inputs, their side N, the internal side n, the
// method text and the note that the start line carries after the mode.
struct Route {
    io::Info a, b;
    std::uint64_t N = 0;
    std::uint64_t n = 0;
    std::string method;
    std::string suffix;
};

// Seconds printed on the multiply line.
struct RunTimes {
    double reading = 0;
    double setup = 0;
    double multiply = 0;
};

// Owns the three matrices; on every way out after the back ends started, the
// method state and pools are released before the buffers go.
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

// KORVANE_THP, "collapse" when unset; "off" disables transparent huge pages
// for the whole process.
std::string huge_page_mode() {
    const char* env = std::getenv("KORVANE_THP");
    std::string mode = env ? env : "collapse";
    if (mode == "off") prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);
    return mode;
}

// Scans argv[1 ..] in order; a repeated option overrides the earlier one.
// Throws on an unknown option, a missing value or a value that is no number.
Options parse_options(int argc, char** argv) {
    Options o;
    o.workers = problem.workers;
    o.leaf = problem.leaf;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--mode") {
            o.mode = next_value(i, argc, argv, arg);
        } else if (arg == "--n") {
            o.side_hint = std::stoul(next_value(i, argc, argv, arg));
        } else if (arg == "--workers") {
            o.workers = std::stoi(next_value(i, argc, argv, arg));
        } else if (arg == "--leaf") {
            o.leaf = std::stoul(next_value(i, argc, argv, arg));
        } else if (arg == "--check") {
            o.check = true;
        } else if (arg.rfind("--", 0) == 0) {
            throw std::runtime_error("unknown option " + arg);
        } else {
            o.paths.push_back(arg);
        }
    }
    return o;
}

void print_usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s A_file B_file C_file [--mode safe|accurate|fast|large|classical] "
                 "[--n N] [--workers W] [--leaf L] [--check]\n"
                 "       files: .npy (float32, C order, square) or raw float32 row-major\n",
                 program);
}

// The worker count: at most 64, and at most the CPUs this process may run on
// from cpu_base on (every worker is pinned to one of them).
int limit_workers(int requested, std::uint64_t leaf, int cpu_base) {
    long cpus = usable_cpus_from(cpu_base);
    if (cpus <= 0) cpus = sysconf(_SC_NPROCESSORS_ONLN);
    int workers = requested < 64 ? requested : 64;
    if (cpus > 0 && workers > cpus) workers = static_cast<int>(cpus);
    if (workers < 1 || leaf == 0) throw std::runtime_error("invalid --workers or --leaf");
    return workers;
}

// Inspects both inputs and picks the method and the internal side.
Route choose_route(const Options& o, std::uint64_t leaf) {
    Route r;
    r.a = io::inspect_input(o.paths[0], o.side_hint);
    r.b = io::inspect_input(o.paths[1], o.side_hint);
    if (r.a.side != r.b.side) throw std::runtime_error("A and B must be square matrices of the same size");
    r.N = r.a.side;
    // N + 4·leaf > 2^31 - 1, without wrap-around.
    const std::uint64_t limit = 2147483647ull;
    if (r.N > limit || leaf > (limit - r.N) / 4) throw std::runtime_error("matrix too large");

    if (r.N < 8192 || o.mode == "classical") {
        r.method = "dense";
        if (o.mode != "classical") r.suffix = " -> classical (matrix too small for the fast routes)";
    } else {
        r.method = mode_method(o.mode);
        if (r.method.empty()) throw std::runtime_error("unknown mode " + o.mode);
    }
    // Every route but dense works on whole pairs of leaf blocks.
    const std::uint64_t multiple = r.method == "dense" ? 1 : 2 * leaf;
    r.n = (r.N + multiple - 1) / multiple * multiple;
    if (r.method == mode_method("large") && r.n / leaf < 30) {
        r.method = large_fallback_method();
        r.suffix = " -> safe (matrix too small for the large route: fewer than 30 blocks per side)";
    }
    return r;
}

void print_start_line(const Options& o, const Route& r) {
    std::printf("korvane_multiply: N = %zu (internal %zu), mode %s%s, %d workers, leaf %zu\n",
                static_cast<std::size_t>(r.N), static_cast<std::size_t>(r.n), o.mode.c_str(), r.suffix.c_str(),
                problem.workers, static_cast<std::size_t>(problem.leaf));
    std::fflush(stdout);
}

// The first touch of an input matrix whose leading N x N block the
// reader overwrites next: only its padding needs the zeros.
void first_touch_input(const MatrixStorage& m, std::uint64_t n, std::uint64_t N) {
    touch_params.side = n;
    touch_params.kept = N;
    touch_params.data = m.data;
    touch_params.ld = m.ld;
    pan_adapter::run_jobs(problem.workers, touch_rows_job);
}

// A, B and C of side n in the Problem views, first touched by the workers,
// with zeros wherever the reader does not write. Asking for huge pages before
// the first touch lets the faults map them directly, so the collapse
// afterwards finds nothing left to copy.
void prepare_matrices(Matrices& m, std::uint64_t n, std::uint64_t N, const std::string& thp) {
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
    for (const MatrixStorage* s : {&m.a, &m.b, &m.c}) request_huge_pages(s->data, s->bytes, thp);
    first_touch_input(m.a, n, N);
    first_touch_input(m.b, n, N);
    fill_block(m.c.data, n, m.c.ld, 0);  // the whole of C: zeros, each worker's rows first
    for (const MatrixStorage* s : {&m.a, &m.b, &m.c}) advise_huge_pages(s->data, s->bytes, thp);
}

// Reads A and B, then sets up and runs the method (after sampling the
// untouched inputs when checking).
RunTimes multiply_files(const Options& o, const Route& r, const Matrices& m) {
    RunTimes t;
    const std::uint64_t t0 = monotonic_ns();
    io::read_matrix(o.paths[0], r.a, m.a.data, m.a.ld);
    io::read_matrix(o.paths[1], r.b, m.b.data, m.b.ld);
    t.reading = seconds_since(t0);

    const MethodSpec spec = parse_method_spec(r.method);
    if (o.check) accuracy::prepare(problem.A, problem.lda, problem.B, problem.ldb, r.N);
    t.setup = setup_method(spec);
    try {
        t.multiply = execute_method(spec);
    } catch (const NonFiniteInput&) {
        // Refused before A or B changed. The sums of every route but the
        // dense one mix entries of different rows and columns, so one NaN or
        // infinity would spread over entries of C that should be finite.
        throw std::runtime_error("mode " + o.mode + " needs finite inputs, and A or B holds a NaN or an "
                                 "infinity: --mode classical takes them");
    } catch (const equil::UnscalableInput& e) {
        // Also refused before A or B changed: unscaled, the sums would lose
        // the digits of every row, column or inner index far below the others.
        throw std::runtime_error("mode " + o.mode + " cannot scale A and B by powers of two: " + e.what() +
                                 ": --mode classical takes them");
    }
    return t;
}

// The multiply line, the phases line of every route but dense, and with
// --check the check line.
void report(const Route& r, const RunTimes& t, bool check) {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double peak = static_cast<double>(static_cast<unsigned long>(usage.ru_maxrss)) / 1048576.0;
    std::printf("multiply: %.3f s (setup %.3f s, reading %.3f s), peak memory %.1f GB\n", t.multiply, t.setup,
                t.reading, peak);
    const PhaseTimers& pt = phase_timers;
    if (r.method == "scale_center_agg1") {
        std::printf("phases: conditioning %.3f s, block sums %.3f s, main products %.3f s (deferred %ld, "
                    "drained %ld, tail %.3f s, leaves per worker %ld-%ld, finish spread %.3f s), "
                    "corrections %.3f s, broadcast %.3f s, decode %.3f s\n",
                    pt.forms, pt.agg_zero + pt.agg_sums, pt.agg_main, static_cast<long>(pt.agg_deferrals),
                    static_cast<long>(pt.agg_drain_leaves), pt.agg_drain_max,
                    static_cast<long>(pt.agg_leaves_min), static_cast<long>(pt.agg_leaves_max),
                    pt.agg_finish_spread, pt.agg_corr, pt.agg_bcast, pt.decode);
    } else if (r.method != "dense") {
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
}

// Writes the leading N x N block of C into its output file and prints the
// wrote line.
void write_result(OutputFile& out, const MatrixStorage& c, std::uint64_t N) {
    const std::uint64_t t0 = monotonic_ns();
    io::write_matrix(out, c.data, N, c.ld);
    std::printf("wrote %s (%zu x %zu float32) in %.3f s\n", out.path().c_str(), static_cast<std::size_t>(N),
                static_cast<std::size_t>(N), seconds_since(t0));
    std::fflush(stdout);
}

int run(int argc, char** argv) {
    const std::string thp = huge_page_mode();
    const Options o = parse_options(argc, argv);
    if (o.paths.size() != 3) {
        print_usage(argv[0]);
        return 2;
    }
    problem.leaf = o.leaf;
    problem.workers = limit_workers(o.workers, o.leaf, problem.cpu_base);
    problem.native_threads = problem.workers;

    const Route r = choose_route(o, problem.leaf);
    problem.n = r.n;
    problem.real_n = r.N;
    problem.ld = r.n;
    problem.data_distribution = "balanced";
    problem.full_reference = false;
    problem.leaf_grid_n = leaf_grid(r.n);
    print_start_line(o, r);

    Matrices m;
    start_backends(problem.workers, problem.cpu_base, m.started);
    // C's file is created before the matrices and the product: a C that
    // cannot be created ends the run here, not after the product.
    OutputFile out(o.paths[2]);
    prepare_matrices(m, r.n, r.N, thp);
    const RunTimes t = multiply_files(o, r, m);
    report(r, t, o.check);
    write_result(out, m.c, r.N);
    return 0;
}

}  // namespace

// A failed run ends as soon as its failure line is out (see end_process).
// SIGPIPE is ignored: a C whose reader has gone fails as a write, and a
// standard output whose reader has gone loses the progress lines but not the
// run.
int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    return main_status(run_reporting_failure(run, argc, argv));
}
