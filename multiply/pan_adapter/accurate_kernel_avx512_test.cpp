// The AVX-512F accurate tiles against the AVX2 accurate tiles: every output
// bit, canaries around the FP64 blocks included, on random and adversarial
// data, for every depth chunk, through accurate_pair_product and through the
// tile stage alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "multiply/pan_adapter/accurate_kernel.h"
#include "multiply/pan_adapter/kernel_test_support.h"
#include "multiply/pan_adapter/kernel_select_testing.h"
#include "multiply/pan_adapter/leaf_plan.h"
#include "multiply/pan_adapter/panel_pack.h"

using namespace kernel_test;
using pan_adapter::AccurateTilesFn;

namespace {

constexpr double kCanary = -7777.25;
constexpr float kFloatCanary = 1.0e30f;
constexpr Data kAllData[] = {Data::random,   Data::cancellation, Data::subnormal,
                             Data::overflow, Data::special,      Data::nan_payloads};

// A float operand; infinities and NaNs only in every fourth row (A) or
// column (B).
Fenced<float> operand(u64 n, u64 pad, Data d, std::mt19937& rng, bool rows_edge) {
    Fenced<float> x(n, pad, kFloatCanary);
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j < n; ++j) x.at(i, j) = value(d, rng, (rows_edge ? i : j) % 4 == 0);
    return x;
}

// An FP64 output: from data-dependent values (subnormal data: small enough
// that the low bits of T show in D1 + T), or from zeros (so it shows T itself).
Fenced<double> output(u64 n, u64 pad, Data d, std::mt19937* rng) {
    Fenced<double> x(n, pad, kCanary);
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j < n; ++j)
            x.at(i, j) = !rng ? 0.0
                         : d == Data::subnormal
                             ? std::ldexp(static_cast<double>(value(Data::random, *rng)), -130)
                             : value(d, *rng, (*rng)() % 8 == 0);
    return x;
}

struct Inputs {
    Fenced<float> A1, A2, B1, B2;
    Fenced<double> D1, D2;
    Inputs(u64 n, Data d, std::mt19937 rng)
        : A1(operand(n, 3, d, rng, true)), A2(operand(n, 5, d, rng, true)), B1(operand(n, 7, d, rng, false)),
          B2(operand(n, 1, d, rng, false)), D1(output(n, 11, d, &rng)), D2(output(n, 2, d, nullptr)) {
        if (d != Data::cancellation) return;
        for (u64 i = 0; i < n; ++i)
            for (u64 j = 0; j < n; ++j)
                if ((i + j) % 2 == 0) A2.at(i, j) = -A1.at(i, j) * (1.0f + 0x1p-12f);
    }
};

struct Case {
    u64 n;
    u64 subk;
    Data d;
    unsigned seed;
    int calls = 1;
};

// accurate_pair_product `calls` times on fresh inputs with the given tile
// stage forced (nullptr: whatever the choice picks).
Inputs run(AccurateTilesFn tiles, const Case& c) {
    Inputs in(c.n, c.d, std::mt19937(c.seed));
    pan_adapter::set_accurate_main_subk(c.subk);
    Workspace ws(pan_adapter::pair_workspace_floats_default(c.n));
    {
        kernel_select::ForcedKernel<AccurateTilesFn> force(pan_adapter::accurate_tiles_choice, tiles);
        for (int k = 0; k < c.calls; ++k)
            pan_adapter::accurate_pair_product(c.n, in.A1.p(), in.A1.ld, in.A2.p(), in.A2.ld, in.B1.p(), in.B1.ld,
                                               in.B2.p(), in.B2.ld, in.D1.p(), in.D1.ld, in.D2.p(), in.D2.ld, ws.data);
    }
    ws.expect_fence_intact();
    return in;
}

void compare_case(AccurateTilesFn variant, const Case& c) {
    SCOPED_TRACE(label(c.n, c.d, nullptr, c.calls) + " subk " + std::to_string(c.subk));
    const Inputs want = run(&pan_adapter::accurate_tiles_avx2, c);
    const Inputs got = run(variant, c);
    expect_identical(got.D1, want.D1, "D1", c.d == Data::nan_payloads);
    expect_identical(got.D2, want.D2, "D2", c.d == Data::nan_payloads);
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
    KORVANE_SKIP_WITHOUT_AVX512F();
    compare_all(&pan_adapter::accurate_tiles_avx512);
}

TEST_F(AccurateKernelAvx512, TileStageAloneOnOtherBlockShapesAndChunkValues) {
    // Blocks the default plan does not produce (three strips by two panels,
    // one ragged strip by five panels, ...) placed inside larger outputs, and
    // a chunk value the setter refuses, which every stage runs as 64.
    const auto variants = avx512_entries(&pan_adapter::accurate_tiles_avx512_emulated,
                                         &pan_adapter::accurate_tiles_avx512);
    const u64 depth = 150;
    const struct {
        u64 rows, cols;
    } shapes[] = {{18, 32}, {13, 80}, {30, 48}, {12, 17}, {7, 33}, {1, 1}};
    unsigned seed = 500;
    for (const auto& sh : shapes)
        for (u64 subk : {32u, 64u, 96u, 128u}) {
            SCOPED_TRACE("rows " + std::to_string(sh.rows) + " cols " + std::to_string(sh.cols) + " subk " +
                         std::to_string(subk));
            std::mt19937 rng(seed++);
            // Operands depth x depth; the block uses their corner.
            Fenced<float> A1 = operand(depth, 0, Data::cancellation, rng, true),
                          A2 = operand(depth, 1, Data::cancellation, rng, true),
                          B1 = operand(depth, 2, Data::cancellation, rng, false),
                          B2 = operand(depth, 0, Data::cancellation, rng, false);
            const u64 a_panel = 6 * depth + 16, b_panel = 16 * (depth + 1);
            std::vector<float> ap(a_panel * ((sh.rows + 5) / 6) + 16);
            std::vector<float> bp(b_panel * ((sh.cols + 15) / 16) + 16);
            float* b_base = bp.data();
            while (reinterpret_cast<std::uintptr_t>(b_base) % 64 != 0) ++b_base;
            pan_adapter::pack_a_sum6(sh.rows, depth, A1.p(), A1.ld, A2.p(), A2.ld, ap.data(), a_panel);
            pan_adapter::pack_b_sum16(depth, sh.cols, B1.p(), B1.ld, B2.p(), B2.ld, b_base, b_panel);
            const auto stage = [&](AccurateTilesFn fn, u64 chunk, Fenced<double>& D1, Fenced<double>& D2) {
                const u64 at = 5;  // the block's first row and column inside D1 and D2
                fn({.depth = depth,
                    .subk = chunk,
                    .a = ap.data(),
                    .a_panel_floats = a_panel,
                    .b = b_base,
                    .b_panel_floats = b_panel,
                    .d1 = D1.p() + at * D1.ld + at,
                    .ld_d1 = D1.ld,
                    .d2 = D2.p() + at * D2.ld + at,
                    .ld_d2 = D2.ld,
                    .rows = sh.rows,
                    .cols = sh.cols});
            };
            // Outputs reaching past the block on every side; all of it must
            // match, so a write outside the block shows as a difference.
            std::mt19937 out_rng(seed++);
            const u64 out_side = std::max(sh.rows, sh.cols) + 10;
            const Fenced<double> d1_start = output(out_side, 3, Data::random, &out_rng),
                                 d2_start = output(out_side, 40, Data::random, nullptr);
            Fenced<double> want1 = d1_start, want2 = d2_start;
            stage(&pan_adapter::accurate_tiles_avx2, subk, want1, want2);
            EXPECT_NE(want1.buf, d1_start.buf);  // the stage did write
            for (AccurateTilesFn v : variants) {
                Fenced<double> got1 = d1_start, got2 = d2_start;
                stage(v, subk, got1, got2);
                EXPECT_EQ(std::memcmp(got1.p(), want1.p(), 8 * got1.buf.size()), 0);
                EXPECT_EQ(std::memcmp(got2.p(), want2.p(), 8 * got2.buf.size()), 0);
            }
            if (subk == 96) {
                Fenced<double> as64_1 = d1_start, as64_2 = d2_start;
                stage(&pan_adapter::accurate_tiles_avx2, 64, as64_1, as64_2);
                EXPECT_EQ(std::memcmp(as64_1.p(), want1.p(), 8 * want1.buf.size()), 0);
            }
        }
}

TEST_F(AccurateKernelAvx512, DriverTakesTheProcessorsEntryUnlessForced) {
    EXPECT_EQ(pan_adapter::accurate_tiles_choice.get(), kernel_select::avx512f_usable()
                                                            ? &pan_adapter::accurate_tiles_avx512
                                                            : &pan_adapter::accurate_tiles_avx2);
    const Case c{100, 32, Data::cancellation, 77};
    const Inputs plain = run(nullptr, c);  // nothing forced
    const Inputs avx2 = run(&pan_adapter::accurate_tiles_avx2, c);
    expect_identical(plain.D1, avx2.D1, "unforced D1");
    expect_identical(plain.D2, avx2.D2, "unforced D2");
}
