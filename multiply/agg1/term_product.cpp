// Compiled with -mavx2 -mfma -ffp-contract=off: every fused multiply-add is
// explicit and nothing else is fused, so the rounding order is exactly the
// one term_product.h states.
//
// The register tile (term_product_avx512.cpp repeats it lane for lane): twelve
// accumulators acc[2r + h] hold rows r = 0..5, columns 8h..8h+7 of the 6x16
// tile. Depth step k reads six A floats a[6k + r] (broadcast) and sixteen B
// floats b[16k .. 16k + 15] (two aligned loads), and updates every
// accumulator once: acc[2r + h] = fma(a[6k + r], b[16k + 8h ..], acc[2r + h]).
// So each tile element is one FMA chain in ascending depth per 256-step
// sub-chunk; unrolling by four changes no operation's order.
#include "multiply/agg1/term_product.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>

#include "multiply/agg1/simd.h"

namespace agg1 {

namespace {

using u64 = std::uint64_t;

constexpr u64 kSubChunk = 256;      // depth steps per FMA chain
constexpr u64 kPrefetchLead = 128;  // depth steps before the write-back at which outputs are prefetched

// The twelve accumulators are named registers (an array would be kept in
// memory across the loop). acc_rh: tile row r, columns 8h..8h+7.
#define AGG1_TILE_REGS acc_00, acc_01, acc_10, acc_11, acc_20, acc_21, acc_30, acc_31, acc_40, acc_41, acc_50, acc_51

// One depth step, written out so that the compiler cannot interleave steps
// and run short of registers (twelve accumulators, two B vectors and one
// broadcast fill 15 of the 16 vector registers). For step s of a group, at
// byte offsets 24s into the A panel and 64s into the B panel:
//   ymm14 = b[16s .. 16s+7], ymm15 = b[16s+8 .. 16s+15]   (aligned loads)
//   for r = 0..5: ymm13 = broadcast a[6s + r];
//                 acc_r0 = fma(ymm13, ymm14, acc_r0); acc_r1 = fma(ymm13, ymm15, acc_r1)
// vfmadd231ps x, y, z computes z = y*x + z with one rounding.
#define AGG1_ROW(r, s) \
    "vbroadcastss " #s "*24+" #r "*4(%[a]), %%ymm13\n\t" \
    "vfmadd231ps %%ymm14, %%ymm13, %[c" #r "0]\n\t" \
    "vfmadd231ps %%ymm15, %%ymm13, %[c" #r "1]\n\t"
#define AGG1_ASM_STEP(s) \
    "vmovaps " #s "*64(%[b]), %%ymm14\n\t" \
    "vmovaps " #s "*64+32(%[b]), %%ymm15\n\t" \
    AGG1_ROW(0, s) AGG1_ROW(1, s) AGG1_ROW(2, s) AGG1_ROW(3, s) AGG1_ROW(4, s) AGG1_ROW(5, s)
#define AGG1_ASM_OPERANDS                                                                                \
    : [c00] "+x"(acc_00), [c01] "+x"(acc_01), [c10] "+x"(acc_10), [c11] "+x"(acc_11), [c20] "+x"(acc_20), \
      [c21] "+x"(acc_21), [c30] "+x"(acc_30), [c31] "+x"(acc_31), [c40] "+x"(acc_40), [c41] "+x"(acc_41), \
      [c50] "+x"(acc_50), [c51] "+x"(acc_51)                                                               \
    : [a] "r"(a_), [b] "r"(b_)                                                                             \
    : "xmm13", "xmm14", "xmm15", "memory"
#define AGG1_STEP(a, b)                                       \
    do {                                                      \
        const float* const a_ = (a);                          \
        const float* const b_ = (b);                          \
        asm(AGG1_ASM_STEP(0) AGG1_ASM_OPERANDS);              \
    } while (0)
// `quads` groups of four steps, advancing the panel pointers a and b.
#define AGG1_QUADS(quads, a, b)                                                          \
    for (u64 q_ = (quads); q_ != 0; --q_, (a) += 24, (b) += 64) {                        \
        const float* const a_ = (a);                                                     \
        const float* const b_ = (b);                                                     \
        asm(AGG1_ASM_STEP(0) AGG1_ASM_STEP(1) AGG1_ASM_STEP(2) AGG1_ASM_STEP(3) AGG1_ASM_OPERANDS); \
    }

// OP(acc_rh, offset of that vector in a row-major 6x16 tile).
#define AGG1_EACH(OP, t) \
    OP(acc_00, (t) + 0);  \
    OP(acc_01, (t) + 8);  \
    OP(acc_10, (t) + 16); \
    OP(acc_11, (t) + 24); \
    OP(acc_20, (t) + 32); \
    OP(acc_21, (t) + 40); \
    OP(acc_30, (t) + 48); \
    OP(acc_31, (t) + 56); \
    OP(acc_40, (t) + 64); \
    OP(acc_41, (t) + 72); \
    OP(acc_50, (t) + 80); \
    OP(acc_51, (t) + 88)
#define AGG1_STORE(acc, p) _mm256_store_ps(p, acc)
#define AGG1_ADD_STORE(acc, p) _mm256_store_ps(p, _mm256_add_ps(acc, _mm256_load_ps(p)))

// Prefetches the six 16-float output rows of every output term at (row, col).
[[gnu::always_inline]] inline void prefetch_outputs(const FormSet& out, u64 row, u64 col) {
    for (int t = 0; t < out.count; ++t)
        for (u64 r = 0; r < 6; ++r) {
            const char* p = reinterpret_cast<const char*>(out.data[t] + (row + r) * out.ld[t] + col);
            _mm_prefetch(p, _MM_HINT_T0);
            _mm_prefetch(p + 60, _MM_HINT_T0);
        }
}

// One output element group updated by the term's kind: C + P, C - P or fma(gamma, P, C).
[[gnu::always_inline]] inline __m256 apply8(std::int32_t kind, __m256 gamma, __m256 p, __m256 c) {
    if (kind == kPlusOne) return _mm256_add_ps(c, p);
    if (kind == kMinusOne) return _mm256_sub_ps(c, p);
    return _mm256_fmadd_ps(gamma, p, c);
}
[[gnu::always_inline]] inline float apply1(std::int32_t kind, float gamma, float p, float c) {
    if (kind == kPlusOne) return c + p;
    if (kind == kMinusOne) return c - p;
    return std::fma(gamma, p, c);
}

FormSet classify(std::int32_t count, const TermView* terms) {
    FormSet set;
    set.count = count;
    for (int t = 0; t < count; ++t) {
        set.data[t] = terms[t].data;
        set.ld[t] = terms[t].ld;
        set.coef[t] = terms[t].coef;
        set.kind[t] = terms[t].coef == 1.0f ? kPlusOne : terms[t].coef == -1.0f ? kMinusOne : kGeneral;
    }
    return set;
}

using PackA = u64 (*)(u64, u64, const FormSet*, float*, u64);
constexpr PackA packers_by_count[8] = {form_a_terms_1, form_a_terms_2, form_a_terms_3, form_a_terms_4,
                              form_a_terms_5, form_a_terms_6, form_a_terms_7, form_a_terms_8};

// The same set with every block moved to (row, col).
FormSet moved(const FormSet& set, u64 row, u64 col) {
    FormSet m = set;
    for (int t = 0; t < set.count; ++t) m.data[t] = set.data[t] + row * set.ld[t] + col;
    return m;
}

}  // namespace

void term_tile_kernel(u64 k_len, const float* a_panel, const float* b_panel, bool first, bool last,
                      float* partial, const FormSet* c_terms, u64 row, u64 col, u64 rows, u64 cols) {
    const bool full = rows == 6 && cols == 16;
    const bool prefetch = full && last;
    const u64 pf = std::max(k_len, kPrefetchLead) - kPrefetchLead;

    // The running total, a row-major 6x16 tile like the partial tile: element
    // (r, c) at 16r + c, so vector i = 2r + h is acc_rh.
    alignas(32) float total[96];
    __m256 AGG1_TILE_REGS;
    for (u64 k0 = 0; k0 < k_len; k0 += kSubChunk) {
        const u64 k1 = std::min(k0 + kSubChunk, k_len);
        acc_00 = _mm256_setzero_ps();
        acc_01 = acc_10 = acc_11 = acc_20 = acc_21 = acc_30 = acc_31 = acc_40 = acc_41 = acc_50 = acc_51 = acc_00;
        const float* a = a_panel + 6 * k0;
        const float* b = b_panel + 16 * k0;
        u64 steps = k1 - k0;
        if (prefetch && pf >= k0 && pf < k1) {
            const u64 before = (pf - k0) / 4;
            AGG1_QUADS(before, a, b);
            steps -= 4 * before;
            prefetch_outputs(*c_terms, row, col);
        }
        AGG1_QUADS(steps / 4, a, b);
        for (u64 s = steps % 4; s != 0; --s, a += 6, b += 16) AGG1_STEP(a, b);
        // Sub-chunk sums combine in float: sub-chunk + running.
        if (k0 == 0) {
            AGG1_EACH(AGG1_STORE, total);
        } else {
            AGG1_EACH(AGG1_ADD_STORE, total);
        }
    }
    if (k_len == 0) std::fill_n(total, 96, 0.0f);

    if (!first)
        for (int i = 0; i < 12; ++i)
            _mm256_store_ps(total + 8 * i, _mm256_add_ps(_mm256_load_ps(total + 8 * i), _mm256_loadu_ps(partial + 8 * i)));
    if (!last) {
        for (int i = 0; i < 12; ++i) _mm256_storeu_ps(partial + 8 * i, _mm256_load_ps(total + 8 * i));
        return;
    }

    // Each output term in order: C + P, C - P or fma(gamma, P, C). Full tiles
    // 8 floats at a time; an edge tile only over its rows x cols part, in
    // 8-float groups while 8 columns remain, then one float at a time.
    const FormSet& out = *c_terms;
    for (int t = 0; t < out.count; ++t) {
        const std::int32_t kind = out.kind[t];
        const float g = out.coef[t];
        const __m256 gamma = _mm256_set1_ps(g);
        for (u64 r = 0; r < rows; ++r) {
            float* const p = out.data[t] + (row + r) * out.ld[t] + col;
            const float* const src = total + 16 * r;
            u64 c = 0;
            for (; c + 8 <= cols; c += 8)
                _mm256_storeu_ps(p + c, apply8(kind, gamma, _mm256_load_ps(src + c), _mm256_loadu_ps(p + c)));
            if (!full)
                for (; c < cols; ++c) p[c] = apply1(kind, g, src[c], p[c]);
        }
    }
}

#undef AGG1_TILE_REGS
#undef AGG1_STEP
#undef AGG1_QUADS
#undef AGG1_ASM_STEP
#undef AGG1_ASM_OPERANDS
#undef AGG1_ROW
#undef AGG1_EACH
#undef AGG1_STORE
#undef AGG1_ADD_STORE

u64 term_workspace_floats(u64 n, const LeafPlan* plan) {
    return pan_adapter::pair_workspace_floats(n, plan != nullptr ? *plan : pan_adapter::leaf_plan_default(n));
}

void term_tiles_avx2(const TermTiles& t) {
    for (u64 jr = 0; jr < t.cols; jr += 16) {
        const u64 cols = std::min<u64>(16, t.cols - jr);
        const float* const b_panel = t.b + (jr / 16) * t.b_panel_floats;
        for (u64 ir = 0; ir < t.rows; ir += 6) {
            const u64 rows = std::min<u64>(6, t.rows - ir);
            term_tile_kernel(t.depth, t.a + (ir / 6) * t.a_panel_floats, b_panel, t.first, t.last,
                             t.partial + 96 * ((jr / 16) * t.strips_per_block + ir / 6), t.out, t.row + ir,
                             t.col + jr, rows, cols);
        }
    }
}

constinit kernel_select::Choice<TermTilesFn> term_tiles_choice{&term_tiles_avx2, &term_tiles_avx512};

void term_product(u64 n, std::int32_t count_a, const TermView* terms_a, std::int32_t count_b,
                  const TermView* terms_b, std::int32_t count_c, const TermView* terms_c, void* workspace,
                  const LeafPlan* plan) {
    auto bad = [](std::int32_t count) { return static_cast<std::uint32_t>(count - 1) > 7u; };
    if (n == 0 || bad(count_a) || bad(count_b) || bad(count_c)) return;
    const LeafPlan p = plan != nullptr ? *plan : pan_adapter::leaf_plan_default(n);
    const pan_adapter::LeafLayout L = pan_adapter::leaf_layout(n, p);
    float* const base = pan_adapter::leaf_workspace_base(static_cast<float*>(workspace));
    float* const b_region = base;
    float* const a_region = base + L.b_floats;

    const FormSet fa = classify(count_a, terms_a);
    const FormSet fb = classify(count_b, terms_b);
    const FormSet fc = classify(count_c, terms_c);
    const PackA pack_a = uses_signed_forms(fa) ? form_a_signed : packers_by_count[fa.count - 1];
    const TermTilesFn tiles = term_tiles_choice.get();
    TermTiles t{};
    t.a_panel_floats = L.a_panel_floats;
    t.b_panel_floats = L.b_panel_floats;
    t.partial = a_region + L.a_floats;
    t.strips_per_block = L.mc_eff / 6;
    t.out = &fc;

    for (u64 jc = 0; jc < n; jc += L.nc_eff) {
        const u64 nb = std::min(L.nc_eff, n - jc);
        const FormSet fb_block = moved(fb, 0, jc);
        form_b_terms_pack(n, nb, &fb_block, b_region, L.b_panel_floats);
        for (u64 ic = 0; ic < n; ic += L.mc_eff) {
            const u64 mb = std::min(L.mc_eff, n - ic);
            // With apf the first column block packs every strip of the block
            // once; later column blocks reuse them.
            float* const a_block = a_region + (L.apf ? (ic / 6) * L.a_panel_floats : 0);
            for (u64 pc = 0; pc < n; pc += L.kc_eff) {
                const u64 kb = std::min(L.kc_eff, n - pc);
                if (jc == 0 || !L.apf) {
                    const FormSet fa_block = moved(fa, ic, pc);
                    pack_a(mb, kb, &fa_block, a_block + 6 * pc, L.a_panel_floats);
                }
                t.depth = kb;
                t.a = a_block + 6 * pc;
                t.b = b_region + 16 * pc;
                t.first = pc == 0;
                t.last = pc + kb == n;
                t.row = ic;
                t.col = jc;
                t.rows = mb;
                t.cols = nb;
                tiles(t);
            }
        }
    }
}

}  // namespace agg1
