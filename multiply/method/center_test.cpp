// Centering transform on the real pool: the offset rule, exact round trips,
// the FP64 correction of C against an FP64 product, and the call order.
#include <gtest/gtest.h>

#include <cblas.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "multiply/method/center.h"
#include "multiply/method/problem.h"
#include "multiply/pan_adapter/pool.h"

namespace {

template <class F>
std::string message_of(F f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no exception)";
}

bool same_bits(const std::vector<float>& x, const std::vector<float>& y) {
    return x.size() == y.size() && std::memcmp(x.data(), y.data(), x.size() * sizeof(float)) == 0;
}

class Center : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        openblas_set_num_threads(1);
        long p = sysconf(_SC_NPROCESSORS_ONLN);
        problem.workers = static_cast<int>(std::min<long>(8, p > 0 ? p : 1));
        pan_adapter::init_pool(problem.workers, 0);
    }
    static void TearDownTestSuite() {
        release_center_state();
        pan_adapter::shutdown();
    }
    void TearDown() override { release_center_state(); }
};

// Row kinds that exercise every branch of the offset rule.
enum class Kind { Positive, Negative, Mixed, Zero, Subnormal, Wide };

void fill_row(float* row, std::uint64_t n, Kind kind, std::mt19937& rng) {
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    for (std::uint64_t j = 0; j < n; ++j) {
        const float x = u(rng);
        switch (kind) {
            case Kind::Positive: row[j] = 3.0f + x; break;    // within a factor of two of the mean
            case Kind::Negative: row[j] = -5.0f - 2 * x; break;
            case Kind::Mixed: row[j] = x - 0.5f; break;       // both signs: offset 0
            case Kind::Zero: row[j] = 0.0f; break;
            case Kind::Subnormal: row[j] = (1.0f + x) * 1e-39f; break;  // subnormal, offset applies
            case Kind::Wide: row[j] = 0.1f + 10 * x; break;  // spread beyond a factor of two
        }
    }
}

// A, B (side n, row stride ld >= n) with rows of every kind, C separate.
struct Inputs {
    std::uint64_t n, ld;
    std::vector<float> a, b, c;
    Inputs(std::uint64_t side, std::uint64_t stride, unsigned seed) : n(side), ld(stride), a(side * stride, 9.0f), b(side * stride, 9.0f), c(side * stride, 0.0f) {
        std::mt19937 rng(seed);
        const Kind kinds[] = {Kind::Positive, Kind::Negative, Kind::Mixed, Kind::Zero, Kind::Subnormal, Kind::Wide};
        for (std::uint64_t i = 0; i < n; ++i) {
            fill_row(&a[i * ld], n, kinds[(i * 7 + 1) % 6], rng);
            fill_row(&b[i * ld], n, kinds[(i * 5 + 2) % 6], rng);
        }
        point();
    }
    void point() {
        problem.A = a.data();
        problem.lda = ld;
        problem.B = b.data();
        problem.ldb = ld;
        problem.C = c.data();
        problem.ldc = ld;
        problem.n = n;
    }
    // FP64 product of the given float operands.
    std::vector<double> product64(const std::vector<float>& x, const std::vector<float>& y) const {
        std::vector<double> dx(n * n), dy(n * n), r(n * n);
        for (std::uint64_t i = 0; i < n; ++i)
            for (std::uint64_t j = 0; j < n; ++j) {
                dx[i * n + j] = x[i * ld + j];
                dy[i * n + j] = y[i * ld + j];
            }
        const int s = static_cast<int>(n);
        cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, s, s, s, 1.0, dx.data(), s, dy.data(), s, 0.0,
                    r.data(), s);
        return r;
    }
};

}  // namespace

TEST_F(Center, OffsetRule) {
    center::prepare(4);
    auto offset = [](std::vector<float> row) { return center::row_offset(row.data()); };
    EXPECT_EQ(offset({1, 3, 2, 2}), 2.0f);        // entries in [1, 3], mean 2
    EXPECT_EQ(offset({0.9f, 3.1f, 2, 2}), 0.0f);  // 0.9 < 1: outside the factor of two
    EXPECT_EQ(offset({4, 1, 1, 2}), 2.0f);        // maximum exactly 2·mean
    EXPECT_EQ(offset({5, 1, 1, 1}), 0.0f);        // maximum above 2·mean
    EXPECT_EQ(offset({-1, 1, 2, 2}), 0.0f);       // mixed signs
    EXPECT_EQ(offset({0, 0, 0, 0}), 0.0f);
    EXPECT_EQ(offset({-3, -1, -2, -2}), -2.0f);   // negative row, mirror rule
    EXPECT_EQ(offset({-4, -1, -1, -2}), -2.0f);
    EXPECT_EQ(offset({-5, -1, -1, -1}), 0.0f);
    EXPECT_EQ(offset({-0.9f, -3.1f, -2, -2}), 0.0f);  // maximum above mean/2
    const float tiny = std::numeric_limits<float>::denorm_min();
    EXPECT_EQ(offset({tiny, tiny, tiny, tiny}), tiny);
    EXPECT_FALSE(center::state.non_finite.load());
    EXPECT_EQ(offset({1, std::numeric_limits<float>::quiet_NaN(), 1, 1}), 0.0f);
    EXPECT_TRUE(center::state.non_finite.load());
    center::state.non_finite = false;
    EXPECT_EQ(offset({1, std::numeric_limits<float>::infinity(), 1, 1}), 0.0f);
    EXPECT_TRUE(center::state.non_finite.load());
}

TEST_F(Center, PrepareSizesAndReuse) {
    EXPECT_EQ(message_of([] { center::prepare(0); }), "invalid centering dimension");
    EXPECT_EQ(message_of([] { center::prepare(std::uint64_t{1} << 31); }), "invalid centering dimension");
    EXPECT_THROW(center::alloc_buffer(std::uint64_t{1} << 62), std::overflow_error);

    center::prepare(300);
    EXPECT_EQ(center::state.jobs, 256);
    EXPECT_EQ(center::state.bytes, 4u * 2432u);  // 300 doubles rounded up to 64 bytes, four times
    double* kept = center::state.offsets_a;
    center::prepare(300);  // same side: nothing changes
    EXPECT_EQ(center::state.offsets_a, kept);
    center::prepare(100);
    EXPECT_EQ(center::state.jobs, 100);
    EXPECT_EQ(center::state.bytes, 4u * 832u);
    for (std::uint64_t i = 0; i < 100; ++i) ASSERT_EQ(center::state.column_sums[i], 0.0);
    release_center_state();
    EXPECT_EQ(center::state.side, 0u);
    EXPECT_EQ(center::state.bytes, 0u);
    EXPECT_EQ(center::state.offsets_a, nullptr);
}

// transform, an FP32 product of the centred operands, recover: C agrees with
// the FP64 product of the original inputs, and A and B come back bit for bit.
TEST_F(Center, RoundTripIsExactAndCorrectsTheProduct) {
    for (std::uint64_t n : {1u, 7u, 100u, 300u}) {
        Inputs in(n, n + 3, static_cast<unsigned>(n));
        const std::vector<float> a0 = in.a, b0 = in.b;
        const std::vector<double> ref = in.product64(a0, b0);
        center::prepare(n);
        center::transform();
        // The problem now names the centred operands (same storage).
        EXPECT_EQ(problem.A, in.a.data());
        EXPECT_EQ(problem.B, in.b.data());
        EXPECT_EQ(center::published_rows_a, center::state.rows_a.load());
        if (n >= 100) {
            EXPECT_FALSE(same_bits(in.a, a0));
            EXPECT_GT(center::published_rows_a, 0u);
            EXPECT_GT(center::published_rows_b, 0u);
        }
        const int s = static_cast<int>(n), ld = static_cast<int>(in.ld);
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, s, s, s, 1.0f, problem.A, ld, problem.B, ld, 0.0f,
                    problem.C, ld);
        center::recover();
        EXPECT_TRUE(same_bits(in.a, a0)) << n;
        EXPECT_TRUE(same_bits(in.b, b0)) << n;
        double err = 0, norm = 0;
        for (std::uint64_t i = 0; i < n; ++i)
            for (std::uint64_t j = 0; j < n; ++j) {
                const double d = in.c[i * in.ld + j] - ref[i * n + j];
                err += d * d;
                norm += ref[i * n + j] * ref[i * n + j];
            }
        EXPECT_LE(std::sqrt(err), 1e-6 * std::sqrt(norm) + 1e-30) << n;
        // Padding between rows is never touched.
        for (std::uint64_t i = 0; i < n; ++i) ASSERT_EQ(in.c[i * in.ld + n], 0.0f);

        // A second round on the same state works the same way.
        std::fill(in.c.begin(), in.c.end(), 0.0f);
        center::transform();
        center::recover();
        EXPECT_TRUE(same_bits(in.a, a0));
        release_center_state();
    }
}

TEST_F(Center, UncentredInputsPassThrough) {
    // Only rows with both signs: no offset, so nothing is touched and C stays the plain product.
    const std::uint64_t n = 64;
    std::vector<float> a(n * n), b(n * n), c(n * n), ref(n * n);
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-1, 1);
    for (auto& x : a) x = u(rng);
    for (auto& x : b) x = u(rng);
    problem.A = a.data();
    problem.B = b.data();
    problem.C = c.data();
    problem.lda = problem.ldb = problem.ldc = n;
    const int s = static_cast<int>(n);
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, s, s, s, 1.0f, a.data(), s, b.data(), s, 0.0f,
                ref.data(), s);
    center::prepare(n);
    center::transform();
    EXPECT_EQ(center::published_rows_a, 0u);
    EXPECT_EQ(center::published_rows_b, 0u);
    c = ref;
    center::recover();
    EXPECT_TRUE(same_bits(c, ref));
    for (std::uint64_t i = 0; i < n; ++i) {
        EXPECT_EQ(center::state.row_dots[i], 0.0);
        EXPECT_EQ(center::state.column_sums[i], 0.0);
    }
}

TEST_F(Center, NonFiniteInputsAreRefusedUnchanged) {
    for (float bad : {std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::infinity()}) {
        for (int which = 0; which < 2; ++which) {
            Inputs in(50, 50, 11);
            (which == 0 ? in.a : in.b)[17 * 50 + 3] = bad;
            const std::vector<float> a0 = in.a, b0 = in.b;
            center::prepare(50);
            EXPECT_EQ(message_of([] { center::transform(); }), "centering requires finite original inputs");
            EXPECT_TRUE(same_bits(in.a, a0));
            EXPECT_TRUE(same_bits(in.b, b0));
            EXPECT_FALSE(center::state.applied);
            EXPECT_EQ(message_of([] { center::recover(); }), "center::transform must precede recover");
        }
    }
}

TEST_F(Center, CallsOutOfOrderAndBadViews) {
    Inputs in(40, 40, 5);
    const std::vector<float> a0 = in.a, b0 = in.b;
    EXPECT_EQ(message_of([] { center::transform(); }), "center::prepare must precede transform");
    center::prepare(40);
    EXPECT_EQ(message_of([] { center::recover(); }), "center::transform must precede recover");

    problem.lda = 39;
    EXPECT_EQ(message_of([] { center::transform(); }), "invalid centering matrix view");
    problem.lda = std::uint64_t{1} << 31;
    EXPECT_EQ(message_of([] { center::transform(); }), "invalid centering matrix view");
    problem.lda = 40;
    problem.B = nullptr;
    EXPECT_EQ(message_of([] { center::transform(); }), "invalid centering matrix view");
    problem.B = reinterpret_cast<float*>(~std::uintptr_t{0} - 4096);
    EXPECT_EQ(message_of([] { center::transform(); }), "centering view address overflow");
    problem.B = in.a.data() + 39 * 40 + 39;  // last element of A is the first of B
    EXPECT_EQ(message_of([] { center::transform(); }), "in-place centering requires nonoverlapping A and B");
    in.point();

    center::transform();
    EXPECT_EQ(message_of([] { center::transform(); }), "restore in-place inputs before the next transform");
    problem.C = in.b.data() + 5;
    EXPECT_EQ(message_of([] { center::recover(); }), "centering output must not alias an input");
    problem.C = in.a.data();
    EXPECT_EQ(message_of([] { center::recover(); }), "centering output must not alias an input");
    EXPECT_TRUE(center::state.applied);

    // Releasing while centred gives the inputs back.
    release_center_state();
    EXPECT_TRUE(same_bits(in.a, a0));
    EXPECT_TRUE(same_bits(in.b, b0));
    EXPECT_EQ(center::state.side, 0u);
}

TEST_F(Center, RestoreWithoutAPool) {
    // The error path still gives the inputs back when the pool is gone.
    Inputs in(30, 32, 9);
    const std::vector<float> a0 = in.a, b0 = in.b;
    center::prepare(30);
    center::transform();
    EXPECT_FALSE(same_bits(in.a, a0));
    pan_adapter::shutdown();
    center::restore_if_applied();
    EXPECT_TRUE(same_bits(in.a, a0));
    EXPECT_TRUE(same_bits(in.b, b0));
    EXPECT_FALSE(center::state.applied);
    pan_adapter::init_pool(problem.workers, 0);
}
