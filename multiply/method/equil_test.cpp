// Equilibration transform: exact power-of-two scaling against ldexpf, the
// exponent choice, the preflight, exact round trips on the real pool, and
// runs through execute_method on badly scaled inputs against FP64 products.
#include <gtest/gtest.h>

#include <cblas.h>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/testing/test_support.h"
#include "multiply/blas/aocl_backend.h"
#include "multiply/method/center.h"
#include "multiply/agg1/agg1.h"
#include "multiply/method/equil.h"
#include "multiply/method/method_run.h"
#include "multiply/method/problem.h"
#include "multiply/method/method_test_support.h"
#include "multiply/pan_adapter/pool.h"

namespace {


// The transform's inputs (stride ld, padding 9), with the Problem's side and
// leaf grid; a transform still applied in place is undone while the matrices
// exist.
struct Inputs : SquareInputs {
    Inputs(std::uint64_t side, std::uint64_t stride, const Entry& fa, const Entry& fb)
        : SquareInputs(side, stride, fa, fb) {
        problem.ld = side;
        problem.leaf_grid_n = leaf_grid(side);
    }
    ~Inputs() {
        if (equil::state.in_place && equil::state.a == a.data()) release_equil_state();
    }
    Inputs(Inputs&&) = default;
};

Entry constant(float v) {
    return [v](std::uint64_t, std::uint64_t) { return v; };
}

// Rows of A and columns of B scaled by 2^k, k drawn from [-spread, spread],
// entries otherwise standard normal; stride n.
Inputs badly_scaled(std::uint64_t n, int spread, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> k(-spread, spread);
    std::vector<int> ka(n), kb(n);
    for (auto* v : {&ka, &kb})
        for (int& x : *v) x = k(rng);
    auto g = [rng, d = std::normal_distribution<float>(0.0f, 1.0f)]() mutable { return d(rng); };
    return Inputs(n, n, [&](std::uint64_t i, std::uint64_t) { return std::ldexp(g(), ka[i]); },
                  [&](std::uint64_t, std::uint64_t j) { return std::ldexp(g(), kb[j]); });
}

// For each result C (stride n): the largest |C - A·B| / (|A|·|B|) over the
// entries, both products in FP64 from a0 and b0 (stride n): the error of
// each entry against the size of the terms it sums.
std::vector<double> normalised_errors(const Inputs& in, const std::vector<const std::vector<float>*>& results) {
    const int s = static_cast<int>(in.n);
    std::vector<double> da(in.a0.begin(), in.a0.end()), db(in.b0.begin(), in.b0.end()), r(da.size()), m(da.size());
    cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, s, s, s, 1.0, da.data(), s, db.data(), s, 0.0,
                r.data(), s);
    for (auto* v : {&da, &db})
        for (double& x : *v) x = std::fabs(x);
    cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, s, s, s, 1.0, da.data(), s, db.data(), s, 0.0,
                m.data(), s);
    std::vector<double> errors;
    for (const auto* c : results) {
        double worst = 0;
        for (std::size_t i = 0; i < r.size(); ++i) {
            const double d = std::fabs((*c)[i] - r[i]);
            // A NaN or infinite entry, or an error where the exact value is 0, counts as infinite.
            worst = std::max(worst, !(d <= DBL_MAX) ? INFINITY : m[i] > 0 ? d / m[i] : d > 0 ? INFINITY : 0.0);
        }
        errors.push_back(worst);
    }
    return errors;
}

class Equil : public ::testing::Test {
protected:
    static void SetUpTestSuite() { const TestWatchdog watchdog; start_backends(test_workers(), test_cpu_base()); }
    static void TearDownTestSuite() { const TestWatchdog watchdog; release_all(); }
    const TestWatchdog watchdog_;  // a deadlocked run fails in seconds
    void TearDown() override {
        release_equil_state();
        release_center_state();
        problem.leaf = 1024;
    }
};

}  // namespace

TEST(ScaleByPow2, AgreesWithLdexpfOverEveryExponent) {
    // Significand fields: powers of two, the lowest and highest bits set, mixed patterns.
    const std::uint32_t significands[] = {0, 1, 3, 0x100000, 0x400000, 0x555555, 0x7fffff};
    const float untouched = 12345.0f;
    for (std::uint32_t sig : significands)
        for (std::uint32_t field = 0; field <= 254; ++field)  // field 0: subnormals
            for (std::uint32_t sign : {0u, 0x80000000u}) {
                if (field == 0 && sig == 0) continue;  // zeros below
                const float x = from_bits(sign | field << 23 | sig);
                for (int e = -330; e <= 330; ++e) {
                    float out = untouched;
                    const bool ok = scale_by_pow2(e, &out, x);
                    // In double x·2^e is exact here; it must be a finite float for true.
                    const float f = std::ldexp(x, e);
                    const bool exact = std::isfinite(f) && static_cast<double>(f) == std::ldexp(double{x}, e);
                    ASSERT_EQ(ok, exact) << std::hexfloat << x << " e=" << e;
                    ASSERT_EQ(bits_of(out), bits_of(ok ? f : untouched)) << std::hexfloat << x << " e=" << e;
                }
                for (int e : {INT_MIN, INT_MIN + 1, -100000, 100000, INT_MAX}) {
                    float out = untouched;
                    ASSERT_FALSE(scale_by_pow2(e, &out, x)) << std::hexfloat << x << " e=" << e;
                }
            }
    for (int e : {INT_MIN, -200, -1, 0, 1, 200, INT_MAX}) {
        for (float z : {0.0f, -0.0f}) {
            float out = untouched;
            EXPECT_TRUE(scale_by_pow2(e, &out, z));
            EXPECT_EQ(bits_of(out), bits_of(z));
        }
        for (float bad : {INFINITY, -INFINITY, NAN}) {
            float out = untouched;
            EXPECT_FALSE(scale_by_pow2(e, &out, bad));
            EXPECT_EQ(out, untouched);
        }
    }
}

TEST_F(Equil, CallOrderAndBadViews) {
    EXPECT_EQ(message_of([] { equil::prepare(0); }), "invalid equilibration dimension");
    EXPECT_EQ(message_of([] { equil::prepare(std::uint64_t{1} << 31); }), "invalid equilibration dimension");
    equil::prepare(300);
    const std::int32_t* kept = equil::state.row_exponents;
    equil::prepare(300);  // same side: nothing changes
    EXPECT_EQ(equil::state.row_exponents, kept);
    equil::prepare(100);
    EXPECT_EQ(equil::state.bytes, 3u * 448u + 3u * 832u);  // 100 i32 and 100 f64, each rounded up to 64 bytes
    release_equil_state();

    Inputs in(40, 41, [](std::uint64_t i, std::uint64_t) { return std::ldexp(1.0f, int(i % 7)); }, constant(1));
    EXPECT_EQ(message_of(equil::transform), "equil::prepare must precede transform");
    equil::prepare(40);
    EXPECT_EQ(message_of(equil::recover), "equil::transform must precede recover");
    const struct { std::uint64_t lda; float* b; const char* error; } bad[] = {
        {39, in.b.data(), "invalid equilibration view"},
        {std::uint64_t{1} << 31, in.b.data(), "invalid equilibration view"},
        {41, nullptr, "invalid equilibration view"},
        {41, reinterpret_cast<float*>(~std::uintptr_t{0} - 4096), "equilibration address overflow"},
        {41, in.a.data() + 39 * 41 + 39, "equilibration requires nonoverlapping A and B"},  // one shared entry
    };
    for (const auto& c : bad) {
        problem.lda = c.lda;
        problem.B = c.b;
        EXPECT_EQ(message_of(equil::transform), c.error);
    }
    problem.lda = 41;
    problem.B = in.b.data();
    EXPECT_TRUE(in.intact());

    equil::transform();
    ASSERT_TRUE(equil::state.in_place);
    EXPECT_EQ(message_of(equil::transform), "restore equilibration inputs before another transform");
    for (float* c : {in.b.data() + 39 * 41, in.a.data() + 5}) {
        problem.C = c;
        EXPECT_EQ(message_of(equil::recover), "equilibration output overlaps input");
    }
    EXPECT_FALSE(in.intact());
    release_equil_state();  // releasing while scaled gives the inputs back
    EXPECT_TRUE(in.intact());
}

// The worked cases: all ones (nothing to do), A = 2^10 and B = 1, and half
// the exponent gap rounded towards minus infinity.
TEST_F(Equil, ExponentChoice) {
    {
        Inputs in(5, 5, constant(1), constant(1));
        std::fill(in.c.begin(), in.c.end(), 7.5f);
        const std::vector<float> c0 = in.c;
        equil::prepare(5);
        equil::transform();
        const equil::Statistics& st = equil::published;
        EXPECT_TRUE(st.certificate && !st.applied && !equil::state.in_place);
        EXPECT_EQ(st.inner + st.rows + st.columns + st.preflight_failures, 0u);
        equil::recover();
        EXPECT_TRUE(in.intact() && same_bits(in.c, c0));
        release_equil_state();
    }
    {
        Inputs in(4, 4, constant(1024), constant(1));
        equil::prepare(4);
        equil::transform();
        for (int k = 0; k < 4; ++k) {
            EXPECT_EQ(equil::state.inner_exponents[k], -5);
            EXPECT_EQ(equil::state.row_exponents[k], -5);
            EXPECT_EQ(equil::state.column_exponents[k], -5);
        }
        EXPECT_TRUE(std::all_of(in.a.begin(), in.a.end(), [](float x) { return x == 1.0f; }));
        EXPECT_TRUE(std::all_of(in.b.begin(), in.b.end(), [](float x) { return x == 1.0f; }));
        const equil::Statistics& st = equil::published;
        EXPECT_TRUE(st.certificate && st.applied && st.a == in.a.data() && st.ldb == 4);
        EXPECT_TRUE(st.inner == 4 && st.rows == 4 && st.columns == 4);
        std::fill(in.c.begin(), in.c.end(), 4.0f);  // the product of the scaled operands
        equil::recover();
        EXPECT_TRUE(std::all_of(in.c.begin(), in.c.end(), [](float x) { return x == 4096.0f; }));
        EXPECT_TRUE(in.intact());
        release_equil_state();
    }
    // Column k of A holds 2^ak, row k of B holds 2^bk: d = bk - ak and e_k = floor(d / 2).
    // Index 5 has a zero column of A, index 6 a zero row of B: with the others
    // the rows of A peak at 2^3 (r = -3) and the columns of B at 2^4 (c = -4),
    // and e_5 = e_6 = -4 bring row 5 of B and column 6 of A to 1, not above.
    // The same with an empty last row of A and column of B, whose exponents
    // stay 0 (then the scaled lines are looked at one by one).
    const int ak[] = {3, 0, 1, 0, 5, 0, 7, 3}, bk[] = {0, 3, 0, 1, 2, 0, 7, 0};
    const int expected[] = {-2, 1, -1, 0, -2, -4, -4, -2};
    for (const bool empty : {false, true}) {
        Inputs in(8, 8, [&](std::uint64_t i, std::uint64_t k) {
            return k == 5 || (empty && i == 7) ? 0.0f : std::ldexp(1.0f, ak[k]);
        }, [&](std::uint64_t k, std::uint64_t j) { return k == 6 || (empty && j == 7) ? 0.0f : std::ldexp(1.0f, bk[k]); });
        equil::prepare(8);
        equil::transform();
        for (int k = 0; k < 8; ++k) EXPECT_EQ(equil::state.inner_exponents[k], expected[k]) << empty << " " << k;
        EXPECT_EQ(equil::state.row_exponents[7], empty ? 0 : -3);
        EXPECT_EQ(equil::state.column_exponents[7], empty ? 0 : -4);
        EXPECT_TRUE(in.a[6] == 1.0f && in.b[5 * 8] == 1.0f) << empty;
        release_equil_state();  // restores A and B while they still exist
        EXPECT_TRUE(in.intact());
    }

    // Rows of A and columns of B peak at 2, 3, 4, 7, 0 and 5: exponents -1 and
    // -2 are one scale, so every line takes the smaller, -2, which keeps its
    // peak below 2; the zero row and column take no part and keep 0.
    const float peak[] = {2, 3, 4, 7, 0, 5};
    Inputs lines(6, 6, [&](std::uint64_t i, std::uint64_t) { return peak[i]; },
                 [&](std::uint64_t, std::uint64_t j) { return peak[j]; });
    equil::prepare(6);
    equil::transform();
    for (int i = 0; i < 6; ++i) {
        const int want = i == 4 ? 0 : -2;
        EXPECT_EQ(equil::state.row_exponents[i], want) << i;
        EXPECT_EQ(equil::state.column_exponents[i], want) << i;
        EXPECT_EQ(equil::state.inner_exponents[i], 0) << i;
    }
}

// Rows and columns of both inputs span 2^±60, with a zero row of A, a zero
// column of B and a zero row of B: every scaled non-zero row of A and column
// of B peaks in [1, 2), C comes back within float accuracy of the FP64
// product, and A and B come back bit for bit, twice on one state.
TEST_F(Equil, RoundTripOnWidelySpreadInputs) {
    for (std::uint64_t n : {1u, 13u, 300u}) {
        std::mt19937 rng(static_cast<unsigned>(n));
        std::uniform_int_distribution<int> k(-30, 30);
        std::uniform_real_distribution<float> u(0.5f, 2.0f);
        std::vector<int> ra(n), ca(n), rb(n), cb(n);
        for (auto* v : {&ra, &ca, &rb, &cb})
            for (int& x : *v) x = k(rng);
        auto sign = [](std::uint64_t i, std::uint64_t j) { return (i * 7 + j * 3) % 5 < 2 ? -1.0f : 1.0f; };
        const bool zeros = n > 1;  // row 1 of A, row 2 and column n - 1 of B
        Inputs in(n, n,
                  [&](std::uint64_t i, std::uint64_t j) {
                      return zeros && i == 1 ? 0.0f : sign(i, j) * std::ldexp(u(rng), ra[i] + ca[j]);
                  },
                  [&](std::uint64_t i, std::uint64_t j) {
                      return zeros && (i == 2 || j == n - 1) ? 0.0f : sign(j, i) * std::ldexp(u(rng), rb[i] + cb[j]);
                  });
        equil::prepare(n);
        for (int round = 0; round < 2; ++round) {
            equil::transform();
            ASSERT_TRUE(equil::published.certificate && equil::published.applied) << n;
            for (std::uint64_t i = 0; i < n; ++i) {
                float row_a = 0, col_b = 0;
                for (std::uint64_t j = 0; j < n; ++j) {
                    row_a = std::max(row_a, std::fabs(in.a[i * n + j]));
                    col_b = std::max(col_b, std::fabs(in.b[j * n + i]));
                }
                const bool zero_a = zeros && i == 1, zero_b = zeros && i == n - 1;
                EXPECT_TRUE(zero_a ? row_a == 0 && equil::state.row_exponents[i] == 0 : row_a >= 1 && row_a < 2)
                    << n << " row " << i << " " << row_a;
                EXPECT_TRUE(zero_b ? col_b == 0 && equil::state.column_exponents[i] == 0 : col_b >= 1 && col_b < 2)
                    << n << " column " << i << " " << col_b;
            }
            const int s = static_cast<int>(n);
            cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, s, s, s, 1.0f, problem.A, s, problem.B, s, 0.0f,
                        problem.C, s);
            equil::recover();
            ASSERT_TRUE(in.intact()) << n;
            EXPECT_FALSE(equil::state.in_place || equil::state.transformed);
            EXPECT_LT(normalised_errors(in, {&in.c})[0], 1e-5) << n;
        }
        release_equil_state();
    }
}

// Recovery gives what ldexpf gives for every kind of entry of C (zeros,
// subnormals, infinities, NaN, results that overflow or lose bits), leaves
// the padding between rows alone, and a row of subnormal inputs is scaled
// up and brought back exactly.
TEST_F(Equil, RecoverMatchesLdexpfAndSubnormalsComeBack) {
    const std::uint64_t n = 61, ld = 64;  // not a multiple of the vector width
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> k(-60, 60);
    std::uniform_real_distribution<float> u(0.5f, 2.0f);
    std::vector<int> ra(n), cb(n);
    for (auto* v : {&ra, &cb})
        for (int& x : *v) x = k(rng);
    const float tiny = std::numeric_limits<float>::denorm_min();
    Inputs in(
        n, ld, [&](std::uint64_t i, std::uint64_t j) { return i == 3 ? (j + 1) * tiny : std::ldexp(u(rng), ra[i]); },
        [&](std::uint64_t, std::uint64_t j) { return std::ldexp(u(rng), cb[j]); });
    equil::prepare(n);
    equil::transform();
    ASSERT_TRUE(equil::published.certificate);
    EXPECT_GT(equil::state.row_exponents[3], 126);
    for (float& x : in.c) x = from_bits(static_cast<std::uint32_t>(rng()));
    for (std::uint64_t i = 0; i < n; i += 7) in.c[i * ld + i] = i % 2 ? -0.0f : INFINITY;
    const std::vector<float> c0 = in.c;
    equil::recover();
    EXPECT_TRUE(in.intact());
    int special = 0;
    for (std::uint64_t i = 0; i < n; ++i)
        for (std::uint64_t j = 0; j < ld; ++j) {
            const float x = c0[i * ld + j], got = in.c[i * ld + j];
            const int e = j < n ? -(equil::state.row_exponents[i] + equil::state.column_exponents[j]) : 0;
            const float want = std::ldexp(x, e);
            special += std::fpclassify(want) != FP_NORMAL || std::fpclassify(x) != FP_NORMAL;
            ASSERT_TRUE(bits_of(got) == bits_of(want) || (std::isnan(got) && std::isnan(want)))
                << i << "," << j << std::hexfloat << " x=" << x << " got " << got << " want " << want;
        }
    EXPECT_GT(special, 100);
}

// An entry that scaling pushes off the subnormal range is scaled with
// rounding and its bits come back; more such entries than the bound, or a
// NaN or an infinity, refuse the transform: A, B and C stay as they were.
TEST_F(Equil, RoundedEntriesComeBackAndRefusedInputsStayAsTheyWere) {
    // Row 0 of A peaks at 2^100 and also holds 3·2^-149: brought down by 2^-50
    // (half the gap goes to the inner exponent), that entry loses its bits.
    const float tiny = std::numeric_limits<float>::denorm_min();
    Inputs in(8, 8, [&](std::uint64_t i, std::uint64_t j) {
        return i > 0 || j > 1 ? 1.0f : j == 0 ? std::ldexp(1.0f, 100) : 3 * tiny;
    }, constant(1));
    std::fill(in.c.begin(), in.c.end(), -2.5f);
    const std::vector<float> c0 = in.c;
    equil::prepare(8);
    for (int round = 0; round < 2; ++round) {
        equil::transform();
        const equil::Statistics& st = equil::published;
        EXPECT_EQ(st.preflight_failures, 1u);
        EXPECT_TRUE(st.certificate && st.applied && equil::state.in_place);
        EXPECT_EQ(equil::state.row_exponents[0] + equil::state.inner_exponents[1], -50);
        EXPECT_EQ(bits_of(in.a[1]), bits_of(0.0f));  // 3·2^-199 rounds to zero
        EXPECT_EQ(in.a[0], 1.0f);
        equil::recover();
        EXPECT_TRUE(in.intact());
        EXPECT_EQ(in.c[0], std::ldexp(-2.5f, -(equil::state.row_exponents[0] + equil::state.column_exponents[0])));
        in.c = c0;
    }
    // Lines brought down by 2^-1 (A = 2) and 2^-2 (A = 4): an entry whose
    // rounded value is FLT_MIN (a tie that rounds up) or a non-zero
    // subnormal holds that rounded value while scaled, and comes back.
    for (const float big : {2.0f, 4.0f}) {
        const float tie = from_bits(big == 2.0f ? 0x00ffffffu : 0x017fffffu);
        Inputs ties(8, 8, [&](std::uint64_t i, std::uint64_t j) {
            return i == 2 && j == 3 ? tie : i == 5 && j == 7 ? -3 * tiny : big;
        }, constant(1));
        equil::prepare(8);
        equil::transform();
        EXPECT_EQ(equil::published.preflight_failures, 2u) << big;
        EXPECT_EQ(equil::published.kept_bytes, 64u) << big;  // a mark and an entry per row, 8 bytes each
        EXPECT_EQ(bits_of(ties.a[2 * 8 + 3]), bits_of(FLT_MIN)) << big;
        EXPECT_EQ(bits_of(ties.a[5 * 8 + 7]), bits_of(big == 2.0f ? -2 * tiny : -tiny)) << big;  // 1.5 and 0.75 units
        equil::recover();
        EXPECT_TRUE(ties.intact()) << big;
    }

    // 2^100 on the diagonal, `count` entries of 3·2^-149 after it in row
    // order and 1 elsewhere: each of those entries loses its bits. At most
    // N·N/4 are kept for the side N of the data: 16 at side 8, 9 at side 6,
    // and 25 at side 10 padded to 12 (the padding holds zeros).
    struct { std::uint64_t n, real, count; bool runs; } bounds[] = {
        {8, 0, 16, true}, {8, 0, 17, false}, {8, 0, 56, false}, {6, 0, 9, true},
        {6, 0, 10, false}, {12, 10, 25, true}, {12, 10, 26, false}};
    for (const auto& c : bounds) {
        const std::uint64_t side = c.real ? c.real : c.n;
        Inputs many(c.n, c.n, [&](std::uint64_t i, std::uint64_t j) {
            if (i >= side || j >= side) return 0.0f;
            const std::uint64_t before = i * (side - 1) + j - (j > i);  // off-diagonal entries before (i, j)
            return i == j ? std::ldexp(1.0f, 100) : before < c.count ? 3 * tiny : 1.0f;
        }, [&](std::uint64_t i, std::uint64_t j) { return i < side && j < side ? 1.0f : 0.0f; });
        problem.real_n = c.real;
        equil::prepare(c.n);
        const std::string where = std::to_string(c.n) + "/" + std::to_string(c.real) + ": " + std::to_string(c.count);
        if (c.runs) {
            equil::transform();
            EXPECT_EQ(equil::published.preflight_failures, c.count) << where;
            equil::recover();
        } else {
            EXPECT_EQ(message_of(equil::transform), std::to_string(c.count) +
                      " entries of A and B are too small to scale exactly (at most " +
                      std::to_string(side * side / 4) + ")") << where;
            EXPECT_EQ(message_of(equil::recover), "equil::transform must precede recover") << where;
        }
        problem.real_n = 0;
        EXPECT_TRUE(many.intact() && !equil::state.in_place) << where;
        release_equil_state();
    }

    for (int c = 0; c < 4; ++c) {  // a NaN or an infinity, in A or in B
        std::mt19937 rng(c);
        std::uniform_real_distribution<float> u(-1e6f, 1e6f);
        auto entry = [&](bool hit) { return [&, hit](std::uint64_t i, std::uint64_t j) {
            return hit && i == 17 && j == 3 ? (c < 2 ? NAN : INFINITY) : u(rng);
        }; };
        Inputs bad(50, 50, entry(c % 2 == 0), entry(c % 2 == 1));
        equil::prepare(50);
        EXPECT_EQ(message_of(equil::transform), "equilibration requires finite inputs");
        EXPECT_TRUE(bad.intact() && !equil::state.in_place);
        EXPECT_EQ(message_of(equil::recover), "equil::transform must precede recover");
    }
}

// The entries the transform cannot scale exactly, in B alone with A clean: a
// NaN or an infinity ends it with its message (A, B and C stay as they were),
// an entry that scaling pushes off the subnormal range is rounded and comes
// back. Each sits in the vector part of a row or in one of the last n mod 8
// columns, at sides that are not multiples of the vector width, with padding
// between rows.
TEST_F(Equil, EntriesOfBAloneAnywhereInARow) {
    const float tiny = std::numeric_limits<float>::denorm_min();
    const float non_finite[] = {NAN, INFINITY, -INFINITY};
    for (std::uint64_t n : {13u, 31u, 50u}) {
        std::vector<std::uint64_t> columns = {3};
        for (std::uint64_t j = n - n % 8; j < n; ++j) columns.push_back(j);
        for (std::uint64_t col : columns)
            for (int kind = 0; kind < 4; ++kind) {
                // Kinds 0-2: a non-finite entry in row n / 2. Kind 3: column col
                // peaks at 2^100 in row 0 and holds 3·2^-149 in row 1; brought
                // down by about 2^-50, that entry would lose its bits.
                std::mt19937 rng(static_cast<unsigned>(n * 100 + col * 4 + kind));
                std::uniform_real_distribution<float> u(0.5f, 2.0f);
                Inputs in(n, n + 3, [&](std::uint64_t, std::uint64_t) { return u(rng); },
                          [&](std::uint64_t i, std::uint64_t j) {
                              if (j != col) return u(rng);
                              if (kind < 3) return i == n / 2 ? non_finite[kind] : u(rng);
                              return i == 0 ? std::ldexp(1.0f, 100) : i == 1 ? 3 * tiny : u(rng);
                          });
                std::fill(in.c.begin(), in.c.end(), -2.5f);
                const std::vector<float> c0 = in.c;
                equil::prepare(n);
                const std::string where = std::to_string(n) + " column " + std::to_string(col) + " kind " +
                                          std::to_string(kind);
                if (kind < 3) {
                    EXPECT_EQ(message_of(equil::transform), "equilibration requires finite inputs") << where;
                    EXPECT_EQ(message_of(equil::recover), "equil::transform must precede recover") << where;
                } else {
                    equil::transform();
                    const equil::Statistics& st = equil::published;
                    EXPECT_EQ(st.preflight_failures, 1u) << where;
                    EXPECT_TRUE(st.certificate && st.applied) << where;
                    EXPECT_EQ(in.b[col], 1.0f) << where;  // 2^100 brought to 1, 3·2^-149 to zero
                    EXPECT_EQ(bits_of(in.b[in.ld + col]), 0u) << where;
                    equil::recover();
                    in.c = c0;
                }
                EXPECT_FALSE(equil::state.in_place) << where;
                EXPECT_TRUE(in.intact() && same_bits(in.c, c0)) << where;
                release_equil_state();
            }
    }
}

// Every product base behind the "scale_" prefix, on inputs whose rows and
// columns span 2^±20: C within float accuracy of the FP64 product entry by
// entry, the inputs given back bit for bit, the views put back.
TEST_F(Equil, EveryBaseRunsScaled) {
    problem.leaf = 256;
    Inputs in = badly_scaled(1024, 20, 5);
    const char* methods[] = {"scale_dense",     "scale_dense:2x2:256", "scale_center_pan2",           "scale_pan4@64",
                             "scale_aocl_pan2", "scale_strassen_pan1", "scale_center_strassen_aocl1", "scale_native"};
    std::vector<std::vector<float>> results;
    for (const char* method : methods) {
        const MethodSpec spec = parse_method_spec(method);
        setup_method(spec);
        EXPECT_EQ(active_method.equil_bytes, 3u * 4096u + 3u * 8192u) << method;
        std::fill(in.c.begin(), in.c.end(), 0.0f);
        execute_method(spec);
        EXPECT_TRUE(in.intact() && problem.A == in.a.data() && problem.B == in.b.data()) << method;
        EXPECT_TRUE(equil::published.certificate && equil::published.applied && equil::published.rows > 512) << method;
        EXPECT_TRUE(phase_timers.forms > 0 && phase_timers.decode > 0) << method;
        results.push_back(in.c);
    }
    std::vector<const std::vector<float>*> views;
    for (const auto& r : results) views.push_back(&r);
    const std::vector<double> errors = normalised_errors(in, views);
    for (std::size_t m = 0; m < errors.size(); ++m) EXPECT_LT(errors[m], 1e-4) << methods[m];

    // A method without the prefix leaves the equilibration released and its report zero.
    const MethodSpec plain = parse_method_spec("center_pan2");
    setup_method(plain);
    EXPECT_TRUE(equil::state.side == 0 && active_method.equil_bytes == 0);
    execute_method(plain);
    EXPECT_FALSE(equil::published.certificate);
}

// Failures once the inputs are scaled (and centred) still give them back:
// a product the engine refuses, and a set-up that finds them left scaled.
TEST_F(Equil, FailuresAfterTheTransformGiveTheInputsBack) {
    problem.leaf = 256;
    Inputs in = badly_scaled(1024, 20, 6);
    // Rows that centring changes as well: positive rows of A, negative rows of B.
    for (std::uint64_t i = 0; i < 1024; i += 3)
        for (std::uint64_t j = 0; j < 1024; ++j) {
            in.a[i * 1024 + j] = 3.0f + (j % 5) / 4.0f;
            in.b[i * 1024 + j] = -2.0f - (j % 7) / 8.0f;
        }
    in.a0 = in.a;
    in.b0 = in.b;
    auto inputs_back = [&] { return in.intact() && problem.A == in.a.data() && problem.B == in.b.data(); };

    const MethodSpec spec = parse_method_spec("scale_center_pan2@64");
    setup_method(spec);
    problem.C = in.a.data();  // C on top of A: the Pan engine refuses after both transforms ran
    EXPECT_EQ(message_of([&] { execute_method(spec); }), "Pan output view overlaps an input");
    EXPECT_TRUE(inputs_back());
    EXPECT_FALSE(equil::state.in_place || center::state.applied);
    problem.C = in.c.data();
    execute_method(spec);  // and the next run works
    EXPECT_TRUE(inputs_back());

    // Inputs left centred and then scaled (an interrupted run) are unscaled
    // before they are un-centred by the next set-up.
    center::transform();
    equil::transform();
    ASSERT_TRUE(center::state.applied && equil::state.in_place);
    EXPECT_FALSE(in.intact());
    setup_method(parse_method_spec("dense"));
    EXPECT_TRUE(inputs_back());
}

// Rows of A and columns of B scaled by 2^k, k in -40..40: the product on
// the scaled operands is far more accurate, entry by entry, than the same
// product on the inputs as they are.
void scaling_pays_off(const char* scaled, const char* plain) {
    Inputs in = badly_scaled(2048, 40, 7);
    std::vector<float> c_scaled(in.c.size()), c_plain(in.c.size());
    for (auto [method, c] : {std::pair{scaled, &c_scaled}, std::pair{plain, &c_plain}}) {
        problem.C = c->data();
        const MethodSpec spec = parse_method_spec(method);
        setup_method(spec);
        execute_method(spec);
    }
    const std::vector<double> errors = normalised_errors(in, {&c_scaled, &c_plain});
    EXPECT_LT(errors[0], 1e-4);
    EXPECT_LT(errors[0] * 100, errors[1]) << scaled << " " << errors[0] << ", " << plain << " " << errors[1];
}

TEST_F(Equil, ScalingPaysOffOnBadlyScaledPanProducts) { scaling_pays_off("scale_center_pan2@64", "center_pan2@64"); }

TEST_F(Equil, ScalingPaysOffOnBadlyScaledAgg1Products) {
    scaling_pays_off("scale_center_agg1@64", "center_agg1@64");
}
