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
// the cells of every C that lie in whole tile x tile blocks end reduced into
// [0, p) (the program pads m and n to multiples of tile); other cells keep
// their exact integers. Phase seconds are added to times when given.
template <typename T>
void classical_products(Pool& pool, std::vector<ClassicalProduct<T>>& products, bool accumulate,
                        T p, std::size_t tile, PhaseTimes* times = nullptr);

extern template void classical_products<double>(Pool&, std::vector<ClassicalProduct<double>>&,
                                                bool, double, std::size_t, PhaseTimes*);

}  // namespace torvik
