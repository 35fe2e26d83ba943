// Inputs of the tests of the in-place transforms (centering, equilibration).
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "multiply/method/problem.h"

inline bool same_bits(const std::vector<float>& x, const std::vector<float>& y) {
    return x.size() == y.size() && std::memcmp(x.data(), y.data(), x.size() * sizeof(float)) == 0;
}

using Entry = std::function<float(std::uint64_t, std::uint64_t)>;

// A, B and C of side n with row stride ld (padding 9 between rows), A and B
// filled from (row, column) functions and C with zeros, set as the Problem's
// views; a0 and b0 keep the bits the inputs started with.
struct SquareInputs {
    std::uint64_t n, ld;
    std::vector<float> a, b, c, a0, b0;
    SquareInputs(std::uint64_t side, std::uint64_t stride, const Entry& fa, const Entry& fb)
        : n(side), ld(stride), a(side * stride, 9.0f), b(side * stride, 9.0f), c(side * stride, 0.0f) {
        for (std::uint64_t i = 0; i < n; ++i)
            for (std::uint64_t j = 0; j < n; ++j) {
                a[i * ld + j] = fa(i, j);
                b[i * ld + j] = fb(i, j);
            }
        a0 = a;
        b0 = b;
        problem.A = a.data();
        problem.B = b.data();
        problem.C = c.data();
        problem.lda = problem.ldb = problem.ldc = ld;
        problem.n = n;
    }
    bool a_intact() const { return same_bits(a, a0); }
    bool intact() const { return a_intact() && same_bits(b, b0); }
};
