#include "modp/classical.h"

#include <cblas.h>

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

template <typename T>
void classical_products(Pool& pool, std::vector<ClassicalProduct<T>>& products, bool accumulate,
                        T p, std::size_t tile, PhaseTimes* times) {
    std::uint64_t t0 = monotonic_ns();
    if (products.empty()) return;
    std::vector<std::size_t> prefix(products.size() + 1, 0);
    for (std::size_t i = 0; i < products.size(); ++i)
        prefix[i + 1] = prefix[i] + products[i].row_tiles * products[i].col_tiles;

    // classical_tile: one dgemm over one rectangular tile of C.
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
        cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, static_cast<int>(row1 - row0),
                    static_cast<int>(col1 - col0), static_cast<int>(q.k), 1.0, q.A + row0 * q.lda,
                    static_cast<int>(q.lda), q.B + col0, static_cast<int>(q.ldb),
                    accumulate ? 1.0 : 0.0, q.C + row0 * q.ldc + col0, static_cast<int>(q.ldc));
    });

    if (times) {
        times->add("products", seconds_since(t0));
        t0 = monotonic_ns();
    }
    if (!(p > 0)) return;
    std::vector<std::size_t> rprefix(products.size() + 1, 0);
    for (std::size_t i = 0; i < products.size(); ++i)
        rprefix[i + 1] = rprefix[i] + (products[i].m / tile) * (products[i].n / tile);

    // reduce_mod_p: one tile x tile block of one product.
    pool.run(static_cast<int>(rprefix.back()), [&](int ai, int) {
        const std::size_t a = static_cast<std::size_t>(ai);
        const std::size_t i = find_product(rprefix, a);
        const ClassicalProduct<T>& q = products[i];
        const std::size_t local = a - rprefix[i];
        const std::size_t per = q.n / tile;
        const std::size_t R = local / per;
        const std::size_t Q = local % per;
        block_reduce(tile, tile, q.C + (R * tile) * q.ldc + Q * tile, q.ldc, p);
    });
    if (times) times->add("reduce", seconds_since(t0));
}

template void classical_products<double>(Pool&, std::vector<ClassicalProduct<double>>&, bool,
                                         double, std::size_t, PhaseTimes*);

}  // namespace torvik
