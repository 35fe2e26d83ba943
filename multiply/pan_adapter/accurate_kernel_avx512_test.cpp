// The AVX-512F accurate tiles against the AVX2 accurate tiles: every output
// bit, canaries around the FP64 blocks included, on random and adversarial
// data, for every depth chunk, through accurate_pair_product and through the
// tile stage alone. The SIMDe build of the AVX-512 source runs everywhere; the
// native build only where the processor has usable AVX-512F.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "multiply/pan_adapter/accurate_kernel.h"
#include "multiply/pan_adapter/kernel_select_testing.h"
#include "multiply/pan_adapter/leaf_plan.h"
#include "multiply/pan_adapter/panel_pack.h"

using pan_adapter::AccurateTiles;
using pan_adapter::AccurateTilesFn;
using u64 = std::uint64_t;

namespace {

constexpr double kCanary = -7777.25;
constexpr float kFloatCanary = 1.0e30f;

float float_bits(std::uint32_t u) {
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

// Data kinds. Cancellation: magnitudes 2^-20..2^20 of both signs, and half of
// A2 is -A1 slightly perturbed, so operand sums, chunk sums and their FP64
// totals all cancel. Subnormal: products far below the float normal range, so
// the float chains run through gradual underflow. Overflow: products near
// 2^128, so float chunk sums overflow to infinities that meet in the FP64
// total. Special: infinities and the NaN that x86 arithmetic itself produces
// (inf - inf), in every fourth row of A and column of B; with it as the only
// NaN every NaN has the same bits, so NaN outputs compare by bits too.
// NaN payloads: two other NaNs as well, so NaNs of different bits meet.
enum class Data { random, cancellation, subnormal, overflow, special, nan_payloads };
constexpr Data kAllData[] = {Data::random,   Data::cancellation, Data::subnormal,
                             Data::overflow, Data::special,      Data::nan_payloads};

const char* name(Data d) {
    constexpr const char* names[] = {"random",   "cancellation", "subnormal",
                                     "overflow", "nan-inf",      "nan-payloads"};
    return names[static_cast<int>(d)];
}

struct Gen {
    Data d;
    std::mt19937 rng;
    float unit() { return std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng); }
    float binade(int lo, int hi) {
        const auto span = static_cast<unsigned>(hi - lo + 1);
        return std::ldexp(unit(), lo + static_cast<int>(rng() % span));
    }
    // An operand entry; `edge` marks the rows of A and columns of B that may
    // hold infinities and NaNs.
    float operand(bool edge) {
        switch (d) {
            case Data::random: return unit();
            case Data::cancellation: return binade(-20, 20);
            case Data::subnormal: return rng() % 8 == 0 ? binade(-130, -126) : binade(-68, -64);
            case Data::overflow: return binade(54, 64);
            case Data::special:
            case Data::nan_payloads: break;
        }
        const std::uint32_t r = rng() % 48;
        if (!edge || r > 3) return unit();
        if (r < 2) return r == 0 ? std::numeric_limits<float>::infinity()
                                 : -std::numeric_limits<float>::infinity();
        if (d == Data::special || r == 2) return float_bits(0xFFC00000u);
        return float_bits(rng() % 2 ? 0x7FC01234u : 0xFFC05678u);
    }
    // A starting value of D1: small enough for subnormal data that the low
    // bits of T show in D1 + T; NaNs and infinities in the special kinds.
    double output() {
        if (d == Data::subnormal) return std::ldexp(static_cast<double>(unit()), -130);
        if (d == Data::special || d == Data::nan_payloads) return operand(rng() % 8 == 0);
        return unit();
    }
};

// A row-major n x n float operand with leading dimension n + pad.
struct Operand {
    u64 ld;
    std::vector<float> buf;
    Operand(u64 n, u64 pad, Gen& g, bool rows_edge) : ld(n + pad), buf(ld * n, kFloatCanary) {
        for (u64 i = 0; i < n; ++i)
            for (u64 j = 0; j < n; ++j)
                buf[i * ld + j] = g.operand((rows_edge ? i : j) % 4 == 0);
    }
};

// An FP64 output of side n with leading dimension n + pad and two spare
// rows: D1 starts from data-dependent values, D2 from zeros (so it shows T
// itself); everything outside the block holds the canary.
struct Output {
    u64 n, ld;
    std::vector<double> buf;
    Output(u64 n_, u64 pad, Gen* g) : n(n_), ld(n_ + pad), buf(ld * (n_ + 2), kCanary) {
        for (u64 i = 0; i < n; ++i)
            for (u64 j = 0; j < n; ++j) buf[i * ld + j] = g ? g->output() : 0.0;
    }
};

struct Inputs {
    Operand A1, A2, B1, B2;
    Output D1, D2;
    Inputs(u64 n, Gen g)
        : A1(n, 3, g, true), A2(n, 5, g, true), B1(n, 7, g, false), B2(n, 1, g, false),
          D1(n, 11, &g), D2(n, 2, nullptr) {
        if (g.d != Data::cancellation) return;
        for (u64 i = 0; i < n; ++i)
            for (u64 j = 0; j < n; ++j)
                if ((i + j) % 2 == 0)
                    A2.buf[i * A2.ld + j] = -A1.buf[i * A1.ld + j] * (1.0f + 0x1p-12f);
    }
};

struct Case {
    u64 n;
    u64 subk;
    Data d;
    unsigned seed;
    int calls = 1;
    std::string label() const {
        return "n " + std::to_string(n) + " subk " + std::to_string(subk) + " " + name(d) +
               (calls > 1 ? " calls " + std::to_string(calls) : "");
    }
};

// accurate_pair_product `calls` times on fresh inputs with the given tile
// stage forced (nullptr: whatever the choice picks); the workspace starts one
// float past a 64-byte boundary and is fenced by canaries.
Inputs run(AccurateTilesFn tiles, const Case& c) {
    Inputs in(c.n, Gen{c.d, std::mt19937(c.seed)});
    pan_adapter::set_accurate_main_subk(c.subk);
    const u64 need = pan_adapter::pair_workspace_floats_default(c.n);
    std::vector<float> ws(need + 1 + 64, kFloatCanary);
    {
        kernel_select::ForcedKernel<AccurateTilesFn> force(pan_adapter::accurate_tiles_choice,
                                                           tiles);
        for (int k = 0; k < c.calls; ++k)
            pan_adapter::accurate_pair_product(c.n, in.A1.buf.data(), in.A1.ld, in.A2.buf.data(),
                                               in.A2.ld, in.B1.buf.data(), in.B1.ld,
                                               in.B2.buf.data(), in.B2.ld, in.D1.buf.data(),
                                               in.D1.ld, in.D2.buf.data(), in.D2.ld,
                                               ws.data() + 1);
    }
    u64 fence_hits = ws[0] != kFloatCanary;
    for (u64 i = need + 1; i < ws.size(); ++i) fence_hits += ws[i] != kFloatCanary;
    EXPECT_EQ(fence_hits, 0u) << "workspace written outside its " << need << " floats";
    return in;
}

// Every double of both buffers, bit for bit; the canaries also against their
// fill (a write there is a fault in both). With `any_nan`, a NaN matches any NaN.
void expect_identical(const Output& got, const Output& want, const char* what,
                      bool any_nan = false) {
    ASSERT_EQ(got.buf.size(), want.buf.size());
    u64 bad = 0, canaries = 0;
    for (u64 i = 0; i < got.buf.size(); ++i) {
        const double g = got.buf[i], w = want.buf[i];
        const bool same = std::memcmp(&g, &w, sizeof g) == 0 ||
                          (any_nan && std::isnan(g) && std::isnan(w));
        if (!same && bad++ < 5)
            ADD_FAILURE() << what << " (" << i / got.ld << "," << i % got.ld << "): " << g
                          << " vs " << w;
        const bool inside = i / got.ld < got.n && i % got.ld < got.n;
        if (!inside && std::memcmp(&g, &kCanary, sizeof g) != 0) ++canaries;
    }
    EXPECT_EQ(bad, 0u) << what;
    EXPECT_EQ(canaries, 0u) << what << ": canaries overwritten";
}

void compare_case(AccurateTilesFn variant, const Case& c) {
    SCOPED_TRACE(c.label());
    const Inputs want = run(&pan_adapter::accurate_tiles_avx2, c);
    const Inputs got = run(variant, c);
    // When NaNs of different bits meet, which one an instruction passes on is
    // the instruction form's choice (and the compiler's), not arithmetic.
    const bool any_nan = c.d == Data::nan_payloads;
    expect_identical(got.D1, want.D1, "D1", any_nan);
    expect_identical(got.D2, want.D2, "D2", any_nan);
}

// Every side 1..40 (all strip and panel remainders; two chunks of 32 from 33
// on), 63..65 and 100, 300 (ragged chunks of every length, row blocks of 48
// with a remainder), 1024 (two column blocks) and 1025 (three column blocks,
// A packed once for the whole block), then repeated calls adding again.
void compare_all(AccurateTilesFn variant) {
    unsigned seed = 1;
    for (u64 n = 1; n <= 40; ++n)
        for (Data d : kAllData) compare_case(variant, {n, 32, d, seed++});
    for (u64 n : {63u, 64u, 65u, 100u, 300u})
        for (u64 subk : {32u, 64u, 128u})
            for (Data d : kAllData) compare_case(variant, {n, subk, d, seed++});
    ASSERT_EQ(pan_adapter::leaf_plan_default(1024).apf, 0);
    ASSERT_NE(pan_adapter::leaf_plan_default(1025).apf, 0);
    compare_case(variant, {1024, 64, Data::cancellation, seed++});
    compare_case(variant, {1024, 32, Data::special, seed++});
    compare_case(variant, {1025, 128, Data::random, seed++});
    compare_case(variant, {37, 32, Data::cancellation, seed++, 3});
    compare_case(variant, {130, 64, Data::overflow, seed++, 2});
}

class AccurateKernelAvx512 : public ::testing::Test {
protected:
    void TearDown() override { pan_adapter::set_accurate_main_subk(64); }
};

}  // namespace

TEST_F(AccurateKernelAvx512, EmulatedBuildMatchesAvx2BitForBit) {
    compare_all(&pan_adapter::accurate_tiles_avx512_emulated);
}

TEST_F(AccurateKernelAvx512, NativeBuildMatchesAvx2BitForBit) {
    if (!kernel_select::avx512f_usable())
        GTEST_SKIP() << "this processor has no usable AVX-512F, so the native AVX-512 tiles "
                        "cannot run here (the emulated build of the same source is compared "
                        "instead)";
    compare_all(&pan_adapter::accurate_tiles_avx512);
}

TEST_F(AccurateKernelAvx512, TileStageAloneOnOtherBlockShapesAndChunkValues) {
    // Blocks the default plan does not produce (three strips by two panels,
    // one ragged strip by five panels, ...) placed inside larger outputs, and
    // a chunk value the setter refuses, which every stage runs as 64.
    std::vector<AccurateTilesFn> variants{&pan_adapter::accurate_tiles_avx512_emulated};
    if (kernel_select::avx512f_usable()) variants.push_back(&pan_adapter::accurate_tiles_avx512);
    const u64 depth = 150;
    const struct {
        u64 rows, cols;
    } shapes[] = {{18, 32}, {13, 80}, {30, 48}, {12, 17}, {7, 33}, {1, 1}};
    unsigned seed = 500;
    for (const auto& sh : shapes)
        for (u64 subk : {32u, 64u, 96u, 128u}) {
            SCOPED_TRACE("rows " + std::to_string(sh.rows) + " cols " + std::to_string(sh.cols) +
                         " subk " + std::to_string(subk));
            Gen g{Data::cancellation, std::mt19937(seed++)};
            const u64 side = depth;  // operands depth x depth; the block uses their corner
            const Operand A1(side, 0, g, true), A2(side, 1, g, true), B1(side, 2, g, false),
                B2(side, 0, g, false);
            const u64 a_panel = 6 * depth + 16, b_panel = 16 * (depth + 1);
            std::vector<float> ap(a_panel * ((sh.rows + 5) / 6) + 16);
            std::vector<float> bp(b_panel * ((sh.cols + 15) / 16) + 16);
            float* b_base = bp.data();
            while (reinterpret_cast<std::uintptr_t>(b_base) % 64 != 0) ++b_base;
            pan_adapter::pack_a_sum6(sh.rows, depth, A1.buf.data(), A1.ld, A2.buf.data(), A2.ld,
                                     ap.data(), a_panel);
            pan_adapter::pack_b_sum16(depth, sh.cols, B1.buf.data(), B1.ld, B2.buf.data(), B2.ld,
                                      b_base, b_panel);
            const auto stage = [&](AccurateTilesFn fn, u64 chunk, Output& D1, Output& D2) {
                const u64 at = 5;  // the block's first row and column inside D1 and D2
                fn({.depth = depth,
                    .subk = chunk,
                    .a = ap.data(),
                    .a_panel_floats = a_panel,
                    .b = b_base,
                    .b_panel_floats = b_panel,
                    .d1 = D1.buf.data() + at * D1.ld + at,
                    .ld_d1 = D1.ld,
                    .d2 = D2.buf.data() + at * D2.ld + at,
                    .ld_d2 = D2.ld,
                    .rows = sh.rows,
                    .cols = sh.cols});
            };
            // Outputs reaching past the block on every side; all of it must
            // match, so a write outside the block shows as a difference.
            Gen out_gen{Data::random, std::mt19937(seed++)};
            const u64 out_side = std::max(sh.rows, sh.cols) + 10;
            const Output d1_start(out_side, 3, &out_gen), d2_start(out_side, 40, nullptr);
            Output want1 = d1_start, want2 = d2_start;
            stage(&pan_adapter::accurate_tiles_avx2, subk, want1, want2);
            EXPECT_NE(want1.buf, d1_start.buf);  // the stage did write
            for (AccurateTilesFn v : variants) {
                Output got1 = d1_start, got2 = d2_start;
                stage(v, subk, got1, got2);
                EXPECT_EQ(std::memcmp(got1.buf.data(), want1.buf.data(), 8 * got1.buf.size()), 0);
                EXPECT_EQ(std::memcmp(got2.buf.data(), want2.buf.data(), 8 * got2.buf.size()), 0);
            }
            if (subk == 96) {
                Output as64_1 = d1_start, as64_2 = d2_start;
                stage(&pan_adapter::accurate_tiles_avx2, 64, as64_1, as64_2);
                EXPECT_EQ(std::memcmp(as64_1.buf.data(), want1.buf.data(), 8 * want1.buf.size()),
                          0);
            }
        }
}

TEST_F(AccurateKernelAvx512, DriverTakesTheProcessorsEntryUnlessForced) {
    const AccurateTilesFn natural = kernel_select::avx512f_usable()
                                        ? &pan_adapter::accurate_tiles_avx512
                                        : &pan_adapter::accurate_tiles_avx2;
    EXPECT_EQ(pan_adapter::accurate_tiles_choice.get(), natural);
    const Case c{100, 32, Data::cancellation, 77};
    const Inputs plain = run(nullptr, c);  // nothing forced
    const Inputs avx2 = run(&pan_adapter::accurate_tiles_avx2, c);
    expect_identical(plain.D1, avx2.D1, "unforced D1");
    expect_identical(plain.D2, avx2.D2, "unforced D2");
}
