// Compiled with -mavx2 -mfma -ffp-contract=off: every multiply-add below is an
// explicit FMA and nothing else may be fused, so the rounding order is exactly
// the one the header states.
#include "multiply/pan_adapter/accurate_kernel.h"

#include <immintrin.h>

#include <algorithm>
#include <cstdint>

#include "multiply/pan_adapter/leaf_plan.h"
#include "multiply/pan_adapter/panel_pack.h"
#include "multiply/pan_adapter/tile_avx2.h"

namespace pan_adapter {

namespace {

using u64 = std::uint64_t;

// The eight float chunk sums of acc widened to FP64, at p[0..7] of the FP64
// tile (row-major 6x16, the same offsets as the float tile): taken as they are
// (first chunk) or added to what the tile holds (later chunks).
#define ACC_WIDEN_TAKE(acc, p)                                                 \
    do {                                                                       \
        _mm256_store_pd(p, _mm256_cvtps_pd(_mm256_castps256_ps128(acc)));      \
        _mm256_store_pd((p) + 4, _mm256_cvtps_pd(_mm256_extractf128_ps(acc, 1))); \
    } while (0)
#define ACC_WIDEN_ADD(acc, p)                                                  \
    do {                                                                       \
        const __m256d lo_ = _mm256_cvtps_pd(_mm256_castps256_ps128(acc));      \
        const __m256d hi_ = _mm256_cvtps_pd(_mm256_extractf128_ps(acc, 1));    \
        _mm256_store_pd(p, _mm256_add_pd(_mm256_load_pd(p), lo_));             \
        _mm256_store_pd((p) + 4, _mm256_add_pd(_mm256_load_pd((p) + 4), hi_)); \
    } while (0)

// The tile kernel with chunk length S: per chunk, twelve float accumulators
// from 0.0f run their FMA chains over at most S depth steps (four at a time,
// then the remaining one to three singly); the chunk sums are widened and
// combined in FP64 in chunk order; finally T is added into D1 and D2.
template <u64 S>
void accurate_tile(u64 K, const float* a, const float* b, double* d1, u64 ld1, double* d2,
                   u64 ld2, u64 height, u64 width) {
    alignas(64) double total[96];
    __m256 c00, c01, c10, c11, c20, c21, c30, c31, c40, c41, c50, c51;
    for (u64 k0 = 0; k0 < K; k0 += S) {
        const u64 steps = std::min(S, K - k0);
        c00 = _mm256_setzero_ps();
        c01 = c10 = c11 = c20 = c21 = c30 = c31 = c40 = c41 = c50 = c51 = c00;
        const float* ap = a + 6 * k0;
        const float* bp = b + 16 * k0;
        PAN_QUADS(steps / 4);
        for (u64 r = steps % 4; r != 0; --r) {
            PAN_STEP(ap, bp);
            ap += 6;
            bp += 16;
        }
        if (k0 == 0) {
            PAN_EACH(ACC_WIDEN_TAKE, total);
        } else {
            PAN_EACH(ACC_WIDEN_ADD, total);
        }
    }

    if (height == 6 && width == 16) {
        for (u64 i = 0; i < 6; ++i)
            for (u64 j = 0; j < 16; j += 4) {
                const __m256d t = _mm256_load_pd(total + 16 * i + j);
                double* p1 = d1 + i * ld1 + j;
                double* p2 = d2 + i * ld2 + j;
                _mm256_storeu_pd(p1, _mm256_add_pd(_mm256_loadu_pd(p1), t));
                _mm256_storeu_pd(p2, _mm256_add_pd(_mm256_loadu_pd(p2), t));
            }
        return;
    }
    // Edge tile: only its height x width part exists in D1 and D2.
    for (u64 i = 0; i < height; ++i)
        for (u64 j = 0; j < width; ++j) {
            d1[i * ld1 + j] += total[16 * i + j];
            d2[i * ld2 + j] += total[16 * i + j];
        }
}

#undef ACC_WIDEN_TAKE
#undef ACC_WIDEN_ADD

}  // namespace

void accurate_tile_kernel_subk32(u64 K, const float* a, const float* b, double* D1, u64 ldD1,
                                 double* D2, u64 ldD2, u64 height, u64 width) {
    accurate_tile<32>(K, a, b, D1, ldD1, D2, ldD2, height, width);
}

void accurate_tile_kernel_subk64(u64 K, const float* a, const float* b, double* D1, u64 ldD1,
                                 double* D2, u64 ldD2, u64 height, u64 width) {
    accurate_tile<64>(K, a, b, D1, ldD1, D2, ldD2, height, width);
}

void accurate_tile_kernel_subk128(u64 K, const float* a, const float* b, double* D1, u64 ldD1,
                                  double* D2, u64 ldD2, u64 height, u64 width) {
    accurate_tile<128>(K, a, b, D1, ldD1, D2, ldD2, height, width);
}

void accurate_tiles_avx2(const AccurateTiles& t) {
    const auto kernel = t.subk == 32    ? accurate_tile_kernel_subk32
                        : t.subk == 128 ? accurate_tile_kernel_subk128
                                        : accurate_tile_kernel_subk64;
    for (u64 jr = 0; jr < t.cols; jr += 16) {
        const u64 width = std::min<u64>(16, t.cols - jr);
        const float* b_panel = t.b + (jr / 16) * t.b_panel_floats;
        for (u64 ir = 0; ir < t.rows; ir += 6)
            kernel(t.depth, t.a + (ir / 6) * t.a_panel_floats, b_panel, t.d1 + ir * t.ld_d1 + jr,
                   t.ld_d1, t.d2 + ir * t.ld_d2 + jr, t.ld_d2, std::min<u64>(6, t.rows - ir),
                   width);
    }
}

constinit kernel_select::Choice<AccurateTilesFn> accurate_tiles_choice{&accurate_tiles_avx2,
                                                                       &accurate_tiles_avx512};

void accurate_pair_product(u64 n, const float* A1, u64 ldA1, const float* A2, u64 ldA2,
                           const float* B1, u64 ldB1, const float* B2, u64 ldB2, double* D1,
                           u64 ldD1, double* D2, u64 ldD2, float* workspace) {
    if (n == 0) return;
    const LeafLayout L = leaf_layout(n, leaf_plan_default(n));
    float* const b_region = leaf_workspace_base(workspace);
    float* const a_region = b_region + L.b_floats;
    const AccurateTilesFn tiles = accurate_tiles_choice.get();
    AccurateTiles t{};
    t.depth = n;
    t.subk = accurate_main_subk();  // read once per call; other values run as 64
    t.a_panel_floats = L.a_panel_floats;
    t.b = b_region;
    t.b_panel_floats = L.b_panel_floats;
    t.ld_d1 = ldD1;
    t.ld_d2 = ldD2;

    for (u64 jc = 0; jc < n; jc += L.nc_eff) {
        t.cols = std::min(L.nc_eff, n - jc);
        pack_b_sum16(n, t.cols, B1 + jc, ldB1, B2 + jc, ldB2, b_region, L.b_panel_floats);
        for (u64 ic = 0; ic < n; ic += L.mc_eff) {
            t.rows = std::min(L.mc_eff, n - ic);
            float* const a_block = a_region + (L.apf ? (ic / 6) * L.a_panel_floats : 0);
            if (jc == 0 || !L.apf)
                pack_a_sum6(t.rows, n, A1 + ic * ldA1, ldA1, A2 + ic * ldA2, ldA2, a_block,
                            L.a_panel_floats);
            t.a = a_block;
            t.d1 = D1 + ic * ldD1 + jc;
            t.d2 = D2 + ic * ldD2 + jc;
            tiles(t);
        }
    }
}

}  // namespace pan_adapter
