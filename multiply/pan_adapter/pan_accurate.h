// The accurate Pan variant: the two products of run_pair (C = A*B and
// C2 = A2*B2 over the prepared g x g grid, same schedule, same workspaces,
// same algebra) kept in FP64 accumulators for the whole call and rounded to
// float once at the end.
//
// Numerics: aggregated products are added in FP64 by the accurate kernel;
// block-line sums and correction sums are FP64; the summed operand of each
// correction product is formed in FP64 and rounded to float once; each
// correction product is a sum, in FP64, of one-thread float SGEMM pieces of
// at most correction_k inner terms; P[j][k] is stored as float between the
// correction products and their sums.
//
// Locks: the accurate mutex first, then the adapter mutex (released in the
// opposite order). The settings are written under the accurate mutex while
// no product runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "multiply/pan_adapter/pan_engine.h"

namespace pan_adapter {

// Prepares Pan for (side, leaf) and sizes the FP64 accumulators, line blocks
// and per-worker blocks. Same side, leaf and worker count as the preparation
// in force: nothing happens. Errors of prepare pass through; a size overflow
// or allocation failure leaves the accurate state unprepared, and so does
// std::logic_error "Pan leaf workspace too small for the accurate kernel"
// when the Pan leaf workspaces the kernel borrows are too few or too small.
void prepare_accurate(std::uint64_t side, std::uint64_t leaf);

// Same contract as run_pair. std::logic_error "prepare accurate Pan after
// every external reconfiguration" unless the accurate preparation matches the
// Pan preparation in force and the pool's worker count. A refused call
// changes nothing.
PairTimes run_accurate(PanView A, PanView B, bool accumulate, PanView A2, PanView B2, PanView C,
                       PanView C2);

// Frees the accurate buffers and forgets the preparation; takes no lock.
void release_accurate();

// The accurate buffers, then the Pan workspaces, under both mutexes in order.
void release_all();

// Method settings, applied in this order under the accurate mutex: the
// packed-corrections switch (turning it off frees the packed blocks at once;
// turning it on sizes them at once when prepared), the correction tile (0, 128
// or 256), the kernel's depth chunk (32, 64 or 128) and the correction piece
// length (> 0). A refused value throws std::invalid_argument; the settings
// applied before it stay.
void configure_accurate(std::uint64_t correction_k, std::uint64_t main_subk,
                        std::uint64_t correction_tile, bool packed_corrections);

// Bytes the accurate engine holds: 4 x the packed float capacity + 8 x the
// capacities of its four FP64 vectors (takes the accurate mutex).
std::uint64_t accurate_bytes();

// leaf_sgemm calls of the latest run_accurate call.
std::uint64_t accurate_correction_gemm_count();

// Phase jobs of run_accurate (one index each; inputs in the accurate state).
void accurate_widen_job(int t);
void accurate_line_sums_job(int t);
void accurate_scheduled_leaf_job(int t);
void accurate_leaf_job(int t);
void accurate_blocked_leaf(int t);
void accurate_accumulate_job(int t);
void accurate_difference_job(int t);

namespace implementation {

struct AccurateState {
    bool prepared = false;
    std::uint64_t side = 0;
    std::uint64_t leaf = 0;
    std::uint64_t grid = 0;
    std::uint64_t block_elements = 0;  // E = L * block ld
    std::uint64_t workers = 0;
    std::vector<double> acc;            // s x s accumulator of C, row stride s
    std::vector<double> acc2;           // s x s accumulator of C2
    std::vector<double> lines;          // 6g blocks: RA, CA2, RB, CB2, U, T (g each)
    std::vector<double> worker_blocks;  // one FP64 block per worker
    std::vector<float> packed;          // one float block per worker, with packed corrections
    PanRunViews run;
    bool accumulate = false;
    std::atomic<std::uint64_t> correction_gemms{0};
};

extern AccurateState accurate_state;
extern std::mutex accurate_mutex;

}  // namespace implementation

}  // namespace pan_adapter
