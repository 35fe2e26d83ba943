// korvane_multiply_modp: C = A*B mod p exactly for square integer matrices.
#pragma once

#include <cstddef>
#include <vector>

namespace torvik {

class Pool;

// The whole program; returns the process exit status: 0 success, 1 memory
// allocation failure (the process has ended before), 2 usage or reported
// failure, 3 the check found a wrong entry.
int modp_main(int argc, char** argv);

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
