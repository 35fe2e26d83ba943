#include <algorithm>
#include <limits>
#include <stdexcept>

#include "multiply/agg1/agg1.h"
#include "multiply/blas/aocl_backend.h"
#include "multiply/blas/aocl_tiles.h"
#include "multiply/method/method_run.h"
#include "multiply/method/problem.h"
#include "multiply/pan_adapter/pan_accurate.h"
#include "multiply/pan_adapter/pan_engine.h"
#include "multiply/pan_adapter/pool.h"

void run_aocl_tiles(const std::vector<aocl_backend::AoclTile>& tiles) {
    // A tile without row or column parts would have no job to report it:
    // the batch is refused before any tile runs.
    for (const auto& tile : tiles)
        if (tile.row_parts <= 0 || tile.col_parts <= 0) aocl_backend::fail("tile task has no row or column parts");
    if (&tiles != &aocl_backend::tile_tasks) aocl_backend::tile_tasks = tiles;
    auto& prefix = aocl_backend::tile_prefix;
    prefix.resize(aocl_backend::tile_tasks.size());
    std::uint64_t total = 0;
    for (std::size_t t = 0; t < aocl_backend::tile_tasks.size(); ++t) {
        prefix[t] = total;
        const auto& tile = aocl_backend::tile_tasks[t];
        total += static_cast<std::uint64_t>(std::int64_t{tile.row_parts} * std::int64_t{tile.col_parts});
        if (total > static_cast<std::uint64_t>(std::numeric_limits<int>::max()))
            throw std::runtime_error("too many GEMM tasks");
    }
    pan_adapter::run_jobs(static_cast<int>(total), aocl_backend::aocl_tile_job);
}

namespace {

void add_pair_times(const pan_adapter::PairTimes& t) {
    phase_timers.pan += t.total_seconds;
    phase_timers.pan_prologue += t.prologue;
    phase_timers.pan_forms += t.forms;
    phase_timers.pan_main += t.main;
    phase_timers.pan_corr += t.corrections;
    phase_timers.pan_reduce += t.reduce;
    phase_timers.pan_decode += t.decode;
    phase_timers.pan_products += t.leaf_products;
    phase_timers.pan_pairs += 1;
}

pan_adapter::PanView view(const float* p, std::uint64_t ld) {
    return pan_adapter::PanView{const_cast<float*>(p), ld};
}

void pair_call(const float* A, std::uint64_t ldA, const float* B, std::uint64_t ldB, const float* A2,
               std::uint64_t ldA2, const float* B2, std::uint64_t ldB2, float* C, std::uint64_t ldC,
               float* C2, std::uint64_t ldC2, bool accumulate) {
    const auto engine = active_method.accurate ? pan_adapter::run_accurate : pan_adapter::run_pair;
    add_pair_times(engine(view(A, ldA), view(B, ldB), accumulate, view(A2, ldA2), view(B2, ldB2),
                          view(C, ldC), view(C2, ldC2)));
    if (active_method.accurate)
        phase_timers.accurate_correction_gemms += pan_adapter::accurate_correction_gemm_count();
}

}  // namespace

void run_pan_product(const float* A, std::uint64_t ldA, const float* B, std::uint64_t ldB,
                     const float* A2, std::uint64_t ldA2, const float* B2, std::uint64_t ldB2,
                     float* C, std::uint64_t ldC, float* C2, std::uint64_t ldC2, bool accumulate) {
    const std::uint64_t g = static_cast<std::uint64_t>(active_method.macro_grid);
    if (g <= 1) {
        pair_call(A, ldA, B, ldB, A2, ldA2, B2, ldB2, C, ldC, C2, ldC2, accumulate);
        return;
    }
    const std::uint64_t half = problem.n / 2;
    const std::uint64_t t = half / g;
    if (!accumulate) {
        fill_block(C, half, ldC, 0);
        fill_block(C2, half, ldC2, 0);
    }
    auto at = [t](auto* base, std::uint64_t ld, std::uint64_t r, std::uint64_t c) {
        return base + r * t * ld + c * t;
    };
    for (std::uint64_t i = 0; i < g; ++i)
        for (std::uint64_t j = 0; j < g; ++j)
            for (std::uint64_t k = 0; k < g; ++k)
                pair_call(at(A, ldA, i, j), ldA, at(B, ldB, j, k), ldB, at(A2, ldA2, j, k), ldA2,
                          at(B2, ldB2, k, i), ldB2, at(C, ldC, i, k), ldC, at(C2, ldC2, j, i), ldC2,
                          true);
}

void run_agg_product(const float* A, std::uint64_t lda, const float* B, std::uint64_t ldb, float* C,
                     std::uint64_t ldc, std::uint64_t n, bool accumulate) {
    if (active_method.agg_q * active_method.pan_leaf != n) throw std::runtime_error("agg side/grid mismatch");
    agg1::RunReport r;
    agg1::run(&r, A, lda, B, ldb, C, ldc, accumulate);
    PhaseTimers& t = phase_timers;
    t.pan_products += static_cast<std::uint64_t>(r.kernel_calls);
    t.agg += r.total_seconds;
    t.agg_main += r.main_seconds;
    t.agg_corr += r.corrections_seconds;
    t.agg_sums += r.sums_seconds;
    t.agg_bcast += r.broadcast_seconds;
    t.agg_zero += r.zero_seconds;
    t.agg_runs += 1;
    t.agg_deferrals += r.deferrals;
    t.agg_drain_leaves += r.drained;
    t.agg_drain_max = std::max(r.drain_tail_seconds, t.agg_drain_max);
    t.agg_redirects += r.redirects;
    t.agg_leaves_min = r.leaves_min;
    t.agg_leaves_max = r.leaves_max;
    t.agg_finish_spread = std::max(r.finish_spread_seconds, t.agg_finish_spread);
}
