// Term products and their packers, bit for bit against a scalar model of the
// stated arithmetic, and exact on small integers.
#include "multiply/agg1/term_product.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "multiply/pan_adapter/kernel_test_support.h"

using agg1::FormSet;
using agg1::LeafPlan;
using agg1::TermView;
using u64 = std::uint64_t;

namespace {

constexpr float kCanary = -7777.25f;

// An n x n block inside a larger buffer (leading dimension n + 3, two spare
// rows), the padding preset to a canary.
using Block = kernel_test::Fenced<float>;

// A block of uniform values in [-1, 1], or of integers in [-3, 3].
Block filled(u64 n, std::mt19937& rng, bool integers = false) {
    Block b(n, 3, kCanary);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    std::uniform_int_distribution<int> di(-3, 3);
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j < n; ++j) b.at(i, j) = integers ? static_cast<float>(di(rng)) : d(rng);
    return b;
}

bool padding_intact(const Block& b) {
    for (u64 i = 0; i < b.n + 2; ++i)
        for (u64 j = 0; j < b.ld; ++j)
            if ((i >= b.n || j >= b.n) && bits_of(b.at(i, j)) != bits_of(kCanary)) return false;
    return true;
}

int kind_of(float c) { return c == 1.0f ? 0 : c == -1.0f ? 1 : 2; }

// One packed element from its terms' values x[t]: the 8-wide rule or the
// one-float rule.
float combine(const std::vector<float>& x, const std::vector<float>& coef, bool wide) {
    if (!wide) {
        float v = x[0] * coef[0];
        for (std::size_t t = 1; t < x.size(); ++t) v = std::fma(x[t], coef[t], v);
        return v;
    }
    float v = kind_of(coef[0]) == 0 ? x[0] : kind_of(coef[0]) == 1 ? 0.0f - x[0] : x[0] * coef[0];
    for (std::size_t t = 1; t < x.size(); ++t) {
        const int k = kind_of(coef[t]);
        v = k == 0 ? v + x[t] : k == 1 ? v - x[t] : std::fma(x[t], coef[t], v);
    }
    return v;
}

int count_if_general(const std::vector<float>& coef) {
    int n = 0;
    for (float c : coef) n += kind_of(c) == 2;
    return n;
}

std::vector<float> coefs(const std::vector<TermView>& t) {
    std::vector<float> c;
    for (const auto& v : t) c.push_back(v.coef);
    return c;
}
std::vector<float> values(const std::vector<TermView>& t, u64 r, u64 c) {
    std::vector<float> x;
    for (const auto& v : t) x.push_back(v.data[r * v.ld + c]);
    return x;
}

// What term_product computes, one element at a time. Which elements of F_A
// are 8-wide follows the blocking (full 6-row strips of each row block,
// whole groups of 8 steps from the start of each depth block); of F_B, the
// whole 16-column panels of each column block.
struct Model {
    u64 n;
    pan_adapter::LeafLayout L;
    std::vector<float> FA, FB, P;

    Model(u64 n_, const LeafPlan& plan, const std::vector<TermView>& a, const std::vector<TermView>& b)
        : n(n_), L(pan_adapter::leaf_layout(n_, plan)), FA(n * n), FB(n * n), P(n * n) {
        for (u64 r = 0; r < n; ++r)
            for (u64 k = 0; k < n; ++k) {
                FA[r * n + k] = combine(values(a, r, k), coefs(a), a_wide(r, k));
                FB[r * n + k] = combine(values(b, r, k), coefs(b), b_wide(k));
            }
        for (u64 r = 0; r < n; ++r)
            for (u64 c = 0; c < n; ++c) {
                float total = 0.0f;
                for (u64 pc = 0; pc < n; pc += L.kc_eff) {
                    const u64 kb = std::min(L.kc_eff, n - pc);
                    float block = 0.0f;
                    for (u64 k0 = 0; k0 < kb; k0 += 256) {
                        float sub = 0.0f;
                        for (u64 k = pc + k0; k < pc + std::min<u64>(k0 + 256, kb); ++k)
                            sub = std::fma(FA[r * n + k], FB[k * n + c], sub);
                        block = k0 == 0 ? sub : sub + block;
                    }
                    total = pc == 0 ? block : block + total;
                }
                P[r * n + c] = total;
            }
    }
    bool a_wide(u64 r, u64 k) const {
        const u64 ic = r / L.mc_eff * L.mc_eff, mb = std::min(L.mc_eff, n - ic);
        const u64 s = (r - ic) / 6;
        const u64 pc = k / L.kc_eff * L.kc_eff, kb = std::min(L.kc_eff, n - pc);
        return std::min<u64>(6, mb - 6 * s) == 6 && k - pc < kb / 8 * 8;
    }
    bool b_wide(u64 c) const {
        const u64 jc = c / L.nc_eff * L.nc_eff, nb = std::min(L.nc_eff, n - jc);
        return c - jc < nb / 16 * 16;
    }
    // The outputs after the product: each term applied in order.
    void apply(std::vector<TermView>& out) const {
        for (u64 r = 0; r < n; ++r)
            for (u64 c = 0; c < n; ++c)
                for (auto& t : out) {
                    float& e = t.data[r * t.ld + c];
                    const float p = P[r * n + c];
                    const int k = kind_of(t.coef);
                    e = k == 0 ? e + p : k == 1 ? e - p : std::fma(t.coef, p, e);
                }
    }
};

struct Case {
    u64 n;
    std::vector<float> a, b, c;  // coefficients of the A, B and output terms
    LeafPlan plan;
    const char* what;
};

std::vector<TermView> views(std::vector<Block>& blocks, const std::vector<float>& coef) {
    std::vector<TermView> v;
    for (std::size_t t = 0; t < coef.size(); ++t) v.push_back(TermView{blocks[t].p(), blocks[t].ld, coef[t]});
    return v;
}

// Runs one case with both settings of general_forms_only and compares every
// output element, bit for bit, with the model; checks the padding.
void check_case(const Case& k, std::mt19937& rng) {
    SCOPED_TRACE(std::string(k.what) + " n=" + std::to_string(k.n));
    std::vector<Block> A, B, C0;
    for (std::size_t t = 0; t < k.a.size(); ++t) A.push_back(filled(k.n, rng));
    for (std::size_t t = 0; t < k.b.size(); ++t) B.push_back(filled(k.n, rng));
    for (std::size_t t = 0; t < k.c.size(); ++t) C0.push_back(filled(k.n, rng));
    auto va = views(A, k.a), vb = views(B, k.b);
    const Model model(k.n, k.plan, va, vb);
    std::vector<Block> expected = C0;
    auto ve = views(expected, k.c);
    model.apply(ve);
    for (bool general : {false, true}) {
        agg1::general_forms_only = general;
        std::vector<Block> C = C0;
        auto vc = views(C, k.c);
        kernel_test::Workspace ws(agg1::term_workspace_floats(k.n, &k.plan));
        agg1::term_product(k.n, static_cast<int>(va.size()), va.data(), static_cast<int>(vb.size()), vb.data(),
                           static_cast<int>(vc.size()), vc.data(), ws.data, &k.plan);
        ws.expect_fence_intact();
        for (std::size_t t = 0; t < C.size(); ++t) {
            EXPECT_TRUE(padding_intact(C[t])) << "output " << t << " general=" << general;
            u64 bad = 0;
            for (u64 i = 0; i < k.n; ++i)
                for (u64 j = 0; j < k.n; ++j)
                    if (bits_of(C[t].at(i, j)) != bits_of(expected[t].at(i, j)) && bad++ == 0)
                        ADD_FAILURE() << "output " << t << " (" << i << "," << j << ") got " << C[t].at(i, j)
                                      << " want " << expected[t].at(i, j) << " general=" << general;
            EXPECT_EQ(bad, 0u);
        }
    }
    agg1::general_forms_only = false;
}

LeafPlan plan_of(u64 n) { return pan_adapter::leaf_plan_default(n); }
LeafPlan plan_with(u64 n, u64 mc, u64 nc, u64 kc, int apf) {
    LeafPlan p = plan_of(n);
    p.mc = mc, p.nc = nc, p.kc = kc, p.apf = apf;
    return p;
}

}  // namespace

// Term counts 1..8 per side, +-1 and general coefficients, several outputs on
// one or different blocks, sides that leave partial strips and panels, and
// plans with blocked depth, apf over several column blocks, small row blocks
// and override values near 2^64 (which must saturate, not wrap).
TEST(TermProduct, MatchesTheScalarModelBitForBit) {
    std::mt19937 rng(7);
    const u64 huge = std::numeric_limits<u64>::max();
    const std::vector<Case> cases = {
        {1, {1}, {1}, {1}, plan_of(1), "one term each"},
        {7, {1, -1}, {-1, -1}, {1, -1}, plan_of(7), "two +-1 terms"},
        {16, {-1, 1, -1}, {1, -1, 1}, {-1, 1, 1}, plan_of(16), "three +-1 terms"},
        {17, {-1, -1, -1}, {-1, 1, 1}, {0.5f, -1}, plan_of(17), "all negated"},
        {100, {1, 1, 1}, {1, 1, 1}, {1, 1, 1}, plan_of(100), "main-leaf shape"},
        {100, {-1, 1, 1}, {1, 1, 1}, {-1, 1, 1}, plan_of(100), "wrapped leaf shape"},
        {17, {2.0f, 1}, {1, 0.25f}, {1}, plan_of(17), "general first term"},
        {100, {0.5f, -1, 1, 3.0f}, {1, -1, -1, 1}, {-0.5f, 2.0f}, plan_of(100), "four terms"},
        {7, {1, 1, 1, 1, 1}, {-1, 0.75f, 1, 1, 1, 1}, {1, 1, 1}, plan_of(7), "five and six terms"},
        {17, {1, -1, 1, -1, 1, -1, 1}, {0.3f, -0.7f, 1.5f, 1, -1, 2, 1, -1}, {1, -1, 0.1f, 1, -1, 1, 1, 1},
         plan_of(17), "seven and eight terms"},
        {100, {0.0f, 1}, {-0.0f, 1}, {1}, plan_of(100), "zero coefficients are general"},
        {300, {1, -1, 1}, {1, 1, -1}, {-1, 1, 0.25f}, plan_of(300), "depth over 256"},
        {300, {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f, 0.7f, 0.8f}, {1, -1, 2, -2, 1, -1, 3, 1}, {1, 1},
         plan_of(300), "eight general terms"},
        {100, {1, -1, 1}, {1, 1, 1}, {1, -1}, plan_with(100, 0, 0, 40, 0), "kc < n"},
        {300, {1, -1, 0.5f}, {1, 1, 1}, {1, -1}, plan_with(300, 24, 64, 257, 0), "kc 257"},
        {300, {1, 1}, {-1, 1, 1}, {1}, plan_with(300, 12, 48, 255, 1), "kc 255 with apf"},
        {100, {1, 1, 1}, {1, -1, 1}, {1, 1, -1}, plan_with(100, 7, 17, 0, 1), "apf over column blocks"},
        {100, {1, 1, 1}, {1, -1, 1}, {1, 1, -1}, plan_with(100, 7, 17, 0, 0), "same without apf"},
        {17, {1, 2}, {1, -1}, {1}, plan_with(17, 6, 16, 5, 1), "every kind of block"},
        {100, {1, -1, 1}, {1, 1, -1}, {1}, plan_with(100, huge, huge - 3, huge, 0), "overrides near 2^64"},
    };
    for (const Case& k : cases) check_case(k, rng);
}

// Two output terms on the same block both apply: C + P - P in that order.
TEST(TermProduct, TwoOutputTermsOnOneBlockBothApply) {
    std::mt19937 rng(3);
    const u64 n = 17;
    Block A = filled(n, rng), B = filled(n, rng), C = filled(n, rng);
    const Block C0 = C;
    TermView a{A.p(), A.ld, 1}, b{B.p(), B.ld, 1};
    TermView c[2] = {{C.p(), C.ld, 1.0f}, {C.p(), C.ld, -1.0f}};
    const LeafPlan plan = plan_of(n);
    std::vector<TermView> va{a}, vb{b};
    const Model model(n, plan, va, vb);
    kernel_test::Workspace ws(agg1::term_workspace_floats(n, nullptr));
    agg1::term_product(n, 1, &a, 1, &b, 2, c, ws.data, nullptr);
    ws.expect_fence_intact();
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j < n; ++j) {
            const float p = model.P[i * n + j];
            EXPECT_TRUE(bits_of(C.at(i, j)) == bits_of((C0.at(i, j) + p) - p)) << i << "," << j;
        }
}

// Counts outside 1..8 and n = 0 write nothing, not even the workspace.
TEST(TermProduct, BadCountsAndEmptySideDoNothing) {
    std::mt19937 rng(5);
    const u64 n = 16;
    Block A = filled(n, rng), B = filled(n, rng), C = filled(n, rng);
    const Block C0 = C;
    TermView t[9];
    for (auto& v : t) v = TermView{A.p(), A.ld, 1};
    TermView b{B.p(), B.ld, 1}, c{C.p(), C.ld, 1};
    std::vector<float> ws(agg1::term_workspace_floats(n, nullptr), kCanary);
    agg1::term_product(n, 0, t, 1, &b, 1, &c, ws.data(), nullptr);
    agg1::term_product(n, 9, t, 1, &b, 1, &c, ws.data(), nullptr);
    agg1::term_product(n, 1, t, 9, t, 1, &c, ws.data(), nullptr);
    agg1::term_product(n, 1, t, 1, &b, 0, &c, ws.data(), nullptr);
    agg1::term_product(0, 1, t, 1, &b, 1, &c, ws.data(), nullptr);
    EXPECT_EQ(C.buf, C0.buf);
    for (float w : ws) ASSERT_TRUE(bits_of(w) == bits_of(kCanary));
}

// On small integers every step is exact: the product equals the exact
// combination product, whatever the coefficients' path.
TEST(TermProduct, ExactOnSmallIntegers) {
    std::mt19937 rng(11);
    for (u64 n : {13u, 64u, 130u}) {
        std::vector<Block> A, B;
        for (int t = 0; t < 3; ++t) A.push_back(filled(n, rng, true)), B.push_back(filled(n, rng, true));
        const std::vector<float> ca{1, -1, 2}, cb{-1, 1, 1}, cc{1, -2};
        std::vector<Block> C;
        for (int t = 0; t < 2; ++t) C.push_back(filled(n, rng, true));
        const std::vector<Block> C0 = C;
        auto va = views(A, ca), vb = views(B, cb), vc = views(C, cc);
        kernel_test::Workspace ws(agg1::term_workspace_floats(n, nullptr));
        agg1::term_product(n, 3, va.data(), 3, vb.data(), 2, vc.data(), ws.data, nullptr);
        ws.expect_fence_intact();
        for (u64 i = 0; i < n; ++i)
            for (u64 j = 0; j < n; ++j) {
                long long p = 0;
                for (u64 k = 0; k < n; ++k) {
                    long long fa = 0, fb = 0;
                    for (int t = 0; t < 3; ++t) {
                        fa += static_cast<long long>(ca[t]) * static_cast<long long>(A[t].at(i, k));
                        fb += static_cast<long long>(cb[t]) * static_cast<long long>(B[t].at(k, j));
                    }
                    p += fa * fb;
                }
                for (int t = 0; t < 2; ++t)
                    ASSERT_EQ(C[t].at(i, j), C0[t].at(i, j) + static_cast<float>(cc[t]) * static_cast<float>(p))
                        << "n=" << n << " (" << i << "," << j << ")";
            }
    }
}

namespace {

FormSet set_of(std::vector<Block>& blocks, const std::vector<float>& coef) {
    FormSet f{};
    f.count = static_cast<int>(coef.size());
    for (std::size_t t = 0; t < coef.size(); ++t) {
        f.data[t] = blocks[t].p();
        f.ld[t] = blocks[t].ld;
        f.coef[t] = coef[t];
        f.kind[t] = kind_of(coef[t]);
    }
    return f;
}

}  // namespace

// The packers alone: panel layout, zero padding, which elements are 8-wide
// (the sign of a negated +0 shows it), and nothing written past the panels
// but the A side's two trailing floats.
TEST(FormBuilders, PanelsHoldTheFormsAndTheirZeroPadding) {
    std::mt19937 rng(13);
    using PackA = u64 (*)(u64, u64, const FormSet*, float*, u64);
    const PackA by_count[8] = {agg1::form_a_terms_1, agg1::form_a_terms_2, agg1::form_a_terms_3,
                               agg1::form_a_terms_4, agg1::form_a_terms_5, agg1::form_a_terms_6,
                               agg1::form_a_terms_7, agg1::form_a_terms_8};
    const std::vector<std::vector<float>> coef_sets = {
        {-1}, {1}, {1, -1}, {-1, -1}, {2, 1}, {-1, 1, -1}, {1, -1, 1, -1}, {0.5f, 1, -1, 2, 1}, {1, 1, 1, 1, 1, 1, 1, -1}};
    for (const auto& coef : coef_sets) {
        const u64 n = 20;
        std::vector<Block> blocks;
        for (std::size_t t = 0; t < coef.size(); ++t) blocks.push_back(filled(n, rng));
        blocks[0].buf[0] = 0.0f;  // a negated +0: +0 when formed 8 wide, -0 one float at a time
        blocks[0].buf[19] = 0.0f;
        if (coef.size() > 1) blocks[1].buf[0] = blocks[1].buf[19] = 0.0f;
        const FormSet f = set_of(blocks, coef);
        const int count = static_cast<int>(coef.size());
        std::vector<TermView> tv;
        for (int t = 0; t < count; ++t) tv.push_back(TermView{blocks[t].p(), blocks[t].ld, coef[t]});

        for (u64 rows : {0u, 6u, 7u, 13u})
            for (u64 k_len : {0u, 1u, 8u, 9u, 17u}) {
                SCOPED_TRACE("count " + std::to_string(count) + " rows " + std::to_string(rows) + " k_len " +
                             std::to_string(k_len));
                const u64 stride = 6 * k_len + 16;
                const u64 strips = (rows + 5) / 6;
                std::vector<PackA> packers{by_count[count - 1]};
                if (count <= 3 && count_if_general(coef) == 0) packers.push_back(agg1::form_a_signed);
                for (PackA pack : packers) {
                    std::vector<float> dst(stride * (strips + 1), kCanary);
                    EXPECT_EQ(pack(rows, k_len, &f, dst.data(), stride), strips);
                    for (u64 s = 0; s < strips; ++s) {
                        const u64 height = std::min<u64>(6, rows - 6 * s);
                        for (u64 k = 0; k < k_len; ++k)
                            for (u64 r = 0; r < 6; ++r) {
                                const bool wide = height == 6 && k < k_len / 8 * 8;
                                const float want =
                                    r < height ? combine(values(tv, 6 * s + r, k), coef, wide) : 0.0f;
                                ASSERT_TRUE(bits_of(dst[s * stride + 6 * k + r]) == bits_of(want))
                                    << "strip " << s << " k " << k << " r " << r;
                            }
                        // Only the two floats after an 8-wide run may change past the last step.
                        const u64 tail_writes = height == 6 && k_len % 8 == 0 && k_len >= 8 ? 2 : 0;
                        for (u64 e = 6 * k_len + tail_writes; e < stride; ++e)
                            ASSERT_TRUE(bits_of(dst[s * stride + e]) == bits_of(kCanary)) << "strip " << s << " float " << e;
                    }
                    for (u64 e = strips * stride; e < dst.size(); ++e) ASSERT_TRUE(bits_of(dst[e]) == bits_of(kCanary));
                }
            }

        for (u64 cols : {1u, 16u, 20u})
            for (u64 k_len : {0u, 1u, 5u}) {
                SCOPED_TRACE("B count " + std::to_string(count) + " cols " + std::to_string(cols) + " k_len " +
                             std::to_string(k_len));
                const u64 stride = 16 * (k_len + 1);
                const u64 panels = (cols + 15) / 16;
                for (bool general : {false, true}) {
                    agg1::general_forms_only = general;
                    std::vector<float> raw(stride * (panels + 1) + 16, kCanary);
                    float* dst = reinterpret_cast<float*>((reinterpret_cast<std::uintptr_t>(raw.data()) + 63) & ~std::uintptr_t{63});
                    agg1::form_b_terms_pack(k_len, cols, &f, dst, stride);
                    for (u64 p = 0; p < panels; ++p)
                        for (u64 k = 0; k < k_len; ++k)
                            for (u64 c = 0; c < 16; ++c) {
                                const u64 col = 16 * p + c;
                                const float want =
                                    col < cols ? combine(values(tv, k, col), coef, cols - 16 * p >= 16) : 0.0f;
                                ASSERT_TRUE(bits_of(dst[p * stride + 16 * k + c]) == bits_of(want))
                                    << "panel " << p << " k " << k << " c " << c << " general " << general;
                            }
                    for (u64 p = 0; p < panels; ++p)
                        for (u64 e = 16 * k_len; e < stride; ++e) ASSERT_TRUE(bits_of(dst[p * stride + e]) == bits_of(kCanary));
                }
                agg1::general_forms_only = false;
            }
    }
}
