#include "modp/program.h"

#include <cblas.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <random>
#include <stdexcept>
#include <string>

#include "common/blas_buffers.h"
#include "common/clock.h"
#include "common/common.h"
#include "common/cpus.h"
#include "common/output_file.h"
#include "modp/alloc.h"
#include "modp/bundle.h"
#include "modp/classical.h"
#include "modp/matrix_io.h"
#include "modp/pool.h"

namespace torvik {

void (*before_check_hook)(double* C, std::size_t ld, std::size_t n) = nullptr;

namespace {

constexpr std::size_t kCheckSamples = 4096;
constexpr long long kMaxP = 2147483647;
constexpr double kTwo53 = 9007199254740992.0;

const char* const kInvalidLimits = "invalid --workers, --block or --p";

// Stops the pool on every way out of main, before any failure line.
struct PoolGuard {
    Pool& pool;
    bool started = false;
    void stop() {
        if (!started) return;
        stop_pool_on_alloc_failure(nullptr);
        pool.stop();
        started = false;
    }
    ~PoolGuard() { stop(); }
};

struct Buffers {
    double* A = nullptr;
    double* B = nullptr;
    double* C = nullptr;
    ~Buffers() {
        std::free(A);
        std::free(B);
        std::free(C);
    }
};

}  // namespace

std::vector<CheckSample> check_samples(std::size_t n) {
    std::mt19937_64 rng(12345);
    std::vector<CheckSample> samples(kCheckSamples);
    for (CheckSample& s : samples) {
        s.i = static_cast<std::size_t>(rng() % n);
        s.j = static_cast<std::size_t>(rng() % n);
    }
    return samples;
}

std::size_t count_check_mismatches(Pool& pool, const std::vector<CheckSample>& samples,
                                   const double* A, const double* B, const double* C,
                                   std::size_t ld, std::size_t n, long p) {
    std::atomic<std::size_t> mismatches{0};
    // check_sample: one exact dot product per task.
    pool.run(static_cast<int>(samples.size()), [&](int s, int) {
        const CheckSample& cs = samples[static_cast<std::size_t>(s)];
        unsigned __int128 sum = 0;
        const double* a = A + cs.i * ld;
        for (std::size_t k = 0; k < n; ++k)
            sum += static_cast<unsigned __int128>(static_cast<std::uint64_t>(a[k])) *
                   static_cast<std::uint64_t>(B[k * ld + cs.j]);
        const std::uint64_t expected =
            static_cast<std::uint64_t>(sum % static_cast<unsigned __int128>(p));
        // Compared as doubles so that a damaged entry (negative, fractional,
        // NaN) is simply counted, never converted.
        if (static_cast<double>(expected) != C[cs.i * ld + cs.j]) mismatches.fetch_add(1);
    });
    return mismatches.load();
}


Options parse_options(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--p") {
            o.p = std::stoll(next_value(i, argc, argv, arg), nullptr, 10);
        } else if (arg == "--n") {
            o.n_hint = std::stoul(next_value(i, argc, argv, arg));
        } else if (arg == "--mode") {
            o.mode = next_value(i, argc, argv, arg);
        } else if (arg == "--workers") {
            o.workers = std::stoi(next_value(i, argc, argv, arg));
        } else if (arg == "--block") {
            o.block = std::stoul(next_value(i, argc, argv, arg));
        } else if (arg == "--check") {
            o.check = true;
        } else if (arg.size() >= 2 && arg[0] == '-' && arg[1] == '-') {
            throw std::runtime_error("unknown option " + arg);
        } else {
            o.files.push_back(arg);
        }
    }
    return o;
}

bool options_complete(const Options& options) { return options.files.size() == 3 && options.p > 1; }

void apply_limits(Options& o, const std::vector<int>& worker_cpus) {
    if (o.mode != "auto" && o.mode != "fmm" && o.mode != "classical")
        throw std::runtime_error("unknown mode " + o.mode);
    // At most one worker per CPU the process may run on: the online count,
    // or fewer under a narrower affinity mask (taskset, a cpuset), and at
    // most one per entry of the workers' CPU list (one CPU per physical
    // core, or KORVANE_CPUS), which the pool would otherwise wrap around.
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    const long usable = static_cast<long>(usable_cpus().size());
    if (usable > 0 && (cpus <= 0 || usable < cpus)) cpus = usable;
    const long listed = static_cast<long>(worker_cpus.size());
    if (listed > 0 && (cpus <= 0 || listed < cpus)) cpus = listed;
    if (cpus > 0 && o.workers > cpus) o.workers = static_cast<int>(cpus);
    // The bundle route pads to 2*block (+16 per row): a block whose
    // doubling or padding cannot be represented is refused here.
    if (o.workers < 1 || o.block < 16 || o.p > kMaxP || o.block > (SIZE_MAX - 16) / 2)
        throw std::runtime_error(kInvalidLimits);
}

Plan choose_route(const Options& o, std::size_t n) {
    Plan plan;
    plan.n = n;
    plan.block = o.block;
    plan.workers = o.workers;
    plan.p = o.p;
    plan.classical = o.mode == "classical" || (o.mode == "auto" && (n / 2) / o.block < 16);
    plan.t = plan.classical ? (o.block < 64 ? o.block : 64) : 2 * o.block;
    // d = ceil(N / t) * t and ld = d + 16, with every step checked; the
    // three matrices of d*ld doubles must have a representable byte size.
    std::size_t bytes;
    if (__builtin_mul_overflow((n / plan.t) + (n % plan.t != 0 ? 1 : 0), plan.t, &plan.d) ||
        __builtin_add_overflow(plan.d, std::size_t{16}, &plan.ld) ||
        __builtin_mul_overflow(plan.d, plan.ld, &plan.cells) ||
        __builtin_mul_overflow(plan.cells, sizeof(double), &bytes))
        throw std::runtime_error(kInvalidLimits);

    const double pd = static_cast<double>(o.p);
    const double dd = static_cast<double>(plan.d);
    plan.bound = plan.classical ? std::fma(pd - 1, dd * (pd - 1), pd)
                                : std::fma(pd - 1, ((dd / 2) * 7) * (pd - 1), pd);
    if (plan.bound >= kTwo53)
        throw std::runtime_error("p too large for exact FP64 arithmetic at this size (bound >= 2^53)");
    return plan;
}

void multiply_padded(Pool& pool, const Plan& plan, const double* A, const double* B, double* C,
                     PhaseTimes* times) {
    const std::size_t d = plan.d, ld = plan.ld;
    const double p = static_cast<double>(plan.p);
    if (plan.classical) {
        std::size_t g = 1;
        while (g * g < static_cast<std::size_t>(plan.workers) && d / (2 * g) > 63) g *= 2;
        std::vector<ClassicalProduct<double>> products{
            ClassicalProduct<double>{d, d, d, A, ld, B, ld, C, ld, g, g}};
        // C holds zeros, so C += A*B gives C = A*B bit for bit and spares
        // BLAS the pass that would clear C first; the classical bound
        // d*(p-1)^2 + p already allows for a residue held in C.
        classical_products<double>(pool, products, true, p, plan.t, times);
        return;
    }
    const std::size_t h = d / 2;
    const std::size_t W = h / plan.block;
    BundleWorkspace<double> ws;
    const std::uint64_t t0 = monotonic_ns();
    ws.allocate(W, W, W, plan.block, plan.workers, &pool);
    if (times) times->add("workspace", seconds_since(t0));
    auto q = [&](const double* X, std::size_t r, std::size_t c) {
        return CMat<double>{X + r * h * ld + c * h, ld};
    };
    auto qw = [&](double* X, std::size_t r, std::size_t c) {
        return Mat<double>{X + r * h * ld + c * h, ld};
    };
    // The four quadrant products of C, two per bundle; the last two add onto
    // the residues that the first two left. C holds zeros before the first
    // two, so they accumulate too: the same bits as a plain product, without
    // the pass that clears the outputs (the bundle bound allows for a residue
    // in C).
    fmm_bundle<double>(pool, W, W, W, plan.block, q(A, 0, 0), q(B, 0, 0), qw(C, 0, 0), q(A, 1, 1),
                       q(B, 1, 1), qw(C, 1, 1), ws, true, p, times);
    fmm_bundle<double>(pool, W, W, W, plan.block, q(A, 0, 0), q(B, 0, 1), qw(C, 0, 1), q(A, 1, 1),
                       q(B, 1, 0), qw(C, 1, 0), ws, true, p, times);
    fmm_bundle<double>(pool, W, W, W, plan.block, q(A, 0, 1), q(B, 1, 0), qw(C, 0, 0), q(A, 1, 0),
                       q(B, 0, 1), qw(C, 1, 1), ws, true, p, times);
    fmm_bundle<double>(pool, W, W, W, plan.block, q(A, 0, 1), q(B, 1, 1), qw(C, 0, 1), q(A, 1, 0),
                       q(B, 0, 0), qw(C, 1, 0), ws, true, p, times);
}

namespace {

void print_usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s A_file B_file C_file --p P [--mode auto|fmm|classical] [--n N] "
                 "[--workers W] [--block B] [--check]\n       files: .npy (int32, int64, "
                 "uint16, uint32 or integer-valued float64; C order; square) or raw int32\n",
                 program);
}

// One line on standard output, flushed at once.
__attribute__((format(printf, 1, 2))) void print_line(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

void report_start(const Plan& plan) {
    print_line(
        "korvane_multiply_modp: N = %zu (internal %zu), p = %lld, route %s, %d workers, block "
        "%zu; largest intermediate < %.3g < 2^53\n",
        plan.n, plan.d, plan.p, plan.classical ? "classical" : "bundles", plan.workers, plan.block,
        plan.bound);
}

void report_multiply(double multiply_seconds, double read_seconds) {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    print_line("multiply: %.3f s (reading %.3f s), peak memory %.1f GB\n", multiply_seconds,
               read_seconds, static_cast<double>(usage.ru_maxrss) / 1048576.0);
}

// Prints the check line; true when every sampled entry is exact.
bool report_check(Pool& pool, const Plan& plan, const double* A, const double* B, const double* C) {
    const std::vector<CheckSample> samples = check_samples(plan.n);
    const std::size_t wrong =
        count_check_mismatches(pool, samples, A, B, C, plan.ld, plan.n, static_cast<long>(plan.p));
    print_line("check: %zu of %zu sampled entries differ from the exact value mod p%s\n", wrong,
               samples.size(), wrong ? "  ** ERROR **" : " (exact)");
    return wrong == 0;
}

// Starts the pool and allocates the three padded matrices, their pages
// first touched (zeroed) by the workers, one row per task.
void set_up(Pool& pool, PoolGuard& guard, const Plan& plan, Buffers& buf) {
    openblas_set_num_threads(1);
    // Marked first: should thread creation fail part way, the threads
    // already running are still stopped and joined.
    guard.started = true;
    stop_pool_on_alloc_failure(&pool);
    // A worker that cannot start for want of memory throws std::bad_alloc,
    // which ends the run as an allocation failure (run_reporting_shortage).
    pool.start(plan.workers, 0);
    // Every worker and this thread may be inside OpenBLAS at once: their
    // buffers exist before the matrices, so that a shortage ends here as an
    // allocation failure rather than inside OpenBLAS.
    if (!reserve_blas_buffers(plan.workers + 1)) alloc_failed();
    buf.A = alloc_aligned(plan.cells);
    buf.B = alloc_aligned(plan.cells);
    buf.C = alloc_aligned(plan.cells);
    double* A = buf.A;
    double* B = buf.B;
    double* C = buf.C;
    const std::size_t ld = plan.ld;
    // zero_rows
    pool.run(static_cast<int>(plan.d), [=](int r, int) {
        const std::size_t off = static_cast<std::size_t>(r) * ld;
        for (std::size_t j = 0; j < ld; ++j) {
            A[off + j] = 0.0;
            B[off + j] = 0.0;
            C[off + j] = 0.0;
        }
    });
}

// The program; a std::exception thrown here unwinds through ~PoolGuard, so
// the pool has stopped before run_reporting_failure prints the FAILED line.
// The buffers are declared before the guard and so are freed after it stops.
int run(int argc, char** argv) {
    Pool pool;
    Buffers buf;
    PoolGuard guard{pool};
    Options options = parse_options(argc, argv);
    if (!options_complete(options)) {
        print_usage(argv[0]);
        return 2;
    }
    apply_limits(options);
    const Info info_a = inspect_integer_input(options.files[0], options.n_hint);
    const Info info_b = inspect_integer_input(options.files[1], options.n_hint);
    if (info_a.n != info_b.n)
        throw std::runtime_error("A and B must be square matrices of the same size");
    const Plan plan = choose_route(options, info_a.n);
    report_start(plan);

    // C's file is created before the pool, the matrices and the product: a C
    // that cannot be created ends the run here, not after the product. It is
    // removed on every way out without a written C (an allocation failure
    // too, see alloc_failed).
    OutputFile out(options.files[2]);
    set_up(pool, guard, plan, buf);
    const long p = static_cast<long>(plan.p);
    const std::uint64_t read_start = monotonic_ns();
    read_matrix(pool, options.files[0], info_a, buf.A, plan.ld, p);
    read_matrix(pool, options.files[1], info_b, buf.B, plan.ld, p);
    const double read_seconds = seconds_since(read_start);

    const std::uint64_t multiply_start = monotonic_ns();
    multiply_padded(pool, plan, buf.A, buf.B, buf.C);
    report_multiply(seconds_since(multiply_start), read_seconds);

    if (before_check_hook) before_check_hook(buf.C, plan.ld, plan.n);
    if (options.check && !report_check(pool, plan, buf.A, buf.B, buf.C)) {
        guard.stop();
        return 3;
    }

    const std::uint64_t write_start = monotonic_ns();
    write_matrix(pool, out, buf.C, plan.ld, plan.n);
    print_line("wrote %s (%zu x %zu int32, entries in [0, %lld)) in %.3f s\n",
               options.files[2].c_str(), plan.n, plan.n, plan.p, seconds_since(write_start));
    guard.stop();
    return 0;
}

// A memory shortage met anywhere after set-up (a task's row buffer, a
// container) ends as the allocation failures of set-up do. By the time it
// arrives here the pool has stopped and a new output file has been removed.
int run_reporting_shortage(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fflush(stdout);
        std::fputs("alloc failed\n", stderr);
        return 1;
    }
}

}  // namespace

int modp_main(int argc, char** argv) { return run_reporting_failure(run_reporting_shortage, argc, argv); }

}  // namespace torvik
