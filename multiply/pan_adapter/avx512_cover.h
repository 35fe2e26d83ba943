// The walk of the AVX-512 leaf kernels over one block of rows x cols output
// elements: register tiles of two 6-row A strips by two 16-column B panels
// (12x32) wherever they fit; a block with an odd number of strips or panels
// ends with 6x32, 12x16 or 6x16 tiles. For each, tile.template
// operator()<S, P>(ir, jr) runs the tile of S strips by P panels whose first
// element is row ir, column jr of the block. Make that operator always
// inlined, so that the tiles are called directly from the kernel's entry.
//
// Include after avx512_build.h, only from AVX-512 kernel sources. Everything
// here has internal linkage and is always inlined.
#pragma once

#include <cstdint>

namespace {

template <class Tile>
__attribute__((always_inline)) inline void avx512_cover(std::uint64_t rows, std::uint64_t cols,
                                                        const Tile& tile) {
    for (std::uint64_t jr = 0; jr < cols; jr += 32) {
        const bool two_panels = cols - jr > 16;
        for (std::uint64_t ir = 0; ir < rows; ir += 12) {
            const bool two_strips = rows - ir > 6;
            if (two_strips) {
                if (two_panels)
                    tile.template operator()<2, 2>(ir, jr);
                else
                    tile.template operator()<2, 1>(ir, jr);
            } else {
                if (two_panels)
                    tile.template operator()<1, 2>(ir, jr);
                else
                    tile.template operator()<1, 1>(ir, jr);
            }
        }
    }
}

}  // namespace
