// Packers of the 6x16 leaf kernels: operand sums in the panel formats of
// leaf_plan.h.
//
// Every packed value is one float addition X1 + X2, rounded to float once, so
// every kernel that packs through these sees exactly the same operands.
#pragma once

#include <cstdint>

namespace pan_adapter {

// B panels: rows 0..rows-1 of the `cols` columns starting at B1 and B2 into
// ceil(cols / 16) panels at stride panel_floats (64-byte aligned). Row k of
// panel p holds B1(k, 16p + c) + B2(k, 16p + c) at offset 16k + c; columns at
// or past `cols` are 0.0.
void pack_b_sum16(std::uint64_t rows, std::uint64_t cols, const float* B1, std::uint64_t ldB1,
                  const float* B2, std::uint64_t ldB2, float* panels, std::uint64_t panel_floats);

// A panels: columns 0..depth-1 of the `rows` rows starting at A1 and A2 into
// ceil(rows / 6) strips at stride panel_floats. Strip s holds at offset 6k + r
// the sum A1(6s + r, k) + A2(6s + r, k), 0.0 for rows past `rows`. Full strips
// are transposed eight columns at a time with 8-float stores whose last two
// floats land in the next column (rewritten next) or in the strip's spare
// floats; the rest goes column by column.
void pack_a_sum6(std::uint64_t rows, std::uint64_t depth, const float* A1, std::uint64_t ldA1,
                 const float* A2, std::uint64_t ldA2, float* panels, std::uint64_t panel_floats);

}  // namespace pan_adapter
