#include "multiply/accuracy/accuracy.h"

#include "multiply/pan_adapter/pool.h"

#include <cblas.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <limits>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

using accuracy::detail::SamplePoint;
using accuracy::detail::state;
using u64 = std::uint64_t;

constexpr double kInf = std::numeric_limits<double>::infinity();
const std::string kOracle = std::string(KORVANE_SOURCE_DIR) + "/multiply/accuracy/accuracy_oracle.py";

int max_workers() {
    long p = sysconf(_SC_NPROCESSORS_ONLN);
    return static_cast<int>(std::min<long>(8, p > 0 ? p : 1));
}

// Starts (or re-places) the Pan pool with w workers, OpenBLAS at one thread.
void use_pool(int w) {
    openblas_set_num_threads(1);
    if (pan_adapter::implementation::initialized && pan_adapter::workers() != w) pan_adapter::shutdown();
    pan_adapter::init_pool(w, 0);
}

std::string run_python(const std::string& args) {
    std::string cmd = std::string(KORVANE_PYTHON) + " " + kOracle + " " + args;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) throw std::runtime_error("popen failed");
    std::string out;
    char buf[4096];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, got);
    int rc = pclose(p);
    if (rc != 0) throw std::runtime_error("python failed: " + cmd);
    return out;
}

struct Sample {
    std::vector<u64> rows;
    std::vector<std::pair<u64, u64>> points;
};

Sample python_sample(u64 n) {
    std::istringstream in(run_python("sample " + std::to_string(n)));
    Sample s;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string tag;
        ls >> tag;
        if (tag == "R") {
            u64 v;
            while (ls >> v) s.rows.push_back(v);
        } else if (tag == "P") {
            u64 r, c;
            ls >> r >> c;
            s.points.emplace_back(r, c);
        }
    }
    return s;
}

std::vector<std::pair<u64, u64>> pairs_of(const std::vector<SamplePoint>& pts) {
    std::vector<std::pair<u64, u64>> out;
    for (const SamplePoint& p : pts) out.emplace_back(p.row, p.col);
    return out;
}

// Deterministic values in about [-2, 2] with a few zeros, stored with stride ld.
std::vector<float> make_matrix(u64 n, u64 ld, u64 seed) {
    std::vector<float> m(n * ld, std::numeric_limits<float>::quiet_NaN());  // padding never read
    u64 s = seed * 0x9E3779B97F4A7C15ull + 1;
    for (u64 r = 0; r < n; ++r)
        for (u64 c = 0; c < n; ++c) {
            s = s * 6364136223846793005ull + 1442695040888963407ull;
            m[r * ld + c] = static_cast<float>(static_cast<int>((s >> 40) % 4097) - 2048) / 1024.0f;
        }
    return m;
}

// Product in long double: float products are exact there and the sums carry
// eleven more bits than FP64, far beyond what the tests resolve.
std::vector<long double> exact_product(const std::vector<float>& a, u64 lda, const std::vector<float>& b,
                                       u64 ldb, u64 n) {
    std::vector<long double> c(n * n, 0.0L);
    for (u64 i = 0; i < n; ++i)
        for (u64 k = 0; k < n; ++k) {
            long double x = a[i * lda + k];
            for (u64 j = 0; j < n; ++j) c[i * n + j] += x * static_cast<long double>(b[k * ldb + j]);
        }
    return c;
}

template <class E>
void expect_message(const std::function<void()>& f, const std::string& text) {
    try {
        f();
        ADD_FAILURE() << "no exception, expected: " << text;
    } catch (const E& e) {
        EXPECT_EQ(std::string(e.what()), text);
    } catch (const std::exception& e) {
        ADD_FAILURE() << "wrong exception type: " << e.what();
    }
}

const char* const kBadPrepare = "accuracy::prepare: invalid input dimensions or pointers";
const char* const kBadAnalyze = "accuracy::analyze: prepare first and supply valid output views";

bool is_released() {
    return !state.prepared && state.n == 0 && state.a == nullptr && state.row_index.capacity() == 0 &&
           state.points.capacity() == 0 && accuracy::workspace_bytes() == 8u * 384u;
}

// Prepares quietly (the report line is checked in its own test).
void prepare_quiet(const std::vector<float>& a, u64 lda, const std::vector<float>& b, u64 ldb, u64 n) {
    testing::internal::CaptureStdout();
    try {
        accuracy::prepare(a.data(), lda, b.data(), ldb, n);
    } catch (...) {
        testing::internal::GetCapturedStdout();
        throw;
    }
    testing::internal::GetCapturedStdout();
}

AccuracyResult analyze_quiet(const float* out, u64 ld_out, const float* ref, u64 ld_ref,
                             std::string* printed = nullptr, const char* label = "t") {
    AccuracyResult r;
    testing::internal::CaptureStdout();
    try {
        accuracy::analyze(&r, out, ld_out, ref, ld_ref, label);
    } catch (...) {
        testing::internal::GetCapturedStdout();
        throw;
    }
    std::string s = testing::internal::GetCapturedStdout();
    if (printed) *printed = s;
    return r;
}

// The pool's workers must be joined before static destruction.
class PoolEnvironment : public testing::Environment {
public:
    void TearDown() override {
        accuracy::release();
        pan_adapter::shutdown();
    }
};
const testing::Environment* const pool_environment = testing::AddGlobalTestEnvironment(new PoolEnvironment);

class AccuracyTest : public testing::Test {
protected:
    void SetUp() override { use_pool(max_workers()); }
    void TearDown() override { accuracy::release(); }
};

// ---------------------------------------------------------------- sampling

TEST_F(AccuracyTest, SampleMatchesIndependentModel) {
    // Pure sampling for sides around the 32/64 thresholds and the special indices.
    for (u64 n : {1, 2, 3, 20, 32, 33, 63, 64, 65, 1000, 1025, 2048, 100000}) {
        SCOPED_TRACE("n = " + std::to_string(n));
        Sample py = python_sample(n);
        EXPECT_EQ(accuracy::detail::sample_rows(n), py.rows);
        std::vector<SamplePoint> pts;
        accuracy::detail::sample_points(n, pts);
        EXPECT_EQ(pairs_of(pts), py.points);
        EXPECT_EQ(pts.size(), std::min<u64>(n * n, 1024));
        EXPECT_EQ(pts.capacity(), std::min<u64>(n * n, 1024));
    }
    // Through prepare, with real inputs, for the sides the check is often run at.
    for (u64 n : {1, 2, 20, 33, 1000}) {
        SCOPED_TRACE("prepared n = " + std::to_string(n));
        Sample py = python_sample(n);
        std::vector<float> a = make_matrix(n, n, 1), b = make_matrix(n, n, 2);
        prepare_quiet(a, n, b, n, n);
        EXPECT_EQ(state.row_index, py.rows);
        EXPECT_EQ(pairs_of(state.points), py.points);
        std::set<std::pair<u64, u64>> distinct(py.points.begin(), py.points.end());
        EXPECT_EQ(distinct.size(), py.points.size());
    }
}

TEST_F(AccuracyTest, SampleKnownValues) {
    EXPECT_EQ(accuracy::detail::sample_rows(1), std::vector<u64>{0});
    std::vector<SamplePoint> pts;
    accuracy::detail::sample_points(1, pts);
    ASSERT_EQ(pts.size(), 1u);
    EXPECT_EQ(pts[0].row, 0u);
    EXPECT_EQ(pts[0].col, 0u);

    std::vector<u64> rows20 = accuracy::detail::sample_rows(20);
    for (u64 i = 0; i < 20; ++i) EXPECT_EQ(rows20[i], i);
    accuracy::detail::sample_points(20, pts);
    ASSERT_EQ(pts.size(), 400u);
    const u64 first[8][2] = {{0, 0}, {0, 19}, {0, 10}, {0, 5}, {0, 15}, {0, 1}, {0, 18}, {0, 9}};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(pts[i].row, first[i][0]);
        EXPECT_EQ(pts[i].col, first[i][1]);
    }

    std::vector<u64> rows = accuracy::detail::sample_rows(1000);
    ASSERT_EQ(rows.size(), 64u);
    EXPECT_EQ(std::vector<u64>(rows.begin(), rows.begin() + 5), (std::vector<u64>{0, 23, 38, 54, 70}));
    EXPECT_EQ(rows[16], 250u);
    EXPECT_EQ(rows[31], 499u);
    EXPECT_EQ(rows[32], 500u);
    EXPECT_EQ(rows[48], 750u);
    EXPECT_EQ(rows[63], 999u);
    accuracy::detail::sample_points(1000, pts);
    ASSERT_EQ(pts.size(), 1024u);
    const u64 special[10] = {0, 999, 500, 250, 750, 1, 998, 499, 511, 512};
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(pts[i].row, special[i / 10]);
        EXPECT_EQ(pts[i].col, special[i % 10]);
    }
    // The drawn points cycle through the quadrants, starting top left.
    EXPECT_LT(pts[100].row, 500u);
    EXPECT_LT(pts[100].col, 500u);
    EXPECT_LT(pts[101].row, 500u);
    EXPECT_GE(pts[101].col, 500u);
}

// --------------------------------------------------------- FP64 references

TEST_F(AccuracyTest, ReferencesMatchNumpyFloat64) {
    const u64 n = 300, lda = 307, ldb = 301;
    std::string dir = testing::TempDir() + "accuracy_ref_" + std::to_string(getpid());
    ASSERT_EQ(system(("mkdir -p " + dir).c_str()), 0);
    run_python("fixture " + dir + " 300 12345");
    auto read = [&](const std::string& name, auto* dummy, u64 count) {
        using T = std::remove_pointer_t<decltype(dummy)>;
        std::vector<T> v(count);
        std::ifstream f(dir + "/" + name, std::ios::binary);
        f.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(count * sizeof(T)));
        EXPECT_TRUE(f.good()) << name;
        return v;
    };
    std::vector<float> a0 = read("A.bin", (float*)nullptr, n * n);
    std::vector<float> b0 = read("B.bin", (float*)nullptr, n * n);
    std::vector<double> c64 = read("C64.bin", (double*)nullptr, n * n);
    std::vector<double> abs64 = read("ABS64.bin", (double*)nullptr, n * n);
    // Strided copies, padding poisoned with NaN: only the n x n block may be read.
    std::vector<float> a(n * lda, std::numeric_limits<float>::quiet_NaN());
    std::vector<float> b(n * ldb, std::numeric_limits<float>::quiet_NaN());
    for (u64 r = 0; r < n; ++r)
        for (u64 c = 0; c < n; ++c) {
            a[r * lda + c] = a0[r * n + c];
            b[r * ldb + c] = b0[r * n + c];
        }

    prepare_quiet(a, lda, b, ldb, n);
    ASSERT_TRUE(state.prepared);
    ASSERT_EQ(state.row_index.size(), 64u);
    const double u = std::ldexp(1.0, -53);
    int row_failures = 0;
    for (u64 i = 0; i < 64; ++i)
        for (u64 c = 0; c < n; ++c) {
            u64 r = state.row_index[i];
            double got = state.ref_rows[i * n + c], want = c64[r * n + c];
            if (!(std::fabs(got - want) <= 2.0 * n * u * abs64[r * n + c])) ++row_failures;
        }
    EXPECT_EQ(row_failures, 0);

    // Points: checked by python against exactly rounded sums.
    std::string pts_path = dir + "/points.txt";
    {
        std::ofstream f(pts_path);
        char line[160];
        for (const SamplePoint& p : state.points) {
            std::snprintf(line, sizeof line, "%llu %llu %a %a\n", (unsigned long long)p.row,
                          (unsigned long long)p.col, p.reference, p.abs_sum);
            f << line;
        }
    }
    EXPECT_EQ(run_python("points " + dir + " 300 " + pts_path), "OK\n");
    std::vector<double> rows_w8 = state.ref_rows;
    std::vector<SamplePoint> pts_w8 = state.points;

    // The 64 jobs give the same bits on any number of workers.
    use_pool(3);
    prepare_quiet(a, lda, b, ldb, n);
    EXPECT_TRUE(rows_w8 == state.ref_rows);
    ASSERT_EQ(pts_w8.size(), state.points.size());
    for (size_t i = 0; i < pts_w8.size(); ++i) {
        EXPECT_EQ(pts_w8[i].reference, state.points[i].reference);
        EXPECT_EQ(pts_w8[i].abs_sum, state.points[i].abs_sum);
    }
    if (system(("rm -rf " + dir).c_str()) != 0) ADD_FAILURE() << "cannot remove " << dir;
}

TEST_F(AccuracyTest, RepeatedPrepareGivesSameSampleAndReferences) {
    const u64 n = 130;
    std::vector<float> a = make_matrix(n, n, 5), b = make_matrix(n, n, 6);
    prepare_quiet(a, n, b, n, n);
    std::vector<u64> rows = state.row_index;
    std::vector<SamplePoint> pts = state.points;
    std::vector<double> refs = state.ref_rows;
    prepare_quiet(a, n, b, n, n);
    EXPECT_EQ(rows, state.row_index);
    EXPECT_TRUE(refs == state.ref_rows);
    ASSERT_EQ(pts.size(), state.points.size());
    for (size_t i = 0; i < pts.size(); ++i) {
        EXPECT_EQ(pts[i].row, state.points[i].row);
        EXPECT_EQ(pts[i].col, state.points[i].col);
        EXPECT_EQ(pts[i].reference, state.points[i].reference);
    }
}

// ------------------------------------------------------ sizes and limits

TEST_F(AccuracyTest, MemoryEstimateBoundaryAndWorkspaceSize) {
    EXPECT_TRUE(accuracy::detail::estimate_fits(507147));
    EXPECT_FALSE(accuracy::detail::estimate_fits(507148));
    EXPECT_EQ(accuracy::detail::estimate_bytes(507147), 535821488.0L);
    EXPECT_TRUE(accuracy::detail::estimate_fits(1));
    EXPECT_FALSE(accuracy::detail::estimate_fits(2147483647ull));

    // The limit is enforced before any input is read: a tiny buffer is enough.
    std::vector<float> tiny(16, 1.0f);
    expect_message<std::length_error>(
        [&] { accuracy::prepare(tiny.data(), 507148, tiny.data(), 507148, 507148); },
        "accuracy::prepare: reference workspace would exceed the accuracy memory limit "
        "(ACCURACY_MEMORY_LIMIT_MIB)");
    EXPECT_TRUE(is_released());

    accuracy::detail::build_workspace(8192);
    EXPECT_EQ(accuracy::workspace_bytes(), 16944640u);
    accuracy::release();
    EXPECT_TRUE(is_released());

    // n = 20 and the report line of prepare.
    std::vector<float> a = make_matrix(20, 20, 1), b = make_matrix(20, 20, 2);
    testing::internal::CaptureStdout();
    accuracy::prepare(a.data(), 20, b.data(), 20, 20);
    std::string line = testing::internal::GetCapturedStdout();
    const u64 expect = 8 * (20 + 400 + 384 + 400 + 1048576 + 20 + 20 + 4 * 400);
    EXPECT_EQ(accuracy::workspace_bytes(), expect);
    EXPECT_EQ(line, "ACCURACY_PREPARED n=20 fp64_rows=20 points=400 workspace_bytes=" + std::to_string(expect) +
                        " original_inputs=1\n");
}

TEST_F(AccuracyTest, PrepareRejectsBadInputsAndStaysReleased) {
    std::vector<float> m = make_matrix(8, 8, 3);
    const float* p = m.data();
    const u64 huge = std::numeric_limits<u64>::max() / 4;
    struct Case {
        const float* a;
        u64 lda;
        const float* b;
        u64 ldb;
        u64 n;
    } cases[] = {
        {nullptr, 8, p, 8, 8}, {p, 8, nullptr, 8, 8}, {p, 8, p, 8, 0},     {p, 7, p, 8, 8},
        {p, 8, p, 7, 8},       {p, huge, p, 8, 8},    {p, 8, p, huge, 8},  {p, 1ull << 31, p, 1ull << 31, 1ull << 31},
    };
    for (const Case& c : cases) {
        prepare_quiet(m, 8, m, 8, 8);  // a valid state first, which the failure must drop
        ASSERT_TRUE(state.prepared);
        expect_message<std::invalid_argument>([&] { accuracy::prepare(c.a, c.lda, c.b, c.ldb, c.n); },
                                              kBadPrepare);
        EXPECT_TRUE(is_released());
    }
}

TEST_F(AccuracyTest, PrepareWithoutPoolFailsAndStaysReleased) {
    std::vector<float> m = make_matrix(40, 40, 3);
    pan_adapter::shutdown();
    try {
        accuracy::prepare(m.data(), 40, m.data(), 40, 40);
        ADD_FAILURE() << "no exception";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "Call pan_adapter::init_pool before run_jobs");
    }
    // No half-computed references may be analysed afterwards.
    EXPECT_TRUE(is_released());
    use_pool(max_workers());
    AccuracyResult r;
    expect_message<std::invalid_argument>([&] { accuracy::analyze(&r, m.data(), 40, m.data(), 40, "x"); },
                                          kBadAnalyze);
}

// ------------------------------------------------------------- analysis

TEST(AccuracyRules, PercentilesAndRelativeError) {
    double p50, p99, mx;
    accuracy::detail::percentiles(nullptr, 0, p50, p99, mx);
    EXPECT_EQ(p50, kInf);
    EXPECT_EQ(p99, kInf);
    EXPECT_EQ(mx, kInf);
    const double one[] = {0.25};
    accuracy::detail::percentiles(one, 1, p50, p99, mx);
    EXPECT_EQ(p50, 0.25);
    EXPECT_EQ(p99, 0.25);
    EXPECT_EQ(mx, 0.25);
    const double four[] = {1, 2, 3, 4};
    accuracy::detail::percentiles(four, 4, p50, p99, mx);
    EXPECT_EQ(p50, 2.5);
    EXPECT_EQ(p99, 4);  // floor(99 * 5 / 100) - 1 = 3: below 99 values p99 is the maximum
    EXPECT_EQ(mx, 4);
    const double five[] = {1, 2, 3, 4, kInf};
    accuracy::detail::percentiles(five, 5, p50, p99, mx);
    EXPECT_EQ(p50, 3);
    EXPECT_EQ(p99, kInf);  // floor(99 * 6 / 100) - 1 = 4
    EXPECT_EQ(mx, kInf);
    std::vector<double> s(200);
    for (int i = 0; i < 200; ++i) s[i] = i;
    for (u64 c : {2, 63, 64, 99, 100, 101, 199, 200}) {
        accuracy::detail::percentiles(s.data(), c, p50, p99, mx);
        // The 99th percentile is the value of 1-based rank floor(0.99 (c + 1)).
        EXPECT_EQ(p99, s[(99 * (c + 1)) / 100 - 1]) << c;
        EXPECT_EQ(p50, c % 2 ? s[c / 2] : (s[c / 2 - 1] + s[c / 2]) / 2) << c;
        EXPECT_EQ(mx, s[c - 1]);
    }
    accuracy::detail::percentiles(s.data(), 64, p50, p99, mx);
    EXPECT_EQ(p99, mx);
    accuracy::detail::percentiles(s.data(), 100, p50, p99, mx);
    EXPECT_EQ(p99, 98);

    using accuracy::detail::relative_error;
    EXPECT_EQ(relative_error(4, 1), 2);
    EXPECT_EQ(relative_error(0, 0), 0);
    EXPECT_EQ(relative_error(1e-300, 0), kInf);
    EXPECT_EQ(relative_error(kInf, 1), kInf);
    EXPECT_EQ(relative_error(1, kInf), kInf);
    EXPECT_EQ(relative_error(std::nan(""), 1), kInf);
}

TEST_F(AccuracyTest, AnalyzeRejectsBadCallsWithMessage) {
    std::vector<float> m = make_matrix(8, 8, 3);
    AccuracyResult r;
    r.n = 77;
    expect_message<std::invalid_argument>([&] { accuracy::analyze(&r, m.data(), 8, m.data(), 8, "x"); },
                                          kBadAnalyze);
    EXPECT_EQ(r.n, 77u);
    prepare_quiet(m, 8, m, 8, 8);
    const u64 huge = std::numeric_limits<u64>::max() / 4;
    expect_message<std::invalid_argument>([&] { accuracy::analyze(&r, nullptr, 8, m.data(), 8, "x"); },
                                          kBadAnalyze);
    expect_message<std::invalid_argument>([&] { accuracy::analyze(&r, m.data(), 8, nullptr, 8, "x"); },
                                          kBadAnalyze);
    expect_message<std::invalid_argument>([&] { accuracy::analyze(&r, m.data(), 7, m.data(), 8, "x"); },
                                          kBadAnalyze);
    expect_message<std::invalid_argument>([&] { accuracy::analyze(&r, m.data(), 8, m.data(), 7, "x"); },
                                          kBadAnalyze);
    expect_message<std::invalid_argument>([&] { accuracy::analyze(&r, m.data(), huge, m.data(), 8, "x"); },
                                          kBadAnalyze);
    expect_message<std::invalid_argument>([&] { accuracy::analyze(&r, m.data(), 8, m.data(), huge, "x"); },
                                          kBadAnalyze);
    // A null result record is refused rather than written through.
    expect_message<std::invalid_argument>([&] { accuracy::analyze(nullptr, m.data(), 8, m.data(), 8, "x"); },
                                          kBadAnalyze);
    accuracy::release();
    expect_message<std::invalid_argument>([&] { accuracy::analyze(&r, m.data(), 8, m.data(), 8, "x"); },
                                          kBadAnalyze);
}

// A float32 result of A·B (the exactly rounded product) in a strided buffer
// whose padding holds NaN, against the long double model of every measure.
TEST_F(AccuracyTest, AnalyzeRoundedProductAgainstModel) {
    const u64 n = 100, ld = 103;
    std::vector<float> a = make_matrix(n, n, 11), b = make_matrix(n, n, 12);
    std::vector<long double> exact = exact_product(a, n, b, n, n);
    std::vector<float> c(n * ld, std::numeric_limits<float>::quiet_NaN());
    std::vector<float> r(n * n);
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j < n; ++j) {
            c[i * ld + j] = static_cast<float>(exact[i * n + j]);
            // A second view that differs in a few rows, to give the full scan work.
            r[i * n + j] = c[i * ld + j] + ((i % 7 == 3) ? 0.001f * static_cast<float>(j % 5) : 0.0f);
        }
    prepare_quiet(a, n, b, n, n);
    std::string printed;
    AccuracyResult res = analyze_quiet(c.data(), ld, r.data(), n, &printed, "model");
    EXPECT_TRUE(res.computed);
    EXPECT_EQ(res.n, n);
    EXPECT_EQ(res.fp64_rows, 64u);
    EXPECT_EQ(res.points, 1024u);
    EXPECT_EQ(res.nonfinite, 0u);
    EXPECT_EQ(res.ref_nonfinite, 0u);
    EXPECT_EQ(res.fp64_ref_nonfinite, 0u);

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
    EXPECT_NEAR(res.output_norm, (double)std::sqrt(o2), 1e-12 * (double)std::sqrt(o2));
    EXPECT_NEAR(res.reference_norm, (double)std::sqrt(r2), 1e-12 * (double)std::sqrt(r2));
    EXPECT_NEAR(res.full_rel, (double)std::sqrt(d2 / r2), 1e-10 * (double)std::sqrt(d2 / r2));
    EXPECT_EQ(res.full_maxabs, (double)mx);
    EXPECT_EQ(res.row_p50, 0.0);  // most rows agree exactly
    EXPECT_NEAR(res.row_p99, row_err[98], 1e-10 * row_err[98]);
    EXPECT_NEAR(res.row_max, row_err[99], 1e-10 * row_err[99]);
    EXPECT_GT(res.row_max, 0.0);

    // FP64 rows and points model: the output only carries float32 rounding.
    long double rd = 0, rref = 0, pd = 0, pref = 0, pmax = 0;
    for (u64 row : state.row_index)
        for (u64 j = 0; j < n; ++j) {
            long double e = c[row * ld + j] - exact[row * n + j];
            rd += e * e;
            rref += exact[row * n + j] * exact[row * n + j];
        }
    for (const SamplePoint& p : state.points) {
        long double e = c[p.row * ld + p.col] - exact[p.row * n + p.col];
        pd += e * e;
        pref += exact[p.row * n + p.col] * exact[p.row * n + p.col];
        pmax = std::max(pmax, std::fabs(e));
    }
    const double rows_rel = (double)std::sqrt(rd / rref), pts_rel = (double)std::sqrt(pd / pref);
    EXPECT_GT(rows_rel, 1e-9);
    EXPECT_NEAR(res.fp64_rows_rel, rows_rel, 1e-6 * rows_rel);
    EXPECT_NEAR(res.points_rel, pts_rel, 1e-6 * pts_rel);
    EXPECT_NEAR(res.points_maxabs, (double)pmax, 1e-6 * (double)pmax);
    EXPECT_LE(res.fp64_row_p50, res.fp64_row_p99);
    EXPECT_EQ(res.fp64_row_p99, res.fp64_row_max);  // 64 sampled rows
    EXPECT_LE(res.fp64_row_max, std::ldexp(1.0, -24));
    EXPECT_GT(res.point_scaled_max, 0.0);
    EXPECT_LE(res.point_scaled_max, std::ldexp(1.0, -24) * 1.000001);

    // The report lines carry the label and the fields in order.
    std::istringstream lines(printed);
    std::string full, fp64, extra;
    std::getline(lines, full);
    std::getline(lines, fp64);
    EXPECT_FALSE(std::getline(lines, extra));
    char expect_full[512], expect_fp64[512];
    std::snprintf(expect_full, sizeof expect_full,
                  "ACCURACY_FULL label=model n=100 nonfinite=0 ref_nonfinite=0 rel=%.9g maxabs=%.9g "
                  "row_p50=%.9g row_p99=%.9g row_max=%.9g output_norm=%.9g reference_norm=%.9g",
                  res.full_rel, res.full_maxabs, res.row_p50, res.row_p99, res.row_max, res.output_norm,
                  res.reference_norm);
    std::snprintf(expect_fp64, sizeof expect_fp64,
                  "ACCURACY_FP64 label=model computed=1 rows=64 points=1024 ref_nonfinite=0 rows_rel=%.9g "
                  "row_p50=%.9g row_p99=%.9g row_max=%.9g points_rel=%.9g points_maxabs=%.9g "
                  "point_scaled_max=%.9g",
                  res.fp64_rows_rel, res.fp64_row_p50, res.fp64_row_p99, res.fp64_row_max, res.points_rel,
                  res.points_maxabs, res.point_scaled_max);
    EXPECT_EQ(full, expect_full);
    EXPECT_EQ(fp64, expect_fp64);

    // Self comparison with a null label.
    res = analyze_quiet(c.data(), ld, c.data(), ld, &printed, nullptr);
    EXPECT_EQ(res.full_rel, 0.0);
    EXPECT_EQ(res.full_maxabs, 0.0);
    EXPECT_EQ(res.row_max, 0.0);
    EXPECT_EQ(res.output_norm, res.reference_norm);
    EXPECT_EQ(printed.rfind("ACCURACY_FULL label=unnamed n=100 nonfinite=0 ref_nonfinite=0 rel=0 maxabs=0 ", 0), 0u);
    EXPECT_NE(printed.find("\nACCURACY_FP64 label=unnamed computed=1 rows=64 points=1024 ref_nonfinite=0 "),
              std::string::npos);
}

TEST_F(AccuracyTest, AnalyzeRowPercentilesEndToEnd) {
    // n = 4: row r of R is (1, 0, 0, 0) and of C (2 + r, 0, 0, 0): row errors 1, 2, 3, 4.
    {
        std::vector<float> a = make_matrix(4, 4, 1);
        prepare_quiet(a, 4, a, 4, 4);
        std::vector<float> c(16, 0.0f), r(16, 0.0f);
        const int order[4] = {2, 0, 3, 1};  // rows not in error order
        for (int i = 0; i < 4; ++i) {
            r[i * 4] = 1.0f;
            c[i * 4] = 2.0f + static_cast<float>(order[i]);
        }
        AccuracyResult res = analyze_quiet(c.data(), 4, r.data(), 4);
        EXPECT_EQ(res.row_p50, 2.5);
        EXPECT_EQ(res.row_p99, 4.0);
        EXPECT_EQ(res.row_max, 4.0);
        EXPECT_EQ(res.full_maxabs, 4.0);
        EXPECT_DOUBLE_EQ(res.full_rel, std::sqrt(30.0 / 4.0));
    }
    // n = 100: row errors are a permutation of 1 .. 100; p99 is the 99th smallest.
    {
        const u64 n = 100;
        std::vector<float> a = make_matrix(n, n, 1);
        prepare_quiet(a, n, a, n, n);
        std::vector<float> c(n * n, 0.0f), r(n * n, 0.0f);
        for (u64 i = 0; i < n; ++i) {
            r[i * n + 5] = 1.0f;
            c[i * n + 5] = 1.0f + static_cast<float>((i * 37) % n + 1);
        }
        AccuracyResult res = analyze_quiet(c.data(), n, r.data(), n);
        EXPECT_EQ(res.row_p50, 50.5);
        EXPECT_EQ(res.row_p99, 99.0);
        EXPECT_EQ(res.row_max, 100.0);
    }
    // n = 1: the single value is every percentile.
    {
        std::vector<float> a = {3.0f}, b = {-2.0f}, c = {-6.5f};
        prepare_quiet(a, 1, b, 1, 1);
        AccuracyResult res = analyze_quiet(c.data(), 1, c.data(), 1);
        EXPECT_EQ(res.fp64_rows, 1u);
        EXPECT_EQ(res.points, 1u);
        EXPECT_DOUBLE_EQ(res.fp64_rows_rel, 0.5 / 6.0);
        EXPECT_EQ(res.fp64_row_p50, res.fp64_rows_rel);
        EXPECT_EQ(res.fp64_row_p99, res.fp64_rows_rel);
        EXPECT_EQ(res.fp64_row_max, res.fp64_rows_rel);
        EXPECT_DOUBLE_EQ(res.points_rel, 0.5 / 6.0);
        EXPECT_EQ(res.points_maxabs, 0.5);
        EXPECT_EQ(res.point_scaled_max, 0.5 / 6.0);
    }
}

TEST_F(AccuracyTest, AnalyzeOneNaNWithSelfReference) {
    const u64 n = 100;
    std::vector<float> a = make_matrix(n, n, 21), b = make_matrix(n, n, 22);
    std::vector<long double> exact = exact_product(a, n, b, n, n);
    std::vector<float> clean(n * n);
    for (u64 i = 0; i < n * n; ++i) clean[i] = static_cast<float>(exact[i]);
    prepare_quiet(a, n, b, n, n);
    std::set<u64> sampled_rows(state.row_index.begin(), state.row_index.end());
    std::set<std::pair<u64, u64>> sampled_points;
    for (const SamplePoint& p : state.points) sampled_points.insert({p.row, p.col});

    // Find an entry outside every sample, one in a sampled row but no point, and a sampled point.
    std::pair<u64, u64> unsampled{n, n}, row_only{n, n};
    for (u64 i = 0; i < n && (unsampled.first == n || row_only.first == n); ++i)
        for (u64 j = 0; j < n; ++j) {
            if (sampled_points.count({i, j})) continue;
            if (!sampled_rows.count(i) && unsampled.first == n) unsampled = {i, j};
            if (sampled_rows.count(i) && row_only.first == n) row_only = {i, j};
        }
    ASSERT_LT(unsampled.first, n);
    ASSERT_LT(row_only.first, n);
    const std::pair<u64, u64> point = {state.points[500].row, state.points[500].col};

    struct Expect {
        std::pair<u64, u64> at;
        bool rows_inf, points_inf;
    } cases[] = {{unsampled, false, false}, {row_only, true, false}, {point, sampled_rows.count(point.first) > 0, true}};
    for (const Expect& e : cases) {
        SCOPED_TRACE("NaN at " + std::to_string(e.at.first) + "," + std::to_string(e.at.second));
        std::vector<float> c = clean;
        c[e.at.first * n + e.at.second] = std::numeric_limits<float>::quiet_NaN();
        AccuracyResult res = analyze_quiet(c.data(), n, c.data(), n);
        EXPECT_EQ(res.nonfinite, 1u);
        EXPECT_EQ(res.ref_nonfinite, 1u);
        EXPECT_EQ(res.fp64_ref_nonfinite, 0u);
        EXPECT_EQ(res.output_norm, kInf);
        EXPECT_EQ(res.reference_norm, kInf);
        EXPECT_EQ(res.full_rel, kInf);
        EXPECT_EQ(res.full_maxabs, kInf);
        EXPECT_EQ(res.row_max, kInf);
        EXPECT_EQ(res.row_p50, 0.0);
        EXPECT_EQ(res.row_p99, 0.0);  // only one row of 100 is infinite
        EXPECT_EQ(std::isinf(res.fp64_rows_rel), e.rows_inf);
        EXPECT_EQ(std::isinf(res.fp64_row_max), e.rows_inf);
        EXPECT_EQ(std::isinf(res.points_rel), e.points_inf);
        EXPECT_EQ(std::isinf(res.points_maxabs), e.points_inf);
        EXPECT_EQ(std::isinf(res.point_scaled_max), e.points_inf);
        if (!e.rows_inf) {
            EXPECT_LT(res.fp64_rows_rel, 1e-6);
        }
        if (!e.points_inf) {
            EXPECT_LT(res.points_rel, 1e-6);
        }
    }

    // An infinite input gives non-finite FP64 references, counted as such.
    std::vector<float> a_inf = a;
    a_inf[state.row_index[3] * n + 7] = std::numeric_limits<float>::infinity();
    prepare_quiet(a_inf, n, b, n, n);
    AccuracyResult res = analyze_quiet(clean.data(), n, clean.data(), n);
    EXPECT_EQ(res.nonfinite, 0u);
    EXPECT_GE(res.fp64_ref_nonfinite, 1u);
    EXPECT_EQ(res.fp64_rows_rel, kInf);
}

TEST_F(AccuracyTest, AnalyzeZeroRowsAndZeroAbsSum) {
    // Row 0 of A is zero, so row 0 of the product is zero and its points have abs_sum 0.
    const u64 n = 40;
    std::vector<float> a = make_matrix(n, n, 31), b = make_matrix(n, n, 32);
    for (u64 j = 0; j < n; ++j) a[j] = 0.0f;
    std::vector<long double> exact = exact_product(a, n, b, n, n);
    std::vector<float> c(n * n);
    for (u64 i = 0; i < n * n; ++i) c[i] = static_cast<float>(exact[i]);
    prepare_quiet(a, n, b, n, n);
    ASSERT_EQ(state.points[0].row, 0u);
    ASSERT_EQ(state.points[0].abs_sum, 0.0);

    // All-zero reference row and output row: error 0; exact zero points add 0.
    std::vector<float> r = c;
    AccuracyResult res = analyze_quiet(c.data(), n, r.data(), n);
    EXPECT_EQ(res.row_max, 0.0);
    EXPECT_LE(res.point_scaled_max, std::ldexp(1.0, -24) * 1.000001);
    EXPECT_LT(res.fp64_row_max, 1e-6);

    // Any non-zero output against a zero reference row: +inf for that row.
    std::vector<float> c2 = c;
    c2[1] = 1e-30f;
    res = analyze_quiet(c2.data(), n, r.data(), n);
    EXPECT_EQ(res.row_max, kInf);
    EXPECT_EQ(res.row_p50, 0.0);
    EXPECT_LT(res.full_rel, 1e-20);
    EXPECT_EQ(res.full_maxabs, static_cast<double>(1e-30f));
    EXPECT_EQ(res.fp64_row_max, kInf);  // row 0 is sampled with an all-zero FP64 reference
    EXPECT_LT(res.fp64_rows_rel, 1e-6);  // together with the other rows it stays finite
    EXPECT_EQ(res.point_scaled_max, kInf);  // point (0, 1) has abs_sum 0 and a non-zero error
    EXPECT_LT(res.points_rel, 1e-6);
}

}  // namespace
