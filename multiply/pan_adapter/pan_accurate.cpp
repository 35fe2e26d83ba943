// The accurate Pan variant: run_pair's algebra (see pan_pair.cpp) with FP64
// accumulators. Phases: widen (or clear) the outputs into ACC and ACC2; FP64
// block-line sums; the scheduled aggregated products into ACC and ACC2;
// the correction products, each a sum of float SGEMM pieces taken in FP64;
// the FP64 sums U and T of P; C = float(ACC - U) and C2 = float(ACC2 - T).
#include "multiply/pan_adapter/pan_accurate.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "multiply/blas/aocl_backend.h"
#include "multiply/blas/leaf_route.h"
#include "multiply/pan_adapter/accurate_kernel.h"
#include "multiply/pan_adapter/leaf_plan.h"

namespace pan_adapter {

namespace implementation {

AccurateState accurate_state;
std::mutex accurate_mutex;

}  // namespace implementation

using implementation::accurate_state;
using implementation::block_of;
using implementation::chunk_rows;
using implementation::pan_state;

namespace {

using u64 = std::uint64_t;

constexpr u64 kTileColumns = 128;  // column width of a tiled correction

// Line block `index` of the FP64 line blocks: RA64 0..g-1, CA2_64 g.., RB64
// 2g.., CB2_64 3g.., U64 4g.., T64 5g..; each with the block ld.
double* line_block(u64 index) {
    return accurate_state.lines.data() + index * accurate_state.block_elements;
}

// Block (r, q) of an s x s accumulator (row stride s).
double* acc_block(std::vector<double>& acc, u64 r, u64 q) {
    const u64 L = accurate_state.leaf, s = accurate_state.side;
    return acc.data() + r * L * s + q * L;
}

// dst = 0 + double(src(0)) + double(src(1)) + ... in order, on rows [r0, r1)
// of L values; src(b, ld) returns block b and its leading dimension.
template <class Src>
void widened_sum_rows(double* dst, u64 dst_ld, u64 count, Src src, u64 r0, u64 r1) {
    const u64 L = accurate_state.leaf;
    for (u64 r = r0; r < r1; ++r) {
        double* d = dst + r * dst_ld;
        std::fill(d, d + L, 0.0);
        for (u64 b = 0; b < count; ++b) {
            u64 ld;
            const float* row = src(b, ld) + r * ld;
            for (u64 c = 0; c < L; ++c) d[c] += static_cast<double>(row[c]);
        }
    }
}

// dst = float(x + y), L x L, all with the block ld: a correction's summed operand.
void round_sum(float* dst, const double* x, const double* y) {
    const u64 L = accurate_state.leaf, ld = pan_state.block_ld;
    for (u64 r = 0; r < L; ++r)
        for (u64 c = 0; c < L; ++c)
            dst[r * ld + c] = static_cast<float>(x[r * ld + c] + y[r * ld + c]);
}

// Copies an L x L block into a worker block with the block ld.
const float* copy_block(float* dst, const float* src, u64 src_ld) {
    const u64 L = accurate_state.leaf, ld = pan_state.block_ld;
    for (u64 r = 0; r < L; ++r) std::memcpy(dst + r * ld, src + r * src_ld, L * sizeof(float));
    return dst;
}

// One correction product: left * right, L x L, summed over pieces of the
// inner dimension into the worker's FP64 block, then subtracted from an
// accumulator block (the first two groups) or rounded into P (the third).
struct Correction {
    const float* left;
    u64 ld_left;
    const float* right;
    u64 ld_right;
    float* piece;     // receives each float piece product; never an operand
    double* sum;      // the worker's FP64 block
    double* acc;      // accumulator block to subtract from, or null
    u64 ld_acc;
    float* p_block;   // P[j][k] when acc is null (block ld)
};

// The operands of correction job t, formed in the calling worker's blocks.
Correction correction_of(u64 t) {
    const auto& st = accurate_state;
    const u64 g = st.grid, g2 = g * g, E = st.block_elements, ld = pan_state.block_ld;
    const u64 w = static_cast<u64>(pan_worker_id);
    float* const wa = pan_state.a_sums[w];
    float* const wb = pan_state.b_sums[w];
    const bool packed = accurate_settings.packed_corrections;
    float* const pk = packed ? accurate_state.packed.data() + w * E : nullptr;
    Correction c{};
    c.sum = accurate_state.worker_blocks.data() + w * E;
    if (t < g2) {
        // ACC2[j][i] -= A[i][j] (RB[j] + CB2[i])
        const u64 i = t / g, j = t % g;
        round_sum(wb, line_block(2 * g + j), line_block(3 * g + i));
        const PanView& A = st.run.a;
        c.left = packed ? copy_block(pk, block_of(A, i, j), A.ld) : block_of(A, i, j);
        c.ld_left = packed ? ld : A.ld;
        c.right = wb;
        c.ld_right = ld;
        c.piece = wa;
        c.acc = acc_block(accurate_state.acc2, j, i);
        c.ld_acc = st.side;
    } else if (t < 2 * g2) {
        // ACC[i][k] -= (RA[i] + CA2[k]) B2[k][i]
        const u64 u = t - g2, i = u / g, k = u % g;
        round_sum(wa, line_block(i), line_block(g + k));
        const PanView& B2 = st.run.b2;
        c.left = wa;
        c.ld_left = ld;
        c.right = packed ? copy_block(pk, block_of(B2, k, i), B2.ld) : block_of(B2, k, i);
        c.ld_right = packed ? ld : B2.ld;
        c.piece = wb;
        c.acc = acc_block(accurate_state.acc, i, k);
        c.ld_acc = st.side;
    } else {
        // P[j][k] = A2[j][k] B[j][k]
        const u64 u = t - 2 * g2, j = u / g, k = u % g;
        const PanView &A2 = st.run.a2, &B = st.run.b;
        c.left = packed ? copy_block(wa, block_of(A2, j, k), A2.ld) : block_of(A2, j, k);
        c.ld_left = packed ? ld : A2.ld;
        c.right = packed ? copy_block(wb, block_of(B, j, k), B.ld) : block_of(B, j, k);
        c.ld_right = packed ? ld : B.ld;
        c.piece = packed ? pk : wa;
        c.p_block = pan_state.p[u];
    }
    return c;
}

// Rows [r0, r0 + rows) and columns [c0, c0 + cols) of a correction product:
// the FP64 sum (leading dimension ld_sum, in the worker's FP64 block) of the
// float pieces over the inner dimension, then its use. Aligned to a cache
// line: its widening loops run once per small SGEMM on every worker, and
// where unrelated code changes happen to place them decided up to a tenth
// of the accurate route's correction time.
__attribute__((aligned(64))) void correction_tile(const Correction& c, u64 r0, u64 c0, u64 rows, u64 cols,
                                                  u64 ld_sum) {
    const u64 L = accurate_state.leaf;
    const u64 K = accurate_settings.correction_k;
    double* const sum = c.sum;
    for (u64 r = 0; r < rows; ++r) std::fill(sum + r * ld_sum, sum + r * ld_sum + cols, 0.0);
    for (u64 p = 0; p < L; p += K) {
        const u64 len = std::min(K, L - p);
        aocl_backend::leaf_sgemm(static_cast<int>(rows), static_cast<int>(cols),
                                 static_cast<int>(len), c.left + r0 * c.ld_left + p,
                                 static_cast<int>(c.ld_left), c.right + p * c.ld_right + c0,
                                 static_cast<int>(c.ld_right), c.piece, static_cast<int>(ld_sum));
        accurate_state.correction_gemms.fetch_add(1);
        for (u64 r = 0; r < rows; ++r)
            for (u64 col = 0; col < cols; ++col)
                sum[r * ld_sum + col] += static_cast<double>(c.piece[r * ld_sum + col]);
    }
    if (c.acc != nullptr) {
        double* const out = c.acc + r0 * c.ld_acc + c0;
        for (u64 r = 0; r < rows; ++r)
            for (u64 col = 0; col < cols; ++col) out[r * c.ld_acc + col] -= sum[r * ld_sum + col];
    } else {
        const u64 ld = pan_state.block_ld;
        float* const out = c.p_block + r0 * ld + c0;
        for (u64 r = 0; r < rows; ++r)
            for (u64 col = 0; col < cols; ++col)
                out[r * ld + col] = static_cast<float>(sum[r * ld_sum + col]);
    }
}

// The aggregated product of task (i, j, k), added in FP64 into the
// accumulator blocks ACC[i][k] and ACC2[j][i].
void accurate_task(const implementation::PanTask& task) {
    auto& st = accurate_state;
    const u64 i = task.i, j = task.j, k = task.k;
    accurate_pair_product(st.leaf, block_of(st.run.a, i, j), st.run.a.ld,
                          block_of(st.run.a2, j, k), st.run.a2.ld, block_of(st.run.b, j, k),
                          st.run.b.ld, block_of(st.run.b2, k, i), st.run.b2.ld,
                          acc_block(st.acc, i, k), st.side, acc_block(st.acc2, j, i), st.side,
                          pan_state.leaf_workspaces[static_cast<u64>(pan_worker_id)]);
}

}  // namespace

void accurate_widen_job(int t) {
    auto& st = accurate_state;
    const u64 s = st.side;
    const u64 h = (s + 63) / 64;
    const u64 idx = static_cast<u64>(t);
    const bool first = idx < h;
    const PanView& out = first ? st.run.c : st.run.c2;
    double* const acc = (first ? st.acc : st.acc2).data();
    const u64 r0 = 64 * (first ? idx : idx - h);
    const u64 r1 = std::min(r0 + 64, s);
    for (u64 r = r0; r < r1; ++r) {
        double* d = acc + r * s;
        if (st.accumulate) {
            const float* src = out.data + r * out.ld;
            for (u64 c = 0; c < s; ++c) d[c] = static_cast<double>(src[c]);
        } else {
            std::fill(d, d + s, 0.0);
        }
    }
}

void accurate_line_sums_job(int t) {
    const auto& st = accurate_state;
    const u64 g = st.grid;
    const u64 c = static_cast<u64>(pan_state.chunks_per_block);
    const u64 line = static_cast<u64>(t) / c;
    u64 r0, r1;
    chunk_rows(static_cast<u64>(t) % c, r0, r1);
    const u64 q = line / g, l = line % g;
    // Block row l of A, block column l of A2, block row l of B, block column l of B2.
    const PanView* const sources[4] = {&st.run.a, &st.run.a2, &st.run.b, &st.run.b2};
    const PanView& src = *sources[q];
    const bool row = q % 2 == 0;
    widened_sum_rows(
        line_block(line), pan_state.block_ld, g,
        [&](u64 b, u64& ld) {
            ld = src.ld;
            return row ? block_of(src, l, b) : block_of(src, b, l);
        },
        r0, r1);
}

void accurate_scheduled_leaf_job(int) { implementation::run_scheduled_tasks(accurate_task); }

void accurate_leaf_job(int t) {
    if (accurate_settings.correction_tile != 0) {
        accurate_blocked_leaf(t);
        return;
    }
    const u64 L = accurate_state.leaf;
    correction_tile(correction_of(static_cast<u64>(t)), 0, 0, L, L, pan_state.block_ld);
    leaf_routing::pan_leaf_counter.fetch_add(1);
}

void accurate_blocked_leaf(int t) {
    const u64 L = accurate_state.leaf;
    const u64 R = accurate_settings.correction_tile;
    const Correction c = correction_of(static_cast<u64>(t));
    for (u64 r0 = 0; r0 < L; r0 += R)
        for (u64 c0 = 0; c0 < L; c0 += kTileColumns) {
            const u64 cols = std::min(kTileColumns, L - c0);
            correction_tile(c, r0, c0, std::min(R, L - r0), cols, cols);
        }
    leaf_routing::pan_leaf_counter.fetch_add(1);
}

void accurate_accumulate_job(int t) {
    const u64 g = accurate_state.grid;
    const u64 c = static_cast<u64>(pan_state.chunks_per_block);
    const u64 line = static_cast<u64>(t) / c;
    u64 r0, r1;
    chunk_rows(static_cast<u64>(t) % c, r0, r1);
    const u64 ld = pan_state.block_ld;
    // U64[k] = sum over j of P[j][k]; T64[j] = sum over k of P[j][k].
    const bool u = line < g;
    const u64 l = u ? line : line - g;
    widened_sum_rows(
        line_block(4 * g + line), ld, g,
        [&](u64 b, u64& sld) {
            sld = ld;
            return pan_state.p[u ? b * g + l : l * g + b];
        },
        r0, r1);
}

void accurate_difference_job(int t) {
    // C[i][k] = float(ACC[i][k] - U64[k]); C2[j][i] = float(ACC2[j][i] - T64[j]).
    auto& st = accurate_state;
    const implementation::DecodeBlock d = implementation::decode_block(t);
    const PanView& v = d.second ? st.run.c2 : st.run.c;
    float* const out = block_of(v, d.row, d.col);
    const double* const acc = acc_block(d.second ? st.acc2 : st.acc, d.row, d.col);
    const double* const sub = line_block((d.second ? 5 : 4) * st.grid + d.line);
    const u64 L = st.leaf, ld = pan_state.block_ld;
    for (u64 r = d.r0; r < d.r1; ++r)
        for (u64 col = 0; col < L; ++col)
            out[r * v.ld + col] = static_cast<float>(acc[r * st.side + col] - sub[r * ld + col]);
}

void release_accurate() {
    auto& st = accurate_state;
    std::vector<double>().swap(st.acc);
    std::vector<double>().swap(st.acc2);
    std::vector<double>().swap(st.lines);
    std::vector<double>().swap(st.worker_blocks);
    std::vector<float>().swap(st.packed);
    st.run = PanRunViews{};
    st.accumulate = false;
    st.side = st.leaf = st.grid = st.block_elements = st.workers = 0;
    st.prepared = false;
}

void release_all() {
    std::lock_guard<std::mutex> accurate(implementation::accurate_mutex);
    release_accurate();
    std::lock_guard<std::mutex> adapter(implementation::adapter_mutex);
    release_workspaces();
}

void prepare_accurate(u64 s, u64 L) {
    std::lock_guard<std::mutex> accurate(implementation::accurate_mutex);
    prepare(s, L);
    std::lock_guard<std::mutex> adapter(implementation::adapter_mutex);
    auto& st = accurate_state;
    const u64 W = static_cast<u64>(workers());
    // The accurate kernel borrows the Pan leaf workspaces: one per worker, each
    // of its default-plan size.
    if (pan_state.leaf_workspaces.size() < W ||
        pan_state.leaf_workspace_floats < pair_workspace_floats_default(L)) {
        release_accurate();
        throw std::logic_error("Pan leaf workspace too small for the accurate kernel");
    }
    if (st.prepared && st.side == s && st.leaf == L && st.workers == W) return;
    release_accurate();
    try {
        const u64 g = s / L;
        const u64 E = checked_mul(L, pan_state.block_ld);
        const u64 square = checked_mul(s, s);
        const u64 lines = checked_mul(checked_mul(6, g), E);
        const u64 per_worker = checked_mul(W, E);
        for (u64 count : {square, lines, per_worker}) checked_mul(count, 8);
        st.acc.assign(square, 0.0);
        st.acc2.assign(square, 0.0);
        st.lines.assign(lines, 0.0);
        st.worker_blocks.assign(per_worker, 0.0);
        if (accurate_settings.packed_corrections) st.packed.assign(per_worker, 0.0f);
        st.side = s;
        st.leaf = L;
        st.grid = g;
        st.block_elements = E;
        st.workers = W;
        st.prepared = true;
    } catch (...) {
        release_accurate();
        throw;
    }
}

void configure_accurate(u64 correction_k, u64 main_subk, u64 correction_tile, bool packed) {
    std::lock_guard<std::mutex> accurate(implementation::accurate_mutex);
    auto& st = accurate_state;
    if (packed != accurate_settings.packed_corrections) {
        if (!packed)
            std::vector<float>().swap(st.packed);
        else if (st.prepared)
            st.packed.assign(st.workers * st.block_elements, 0.0f);
        accurate_settings.packed_corrections = packed;
    }
    if (correction_tile != 0 && correction_tile != 128 && correction_tile != 256)
        throw std::invalid_argument("accurate correction tile must be 0, 128, or 256");
    accurate_settings.correction_tile = correction_tile;
    set_accurate_main_subk(main_subk);
    if (correction_k == 0)
        throw std::invalid_argument("accurate correction K block must be positive");
    accurate_settings.correction_k = correction_k;
}

std::uint64_t accurate_bytes() {
    std::lock_guard<std::mutex> accurate(implementation::accurate_mutex);
    const auto& st = accurate_state;
    return 4 * st.packed.capacity() + 8 * (st.acc.capacity() + st.acc2.capacity() +
                                           st.lines.capacity() + st.worker_blocks.capacity());
}

std::uint64_t accurate_correction_gemm_count() { return accurate_state.correction_gemms.load(); }

PairTimes run_accurate(PanView A, PanView B, bool accumulate, PanView A2, PanView B2, PanView C,
                       PanView C2) {
    std::lock_guard<std::mutex> accurate(implementation::accurate_mutex);
    std::lock_guard<std::mutex> adapter(implementation::adapter_mutex);
    auto& st = accurate_state;
    if (!st.prepared || !pan_state.prepared || pan_state.recorded_side != st.side ||
        pan_state.recorded_leaf != st.leaf || static_cast<u64>(workers()) != st.workers)
        throw std::logic_error("prepare accurate Pan after every external reconfiguration");
    // A refused call leaves the flag and the counter of the previous call.
    check_pair_views(A, B, A2, B2, C, C2);
    st.accumulate = accumulate;
    st.correction_gemms.store(0);
    // The widening runs whether or not the call accumulates.
    return implementation::run_pair_call(
        st.run, {A, B, A2, B2, C, C2},
        {accurate_widen_job, accurate_line_sums_job, accurate_scheduled_leaf_job, accurate_leaf_job,
         accurate_accumulate_job, accurate_difference_job});
}

}  // namespace pan_adapter
