#include "modp/classical.h"

#include <cblas.h>

#include <algorithm>

#include "common/clock.h"
#include "modp/block_ops.h"
#include "modp/pool.h"

namespace torvik {

namespace {

// The product that task a belongs to: the first i with a < prefix[i + 1].
std::size_t find_product(const std::vector<std::size_t>& prefix, std::size_t a) {
    std::size_t i = 0;
    while (a >= prefix[i + 1]) ++i;
    return i;
}

}  // namespace

// Each task computes one rectangular tile of one product with one dgemm and
// then, while the tile is its own, reduces the tile's cells mod p: the pass
// that produces the final values is followed at once by their reduction, and
// one task's reduction overlaps the other tasks' products. The cells reduced
// are exactly those inside whole tile x tile blocks of C, as a separate
// reduction over those blocks would reduce them.
template <typename T>
void classical_products(Pool& pool, std::vector<ClassicalProduct<T>>& products, bool accumulate,
                        T p, std::size_t tile, PhaseTimes* times) {
    if (products.empty()) return;
    const std::uint64_t t0 = monotonic_ns();
    std::vector<std::size_t> prefix(products.size() + 1, 0);
    for (std::size_t i = 0; i < products.size(); ++i)
        prefix[i + 1] = prefix[i] + products[i].row_tiles * products[i].col_tiles;

    // classical_tile
    pool.run(static_cast<int>(prefix.back()), [&](int ai, int) {
        const std::size_t a = static_cast<std::size_t>(ai);
        const std::size_t i = find_product(prefix, a);
        const ClassicalProduct<T>& q = products[i];
        const std::size_t local = a - prefix[i];
        const std::size_t r = local / q.col_tiles;
        const std::size_t c = local % q.col_tiles;
        const std::size_t row0 = q.m * r / q.row_tiles;
        const std::size_t row1 = q.m * (r + 1) / q.row_tiles;
        const std::size_t col0 = q.n * c / q.col_tiles;
        const std::size_t col1 = q.n * (c + 1) / q.col_tiles;
        if (row1 == row0 || col1 == col0) return;
        T* out = q.C + row0 * q.ldc + col0;
        cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, static_cast<int>(row1 - row0),
                    static_cast<int>(col1 - col0), static_cast<int>(q.k), 1.0, q.A + row0 * q.lda,
                    static_cast<int>(q.lda), q.B + col0, static_cast<int>(q.ldb),
                    accumulate ? 1.0 : 0.0, out, static_cast<int>(q.ldc));
        if (!(p > 0)) return;
        // reduce_mod_p on the part of the tile inside whole blocks.
        const std::size_t rows = std::min(row1, q.m / tile * tile);
        const std::size_t cols = std::min(col1, q.n / tile * tile);
        if (rows > row0 && cols > col0) block_reduce(rows - row0, cols - col0, out, q.ldc, p);
    });
    if (times) times->add("products+reduce", seconds_since(t0));
}

template void classical_products<double>(Pool&, std::vector<ClassicalProduct<double>>&, bool,
                                         double, std::size_t, PhaseTimes*);

}  // namespace torvik
