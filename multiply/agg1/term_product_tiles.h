// The register-tile stage of the term product, one entry per instruction set.
//
// The driver (term_product.cpp) packs the panels and, for every column block,
// row block and depth block, hands the whole panel set to one TermTilesFn,
// which runs the register tile over every 6x16 output tile of it. The entries
// differ only in how many 6x16 tiles one register tile covers; per output
// element they perform the same operations in the same order:
//   - a fused multiply-add chain from 0.0 in increasing depth, restarted every
//     256 steps from the start of the depth block, each sub-chunk sum added to
//     the running sum as sub-chunk + running;
//   - not first: tile + partial tile; not last: all 96 floats of every 6x16
//     tile stored into its partial tile;
//   - last: for every output term in order, C + P, C - P or fma(gamma, P, C),
//     one rounding each, only inside the valid rows x cols part of the tile.
// So every result has the same bits, except that where two NaNs of different
// bits meet in one operation, which of them comes out is the instruction's
// choice (results are NaN in the same places either way).
//
// This header is also included by the AVX-512 kernel source: keep it free of
// inline functions.
#pragma once

#include <cstdint>

namespace agg1 {

// Term kinds of a FormSet.
enum : std::int32_t { kPlusOne = 0, kMinusOne = 1, kGeneral = 2 };

// A classified term list of one operand or of the output. Entries at and past
// count are never read.
struct FormSet {
    std::int32_t count;
    float* data[8];
    std::uint64_t ld[8];
    float coef[8];
    std::int32_t kind[8];
};

// One depth block of one row block by one column block, panels already packed.
struct TermTiles {
    std::uint64_t depth;             // depth steps of this depth block (>= 1)
    const float* a;                  // A panel 0 of the row block, at the block's first depth step
    std::uint64_t a_panel_floats;    // stride between A panels
    const float* b;                  // B panel 0 of the column block, at the block's first row
    std::uint64_t b_panel_floats;    // stride between B panels
    bool first;                      // first depth block: no partial tile to add
    bool last;                       // last depth block: apply the tiles to the output terms
    float* partial;                  // partial-tile region
    std::uint64_t strips_per_block;  // mc_eff / 6: tile (p, s) is at 96 * (p * this + s)
    const FormSet* out;              // output terms
    std::uint64_t row;               // first output row of the row block
    std::uint64_t col;               // first output column of the column block
    std::uint64_t rows;              // rows of the row block
    std::uint64_t cols;              // columns of the column block
};

using TermTilesFn = void (*)(const TermTiles&);

// 6x16 register tile, AVX2/FMA (term_tile_kernel once per tile, panels in the
// outer loop, strips in the inner one).
void term_tiles_avx2(const TermTiles& t);
// 12x32 register tile (two strips by two panels), AVX-512F. Only on processors
// where kernel_select::avx512f_usable().
void term_tiles_avx512(const TermTiles& t);
// The same source built on SIMDe's portable AVX-512 (test library only).
void term_tiles_avx512_emulated(const TermTiles& t);

}  // namespace agg1
