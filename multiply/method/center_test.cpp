// Centering transform on the real pool: the offset rule, exact round trips,
// the FP64 correction of C against an FP64 product, and the call order.
#include <gtest/gtest.h>

#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/testing/test_support.h"
#include "multiply/method/center.h"
#include "multiply/method/problem.h"
#include "multiply/method/method_test_support.h"
#include "multiply/pan_adapter/pool.h"

namespace {

class Center : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        openblas_set_num_threads(1);
        problem.workers = test_workers();
        problem.cpu_base = test_cpu_base();
        pan_adapter::init_pool(problem.workers, problem.cpu_base);
    }
    static void TearDownTestSuite() { pan_adapter::shutdown(); }
    void TearDown() override { release_center_state(); }
};

// A, B (side n, row stride ld >= n) and a zero C, set in the Problem. Row
// kinds, base + scale·u for u in [0, 1): positive and negative within a
// factor of two of the mean, mixed signs, zero, subnormal (offset applies),
// spread beyond a factor of two.
struct Inputs : SquareInputs {
    Inputs(std::uint64_t side, std::uint64_t stride, unsigned seed, bool mixed_only = false)
        : SquareInputs(side, stride, rows(seed, mixed_only, 7, 1), rows(seed + 1000, mixed_only, 5, 2)) {}
    // Row i of kind (i * step + first) % 6.
    static Entry rows(unsigned seed, bool mixed_only, std::uint64_t step, std::uint64_t first) {
        return [rng = std::mt19937(seed), mixed_only, step, first](std::uint64_t i, std::uint64_t) mutable {
            static const float kinds[6][2] = {{3, 1}, {-5, -2}, {-0.5f, 1}, {0, 0}, {1e-39f, 1e-39f}, {0.1f, 10}};
            const float* k = kinds[mixed_only ? 2 : (i * step + first) % 6];
            return k[0] + k[1] * std::uniform_real_distribution<float>(0.0f, 1.0f)(rng);
        };
    }
};

// Sets the Problem's real side for one test and puts "all of n" back.
struct RealSide {
    explicit RealSide(std::uint64_t real) { problem.real_n = real; }
    ~RealSide() { problem.real_n = 0; }
};

}  // namespace

TEST_F(Center, OffsetRule) {
    center::prepare(4);
    const float tiny = std::numeric_limits<float>::denorm_min();
    const struct { std::vector<float> row; float offset; } cases[] = {
        {{1, 3, 2, 2}, 2},        {{0.9f, 3.1f, 2, 2}, 0},      // within / outside a factor of two
        {{4, 1, 1, 2}, 2},        {{5, 1, 1, 1}, 0},            // maximum exactly / above 2·mean
        {{-1, 1, 2, 2}, 0},       {{0, 0, 0, 0}, 0},            // mixed signs, zero row
        {{-3, -1, -2, -2}, -2},   {{-4, -1, -1, -2}, -2},       // negative rows: the mirror rule
        {{-5, -1, -1, -1}, 0},    {{-0.9f, -3.1f, -2, -2}, 0},
        {{tiny, tiny, tiny, tiny}, tiny},
    };
    for (const auto& c : cases) EXPECT_EQ(center::row_offset(c.row.data()), c.offset) << c.row[0];
}

TEST_F(Center, PrepareCallOrderAndBadViews) {
    EXPECT_EQ(message_of([] { center::prepare(0); }), "invalid centering dimension");
    EXPECT_EQ(message_of([] { center::prepare(std::uint64_t{1} << 31); }), "invalid centering dimension");
    EXPECT_THROW(center::alloc_buffer(std::uint64_t{1} << 62), std::overflow_error);


    Inputs in(40, 40, 5);
    EXPECT_EQ(message_of(center::transform), "center::prepare must precede transform");
    center::prepare(40);
    EXPECT_EQ(message_of(center::recover), "center::transform must precede recover");

    const struct { std::uint64_t lda; float* b; const char* error; } bad[] = {
        {39, in.b.data(), "invalid centering matrix view"},
        {std::uint64_t{1} << 31, in.b.data(), "invalid centering matrix view"},
        {40, nullptr, "invalid centering matrix view"},
        {40, reinterpret_cast<float*>(~std::uintptr_t{0} - 4096), "centering view address overflow"},
        {40, in.a.data() + 39 * 40 + 39, "in-place centering requires nonoverlapping A and B"},  // one shared entry
    };
    for (const auto& c : bad) {
        problem.lda = c.lda;
        problem.B = c.b;
        EXPECT_EQ(message_of(center::transform), c.error);
    }
    problem.lda = 40;
    problem.B = in.b.data();

    center::transform();
    EXPECT_EQ(message_of(center::transform), "restore in-place inputs before the next transform");
    for (float* c : {in.b.data() + 5, in.a.data()}) {
        problem.C = c;
        EXPECT_EQ(message_of(center::recover), "centering output must not alias an input");
    }
    EXPECT_TRUE(center::state.applied);
    release_center_state();  // releasing while centred gives the inputs back
    EXPECT_TRUE(in.intact());
}

// transform, an FP32 product of the centred operands, recover: C agrees with
// the FP64 product of the original inputs, and A and B come back bit for bit.
TEST_F(Center, RoundTripIsExactAndCorrectsTheProduct) {
    for (std::uint64_t n : {1u, 7u, 300u}) {
        Inputs in(n, n + 3, static_cast<unsigned>(n));
        const int s = static_cast<int>(n), ld = static_cast<int>(in.ld);
        std::vector<double> da(in.a.begin(), in.a.end()), db(in.b.begin(), in.b.end()), ref(n * n);
        cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, s, s, s, 1.0, da.data(), ld, db.data(), ld, 0.0,
                    ref.data(), s);
        center::prepare(n);
        // The rows that have an offset (the rule itself is tested above).
        std::uint64_t rows_a = 0, rows_b = 0;
        for (std::uint64_t i = 0; i < n; ++i) {
            rows_a += center::row_offset(&in.a[i * in.ld]) != 0.0f;
            rows_b += center::row_offset(&in.b[i * in.ld]) != 0.0f;
        }
        EXPECT_TRUE(rows_a > 0 && rows_b > 0);
        center::transform();
        EXPECT_TRUE(problem.A == in.a.data() && problem.B == in.b.data());  // centred in place
        EXPECT_EQ(center::published_rows_a, rows_a);
        EXPECT_EQ(center::published_rows_b, rows_b);
        EXPECT_FALSE(in.a_intact() || same_bits(in.b, in.b0));
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, s, s, s, 1.0f, problem.A, ld, problem.B, ld, 0.0f,
                    problem.C, ld);
        center::recover();
        EXPECT_TRUE(in.intact()) << n;
        double err = 0, norm = 0;
        for (std::uint64_t i = 0; i < n; ++i) {
            ASSERT_EQ(in.c[i * in.ld + n], 0.0f);  // padding between rows is never touched
            for (std::uint64_t j = 0; j < n; ++j) {
                const double r = ref[i * n + j], d = in.c[i * in.ld + j] - r;
                err += d * d;
                norm += r * r;
            }
        }
        EXPECT_LE(std::sqrt(err), 1e-6 * std::sqrt(norm) + 1e-30) << n;

        // A second round on the same state works the same way.
        center::transform();
        center::recover();
        EXPECT_TRUE(in.intact()) << n;
        release_center_state();
    }
}

TEST_F(Center, NonFiniteInputsAreRefusedUnchanged) {
    for (int k = 0; k < 4; ++k) {  // a NaN or a -inf, in A or in B
        Inputs in(50, 50, 11);
        (k % 2 ? in.b : in.a)[17 * 50 + 3] = k < 2 ? NAN : -INFINITY;
        in.a0 = in.a, in.b0 = in.b;
        center::prepare(50);
        EXPECT_EQ(message_of(center::transform), "centering requires finite original inputs");
        EXPECT_TRUE(in.intact() && !center::state.applied);
        EXPECT_EQ(message_of(center::recover), "center::transform must precede recover");
    }
}

TEST_F(Center, RestoreWithoutAPool) {
    // The error path still gives the inputs back when the pool is gone.
    Inputs in(30, 32, 9);
    center::prepare(30);
    center::transform();
    EXPECT_FALSE(in.a_intact());
    pan_adapter::shutdown();
    center::restore_if_applied();
    EXPECT_TRUE(in.intact() && !center::state.applied);
    pan_adapter::init_pool(problem.workers, problem.cpu_base);
}

// Real data in the leading rows and columns of a larger, zero-padded side:
// only the real extent decides and is centred, the padding stays zero, and C
// is corrected over the real extent alone.
TEST_F(Center, PaddedSideCentresTheRealExtentOnly) {
    const std::uint64_t n = 48, real = 40, ld = 50;
    Inputs in(n, ld, 21);
    for (std::uint64_t i = 0; i < n; ++i)
        for (std::uint64_t j = 0; j < n; ++j)
            if (i >= real || j >= real) in.a[i * ld + j] = in.b[i * ld + j] = 0.0f;
    in.a0 = in.a, in.b0 = in.b;
    const RealSide guard(real);

    center::prepare(n);
    center::prepare(real);  // the offsets of one real row, as transform decides them
    std::uint64_t rows_a = 0, rows_b = 0;
    for (std::uint64_t i = 0; i < real; ++i) {
        rows_a += center::row_offset(&in.a[i * ld]) != 0.0f;
        rows_b += center::row_offset(&in.b[i * ld]) != 0.0f;
    }
    ASSERT_TRUE(rows_a > 0 && rows_b > 0);
    center::prepare(n);
    center::transform();
    EXPECT_EQ(center::published_rows_a, rows_a);
    EXPECT_EQ(center::published_rows_b, rows_b);
    for (std::uint64_t i = 0; i < n; ++i)
        for (std::uint64_t j = 0; j < n; ++j)
            if (i >= real || j >= real) {
                ASSERT_EQ(in.a[i * ld + j], 0.0f) << i << ',' << j;
                ASSERT_EQ(in.b[i * ld + j], 0.0f) << i << ',' << j;
            }

    const int s = static_cast<int>(n), l = static_cast<int>(ld);
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, s, s, s, 1.0f, problem.A, l, problem.B, l, 0.0f,
                problem.C, l);
    center::recover();
    EXPECT_TRUE(in.intact());
    std::vector<double> da(in.a0.begin(), in.a0.end()), db(in.b0.begin(), in.b0.end()), ref(n * n);
    cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, s, s, s, 1.0, da.data(), l, db.data(), l, 0.0,
                ref.data(), s);
    double err = 0, norm = 0;
    for (std::uint64_t i = 0; i < n; ++i)
        for (std::uint64_t j = 0; j < n; ++j) {
            const float c = in.c[i * ld + j];
            if (i >= real || j >= real) {
                ASSERT_EQ(c, 0.0f) << i << ',' << j;  // the padding of C is left as the product made it
                continue;
            }
            const double r = ref[i * n + j];
            err += (c - r) * (c - r);
            norm += r * r;
        }
    EXPECT_LE(std::sqrt(err), 1e-6 * std::sqrt(norm));

    problem.real_n = n + 1;
    EXPECT_EQ(message_of(center::transform), "invalid centering dimension");
    EXPECT_TRUE(in.intact() && !center::state.applied);
}

namespace {

class CenterRoute : public ::testing::Test {
protected:
    static void SetUpTestSuite() { start_backends(test_workers(), test_cpu_base()); }
    static void TearDownTestSuite() { release_all(); }
    void TearDown() override { problem.leaf = 1024; }
};

// Offset data 1 + 0.1·normal in the leading `real` rows and columns of a
// zero-padded side n, multiplied by `method` through set-up and execution:
// the relative error of the real block against FP64. A and B must come back
// bit for bit, their padding zero.
double padded_error(const char* method, std::uint64_t real, std::uint64_t n, unsigned seed) {
    MethodInputs m(n);
    const RealSide guard(real);
    std::mt19937 rng(seed);
    std::normal_distribution<float> normal;
    for (auto* v : {&m.a, &m.b})
        for (std::uint64_t i = 0; i < real; ++i)
            for (std::uint64_t j = 0; j < real; ++j) (*v)[i * n + j] = 1.0f + 0.1f * normal(rng);
    const std::vector<float> a0 = m.a, b0 = m.b;
    const std::vector<double> ref = m.fp64_product();
    const std::vector<float>& c = m.run(method);
    EXPECT_TRUE(same_bits(m.a, a0) && same_bits(m.b, b0)) << method << ' ' << real;
    std::vector<float> got;
    std::vector<double> want;
    for (std::uint64_t i = 0; i < real; ++i)
        for (std::uint64_t j = 0; j < real; ++j) {
            got.push_back(c[i * n + j]);
            want.push_back(ref[i * n + j]);
        }
    return relative_error(got, want);
}

}  // namespace

// The safe route at a side that is not a multiple of two leaves (the data is
// padded to the next multiple) centres as it does at that multiple: the same
// error, well below the uncentred product's.
TEST_F(CenterRoute, PaddedSideGetsTheSameTreatment) {
    const std::uint64_t leaf = 32, real = 2 * leaf + 8, n = 4 * leaf;
    problem.leaf = leaf;
    for (unsigned seed : {1u, 2u}) {
        const double padded = padded_error("center_pan2", real, n, seed);
        EXPECT_EQ(center::published_rows_a, real);  // the real rows, every one of them offset
        EXPECT_EQ(center::published_rows_b, real);
        const double whole = padded_error("center_pan2", n, n, seed);
        const double plain = padded_error("pan2", real, n, seed);
        EXPECT_GT(plain, 1.5 * whole) << "the data must tell centred from uncentred";
        EXPECT_LE(padded, 1.5 * whole) << "uncentred: " << plain;
        EXPECT_GE(padded, whole / 1.5);
    }
}

// Offsets on one side only: rows of one operand within a factor of two of
// their means (both signs), the other operand's rows of mixed signs. C still
// needs its FP64 correction: from the row dots when only B's rows are offset,
// from the column sums when only A's are.
TEST_F(CenterRoute, OffsetsOfOneOperandAloneAreCorrected) {
    const std::uint64_t n = 128;
    problem.leaf = 32;
    for (const bool offsets_in_b : {true, false}) {
        MethodInputs m(n);
        std::mt19937 rng(offsets_in_b ? 41 : 42);
        std::uniform_real_distribution<float> u(0.0f, 1.0f);
        std::vector<float>& level = offsets_in_b ? m.b : m.a;
        std::vector<float>& mixed = offsets_in_b ? m.a : m.b;
        for (std::uint64_t i = 0; i < n; ++i)
            for (std::uint64_t j = 0; j < n; ++j) {
                const float mean = (i % 3 == 0 ? -1.0f : 1.0f) * static_cast<float>(1 + i % 4);
                level[i * n + j] = mean * (1.0f + 0.05f * u(rng));
                mixed[i * n + j] = (j % 2 ? 1.0f : -1.0f) * (0.5f + u(rng));
            }
        const std::vector<float> a0 = m.a, b0 = m.b;
        const std::vector<double> ref = m.fp64_product();
        const std::vector<float>& c = m.run("center_pan2");
        EXPECT_EQ(center::published_rows_a, offsets_in_b ? 0u : n);
        EXPECT_EQ(center::published_rows_b, offsets_in_b ? n : 0u);
        EXPECT_TRUE(same_bits(m.a, a0) && same_bits(m.b, b0));
        EXPECT_LT(relative_error(c, ref), 1e-5) << (offsets_in_b ? "rows of B offset" : "rows of A offset");
    }
}
