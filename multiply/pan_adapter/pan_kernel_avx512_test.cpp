// The AVX-512F pair tiles against the AVX2 pair tiles: every output bit,
// canaries around the blocks included, on random and adversarial data, under
// default and overridden plans, through pair_product and through the engine.
// The SIMDe build of the AVX-512 source runs everywhere; the native build
// only where the processor has usable AVX-512F.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <utility>
#include <string>
#include <vector>

#include "common/cpus.h"
#include "multiply/pan_adapter/kernel_select_testing.h"
#include "multiply/pan_adapter/pan_engine.h"
#include "multiply/pan_adapter/pan_kernel.h"

using pan_adapter::LeafPlan;
using pan_adapter::PairTilesFn;
using u64 = std::uint64_t;
using Force = kernel_select::ForcedKernel<PairTilesFn>;

namespace {

constexpr float kCanary = -7777.25f;
// The NaN that x86 arithmetic itself produces (inf - inf, 0 * inf). With it as
// the only NaN in the data every NaN is this one, so NaN outputs compare by
// their bits too: which of two different NaN operands an instruction passes on
// depends on the instruction form the compiler picks, not on the arithmetic.
const float kNaN = [] {
    const std::uint32_t u = 0xFFC00000u;
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}();
constexpr float kInf = std::numeric_limits<float>::infinity();

enum class Data { random, cancellation, subnormal, special, nan_payloads };
const char* name(Data d) {
    switch (d) {
        case Data::random: return "random";
        case Data::cancellation: return "cancellation";
        case Data::subnormal: return "subnormal";
        case Data::special: return "nan-inf";
        case Data::nan_payloads: return "nan-payloads";
    }
    return "?";
}

// One value of the chosen kind. Cancellation: magnitudes 2^-20..2^20 of both
// signs, so chunk sums and operand sums lose many bits to cancellation.
// Subnormal: products (and some entries) below the normal range. Special:
// infinities and the hardware's NaN; NaN payloads: infinities and two other
// NaNs, so results may meet NaNs of different bits.
float value(Data d, std::mt19937& rng) {
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    switch (d) {
        case Data::random:
            return u(rng);
        case Data::cancellation:
            return std::ldexp(u(rng), static_cast<int>(rng() % 41) - 20);
        case Data::subnormal:
            return rng() % 8 == 0 ? std::ldexp(u(rng), -130) : std::ldexp(u(rng), -66);
        case Data::special: {
            const std::uint32_t r = rng() % 64;
            return r == 0 ? kInf : r == 1 ? -kInf : r == 2 ? kNaN : u(rng);
        }
        case Data::nan_payloads: {
            const std::uint32_t r = rng() % 64;
            const std::uint32_t payload = r == 2 ? 0x7FC00000u : 0x7FC01234u;
            float f;
            std::memcpy(&f, &payload, sizeof f);
            return r == 0 ? kInf : r == 1 ? -kInf : r <= 3 ? f : u(rng);
        }
    }
    return 0.0f;
}

// A row-major n x n block in a buffer with leading dimension n + pad and two
// spare rows; everything outside the block holds the canary.
struct Block {
    u64 n, ld;
    std::vector<float> buf;
    Block(u64 n_, u64 pad, Data d, std::mt19937& rng) : n(n_), ld(n_ + pad) {
        buf.assign(ld * (n + 2), kCanary);
        for (u64 i = 0; i < n; ++i)
            for (u64 j = 0; j < n; ++j) buf[i * ld + j] = value(d, rng);
    }
    float* p() { return buf.data(); }
};

// Operands and outputs of one case, the same for every variant. In the
// cancellation data half of A2 is -A1 slightly perturbed, so the operand sums
// cancel too.
struct Inputs {
    Block A1, A2, B1, B2, C1, C2;
    Inputs(u64 n, Data d, unsigned seed)
        : Inputs(n, d, std::mt19937(seed)) {}

private:
    Inputs(u64 n, Data d, std::mt19937 rng)
        : A1(n, 3, d, rng), A2(n, 5, d, rng), B1(n, 7, d, rng), B2(n, 1, d, rng),
          C1(n, 11, d, rng), C2(n, 2, d, rng) {
        if (d == Data::subnormal)  // outputs small enough that P's low bits show in C + P
            for (Block* c : {&C1, &C2})
                for (u64 i = 0; i < n; ++i)
                    for (u64 j = 0; j < n; ++j) c->buf[i * c->ld + j] *= 0x1p-64f;
        if (d == Data::special || d == Data::nan_payloads) {
            // Infinities and NaNs only in every fourth row of A and column of
            // B, so most of P stays finite and shows every rounding.
            for (u64 i = 0; i < n; ++i)
                for (u64 j = 0; j < n; ++j) {
                    for (Block* a : {&A1, &A2})
                        if (i % 4 != 0 && !std::isfinite(a->buf[i * a->ld + j]))
                            a->buf[i * a->ld + j] = 0.5f;
                    for (Block* b : {&B1, &B2})
                        if (j % 4 != 0 && !std::isfinite(b->buf[i * b->ld + j]))
                            b->buf[i * b->ld + j] = -0.25f;
                }
        }
        if (d != Data::cancellation) return;
        for (u64 i = 0; i < n; ++i)
            for (u64 j = 0; j < n; ++j)
                if ((i + j) % 2 == 0)
                    A2.buf[i * A2.ld + j] = -A1.buf[i * A1.ld + j] * (1.0f + 0x1p-12f);
    }
};

struct Outputs {
    std::vector<float> c1, c2;
};

// pair_product (or the plan entry) `calls` times on fresh copies of the
// inputs with the given tile entry forced; the workspace starts one float past
// a 64-byte boundary and is fenced by canaries.
Outputs run(PairTilesFn tiles, u64 n, const LeafPlan* plan, Data d, unsigned seed, int calls) {
    Inputs in(n, d, seed);
    const u64 need = plan ? pan_adapter::pair_workspace_floats(n, *plan)
                          : pan_adapter::pair_workspace_floats_default(n);
    std::vector<float> ws(need + 1 + 64, kCanary);
    {
        Force force(pan_adapter::pair_tiles_choice, tiles);
        for (int c = 0; c < calls; ++c) {
            if (plan)
                pan_adapter::pair_product_with_plan(
                    n, in.A1.p(), in.A1.ld, in.A2.p(), in.A2.ld, in.B1.p(), in.B1.ld, in.B2.p(),
                    in.B2.ld, in.C1.p(), in.C1.ld, in.C2.p(), in.C2.ld, ws.data() + 1, *plan);
            else
                pan_adapter::pair_product(n, in.A1.p(), in.A1.ld, in.A2.p(), in.A2.ld, in.B1.p(),
                                          in.B1.ld, in.B2.p(), in.B2.ld, in.C1.p(), in.C1.ld,
                                          in.C2.p(), in.C2.ld, ws.data() + 1);
        }
    }
    u64 fence_hits = 0;
    if (std::memcmp(&ws[0], &kCanary, sizeof kCanary) != 0) ++fence_hits;
    for (u64 i = need + 1; i < ws.size(); ++i)
        if (std::memcmp(&ws[i], &kCanary, sizeof kCanary) != 0) ++fence_hits;
    EXPECT_EQ(fence_hits, 0u) << "workspace written outside its " << need << " floats";
    return {in.C1.buf, in.C2.buf};
}

// Every float of both output buffers, canaries included, bit for bit; the
// canaries also against their fill (a write there is a fault in both). With
// `any_nan`, a NaN matches any NaN.
void expect_identical(const std::vector<float>& got, const std::vector<float>& want, u64 n,
                      u64 ld, const char* what, bool any_nan = false) {
    ASSERT_EQ(got.size(), want.size());
    u64 bad = 0, canaries = 0;
    for (u64 i = 0; i < got.size(); ++i) {
        const bool same = std::memcmp(&got[i], &want[i], sizeof(float)) == 0 ||
                          (any_nan && std::isnan(got[i]) && std::isnan(want[i]));
        if (!same && bad++ < 5)
            ADD_FAILURE() << what << " (" << i / ld << "," << i % ld << "): " << got[i] << " vs "
                          << want[i];
        const bool inside = i / ld < n && i % ld < n;
        if (!inside && std::memcmp(&got[i], &kCanary, sizeof kCanary) != 0) ++canaries;
    }
    EXPECT_EQ(bad, 0u) << what;
    EXPECT_EQ(canaries, 0u) << what << ": canaries overwritten";
}

void compare_case(PairTilesFn variant, u64 n, const LeafPlan* plan, Data d, unsigned seed,
                  int calls = 1) {
    SCOPED_TRACE("n = " + std::to_string(n) + " " + name(d) +
                 (plan ? " mc " + std::to_string(plan->mc) + " nc " + std::to_string(plan->nc) +
                             " kc " + std::to_string(plan->kc) +
                             " apf " + std::to_string(plan->apf)
                       : "") +
                 (calls > 1 ? " calls " + std::to_string(calls) : ""));
    const Outputs want = run(&pan_adapter::pair_tiles_avx2, n, plan, d, seed, calls);
    const Outputs got = run(variant, n, plan, d, seed, calls);
    // When NaNs of different bits meet, which one an instruction passes on is
    // the instruction form's choice (and the compiler's), not arithmetic.
    const bool any_nan = d == Data::nan_payloads;
    expect_identical(got.c1, want.c1, n, n + 11, "C1", any_nan);
    expect_identical(got.c2, want.c2, n, n + 2, "C2", any_nan);
}

// Default plans: every side 1..40 (all strip and panel remainders, single
// tiles), 63..65 around a power of two, 100 and 300 (a 256-step chunk plus a
// tail), 1024 (four chunks, two column blocks); then plans that block the
// depth, leave odd strip and panel counts, and keep all A panels packed.
void compare_all(PairTilesFn variant) {
    const Data kinds[] = {Data::random, Data::cancellation, Data::subnormal, Data::special,
                          Data::nan_payloads};
    unsigned seed = 1;
    for (u64 n = 1; n <= 40; ++n)
        for (Data d : kinds) compare_case(variant, n, nullptr, d, seed++);
    for (u64 n : {63u, 64u, 65u, 100u, 300u})
        for (Data d : kinds) compare_case(variant, n, nullptr, d, seed++);
    compare_case(variant, 1024, nullptr, Data::random, seed++);
    compare_case(variant, 1024, nullptr, Data::special, seed++);
    compare_case(variant, 37, nullptr, Data::random, seed++, 2);  // adds again

    const struct {
        u64 n;
        LeafPlan plan;
    } plans[] = {
        {100, {18, 48, 40, 1}},  // 3 strips, 3 panels, depth blocks 40, 40, 20
        {100, {12, 32, 40, 0}},
        {300, {30, 80, 290, 1}},  // 5 strips, 5 panels, a 290-step block: chunks 256 + 34
        {600, {48, 64, 300, 1}},  // two depth blocks of two chunks each
        {67, {0, 0, 33, 0}},      // last depth block of one step
        {65, {6, 16, 64, 1}},     // one strip, one panel per block
        {40, {0, 0, 39, 1}},
    };
    for (const auto& c : plans)
        for (Data d : kinds) compare_case(variant, c.n, &c.plan, d, seed++);
    compare_case(variant, 37, &plans[0].plan, Data::random, seed++, 3);
}

}  // namespace

TEST(PanKernelAvx512, EmulatedBuildMatchesAvx2BitForBit) {
    compare_all(&pan_adapter::pair_tiles_avx512_emulated);
}

TEST(PanKernelAvx512, NativeBuildMatchesAvx2BitForBit) {
    if (!kernel_select::avx512f_usable())
        GTEST_SKIP() << "this processor has no usable AVX-512F, so the native AVX-512 tiles "
                        "cannot run here (the emulated build of the same source is compared "
                        "instead)";
    compare_all(&pan_adapter::pair_tiles_avx512);
}

TEST(PanKernelAvx512, SelectionAndEngineGiveTheSameProducts) {
    // Unforced, the driver runs the AVX-512F tiles exactly where they can run.
    const PairTilesFn natural = kernel_select::avx512f_usable() ? &pan_adapter::pair_tiles_avx512
                                                                : &pan_adapter::pair_tiles_avx2;
    EXPECT_EQ(pan_adapter::pair_tiles_choice.get(), natural);
    const Outputs plain = run(nullptr, 100, nullptr, Data::random, 99, 1);  // nothing forced
    const Outputs avx2 = run(&pan_adapter::pair_tiles_avx2, 100, nullptr, Data::random, 99, 1);
    expect_identical(plain.c1, avx2.c1, 100, 111, "unforced C1");

    // The Pan engine (aggregated products in the pair kernel, corrections
    // through BLAS) with each tile entry forced, on one worker: with more, the
    // order in which blocks are added into C changes from run to run.
    std::vector<PairTilesFn> variants{&pan_adapter::pair_tiles_avx2,
                                      &pan_adapter::pair_tiles_avx512_emulated};
    if (kernel_select::avx512f_usable()) variants.push_back(&pan_adapter::pair_tiles_avx512);
    pan_adapter::init_pool(1, usable_cpus().front());
    for (const auto& z : {std::pair<u64, u64>{256, 128}, std::pair<u64, u64>{300, 100}}) {
        const u64 s = z.first;
        SCOPED_TRACE("side " + std::to_string(s) + " leaf " + std::to_string(z.second));
        pan_adapter::prepare(s, z.second);
        std::mt19937 rng(static_cast<unsigned>(s));
        std::vector<float> A(s * s), B(s * s), A2(s * s), B2(s * s);
        for (auto* m : {&A, &B, &A2, &B2})
            for (float& f : *m) f = value(Data::cancellation, rng);
        std::vector<std::vector<float>> results;
        for (PairTilesFn v : variants) {
            std::vector<float> C(s * s, kCanary), C2(s * s, kCanary);
            Force force(pan_adapter::pair_tiles_choice, v);
            pan_adapter::run_pair({A.data(), s}, {B.data(), s}, false, {A2.data(), s},
                                  {B2.data(), s}, {C.data(), s}, {C2.data(), s});
            C.insert(C.end(), C2.begin(), C2.end());
            results.push_back(std::move(C));
        }
        for (std::size_t v = 1; v < results.size(); ++v)
            EXPECT_EQ(std::memcmp(results[v].data(), results[0].data(),
                                  results[0].size() * sizeof(float)),
                      0)
                << "variant " << v << " differs from the AVX2 tiles";
    }
    pan_adapter::shutdown();
}
