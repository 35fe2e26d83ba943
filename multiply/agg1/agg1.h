// The agg1 engine: float products C (+)= A*B of side N = q*block (q even) by
// aggregated block products on the engine's own pinned pool.
//
// The N x N matrices are a q x q grid of blocks. Every main leaf is one
// aggregated block product of three-term sums of A and B blocks that adds into
// three output tiles of C at once; a correction phase of 9q^2/2 + q further
// block products and a broadcast of four per-block accumulators remove the
// unwanted cross products. One run executes q^3/3 + 9q^2/2 - q/3 block
// products in all.
//
// Lifecycle, all on the main thread: init_pool (once) -> prepare(q, block) ->
// run any number of times -> release_workspace or shutdown. Tuning comes from
// the environment when the workspace is built: AGG_MAX_SCRATCH_GB, AGG_KCH,
// AGG_REDIRECT, AGG_NC, AGG_MC, AGG_APF, AGG_KC; AGG_WORKER_REPORT at every run.
#pragma once

#include <cstdint>

#include "multiply/agg1/pool.h"

namespace agg1 {

// What one run did: phase seconds, counts and the spread over the workers.
struct RunReport {
    double total_seconds;          // from the end of the entry checks to the return
    double zero_seconds;           // C (when not accumulating) and accumulators zeroed
    double sums_seconds;           // operand sums
    double main_seconds;           // main products
    double corrections_seconds;    // correction products
    double broadcast_seconds;      // accumulators spread over C
    std::int64_t kernel_calls;     // main leaves + correction products
    std::int64_t main_leaves;
    std::int64_t correction_products;
    std::int64_t deferrals;        // first-attempt tile conflicts of the main phase
    std::int64_t drained;          // leaves run by the drains
    double drain_tail_seconds;     // longest drain
    std::int64_t redirects;        // output tiles redirected to private tiles
    std::int64_t leaves_min;       // smallest per-worker leaf count
    std::int64_t leaves_max;       // largest per-worker leaf count
    double finish_spread_seconds;  // latest minus earliest worker finish of the main phase
};
static_assert(sizeof(RunReport) == 16 * 8, "RunReport holds sixteen 8-byte words");

// Readies the engine for side q*block. Throws std::logic_error
// "agg1: init_pool first" before init_pool; std::invalid_argument
// "agg1: q must be even >= 2" for q odd or outside 2..65000, block 0 or
// q*block > 2^31; std::invalid_argument
// "agg1: workspace would exceed AGG_MAX_SCRATCH_GB (default 400 GB)" when the
// scratch estimate is not below the limit (those three change nothing);
// std::bad_alloc when an allocation fails (the engine is then unprepared).
// The same (q, block) again does nothing (the environment is not re-read).
void prepare(std::uint64_t q, std::uint64_t block);

// Frees every buffer of the engine; harmless when nothing is prepared.
void release_workspace() noexcept;

// C = A*B (accumulate false) or C += A*B on the prepared grid; row strides in
// floats. Fills and returns `report`. std::logic_error "agg1: prepare first"
// when unprepared; std::invalid_argument "agg1: bad views" for a null view or
// a stride below q*block (nothing is touched then). A failure inside a phase
// reaches the caller after the pool is idle; the engine stays prepared.
RunReport* run(RunReport* report, const float* A, std::uint64_t lda, const float* B, std::uint64_t ldb,
               float* C, std::uint64_t ldc, bool accumulate);

// Prepared grid side q (0 when unprepared), the bytes of its block sets and
// per-worker buffers, and the number of leaf groups.
std::uint64_t prepared_q();
std::uint64_t scratch_bytes();
std::uint64_t group_count();

}  // namespace agg1
