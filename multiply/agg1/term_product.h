// Term products: every block product of the agg1 engine.
//
// term_product multiplies two signed combinations of up to eight square float
// blocks of side n and applies the product to up to eight output blocks:
//
//   for every output term t:  C_t <- C_t + gamma_t * P,
//   P = F_A * F_B,  F_A = sum_i alpha_i A_i,  F_B = sum_j beta_j B_j.
//
// F_A and F_B are never stored whole: they are formed in float while the
// operands are packed into the 6-row A panels and 16-column B panels of the
// leaf layout (leaf_plan.h), and a 6x16 AVX2/FMA register tile multiplies the
// panels and writes each finished tile into every output term. On processors
// with usable AVX-512F a 12x32 tile on 512-bit vectors does the same with
// bit-identical results.
//
// Arithmetic (this decides every bit of the result; float32 throughout):
//  - Forms. Per element, the terms combine left to right in term order. The
//    8-wide paths take the first term as x (coefficient +1), 0 - x (-1) or
//    x*alpha (any other coefficient), then add (+1), subtract (-1) or fuse
//    (fma(x, alpha, v), one rounding) each later term. The one-float tails
//    take x*alpha for the first term and fma(x, alpha, v) for each later one;
//    for coefficients +-1 that rounds exactly as the 8-wide path (only a
//    negated +0 differs: +0 wide, -0 in a tail). Which elements are 8-wide:
//    A side, full 6-row strips, depth steps in whole groups of 8 from the
//    start of the packed depth range; B side, whole 16-column panels.
//  - Product. Each element of P is a chain of FMAs in ascending depth within
//    256-step sub-chunks that start from zero, the sub-chunk sums added in
//    order (sub-chunk + running); under a plan with a depth block shorter
//    than n, each depth block's value is added to the stored partial tile
//    (block + partial).
//  - Outputs. Each output term gets the finished float P once: C + P
//    (coefficient +1), C - P (-1) or fma(gamma, P, C) (any other).
// Coefficients are classified by exact comparison with 1.0f, then -1.0f;
// everything else (0, -0, NaN) is a general term.
//
// Requires AVX2 and FMA. Reentrant: any number of threads may run term
// products at once, each with its own workspace; output blocks must be held
// exclusively by the caller and overlap no input block.
#pragma once

#include <cstdint>

#include "multiply/agg1/term_product_tiles.h"
#include "multiply/pan_adapter/kernel_select.h"
#include "multiply/pan_adapter/leaf_plan.h"

namespace agg1 {

using pan_adapter::LeafPlan;

// One term of an operand or of the output: element (r, c) is data[r*ld + c].
struct TermView {
    float* data;
    std::uint64_t ld;  // row stride in floats
    float coef;
};

// The register-tile entry the driver uses: term_tiles_avx512 where AVX-512F
// is usable, else term_tiles_avx2 (term_product_tiles.h). Read once per call.
extern kernel_select::Choice<TermTilesFn> term_tiles_choice;

// When true, every packer skips its specialised +-1 code and takes the
// count-indexed path; the values are the same either way. Written only while
// no product runs (method set-up sets it for "agg1g").
extern bool general_forms_only;

// A-side packers, one per term count N (the set's count must be N): rows
// 0..rows-1, depth 0..k_len-1 of F_A into ceil(rows/6) A panels, strip s at
// dst + s*panel_stride, depth step k at offset 6k. Full strips are formed 8
// depth steps at a time and transposed; the 8-float stores of one step put two
// zeros into the first floats of the next step, and after the last 8-wide step
// into the two floats that follow it. Returns ceil(rows/6).
std::uint64_t form_a_terms_1(std::uint64_t rows, std::uint64_t k_len, const FormSet* forms, float* dst,
                             std::uint64_t panel_stride);
std::uint64_t form_a_terms_2(std::uint64_t rows, std::uint64_t k_len, const FormSet* forms, float* dst,
                             std::uint64_t panel_stride);
std::uint64_t form_a_terms_3(std::uint64_t rows, std::uint64_t k_len, const FormSet* forms, float* dst,
                             std::uint64_t panel_stride);
std::uint64_t form_a_terms_4(std::uint64_t rows, std::uint64_t k_len, const FormSet* forms, float* dst,
                             std::uint64_t panel_stride);
std::uint64_t form_a_terms_5(std::uint64_t rows, std::uint64_t k_len, const FormSet* forms, float* dst,
                             std::uint64_t panel_stride);
std::uint64_t form_a_terms_6(std::uint64_t rows, std::uint64_t k_len, const FormSet* forms, float* dst,
                             std::uint64_t panel_stride);
std::uint64_t form_a_terms_7(std::uint64_t rows, std::uint64_t k_len, const FormSet* forms, float* dst,
                             std::uint64_t panel_stride);
std::uint64_t form_a_terms_8(std::uint64_t rows, std::uint64_t k_len, const FormSet* forms, float* dst,
                             std::uint64_t panel_stride);

// True when a set takes the specialised +-1 code: general_forms_only clear,
// one to three terms, none general.
bool uses_signed_forms(const FormSet& set);

// The specialised A forms of the driver (for sets that uses_signed_forms):
// one to three +-1 terms by sign mask, the same layout and values as the
// count-indexed packers.
std::uint64_t form_a_signed(std::uint64_t rows, std::uint64_t k_len, const FormSet* forms, float* dst,
                            std::uint64_t panel_stride);

// B-side packer: rows 0..k_len-1, columns 0..cols-1 of F_B into
// ceil(cols/16) B panels, panel p at dst + p*panel_stride, row k at offset
// 16k; columns past cols are 0.0. One to three +-1 terms take specialised
// code unless general_forms_only is set.
void form_b_terms_pack(std::uint64_t k_len, std::uint64_t cols, const FormSet* forms, float* dst,
                       std::uint64_t panel_stride);

// Floats of workspace a term product of side n needs under the plan (null:
// the default plan of n): 0 for n = 0, else 16 + the B and A regions, plus
// the partial-tile region when the depth is blocked.
std::uint64_t term_workspace_floats(std::uint64_t n, const LeafPlan* plan);

// The product described above. Nothing happens when n = 0 or a count lies
// outside 1..8. workspace: at least term_workspace_floats(n, plan) floats,
// float-aligned; plan: the one that sized the workspace (null: the default).
void term_product(std::uint64_t n, std::int32_t count_a, const TermView* terms_a, std::int32_t count_b,
                  const TermView* terms_b, std::int32_t count_c, const TermView* terms_c, void* workspace,
                  const LeafPlan* plan);

// One 6x16 output tile over k_len depth steps. a_panel and b_panel point at
// depth step 0 of the range inside an A panel and a (64-byte aligned) B
// panel. Not first: the partial tile is added. Not last: all 96 floats go to
// the partial tile. Last: the rows x cols part is applied to every output
// term at (row, col).
void term_tile_kernel(std::uint64_t k_len, const float* a_panel, const float* b_panel, bool first, bool last,
                      float* partial, const FormSet* c_terms, std::uint64_t row, std::uint64_t col,
                      std::uint64_t rows, std::uint64_t cols);

}  // namespace agg1
