// The term-product tiles on 512-bit vectors.
//
// Register tile: 12 rows by 32 columns, two 6-row A strips by two 16-column B
// panels, in 24 ZMM accumulators acc[6s + r][p] (strip s, row r, panel p).
// One row of a B panel is one ZMM and so is one row of a 6x16 partial tile,
// so the panels, the partial tiles and the workspace are exactly those of the
// AVX2 build. Each accumulator lane is one output element and goes through
// the operations of the AVX2 6x16 tile in the same order
// (term_product_tiles.h): the results are bit-identical. Row blocks with an
// odd number of strips and column blocks with an odd number of panels end
// with 6x32, 12x16 or 6x16 register tiles.
//
// Inner loop per depth step (the shared core, avx512_tile.h): two aligned B
// loads, twelve A broadcasts and 24 FMAs, nothing else; 14 load-port
// instructions (a broadcast from memory needs no other port). On a core with
// two 512-bit FMA pipes and two load ports the FMAs set the pace: 12 cycles a
// step for 768 flops, the whole peak of 64 flops a cycle, the loads taking 7.
// Around it, per 12x32 tile and 256-step sub-chunk: 24 stores of the running
// sums and 24 adds from them (the accumulators stay in registers), over the
// last 256 steps one output row prefetched every four steps, and at the end 24 loads, updates and stores per
// output term; the panels stream from L2 at about 15 bytes a cycle (two B
// rows and two A columns a step), as in the AVX2 tile. Expected at n = 1024
// with the main leaves' three terms a side and three outputs: some 85-90% of
// peak on such a core (Skylake-SP to Sapphire Rapids), near one-thread
// OpenBLAS with its AVX-512 SGEMM kernel (about 0.95x). Where 512-bit FMAs
// run on 256-bit units (Zen 4) the peak is that of the AVX2 tile; the gain
// there is half the loads and broadcasts per flop. Check the 12x32 loop's
// code after compiler changes: no stack access between the FMAs.
//
// Built twice (avx512_build.h): natively with -mavx512f -mfma -ffp-contract=off
// into the programs, and on SIMDe's portable intrinsics for tests.
#include "multiply/pan_adapter/avx512_build.h"
#include "multiply/pan_adapter/avx512_cover.h"
#include "multiply/pan_adapter/avx512_tile.h"
#include "multiply/agg1/term_product_tiles.h"

namespace agg1 {

namespace {

using u64 = std::uint64_t;

constexpr u64 kSubChunk = 256;      // depth steps per FMA chain
constexpr u64 kPrefetchSpan = 256;  // last depth steps over which the output rows are prefetched

// The tile's accumulators and where its 6x16 parts start.
template <int S, int P>
struct Tile {
    __m512 acc[6 * S][P];
    const float* a[S];  // A strip s at the current depth block's step 0
    const float* b[P];  // B panel p likewise
    u64 height[S];      // valid rows of strip s
    u64 width[P];       // valid columns of panel p
};

// Output element update of each kind: C + P, C - P, fma(gamma, P, C).
template <std::int32_t Kind>
[[gnu::always_inline]] inline __m512 apply16(__m512 gamma, __m512 tile, __m512 c) {
    if constexpr (Kind == kPlusOne) return _mm512_add_ps(c, tile);
    if constexpr (Kind == kMinusOne) return _mm512_sub_ps(c, tile);
    return _mm512_fmadd_ps(gamma, tile, c);
}
template <std::int32_t Kind>
[[gnu::always_inline]] inline float apply1(float gamma, float tile, float c) {
    if constexpr (Kind == kPlusOne) return c + tile;
    if constexpr (Kind == kMinusOne) return c - tile;
    return __builtin_fmaf(gamma, tile, c);
}

// Applies every 6x16 part of the tile to one output term whose element
// (0, 0) of the tile is at c (row stride ld): full parts 16 floats a row,
// the others through a copy, one float at a time inside their valid part.
template <std::int32_t Kind, int S, int P>
[[gnu::always_inline]] inline void apply_term(const Tile<S, P>& t, float gamma, float* c, u64 ld) {
    const __m512 g = _mm512_set1_ps(gamma);
#pragma GCC unroll 2
    for (int s = 0; s < S; ++s)
#pragma GCC unroll 2
        for (int p = 0; p < P; ++p) {
            float* const part = c + 6 * s * ld + 16 * p;
            if (t.height[s] == 6 && t.width[p] == 16) {
#pragma GCC unroll 6
                for (int r = 0; r < 6; ++r) {
                    float* const row = part + r * ld;
                    _mm512_storeu_ps(row, apply16<Kind>(g, t.acc[6 * s + r][p], _mm512_loadu_ps(row)));
                }
                continue;
            }
            alignas(64) float copy[96];
            store_to<S, P>(t.acc, s, p, copy);
            for (u64 r = 0; r < t.height[s]; ++r)
                for (u64 j = 0; j < t.width[p]; ++j)
                    part[r * ld + j] = apply1<Kind>(gamma, copy[16 * r + j], part[r * ld + j]);
        }
}

// The register tile of S strips (1 or 2) by P panels (1 or 2) whose first
// 6x16 part is strip ir / 6 and panel jr / 16 of the block.
template <int S, int P>
void run_tile(const TermTiles& w, u64 ir, u64 jr) {
    Tile<S, P> t;
    bool full = true;
    for (int s = 0; s < S; ++s) {
        t.a[s] = w.a + (ir / 6 + s) * w.a_panel_floats;
        t.height[s] = min_u64(6, w.rows - ir - 6 * s);
        full = full && t.height[s] == 6;
    }
    for (int p = 0; p < P; ++p) {
        t.b[p] = w.b + (jr / 16 + p) * w.b_panel_floats;
        t.width[p] = min_u64(16, w.cols - jr - 16 * p);
        full = full && t.width[p] == 16;
    }
    const u64 K = w.depth;
    const u64 row = w.row + ir, col = w.col + jr;
    // Full tiles on their last depth block prefetch the rows under the tile
    // of every output term in order, one row segment after every four of the
    // last kPrefetchSpan depth steps.
    const FormSet& out = *w.out;
    const u64 segs = full && w.last ? static_cast<u64>(out.count) * 6 * S : 0;
    const u64 from = (K > kPrefetchSpan ? K : kPrefetchSpan) - kPrefetchSpan;
    const float* rows[8 * 6 * S];
    for (u64 i = 0; i < segs; ++i) {
        const u64 term = i / (6 * S), r = i % (6 * S);
        rows[i] = out.data[term] + (row + r) * out.ld[term] + col;
    }
    const auto prefetch_row = [&](u64 seg) __attribute__((always_inline)) {
        prefetch_span<64 * P>(rows[seg]);
    };
    u64 seg = 0;

    // Sum of the sub-chunks done so far, part (s, p) at 96 * (s * P + p).
    alignas(64) float running[S * P * 96];
    // The depth is at least 1, so at least one sub-chunk runs, and each one
    // starts by zeroing the accumulators.
    u64 k0 = 0;
    do {
        const u64 k1 = min_u64(k0 + kSubChunk, K);
        avx512_tile_zero<S, P>(t.acc);
        avx512_tile_steps_prefetching<S, P>(t.acc, t.a, t.b, k0, k1, from, seg, segs, prefetch_row);
        // Sub-chunk sums combine in float: sub-chunk + running. Fully
        // unrolled, so that the accumulators never leave their registers.
#pragma GCC unroll 2
        for (int s = 0; s < S; ++s)
#pragma GCC unroll 2
            for (int p = 0; p < P; ++p) {
                float* const run = running + 96 * (s * P + p);
                if (k0 != 0) add_from<S, P>(t.acc, s, p, run);
                if (k1 < K) store_to<S, P>(t.acc, s, p, run);
            }
        k0 += kSubChunk;
    } while (k0 < K);

#pragma GCC unroll 2
    for (int s = 0; s < S; ++s)
#pragma GCC unroll 2
        for (int p = 0; p < P; ++p) {
            float* const partial = w.partial + 96 * ((jr / 16 + p) * w.strips_per_block + ir / 6 + s);
            if (!w.first) add_from<S, P>(t.acc, s, p, partial);
            if (!w.last) store_to<S, P>(t.acc, s, p, partial);
        }
    if (!w.last) return;

    for (int i = 0; i < out.count; ++i) {
        float* const c = out.data[i] + row * out.ld[i] + col;
        if (out.kind[i] == kPlusOne)
            apply_term<kPlusOne>(t, 1.0f, c, out.ld[i]);
        else if (out.kind[i] == kMinusOne)
            apply_term<kMinusOne>(t, -1.0f, c, out.ld[i]);
        else
            apply_term<kGeneral>(t, out.coef[i], c, out.ld[i]);
    }
}

}  // namespace

void KORVANE_AVX512_ENTRY(term_tiles_avx512)(const TermTiles& t) {
    const auto tile_at = [&]<int S, int P>(u64 ir, u64 jr) __attribute__((always_inline)) {
        run_tile<S, P>(t, ir, jr);
    };
    avx512_cover(t.rows, t.cols, tile_at);
}

}  // namespace agg1
