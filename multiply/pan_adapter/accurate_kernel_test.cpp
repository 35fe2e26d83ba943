// The accurate leaf kernel against a scalar model of its stated rounding order.
#include "multiply/pan_adapter/accurate_kernel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "multiply/pan_adapter/kernel_test_support.h"
#include "multiply/pan_adapter/leaf_plan.h"
#include "multiply/pan_adapter/panel_pack.h"

using namespace kernel_test;

namespace {

constexpr double kCanary = -7777.25;

// A row-major n x n float operand inside a buffer with a wider leading
// dimension; values spread over several binades so that the rounding order
// shows in the low bits.
struct Operand {
    u64 n, ld;
    std::vector<float> buf;
    Operand(u64 n_, u64 pad, std::mt19937& rng) : n(n_), ld(n_ + pad), buf(ld * n_, 1e30f) {
        std::uniform_real_distribution<float> m(-1.0f, 1.0f);
        std::uniform_int_distribution<int> e(-6, 6);
        for (u64 i = 0; i < n; ++i)
            for (u64 j = 0; j < n; ++j) buf[i * ld + j] = std::ldexp(m(rng), e(rng));
    }
    float at(u64 i, u64 j) const { return buf[i * ld + j]; }
};

// An FP64 output of side n with ld > n and two spare rows; padding holds the canary.
Fenced<double> output(u64 n, u64 pad, std::mt19937& rng) {
    Fenced<double> d(n, pad, kCanary);
    std::uniform_real_distribution<double> v(-100.0, 100.0);
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j < n; ++j) d.at(i, j) = v(rng);
    return d;
}

// T(i, j) as stated: float operand sums, a std::fma chain per chunk of S
// steps from 0.0f, the first chunk sum widened, later ones added in FP64.
std::vector<double> scalar_model(u64 n, u64 S, const Operand& A1, const Operand& A2,
                                 const Operand& B1, const Operand& B2) {
    std::vector<float> a(n * n), bt(n * n);
    for (u64 i = 0; i < n; ++i)
        for (u64 k = 0; k < n; ++k) {
            a[i * n + k] = A1.at(i, k) + A2.at(i, k);
            bt[i * n + k] = B1.at(k, i) + B2.at(k, i);
        }
    std::vector<double> T(n * n);
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j < n; ++j) {
            double total = 0.0;
            for (u64 k0 = 0; k0 < n; k0 += S) {
                float chunk = 0.0f;
                for (u64 k = k0; k < std::min(k0 + S, n); ++k)
                    chunk = std::fma(a[i * n + k], bt[j * n + k], chunk);
                total = k0 == 0 ? static_cast<double>(chunk) : total + static_cast<double>(chunk);
            }
            T[i * n + j] = total;
        }
    return T;
}

// D == D0 + T bit for bit inside the block, the canary everywhere else.
void expect_result(const Fenced<double>& D, Fenced<double> D0, const std::vector<double>& T, const char* what) {
    for (u64 i = 0; i < D.n; ++i)
        for (u64 j = 0; j < D.n; ++j) D0.at(i, j) += T[i * D.n + j];
    expect_identical(D, D0, what);
}

class AccurateKernel : public ::testing::Test {
protected:
    void TearDown() override { pan_adapter::set_accurate_main_subk(64); }
};

}  // namespace

TEST_F(AccurateKernel, MatchesScalarModelBitForBit) {
    // 1: one valid row and column; 7, 17, 100, 300: ragged strips, panels and
    // chunks (100 = 32 + 32 + 32 + 4 or 64 + 36 or one chunk); 300 spans
    // several row blocks.
    u64 seed = 1;
    for (u64 subk : {32u, 64u, 128u}) {
        pan_adapter::set_accurate_main_subk(subk);
        for (u64 n : {1u, 7u, 17u, 100u, 300u}) {
            SCOPED_TRACE("subk " + std::to_string(subk) + " n " + std::to_string(n));
            std::mt19937 rng(static_cast<unsigned>(seed++));
            const Operand A1(n, 3, rng), A2(n, 5, rng), B1(n, 7, rng), B2(n, 1, rng);
            Fenced<double> D1 = output(n, 11, rng), D2 = output(n, 2, rng);
            const Fenced<double> D1_0 = D1, D2_0 = D2;
            Workspace ws(pan_adapter::pair_workspace_floats_default(n));  // not 64-byte aligned
            pan_adapter::accurate_pair_product(n, A1.buf.data(), A1.ld, A2.buf.data(), A2.ld,
                                               B1.buf.data(), B1.ld, B2.buf.data(), B2.ld, D1.p(),
                                               D1.ld, D2.p(), D2.ld, ws.data);
            ws.expect_fence_intact();
            const std::vector<double> T = scalar_model(n, subk, A1, A2, B1, B2);
            expect_result(D1, D1_0, T, "D1");
            expect_result(D2, D2_0, T, "D2");
        }
    }
}

TEST_F(AccurateKernel, OutputsStartingEqualStayEqualAndChunkingShows) {
    const u64 n = 100;
    std::mt19937 rng(5);
    const Operand A1(n, 0, rng), A2(n, 0, rng), B1(n, 0, rng), B2(n, 0, rng);
    const Fenced<double> D1 = output(n, 4, rng);
    std::vector<float> ws(pan_adapter::pair_workspace_floats_default(n));
    std::vector<std::vector<double>> results;
    for (u64 subk : {32u, 64u, 128u}) {
        pan_adapter::set_accurate_main_subk(subk);
        Fenced<double> a = D1, b = D1;
        pan_adapter::accurate_pair_product(n, A1.buf.data(), n, A2.buf.data(), n, B1.buf.data(), n,
                                           B2.buf.data(), n, a.p(), a.ld, b.p(), b.ld, ws.data());
        EXPECT_EQ(std::memcmp(a.buf.data(), b.buf.data(), a.buf.size() * sizeof(double)), 0)
            << subk;
        results.push_back(a.buf);
    }
    // The chunk length really is in force: the three results differ somewhere.
    EXPECT_NE(results[0], results[1]);
    EXPECT_NE(results[1], results[2]);
    // A side of 0 touches nothing.
    double d1 = 1.5, d2 = 2.5;
    pan_adapter::accurate_pair_product(0, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, &d1, 0,
                                       &d2, 0, nullptr);
    EXPECT_TRUE(d1 == 1.5 && d2 == 2.5);
}

TEST_F(AccurateKernel, BlockingDoesNotChangeTheResult) {
    // Side 1201 under the default plan: three column blocks with A packed once
    // for the whole block (apf), row blocks of 6, ragged edges. The same tiles
    // run over one whole-block packing must give the same bits.
    const u64 n = 1201;
    ASSERT_NE(pan_adapter::leaf_plan_default(n).apf, 0);
    pan_adapter::set_accurate_main_subk(32);
    std::mt19937 rng(77);
    const Operand A1(n, 1, rng), A2(n, 0, rng), B1(n, 2, rng), B2(n, 0, rng);
    Fenced<double> D = output(n, 3, rng);
    const Fenced<double> D0 = D;
    Fenced<double> E = D;
    std::vector<float> ws(pan_adapter::pair_workspace_floats_default(n));
    std::vector<double> scratch(n * n);
    pan_adapter::accurate_pair_product(n, A1.buf.data(), A1.ld, A2.buf.data(), A2.ld,
                                       B1.buf.data(), B1.ld, B2.buf.data(), B2.ld, D.p(), D.ld,
                                       scratch.data(), n, ws.data());

    const u64 b_panel = 16 * (n + 1), a_panel = 6 * n + 16;
    const u64 b_panels = (n + 15) / 16, a_panels = (n + 5) / 6;
    std::vector<float> bp(b_panel * b_panels + 16), ap(a_panel * a_panels + 16);
    float* b_base = bp.data();
    while (reinterpret_cast<std::uintptr_t>(b_base) % 64 != 0) ++b_base;
    pan_adapter::pack_b_sum16(n, n, B1.buf.data(), B1.ld, B2.buf.data(), B2.ld, b_base, b_panel);
    pan_adapter::pack_a_sum6(n, n, A1.buf.data(), A1.ld, A2.buf.data(), A2.ld, ap.data(), a_panel);
    // Strips outer, panels inner: the other order from the driver's.
    for (u64 i = 0; i < n; i += 6)
        for (u64 j = 0; j < n; j += 16)
            pan_adapter::accurate_tile_kernel_subk32(
                n, ap.data() + (i / 6) * a_panel, b_base + (j / 16) * b_panel, E.p() + i * E.ld + j,
                E.ld, scratch.data() + i * n + j, n, std::min<u64>(6, n - i),
                std::min<u64>(16, n - j));
    // The register-tile stage over the whole block as one row and column block.
    Fenced<double> F = D0;
    pan_adapter::accurate_tiles_avx2({.depth = n,
                                      .subk = 32,
                                      .a = ap.data(),
                                      .a_panel_floats = a_panel,
                                      .b = b_base,
                                      .b_panel_floats = b_panel,
                                      .d1 = F.p(),
                                      .ld_d1 = F.ld,
                                      .d2 = scratch.data(),
                                      .ld_d2 = n,
                                      .rows = n,
                                      .cols = n});
    expect_identical(E, D, "tile by tile");
    expect_identical(F, D, "one register-tile stage");
}
