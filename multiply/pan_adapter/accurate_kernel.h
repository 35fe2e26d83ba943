// The accurate leaf kernel: P = (A1 + A2) * (B1 + B2) for float blocks of
// side n, added in FP64 into two outputs, D1 += P and D2 += P.
//
// Arithmetic, per output element (i, j), with S = accurate_main_subk()
// (32, 64 or 128) read once per call:
//   1. a(i, k) = A1(i, k) + A2(i, k) and b(k, j) = B1(k, j) + B2(k, j), each
//      one float addition (the packers of panel_pack.h);
//   2. for each depth chunk t = [tS, min(tS + S, n)): s_t = a float fused
//      multiply-add chain in increasing k starting from 0.0f,
//      s_t = fma(a(i, k), b(k, j), s_t);
//   3. T = double(s_0), then T = T + double(s_t) for t = 1, 2, ... in order
//      (FP64 additions);
//   4. D1(i, j) = D1(i, j) + T and D2(i, j) = D2(i, j) + T (FP64).
// So float rounding accumulates over at most S steps, everything after it is
// FP64, and D1 and D2 receive the same T. The result of every element depends
// only on the depth order and S, never on how the product is blocked.
//
// Structure (the blocking of pan_kernel.h under leaf_plan_default(n), whole
// depth, no partial tiles; only the AVX-512F stage prefetches its outputs):
// for each column block, B is packed
// once for the whole depth; for each row block, A is packed (or, with apf,
// packed once for the whole block during the first column block); then the
// register-tile stage (accurate_kernel_tiles.h) runs every 6x16 tile of the
// block: the AVX2 stage one tile at a time through the tile kernels below, the
// AVX-512F stage, chosen at run time where the processor has it, as 12x32
// register tiles with bit-identical results. The packers (panel_pack.h) and
// the driver are shared.
//
// Callers guarantee that D1 and D2 overlap neither each other nor any operand,
// that leading dimensions (floats for operands, doubles for outputs) are at
// least n, and that the workspace holds pair_workspace_floats_default(n) floats
// (float alignment suffices); one workspace serves one call at a time. Only
// the n x n parts of D1 and D2 are written. Requires AVX2 and FMA.
#pragma once

#include <cstdint>

#include "multiply/pan_adapter/accurate_kernel_tiles.h"
#include "multiply/pan_adapter/kernel_select.h"

namespace pan_adapter {

// The register-tile entry the driver uses: accurate_tiles_avx512 where
// AVX-512F is usable, else accurate_tiles_avx2. Read once per driver call.
extern kernel_select::Choice<AccurateTilesFn> accurate_tiles_choice;

// D1 += P and D2 += P in FP64; n = 0 does nothing.
void accurate_pair_product(std::uint64_t n, const float* A1, std::uint64_t ldA1,
                           const float* A2, std::uint64_t ldA2, const float* B1,
                           std::uint64_t ldB1, const float* B2, std::uint64_t ldB2, double* D1,
                           std::uint64_t ldD1, double* D2, std::uint64_t ldD2, float* workspace);

// One 6x16 tile over depth K >= 1 with chunks of 32, 64 or 128 steps: a is an
// A panel, b a B panel (64-byte aligned), D1 and D2 point at the tile's first
// element; the height x width part (1..6 x 1..16) of T is added into each.
void accurate_tile_kernel_subk32(std::uint64_t K, const float* a, const float* b, double* D1,
                                 std::uint64_t ldD1, double* D2, std::uint64_t ldD2,
                                 std::uint64_t height, std::uint64_t width);
void accurate_tile_kernel_subk64(std::uint64_t K, const float* a, const float* b, double* D1,
                                 std::uint64_t ldD1, double* D2, std::uint64_t ldD2,
                                 std::uint64_t height, std::uint64_t width);
void accurate_tile_kernel_subk128(std::uint64_t K, const float* a, const float* b, double* D1,
                                  std::uint64_t ldD1, double* D2, std::uint64_t ldD2,
                                  std::uint64_t height, std::uint64_t width);

}  // namespace pan_adapter
