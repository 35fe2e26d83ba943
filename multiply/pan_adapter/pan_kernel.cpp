// Compiled with -mavx2 -mfma -ffp-contract=off: every multiply-add below is an
// explicit FMA and no other operation may be fused, so the rounding order is
// exactly the one the header promises.
#include "multiply/pan_adapter/pan_kernel.h"

#include <immintrin.h>

#include <algorithm>
#include <cstddef>

#include "multiply/pan_adapter/panel_pack.h"
#include "multiply/pan_adapter/tile_avx2.h"

namespace pan_adapter {

namespace {

using u64 = std::uint64_t;

}  // namespace

void pair_tile_kernel(u64 K, const float* a, const float* b, bool first, bool last,
                      float* partial, const PairOutput& out, u64 row, u64 col, u64 height,
                      u64 width) {
    const bool full = height == 6 && width == 16;
    const bool prefetch = full && last;
    const u64 pf = std::max(K, kPairPrefetchLead) - kPairPrefetchLead;

    float* const c1 = out.c1 + row * out.ld_c1 + col;
    float* const c2 = out.c2 + row * out.ld_c2 + col;

    alignas(64) float running[96];

    __m256 c00 = _mm256_setzero_ps(), c01 = c00, c10 = c00, c11 = c00, c20 = c00, c21 = c00,
           c30 = c00, c31 = c00, c40 = c00, c41 = c00, c50 = c00, c51 = c00;

    for (u64 k0 = 0; k0 < K; k0 += kPairChunk) {
        const u64 k1 = std::min(k0 + kPairChunk, K);
        c00 = _mm256_setzero_ps();
        c01 = c10 = c11 = c20 = c21 = c30 = c31 = c40 = c41 = c50 = c51 = c00;
        const float* ap = a + 6 * k0;
        const float* bp = b + 16 * k0;
        u64 steps = k1 - k0;
        if (prefetch && pf >= k0 && pf < k1) {
            const u64 before = (pf - k0) / 4;
            PAN_QUADS(before);
            steps -= 4 * before;
            for (u64 i = 0; i < 6; ++i) {
                const char* p2 = reinterpret_cast<const char*>(c2 + i * out.ld_c2);
                _mm_prefetch(p2, _MM_HINT_T0);
                _mm_prefetch(p2 + 60, _MM_HINT_T0);
            }
            for (u64 i = 0; i < 6; ++i) {
                const char* p1 = reinterpret_cast<const char*>(c1 + i * out.ld_c1);
                _mm_prefetch(p1, _MM_HINT_T0);
                _mm_prefetch(p1 + 60, _MM_HINT_T0);
            }
        }
        PAN_QUADS(steps / 4);
        for (u64 r = steps % 4; r != 0; --r) {
            PAN_STEP(ap, bp);
            ap += 6;
            bp += 16;
        }
        // Chunk sums combine in float: chunk + running.
        if (k0 != 0) {
            PAN_EACH(PAN_ADD_FROM, running);
        }
        if (k1 < K) {
            PAN_EACH(PAN_STORE_TO, running);
        }
    }

    if (!first) {
        PAN_EACH(PAN_ADD_FROM, partial);
    }
    if (!last) {
        PAN_EACH(PAN_STORE_TO, partial);
        return;
    }

    if (full) {
#define PAN_WRITE_ROW(c, ld, i, lo, hi)                                                    \
    do {                                                                                   \
        float* p_ = (c) + (i) * (ld);                                                      \
        _mm256_storeu_ps(p_, _mm256_add_ps(_mm256_loadu_ps(p_), lo));                      \
        _mm256_storeu_ps(p_ + 8, _mm256_add_ps(_mm256_loadu_ps(p_ + 8), hi));              \
    } while (0)
        PAN_WRITE_ROW(c1, out.ld_c1, 0, c00, c01);
        PAN_WRITE_ROW(c1, out.ld_c1, 1, c10, c11);
        PAN_WRITE_ROW(c1, out.ld_c1, 2, c20, c21);
        PAN_WRITE_ROW(c1, out.ld_c1, 3, c30, c31);
        PAN_WRITE_ROW(c1, out.ld_c1, 4, c40, c41);
        PAN_WRITE_ROW(c1, out.ld_c1, 5, c50, c51);
        PAN_WRITE_ROW(c2, out.ld_c2, 0, c00, c01);
        PAN_WRITE_ROW(c2, out.ld_c2, 1, c10, c11);
        PAN_WRITE_ROW(c2, out.ld_c2, 2, c20, c21);
        PAN_WRITE_ROW(c2, out.ld_c2, 3, c30, c31);
        PAN_WRITE_ROW(c2, out.ld_c2, 4, c40, c41);
        PAN_WRITE_ROW(c2, out.ld_c2, 5, c50, c51);
#undef PAN_WRITE_ROW
        return;
    }

    // Edge tile: only its height x width part exists in C1 and C2.
    alignas(64) float tile[96];
    PAN_EACH(PAN_STORE_TO, tile);
    for (u64 i = 0; i < height; ++i)
        for (u64 j = 0; j < width; ++j) c1[i * out.ld_c1 + j] += tile[16 * i + j];
    for (u64 i = 0; i < height; ++i)
        for (u64 j = 0; j < width; ++j) c2[i * out.ld_c2 + j] += tile[16 * i + j];
}

#undef PAN_STEP
#undef PAN_QUADS
#undef PAN_EACH
#undef PAN_ADD_FROM
#undef PAN_STORE_TO

void pair_tiles_avx2(const PairTiles& t) {
    for (u64 jr = 0; jr < t.cols; jr += 16) {
        const u64 width = std::min<u64>(16, t.cols - jr);
        const float* b_panel = t.b + (jr / 16) * t.b_panel_floats;
        for (u64 ir = 0; ir < t.rows; ir += 6) {
            const u64 height = std::min<u64>(6, t.rows - ir);
            pair_tile_kernel(t.depth, t.a + (ir / 6) * t.a_panel_floats, b_panel, t.first, t.last,
                             t.partial + 96 * ((jr / 16) * t.strips_per_block + ir / 6), t.out,
                             t.row + ir, t.col + jr, height, width);
        }
    }
}

constinit kernel_select::Choice<PairTilesFn> pair_tiles_choice{&pair_tiles_avx2,
                                                               &pair_tiles_avx512};

void pair_product_blocked(u64 n, const float* A1, u64 ldA1, const float* A2, u64 ldA2,
                          const float* B1, u64 ldB1, const float* B2, u64 ldB2, float* C1,
                          u64 ldC1, float* C2, u64 ldC2, float* workspace, const LeafPlan& plan) {
    const LeafLayout L = leaf_layout(n, plan);
    float* const base = leaf_workspace_base(workspace);
    float* const b_region = base;
    float* const a_region = base + L.b_floats;
    float* const partial_region = a_region + L.a_floats;
    const PairTilesFn tiles = pair_tiles_choice.get();
    PairTiles t{};
    t.a_panel_floats = L.a_panel_floats;
    t.b_panel_floats = L.b_panel_floats;
    t.partial = partial_region;
    t.strips_per_block = L.mc_eff / 6;
    t.out = PairOutput{C1, ldC1, C2, ldC2};

    for (u64 jc = 0; jc < n; jc += L.nc_eff) {
        const u64 cols = std::min(L.nc_eff, n - jc);
        pack_b_sum16(n, cols, B1 + jc, ldB1, B2 + jc, ldB2, b_region, L.b_panel_floats);
        for (u64 ic = 0; ic < n; ic += L.mc_eff) {
            const u64 rows = std::min(L.mc_eff, n - ic);
            float* const a_block = a_region + (L.apf ? (ic / 6) * L.a_panel_floats : 0);
            for (u64 pc = 0; pc < n; pc += L.kc_eff) {
                const u64 kcur = std::min(L.kc_eff, n - pc);
                if (jc == 0 || !L.apf)
                    pack_a_sum6(rows, kcur, A1 + ic * ldA1 + pc, ldA1, A2 + ic * ldA2 + pc, ldA2,
                                a_block + 6 * pc, L.a_panel_floats);
                t.depth = kcur;
                t.a = a_block + 6 * pc;
                t.b = b_region + 16 * pc;
                t.first = pc == 0;
                t.last = pc + kcur == n;
                t.row = ic;
                t.col = jc;
                t.rows = rows;
                t.cols = cols;
                tiles(t);
            }
        }
    }
}

void pair_product_with_plan(u64 n, const float* A1, u64 ldA1, const float* A2, u64 ldA2,
                            const float* B1, u64 ldB1, const float* B2, u64 ldB2, float* C1,
                            u64 ldC1, float* C2, u64 ldC2, float* workspace,
                            const LeafPlan& plan) {
    if (n == 0) return;
    pair_product_blocked(n, A1, ldA1, A2, ldA2, B1, ldB1, B2, ldB2, C1, ldC1, C2, ldC2, workspace,
                         plan);
}

void pair_product(u64 n, const float* A1, u64 ldA1, const float* A2, u64 ldA2, const float* B1,
                  u64 ldB1, const float* B2, u64 ldB2, float* C1, u64 ldC1, float* C2, u64 ldC2,
                  float* workspace) {
    if (n == 0) return;
    pair_product_blocked(n, A1, ldA1, A2, ldA2, B1, ldB1, B2, ldB2, C1, ldC1, C2, ldC2, workspace,
                         leaf_plan_default(n));
}

}  // namespace pan_adapter
