// Internal state of the agg1 engine, shared by its preparation, main-products,
// corrections and broadcast code (and read by tests).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "multiply/agg1/agg1.h"
#include "multiply/agg1/term_product.h"

namespace agg1 {
namespace detail {

using u64 = std::uint64_t;

// The leaves (wrap, slice, i, j, k) for k in [k_begin, k_end), run in ascending k.
struct LeafGroup {
    std::uint8_t wrap;
    std::uint8_t slice;
    std::uint16_t i;
    std::uint16_t j;
    std::uint16_t k_begin;
    std::uint16_t k_end;
};

// One main leaf (wrap, slice, i, j, k).
struct LeafRef {
    std::uint8_t wrap;
    std::uint8_t slice;
    std::uint16_t i;
    std::uint16_t j;
    std::uint16_t k;
};

// A byte lock per output tile or accumulator block: 0 free, 1 held. Taken by
// an acquire compare-and-swap and freed by a release store, so the next owner
// sees everything written under the lock.
using LockByte = std::atomic<std::uint8_t>;

inline bool try_lock(LockByte& l) {
    std::uint8_t free = 0;
    return l.compare_exchange_strong(free, 1, std::memory_order_acquire, std::memory_order_relaxed);
}
inline void unlock(LockByte& l) { l.store(0, std::memory_order_release); }
// Waits for the lock, yielding between attempts (never while holding another).
void lock_yielding(LockByte& l);

// The three A, B and C terms of a leaf and its three output tile ids.
struct LeafTerms {
    TermView a[3];
    TermView b[3];
    TermView c[3];
    u64 tile[3];
};

// Rows of C, or of an engine block, per phase job.
constexpr u64 kRowsPerJob = 64;

struct State {
    // Grid and buffers, set by prepare.
    u64 q = 0;
    u64 m = 0;
    u64 block = 0;
    u64 ld = 0;  // row stride of every engine block: block rounded up to 16, plus 16
    u64 block_floats = 0;
    std::int32_t chunks_per_block = 0;
    std::int32_t kch = 0;
    std::int32_t redirect_mode = 1;
    LeafPlan plan{};
    u64 scratch_bytes = 0;
    std::vector<float*> operand_sums[8];  // sets 0-3 from A, 4-7 from B, q blocks each
    std::vector<float*> accumulators[4];  // 0, 1 by block row of C; 2, 3 by block column
    std::vector<float*> workspaces;       // one term-product workspace per worker
    std::vector<float*> redirect_tiles[3];  // three private tiles per worker
    std::vector<float*> row_buffers;      // per worker: the broadcast's two rows of block floats
    std::unique_ptr<LockByte[]> tile_locks;  // q*q, tile id r*q + c
    std::unique_ptr<LockByte[]> acc_locks;   // 4*q, accumulator k block z at k*q + z
    std::vector<LeafGroup> groups;
    std::unique_ptr<LockByte[]> claim_flags;  // one per group, plus one
    std::vector<std::vector<LeafRef>> deferred;  // per worker
    bool prepared = false;

    // Views and counters of the current run.
    const float* A = nullptr;
    u64 lda = 0;
    const float* B = nullptr;
    u64 ldb = 0;
    float* C = nullptr;
    u64 ldc = 0;
    std::atomic<u64> group_cursor{0};
    u64 phase_start = 0;  // monotonic ns
    std::atomic<std::int32_t> active_workers{0};
    std::vector<LeafRef> drain_stack;
    std::mutex drain_mutex;
    std::atomic<std::int64_t> kernel_calls{0};
    std::atomic<std::int64_t> main_leaves{0};
    std::atomic<std::int64_t> correction_products{0};
    std::atomic<std::int64_t> deferrals{0};
    std::atomic<std::int64_t> redirects{0};
    std::atomic<std::int64_t> drained{0};
    std::atomic<std::int64_t> drain_tail_ns{0};
    std::vector<std::int64_t> worker_leaves;
    std::vector<double> worker_busy;
    std::vector<double> worker_finish;
    std::vector<std::int32_t> worker_cpu;
};

extern State state;

// Leaves per group: 8 for blocks up to 1024, fewer for larger blocks (about
// the same work per group); AGG_KCH overrides, values <= 0 giving 1. Group
// bounds are 16-bit, so the result never exceeds m (a longer chunk would be
// the whole range anyway).
std::int32_t leaves_per_group(u64 block, u64 m);

// What prepare reads from the environment (AGG_KCH, AGG_REDIRECT, AGG_NC,
// AGG_MC, AGG_APF, AGG_KC) for a block side and half grid m.
struct Tuning {
    std::int32_t kch = 1;
    std::int32_t redirect_mode = 1;
    LeafPlan plan{};
};
Tuning read_tuning(u64 block, u64 m);

// Bytes that prepare allocates for this size and tuning (W workers): the
// block sets and per-worker buffers, and also the locks, claim flags, group
// list, deferral lists, drain stack and per-worker counters. The
// AGG_MAX_SCRATCH_GB budget is checked against it.
double prepare_bytes(u64 q, u64 block, u64 ld, u64 W, const Tuning& tuning);

// Main leaves of the scheme: (q^3 - 4q)/3.
inline u64 main_leaf_count(u64 q) { return q < 2 ? 0 : (q * q * q - 4 * q) / 3; }

// Block (r, c) of the block grid of a matrix at base with row stride ld.
inline float* block_at(const float* base, u64 ld, u64 r, u64 c) {
    return const_cast<float*>(base) + r * state.block * ld + c * state.block;
}

// The block index at the same place in the other half of the grid (m blocks a half).
inline u64 partner(u64 x, u64 m) { return x < m ? x + m : x - m; }

// Block helpers over `side` rows and columns: zero, and dst += src.
void zero_block(float* dst, u64 ld, u64 side);
void add_block(float* dst, u64 ld_dst, const float* src, u64 ld_src, u64 side);

// The terms and tile ids of a leaf on the current run's views.
LeafTerms leaf_terms(const LeafRef& leaf);

// Phase jobs of a run, one index each.
void zero_output_job(int j);
void zero_accumulators_job(int i);
void block_sums_job(int i);
void correction_job(int i);
void broadcast_job(int j);

// Main products (pool jobs and their parts).
bool try_leaf(const LeafRef& leaf);
void redirect_leaf(const LeafRef& leaf);
std::int64_t claim_group();
void run_groups(int index);
void drain();

// The per-worker lines of the last run and their summary, on standard error.
void worker_report(const RunReport& report);

// Called before every main-leaf product when set (test hook; null otherwise).
extern void (*leaf_hook)(const LeafRef& leaf);

}  // namespace detail
}  // namespace agg1
