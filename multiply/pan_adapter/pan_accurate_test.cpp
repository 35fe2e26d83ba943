// The accurate Pan variant on the real pool and one-thread AOCL SGEMM.
#include "multiply/pan_adapter/pan_accurate.h"

#include <gtest/gtest.h>

#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/cpus.h"
#include "common/testing/test_support.h"
#include "multiply/blas/aocl_backend.h"
#include "multiply/pan_adapter/leaf_plan.h"
#include "multiply/pan_adapter/pan_test_support.h"

using pan_adapter::PanView;
using pan_adapter::implementation::accurate_state;
using u64 = std::uint64_t;

namespace {

const char* const kStale = "prepare accurate Pan after every external reconfiguration";

int cpu_base = 0;
int available = 0;  // usable CPUs from cpu_base on, at most 8

class PanAccurate : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        openblas_set_num_threads(1);
        cpu_base = usable_cpus().front();
        available = std::min(8, usable_cpus_from(cpu_base));
        aocl_backend::initialize(available, cpu_base);
    }
    void SetUp() override { pan_adapter::init_pool(std::min(2, available), cpu_base); }
    void TearDown() override {
        pan_adapter::release_all();
        pan_adapter::shutdown();
        pan_adapter::configure_accurate(64, 64, 0, false);
        EXPECT_FALSE(accurate_state.prepared);
        EXPECT_EQ(pan_adapter::accurate_bytes(), 0u);
    }
    static void restart_pool(int workers) {
        pan_adapter::shutdown();
        pan_adapter::init_pool(workers, cpu_base);
    }
};

struct Case {
    u64 s, L;
    u64 tile;  // correction tile: 0 (untiled), 128 or 256
    bool packed;
    bool accumulate;
    u64 k;     // correction piece length
    u64 subk;  // kernel depth chunk
};

u64 ceil_div(u64 a, u64 b) { return (a + b - 1) / b; }

// Every case twice on integer data (exact whatever the rounding): C and C2
// equal the plain products (added twice onto their old contents when
// accumulating), nothing past the views changes, and both counters match.
void run_exact_cases(int workers) {
    const Case cases[] = {
        {64, 64, 0, false, false, 64, 64},     // g = 1
        {256, 128, 128, true, true, 48, 32},   // g = 2, pieces of 48, 48, 32
        {600, 300, 256, false, true, 1000, 128},  // ragged tiles; one piece longer than L
        {400, 100, 0, true, false, 64, 64},    // g = 4, ragged kernel tiles
        {512, 128, 256, true, false, 64, 32},  // a tile taller than the block
        {384, 96, 128, false, true, 40, 128},
    };
    unsigned seed = 1;
    for (const Case& c : cases) {
        const u64 s = c.s, g = s / c.L;
        SCOPED_TRACE("W=" + std::to_string(workers) + " s=" + std::to_string(s) + " L=" +
                     std::to_string(c.L) + " tile=" + std::to_string(c.tile) +
                     (c.packed ? " packed" : "") + (c.accumulate ? " accumulate" : ""));
        pan_adapter::configure_accurate(c.k, c.subk, c.tile, c.packed);
        pan_adapter::prepare_accurate(s, c.L);
        pan_test::PairOperands m(s, seed++);
        const u64 per_job = (c.tile == 0 ? 1 : ceil_div(c.L, c.tile) * ceil_div(c.L, 128)) *
                            ceil_div(c.L, c.k);
        for (int run = 0; run < 2; ++run) {
            const auto t = m.run(pan_adapter::run_accurate, c.accumulate);
            EXPECT_EQ(t.leaf_products, g * g * g + 3 * g * g);
            EXPECT_EQ(pan_adapter::accurate_correction_gemm_count(), 3 * g * g * per_job);
            EXPECT_GE(t.total_seconds, t.main + t.corrections);
        }
        m.expect_products(c.accumulate, 2);
        EXPECT_EQ(accurate_state.run.c.data, nullptr);  // the views do not outlive the call
    }
}

}  // namespace

TEST_F(PanAccurate, ExactOnIntegerDataWithOneWorker) {
    restart_pool(1);
    run_exact_cases(1);
}

TEST_F(PanAccurate, ExactOnIntegerDataWithEightWorkers) {
    if (available < 8) GTEST_SKIP() << "needs 8 usable CPUs, the process has " << available;
    restart_pool(8);
    run_exact_cases(8);
}

TEST_F(PanAccurate, CorrectionGemmCountsOfALargeLeaf) {
    // L = 1024, K = 64: 16 pieces per correction job; tiles of 256 x 128 make
    // it 4 * 8 * 16 = 512.
    const u64 s = 1024;
    pan_test::PairOperands m(s, 3);
    for (u64 tile : {0u, 256u}) {
        pan_adapter::configure_accurate(64, 64, tile, false);
        pan_adapter::prepare_accurate(s, s);
        EXPECT_EQ(m.run(pan_adapter::run_accurate, false).leaf_products, 4u);
        EXPECT_EQ(pan_adapter::accurate_correction_gemm_count(), tile == 0 ? 3u * 16 : 3u * 512);
        m.expect_products(false, 1);
    }
}

TEST_F(PanAccurate, RefusesAStalePreparation) {
    const u64 s = 256;
    pan_test::PairOperands m(s, 4);
    auto run = [&] { m.run(pan_adapter::run_accurate, false); };
    EXPECT_EQ(message_of<std::logic_error>(run), kStale);

    pan_adapter::prepare_accurate(s, 128);
    const double* acc = accurate_state.acc.data();
    const u64 bytes = pan_adapter::accurate_bytes();
    EXPECT_EQ(bytes, 8 * (2 * s * s + (6 * 2 + 2) * 128 * 144));
    pan_adapter::prepare_accurate(s, 128);  // unchanged: every buffer stays
    EXPECT_EQ(accurate_state.acc.data(), acc);
    EXPECT_EQ(pan_adapter::accurate_bytes(), bytes);

    // Pan prepared for another leaf: refused; back to the same leaf: accepted.
    pan_adapter::prepare(s, 64);
    EXPECT_EQ(message_of<std::logic_error>(run), kStale);
    pan_adapter::prepare(s, 128);
    EXPECT_NO_THROW(run());
    m.expect_products(false, 1);

    // A pool restart drops the Pan workspaces; another worker count as well.
    restart_pool(std::min(2, available));
    pan_adapter::prepare(s, 128);
    if (available >= 2) {
        restart_pool(1);
        pan_adapter::prepare(s, 128);
        EXPECT_EQ(message_of<std::logic_error>(run), kStale);
    }
    pan_adapter::prepare_accurate(s, 128);
    EXPECT_NO_THROW(run());
    pan_adapter::release_accurate();
    EXPECT_EQ(message_of<std::logic_error>(run), kStale);

    // Bad views are refused before anything is written.
    pan_adapter::prepare_accurate(s, 128);
    std::fill(m.C.buf.begin(), m.C.buf.end(), 5.0f);
    EXPECT_EQ(message_of<std::invalid_argument>([&] {
                  pan_adapter::run_accurate(m.A.view(), m.B.view(), false, m.A2.view(), m.B2.view(),
                                            m.C.view(), m.A.view());
              }),
              "Pan output view overlaps an input");
    for (float x : m.C.buf) ASSERT_EQ(x, 5.0f);
}

TEST_F(PanAccurate, SettingsAndThePackedSwitch) {
    const struct {
        u64 k, subk, tile;
        const char* msg;
    } bad[] = {
        {64, 64, 64, "accurate correction tile must be 0, 128, or 256"},
        {64, 96, 0, "accurate main SUBK must be 32, 64, or 128"},
        {0, 64, 128, "accurate correction K block must be positive"},
    };
    for (const auto& b : bad)
        EXPECT_EQ(message_of<std::invalid_argument>(
                      [&] { pan_adapter::configure_accurate(b.k, b.subk, b.tile, false); }),
                  b.msg);
    // Settings before a refused one are kept.
    EXPECT_EQ(pan_adapter::accurate_settings.correction_tile, 128u);
    EXPECT_EQ(pan_adapter::accurate_main_subk(), 64u);

    // On while unprepared: sized by the next preparation.
    pan_adapter::configure_accurate(64, 64, 0, true);
    EXPECT_TRUE(accurate_state.packed.empty());
    pan_adapter::prepare_accurate(256, 128);
    const u64 per_worker = static_cast<u64>(pan_adapter::workers()) * 128 * 144;
    EXPECT_EQ(accurate_state.packed.size(), per_worker);
    const u64 with_packed = pan_adapter::accurate_bytes();
    // Off: freed at once; on again while prepared: sized at once.
    pan_adapter::configure_accurate(64, 64, 0, false);
    EXPECT_EQ(accurate_state.packed.capacity(), 0u);
    EXPECT_EQ(pan_adapter::accurate_bytes(), with_packed - 4 * per_worker);
    pan_adapter::configure_accurate(64, 64, 0, true);
    EXPECT_EQ(accurate_state.packed.size(), per_worker);
}

TEST_F(PanAccurate, RefusedCallsChangeNothing) {
    // A good accumulating run, then calls refused for their views: the
    // accumulate flag and the correction GEMM count stay those of the good run.
    const u64 s = 256, g = 2;
    pan_adapter::prepare_accurate(s, 128);
    pan_test::PairOperands m(s, 6);
    m.run(pan_adapter::run_accurate, true);
    const u64 gemms = pan_adapter::accurate_correction_gemm_count();
    ASSERT_EQ(gemms, 3 * g * g * 2);
    ASSERT_TRUE(accurate_state.accumulate);
    const std::vector<float> c = m.C.buf, c2 = m.C2.buf;
    const PanView A = m.A.view(), B = m.B.view(), A2 = m.A2.view(), B2 = m.B2.view(), C = m.C.view(),
                  C2 = m.C2.view();
    const struct {
        PanView c, c2;
        const char* msg;
    } bad[] = {
        {C, A, "Pan output view overlaps an input"},
        {C, C, "Pan output views overlap"},
        {{nullptr, s}, C2, "Pan view requires a nonnull pointer and side <= ld <= INT_MAX"},
    };
    for (const auto& b : bad) {
        EXPECT_EQ(message_of<std::invalid_argument>(
                      [&] { pan_adapter::run_accurate(A, B, false, A2, B2, b.c, b.c2); }),
                  b.msg);
        EXPECT_EQ(pan_adapter::accurate_correction_gemm_count(), gemms) << b.msg;
        EXPECT_TRUE(accurate_state.accumulate) << b.msg;
        EXPECT_EQ(accurate_state.run.c.data, nullptr) << b.msg;
    }
    EXPECT_TRUE(same_bits(m.C.buf, c) && same_bits(m.C2.buf, c2));
}

TEST_F(PanAccurate, BorrowedLeafWorkspacesMustFitTheKernel) {
    // The accurate kernel runs in the Pan leaf workspaces: one per worker, of
    // pair_workspace_floats_default(L) floats. Fewer or smaller ones are
    // refused, and the accurate state is left unprepared.
    const u64 s = 256, L = 128;
    const char* const kSmall = "Pan leaf workspace too small for the accurate kernel";
    pan_test::PairOperands m(s, 7);
    auto run = [&] { m.run(pan_adapter::run_accurate, false); };
    auto& pan = pan_adapter::implementation::pan_state;
    pan_adapter::prepare_accurate(s, L);
    ASSERT_EQ(pan.leaf_workspace_floats, pan_adapter::pair_workspace_floats_default(L));

    pan.leaf_workspace_floats -= 1;
    EXPECT_EQ(message_of<std::logic_error>([&] { pan_adapter::prepare_accurate(s, L); }), kSmall);
    EXPECT_FALSE(accurate_state.prepared);
    EXPECT_EQ(message_of<std::logic_error>(run), kStale);
    pan.leaf_workspace_floats += 1;

    float* const last = pan.leaf_workspaces.back();
    pan.leaf_workspaces.pop_back();
    EXPECT_EQ(message_of<std::logic_error>([&] { pan_adapter::prepare_accurate(s, L); }), kSmall);
    EXPECT_FALSE(accurate_state.prepared);
    pan.leaf_workspaces.push_back(last);

    pan_adapter::prepare_accurate(s, L);
    EXPECT_NO_THROW(run());
    m.expect_products(false, 1);
}

TEST_F(PanAccurate, FP64AccumulationOnNonIntegerData) {
    // Positive non-integer data, 1 + 0.1·normal: every entry of C is a long
    // sum of like-signed terms, and Pan's correction terms cancel most of its
    // aggregated products. Against an FP64 reference, the accurate variant
    // stays within a bound that the float Pan pair product on the same data
    // and the same preparation exceeds (measured: about 1.0e-7 against 7.5e-7).
    const u64 s = 512, L = 256;
    pan_test::PairOperands m(s, 8);
    std::mt19937 rng(8);
    std::normal_distribution<float> normal;
    for (pan_test::Mat* x : {&m.A, &m.B, &m.A2, &m.B2})
        for (u64 r = 0; r < s; ++r)
            for (u64 c = 0; c < s; ++c) x->at(r, c) = 1.0f + 0.1f * normal(rng);
    // Relative Frobenius error of c against the FP64 product a·b.
    auto error = [s](pan_test::Mat& c, pan_test::Mat& a, pan_test::Mat& b) {
        std::vector<double> da(a.buf.begin(), a.buf.end()), db(b.buf.begin(), b.buf.end()), ref(s * s);
        cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, static_cast<int>(s), static_cast<int>(s),
                    static_cast<int>(s), 1.0, da.data(), static_cast<int>(a.ld), db.data(),
                    static_cast<int>(b.ld), 0.0, ref.data(), static_cast<int>(s));
        double err = 0, norm = 0;
        for (u64 r = 0; r < s; ++r)
            for (u64 col = 0; col < s; ++col) {
                const double want = ref[r * s + col], d = c.at(r, col) - want;
                err += d * d;
                norm += want * want;
            }
        return std::sqrt(err / norm);
    };
    // Four units of float roundoff: float operands and pieces of 32 terms
    // leave the accurate variant within it; float sums over whole leaves do not.
    const double bound = 4 * 0x1p-24;

    pan_adapter::configure_accurate(32, 32, 0, false);
    pan_adapter::prepare_accurate(s, L);
    m.run(pan_adapter::run_pair, false);
    const double plain[2] = {error(m.C, m.A, m.B), error(m.C2, m.A2, m.B2)};
    m.run(pan_adapter::run_accurate, false);
    const double accurate[2] = {error(m.C, m.A, m.B), error(m.C2, m.A2, m.B2)};
    for (int k = 0; k < 2; ++k) {
        SCOPED_TRACE(k == 0 ? "C" : "C2");
        EXPECT_GT(plain[k], bound) << "float accumulation must fail the bound on this data";
        EXPECT_LE(accurate[k], bound) << "float Pan: " << plain[k];
    }
}
