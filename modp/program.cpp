#include "modp/program.h"

#include <cblas.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <stdexcept>
#include <string>

#include "common/common.h"
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

std::int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

double seconds_since(std::int64_t start) { return static_cast<double>(now_ns() - start) / 1e9; }

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

int modp_main(int argc, char** argv) {
    Pool pool;
    PoolGuard guard{pool};
    Buffers buf;
    try {
        long long p = 0;
        std::string mode = "auto";
        std::size_t n_hint = 0;
        int workers = 64;
        std::size_t block = 1024;
        bool check = false;
        std::vector<std::string> files;

        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            if (arg == "--p") {
                p = std::stoll(next_value(i, argc, argv, arg), nullptr, 10);
            } else if (arg == "--n") {
                n_hint = std::stoul(next_value(i, argc, argv, arg));
            } else if (arg == "--mode") {
                mode = next_value(i, argc, argv, arg);
            } else if (arg == "--workers") {
                workers = std::stoi(next_value(i, argc, argv, arg));
            } else if (arg == "--block") {
                block = std::stoul(next_value(i, argc, argv, arg));
            } else if (arg == "--check") {
                check = true;
            } else if (arg.size() >= 2 && arg[0] == '-' && arg[1] == '-') {
                throw std::runtime_error("unknown option " + arg);
            } else {
                files.push_back(arg);
            }
        }

        if (files.size() != 3 || p <= 1) {
            std::fprintf(stderr,
                         "usage: %s A_file B_file C_file --p P [--mode auto|fmm|classical] [--n N] "
                         "[--workers W] [--block B] [--check]\n       files: .npy (int32, int64, "
                         "uint16, uint32 or integer-valued float64; C order; square) or raw int32\n",
                         argv[0]);
            return 2;
        }
        if (mode != "auto" && mode != "fmm" && mode != "classical")
            throw std::runtime_error("unknown mode " + mode);

        const long nproc = sysconf(_SC_NPROCESSORS_ONLN);
        if (nproc > 0 && workers > nproc) workers = static_cast<int>(nproc);
        // The bundle route pads to 2*block (+16 per row): a block whose
        // doubling or padding cannot be represented is refused here.
        if (workers < 1 || block < 16 || p > kMaxP || block > (SIZE_MAX - 16) / 2)
            throw std::runtime_error(kInvalidLimits);

        const Info info_a = inspect_integer_input(files[0], n_hint);
        const Info info_b = inspect_integer_input(files[1], n_hint);
        if (info_a.n != info_b.n)
            throw std::runtime_error("A and B must be square matrices of the same size");
        const std::size_t N = info_a.n;

        const bool classical = mode == "classical" || (mode == "auto" && (N / 2) / block < 16);
        const std::size_t t = classical ? (block < 64 ? block : 64) : 2 * block;
        // d = ceil(N / t) * t and ld = d + 16, with every step checked; the
        // three matrices of d*ld doubles must have a representable byte size.
        std::size_t d, ld, cells, bytes;
        if (__builtin_mul_overflow((N / t) + (N % t != 0 ? 1 : 0), t, &d) ||
            __builtin_add_overflow(d, std::size_t{16}, &ld) ||
            __builtin_mul_overflow(d, ld, &cells) ||
            __builtin_mul_overflow(cells, sizeof(double), &bytes))
            throw std::runtime_error(kInvalidLimits);

        const double pd = static_cast<double>(p);
        const double dd = static_cast<double>(d);
        const double bound = classical ? std::fma(pd - 1, dd * (pd - 1), pd)
                                       : std::fma(pd - 1, ((dd / 2) * 7) * (pd - 1), pd);
        if (bound >= kTwo53)
            throw std::runtime_error(
                "p too large for exact FP64 arithmetic at this size (bound >= 2^53)");

        std::printf(
            "korvane_multiply_modp: N = %zu (internal %zu), p = %lld, route %s, %d workers, block "
            "%zu; largest intermediate < %.3g < 2^53\n",
            N, d, p, classical ? "classical" : "bundles", workers, block, bound);
        std::fflush(stdout);

        openblas_set_num_threads(1);
        // Marked first: should thread creation fail part way, the threads
        // already running are still stopped and joined.
        guard.started = true;
        stop_pool_on_alloc_failure(&pool);
        pool.start(workers, 0);
        buf.A = alloc_aligned(cells);
        buf.B = alloc_aligned(cells);
        buf.C = alloc_aligned(cells);
        double* A = buf.A;
        double* B = buf.B;
        double* C = buf.C;
        // zero_rows: every page is first touched by a pool worker.
        pool.run(static_cast<int>(d), [=](int r, int) {
            const std::size_t off = static_cast<std::size_t>(r) * ld;
            for (std::size_t j = 0; j < ld; ++j) {
                A[off + j] = 0.0;
                B[off + j] = 0.0;
                C[off + j] = 0.0;
            }
        });

        const std::int64_t read_start = now_ns();
        read_matrix(pool, files[0], info_a, A, ld, static_cast<long>(p));
        read_matrix(pool, files[1], info_b, B, ld, static_cast<long>(p));
        const double read_seconds = seconds_since(read_start);

        const std::int64_t mult_start = now_ns();
        if (!classical) {
            const std::size_t h = d / 2;
            const std::size_t W = h / block;
            BundleWorkspace<double> ws;
            ws.allocate(W, W, W, block, workers, &pool);
            auto q = [&](const double* X, std::size_t r, std::size_t c) {
                return CMat<double>{X + r * h * ld + c * h, ld};
            };
            auto qw = [&](double* X, std::size_t r, std::size_t c) {
                return Mat<double>{X + r * h * ld + c * h, ld};
            };
            fmm_bundle<double>(pool, W, W, W, block, q(A, 0, 0), q(B, 0, 0), qw(C, 0, 0),
                               q(A, 1, 1), q(B, 1, 1), qw(C, 1, 1), ws, false, pd);
            fmm_bundle<double>(pool, W, W, W, block, q(A, 0, 0), q(B, 0, 1), qw(C, 0, 1),
                               q(A, 1, 1), q(B, 1, 0), qw(C, 1, 0), ws, false, pd);
            fmm_bundle<double>(pool, W, W, W, block, q(A, 0, 1), q(B, 1, 0), qw(C, 0, 0),
                               q(A, 1, 0), q(B, 0, 1), qw(C, 1, 1), ws, true, pd);
            fmm_bundle<double>(pool, W, W, W, block, q(A, 0, 1), q(B, 1, 1), qw(C, 0, 1),
                               q(A, 1, 0), q(B, 0, 0), qw(C, 1, 0), ws, true, pd);
        } else {
            std::size_t g = 1;
            while (g * g < static_cast<std::size_t>(workers) && d / (2 * g) > 63) g *= 2;
            std::vector<ClassicalProduct<double>> products{
                ClassicalProduct<double>{d, d, d, A, ld, B, ld, C, ld, g, g}};
            classical_products<double>(pool, products, false, pd, t);
        }
        const double mult_seconds = seconds_since(mult_start);

        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        std::printf("multiply: %.3f s (reading %.3f s), peak memory %.1f GB\n", mult_seconds,
                    read_seconds, static_cast<double>(usage.ru_maxrss) / 1048576.0);
        std::fflush(stdout);

        if (before_check_hook) before_check_hook(C, ld, N);

        if (check) {
            const std::vector<CheckSample> samples = check_samples(N);
            const std::size_t wrong =
                count_check_mismatches(pool, samples, A, B, C, ld, N, static_cast<long>(p));
            std::printf("check: %zu of %zu sampled entries differ from the exact value mod p%s\n",
                        wrong, samples.size(), wrong ? "  ** ERROR **" : " (exact)");
            std::fflush(stdout);
            if (wrong) {
                guard.stop();
                return 3;
            }
        }

        const std::int64_t write_start = now_ns();
        write_matrix(pool, files[2], C, ld, N);
        std::printf("wrote %s (%zu x %zu int32, entries in [0, %lld)) in %.3f s\n", files[2].c_str(),
                    N, N, p, seconds_since(write_start));
        std::fflush(stdout);
        guard.stop();
        return 0;
    } catch (const std::exception& e) {
        guard.stop();
        std::fprintf(stderr, "FAILED %s\n", e.what());
        return 2;
    }
}

}  // namespace torvik
