#include "multiply/pan_adapter/pan_kernel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using pan_adapter::LeafPlan;
using u64 = std::uint64_t;

namespace {

constexpr float kCanary = -7777.25f;

// A row-major n x n block inside a larger buffer: leading dimension ld > n and
// a few spare rows below it, all padding preset to the canary.
struct Block {
    u64 n = 0, ld = 0;
    std::vector<float> buf;
    Block(u64 n_, u64 pad, std::mt19937& rng, float lo, float hi) : n(n_), ld(n_ + pad) {
        buf.assign(ld * (n + 2), kCanary);
        std::uniform_real_distribution<float> d(lo, hi);
        for (u64 i = 0; i < n; ++i)
            for (u64 j = 0; j < n; ++j) buf[i * ld + j] = d(rng);
    }
    float* p() { return buf.data(); }
    float at(u64 i, u64 j) const { return buf[i * ld + j]; }
};

// The stated order, one element at a time: operand sums rounded to float, a
// std::fma chain per 256-step chunk starting at 0, chunks added in increasing
// order, depth blocks of kc (chunks restart at each block) added in increasing
// order, then one float addition into each output.
void scalar_model(u64 n, u64 kc, const Block& A1, const Block& A2, const Block& B1,
                  const Block& B2, std::vector<float>& P) {
    std::vector<float> a(n * n), bt(n * n);
    for (u64 i = 0; i < n; ++i)
        for (u64 k = 0; k < n; ++k) a[i * n + k] = A1.at(i, k) + A2.at(i, k);
    for (u64 k = 0; k < n; ++k)
        for (u64 j = 0; j < n; ++j) bt[j * n + k] = B1.at(k, j) + B2.at(k, j);
    const u64 kb = (kc == 0 || kc >= n) ? n : kc;
    P.assign(n * n, 0.0f);
    for (u64 i = 0; i < n; ++i) {
        for (u64 j = 0; j < n; ++j) {
            const float* ar = &a[i * n];
            const float* bc = &bt[j * n];
            float tile = 0.0f;
            for (u64 pc = 0; pc < n; pc += kb) {
                const u64 kcur = std::min(kb, n - pc);
                float running = 0.0f;
                for (u64 k0 = 0; k0 < kcur; k0 += 256) {
                    const u64 k1 = std::min<u64>(k0 + 256, kcur);
                    float chunk = 0.0f;
                    for (u64 k = k0; k < k1; ++k) chunk = std::fma(ar[pc + k], bc[pc + k], chunk);
                    running = k0 == 0 ? chunk : chunk + running;
                }
                tile = pc == 0 ? running : running + tile;
            }
            P[i * n + j] = tile;
        }
    }
}

::testing::AssertionResult same_bits(float x, float y) {
    std::uint32_t bx, by;
    std::memcpy(&bx, &x, 4);
    std::memcpy(&by, &y, 4);
    if (bx == by) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << x << " != " << y;
}

// Checks C == C0 + P bit for bit inside the block and the canary everywhere else.
void expect_result(const Block& C, const Block& C0, const std::vector<float>& P, int times,
                   const std::string& what) {
    const u64 n = C.n;
    u64 bad = 0, bad_pad = 0;
    for (u64 i = 0; i < n + 2; ++i) {
        for (u64 j = 0; j < C.ld; ++j) {
            const float got = C.buf[i * C.ld + j];
            if (i < n && j < n) {
                float want = C0.at(i, j);
                for (int t = 0; t < times; ++t) want = want + P[i * n + j];
                if (!same_bits(got, want) && bad++ < 5)
                    ADD_FAILURE() << what << " (" << i << "," << j << "): " << got << " vs "
                                  << want;
            } else if (!same_bits(got, kCanary) && bad_pad++ < 5) {
                ADD_FAILURE() << what << " padding (" << i << "," << j << ") written";
            }
        }
    }
    EXPECT_EQ(bad, 0u) << what;
    EXPECT_EQ(bad_pad, 0u) << what;
}

// Runs one product with a workspace offset by one float (not 64-byte aligned)
// and a guard zone after the stated workspace size.
void run_case(u64 n, const LeafPlan* plan, u64 seed, int calls = 1) {
    SCOPED_TRACE("n = " + std::to_string(n) +
                 (plan ? " kc=" + std::to_string(plan->kc) + " apf=" + std::to_string(plan->apf)
                       : std::string(" default")));
    std::mt19937 rng(static_cast<unsigned>(seed));
    Block A1(n, 3, rng, -1.0f, 1.0f), A2(n, 5, rng, -1.0f, 1.0f);
    Block B1(n, 7, rng, -1.0f, 1.0f), B2(n, 1, rng, -1.0f, 1.0f);
    Block C1(n, 11, rng, -4.0f, 4.0f), C2(n, 2, rng, -4.0f, 4.0f);
    const Block C1_0 = C1, C2_0 = C2;

    const u64 need = plan ? pan_adapter::pair_workspace_floats(n, *plan)
                          : pan_adapter::pair_workspace_floats_default(n);
    std::vector<float> ws(need + 1 + 256, kCanary);
    float* w = ws.data() + 1;
    for (int c = 0; c < calls; ++c) {
        if (plan)
            pan_adapter::pair_product_with_plan(n, A1.p(), A1.ld, A2.p(), A2.ld, B1.p(), B1.ld,
                                                B2.p(), B2.ld, C1.p(), C1.ld, C2.p(), C2.ld, w,
                                                *plan);
        else
            pan_adapter::pair_product(n, A1.p(), A1.ld, A2.p(), A2.ld, B1.p(), B1.ld, B2.p(),
                                      B2.ld, C1.p(), C1.ld, C2.p(), C2.ld, w);
    }
    for (u64 i = need + 1; i < ws.size(); ++i)
        ASSERT_TRUE(same_bits(ws[i], kCanary)) << "workspace overrun at " << i - 1;
    ASSERT_TRUE(same_bits(ws[0], kCanary)) << "workspace underrun";

    std::vector<float> P;
    scalar_model(n, plan ? plan->kc : 0, A1, A2, B1, B2, P);
    expect_result(C1, C1_0, P, calls, "C1");
    expect_result(C2, C2_0, P, calls, "C2");

    // Independent sanity check of the model itself against an FP64 product of
    // the rounded operand sums (float error bound of a length-n dot product).
    if (n <= 128) {
        for (u64 i = 0; i < n; ++i)
            for (u64 j = 0; j < n; ++j) {
                double exact = 0.0, mag = 0.0;
                for (u64 k = 0; k < n; ++k) {
                    const double x = static_cast<float>(A1.at(i, k) + A2.at(i, k));
                    const double y = static_cast<float>(B1.at(k, j) + B2.at(k, j));
                    exact += x * y;
                    mag += std::fabs(x * y);
                }
                ASSERT_NEAR(P[i * n + j], exact, 1.2e-7 * static_cast<double>(n + 1) * mag + 1e-30);
            }
    }
}

}  // namespace

TEST(PanKernel, DefaultPlanMatchesScalarModelBitForBit) {
    // 1: a single valid row and column; 7, 17, 100: ragged strips and panels;
    // 600: depth chunks of 256, 256 and 88 combined in order.
    u64 seed = 1;
    for (u64 n : {1u, 7u, 17u, 100u, 600u}) run_case(n, nullptr, seed++);
}

TEST(PanKernel, BlockedDepthAndPersistentAPanels) {
    // Depth blocks shorter than n go through the partial tiles; with apf and
    // several column blocks, A is packed only during the first column block.
    LeafPlan p;
    p.mc = 12;
    p.nc = 32;
    p.kc = 40;
    p.apf = 1;
    run_case(100, &p, 11);
    p.apf = 0;
    run_case(100, &p, 12);
    // Blocks long enough to hold several 256-step chunks, odd block sizes.
    LeafPlan q;
    q.mc = 13;
    q.nc = 40;
    q.kc = 290;
    q.apf = 1;
    run_case(600, &q, 13);
    // A last depth block of a single step.
    LeafPlan r;
    r.kc = 33;
    run_case(67, &r, 14);
    // Block sizes near 2^64 stand for the whole side instead of wrapping to 0.
    LeafPlan huge;
    huge.mc = ~u64{0};
    huge.nc = ~u64{0};
    run_case(37, &huge, 15);
}

TEST(PanKernel, RepeatedCallsAddAgain) {
    run_case(37, nullptr, 21, 2);
    LeafPlan p;
    p.kc = 10;
    p.apf = 1;
    p.nc = 16;
    run_case(37, &p, 22, 3);
}

TEST(PanKernel, EqualOutputsStayEqual) {
    std::mt19937 rng(5);
    const u64 n = 53;
    Block A1(n, 0, rng, -1, 1), A2(n, 0, rng, -1, 1), B1(n, 0, rng, -1, 1), B2(n, 0, rng, -1, 1);
    Block C1(n, 4, rng, -1, 1);
    Block C2 = C1;
    std::vector<float> ws(pan_adapter::pair_workspace_floats_default(n));
    pan_adapter::pair_product(n, A1.p(), n, A2.p(), n, B1.p(), n, B2.p(), n, C1.p(), C1.ld,
                              C2.p(), C2.ld, ws.data());
    EXPECT_EQ(0, std::memcmp(C1.buf.data(), C2.buf.data(), C1.buf.size() * sizeof(float)));
}

TEST(PanKernel, SideZeroDoesNothing) {
    float c1 = 1.5f, c2 = 2.5f;
    pan_adapter::pair_product(0, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, &c1, 0, &c2, 0,
                              nullptr);
    pan_adapter::pair_product_with_plan(0, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, &c1, 0,
                                        &c2, 0, nullptr, LeafPlan{});
    EXPECT_EQ(c1, 1.5f);
    EXPECT_EQ(c2, 2.5f);
}

TEST(PanKernel, TileKernelPartialTiles) {
    // A 2x3 edge tile over two depth passes: the first stores all 96 sums into
    // the partial tile, the second adds it and writes only the 2x3 corner.
    const u64 K = 9;
    alignas(64) float b[16 * (2 * K + 1)];
    float a[6 * 2 * K + 16];
    for (u64 k = 0; k < 2 * K; ++k) {
        for (u64 r = 0; r < 6; ++r) a[6 * k + r] = static_cast<float>(r + 1) * 0.5f;
        for (u64 c = 0; c < 16; ++c) b[16 * k + c] = static_cast<float>(c) + 0.25f * k;
    }
    alignas(64) float partial[96];
    for (float& v : partial) v = kCanary;
    float c1[4 * 20], c2[4 * 20];
    for (float& v : c1) v = kCanary;
    for (float& v : c2) v = kCanary;
    for (u64 i = 0; i < 2; ++i)
        for (u64 j = 0; j < 3; ++j) c1[(1 + i) * 20 + 2 + j] = c2[(1 + i) * 20 + 2 + j] = 0.0f;
    const pan_adapter::PairOutput out{c1, 20, c2, 20};

    pan_adapter::pair_tile_kernel(K, a, b, true, false, partial, out, 1, 2, 2, 3);
    for (u64 r = 0; r < 6; ++r)
        for (u64 c = 0; c < 16; ++c) {
            float want = 0.0f;
            for (u64 k = 0; k < K; ++k) want = std::fma(a[6 * k + r], b[16 * k + c], want);
            ASSERT_TRUE(same_bits(partial[16 * r + c], want)) << r << "," << c;
        }
    for (float v : c1) ASSERT_TRUE(v == kCanary || v == 0.0f);

    pan_adapter::pair_tile_kernel(K, a + 6 * K, b + 16 * K, false, true, partial, out, 1, 2, 2, 3);
    for (u64 i = 0; i < 4; ++i)
        for (u64 j = 0; j < 20; ++j) {
            const bool inside = i >= 1 && i < 3 && j >= 2 && j < 5;
            if (!inside) {
                ASSERT_TRUE(same_bits(c1[i * 20 + j], kCanary));
                ASSERT_TRUE(same_bits(c2[i * 20 + j], kCanary));
                continue;
            }
            const u64 r = i - 1, c = j - 2;
            float first = 0.0f, second = 0.0f;
            for (u64 k = 0; k < K; ++k) first = std::fma(a[6 * k + r], b[16 * k + c], first);
            for (u64 k = K; k < 2 * K; ++k) second = std::fma(a[6 * k + r], b[16 * k + c], second);
            const float want = 0.0f + (second + first);
            ASSERT_TRUE(same_bits(c1[i * 20 + j], want));
            ASSERT_TRUE(same_bits(c2[i * 20 + j], want));
        }
}
