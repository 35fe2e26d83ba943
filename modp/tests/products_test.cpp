// Bundle and classical products against an exact int64 schoolbook model.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "modp/block_ops.h"
#include "modp/bundle.h"
#include "modp/classical.h"
#include "modp/pool.h"

namespace {

using torvik::CMat;
using torvik::Mat;

// A row-major rows x cols matrix of doubles with a padded leading dimension.
struct Matrix {
    size_t rows, cols, ld;
    std::vector<double> v;
    Matrix(size_t r, size_t c, size_t pad = 5) : rows(r), cols(c), ld(c + pad), v(r * (c + pad), 0.0) {}
    double& at(size_t i, size_t j) { return v[i * ld + j]; }
    double at(size_t i, size_t j) const { return v[i * ld + j]; }
};

Matrix random_residues(size_t r, size_t c, std::int64_t p, std::mt19937_64& rng) {
    Matrix m(r, c);
    for (size_t i = 0; i < r; ++i)
        for (size_t j = 0; j < c; ++j) m.at(i, j) = static_cast<double>(rng() % static_cast<std::uint64_t>(p));
    return m;
}

// Exact (X*Y)(i, j) in 128-bit integers.
__int128 exact_dot(const Matrix& x, const Matrix& y, size_t i, size_t j) {
    __int128 s = 0;
    for (size_t k = 0; k < x.cols; ++k)
        s += static_cast<__int128>(static_cast<std::int64_t>(x.at(i, k))) *
             static_cast<std::int64_t>(y.at(k, j));
    return s;
}

std::int64_t mod(__int128 x, std::int64_t p) {
    __int128 r = x % p;
    if (r < 0) r += p;
    return static_cast<std::int64_t>(r);
}

class ModpProducts : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        pool_ = new torvik::Pool;
        pool_->start(4, 0);
    }
    static void TearDownTestSuite() {
        pool_->stop();
        delete pool_;
    }
    static torvik::Pool* pool_;
};
torvik::Pool* ModpProducts::pool_ = nullptr;

// Runs one bundle with block counts m, k, n and checks both outputs against
// the model: exact products for p <= 0, else (old + product) mod p.
void check_bundle(torvik::Pool& pool, size_t m, size_t k, size_t n, size_t b, std::int64_t p,
                  bool accumulate, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    const std::int64_t range = p > 0 ? p : 1000;
    Matrix A1 = random_residues(m * b, k * b, range, rng), B1 = random_residues(k * b, n * b, range, rng);
    Matrix A2 = random_residues(k * b, n * b, range, rng), B2 = random_residues(n * b, m * b, range, rng);
    Matrix C1 = random_residues(m * b, n * b, range, rng), C2 = random_residues(k * b, m * b, range, rng);
    const Matrix old1 = C1, old2 = C2;

    torvik::BundleWorkspace<double> ws;
    ws.allocate(m, k, n, b, 4, &pool);
    torvik::fmm_bundle<double>(pool, m, k, n, b, CMat<double>{A1.v.data(), A1.ld},
                               CMat<double>{B1.v.data(), B1.ld}, Mat<double>{C1.v.data(), C1.ld},
                               CMat<double>{A2.v.data(), A2.ld}, CMat<double>{B2.v.data(), B2.ld},
                               Mat<double>{C2.v.data(), C2.ld}, ws, accumulate, static_cast<double>(p));

    auto expect = [&](const Matrix& X, const Matrix& Y, const Matrix& C, const Matrix& old, const char* name) {
        size_t wrong = 0;
        for (size_t i = 0; i < C.rows; ++i)
            for (size_t j = 0; j < C.cols; ++j) {
                __int128 e = exact_dot(X, Y, i, j);
                if (accumulate) e += static_cast<std::int64_t>(old.at(i, j));
                const double want = p > 0 ? static_cast<double>(mod(e, p)) : static_cast<double>(e);
                if (C.at(i, j) != want) ++wrong;
            }
        EXPECT_EQ(wrong, 0u) << name << " m=" << m << " k=" << k << " n=" << n << " b=" << b << " p=" << p;
        // Padding columns beyond the matrix are never touched.
        for (size_t i = 0; i < C.rows; ++i)
            for (size_t j = C.cols; j < C.ld; ++j) EXPECT_EQ(C.at(i, j), 0.0);
    };
    expect(A1, B1, C1, old1, "C1");
    expect(A2, B2, C2, old2, "C2");
}

TEST_F(ModpProducts, BundleMatchesSchoolbook) {
    check_bundle(*pool_, 1, 1, 1, 16, 65521, false, 1);   // one aggregated product
    check_bundle(*pool_, 2, 2, 2, 16, 65519, false, 2);   // prime near 2^16
    check_bundle(*pool_, 2, 3, 1, 17, 1000003, false, 3); // unequal block counts, odd block
    check_bundle(*pool_, 3, 1, 2, 20, 7, false, 4);
    check_bundle(*pool_, 2, 2, 3, 16, 2, false, 5);
}

TEST_F(ModpProducts, BundleAccumulatesOntoResidues) {
    check_bundle(*pool_, 2, 2, 2, 16, 65521, true, 6);
    check_bundle(*pool_, 1, 2, 3, 19, 101, true, 7);
}

TEST_F(ModpProducts, BundleWithoutModulusKeepsExactIntegers) {
    check_bundle(*pool_, 2, 2, 2, 16, 0, false, 8);
    check_bundle(*pool_, 2, 1, 2, 16, -1, true, 9);
}

TEST_F(ModpProducts, BundleWorkspaceLayout) {
    torvik::BundleWorkspace<double> ws;
    for (auto [b, ld] : {std::pair<size_t, size_t>{16, 32}, {17, 48}, {1024, 1040}, {31, 48}, {32, 48}}) {
        ws.allocate(2, 3, 1, b, 2, nullptr);
        EXPECT_EQ(ws.ld, ld) << b;
        // 3 per-worker buffers x 2 workers, 2m + 2n + 2k sums, k*n cross products.
        const size_t buffers = 6 + (4 + 2 + 6) + 3;
        EXPECT_EQ(ws.bytes, buffers * b * ld * sizeof(double)) << b;
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(ws.cross_products[2]) % 64, 0u);
        for (size_t i = 0; i < b * ld; ++i) ASSERT_EQ(ws.product[1][i], 0.0);
    }
    ws.release();
    EXPECT_EQ(ws.bytes, 0u);
    EXPECT_TRUE(ws.left_sum.empty());
}

// Reference for classical products.
void check_classical(torvik::Pool& pool, std::vector<std::pair<Matrix, Matrix>>& operands,
                     std::vector<Matrix>& outputs, std::vector<size_t> row_tiles,
                     std::vector<size_t> col_tiles, bool accumulate, std::int64_t p, size_t tile) {
    std::vector<torvik::ClassicalProduct<double>> list;
    std::vector<Matrix> old = outputs;
    for (size_t i = 0; i < operands.size(); ++i) {
        Matrix& a = operands[i].first;
        Matrix& b = operands[i].second;
        Matrix& c = outputs[i];
        list.push_back({c.rows, c.cols, a.cols, a.v.data(), a.ld, b.v.data(), b.ld, c.v.data(), c.ld,
                        row_tiles[i], col_tiles[i]});
    }
    torvik::classical_products<double>(pool, list, accumulate, static_cast<double>(p), tile);
    for (size_t q = 0; q < operands.size(); ++q) {
        size_t wrong = 0;
        for (size_t i = 0; i < outputs[q].rows; ++i)
            for (size_t j = 0; j < outputs[q].cols; ++j) {
                __int128 e = exact_dot(operands[q].first, operands[q].second, i, j);
                if (accumulate) e += static_cast<std::int64_t>(old[q].at(i, j));
                const double want = p > 0 ? static_cast<double>(mod(e, p)) : static_cast<double>(e);
                if (outputs[q].at(i, j) != want) ++wrong;
            }
        EXPECT_EQ(wrong, 0u) << "product " << q;
    }
}

TEST_F(ModpProducts, ClassicalTilesCoverEveryProduct) {
    std::mt19937_64 rng(11);
    const std::int64_t p = 65521;
    // Three products of different shapes in one call, with tile grids that
    // split unevenly (10 rows in 3 tiles: 3, 3, 4) and an accumulating run.
    std::vector<std::pair<Matrix, Matrix>> ops;
    std::vector<Matrix> outs;
    ops.push_back({random_residues(10, 7, p, rng), random_residues(7, 10, p, rng)});
    outs.push_back(Matrix(10, 10));
    ops.push_back({random_residues(20, 33, p, rng), random_residues(33, 15, p, rng)});
    outs.push_back(Matrix(20, 15));
    ops.push_back({random_residues(5, 4, p, rng), random_residues(4, 5, p, rng)});
    outs.push_back(Matrix(5, 5));
    check_classical(*pool_, ops, outs, {3, 4, 1}, {2, 3, 1}, false, p, 5);
    // Accumulating onto residues.
    for (Matrix& o : outs)
        for (size_t i = 0; i < o.rows; ++i)
            for (size_t j = 0; j < o.cols; ++j) o.at(i, j) = static_cast<double>(rng() % p);
    check_classical(*pool_, ops, outs, {2, 1, 5}, {1, 2, 5}, true, p, 5);
}

TEST_F(ModpProducts, ClassicalWithoutModulusIsExact) {
    std::mt19937_64 rng(12);
    std::vector<std::pair<Matrix, Matrix>> ops;
    std::vector<Matrix> outs;
    ops.push_back({random_residues(16, 16, 1 << 20, rng), random_residues(16, 16, 1 << 20, rng)});
    outs.push_back(Matrix(16, 16));
    check_classical(*pool_, ops, outs, {1}, {1}, false, 0, 16);
}

TEST_F(ModpProducts, ClassicalEmptyListRunsNothing) {
    std::vector<torvik::ClassicalProduct<double>> none;
    torvik::classical_products<double>(*pool_, none, false, 7.0, 16);
    SUCCEED();
}

TEST_F(ModpProducts, ClassicalReducesOnlyWholeTiles) {
    // m = n = 6 with tile 4: one whole tile is reduced, the rest keeps the
    // exact product.
    Matrix a(6, 1), b(1, 6), c(6, 6);
    for (size_t i = 0; i < 6; ++i) {
        a.at(i, 0) = 10;
        b.at(0, i) = 10;
    }
    std::vector<torvik::ClassicalProduct<double>> list{{6, 6, 1, a.v.data(), a.ld, b.v.data(), b.ld, c.v.data(), c.ld, 1, 1}};
    torvik::classical_products<double>(*pool_, list, false, 7.0, 4);
    EXPECT_EQ(c.at(0, 0), 100 % 7);
    EXPECT_EQ(c.at(3, 3), 100 % 7);
    EXPECT_EQ(c.at(4, 4), 100);
    EXPECT_EQ(c.at(0, 5), 100);
}

TEST(ModpReduction, ExactResidueOverTheWholeRange) {
    const double two53 = 9007199254740992.0;
    std::mt19937_64 rng(13);
    for (std::int64_t p : {2, 3, 7, 65521, 1048573, 2147483647, 94906265}) {
        std::vector<double> xs;
        // Multiples of p and their neighbours, up to just below 2^53, and negatives.
        const std::int64_t top = ((std::int64_t{1} << 53) - 1) / p;
        for (std::int64_t q : {std::int64_t{0}, std::int64_t{1}, std::int64_t{2}, std::int64_t{12345}, top}) {
            for (std::int64_t delta : {std::int64_t{-1}, std::int64_t{0}, std::int64_t{1}}) {
                const std::int64_t x = q * p + delta;
                if (x < static_cast<std::int64_t>(two53) && x > -static_cast<std::int64_t>(two53)) {
                    xs.push_back(static_cast<double>(x));
                    xs.push_back(-static_cast<double>(x));
                }
            }
        }
        xs.push_back(two53 - 1);
        xs.push_back(-(two53 - 1));
        for (int r = 0; r < 2000; ++r) {
            std::int64_t x = static_cast<std::int64_t>(rng() % (1ULL << 53));
            xs.push_back(static_cast<double>(r % 2 ? -x : x));
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
