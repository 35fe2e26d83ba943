// Element-wise operations on row-major blocks of doubles holding integers.
// Every value stays an exact integer below 2^53 (the caller's bound), so the
// order of the additions does not matter. Each operation is one pass over
// its blocks.
#pragma once

#include <cstddef>

namespace torvik {

// rows x cols block at x with leading dimension ldx, and so on.

// z = x + y
void block_add(std::size_t rows, std::size_t cols, const double* x, std::size_t ldx,
               const double* y, std::size_t ldy, double* z, std::size_t ldz);

// z = x[0] + x[1] + ... + x[count - 1], every x[t] with leading dimension
// ldx; z = 0 when count is 0.
void block_sum(std::size_t rows, std::size_t cols, const double* const* x, std::size_t count,
               std::size_t ldx, double* z, std::size_t ldz);

// One block that receives x in block_drain: z += x, then z -= sub when sub
// is given, then z becomes its residue in [0, p) when p > 0.
struct BlockTarget {
    double* z;
    std::size_t ldz;
    const double* sub = nullptr;
    std::size_t ldsub = 0;
    double p = 0;
};

// Adds x into both targets and leaves x holding zeros, in one pass over x.
void block_drain(std::size_t rows, std::size_t cols, double* x, std::size_t ldx,
                 const BlockTarget& first, const BlockTarget& second);

// Replaces every integer x (|x| < 2^53) by its residue in [0, p):
// t = fma(-floor(x / p), p, x), then t -= p when t >= p, then t += p when t < 0.
void block_reduce(std::size_t rows, std::size_t cols, double* x, std::size_t ldx, double p);

// The same rule for one value.
double reduce_mod(double x, double p);

}  // namespace torvik
