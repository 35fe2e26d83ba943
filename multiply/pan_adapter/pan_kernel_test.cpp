#include "multiply/pan_adapter/pan_kernel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "multiply/pan_adapter/kernel_test_support.h"

using namespace kernel_test;
using pan_adapter::LeafPlan;

namespace {

constexpr float kCanary = -7777.25f;

// A row-major n x n block inside a larger buffer: leading dimension ld > n and
// two spare rows below it, all padding preset to `fill`. Outputs use -0.0, which
// even an added +0.0 (from the zero-padded panels) turns into +0.0.
using Block = Fenced<float>;
Block block(u64 n, u64 pad, std::mt19937& rng, float lo, float hi, float fill = kCanary) {
    Block b(n, pad, fill);
    std::uniform_real_distribution<float> d(lo, hi);
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j < n; ++j) b.at(i, j) = d(rng);
    return b;
}

// The stated order, one element at a time: operand sums rounded to float, a
// std::fma chain per 256-step chunk starting at 0, chunks added in increasing
// order, depth blocks of kc (chunks restart at each block) added in increasing
// order. Returns P; the caller adds it into each output by one float addition.
std::vector<float> scalar_model(u64 n, u64 kc, const Block& A1, const Block& A2, const Block& B1,
                                const Block& B2) {
    std::vector<float> a(n * n), bt(n * n), P(n * n);
    for (u64 i = 0; i < n; ++i)
        for (u64 k = 0; k < n; ++k) {
            a[i * n + k] = A1.at(i, k) + A2.at(i, k);
            bt[i * n + k] = B1.at(k, i) + B2.at(k, i);
        }
    const u64 kb = (kc == 0 || kc >= n) ? n : kc;
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j < n; ++j) {
            const float *ar = &a[i * n], *bc = &bt[j * n];
            float tile = 0.0f;
            for (u64 pc = 0; pc < n; pc += kb) {
                const u64 kcur = std::min(kb, n - pc);
                float running = 0.0f;
                for (u64 k0 = 0; k0 < kcur; k0 += 256) {
                    float chunk = 0.0f;
                    for (u64 k = k0; k < std::min<u64>(k0 + 256, kcur); ++k)
                        chunk = std::fma(ar[pc + k], bc[pc + k], chunk);
                    running = k0 == 0 ? chunk : chunk + running;
                }
                tile = pc == 0 ? running : running + tile;
            }
            P[i * n + j] = tile;
        }
    return P;
}

// Checks C == C0 + P (added `times` times) bit for bit inside the block and
// the untouched fill everywhere else.
void expect_result(const Block& C, Block C0, const std::vector<float>& P, int times, const char* what) {
    for (u64 i = 0; i < C.n; ++i)
        for (u64 j = 0; j < C.n; ++j)
            for (int t = 0; t < times; ++t) C0.at(i, j) = C0.at(i, j) + P[i * C.n + j];
    expect_identical(C, C0, what);
}

// Runs `calls` products with a workspace offset by one float (not 64-byte
// aligned) between guard zones, and checks both outputs against the model.
void run_case(u64 n, const LeafPlan* plan, u64 seed, int calls = 1) {
    SCOPED_TRACE("n = " + std::to_string(n) + (plan ? " kc = " + std::to_string(plan->kc) +
                                                          " apf = " + std::to_string(plan->apf)
                                                    : ""));
    std::mt19937 rng(static_cast<unsigned>(seed));
    Block A1 = block(n, 3, rng, -1.0f, 1.0f), A2 = block(n, 5, rng, -1.0f, 1.0f);
    Block B1 = block(n, 7, rng, -1.0f, 1.0f), B2 = block(n, 1, rng, -1.0f, 1.0f);
    Block C1 = block(n, 11, rng, -4.0f, 4.0f, -0.0f), C2 = block(n, 2, rng, -4.0f, 4.0f, -0.0f);
    const Block C1_0 = C1, C2_0 = C2;

    Workspace ws(plan ? pan_adapter::pair_workspace_floats(n, *plan) : pan_adapter::pair_workspace_floats_default(n));
    for (int c = 0; c < calls; ++c) {
        if (plan)
            pan_adapter::pair_product_with_plan(n, A1.p(), A1.ld, A2.p(), A2.ld, B1.p(), B1.ld, B2.p(), B2.ld, C1.p(),
                                                C1.ld, C2.p(), C2.ld, ws.data, *plan);
        else
            pan_adapter::pair_product(n, A1.p(), A1.ld, A2.p(), A2.ld, B1.p(), B1.ld, B2.p(), B2.ld, C1.p(), C1.ld,
                                      C2.p(), C2.ld, ws.data);
    }
    ws.expect_fence_intact();

    const std::vector<float> P = scalar_model(n, plan ? plan->kc : 0, A1, A2, B1, B2);
    expect_result(C1, C1_0, P, calls, "C1");
    expect_result(C2, C2_0, P, calls, "C2");
}

}  // namespace

TEST(PanKernel, DefaultPlanMatchesScalarModelBitForBit) {
    // 1: a single valid row and column; 7, 17, 100: ragged strips and panels;
    // 600: depth chunks of 256, 256 and 88 combined in order.
    u64 seed = 1;
    for (u64 n : {1u, 7u, 17u, 100u, 600u}) run_case(n, nullptr, seed++);
    run_case(37, nullptr, 21, 2);  // a second call adds again
    // Side 0 touches nothing, not even the (null) operands and workspace.
    float c1 = 1.5f, c2 = 2.5f;
    pan_adapter::pair_product(0, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, &c1, 0, &c2, 0,
                              nullptr);
    pan_adapter::pair_product_with_plan(0, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, &c1, 0,
                                        &c2, 0, nullptr, LeafPlan{});
    EXPECT_TRUE(c1 == 1.5f && c2 == 2.5f);
}

TEST(PanKernel, OverriddenPlansMatchScalarModelBitForBit) {
    // Depth blocks shorter than n go through the partial tiles; with apf and
    // several column blocks, A is packed only during the first column block.
    const struct {
        u64 n;
        LeafPlan plan;
        int calls;
    } cases[] = {
        {100, {12, 32, 40, 1}, 1},
        {100, {12, 32, 40, 0}, 1},
        {600, {13, 40, 290, 1}, 1},  // several 256-step chunks per depth block, odd sizes
        {67, {0, 0, 33, 0}, 1},      // a last depth block of a single step
        {37, {0, 16, 10, 1}, 3},     // repeated calls add again
        // Block sizes near 2^64 stand for the whole side instead of wrapping to 0.
        {37, {~u64{0}, ~u64{0}, 0, 0}, 1},
    };
    u64 seed = 11;
    for (const auto& c : cases) run_case(c.n, &c.plan, seed++, c.calls);
}
