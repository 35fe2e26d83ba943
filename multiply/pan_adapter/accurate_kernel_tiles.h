// The register-tile stage of the accurate leaf kernel, one entry per
// instruction set.
//
// The driver (accurate_kernel.cpp) packs the panels and, for every column
// block and row block, hands the whole panel set to one AccurateTilesFn, which
// runs the register tile over every 6x16 output tile of it. The entries differ
// only in how many 6x16 tiles one register tile covers; per output element
// they perform the same operations in the same order:
//   - for each depth chunk of `subk` steps (32, 64 or 128; any other value
//     runs as 64), a float fused multiply-add chain from 0.0f in increasing
//     depth;
//   - the chunk sum widened to FP64 (exact); the first chunk's is taken as it
//     is, each later one added as total + chunk;
//   - D1 + total and D2 + total, one FP64 addition each, only inside the valid
//     height x width part of the tile.
// So every result has the same bits, except that where two NaNs of different
// bits meet in one operation, which of them comes out is the instruction's
// choice (results are NaN in the same places either way).
//
// This header is also included by the AVX-512 kernel source: keep it free of
// inline functions.
#pragma once

#include <cstdint>

namespace pan_adapter {

// One row block by one column block, panels already packed.
struct AccurateTiles {
    std::uint64_t depth;           // n: every tile runs over the whole depth
    std::uint64_t subk;            // depth chunk: 32, 64 or 128
    const float* a;                // A panel 0 of the row block
    std::uint64_t a_panel_floats;  // stride between A panels
    const float* b;                // B panel 0 of the column block (64-byte aligned)
    std::uint64_t b_panel_floats;  // stride between B panels
    double* d1;                    // D1 at the block's first row and column
    std::uint64_t ld_d1;
    double* d2;                    // D2 at the same place
    std::uint64_t ld_d2;
    std::uint64_t rows;  // rows of the row block
    std::uint64_t cols;  // columns of the column block
};
using AccurateTilesFn = void (*)(const AccurateTiles&);

// The 6x16 AVX2 register-tile stage: for each panel (16 columns) and, inside
// it, each strip (6 rows), the tile kernel of the block's subk.
void accurate_tiles_avx2(const AccurateTiles& t);
// 12x32 register tile (two strips by two panels), AVX-512F. Only on processors
// where kernel_select::avx512f_usable().
void accurate_tiles_avx512(const AccurateTiles& t);
// The same source built on SIMDe's portable AVX-512 (test library only).
void accurate_tiles_avx512_emulated(const AccurateTiles& t);

}  // namespace pan_adapter
