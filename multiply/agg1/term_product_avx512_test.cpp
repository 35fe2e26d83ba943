// The AVX-512F term-product tiles against the AVX2 tiles: every output bit,
// canaries around the blocks included, for one to eight terms per side, output
// terms of every kind (two of them on one block), on random and adversarial
// data, under default and overridden plans, through term_product and through
// the agg1 engine. The SIMDe build of the AVX-512 source runs everywhere; the
// native build only where the processor has usable AVX-512F.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "multiply/agg1/agg1.h"
#include "multiply/agg1/term_product.h"
#include "multiply/agg1/test_support.h"
#include "multiply/pan_adapter/kernel_select_testing.h"

using agg1::LeafPlan;
using agg1::TermTilesFn;
using agg1::TermView;
using u64 = std::uint64_t;
using Force = kernel_select::ForcedKernel<TermTilesFn>;

namespace {

constexpr float kCanary = 8191.75f;

float from_bits(std::uint32_t u) {
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}
// The NaN that x86 arithmetic itself produces (inf - inf, 0 * inf). As the
// only NaN in the data it makes every NaN result this one, so NaNs compare by
// their bits too.
const float kDefaultNaN = from_bits(0xFFC00000u);
constexpr float kInf = std::numeric_limits<float>::infinity();

// random: uniform in [-1, 1]. cancellation: magnitudes 2^-20..2^20 of both
// signs, and the second operand term nearly the negated first, so operand
// sums, FMA chains and sub-chunk sums all cancel. subnormal: products (and
// some entries) below the normal range, outputs small enough that their low
// bits show. special: infinities in a few rows of A and columns of B, and
// the default NaN there too except in the first term of each operand (whose
// -1 flips the sign of a NaN in the one-float tails, making a second NaN);
// NaNs also come from inf - inf. nan_payloads: infinities and two other NaNs
// in every term, so results may meet NaNs of different bits.
enum class Data { random, cancellation, subnormal, special, nan_payloads };
const char* name(Data d) {
    switch (d) {
        case Data::random: return "random";
        case Data::cancellation: return "cancellation";
        case Data::subnormal: return "subnormal";
        case Data::special: return "inf-nan";
        case Data::nan_payloads: return "nan-payloads";
    }
    return "?";
}
constexpr Data kAllData[] = {Data::random, Data::cancellation, Data::subnormal, Data::special,
                             Data::nan_payloads};

float value(Data d, std::mt19937& rng, bool may_be_special, bool may_be_nan) {
    const float u = std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng);
    switch (d) {
        case Data::random:
            return u;
        case Data::cancellation:
            return std::ldexp(u, static_cast<int>(rng() % 41) - 20);
        case Data::subnormal:
            return rng() % 8 == 0 ? std::ldexp(u, -130) : std::ldexp(u, -66);
        case Data::special:
        case Data::nan_payloads: {
            const std::uint32_t r = rng() % 48;
            if (!may_be_special || r > 3) return u;
            if (r < 2) return r == 0 ? kInf : -kInf;
            if (d == Data::special) return may_be_nan ? kDefaultNaN : 2.0f;
            return from_bits(r == 2 ? 0x7FC00000u : 0x7FC01234u);
        }
    }
    return 0.0f;
}

// Which operand and output terms a case has. Output entries name a block:
// an entry equal to an earlier one applies its update to the same block.
struct Shape {
    const char* name;
    std::vector<float> a, b;     // operand coefficients
    std::vector<float> c;        // output coefficients
    std::vector<int> c_block;    // output block of each output term
};
const std::vector<Shape>& shapes() {
    static const std::vector<Shape> all = {
        // agg1's main leaves: three +-1 terms a side (signed forms), three outputs.
        {"main", {-1, 1, 1}, {1, 1, 1}, {-1, 1, 1}, {0, 1, 2}},
        {"single", {1}, {-1}, {1}, {0}},
        // General coefficients on both sides and in the outputs; the second
        // output block gets +P and then -P.
        {"general", {0.5f, -1, 1.25f}, {1, -1, 0.75f, 2}, {1.5f, 1, -1}, {0, 1, 1}},
        // Eight terms everywhere, every kind, two outputs on block 0.
        {"eight",
         {1, -1, 0.25f, 1, -3, 1, -1, 0.5f},
         {-1, 1, 1, -0.5f, 1, 1, 2, -1},
         {1, -1, 0.5f, -0.25f, 1, -1, 3, -1},
         {0, 1, 2, 3, 4, 5, 6, 0}},
    };
    return all;
}

// A row-major n x n block in a buffer with leading dimension n + pad and two
// spare rows; everything outside the block holds the canary.
struct Block {
    u64 n, ld;
    std::vector<float> buf;
    Block(u64 n_, u64 pad) : n(n_), ld(n_ + pad), buf(ld * (n_ + 2), kCanary) {}
    float& at(u64 i, u64 j) { return buf[i * ld + j]; }
};

struct Case {
    std::vector<Block> a, b, c;
    std::vector<TermView> ta, tb, tc;

    Case(u64 n, const Shape& shape, Data d, unsigned seed) {
        std::mt19937 rng(seed);
        u64 pad = 1;
        auto fill = [&](std::vector<Block>& blocks, std::size_t count, bool is_a, bool is_b) {
            for (std::size_t t = 0; t < count; ++t) {
                Block& x = blocks.emplace_back(n, pad++ % 9 + 1);
                for (u64 i = 0; i < n; ++i)
                    for (u64 j = 0; j < n; ++j)
                        // Specials only in every fourth row of A and column
                        // of B, so most of P stays finite.
                        x.at(i, j) = value(d, rng, (is_a && i % 4 == 0) || (is_b && j % 4 == 0), t > 0);
            }
        };
        fill(a, shape.a.size(), true, false);
        fill(b, shape.b.size(), false, true);
        int c_blocks = 0;
        for (int k : shape.c_block) c_blocks = std::max(c_blocks, k + 1);
        fill(c, static_cast<std::size_t>(c_blocks), false, false);
        if (d == Data::subnormal)
            for (Block& x : c)
                for (u64 i = 0; i < n; ++i)
                    for (u64 j = 0; j < n; ++j) x.at(i, j) *= 0x1p-64f;
        if (d == Data::cancellation && a.size() > 1)
            for (u64 i = 0; i < n; ++i)
                for (u64 j = 0; j < n; ++j)
                    if ((i + j) % 2 == 0) a[1].at(i, j) = -a[0].at(i, j) * (1.0f + 0x1p-12f);
        for (std::size_t t = 0; t < a.size(); ++t) ta.push_back({a[t].buf.data(), a[t].ld, shape.a[t]});
        for (std::size_t t = 0; t < b.size(); ++t) tb.push_back({b[t].buf.data(), b[t].ld, shape.b[t]});
        for (std::size_t t = 0; t < shape.c.size(); ++t) {
            Block& x = c[static_cast<std::size_t>(shape.c_block[t])];
            tc.push_back({x.buf.data(), x.ld, shape.c[t]});
        }
    }
};

int count(const std::vector<TermView>& v) { return static_cast<int>(v.size()); }

// term_product `calls` times on a fresh case with the given tiles forced
// (nullptr: the run-time choice); the workspace starts one float past a
// 64-byte boundary and is fenced by canaries. Returns the output blocks.
std::vector<Block> run(TermTilesFn tiles, u64 n, const LeafPlan* plan, const Shape& shape, Data d,
                       unsigned seed, int calls) {
    Case k(n, shape, d, seed);
    const u64 need = agg1::term_workspace_floats(n, plan);
    std::vector<float> storage(need + 64 + 16, kCanary);
    float* const ws = reinterpret_cast<float*>(
        (reinterpret_cast<std::uintptr_t>(storage.data()) + 63) / 64 * 64 + sizeof(float));
    const std::size_t start = static_cast<std::size_t>(ws - storage.data());
    {
        Force force(agg1::term_tiles_choice, tiles);
        for (int c = 0; c < calls; ++c)
            agg1::term_product(n, count(k.ta), k.ta.data(), count(k.tb), k.tb.data(), count(k.tc),
                               k.tc.data(), ws, plan);
    }
    u64 fence_hits = 0;
    for (std::size_t i = 0; i < storage.size(); ++i)
        if ((i < start || i >= start + need) &&
            std::memcmp(&storage[i], &kCanary, sizeof kCanary) != 0)
            ++fence_hits;
    EXPECT_EQ(fence_hits, 0u) << "workspace written outside its " << need << " floats";
    return std::move(k.c);
}

// Every float of each output buffer, canaries included, bit for bit; the
// canaries also against their fill. With `any_nan`, a NaN matches any NaN.
void expect_identical(const std::vector<Block>& got, const std::vector<Block>& want, bool any_nan) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t b = 0; b < got.size(); ++b) {
        const Block &g = got[b], &w = want[b];
        u64 bad = 0, canaries = 0;
        for (u64 i = 0; i < g.buf.size(); ++i) {
            const bool same = std::memcmp(&g.buf[i], &w.buf[i], sizeof(float)) == 0 ||
                              (any_nan && std::isnan(g.buf[i]) && std::isnan(w.buf[i]));
            if (!same && bad++ < 5)
                ADD_FAILURE() << "output block " << b << " (" << i / g.ld << "," << i % g.ld
                              << "): " << g.buf[i] << " vs " << w.buf[i];
            const bool inside = i / g.ld < g.n && i % g.ld < g.n;
            if (!inside && std::memcmp(&g.buf[i], &kCanary, sizeof kCanary) != 0) ++canaries;
        }
        EXPECT_EQ(bad, 0u) << "output block " << b;
        EXPECT_EQ(canaries, 0u) << "output block " << b << ": canaries overwritten";
    }
}

void compare_case(TermTilesFn variant, u64 n, const LeafPlan* plan, const Shape& shape, Data d,
                  unsigned seed, int calls = 1) {
    SCOPED_TRACE("n = " + std::to_string(n) + " " + shape.name + " " + name(d) +
                 (plan ? " mc " + std::to_string(plan->mc) + " nc " + std::to_string(plan->nc) +
                             " kc " + std::to_string(plan->kc) + " apf " + std::to_string(plan->apf)
                       : "") +
                 (calls > 1 ? " calls " + std::to_string(calls) : ""));
    const std::vector<Block> want = run(&agg1::term_tiles_avx2, n, plan, shape, d, seed, calls);
    const std::vector<Block> got = run(variant, n, plan, shape, d, seed, calls);
    // When NaNs of different bits meet, which one an instruction passes on is
    // the instruction form's choice (and the compiler's), not arithmetic.
    expect_identical(got, want, d == Data::nan_payloads);
}

// Default plans: every side 1..40 (all strip and panel remainders, single
// tiles), 63..65 around a power of two, 100 and 300 (a 256-step sub-chunk
// plus a tail), 1024 (four sub-chunks, two column blocks); then plans that
// block the depth, leave odd strip and panel counts, and keep all A panels
// packed.
void compare_all(TermTilesFn variant) {
    const std::vector<Shape>& all = shapes();
    unsigned seed = 1;
    for (u64 n = 1; n <= 40; ++n)
        for (Data d : kAllData) {
            compare_case(variant, n, nullptr, all[(n + seed) % all.size()], d, seed);
            ++seed;
        }
    for (u64 n : {63u, 64u, 65u, 100u, 300u})
        for (const Shape& s : all)
            for (Data d : kAllData) compare_case(variant, n, nullptr, s, d, seed++);
    compare_case(variant, 1024, nullptr, all[0], Data::random, seed++);
    compare_case(variant, 1024, nullptr, all[2], Data::special, seed++);
    compare_case(variant, 37, nullptr, all[3], Data::cancellation, seed++, 2);  // adds again

    const struct {
        u64 n;
        LeafPlan plan;
    } plans[] = {
        {100, {18, 48, 40, 1}},   // 3 strips, 3 panels, depth blocks 40, 40, 20
        {100, {12, 32, 40, 0}},
        {300, {30, 80, 290, 1}},  // 5 strips, 5 panels, a 290-step block: sub-chunks 256 + 34
        {600, {48, 64, 300, 1}},  // two depth blocks of two sub-chunks each
        {67, {0, 0, 33, 0}},      // last depth block of one step
        {65, {6, 16, 64, 1}},     // one strip, one panel per block
        {40, {0, 0, 39, 1}},
    };
    for (const auto& c : plans)
        for (Data d : kAllData) {
            compare_case(variant, c.n, &c.plan, all[seed % all.size()], d, seed);
            ++seed;
        }
    compare_case(variant, 37, &plans[0].plan, all[3], Data::random, seed++, 3);
}

}  // namespace

TEST(TermProductAvx512, EmulatedBuildMatchesAvx2BitForBit) {
    compare_all(&agg1::term_tiles_avx512_emulated);
}

TEST(TermProductAvx512, NativeBuildMatchesAvx2BitForBit) {
    if (!kernel_select::avx512f_usable())
        GTEST_SKIP() << "this processor has no usable AVX-512F, so the native AVX-512 tiles "
                        "cannot run here (the emulated build of the same source is compared "
                        "instead)";
    compare_all(&agg1::term_tiles_avx512);
}

TEST(TermProductAvx512, SelectionAndEngineGiveTheSameProducts) {
    // Unforced, term_product runs the AVX-512F tiles exactly where they can run.
    const TermTilesFn natural =
        kernel_select::avx512f_usable() ? &agg1::term_tiles_avx512 : &agg1::term_tiles_avx2;
    EXPECT_EQ(agg1::term_tiles_choice.get(), natural);
    const Shape& main = shapes()[0];
    expect_identical(run(nullptr, 100, nullptr, main, Data::random, 99, 1),
                     run(&agg1::term_tiles_avx2, 100, nullptr, main, Data::random, 99, 1), false);

    // The agg1 engine (main leaves, corrections and broadcast, all term
    // products) with each tile entry forced. One worker: with more, the order
    // in which leaves add into a C tile follows the lock timing, and so do
    // the last bits of C.
    std::vector<TermTilesFn> variants{&agg1::term_tiles_avx2, &agg1::term_tiles_avx512_emulated};
    if (kernel_select::avx512f_usable()) variants.push_back(&agg1::term_tiles_avx512);
    agg1::init_pool(1, 0);
    for (const auto& [q, block] : {std::pair<u64, u64>{2, 150}, std::pair<u64, u64>{4, 44}}) {
        const u64 N = q * block, ld = N + 3;
        SCOPED_TRACE("q " + std::to_string(q) + " block " + std::to_string(block));
        agg1::prepare(q, block);
        std::mt19937 rng(static_cast<unsigned>(N));
        std::vector<float> A(N * ld), B(N * ld);
        for (auto* m : {&A, &B})
            for (float& f : *m) f = value(Data::cancellation, rng, false, false);
        std::vector<std::vector<float>> results;
        for (TermTilesFn v : variants) {
            std::vector<float> C(N * ld, kCanary);
            Force force(agg1::term_tiles_choice, v);
            agg1::RunReport report{};
            agg1::run(&report, A.data(), ld, B.data(), ld, C.data(), ld, false);
            EXPECT_GT(report.kernel_calls, 0);
            results.push_back(std::move(C));
        }
        for (std::size_t v = 1; v < results.size(); ++v)
            EXPECT_EQ(std::memcmp(results[v].data(), results[0].data(), results[0].size() * sizeof(float)), 0)
                << "variant " << v << " differs from the AVX2 tiles";
    }
    agg1::shutdown();
}
