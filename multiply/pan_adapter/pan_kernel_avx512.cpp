// The Pan pair tiles on 512-bit vectors.
//
// Register tile: 12 rows by 32 columns, two 6-row A strips by two 16-column B
// panels, in 24 ZMM accumulators. One row of a B panel is one ZMM and so is
// one row of a 6x16 partial tile, so the panels, the partial tiles and the
// workspace are exactly those of the AVX2 build. Each accumulator lane is one
// output element and goes through the operations of the AVX2 6x16 tile in the
// same order (pan_kernel_tiles.h): the results are bit-identical. Row blocks
// with an odd number of strips and column blocks with an odd number of panels
// end with 6x32, 12x16 or 6x16 register tiles.
//
// Inner loop per depth step: two aligned B loads, twelve A broadcasts and 24
// FMAs, nothing else (check the 12x32 loop's code after compiler changes:
// no stack access between the FMAs).
//
// Built twice (avx512_build.h): natively with -mavx512f -mfma -ffp-contract=off
// into the programs, and on SIMDe's portable intrinsics for tests.
#include "multiply/pan_adapter/avx512_build.h"
#include "multiply/pan_adapter/avx512_cover.h"
#include "multiply/pan_adapter/avx512_tile.h"
#include "multiply/pan_adapter/pan_kernel_tiles.h"

namespace pan_adapter {

namespace {

using u64 = std::uint64_t;

// Adds one finished 6x16 tile into an output at c (leading dimension ld),
// only its height x width part.
template <int S, int P>
__attribute__((always_inline)) inline void write_tile(__m512 (&acc)[6 * S][P], int s, int p,
                                                      float* c, u64 ld, u64 height, u64 width) {
    if (height == 6 && width == 16) {
#pragma GCC unroll 6
        for (int r = 0; r < 6; ++r) {
            float* row = c + r * ld;
            _mm512_storeu_ps(row, _mm512_add_ps(_mm512_loadu_ps(row), acc[6 * s + r][p]));
        }
        return;
    }
    alignas(64) float tile[96];
    store_to<S, P>(acc, s, p, tile);
    for (u64 i = 0; i < height; ++i)
        for (u64 j = 0; j < width; ++j) c[i * ld + j] += tile[16 * i + j];
}

// The register tile of S strips (1 or 2) by P panels (1 or 2) whose first 6x16
// tile is strip ir / 6 and panel jr / 16 of the block.
template <int S, int P>
void tile(const PairTiles& t, u64 ir, u64 jr) {
    const float* ap[S];
    const float* bp[P];
    u64 height[S], width[P];
    bool full = true;
    for (int s = 0; s < S; ++s) {
        ap[s] = t.a + (ir / 6 + s) * t.a_panel_floats;
        height[s] = min_u64(6, t.rows - ir - 6 * s);
        full = full && height[s] == 6;
    }
    for (int p = 0; p < P; ++p) {
        bp[p] = t.b + (jr / 16 + p) * t.b_panel_floats;
        width[p] = min_u64(16, t.cols - jr - 16 * p);
        full = full && width[p] == 16;
    }
    const u64 K = t.depth;
    // Full tiles on their last depth block prefetch their rows of C2, then of
    // C1, one row segment after every four of the last kPairPrefetchSpan steps.
    const u64 segs = full && t.last ? 2 * 6 * S : 0;
    const u64 from = (K > kPairPrefetchSpan ? K : kPairPrefetchSpan) - kPairPrefetchSpan;
    const float* rows[2 * 6 * S];
    for (u64 i = 0; i < segs / 2; ++i) {
        rows[i] = t.out.c2 + (t.row + ir + i) * t.out.ld_c2 + t.col + jr;
        rows[segs / 2 + i] = t.out.c1 + (t.row + ir + i) * t.out.ld_c1 + t.col + jr;
    }
    const auto prefetch_row = [&](u64 seg) __attribute__((always_inline)) {
        prefetch_span<64 * P>(rows[seg]);
    };
    u64 seg = 0;

    __m512 acc[6 * S][P];
    avx512_tile_zero<S, P>(acc);
    alignas(64) float running[S * P * 96];  // tile (s, p) at 96 * (s * P + p)

    for (u64 k0 = 0; k0 < K; k0 += kPairChunk) {
        const u64 k1 = min_u64(k0 + kPairChunk, K);
        avx512_tile_zero<S, P>(acc);
        avx512_tile_steps_prefetching<S, P>(acc, ap, bp, k0, k1, from, seg, segs, prefetch_row);
        // Chunk sums combine in float: chunk + running. Fully unrolled, so
        // that the accumulators never leave their registers.
#pragma GCC unroll 2
        for (int s = 0; s < S; ++s)
#pragma GCC unroll 2
            for (int p = 0; p < P; ++p) {
                float* run = running + 96 * (s * P + p);
                if (k0 != 0) add_from<S, P>(acc, s, p, run);
                if (k1 < K) store_to<S, P>(acc, s, p, run);
            }
    }

#pragma GCC unroll 2
    for (int s = 0; s < S; ++s)
#pragma GCC unroll 2
        for (int p = 0; p < P; ++p) {
            float* partial =
                t.partial + 96 * ((jr / 16 + p) * t.strips_per_block + ir / 6 + s);
            if (!t.first) add_from<S, P>(acc, s, p, partial);
            if (!t.last) store_to<S, P>(acc, s, p, partial);
        }
    if (!t.last) return;

#pragma GCC unroll 2
    for (int s = 0; s < S; ++s)
#pragma GCC unroll 2
        for (int p = 0; p < P; ++p) {
            const u64 r = t.row + ir + 6 * s, c = t.col + jr + 16 * p;
            write_tile<S, P>(acc, s, p, t.out.c1 + r * t.out.ld_c1 + c, t.out.ld_c1, height[s],
                             width[p]);
            write_tile<S, P>(acc, s, p, t.out.c2 + r * t.out.ld_c2 + c, t.out.ld_c2, height[s],
                             width[p]);
        }
}

}  // namespace

void KORVANE_AVX512_ENTRY(pair_tiles_avx512)(const PairTiles& t) {
    const auto tile_at = [&]<int S, int P>(u64 ir, u64 jr) __attribute__((always_inline)) {
        tile<S, P>(t, ir, jr);
    };
    avx512_cover(t.rows, t.cols, tile_at);
}

}  // namespace pan_adapter
