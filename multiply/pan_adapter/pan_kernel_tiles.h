// The register-tile stage of the Pan leaf kernel, one entry per instruction set.
//
// The blocked driver (pan_kernel.cpp) packs the panels and, for every column
// block, row block and depth block, hands the whole panel set to one
// PairTilesFn, which runs the register tile over every 6x16 output tile of it.
// The entries differ only in how many 6x16 tiles one register tile covers; per
// output element they perform the same operations in the same order:
//   - a fused multiply-add chain from 0.0 in increasing depth, restarted every
//     256 steps from the start of the depth block, each chunk sum added to the
//     running sum as chunk + running;
//   - not first: tile + partial tile; not last: all 96 floats of every 6x16
//     tile stored into its partial tile;
//   - last: C1 + tile and C2 + tile, one float addition each, only inside the
//     valid height x width part of the tile.
// So every result has the same bits, except that where two NaNs of different
// bits meet in one operation, which of them comes out is the instruction's
// choice (results are NaN in the same places either way).
//
// This header is also included by the AVX-512 kernel source: keep it free of
// inline functions.
#pragma once

#include <cstdint>

namespace pan_adapter {

// Where a finished tile goes: both outputs with their leading dimensions (floats).
struct PairOutput {
    float* c1;
    std::uint64_t ld_c1;
    float* c2;
    std::uint64_t ld_c2;
};

// One depth block of one row block by one column block, panels already packed.
struct PairTiles {
    std::uint64_t depth;             // depth steps of this depth block (>= 1)
    const float* a;                  // A panel 0 of the row block, at the block's first column
    std::uint64_t a_panel_floats;    // stride between A panels
    const float* b;                  // B panel 0 of the column block, at the block's first row
    std::uint64_t b_panel_floats;    // stride between B panels
    bool first;                      // first depth block: no partial tile to add
    bool last;                       // last depth block: write C1 and C2
    float* partial;                  // partial-tile region
    std::uint64_t strips_per_block;  // mc_eff / 6: tile (p, s) is at 96 * (p * this + s)
    PairOutput out;
    std::uint64_t row;   // first output row of the row block
    std::uint64_t col;   // first output column of the column block
    std::uint64_t rows;  // rows of the row block
    std::uint64_t cols;  // columns of the column block
};

using PairTilesFn = void (*)(const PairTiles&);

// Depth steps per FMA chain (every entry). Prefetch of a full tile's C rows
// on its last depth block: the 6x16 tile issues them all kPairPrefetchLead
// steps before its write-back, the 12x32 tile one row segment after every
// four of its last kPairPrefetchSpan steps. Prefetches change no result.
constexpr std::uint64_t kPairChunk = 256;
constexpr std::uint64_t kPairPrefetchLead = 128;
constexpr std::uint64_t kPairPrefetchSpan = 256;

// 6x16 register tile, AVX2/FMA (pair_tile_kernel once per tile).
void pair_tiles_avx2(const PairTiles& t);
// 12x32 register tile (two strips by two panels), AVX-512F. Only on processors
// where kernel_select::avx512f_usable().
void pair_tiles_avx512(const PairTiles& t);
// The same source built on SIMDe's portable AVX-512 (test library only).
void pair_tiles_avx512_emulated(const PairTiles& t);

}  // namespace pan_adapter
