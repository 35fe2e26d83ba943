// korvane_multiply_modp: C = A*B mod p exactly for square integer matrices.
//
// The program runs in four steps, each a function below: parse the command
// line (parse_options), choose the route and padding for the inputs' side
// (apply_limits, choose_route), run the products on padded matrices
// (multiply_padded) and report (the output lines and the exact check).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "modp/pool.h"

namespace torvik {

struct PhaseTimes;

// The whole program; returns the process exit status: 0 success, 1 memory
// allocation failure (the process has ended before), 2 usage or reported
// failure, 3 the check found a wrong entry.
int modp_main(int argc, char** argv);

// The command line as given.
struct Options {
    long long p = 0;  // 0: not given
    std::string mode = "auto";
    std::size_t n_hint = 0;
    int workers = 64;
    std::size_t block = 1024;
    bool check = false;
    std::vector<std::string> files;  // positional arguments, in order
};

// Scans argv[1..]; a later option overrides an earlier one. Throws
// std::runtime_error for a missing value or an unknown "--" option, and the
// standard conversions' exceptions for unparsable numbers.
Options parse_options(int argc, char** argv);

// True when the options name exactly three files and a modulus above 1;
// otherwise the program prints its usage text.
bool options_complete(const Options& options);

// Checks the mode and the limits and lowers the worker count to the CPUs the
// process may use and to the length of the workers' CPU list (one worker per
// entry; the pool would wrap around a shorter list). Throws "unknown mode
// ..." or "invalid --workers, --block or --p".
void apply_limits(Options& options, const std::vector<int>& worker_cpus = worker_cpu_list());

// How the product of two N x N inputs is computed.
struct Plan {
    bool classical = false;  // else the bundle route
    std::size_t n = 0;       // side of the inputs
    std::size_t t = 0;       // padding unit: min(block, 64) or 2*block
    std::size_t d = 0;       // internal side, a multiple of t
    std::size_t ld = 0;      // leading dimension of A, B and C: d + 16
    std::size_t cells = 0;   // d * ld doubles per matrix
    std::size_t block = 0;
    int workers = 0;
    long long p = 0;
    double bound = 0;  // the route's largest intermediate value
};

// Route, padding and bound for side n under limited options. Throws
// "invalid --workers, --block or --p" when the padded sizes cannot be
// represented and "p too large for exact FP64 arithmetic at this size
// (bound >= 2^53)" when the route's bound reaches 2^53.
Plan choose_route(const Options& options, std::size_t n);

// C = A*B mod p on the plan's d x d padded matrices (leading dimension ld,
// residues in [0, p), zero padding). C must hold zeros on entry. Runs on the
// pool, whose worker count must be the plan's; phase seconds are added to
// times when given.
void multiply_padded(Pool& pool, const Plan& plan, const double* A, const double* B, double* C,
                     PhaseTimes* times = nullptr);

struct CheckSample {
    std::size_t i;
    std::size_t j;
};

// The 4096 entries that --check compares, drawn by mt19937-64 seeded with
// 12345: first i = draw % n, then j = draw % n.
std::vector<CheckSample> check_samples(std::size_t n);

// Number of sampled entries of C (n x n, leading dimension ld) that differ
// from the exact value of (A*B)(i, j) mod p, computed in 128-bit integers
// from the residues in A and B.
std::size_t count_check_mismatches(Pool& pool, const std::vector<CheckSample>& samples,
                                   const double* A, const double* B, const double* C,
                                   std::size_t ld, std::size_t n, long p);

// Called, when set, after the products and before the check with C, its
// leading dimension and the side. Lets tests damage C to exercise the
// check's failure path; never set by the program itself.
extern void (*before_check_hook)(double* C, std::size_t ld, std::size_t n);

}  // namespace torvik
