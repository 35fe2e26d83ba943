// The accurate tiles on 512-bit vectors.
//
// Register tile: 12 rows by 32 columns, two 6-row A strips by two 16-column B
// panels, in 24 ZMM accumulators. One row of a B panel is one ZMM, so the
// panels and the workspace are exactly those of the AVX2 build. Each
// accumulator lane is one output element and goes through the operations of
// the AVX2 6x16 tile in the same order (accurate_kernel_tiles.h): a float FMA
// chain per depth chunk, the chunk sum widened to FP64 and added as
// total + chunk, then D + total. The results are bit-identical. Row blocks
// with an odd number of strips and column blocks with an odd number of panels
// end with 6x32, 12x16 or 6x16 register tiles.
//
// Inner loop per depth step: two aligned B loads, twelve A broadcasts and 24
// FMAs, nothing else (check the 12x32 loop's code after compiler changes: no
// stack access between the FMAs). Per chunk, each accumulator is widened in
// two halves (one extract, two conversions) into the FP64 tile on the stack.
// On a core with two 512-bit FMA units the loop is FMA-bound (24 FMAs to 14
// loads a step); the widening and FP64 adds of a chunk take about 170
// operations on the FMA ports against 24 * S FMAs, so the tile runs at about
// 95%, 90% and 82% of FMA peak for S = 128, 64 and 32.
//
// Built twice (avx512_build.h): natively with -mavx512f -mfma -ffp-contract=off
// into the programs, and on SIMDe's portable intrinsics for tests.
#include "multiply/pan_adapter/avx512_build.h"
#include "multiply/pan_adapter/avx512_cover.h"
#include "multiply/pan_adapter/accurate_kernel_tiles.h"
#include "multiply/pan_adapter/avx512_tile.h"

// GCC 12 warns that the "undefined" pass-through operand of its own
// _mm512_cvtps_pd and _mm512_extractf64x4_pd may be used uninitialized; with
// a full mask it never is.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace pan_adapter {

namespace {

using u64 = std::uint64_t;

constexpr u64 kPrefetchSpan = 256;  // last depth steps over which the output rows are prefetched

// Floats 0-7 and 8-15 of v, each widened to eight doubles (exact).
__attribute__((always_inline)) inline __m512d widen_low(__m512 v) {
    return _mm512_cvtps_pd(_mm512_castps512_ps256(v));
}
__attribute__((always_inline)) inline __m512d widen_high(__m512 v) {
    return _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(v), 1)));
}

// The chunk sums of one tile row (16 floats) into 16 doubles of the FP64
// tile at q: taken as they are (first chunk) or added as q + chunk.
__attribute__((always_inline)) inline void widen_take(__m512 v, double* q) {
    _mm512_storeu_pd(q, widen_low(v));
    _mm512_storeu_pd(q + 8, widen_high(v));
}
__attribute__((always_inline)) inline void widen_add(__m512 v, double* q) {
    _mm512_storeu_pd(q, _mm512_add_pd(_mm512_loadu_pd(q), widen_low(v)));
    _mm512_storeu_pd(q + 8, _mm512_add_pd(_mm512_loadu_pd(q + 8), widen_high(v)));
}

// D + total for one 6x16 FP64 tile (row-major, 16 doubles a row), only its
// height x width part.
void add_into(const double* total, double* d, u64 ld, u64 height, u64 width) {
    if (height == 6 && width == 16) {
        for (u64 r = 0; r < 6; ++r)
            for (u64 h = 0; h < 16; h += 8) {
                double* p = d + r * ld + h;
                _mm512_storeu_pd(p, _mm512_add_pd(_mm512_loadu_pd(p),
                                                  _mm512_loadu_pd(total + 16 * r + h)));
            }
        return;
    }
    for (u64 i = 0; i < height; ++i)
        for (u64 j = 0; j < width; ++j) d[i * ld + j] += total[16 * i + j];
}

// The register tile of S strips (1 or 2) by P panels (1 or 2) whose first 6x16
// tile is strip ir / 6 and panel jr / 16 of the block. `total` is the FP64
// tile, S * P row-major 6x16 tiles, tile (s, p) at 96 * (s * P + p). It lives
// in the caller's frame and this function is never inlined there, so that the
// compiler keeps it in memory instead of trying to hold its 48 vectors in
// registers beside the accumulators.
template <int S, int P>
__attribute__((noinline)) void tile(const AccurateTiles& t, u64 chunk, u64 ir, u64 jr,
                                    double* total) {
    const float* ap[S];
    const float* bp[P];
    u64 height[S], width[P];
    for (int s = 0; s < S; ++s) {
        ap[s] = t.a + (ir / 6 + s) * t.a_panel_floats;
        height[s] = min_u64(6, t.rows - ir - 6 * s);
    }
    for (int p = 0; p < P; ++p) {
        bp[p] = t.b + (jr / 16 + p) * t.b_panel_floats;
        width[p] = min_u64(16, t.cols - jr - 16 * p);
    }
    const u64 K = t.depth;
    // Full tiles prefetch their rows of D2, then of D1, one row segment (16 P
    // doubles) after every four of the last kPrefetchSpan depth steps.
    const bool full = height[0] == 6 && height[S - 1] == 6 && width[0] == 16 && width[P - 1] == 16;
    const u64 segs = full ? 2 * 6 * S : 0;
    const u64 from = (K > kPrefetchSpan ? K : kPrefetchSpan) - kPrefetchSpan;
    const double* rows[2 * 6 * S];
    for (u64 i = 0; i < segs / 2; ++i) {
        rows[i] = t.d2 + (ir + i) * t.ld_d2 + jr;
        rows[segs / 2 + i] = t.d1 + (ir + i) * t.ld_d1 + jr;
    }
    const auto prefetch_row = [&](u64 seg) __attribute__((always_inline)) {
        prefetch_span<128 * P>(rows[seg]);
    };
    u64 seg = 0;

    __m512 acc[6 * S][P];
    for (u64 k0 = 0; k0 < K; k0 += chunk) {
        avx512_tile_zero<S, P>(acc);
        avx512_tile_steps_prefetching<S, P>(acc, ap, bp, k0, min_u64(k0 + chunk, K), from, seg,
                                            segs, prefetch_row);
        // Fully unrolled, so that the accumulators never leave their registers.
#pragma GCC unroll 2
        for (int s = 0; s < S; ++s)
#pragma GCC unroll 2
            for (int p = 0; p < P; ++p) {
                double* q = total + 96 * (s * P + p);
                if (k0 == 0) {
#pragma GCC unroll 6
                    for (int r = 0; r < 6; ++r) widen_take(acc[6 * s + r][p], q + 16 * r);
                } else {
#pragma GCC unroll 6
                    for (int r = 0; r < 6; ++r) widen_add(acc[6 * s + r][p], q + 16 * r);
                }
            }
    }

    for (int s = 0; s < S; ++s)
        for (int p = 0; p < P; ++p) {
            const double* q = total + 96 * (s * P + p);
            const u64 r = ir + 6 * s, c = jr + 16 * p;
            add_into(q, t.d1 + r * t.ld_d1 + c, t.ld_d1, height[s], width[p]);
            add_into(q, t.d2 + r * t.ld_d2 + c, t.ld_d2, height[s], width[p]);
        }
}

}  // namespace

void KORVANE_AVX512_ENTRY(accurate_tiles_avx512)(const AccurateTiles& t) {
    const u64 chunk = t.subk == 32 ? 32 : t.subk == 128 ? 128 : 64;
    const auto tile_at = [&]<int S, int P>(u64 ir, u64 jr) __attribute__((always_inline)) {
        alignas(64) double total[2 * 2 * 96];  // in this function's frame: the lambda is inlined
        tile<S, P>(t, chunk, ir, jr, total);
    };
    avx512_cover(t.rows, t.cols, tile_at);
}

}  // namespace pan_adapter
