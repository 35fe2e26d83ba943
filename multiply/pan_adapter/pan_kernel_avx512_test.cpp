// The AVX-512F pair tiles against the AVX2 pair tiles: every output bit,
// canaries around the blocks included, on random and adversarial data, under
// default and overridden plans, through pair_product and through the engine.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "common/cpus.h"
#include "multiply/pan_adapter/kernel_test_support.h"
#include "multiply/pan_adapter/kernel_select_testing.h"
#include "multiply/pan_adapter/pan_engine.h"
#include "multiply/pan_adapter/pan_kernel.h"

using namespace kernel_test;
using pan_adapter::LeafPlan;
using pan_adapter::PairTilesFn;
using Force = kernel_select::ForcedKernel<PairTilesFn>;

namespace {

constexpr float kCanary = -7777.25f;
constexpr Data kKinds[] = {Data::random, Data::cancellation, Data::subnormal, Data::special, Data::nan_payloads};

// Operands and outputs of one case, the same for every variant. In the
// cancellation data half of A2 is -A1 slightly perturbed, so the operand sums
// cancel too; subnormal outputs are small enough that P's low bits show in C + P.
struct Inputs {
    u64 n;
    Fenced<float> A1, A2, B1, B2, C1, C2;
    Inputs(u64 n_, Data d, unsigned seed)
        : n(n_), A1(n, 3, kCanary), A2(n, 5, kCanary), B1(n, 7, kCanary), B2(n, 1, kCanary), C1(n, 11, kCanary),
          C2(n, 2, kCanary) {
        std::mt19937 rng(seed);
        for (u64 i = 0; i < n; ++i)
            for (u64 j = 0; j < n; ++j) {
                A1.at(i, j) = value(d, rng, i % 4 == 0);
                A2.at(i, j) = value(d, rng, i % 4 == 0);
                B1.at(i, j) = value(d, rng, j % 4 == 0);
                B2.at(i, j) = value(d, rng, j % 4 == 0);
                C1.at(i, j) = value(d, rng, true) * (d == Data::subnormal ? 0x1p-64f : 1.0f);
                C2.at(i, j) = value(d, rng, true) * (d == Data::subnormal ? 0x1p-64f : 1.0f);
                if (d == Data::cancellation && (i + j) % 2 == 0) A2.at(i, j) = -A1.at(i, j) * (1.0f + 0x1p-12f);
            }
    }
};

// pair_product (or the plan entry) `calls` times on fresh inputs with the
// given tile entry forced (nullptr: the run-time choice).
std::pair<Fenced<float>, Fenced<float>> run(PairTilesFn tiles, u64 n, const LeafPlan* plan, Data d,
                                             unsigned seed, int calls) {
    Inputs in(n, d, seed);
    Workspace ws(plan ? pan_adapter::pair_workspace_floats(n, *plan) : pan_adapter::pair_workspace_floats_default(n));
    {
        Force force(pan_adapter::pair_tiles_choice, tiles);
        for (int c = 0; c < calls; ++c) {
            if (plan)
                pan_adapter::pair_product_with_plan(n, in.A1.p(), in.A1.ld, in.A2.p(), in.A2.ld, in.B1.p(), in.B1.ld,
                                                    in.B2.p(), in.B2.ld, in.C1.p(), in.C1.ld, in.C2.p(), in.C2.ld,
                                                    ws.data, *plan);
            else
                pan_adapter::pair_product(n, in.A1.p(), in.A1.ld, in.A2.p(), in.A2.ld, in.B1.p(), in.B1.ld, in.B2.p(),
                                          in.B2.ld, in.C1.p(), in.C1.ld, in.C2.p(), in.C2.ld, ws.data);
        }
    }
    ws.expect_fence_intact();
    return {std::move(in.C1), std::move(in.C2)};
}

void compare_case(PairTilesFn variant, u64 n, const LeafPlan* plan, Data d, unsigned seed, int calls = 1) {
    SCOPED_TRACE(label(n, d, plan, calls));
    const auto want = run(&pan_adapter::pair_tiles_avx2, n, plan, d, seed, calls);
    const auto got = run(variant, n, plan, d, seed, calls);
    expect_identical(got.first, want.first, "C1", d == Data::nan_payloads);
    expect_identical(got.second, want.second, "C2", d == Data::nan_payloads);
}

// Default plans: every side 1..40 (all strip and panel remainders, single
// tiles), 63..65 around a power of two, 100 and 300 (a 256-step chunk plus a
// tail), 1024 (four chunks, two column blocks); then the blocking plans.
void compare_all(PairTilesFn variant) {
    unsigned seed = 1;
    for (u64 n = 1; n <= 40; ++n)
        for (Data d : kKinds) compare_case(variant, n, nullptr, d, seed++);
    for (u64 n : {63u, 64u, 65u, 100u, 300u})
        for (Data d : kKinds) compare_case(variant, n, nullptr, d, seed++);
    compare_case(variant, 1024, nullptr, Data::random, seed++);
    compare_case(variant, 1024, nullptr, Data::special, seed++);
    compare_case(variant, 37, nullptr, Data::random, seed++, 2);  // adds again
    for (const PlanCase& c : kPlans)
        for (Data d : kKinds) compare_case(variant, c.n, &c.plan, d, seed++);
    compare_case(variant, 37, &kPlans[0].plan, Data::random, seed++, 3);
}

}  // namespace

TEST(PanKernelAvx512, EmulatedBuildMatchesAvx2BitForBit) { compare_all(&pan_adapter::pair_tiles_avx512_emulated); }

TEST(PanKernelAvx512, NativeBuildMatchesAvx2BitForBit) {
    KORVANE_SKIP_WITHOUT_AVX512F();
    compare_all(&pan_adapter::pair_tiles_avx512);
}

TEST(PanKernelAvx512, SelectionAndEngineGiveTheSameProducts) {
    // Unforced, the driver runs the AVX-512F tiles exactly where they can run.
    EXPECT_EQ(pan_adapter::pair_tiles_choice.get(),
              kernel_select::avx512f_usable() ? &pan_adapter::pair_tiles_avx512 : &pan_adapter::pair_tiles_avx2);
    expect_identical(run(nullptr, 100, nullptr, Data::random, 99, 1).first,
                     run(&pan_adapter::pair_tiles_avx2, 100, nullptr, Data::random, 99, 1).first, "unforced C1");

    // The Pan engine (aggregated products in the pair kernel, corrections
    // through BLAS) with each tile entry forced, on one worker: with more, the
    // order in which blocks are added into C changes from run to run.
    std::vector<PairTilesFn> variants =
        avx512_entries(&pan_adapter::pair_tiles_avx512_emulated, &pan_adapter::pair_tiles_avx512);
    variants.insert(variants.begin(), &pan_adapter::pair_tiles_avx2);
    pan_adapter::init_pool(1, usable_cpus().front());
    for (const auto& [s, leaf] : {std::pair<u64, u64>{256, 128}, std::pair<u64, u64>{300, 100}}) {
        SCOPED_TRACE("side " + std::to_string(s) + " leaf " + std::to_string(leaf));
        pan_adapter::prepare(s, leaf);
        std::mt19937 rng(static_cast<unsigned>(s));
        std::vector<float> A(s * s), B(s * s), A2(s * s), B2(s * s);
        for (auto* m : {&A, &B, &A2, &B2})
            for (float& f : *m) f = value(Data::cancellation, rng);
        std::vector<std::vector<float>> results;
        for (PairTilesFn v : variants) {
            std::vector<float> C(s * s, kCanary), C2(s * s, kCanary);
            Force force(pan_adapter::pair_tiles_choice, v);
            pan_adapter::run_pair({A.data(), s}, {B.data(), s}, false, {A2.data(), s}, {B2.data(), s}, {C.data(), s},
                                  {C2.data(), s});
            C.insert(C.end(), C2.begin(), C2.end());
            results.push_back(std::move(C));
        }
        for (std::size_t v = 1; v < results.size(); ++v)
            EXPECT_EQ(std::memcmp(results[v].data(), results[0].data(), results[0].size() * sizeof(float)), 0)
                << "variant " << v << " differs from the AVX2 tiles";
    }
    pan_adapter::shutdown();
}
