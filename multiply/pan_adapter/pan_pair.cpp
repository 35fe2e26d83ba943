// The Pan pair product: two products of side s, C = A*B and C2 = A2*B2, from
// g^3 aggregated block products plus 3 g^2 correction products.
//
// Task (i, j, k) adds M = (A[i][j] + A2[j][k]) * (B[j][k] + B2[k][i]) into
// C[i][k] and into C2[j][i]. Summed over j, C[i][k] receives the wanted
// sum of A[i][j] B[j][k] plus RA[i] B2[k][i] + CA2[k] B2[k][i] + U[k]; summed
// over k, C2[j][i] receives its wanted sum plus A[i][j] RB[j] + A[i][j] CB2[i]
// + T[j]. The correction phase removes the first two of each with one product
// on the summed operand; the sums of P[j][k] = A2[j][k] B[j][k] give U and T.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "multiply/blas/leaf_route.h"
#include "multiply/pan_adapter/pan_engine.h"
#include "multiply/pan_adapter/pan_kernel.h"

namespace pan_adapter {

using implementation::block_of;
using implementation::chunk_rows;
using implementation::pan_state;

namespace {

using u64 = std::uint64_t;

// dst = src[0] + src[1] + ... in order, on rows [r0, r1), L floats per row.
template <class Src>
void sum_rows(float* dst, u64 dst_ld, u64 count, Src src, u64 r0, u64 r1) {
    const u64 L = pan_state.leaf;
    for (u64 r = r0; r < r1; ++r) {
        float* d = dst + r * dst_ld;
        u64 ld0;
        const float* s0 = src(0, ld0) + r * ld0;
        std::memcpy(d, s0, L * sizeof(float));
        for (u64 b = 1; b < count; ++b) {
            u64 ld;
            const float* s = src(b, ld) + r * ld;
            for (u64 c = 0; c < L; ++c) d[c] += s[c];
        }
    }
}

// One aggregated product of the main phase: (A[i][j] + A2[j][k]) (B[j][k] + B2[k][i])
// added into C[i][k] and C2[j][i].
void pair_task(const implementation::PanTask& task) {
    const PanView &A = pan_state.run.a, &A2 = pan_state.run.a2, &B = pan_state.run.b,
                  &B2 = pan_state.run.b2, &C = pan_state.run.c, &C2 = pan_state.run.c2;
    const u64 i = task.i, j = task.j, k = task.k;
    pair_product(pan_state.leaf, block_of(A, i, j), A.ld, block_of(A2, j, k), A2.ld,
                 block_of(B, j, k), B.ld, block_of(B2, k, i), B2.ld, block_of(C, i, k), C.ld,
                 block_of(C2, j, i), C2.ld,
                 pan_state.leaf_workspaces[static_cast<u64>(pan_worker_id)]);
}

}  // namespace

void pan_clear_outputs_job(int t) {
    const u64 s = pan_state.side;
    const u64 h = (s + 63) / 64;
    const u64 idx = static_cast<u64>(t);
    const PanView& v = idx < h ? pan_state.run.c : pan_state.run.c2;
    const u64 first = 64 * (idx < h ? idx : idx - h);
    const u64 end = std::min(first + 64, s);
    for (u64 r = first; r < end; ++r) std::memset(v.data + r * v.ld, 0, s * sizeof(float));
}

void pan_line_sums_job(int t) {
    const u64 g = static_cast<u64>(pan_state.grid);
    const u64 c = static_cast<u64>(pan_state.chunks_per_block);
    const u64 line = static_cast<u64>(t) / c;
    u64 r0, r1;
    chunk_rows(static_cast<u64>(t) % c, r0, r1);
    const u64 ld = pan_state.block_ld;
    const u64 group = line / g, l = line % g;
    // Groups: RA[l] sums block row l of A, CA2[l] block column l of A2,
    // RB[l] block row l of B, CB2[l] block column l of B2.
    struct Line {
        std::vector<float*>& dst;
        const PanView& src;
        bool row;
    };
    const Line lines[4] = {{pan_state.ra, pan_state.run.a, true},
                           {pan_state.ca2, pan_state.run.a2, false},
                           {pan_state.rb, pan_state.run.b, true},
                           {pan_state.cb2, pan_state.run.b2, false}};
    const Line& sel = lines[group < 3 ? group : 3];
    sum_rows(
        sel.dst[l], ld, g,
        [&](u64 b, u64& sld) {
            sld = sel.src.ld;
            return sel.row ? block_of(sel.src, l, b) : block_of(sel.src, b, l);
        },
        r0, r1);
}

void pan_main_products_job(int) { implementation::run_scheduled_tasks(pair_task); }

void pan_correction_products_job(int t) {
    const u64 g = static_cast<u64>(pan_state.grid);
    const u64 L = pan_state.leaf;
    const u64 ld = pan_state.block_ld;
    const u64 w = static_cast<u64>(pan_worker_id);
    const PanView &A = pan_state.run.a, &A2 = pan_state.run.a2, &B = pan_state.run.b,
                  &B2 = pan_state.run.b2, &C = pan_state.run.c, &C2 = pan_state.run.c2;
    const u64 idx = static_cast<u64>(t);
    const u64 g2 = g * g;
    auto add_blocks = [&](float* dst, const float* x, const float* y) {
        for (u64 r = 0; r < L; ++r)
            for (u64 c = 0; c < L; ++c) dst[r * ld + c] = x[r * ld + c] + y[r * ld + c];
    };
    if (idx < g2) {
        // C2[j][i] -= A[i][j] (RB[j] + CB2[i])
        const u64 i = idx / g, j = idx % g;
        float* wb = pan_state.b_sums[w];
        add_blocks(wb, pan_state.rb[j], pan_state.cb2[i]);
        leaf_routing::route_leaf_sgemm(block_of(A, i, j), A.ld, wb, ld, block_of(C2, j, i), C2.ld,
                                       -1.0f, 1.0f);
    } else if (idx < 2 * g2) {
        // C[i][k] -= (RA[i] + CA2[k]) B2[k][i]
        const u64 u = idx - g2, i = u / g, k = u % g;
        float* wa = pan_state.a_sums[w];
        add_blocks(wa, pan_state.ra[i], pan_state.ca2[k]);
        leaf_routing::route_leaf_sgemm(wa, ld, block_of(B2, k, i), B2.ld, block_of(C, i, k), C.ld,
                                       -1.0f, 1.0f);
    } else {
        // P[j][k] = A2[j][k] B[j][k]
        const u64 u = idx - 2 * g2, j = u / g, k = u % g;
        leaf_routing::route_leaf_sgemm(block_of(A2, j, k), A2.ld, block_of(B, j, k), B.ld,
                                       pan_state.p[u], ld, 1.0f, 0.0f);
    }
}

void pan_correction_sums_job(int t) {
    const u64 g = static_cast<u64>(pan_state.grid);
    const u64 c = static_cast<u64>(pan_state.chunks_per_block);
    const u64 line = static_cast<u64>(t) / c;
    u64 r0, r1;
    chunk_rows(static_cast<u64>(t) % c, r0, r1);
    const u64 ld = pan_state.block_ld;
    if (line < g) {  // U[k] = P[0][k] + ... + P[g-1][k]
        sum_rows(
            pan_state.u[line], ld, g,
            [&](u64 j, u64& sld) {
                sld = ld;
                return pan_state.p[j * g + line];
            },
            r0, r1);
    } else {  // T[j] = P[j][0] + ... + P[j][g-1]
        const u64 j = line - g;
        sum_rows(
            pan_state.t[j], ld, g,
            [&](u64 k, u64& sld) {
                sld = ld;
                return pan_state.p[j * g + k];
            },
            r0, r1);
    }
}

void pan_decode_job(int t) {
    // C[i][k] -= U[k]; C2[j][i] -= T[j].
    const implementation::DecodeBlock d = implementation::decode_block(t);
    const PanView& v = d.second ? pan_state.run.c2 : pan_state.run.c;
    float* const out = block_of(v, d.row, d.col);
    const float* const sub = (d.second ? pan_state.t : pan_state.u)[d.line];
    const u64 L = pan_state.leaf, ld = pan_state.block_ld;
    for (u64 r = d.r0; r < d.r1; ++r)
        for (u64 col = 0; col < L; ++col) out[r * v.ld + col] -= sub[r * ld + col];
}

PairTimes run_pair(PanView A, PanView B, bool accumulate, PanView A2, PanView B2, PanView C,
                   PanView C2) {
    std::lock_guard<std::mutex> lock(implementation::adapter_mutex);
    if (!pan_state.prepared) throw std::logic_error("Call pan_adapter::prepare before run_pair");
    return implementation::run_pair_call(
        pan_state.run, {A, B, A2, B2, C, C2},
        {accumulate ? nullptr : pan_clear_outputs_job, pan_line_sums_job, pan_main_products_job,
         pan_correction_products_job, pan_correction_sums_job, pan_decode_job});
}

}  // namespace pan_adapter
