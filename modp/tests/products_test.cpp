// Bundle and classical products against an exact 128-bit schoolbook model.
#include <cmath>
#include <cstdint>
#include <random>

#include "modp/block_ops.h"
#include "modp/bundle.h"
#include "modp/classical.h"
#include "modp/tests/test_util.h"

namespace {

using torvik::CMat;
using torvik::Mat;
// A row-major rows x cols matrix of doubles with 5 padding columns.
struct Matrix {
    size_t rows, cols, ld;
    std::vector<double> v;
    Matrix(size_t r, size_t c) : rows(r), cols(c), ld(c + 5), v(r * (c + 5), 0.0) {}
    double at(size_t i, size_t j) const { return v[i * ld + j]; }
    CMat<double> in() const { return {v.data(), ld}; }
    Mat<double> out() { return {v.data(), ld}; }
};

// Random residues below p, or (worst) p - 1 in 9 cells of 10 and p - 2 elsewhere.
Matrix random_residues(size_t r, size_t c, std::int64_t p, std::mt19937_64& rng, bool worst = false) {
    Matrix m(r, c);
    for (size_t i = 0; i < r; ++i)
        for (size_t j = 0; j < c; ++j)
            m.v[i * m.ld + j] = static_cast<double>(worst ? p - 1 - (rng() % 10 == 0) : rng() % static_cast<std::uint64_t>(p));
    return m;
}

// The largest p with coef * (p - 1)^2 + p < 2^53.
std::int64_t largest_modulus(std::int64_t coef) {
    std::int64_t p = static_cast<std::int64_t>(std::sqrt(9007199254740992.0 / static_cast<double>(coef))) + 3;
    while (static_cast<__int128>(coef) * (p - 1) * (p - 1) + p >= (static_cast<__int128>(1) << 53)) --p;
    return p;
}

// Number of cells of C that differ from the model: the exact X*Y (+ old when
// accumulating), reduced into [0, p) when p > 0; padding must stay zero.
size_t mismatches(const Matrix& X, const Matrix& Y, const Matrix& C, const Matrix& old, bool accumulate,
                  std::int64_t p) {
    size_t wrong = 0;
    for (size_t i = 0; i < C.rows; ++i) {
        for (size_t j = 0; j < C.cols; ++j) {
            __int128 e = accumulate ? static_cast<std::int64_t>(old.at(i, j)) : 0;
            for (size_t k = 0; k < X.cols; ++k)
                e += static_cast<__int128>(static_cast<std::int64_t>(X.at(i, k))) * static_cast<std::int64_t>(Y.at(k, j));
            if (p > 0) e = ((e % p) + p) % p;
            wrong += C.at(i, j) != static_cast<double>(e);
        }
        for (size_t j = C.cols; j < C.ld; ++j) wrong += C.at(i, j) != 0.0;
    }
    return wrong;
}

using ModpProducts = modp_test::ModpTest;

TEST_F(ModpProducts, BundleMatchesSchoolbook) {
    // worst: the largest p the caller's bound 7*(k*b)*(p-1)^2 + p admits,
    // with inputs and old outputs near p - 1 (the largest intermediates).
    struct Case { size_t m, k, n, b; std::int64_t p; bool accumulate; bool worst = false; };
    const Case cases[] = {
        {2, 2, 2, 16, largest_modulus(7 * 2 * 16), false, true},
        {3, 3, 3, 17, largest_modulus(7 * 3 * 17), true, true},
        {1, 1, 1, 16, 65521, false},   // one aggregated product
        {2, 3, 1, 17, 1000003, false}, // unequal block counts, odd block
        {2, 2, 3, 16, 2, false},
        {2, 2, 2, 16, 65521, true},    // accumulating onto residues
        {1, 2, 3, 19, 101, true},
        {2, 2, 2, 16, 0, false},       // no modulus: exact integers
        {2, 1, 2, 16, -1, true},
    };
    std::mt19937_64 rng(1);
    for (const Case& c : cases) {
        const size_t m = c.m * c.b, k = c.k * c.b, n = c.n * c.b;
        const std::int64_t range = c.p > 0 ? c.p : 1000;
        Matrix A1 = random_residues(m, k, range, rng, c.worst), B1 = random_residues(k, n, range, rng, c.worst);
        Matrix A2 = random_residues(k, n, range, rng, c.worst), B2 = random_residues(n, m, range, rng, c.worst);
        Matrix C1 = random_residues(m, n, range, rng, c.worst), C2 = random_residues(k, m, range, rng, c.worst);
        const Matrix old1 = C1, old2 = C2;
        torvik::BundleWorkspace<double> ws;
        // Both ways of zeroing the workspace: on the pool's workers and inline.
        ws.allocate(c.m, c.k, c.n, c.b, 4, c.accumulate ? nullptr : pool_);
        torvik::fmm_bundle<double>(*pool_, c.m, c.k, c.n, c.b, A1.in(), B1.in(), C1.out(), A2.in(), B2.in(), C2.out(),
                                   ws, c.accumulate, static_cast<double>(c.p));
        EXPECT_EQ(mismatches(A1, B1, C1, old1, c.accumulate, c.p), 0u) << "C1 m=" << c.m << " b=" << c.b << " p=" << c.p;
        EXPECT_EQ(mismatches(A2, B2, C2, old2, c.accumulate, c.p), 0u) << "C2 m=" << c.m << " b=" << c.b << " p=" << c.p;
    }
}

TEST_F(ModpProducts, WorkspaceForMoreOrFewerWorkersThanThePoolIsZeroed) {
    // Each worker zeroes its own buffers in a dispatch where every task waits
    // for all the others: a count that differs from the pool's must neither
    // hang nor leave buffers untouched.
    for (int workers : {6, 2, 1}) {
        torvik::BundleWorkspace<double> ws;
        for (int round = 0; round < 2; ++round) {
            ws.allocate(2, 1, 3, 16, workers, pool_);
            ASSERT_EQ(ws.product.size(), static_cast<size_t>(workers));
            size_t nonzero = 0;
            for (auto* v : {&ws.left_sum, &ws.right_sum, &ws.product, &ws.cross_products, &ws.c2_cross})
                for (double* buf : *v)
                    for (size_t i = 0; i < ws.block * ws.ld; ++i) nonzero += buf[i] != 0.0;
            EXPECT_EQ(nonzero, 0u) << workers;
            // Every kind checked above is left non-zero: the next allocate,
            // which may get the same memory back, must zero them all again.
            for (auto* v : {&ws.left_sum, &ws.right_sum, &ws.product, &ws.cross_products, &ws.c2_cross})
                for (double* buf : *v) buf[5] = 1.0;
        }
    }
}

TEST_F(ModpProducts, ClassicalTilesCoverEveryProduct) {
    // Three products of different shapes in one call, with tile grids that
    // split unevenly (10 rows in 3 tiles: 3, 3, 4); then accumulating onto
    // residues with other grids; then exact integers without a modulus.
    struct Product { size_t m, k, n, row_tiles, col_tiles; };
    // The last run: the largest p for depth 64 (bound 64*(p-1)^2 + p) on
    // values near p - 1.
    struct Run { std::int64_t p; bool accumulate; size_t tile; std::vector<Product> products; bool worst = false; };
    const Run runs[] = {{65521, false, 5, {{10, 7, 10, 3, 2}, {20, 33, 15, 4, 3}, {5, 4, 5, 1, 1}}},
                        {65521, true, 5, {{10, 7, 10, 2, 1}, {20, 33, 15, 1, 2}, {5, 4, 5, 5, 5}}},
                        {0, false, 16, {{16, 16, 16, 1, 1}}},
                        {largest_modulus(64), true, 16, {{32, 64, 48, 3, 2}}, true}};
    std::mt19937_64 rng(11);
    for (const Run& r : runs) {
        const std::int64_t range = r.p > 0 ? r.p : 1 << 20;
        std::vector<Matrix> a, b, c;
        for (const Product& q : r.products) {
            a.push_back(random_residues(q.m, q.k, range, rng, r.worst));
            b.push_back(random_residues(q.k, q.n, range, rng, r.worst));
            c.push_back(r.accumulate ? random_residues(q.m, q.n, range, rng, r.worst) : Matrix(q.m, q.n));
        }
        const std::vector<Matrix> old = c;
        std::vector<torvik::ClassicalProduct<double>> list;
        for (size_t q = 0; q < a.size(); ++q)
            list.push_back({c[q].rows, c[q].cols, a[q].cols, a[q].v.data(), a[q].ld, b[q].v.data(), b[q].ld,
                            c[q].v.data(), c[q].ld, r.products[q].row_tiles, r.products[q].col_tiles});
        torvik::classical_products<double>(*pool_, list, r.accumulate, static_cast<double>(r.p), r.tile);
        for (size_t q = 0; q < a.size(); ++q)
            EXPECT_EQ(mismatches(a[q], b[q], c[q], old[q], r.accumulate, r.p), 0u) << "product " << q;
    }
    std::vector<torvik::ClassicalProduct<double>> none;
    torvik::classical_products<double>(*pool_, none, false, 7.0, 16);  // runs nothing
}

TEST(ModpReduction, ExactResidueOverTheWholeRange) {
    const std::int64_t two53 = std::int64_t{1} << 53;
    std::mt19937_64 rng(13);
    for (std::int64_t p : {2, 3, 7, 65521, 1048573, 2147483647, 94906265}) {
        // Multiples of p and their neighbours up to just below 2^53, both
        // signs, and random values; an odd count.
        std::vector<double> xs = {static_cast<double>(two53 - 1), static_cast<double>(1 - two53), 5};
        for (std::int64_t q : {std::int64_t{0}, std::int64_t{1}, std::int64_t{2}, std::int64_t{12345}, (two53 - 1) / p})
            for (std::int64_t x : {q * p - 1, q * p, q * p + 1})
                if (x < two53) xs.insert(xs.end(), {static_cast<double>(x), static_cast<double>(-x)});
        for (int r = 0; r < 2000; ++r) {
            const double x = static_cast<double>(rng() % (1ULL << 53));
            xs.push_back(r % 2 ? -x : x);
        }
        // Both the scalar rule and the block kernel (odd width: vector and tail paths).
        std::vector<double> block = xs;
        torvik::block_reduce(1, block.size(), block.data(), block.size(), static_cast<double>(p));
        for (size_t i = 0; i < xs.size(); ++i) {
            const std::int64_t x = static_cast<std::int64_t>(xs[i]);
            const double want = static_cast<double>(((x % p) + p) % p);
            ASSERT_EQ(torvik::reduce_mod(xs[i], static_cast<double>(p)), want) << x << " mod " << p;
            ASSERT_EQ(block[i], want) << x << " mod " << p;
        }
    }
}

}  // namespace
