// The Pan leaf kernel: P = (A1 + A2) * (B1 + B2) for float blocks of side n,
// added into two outputs, C1 += P and C2 += P.
//
// Arithmetic (float32 throughout): each operand sum is rounded to float once
// when packed; each element of P is a fused multiply-add chain in increasing
// depth over 256-step chunks, the chunk sums added in float in increasing
// order (and, under a plan with a depth block shorter than n, the depth-block
// sums added in increasing order); C1 and C2 each receive P by one float
// addition per element. Only the n x n parts of C1 and C2 are written.
//
// Callers guarantee that C1 and C2 overlap neither each other nor any operand,
// that leading dimensions are at least n, and that the workspace holds at least
// pair_workspace_floats(n, plan) floats (float alignment suffices). One
// workspace serves one call at a time. Requires AVX2 and FMA; on processors
// with usable AVX-512F the register tiles run on 512-bit vectors instead, with
// bit-identical results (pan_kernel_tiles.h).
#pragma once

#include <cstdint>

#include "multiply/pan_adapter/kernel_select.h"
#include "multiply/pan_adapter/leaf_plan.h"
#include "multiply/pan_adapter/pan_kernel_tiles.h"

namespace pan_adapter {

// The register-tile entry the driver uses: pair_tiles_avx512 where AVX-512F is
// usable, else pair_tiles_avx2. Read once per driver call.
extern kernel_select::Choice<PairTilesFn> pair_tiles_choice;

// Default plan of n; n = 0 does nothing.
void pair_product(std::uint64_t n, const float* A1, std::uint64_t ldA1, const float* A2,
                  std::uint64_t ldA2, const float* B1, std::uint64_t ldB1, const float* B2,
                  std::uint64_t ldB2, float* C1, std::uint64_t ldC1, float* C2, std::uint64_t ldC2,
                  float* workspace);

// Caller's plan; n = 0 does nothing.
void pair_product_with_plan(std::uint64_t n, const float* A1, std::uint64_t ldA1,
                            const float* A2, std::uint64_t ldA2, const float* B1,
                            std::uint64_t ldB1, const float* B2, std::uint64_t ldB2, float* C1,
                            std::uint64_t ldC1, float* C2, std::uint64_t ldC2, float* workspace,
                            const LeafPlan& plan);

// The blocked driver (n >= 1): packs the operand sums and walks the plan's blocks.
void pair_product_blocked(std::uint64_t n, const float* A1, std::uint64_t ldA1,
                          const float* A2, std::uint64_t ldA2, const float* B1,
                          std::uint64_t ldB1, const float* B2, std::uint64_t ldB2, float* C1,
                          std::uint64_t ldC1, float* C2, std::uint64_t ldC2, float* workspace,
                          const LeafPlan& plan);

// One 6x16 tile over K depth steps: a points at the A panel's column of the
// depth block's start, b at the B panel's row of it (64-byte aligned). Not
// first: the partial tile's running sum is added. Not last: all 96 floats are
// stored into the partial tile. Last: the height x width part is added into C1
// and C2 at (row, col).
void pair_tile_kernel(std::uint64_t K, const float* a, const float* b, bool first, bool last,
                      float* partial, const PairOutput& out, std::uint64_t row, std::uint64_t col,
                      std::uint64_t height, std::uint64_t width);

}  // namespace pan_adapter
