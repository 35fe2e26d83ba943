// The methods that korvane_multiply's modes run, on data whose rows, columns
// or inner indices differ in scale by up to 2^60: each must stay close to the
// dense route's error, in norm and in its worst row. (The aggregation sums
// mix blocks of different scales; without equilibration their error follows
// the largest scale and a small row loses every digit.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "common/testing/test_support.h"
#include "multiply/method/method_run.h"
#include "multiply/method/method_spec.h"
#include "multiply/method/method_test_support.h"
#include "multiply/method/non_finite.h"
#include "multiply/method/problem.h"

namespace {

using u64 = std::uint64_t;

class ModeRoutes : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const TestWatchdog watchdog;
        start_backends(std::min(8, usable_cpus_from(test_cpu_base())), test_cpu_base());
    }
    static void TearDownTestSuite() { const TestWatchdog watchdog; release_all(); }
    const TestWatchdog watchdog_;  // a deadlocked run fails in seconds
    void TearDown() override { problem.leaf = 1024; }
};

struct Errors {
    double norm = 0;       // relative Frobenius error of the whole product
    double worst_row = 0;  // largest relative error of one row
};

Errors errors_of(const std::vector<float>& c, const std::vector<double>& ref, u64 n) {
    Errors e;
    double err = 0, norm = 0;
    for (u64 i = 0; i < n; ++i) {
        double row_err = 0, row_norm = 0;
        for (u64 j = 0; j < n; ++j) {
            const double d = c[i * n + j] - ref[i * n + j];
            row_err += d * d;
            row_norm += ref[i * n + j] * ref[i * n + j];
        }
        err += row_err;
        norm += row_norm;
        e.worst_row = std::max(e.worst_row, std::sqrt(row_err / row_norm));
    }
    e.norm = std::sqrt(err / norm);
    return e;
}

float pow2(int e) { return std::ldexp(1.0f, e); }

// The data sets, each on normal A and B of side n.
enum class Data {
    inner,    // column k of A times 2^e_k, row k of B times 2^-e_k, e_k in -30..30
    outer,    // rows of A and columns of B times independent 2^e, e in -30..30
    normal,   // normal times 1.25: at side 1024 the row and column maxima straddle 4
    offset,   // 1 + 0.1·normal
    // With subnormal entries (1e-40) where the scaling brings their lines
    // down, so that they lose bits:
    inner_tiny,  // inner, one in A and ten in B
    outer_tiny,  // outer, ten in A and one in B
    huge,        // A = normal·2^124 with one, B = normal·2^-100
    near_max,    // A = normal·2^125 (up to near float's largest) with one in a hundred, B = normal·2^-120
    // With zero inner lines (a column of A or a row of B), which add nothing
    // to C but whose other line must not keep its unscaled size:
    rows_zero_b,      // rows of A times 2^e, B normal with one zero row
    inner_zero_b,     // inner, the row of B at the largest e_k zero
    inner_zero_a,     // inner, the column of A at the smallest e_k zero
    mixed_zeros_b,    // inner, and rows of A times 2^e; a random tenth of B's rows zero (half of them -0.0)
    inner_zeros_a,    // inner, a random half of A's columns -0.0
    mixed_zeros_a,    // inner, and columns of B times 2^e; a random tenth of A's columns zero
};

const char* name_of(Data data) {
    const char* names[] = {"inner",        "outer",        "normal",        "offset",        "inner_tiny",
                           "outer_tiny",   "huge",         "near_max",      "rows_zero_b",   "inner_zero_b",
                           "inner_zero_a", "mixed_zeros_b", "inner_zeros_a", "mixed_zeros_a"};
    return names[static_cast<int>(data)];
}

// Sets `count` entries of the lines that `lines` orders first (rows of m.a
// for rows, columns for columns), at random places along them, to 1e-40.
void put_tiny(std::vector<float>& m, u64 n, std::vector<int> scale, bool rows, int count, std::mt19937& rng) {
    std::vector<u64> order(n);
    for (u64 k = 0; k < n; ++k) order[k] = k;
    std::stable_sort(order.begin(), order.end(), [&](u64 x, u64 y) { return scale[x] > scale[y]; });
    std::uniform_int_distribution<u64> along(0, n - 1);
    for (int t = 0; t < count; ++t) {
        const u64 line = order[t % n], at = along(rng);
        m[rows ? line * n + at : at * n + line] = 1e-40f;
    }
}

void fill(MethodInputs& m, Data data, unsigned seed) {
    const u64 n = m.n;
    m.normal(seed);
    std::mt19937 rng(seed + 1);
    std::uniform_int_distribution<int> exponent(-30, 30);
    std::vector<int> e1(n), e2(n);
    for (u64 k = 0; k < n; ++k) {
        e1[k] = exponent(rng);
        e2[k] = exponent(rng);
    }
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j < n; ++j) {
            float& a = m.a[i * n + j];
            float& b = m.b[i * n + j];
            switch (data) {
                case Data::inner: case Data::inner_tiny: case Data::inner_zero_b: case Data::inner_zero_a:
                case Data::inner_zeros_a: a *= pow2(e1[j]); b *= pow2(-e1[i]); break;
                case Data::outer: case Data::outer_tiny: a *= pow2(e1[i]); b *= pow2(e2[j]); break;
                case Data::rows_zero_b: a *= pow2(e1[i]); break;
                case Data::mixed_zeros_b: a *= pow2(e1[j] + e2[i]); b *= pow2(-e1[i]); break;
                case Data::mixed_zeros_a: a *= pow2(e1[j]); b *= pow2(e2[j] - e1[i]); break;
                case Data::normal: a *= 1.25f; b *= 1.25f; break;
                case Data::offset: a = 1.0f + 0.1f * a; b = 1.0f + 0.1f * b; break;
                case Data::huge: a = std::ldexp(a, 124); b = std::ldexp(b, -100); break;
                case Data::near_max: a = std::ldexp(a, 125); b = std::ldexp(b, -120); break;
            }
        }
    // Columns of A with a large e_k and rows of B with a small one are
    // brought down most, as are rows of A and columns of B with a large e.
    std::vector<int> minus_e1(n);
    for (u64 k = 0; k < n; ++k) minus_e1[k] = -e1[k];
    switch (data) {
        case Data::inner_tiny: put_tiny(m.a, n, e1, false, 1, rng); put_tiny(m.b, n, minus_e1, true, 10, rng); break;
        case Data::outer_tiny: put_tiny(m.a, n, e1, true, 10, rng); put_tiny(m.b, n, e2, false, 1, rng); break;
        case Data::huge: put_tiny(m.a, n, e1, true, 1, rng); break;
        case Data::near_max: put_tiny(m.a, n, e1, true, static_cast<int>(n * n / 100), rng); break;
        default: break;
    }
    auto zero_row_of_b = [&](u64 k, float z) { std::fill_n(m.b.begin() + k * n, n, z); };
    auto zero_column_of_a = [&](u64 k, float z) { for (u64 i = 0; i < n; ++i) m.a[i * n + k] = z; };
    const u64 top = std::max_element(e1.begin(), e1.end()) - e1.begin();
    const u64 bottom = std::min_element(e1.begin(), e1.end()) - e1.begin();
    switch (data) {
        case Data::rows_zero_b: zero_row_of_b(n / 3, 0.0f); break;
        case Data::inner_zero_b: zero_row_of_b(top, 0.0f); break;
        case Data::inner_zero_a: zero_column_of_a(bottom, 0.0f); break;
        case Data::mixed_zeros_b:
            for (u64 k = 0; k < n; ++k)
                if (rng() % 10 == 0) zero_row_of_b(k, rng() % 2 ? -0.0f : 0.0f);
            break;
        case Data::inner_zeros_a:
            for (u64 k = 0; k < n; ++k)
                if (rng() % 2 == 0) zero_column_of_a(k, -0.0f);
            break;
        case Data::mixed_zeros_a:
            for (u64 k = 0; k < n; ++k)
                if (rng() % 10 == 0) zero_column_of_a(k, 0.0f);
            break;
        default: break;
    }
}

// Runs each mode's method and the dense route on the data; every mode must
// be within 10x of dense's error and 30x of its worst row (so without a
// non-finite entry either).
void expect_close_to_dense(u64 n, u64 leaf, const std::vector<std::string>& methods) {
    problem.leaf = leaf;
    for (Data data : {Data::inner, Data::outer, Data::inner_tiny, Data::outer_tiny, Data::huge, Data::near_max,
                      Data::rows_zero_b, Data::inner_zero_b, Data::inner_zero_a, Data::mixed_zeros_b,
                      Data::inner_zeros_a, Data::mixed_zeros_a}) {
        SCOPED_TRACE(name_of(data));
        MethodInputs m(n);
        fill(m, data, 31);
        const std::vector<double> ref = m.fp64_product();
        const Errors dense = errors_of(m.run("dense"), ref, n);
        ASSERT_LT(dense.norm, 1e-5);
        for (const std::string& method : methods) {
            SCOPED_TRACE(method);
            const std::vector<float> a0 = m.a, b0 = m.b;
            const Errors e = errors_of(m.run(method.c_str()), ref, n);
            EXPECT_LE(e.norm, 10 * dense.norm) << "dense " << dense.norm;
            EXPECT_LE(e.worst_row, 30 * dense.worst_row) << "dense " << dense.worst_row;
            EXPECT_TRUE(same_bits(m.a, a0) && same_bits(m.b, b0));
        }
    }
}

}  // namespace

TEST_F(ModeRoutes, EveryModeKeepsItsDigitsOnBadlyScaledData) {
    // Side 1024, leaf 128: the Pan routes, the accurate route and the Strassen
    // level over Pan, as the modes name them, and large's fallback.
    expect_close_to_dense(1024, 128,
                          {mode_method("safe"), mode_method("accurate"), mode_method("fast"), large_fallback_method()});
    // The large route itself needs 30 blocks per side: side 960, leaf 32.
    expect_close_to_dense(960, 32, {mode_method("large")});
}

TEST_F(ModeRoutes, OrdinaryDataLosesLittleToTheScaling) {
    // On data of one scale the equilibration must not split rows, columns or
    // inner indices whose maxima straddle a power of two into two scales: the
    // error stays that of the unscaled method.
    const u64 n = 1024;
    problem.leaf = 128;
    for (Data data : {Data::normal, Data::offset}) {
        SCOPED_TRACE(name_of(data));
        MethodInputs m(n);
        fill(m, data, 7);
        const std::vector<double> ref = m.fp64_product();
        for (const char* mode : {"safe", "accurate", "fast"}) {
            const std::string method = mode_method(mode);
            SCOPED_TRACE(method);
            ASSERT_EQ(method.rfind("scale_", 0), 0u);
            const double unscaled = errors_of(m.run(method.substr(6).c_str()), ref, n).norm;
            const double scaled = errors_of(m.run(method.c_str()), ref, n).norm;
            EXPECT_LE(scaled, 1.1 * unscaled) << "unscaled " << unscaled;
        }
    }
}

TEST_F(ModeRoutes, NonFiniteInputsAreRefusedBeforeAnythingChanges) {
    // One NaN or infinity in A or B, also in the last column: every mode's
    // method refuses with the refusal the program turns into its advice to use
    // the dense route, and gives A and B back untouched.
    const u64 n = 1024;
    problem.leaf = 128;
    MethodInputs m(n);
    m.normal(3);
    const float bad[] = {std::nanf(""), INFINITY, -INFINITY};
    const u64 places[] = {0, 341 * n + 512, n * n - 1};
    for (const char* mode : {"safe", "accurate", "fast"}) {
        const MethodSpec spec = parse_method_spec(mode_method(mode));
        setup_method(spec);
        for (std::vector<float>* v : {&m.a, &m.b})
            for (float x : bad)
                for (u64 at : places) {
                    SCOPED_TRACE(std::string(mode) + " value " + std::to_string(x) + " at " + std::to_string(at));
                    const float kept = (*v)[at];
                    (*v)[at] = x;
                    const std::vector<float> a0 = m.a, b0 = m.b;
                    EXPECT_THROW(execute_method(spec), NonFiniteInput);
                    EXPECT_TRUE(same_bits(m.a, a0) && same_bits(m.b, b0));
                    (*v)[at] = kept;
                }
    }
}
