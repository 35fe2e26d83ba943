// Tiled classical products C (+)= A*B on integers held exactly in FP64, one
// single-threaded dgemm per tile, followed by the reduction mod p.
#pragma once

#include <cstddef>
#include <vector>

#include "modp/phase_times.h"

namespace torvik {

class Pool;

template <typename T>
struct ClassicalProduct {
    std::size_t m;  // rows of A and C
    std::size_t n;  // columns of B and C
    std::size_t k;  // columns of A, rows of B
    const T* A;
    std::size_t lda;
    const T* B;
    std::size_t ldb;
    T* C;
    std::size_t ldc;
    std::size_t row_tiles;
    std::size_t col_tiles;
};

// Runs every product of the list (outputs must not share cells). With p > 0
// every C is then reduced into [0, p) in tile x tile blocks; m and n must be
// multiples of tile (cells outside whole tiles are not reduced).
template <typename T>
void classical_products(Pool& pool, std::vector<ClassicalProduct<T>>& products, bool accumulate,
                        T p, std::size_t tile, PhaseTimes* times = nullptr);

extern template void classical_products<double>(Pool&, std::vector<ClassicalProduct<double>>&,
                                                bool, double, std::size_t,
                                                PhaseTimes*);

}  // namespace torvik
