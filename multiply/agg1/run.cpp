// agg1::run: entry checks, the zero, operand-sum, correction and broadcast
// phases around the main products, and the run report.
//
// Compiled with -mavx2 -mfma -ffp-contract=off: the row loops below use
// explicit AVX2, and the broadcast's fused multiply-add is explicit.
#include <immintrin.h>
#include <sched.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <stdexcept>

#include "common/clock.h"
#include "multiply/agg1/engine.h"

namespace agg1 {
namespace detail {

namespace {

// Row operations over n floats: d = s, d = d + s, d = d - s, d = 0.
void copy_row(float* d, const float* s, u64 n) {
    u64 c = 0;
    for (; c + 8 <= n; c += 8) _mm256_storeu_ps(d + c, _mm256_loadu_ps(s + c));
    for (; c < n; ++c) d[c] = s[c];
}
void add_row(float* d, const float* s, u64 n) {
    u64 c = 0;
    for (; c + 8 <= n; c += 8) _mm256_storeu_ps(d + c, _mm256_add_ps(_mm256_loadu_ps(d + c), _mm256_loadu_ps(s + c)));
    for (; c < n; ++c) d[c] = d[c] + s[c];
}
void sub_row(float* d, const float* s, u64 n) {
    u64 c = 0;
    for (; c + 8 <= n; c += 8) _mm256_storeu_ps(d + c, _mm256_sub_ps(_mm256_loadu_ps(d + c), _mm256_loadu_ps(s + c)));
    for (; c < n; ++c) d[c] = d[c] - s[c];
}
void zero_row(float* d, u64 n) { std::fill_n(d, n, 0.0f); }

// Rows [64*chunk, 64*chunk + 64) of a block of `block` rows.
struct Rows {
    u64 begin, end;
};
Rows chunk_rows(u64 chunk) {
    const u64 begin = chunk * kRowsPerJob;
    return Rows{begin, std::min(begin + kRowsPerJob, state.block)};
}

std::size_t worker() { return static_cast<std::size_t>(agg1_worker_id); }

// One term list of a correction product; a block named twice carries the sum
// of its coefficients.
struct Combination {
    std::int32_t count = 0;
    TermView terms[8] = {};
    void add(float* data, u64 ld, float coef = 1.0f) {
        for (std::int32_t t = 0; t < count; ++t)
            if (terms[t].data == data) {
                terms[t].coef += coef;
                return;
            }
        if (count == 8) throw std::logic_error("agg1: more than eight terms in a correction product");
        terms[count++] = TermView{data, ld, coef};
    }
    // The terms whose coefficient is not exactly 0 (NaN stays), in order.
    Combination nonzero() const {
        Combination kept;
        for (std::int32_t t = 0; t < count; ++t)
            if (terms[t].coef != 0.0f) kept.terms[kept.count++] = terms[t];
        return kept;
    }
};

void run_correction_term(const Combination& a, const Combination& b, const Combination& c) {
    const Combination ka = a.nonzero(), kb = b.nonzero(), kc = c.nonzero();
    if (ka.count != 0 && kb.count != 0 && kc.count != 0)
        term_product(state.block, ka.count, ka.terms, kb.count, kb.terms, kc.count, kc.terms,
                     state.workspaces[worker()], &state.plan);
    state.kernel_calls.fetch_add(1);
    state.correction_products.fetch_add(1);
}

// Accumulator k, block z += tile, under the block's own lock.
void accumulate(int k, u64 z, const float* tile) {
    LockByte& lock = state.acc_locks[static_cast<u64>(k) * state.q + z];
    lock_yielding(lock);
    add_block(state.accumulators[k][z], state.ld, tile, state.ld, state.block);
    unlock(lock);
}

// The ten correction products of (a, b) in one half.
void run_corrections(u64 a, u64 b, u64 half) {
    const u64 m = state.m;
    const u64 x = half * m + a, y = half * m + b;
    const u64 px = partner(x, m), py = partner(y, m);
    const bool same = a == b;
    const float c = static_cast<float>(same ? m - 1 : m);
    const float hc = c / 2;
    const u64 ld = state.ld;
    auto A = [](u64 r, u64 col) { return block_at(state.A, state.lda, r, col); };
    auto B = [](u64 r, u64 col) { return block_at(state.B, state.ldb, r, col); };
    auto C = [](u64 r, u64 col) { return block_at(state.C, state.ldc, r, col); };
    auto S = [](int set, u64 z) { return state.operand_sums[set][z]; };
    const u64 lda = state.lda, ldb = state.ldb, ldc = state.ldc;
    float* const T[3] = {state.redirect_tiles[0][worker()], state.redirect_tiles[1][worker()],
                         state.redirect_tiles[2][worker()]};
    // The hc terms are left out when hc is 0.
    auto add_hc = [&](Combination& l, float* data, u64 ldx, float coef) {
        if (hc != 0.0f) l.add(data, ldx, coef);
    };

    {  // 1
        Combination pa, pb, pc;
        pa.add(S(0, x), ld);
        if (same) pa.add(A(x, x), lda, -2), pa.add(A(px, x), lda, -1);
        pb.add(B(x, y), ldb), pb.add(B(x, py), ldb, -1);
        pc.add(C(y, x), ldc, -0.5f), pc.add(C(y, px), ldc, 0.5f);
        run_correction_term(pa, pb, pc);
    }
    {  // 2
        Combination pa, pb, pc;
        pa.add(S(3, y), ld), pa.add(S(1, x), ld);
        add_hc(pa, A(x, y), lda, hc), add_hc(pa, A(x, py), lda, -hc);
        add_hc(pa, A(px, py), lda, hc), add_hc(pa, A(px, y), lda, -hc);
        if (same) pa.add(A(x, x), lda, -2), pa.add(A(x, px), lda, 1), pa.add(A(px, x), lda, 1);
        pb.add(B(x, y), ldb), pb.add(B(x, py), ldb, -1);
        pc.add(C(y, x), ldc, -0.5f), pc.add(C(y, px), ldc, -0.5f);
        run_correction_term(pa, pb, pc);
    }
    {  // 3
        Combination pa, pb, pc;
        pa.add(S(2, y), ld);
        add_hc(pa, A(x, y), lda, hc), add_hc(pa, A(x, py), lda, -hc);
        add_hc(pa, A(px, py), lda, -hc), add_hc(pa, A(px, y), lda, hc);
        if (same) pa.add(A(x, x), lda, -2), pa.add(A(x, px), lda, -1);
        pb.add(B(x, y), ldb), pb.add(B(x, py), ldb, 1);
        pc.add(C(y, x), ldc, -0.5f), pc.add(C(y, px), ldc, -0.5f);
        run_correction_term(pa, pb, pc);
    }
    {  // 4
        Combination pa, pb, pc;
        pa.add(A(x, y), lda), pa.add(A(px, y), lda);
        pb.add(S(7, y), ld);
        if (same) pb.add(B(x, x), ldb, -2), pb.add(B(x, px), ldb, 1);
        pc.add(C(y, x), ldc, -0.5f), pc.add(C(py, x), ldc, -0.5f);
        run_correction_term(pa, pb, pc);
    }
    {  // 5
        Combination pa, pb, pc;
        pa.add(A(x, y), lda), pa.add(A(px, y), lda);
        pb.add(S(4, x), ld), pb.add(S(6, y), ld);
        if (same) pb.add(B(x, x), ldb, -2), pb.add(B(px, x), ldb, -1), pb.add(B(x, px), ldb, -1);
        pc.add(C(y, x), ldc, -0.5f), pc.add(C(py, x), ldc, 0.5f);
        run_correction_term(pa, pb, pc);
    }
    {  // 6
        Combination pa, pb, pc;
        pa.add(A(x, y), lda), pa.add(A(px, y), lda, -1);
        pb.add(S(5, x), ld);
        if (same) pb.add(B(x, x), ldb, -2), pb.add(B(px, x), ldb, 1);
        pc.add(C(y, x), ldc, -0.5f), pc.add(C(py, x), ldc, 0.5f);
        run_correction_term(pa, pb, pc);
    }
    const float q4 = hc / 2;
    {  // 7: also into T0, then accumulators 0 (block x) and 2 (block y)
        Combination pa, pb, pc;
        pa.add(A(x, y), lda), pa.add(A(x, py), lda);
        pb.add(B(x, y), ldb), pb.add(B(px, y), ldb, -1);
        pc.add(T[0], ld);
        add_hc(pc, C(y, x), ldc, -q4), add_hc(pc, C(y, px), ldc, q4);
        add_hc(pc, C(py, x), ldc, -q4), add_hc(pc, C(py, px), ldc, q4);
        if (same) pc.add(C(x, x), ldc, 1), pc.add(C(x, px), ldc, -0.5f), pc.add(C(px, x), ldc, 0.5f);
        zero_block(T[0], ld, state.block);
        run_correction_term(pa, pb, pc);
        accumulate(0, x, T[0]);
        accumulate(2, y, T[0]);
    }
    {  // 8: also into T1, then accumulator 1 (block x)
        Combination pa, pb, pc;
        pa.add(A(x, y), lda), pa.add(A(x, py), lda);
        pb.add(B(x, y), ldb), pb.add(B(px, y), ldb);
        pc.add(T[1], ld);
        add_hc(pc, C(y, x), ldc, -q4), add_hc(pc, C(y, px), ldc, q4);
        add_hc(pc, C(py, x), ldc, q4), add_hc(pc, C(py, px), ldc, -q4);
        if (same) pc.add(C(x, x), ldc, 1), pc.add(C(x, px), ldc, 0.5f);
        zero_block(T[1], ld, state.block);
        run_correction_term(pa, pb, pc);
        accumulate(1, x, T[1]);
    }
    {  // 9: into T2, then accumulator 3 (block y)
        Combination pa, pb, pc;
        pa.add(A(x, y), lda), pa.add(A(x, py), lda, -1);
        pb.add(B(x, y), ldb), pb.add(B(px, y), ldb, -1);
        pc.add(T[2], ld);
        if (same) pc.add(C(x, x), ldc, 1), pc.add(C(px, x), ldc, -0.5f);
        zero_block(T[2], ld, state.block);
        run_correction_term(pa, pb, pc);
        accumulate(3, y, T[2]);
    }
    if (same) {  // 10
        Combination pa, pb, pc;
        pa.add(A(x, x), lda);
        pb.add(B(x, x), ldb);
        pc.add(C(x, x), ldc, -2);
        run_correction_term(pa, pb, pc);
    }
}

u64 side() { return state.q * state.block; }

}  // namespace

void zero_block(float* dst, u64 ld, u64 n) {
    for (u64 r = 0; r < n; ++r) zero_row(dst + r * ld, n);
}

void add_block(float* dst, u64 ld_dst, const float* src, u64 ld_src, u64 n) {
    for (u64 r = 0; r < n; ++r) add_row(dst + r * ld_dst, src + r * ld_src, n);
}

// Rows 64j .. 64j + 63 of C set to 0.
void zero_output_job(int j) {
    const u64 N = side();
    const u64 begin = static_cast<u64>(j) * kRowsPerJob, end = std::min(begin + kRowsPerJob, N);
    for (u64 r = begin; r < end; ++r) zero_row(state.C + r * state.ldc, N);
}

// Chunk i of the accumulator blocks set to 0.
void zero_accumulators_job(int i) {
    const u64 cpb = static_cast<u64>(state.chunks_per_block);
    const u64 g = static_cast<u64>(i) / cpb;
    const Rows rows = chunk_rows(static_cast<u64>(i) % cpb);
    float* const blk = state.accumulators[g / state.q][g % state.q];
    for (u64 r = rows.begin; r < rows.end; ++r) zero_row(blk + r * state.ld, state.block);
}

// Chunk i of the operand-sum blocks. Set s, block b: the sum of Y(t) over the
// half that holds b, in ascending t (first copied, the rest added), then
// plus (even s) or minus (odd s) each Y(t) of the other half in ascending t.
// Sets 0, 1 take the blocks of A's block column b, sets 2, 3 of its block row
// b; sets 4-7 the same of B.
void block_sums_job(int i) {
    const u64 cpb = static_cast<u64>(state.chunks_per_block);
    const u64 g = static_cast<u64>(i) / cpb;
    const Rows rows = chunk_rows(static_cast<u64>(i) % cpb);
    const int s = static_cast<int>(g / state.q);
    const u64 b = g % state.q, m = state.m, n = state.block;
    const float* const X = s < 4 ? state.A : state.B;
    const u64 ldx = s < 4 ? state.lda : state.ldb;
    const bool by_column = s % 4 < 2;
    const bool minus = s % 2 == 1;
    auto Y = [&](u64 t) { return by_column ? block_at(X, ldx, t, b) : block_at(X, ldx, b, t); };
    const u64 own = b < m ? 0 : m, other = b < m ? m : 0;
    float* const dst = state.operand_sums[s][b];
    for (u64 r = rows.begin; r < rows.end; ++r) {
        float* const d = dst + r * state.ld;
        copy_row(d, Y(own) + r * ldx, n);
        for (u64 t = own + 1; t < own + m; ++t) add_row(d, Y(t) + r * ldx, n);
        for (u64 t = other; t < other + m; ++t) {
            if (minus)
                sub_row(d, Y(t) + r * ldx, n);
            else
                add_row(d, Y(t) + r * ldx, n);
        }
    }
}

// Job i: correction pair (a, b) = (i mod m, (i div m + a) mod m), both halves.
void correction_job(int i) {
    const u64 m = state.m;
    const u64 a = static_cast<u64>(i) % m, b = (static_cast<u64>(i) / m + a) % m;
    run_corrections(a, b, 0);
    run_corrections(a, b, 1);
}

// Rows 64j .. 64j + 63 of C receive the accumulators: with R, rho the block
// row and the row inside it, u = -0.5 (acc0 + acc1) and v = 0.5 (acc0 - acc1)
// of block R, row rho; then for every block column S, element k:
// C += fma(-0.5, acc2 + acc3, u) when R and S share a half, else
// C += fma(-0.5, acc2 - acc3, v), from block S of accumulators 2 and 3.
void broadcast_job(int j) {
    const u64 N = side(), n = state.block, m = state.m, ld = state.ld;
    float* const u = state.row_buffers[worker()];
    float* const v = u + n;
    const __m256 minus_half = _mm256_set1_ps(-0.5f), half = _mm256_set1_ps(0.5f);
    const u64 begin = static_cast<u64>(j) * kRowsPerJob, end = std::min(begin + kRowsPerJob, N);
    for (u64 r = begin; r < end; ++r) {
        const u64 R = r / n, rho = r % n;
        const float* const a0 = state.accumulators[0][R] + rho * ld;
        const float* const a1 = state.accumulators[1][R] + rho * ld;
        u64 k = 0;
        for (; k + 8 <= n; k += 8) {
            const __m256 x0 = _mm256_loadu_ps(a0 + k), x1 = _mm256_loadu_ps(a1 + k);
            _mm256_storeu_ps(u + k, _mm256_mul_ps(minus_half, _mm256_add_ps(x0, x1)));
            _mm256_storeu_ps(v + k, _mm256_mul_ps(half, _mm256_sub_ps(x0, x1)));
        }
        for (; k < n; ++k) {
            u[k] = -0.5f * (a0[k] + a1[k]);
            v[k] = 0.5f * (a0[k] - a1[k]);
        }
        for (u64 S = 0; S < state.q; ++S) {
            const bool same_half = (R < m) == (S < m);
            const float* const a2 = state.accumulators[2][S] + rho * ld;
            const float* const a3 = state.accumulators[3][S] + rho * ld;
            const float* const w = same_half ? u : v;
            float* const c = state.C + r * state.ldc + S * n;
            u64 e = 0;
            for (; e + 8 <= n; e += 8) {
                const __m256 x2 = _mm256_loadu_ps(a2 + e), x3 = _mm256_loadu_ps(a3 + e);
                const __m256 t = same_half ? _mm256_add_ps(x2, x3) : _mm256_sub_ps(x2, x3);
                const __m256 f = _mm256_fmadd_ps(minus_half, t, _mm256_loadu_ps(w + e));
                _mm256_storeu_ps(c + e, _mm256_add_ps(_mm256_loadu_ps(c + e), f));
            }
            for (; e < n; ++e) {
                const float t = same_half ? a2[e] + a3[e] : a2[e] - a3[e];
                c[e] = c[e] + std::fma(-0.5f, t, w[e]);
            }
        }
    }
}

namespace {

// Phase seconds of one pool run.
double timed(int count, JobFn job) {
    const u64 t0 = monotonic_ns();
    pool.run(count, job, nullptr);
    return seconds_since(t0);
}

int ceil_div(u64 a, u64 b) { return static_cast<int>((a + b - 1) / b); }

}  // namespace

void worker_report(const RunReport& r) {
    const std::size_t W = state.worker_finish.size();
    std::vector<std::size_t> ids(W);
    std::iota(ids.begin(), ids.end(), std::size_t{0});
    std::stable_sort(ids.begin(), ids.end(),
                     [](std::size_t x, std::size_t y) { return state.worker_finish[x] > state.worker_finish[y]; });
    for (std::size_t i = 0; i < std::min<std::size_t>(W, 6); ++i) {
        const std::size_t w = ids[i];
        std::fprintf(stderr, "agg1 worker %2d cpu %3d: leaves %ld, busy %.3f s, finished at %.3f s\n",
                     static_cast<int>(w), state.worker_cpu[w], static_cast<long>(state.worker_leaves[w]),
                     state.worker_busy[w], state.worker_finish[w]);
    }
    double lo = 1e30, hi = 0.0;
    for (double b : state.worker_busy) lo = std::min(lo, b), hi = std::max(hi, b);
    std::fprintf(stderr, "agg1 workers: busy %.3f-%.3f s, leaves %ld-%ld\n", lo, hi, static_cast<long>(r.leaves_min),
                 static_cast<long>(r.leaves_max));
}

}  // namespace detail

using detail::state;
using detail::u64;

RunReport* run(RunReport* report, const float* A, u64 lda, const float* B, u64 ldb, float* C, u64 ldc,
               bool accumulate) {
    if (!state.prepared) throw std::logic_error("agg1: prepare first");
    const u64 N = state.q * state.block;
    if (A == nullptr || B == nullptr || C == nullptr || std::min({lda, ldb, ldc}) < N)
        throw std::invalid_argument("agg1: bad views");

    const u64 t0 = monotonic_ns();
    state.A = A, state.lda = lda, state.B = B, state.ldb = ldb, state.C = C, state.ldc = ldc;
    // The views are given back on every way out.
    struct Views {
        ~Views() { state.A = nullptr, state.B = nullptr, state.C = nullptr; }
    } views;
    for (auto* c : {&state.kernel_calls, &state.main_leaves, &state.correction_products, &state.deferrals,
                    &state.redirects, &state.drain_tail_ns, &state.drained})
        c->store(0);
    // A run that failed part-way may have left leaves, locks or flags behind.
    state.drain_stack.clear();
    for (auto& list : state.deferred) list.clear();
    for (u64 i = 0; i < state.q * state.q; ++i) state.tile_locks[i].store(0);
    for (u64 i = 0; i < 4 * state.q; ++i) state.acc_locks[i].store(0);
    state.active_workers.store(0);
    std::fill(state.worker_leaves.begin(), state.worker_leaves.end(), 0);
    std::fill(state.worker_finish.begin(), state.worker_finish.end(), 0.0);
    std::fill(state.worker_busy.begin(), state.worker_busy.end(), 0.0);
    std::fill(state.worker_cpu.begin(), state.worker_cpu.end(), -1);
    *report = RunReport{};

    const int row_jobs = detail::ceil_div(N, detail::kRowsPerJob);
    const int chunk_jobs = static_cast<int>(state.q) * state.chunks_per_block;
    if (!accumulate) report->zero_seconds += detail::timed(row_jobs, detail::zero_output_job);
    report->zero_seconds += detail::timed(4 * chunk_jobs, detail::zero_accumulators_job);
    report->sums_seconds = detail::timed(8 * chunk_jobs, detail::block_sums_job);

    const u64 t_main = monotonic_ns();
    for (u64 g = 0; g <= state.groups.size(); ++g) state.claim_flags[g].store(0);
    state.group_cursor.store(0);
    state.phase_start = monotonic_ns();
    detail::pool.run(detail::pool.workers, detail::run_groups, detail::drain);
    report->main_seconds = seconds_since(t_main);

    report->corrections_seconds = detail::timed(static_cast<int>(state.m * state.m), detail::correction_job);
    report->broadcast_seconds = detail::timed(row_jobs, detail::broadcast_job);

    report->kernel_calls = state.kernel_calls.load();
    report->main_leaves = state.main_leaves.load();
    report->correction_products = state.correction_products.load();
    report->deferrals = state.deferrals.load();
    report->drained = state.drained.load();
    report->drain_tail_seconds = static_cast<double>(state.drain_tail_ns.load()) * 1e-9;
    report->redirects = state.redirects.load();
    const auto [lo, hi] = std::minmax_element(state.worker_leaves.begin(), state.worker_leaves.end());
    report->leaves_min = *lo;
    report->leaves_max = *hi;
    const auto [first, last] = std::minmax_element(state.worker_finish.begin(), state.worker_finish.end());
    report->finish_spread_seconds = *last - *first;
    if (std::getenv("AGG_WORKER_REPORT") != nullptr) detail::worker_report(*report);
    report->total_seconds = seconds_since(t0);
    return report;
}

}  // namespace agg1
