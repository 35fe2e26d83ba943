// The AVX-512F term-product tiles against the AVX2 tiles: every output bit,
// canaries around the blocks included, for one to eight terms per side, output
// terms of every kind (two of them on one block), on random and adversarial
// data, under default and overridden plans, through term_product and through
// the agg1 engine. The SIMDe build of the AVX-512 source runs everywhere; the
// native build only where the processor has usable AVX-512F.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "multiply/agg1/agg1.h"
#include "multiply/agg1/term_product.h"
#include "multiply/pan_adapter/kernel_test_support.h"
#include "multiply/pan_adapter/kernel_select_testing.h"

using namespace kernel_test;
using agg1::LeafPlan;
using agg1::TermTilesFn;
using agg1::TermView;
using Force = kernel_select::ForcedKernel<TermTilesFn>;

namespace {

constexpr float kCanary = 8191.75f;
constexpr Data kAllData[] = {Data::random, Data::cancellation, Data::subnormal, Data::special, Data::nan_payloads};

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

using Block = Fenced<float>;

struct Case {
    std::vector<Block> a, b, c;
    std::vector<TermView> ta, tb, tc;

    Case(u64 n, const Shape& shape, Data d, unsigned seed) {
        std::mt19937 rng(seed);
        u64 pad = 1;
        auto fill = [&](std::vector<Block>& blocks, std::size_t count, bool is_a, bool is_b) {
            for (std::size_t t = 0; t < count; ++t) {
                Block& x = blocks.emplace_back(n, pad++ % 9 + 1, kCanary);
                for (u64 i = 0; i < n; ++i)
                    for (u64 j = 0; j < n; ++j)
                        // Specials only in every fourth row of A and column
                        // of B; the default NaN not in the first term, whose
                        // -1 flips a NaN's sign in the one-float tails.
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
    Workspace ws(agg1::term_workspace_floats(n, plan));
    {
        Force force(agg1::term_tiles_choice, tiles);
        for (int c = 0; c < calls; ++c)
            agg1::term_product(n, count(k.ta), k.ta.data(), count(k.tb), k.tb.data(), count(k.tc), k.tc.data(),
                               ws.data, plan);
    }
    ws.expect_fence_intact();
    return std::move(k.c);
}

void expect_identical(const std::vector<Block>& got, const std::vector<Block>& want, bool any_nan) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t b = 0; b < got.size(); ++b)
        kernel_test::expect_identical(got[b], want[b], "output block " + std::to_string(b), any_nan);
}

void compare_case(TermTilesFn variant, u64 n, const LeafPlan* plan, const Shape& shape, Data d,
                  unsigned seed, int calls = 1) {
    SCOPED_TRACE(label(n, d, plan, calls) + " " + shape.name);
    const std::vector<Block> want = run(&agg1::term_tiles_avx2, n, plan, shape, d, seed, calls);
    const std::vector<Block> got = run(variant, n, plan, shape, d, seed, calls);
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

    for (const PlanCase& c : kPlans)
        for (Data d : kAllData) {
            compare_case(variant, c.n, &c.plan, all[seed % all.size()], d, seed);
            ++seed;
        }
    compare_case(variant, 37, &kPlans[0].plan, all[3], Data::random, seed++, 3);
}

}  // namespace

TEST(TermProductAvx512, EmulatedBuildMatchesAvx2BitForBit) {
    compare_all(&agg1::term_tiles_avx512_emulated);
}

TEST(TermProductAvx512, NativeBuildMatchesAvx2BitForBit) {
    KORVANE_SKIP_WITHOUT_AVX512F();
    compare_all(&agg1::term_tiles_avx512);
}

TEST(TermProductAvx512, SelectionAndEngineGiveTheSameProducts) {
    // Unforced, term_product runs the AVX-512F tiles exactly where they can run.
    EXPECT_EQ(agg1::term_tiles_choice.get(),
              kernel_select::avx512f_usable() ? &agg1::term_tiles_avx512 : &agg1::term_tiles_avx2);
    const Shape& main = shapes()[0];
    expect_identical(run(nullptr, 100, nullptr, main, Data::random, 99, 1),
                     run(&agg1::term_tiles_avx2, 100, nullptr, main, Data::random, 99, 1), false);

    // The agg1 engine (main leaves, corrections and broadcast, all term
    // products) with each tile entry forced. One worker: with more, the order
    // in which leaves add into a C tile follows the lock timing, and so do
    // the last bits of C.
    std::vector<TermTilesFn> variants = avx512_entries(&agg1::term_tiles_avx512_emulated, &agg1::term_tiles_avx512);
    variants.insert(variants.begin(), &agg1::term_tiles_avx2);
    agg1::init_pool(1, 0);
    for (const auto& [q, block] : {std::pair<u64, u64>{2, 150}, std::pair<u64, u64>{4, 44}}) {
        const u64 N = q * block, ld = N + 3;
        SCOPED_TRACE("q " + std::to_string(q) + " block " + std::to_string(block));
        agg1::prepare(q, block);
        std::mt19937 rng(static_cast<unsigned>(N));
        std::vector<float> A(N * ld), B(N * ld);
        for (auto* m : {&A, &B})
            for (float& f : *m) f = value(Data::cancellation, rng);
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
