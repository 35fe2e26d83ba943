#include "multiply/accuracy/accuracy.h"

#include "common/testing/test_support.h"
#include "multiply/pan_adapter/pool.h"

#include <cblas.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

using accuracy::detail::SamplePoint;
using accuracy::detail::state;
using u64 = std::uint64_t;
using Cell = std::pair<u64, u64>;
using V = std::vector<double>;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
const char* const kBadPrepare = "accuracy::prepare: invalid input dimensions or pointers";
const char* const kBadAnalyze = "accuracy::analyze: prepare first and supply valid output views";

// Starts (or re-places) the Pan pool with w workers, OpenBLAS at one thread.
void use_pool(int w = test_workers()) {
    openblas_set_num_threads(1);
    if (pan_adapter::implementation::initialized && pan_adapter::workers() != w) pan_adapter::shutdown();
    pan_adapter::init_pool(w, test_cpu_base());
}

// Runs the independent model accuracy_oracle.py and returns what it printed.
std::string run_oracle(const std::string& args) {
    const std::string cmd =
        std::string(KORVANE_PYTHON) + " " KORVANE_SOURCE_DIR "/multiply/accuracy/accuracy_oracle.py " + args;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) throw std::runtime_error("popen failed");
    std::string out;
    char buf[4096];
    for (size_t got; (got = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, got);
    if (pclose(p) != 0) throw std::runtime_error("python failed: " + cmd);
    return out;
}

std::vector<Cell> cells_of(const std::vector<SamplePoint>& pts) {
    std::vector<Cell> out;
    for (const SamplePoint& p : pts) out.emplace_back(p.row, p.col);
    return out;
}

// Deterministic n x n values in about [-2, 2] with a few zeros.
std::vector<float> make_matrix(u64 n, u64 seed) {
    std::vector<float> m(n * n);
    u64 s = seed * 0x9E3779B97F4A7C15ull + 1;
    for (float& v : m) {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        v = static_cast<float>(static_cast<int>((s >> 40) % 4097) - 2048) / 1024.0f;
    }
    return m;
}

// Product in long double: float products are exact there and the sums carry
// eleven more bits than FP64, far beyond what the tests resolve.
std::vector<long double> exact_product(const std::vector<float>& a, const std::vector<float>& b, u64 n) {
    std::vector<long double> c(n * n, 0.0L);
    for (u64 i = 0; i < n; ++i)
        for (u64 k = 0; k < n; ++k)
            for (u64 j = 0; j < n; ++j) c[i * n + j] += static_cast<long double>(a[i * n + k]) * b[k * n + j];
    return c;
}

// Runs f with stdout captured and returns what it printed.
template <class F>
std::string captured(F&& f) {
    testing::internal::CaptureStdout();
    try {
        f();
    } catch (...) {
        testing::internal::GetCapturedStdout();
        throw;
    }
    return testing::internal::GetCapturedStdout();
}

void prepare(const std::vector<float>& a, const std::vector<float>& b, u64 n) {
    captured([&] { accuracy::prepare(a.data(), n, b.data(), n, n); });
}

AccuracyResult analyze(const float* out, u64 ld_out, const float* ref, u64 ld_ref) {
    AccuracyResult r;
    captured([&] { accuracy::analyze(&r, out, ld_out, ref, ld_ref, "t"); });
    return r;
}

bool is_released() {
    return !state.prepared && state.n == 0 && state.a == nullptr && state.row_index.capacity() == 0 &&
           state.points.capacity() == 0 && accuracy::workspace_bytes() == 8u * 384u;
}

class AccuracyTest : public testing::Test {
protected:
    void SetUp() override { use_pool(); }
    void TearDown() override { accuracy::release(); }
    // The pool's workers must be joined before static destruction.
    static void TearDownTestSuite() { pan_adapter::shutdown(); }
};

// --------------------------------------------------------- FP64 references

TEST_F(AccuracyTest, ReferencesMatchNumpyFloat64) {
    const u64 n = 300, lda = 307, ldb = 301;
    const std::string raw = run_oracle("fixture 300 12345");
    std::vector<double> fixture(4 * n * n + 2 * 1024);
    ASSERT_EQ(raw.size(), fixture.size() * sizeof(double));
    std::memcpy(fixture.data(), raw.data(), raw.size());
    const double *c64 = &fixture[2 * n * n], *abs64 = &fixture[3 * n * n], *pts64 = &fixture[4 * n * n];
    // Strided float32 copies of A and B, padding poisoned with NaN: only the n x n block may be read.
    std::vector<float> a(n * lda, kNaN), b(n * ldb, kNaN);
    for (u64 r = 0; r < n; ++r)
        for (u64 c = 0; c < n; ++c) {
            a[r * lda + c] = static_cast<float>(fixture[r * n + c]);
            b[r * ldb + c] = static_cast<float>(fixture[n * n + r * n + c]);
        }

    captured([&] { accuracy::prepare(a.data(), lda, b.data(), ldb, n); });
    ASSERT_EQ(Cell(state.row_index.size(), state.points.size()), Cell(64, 1024));
    const double u = std::ldexp(1.0, -53);
    u64 row_failures = 0, point_failures = 0;
    for (u64 i = 0; i < 64; ++i)
        for (u64 c = 0; c < n; ++c) {
            const u64 k = state.row_index[i] * n + c;
            row_failures += !(std::fabs(state.ref_rows[i * n + c] - c64[k]) <= 2.0 * n * u * abs64[k]);
        }
    // Compensated sums stay within about 2u of the absolute sum of the exactly rounded one.
    for (u64 i = 0; i < 1024; ++i) {
        const SamplePoint& p = state.points[i];
        const double exact = pts64[2 * i], exact_abs = pts64[2 * i + 1];
        point_failures += !(std::fabs(p.reference - exact) <= 2.5 * u * exact_abs + 1e-300);
        point_failures += !(std::fabs(p.abs_sum - exact_abs) <= n * u * exact_abs);
    }
    EXPECT_EQ(Cell(row_failures, point_failures), Cell(0, 0));

    // The 64 jobs give the same bits on any number of workers, and a repeated
    // prepare the same sample.
    const std::vector<double> rows_before = state.ref_rows;
    const std::vector<SamplePoint> pts_before = state.points;
    use_pool(std::max(1, std::min(3, test_workers() - 1)));  // another worker count
    captured([&] { accuracy::prepare(a.data(), lda, b.data(), ldb, n); });
    EXPECT_TRUE(rows_before == state.ref_rows);
    ASSERT_EQ(pts_before.size(), state.points.size());
    EXPECT_EQ(std::memcmp(pts_before.data(), state.points.data(), pts_before.size() * sizeof(SamplePoint)), 0);
}

// ------------------------------------------------------------ the sample

// Rows (stratum midpoints, then the fixed slots from n = 64 on) and points
// (special pairs, then the quadrant draws or every entry) for sides around
// every boundary, against the independent model; prepare samples the same.
TEST_F(AccuracyTest, SampleMatchesIndependentModel) {
    // Past 2048 only the sample is built (no matrix of that side): the special
    // indices 2047 and 2048 come in there.
    for (const u64 n : {1u, 2u, 3u, 20u, 32u, 33u, 63u, 64u, 65u, 100u, 513u, 1000u, 2048u, 2049u, 3000u}) {
        SCOPED_TRACE("n=" + std::to_string(n));
        std::istringstream model(run_oracle("sample " + std::to_string(n)));
        u64 rows = 0;
        model >> rows;
        std::vector<u64> want_rows(rows);
        for (u64& r : want_rows) model >> r;
        std::vector<Cell> want_points;
        for (u64 r, c; model >> r >> c;) want_points.emplace_back(r, c);
        ASSERT_EQ(rows, std::min<u64>(n, 64));
        ASSERT_EQ(want_points.size(), std::min<u64>(n * n, 1024));

        accuracy::detail::build_workspace(n);
        EXPECT_EQ(state.row_index, want_rows);
        EXPECT_EQ(cells_of(state.points), want_points);
        accuracy::release();
        if (n > 100) continue;
        const std::vector<float> m = make_matrix(n, 5);
        prepare(m, m, n);
        EXPECT_EQ(state.row_index, want_rows);
        EXPECT_EQ(cells_of(state.points), want_points);
    }

    // Worked values, independent of any model.
    accuracy::detail::build_workspace(20);
    const std::vector<Cell> cells20 = cells_of(state.points);
    EXPECT_EQ(std::vector<Cell>(cells20.begin(), cells20.begin() + 8),
              (std::vector<Cell>{{0, 0}, {0, 19}, {0, 10}, {0, 5}, {0, 15}, {0, 1}, {0, 18}, {0, 9}}));
    accuracy::detail::build_workspace(1000);
    const std::vector<u64>& r = state.row_index;
    EXPECT_EQ(std::vector<u64>(r.begin(), r.begin() + 5), (std::vector<u64>{0, 23, 38, 54, 70}));
    EXPECT_EQ((std::vector<u64>{r[16], r[31], r[32], r[48], r[63]}), (std::vector<u64>{250, 499, 500, 750, 999}));
    const u64 special[] = {0, 999, 500, 250, 750, 1, 998, 499, 511, 512};
    for (u64 i = 0; i < 100; ++i)
        EXPECT_EQ(Cell(state.points[i].row, state.points[i].col), Cell(special[i / 10], special[i % 10])) << i;
    const std::vector<Cell> cells1000 = cells_of(state.points);
    const std::set<Cell> drawn(cells1000.begin() + 100, cells1000.end());
    EXPECT_EQ(drawn.size(), 924u);
    const Cell first{state.points[100].row, state.points[100].col};  // quadrant 0: rows and columns below 500
    EXPECT_TRUE(first.first < 500 && first.second < 500) << first.first << "," << first.second;
}

// The sampled-row and point measures of an output with row- and column-
// dependent errors, at sides with every row sampled (an even count), 37 rows
// (odd) and the 64 rows of a larger side, against the model's exactly summed
// references: they agree to far below the errors measured.
TEST_F(AccuracyTest, SampledMeasuresMatchIndependentModel) {
    for (const u64 n : {20u, 37u, 100u}) {
        SCOPED_TRACE("n=" + std::to_string(n));
        const std::string raw = run_oracle("measures " + std::to_string(n) + " " + std::to_string(n + 7));
        std::vector<double> data(3 * n * n + 7);
        ASSERT_EQ(raw.size(), data.size() * sizeof(double));
        std::memcpy(data.data(), raw.data(), raw.size());
        std::vector<float> a(n * n), b(n * n), c(n * n);
        for (u64 i = 0; i < n * n; ++i) {
            a[i] = static_cast<float>(data[i]);
            b[i] = static_cast<float>(data[n * n + i]);
            c[i] = static_cast<float>(data[2 * n * n + i]);
        }
        const double* want = &data[3 * n * n];
        prepare(a, b, n);
        const AccuracyResult res = analyze(c.data(), n, c.data(), n);
        const double got[] = {res.fp64_rows_rel, res.fp64_row_p50, res.fp64_row_p99, res.fp64_row_max,
                              res.points_rel,    res.points_maxabs, res.point_scaled_max};
        const char* const names[] = {"rows_rel", "row_p50", "row_p99", "row_max", "points_rel", "points_maxabs",
                                     "point_scaled_max"};
        for (int i = 0; i < 7; ++i) {
            EXPECT_GT(want[i], 0.0) << names[i];
            EXPECT_NEAR(got[i], want[i], 1e-9 * want[i]) << names[i];
        }
        EXPECT_EQ(Cell(res.fp64_rows, res.points), Cell(std::min<u64>(n, 64), std::min<u64>(n * n, 1024)));
    }
}

// ------------------------------------------------------ sizes and limits

TEST_F(AccuracyTest, MemoryEstimateBoundary) {
    EXPECT_TRUE(accuracy::detail::estimate_fits(507147));
    EXPECT_FALSE(accuracy::detail::estimate_fits(507148));

    // The limit is enforced before any input is read: a tiny buffer is enough.
    std::vector<float> tiny(16, 1.0f);
    const float* p = tiny.data();
    EXPECT_EQ(message_of<std::length_error>([&] { accuracy::prepare(p, 507148, p, 507148, 507148); }),
              "accuracy::prepare: reference workspace would exceed the accuracy memory limit "
              "(ACCURACY_MEMORY_LIMIT_MIB)");
    EXPECT_TRUE(is_released());
}

TEST_F(AccuracyTest, PrepareRejectsBadInputsAndStaysReleased) {
    std::vector<float> m = make_matrix(8, 3);
    const float* p = m.data();
    const u64 huge = std::numeric_limits<u64>::max() / 4, big = 1ull << 31;
    struct Case { const float* a; u64 lda; const float* b; u64 ldb, n; } cases[] = {
        {nullptr, 8, p, 8, 8}, {p, 8, nullptr, 8, 8}, {p, 8, p, 8, 0},    {p, 7, p, 8, 8},
        {p, 8, p, 7, 8},       {p, huge, p, 8, 8},    {p, 8, p, huge, 8}, {p, big, p, big, big}};
    for (const Case& c : cases) {
        prepare(m, m, 8);  // a valid state first, which the failure must drop
        ASSERT_TRUE(state.prepared);
        EXPECT_EQ(message_of<std::invalid_argument>([&] { accuracy::prepare(c.a, c.lda, c.b, c.ldb, c.n); }),
                  kBadPrepare);
        EXPECT_TRUE(is_released());
    }
}

TEST_F(AccuracyTest, PrepareWithoutPoolFailsAndStaysReleased) {
    std::vector<float> m = make_matrix(40, 3);
    pan_adapter::shutdown();
    EXPECT_EQ(message_of<std::logic_error>([&] { accuracy::prepare(m.data(), 40, m.data(), 40, 40); }),
              "Call pan_adapter::init_pool before run_jobs");
    // No half-computed references may be analysed afterwards.
    EXPECT_TRUE(is_released());
    use_pool();
    AccuracyResult r;
    EXPECT_EQ(message_of<std::invalid_argument>([&] { accuracy::analyze(&r, m.data(), 40, m.data(), 40, "x"); }),
              kBadAnalyze);
}

// ------------------------------------------------------------- analysis

TEST_F(AccuracyTest, PercentilesAndRelativeError) {
    // p50 is the median (mean of the middle two for even counts); p99 the
    // value of 1-based rank floor(0.99 (c + 1)), so the maximum below 100 values.
    std::vector<double> s(200);
    for (int i = 0; i < 200; ++i) s[i] = i;
    double p50, p99, mx;
    const double cases[][4] = {{1, 0, 0, 0}, {4, 1.5, 3, 3}, {99, 49, 98, 98}, {100, 49.5, 98, 99}, {200, 99.5, 197, 199}};
    for (const auto& c : cases) {
        accuracy::detail::percentiles(s.data(), static_cast<u64>(c[0]), p50, p99, mx);
        EXPECT_EQ(V({p50, p99, mx}), V({c[1], c[2], c[3]})) << c[0];
    }
    accuracy::detail::percentiles(nullptr, 0, p50, p99, mx);
    EXPECT_EQ(V({p50, p99, mx}), V(3, kInf));

    const double rel[][3] = {{4, 1, 2},        {0, 0, 0},        {1e-300, 0, kInf},
                             {kInf, 1, kInf}, {1, kInf, kInf}, {std::nan(""), 1, kInf}};
    for (const auto& c : rel) EXPECT_EQ(accuracy::detail::relative_error(c[0], c[1]), c[2]) << c[0] << " " << c[1];

    // End to end at n = 1, with 3 * -2 reported as -6.5: the one row's error is every percentile.
    const std::vector<float> a = {3.0f}, b = {-2.0f};
    prepare(a, b, 1);
    const float one = -6.5f;
    AccuracyResult res = analyze(&one, 1, &one, 1);
    EXPECT_EQ(res.fp64_rows + res.points, 2u);
    EXPECT_DOUBLE_EQ(res.fp64_rows_rel, 0.5 / 6.0);
    EXPECT_DOUBLE_EQ(res.points_rel, 0.5 / 6.0);
    EXPECT_EQ(V({res.fp64_row_p50, res.fp64_row_p99, res.fp64_row_max}), V(3, res.fp64_rows_rel));
    EXPECT_EQ(V({res.points_maxabs, res.point_scaled_max}), V({0.5, 0.5 / 6.0}));
}

TEST_F(AccuracyTest, AnalyzeRejectsBadCallsWithMessage) {
    std::vector<float> m = make_matrix(8, 3);
    const float* p = m.data();
    const u64 huge = std::numeric_limits<u64>::max() / 4;
    AccuracyResult r;
    r.n = 77;
    auto refused = [&](AccuracyResult* res, const float* out, u64 ld_out, const float* ref, u64 ld_ref) {
        EXPECT_EQ(message_of<std::invalid_argument>([&] { accuracy::analyze(res, out, ld_out, ref, ld_ref, "x"); }),
                  kBadAnalyze);
    };
    refused(&r, p, 8, p, 8);  // before prepare
    EXPECT_EQ(r.n, 77u);
    prepare(m, m, 8);
    // A null result record is refused rather than written through.
    const struct { AccuracyResult* res; const float* out; u64 ld_out; const float* ref; u64 ld_ref; } bad[] = {
        {&r, nullptr, 8, p, 8}, {&r, p, 8, nullptr, 8}, {&r, p, 7, p, 8},  {&r, p, 8, p, 7},
        {&r, p, huge, p, 8},    {&r, p, 8, p, huge},    {nullptr, p, 8, p, 8}};
    for (const auto& b : bad) refused(b.res, b.out, b.ld_out, b.ref, b.ld_ref);
    accuracy::release();
    refused(&r, p, 8, p, 8);
}

// A float32 result of A·B (the exactly rounded product) in a strided buffer
// whose padding holds NaN, against the long double model of every measure.
TEST_F(AccuracyTest, AnalyzeRoundedProductAgainstModel) {
    const u64 n = 100, ld = 103;
    std::vector<float> a = make_matrix(n, 11), b = make_matrix(n, 12);
    std::vector<long double> exact = exact_product(a, b, n);
    std::vector<float> c(n * ld, kNaN), r(n * n);
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j < n; ++j) {
            c[i * ld + j] = static_cast<float>(exact[i * n + j]);
            // A second view that differs in two rows of three, to give the full scan work.
            r[i * n + j] = c[i * ld + j] + ((i % 3 != 0) ? 0.001f * static_cast<float>((i + j) % 5) : 0.0f);
        }
    prepare(a, b, n);
    AccuracyResult res;
    captured([&] { accuracy::analyze(&res, c.data(), ld, r.data(), n, "model"); });
    EXPECT_EQ(Cell(res.computed, res.n), Cell(1, n));
    EXPECT_EQ(res.nonfinite + res.ref_nonfinite + res.fp64_ref_nonfinite, 0u);

    // Full scan model.
    long double d2 = 0, r2 = 0, o2 = 0, mx = 0;
    std::vector<double> row_err(n);
    for (u64 i = 0; i < n; ++i) {
        long double dd = 0, rr = 0;
        for (u64 j = 0; j < n; ++j) {
            long double o = c[i * ld + j], f = r[i * n + j];
            dd += (o - f) * (o - f);
            rr += f * f;
            o2 += o * o;
            mx = std::max(mx, std::fabs(o - f));
        }
        d2 += dd;
        r2 += rr;
        row_err[i] = static_cast<double>(std::sqrt(dd / rr));
    }
    std::sort(row_err.begin(), row_err.end());
    auto near = [](double got, long double want, double tol) { EXPECT_NEAR(got, (double)want, tol * (double)want); };
    near(res.output_norm, std::sqrt(o2), 1e-12);
    near(res.reference_norm, std::sqrt(r2), 1e-12);
    near(res.full_rel, std::sqrt(d2 / r2), 1e-10);
    EXPECT_EQ(res.full_maxabs, (double)mx);
    near(res.row_p50, (row_err[49] + row_err[50]) / 2, 1e-10);
    near(res.row_p99, row_err[98], 1e-10);
    near(res.row_max, row_err[99], 1e-10);

    // The FP64 measures (modelled at n = 1 above): the output only carries float32 rounding.
    EXPECT_GT(res.fp64_rows_rel, 0.0);
    EXPECT_LE(res.fp64_row_max, std::ldexp(1.0, -24));
    EXPECT_TRUE(res.point_scaled_max > 0 && res.point_scaled_max <= std::ldexp(1.0, -24) * 1.000001);

    // Self comparison with a null label.
    const std::string printed = captured([&] { accuracy::analyze(&res, c.data(), ld, c.data(), ld, nullptr); });
    EXPECT_EQ(V({res.full_rel, res.full_maxabs, res.row_max, res.output_norm - res.reference_norm}), V(4, 0.0));
    EXPECT_EQ(printed.rfind("ACCURACY_FULL label=unnamed n=100 nonfinite=0 ref_nonfinite=0 rel=0 maxabs=0 ", 0), 0u);
    EXPECT_NE(printed.find("\nACCURACY_FP64 label=unnamed computed=1 rows=64 points=1024 "), std::string::npos);
}

TEST_F(AccuracyTest, AnalyzeNonFiniteAndZeroRows) {
    // Row 0 of A is zero, so row 0 of the product is zero and its points have abs_sum 0.
    const u64 n = 100;
    std::vector<float> a = make_matrix(n, 21), b = make_matrix(n, 22);
    std::fill_n(a.begin(), n, 0.0f);
    const std::vector<long double> exact = exact_product(a, b, n);
    const std::vector<float> clean(exact.begin(), exact.end());
    prepare(a, b, n);
    ASSERT_EQ(Cell(state.points[0].row, state.points[0].col), Cell(0, 0));
    ASSERT_EQ(state.points[0].abs_sum, 0.0);

    // All-zero reference row and output row: error 0; exact zero points add 0.
    AccuracyResult res = analyze(clean.data(), n, clean.data(), n);
    EXPECT_EQ(res.row_max, 0.0);
    EXPECT_LT(res.fp64_row_max, 1e-6);
    EXPECT_LE(res.point_scaled_max, std::ldexp(1.0, -24) * 1.000001);
    // Any non-zero output against a zero reference row: +inf for that row
    // (sampled, all-zero FP64 reference) and for point (0, 1) with abs_sum 0;
    // together with the other rows the measures stay finite.
    std::vector<float> c = clean;
    c[1] = 1e-30f;
    res = analyze(c.data(), n, clean.data(), n);
    EXPECT_EQ(V({res.row_max, res.fp64_row_max, res.point_scaled_max}), V(3, kInf));
    EXPECT_EQ(res.row_p50, 0.0);
    EXPECT_EQ(res.full_maxabs, static_cast<double>(1e-30f));
    EXPECT_LT(res.full_rel, 1e-20);
    EXPECT_LT(std::max(res.fp64_rows_rel, res.points_rel), 1e-6);

    // One NaN with R = C: outside every sample, in a sampled row at no point, and at a sampled point.
    const std::set<u64> rows(state.row_index.begin(), state.row_index.end());
    const std::vector<Cell> cells = cells_of(state.points);
    const std::set<Cell> points(cells.begin(), cells.end());
    Cell unsampled{n, n}, row_only{n, n};
    for (u64 i = 1; i < n; ++i)
        for (u64 j = 0; j < n; ++j) {
            Cell& slot = rows.count(i) ? row_only : unsampled;
            if (!points.count({i, j}) && slot.first == n) slot = {i, j};
        }
    ASSERT_LT(std::max(unsampled.first, row_only.first), n);
    const Cell point = cells[500];
    struct { Cell at; bool rows_inf, points_inf; } cases[] = {
        {unsampled, false, false}, {row_only, true, false}, {point, rows.count(point.first) > 0, true}};
    for (const auto& e : cases) {
        SCOPED_TRACE("NaN at " + std::to_string(e.at.first) + "," + std::to_string(e.at.second));
        c = clean;
        c[e.at.first * n + e.at.second] = kNaN;
        res = analyze(c.data(), n, c.data(), n);
        EXPECT_EQ(Cell(res.nonfinite, res.ref_nonfinite), Cell(1, 1));
        EXPECT_EQ(res.fp64_ref_nonfinite, 0u);
        EXPECT_EQ(V({res.output_norm, res.reference_norm, res.full_rel, res.full_maxabs, res.row_max}), V(5, kInf));
        EXPECT_EQ(V({res.row_p50, res.row_p99}), V(2, 0.0));  // only one row of 100 is infinite
        EXPECT_EQ(std::isinf(res.fp64_row_max), e.rows_inf);
        EXPECT_EQ(std::isinf(res.points_maxabs) + std::isinf(res.point_scaled_max), 2 * e.points_inf);
        EXPECT_TRUE(e.rows_inf ? std::isinf(res.fp64_rows_rel) : res.fp64_rows_rel < 1e-6);
        EXPECT_TRUE(e.points_inf ? std::isinf(res.points_rel) : res.points_rel < 1e-6);
    }

    // An infinite input gives non-finite FP64 references, counted as such.
    a[state.row_index[3] * n + 7] = std::numeric_limits<float>::infinity();
    prepare(a, b, n);
    res = analyze(clean.data(), n, clean.data(), n);
    EXPECT_EQ(res.nonfinite, 0u);
    EXPECT_GE(res.fp64_ref_nonfinite, 1u);
    EXPECT_EQ(res.fp64_rows_rel, kInf);
}

}  // namespace
