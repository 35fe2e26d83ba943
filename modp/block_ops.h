// Element-wise operations on row-major blocks of doubles holding integers.
// Every value stays an exact integer below 2^53 (the caller's bound), so the
// order of the additions does not matter.
#pragma once

#include <cstddef>

namespace torvik {

// rows x cols block at x with leading dimension ldx, and so on.
void block_zero(std::size_t rows, std::size_t cols, double* x, std::size_t ldx);
// z = x + y
void block_add(std::size_t rows, std::size_t cols, const double* x, std::size_t ldx,
               const double* y, std::size_t ldy, double* z, std::size_t ldz);
// z += x
void block_acc(std::size_t rows, std::size_t cols, const double* x, std::size_t ldx, double* z,
               std::size_t ldz);
// z1 += x and z2 += x in one pass over x
void block_acc2(std::size_t rows, std::size_t cols, const double* x, std::size_t ldx, double* z1,
                std::size_t ldz1, double* z2, std::size_t ldz2);
// z -= x
void block_sub(std::size_t rows, std::size_t cols, const double* x, std::size_t ldx, double* z,
               std::size_t ldz);
// Replaces every integer x (|x| < 2^53) by its residue in [0, p):
// t = fma(-floor(x / p), p, x), then t -= p when t >= p, then t += p when t < 0.
void block_reduce(std::size_t rows, std::size_t cols, double* x, std::size_t ldx, double p);

// The same rule for one value.
double reduce_mod(double x, double p);

}  // namespace torvik
