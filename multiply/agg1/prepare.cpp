// agg1 preparation: argument and budget checks, environment, buffers, the
// leaf-group list, locks and claim flags.
#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "multiply/agg1/engine.h"

namespace agg1 {
namespace detail {

State state;

void lock_yielding(LockByte& l) {
    while (!try_lock(l)) sched_yield();
}

namespace {

// One zero-filled, 64-byte aligned buffer of `bytes` rounded up to 64; the
// rounded size is added to scratch_bytes.
float* allocate_zeroed(u64 bytes) {
    const u64 rounded = (bytes + 63) / 64 * 64;
    void* p = nullptr;
    if (rounded == 0 || posix_memalign(&p, 64, rounded) != 0) throw std::bad_alloc();
    std::memset(p, 0, rounded);
    state.scratch_bytes += rounded;
    return static_cast<float*>(p);
}

void allocate_set(std::vector<float*>& set, u64 count, u64 bytes) {
    set.reserve(count);
    for (u64 i = 0; i < count; ++i) set.push_back(allocate_zeroed(bytes));
}

void free_set(std::vector<float*>& set) noexcept {
    for (float* p : set) std::free(p);
    std::vector<float*>().swap(set);
}

std::unique_ptr<LockByte[]> zeroed_locks(u64 count) {
    std::unique_ptr<LockByte[]> locks(new LockByte[count == 0 ? 1 : count]);
    for (u64 i = 0; i < count; ++i) locks[i].store(0);
    return locks;
}

}  // namespace

std::int32_t leaves_per_group(u64 block, u64 m) {
    const double r = 1024.0 / static_cast<double>(block);
    const double x = 8.0 * r * r * r;
    long kch = x >= 8.0 ? 8 : x < 1.0 ? 1 : static_cast<long>(x + 0.5);
    if (const char* s = std::getenv("AGG_KCH")) {
        kch = std::strtol(s, nullptr, 10);
        if (kch <= 0) kch = 1;
    }
    return static_cast<std::int32_t>(std::min<u64>(static_cast<u64>(kch), m));
}

namespace {

// Stage 1: base groups of one slice, wrap 0 then wrap 1, the pairs (a, b)
// walked diagonal by diagonal.
void base_groups(std::vector<LeafGroup>& out, u64 m, std::uint8_t slice) {
    auto add = [&](int wrap, u64 a, u64 b, u64 k0, u64 k1) {
        out.push_back(LeafGroup{static_cast<std::uint8_t>(wrap), slice, static_cast<std::uint16_t>(a),
                                static_cast<std::uint16_t>(b), static_cast<std::uint16_t>(k0),
                                static_cast<std::uint16_t>(k1)});
    };
    for (u64 t = 0; t < m * m; ++t) {
        const u64 a = t % m, b = (t / m + a) % m;
        if (b >= a) {
            if (b + 1 < m) add(0, a, b, b + 1, m);
            if (a == b && a != 0) add(0, a, a, 0, a);
        } else if (b != 0) {
            add(0, a, b, 0, b);
        }
    }
    for (u64 t = 0; t < m * m; ++t) {
        const u64 a = t % m, b = (t / m + a) % m;
        if (a != b) {
            add(1, a, b, 0, m);
        } else {
            if (a != 0) add(1, a, a, 0, a);
            if (a + 1 < m) add(1, a, a, a + 1, m);
        }
    }
}

// Chunks of kch leaves in a range of len leaves.
u64 chunks(u64 len, u64 kch) { return (len + kch - 1) / kch; }

// Groups of the final list, without building it: every base group of
// base_groups cut into chunks of kch leaves, both slices.
u64 group_count_of(u64 m, u64 kch) {
    u64 count = 0;
    for (u64 x = 0; x < m; ++x) {
        // Wrap 0: (a, b) with a <= b = x and x + 1 < m; a = b = x != 0; a > b = x != 0.
        if (x + 1 < m) count += (x + 1) * chunks(m - x - 1, kch);
        if (x != 0) count += chunks(x, kch) + (m - 1 - x) * chunks(x, kch);
        // Wrap 1: the diagonal pair (x, x); the m - 1 pairs (a, x) with a != x.
        if (x != 0) count += chunks(x, kch);
        if (x + 1 < m) count += chunks(m - x - 1, kch);
        count += (m - 1) * chunks(m, kch);
    }
    return 2 * count;
}

// Bytes of one buffer of allocate_zeroed.
double rounded64(u64 bytes) { return static_cast<double>((bytes + 63) / 64 * 64); }

}  // namespace

Tuning read_tuning(u64 block, u64 m) {
    Tuning t;
    t.kch = leaves_per_group(block, m);
    if (const char* s = std::getenv("AGG_REDIRECT"))
        t.redirect_mode = static_cast<std::int32_t>(std::clamp<long>(std::strtol(s, nullptr, 10), INT_MIN, INT_MAX));
    t.plan = pan_adapter::leaf_plan_default(block);
    if (const char* s = std::getenv("AGG_NC")) t.plan.nc = std::strtoul(s, nullptr, 10);
    if (const char* s = std::getenv("AGG_MC")) t.plan.mc = std::strtoul(s, nullptr, 10);
    // Saturated, so that no nonzero value turns into 0 (off).
    if (const char* s = std::getenv("AGG_APF"))
        t.plan.apf = static_cast<std::int32_t>(std::clamp<long>(std::strtol(s, nullptr, 10), INT_MIN, INT_MAX));
    if (const char* s = std::getenv("AGG_KC")) t.plan.kc = std::strtoul(s, nullptr, 10);
    return t;
}

double prepare_bytes(u64 q, u64 block, u64 ld, u64 W, const Tuning& t) {
    const double dq = static_cast<double>(q), dw = static_cast<double>(W);
    // Block sets and per-worker tiles; the term-product workspaces at the
    // default plan's size or the overridden plan's, whichever is larger.
    double bytes = (12.0 * dq + 3.0 * dw) * 4.0 * static_cast<double>(block) * static_cast<double>(ld);
    const u64 workspace = std::max(term_workspace_floats(block, nullptr), term_workspace_floats(block, &t.plan));
    bytes += dw * rounded64(4 * workspace);
    bytes += dq * dq;  // tile locks
    // The broadcast's row pairs, the accumulator locks and the pointer vectors.
    bytes += dw * rounded64(2 * block * 4) + 4.0 * dq + (12.0 * dq + 5.0 * dw) * sizeof(float*);
    // Leaf groups with their claim flags.
    bytes += static_cast<double>(group_count_of(q / 2, static_cast<u64>(t.kch))) * (sizeof(LeafGroup) + 1.0) + 1.0;
    // Deferral lists and drain stack, reserved for the worst case of the mode
    // (see prepare), and the per-worker counters.
    const double leaves = static_cast<double>(main_leaf_count(q));
    const double list_room = t.redirect_mode == 0 ? leaves : t.redirect_mode == 2 ? 0.0 : 8.0;
    bytes += dw * (list_room * sizeof(LeafRef) + sizeof(std::vector<LeafRef>));
    bytes += (t.redirect_mode == 2 ? 0.0 : leaves) * sizeof(LeafRef);
    bytes += dw * (sizeof(std::int64_t) + 2 * sizeof(double) + sizeof(std::int32_t));
    return bytes;
}

namespace {

// Stage 2: the base groups cut into chunks of kch leaves; all first chunks
// before all second chunks, and so on, the four buckets (wrap + 2*slice)
// interleaved one group at a time.
void build_groups(u64 m, u64 kch) {
    std::vector<LeafGroup> base;
    base_groups(base, m, 0);
    base_groups(base, m, 1);
    std::vector<std::size_t> bucket[4];
    for (std::size_t g = 0; g < base.size(); ++g) bucket[base[g].wrap + 2 * base[g].slice].push_back(g);
    auto& groups = state.groups;
    groups.reserve(group_count_of(m, kch));  // exactly what the budget counted
    for (u64 c = 0;; ++c) {
        std::size_t cursor[4] = {0, 0, 0, 0};
        bool any_in_chunk = false;
        for (bool appended = true; appended;) {
            appended = false;
            for (int b = 0; b < 4; ++b) {
                while (cursor[b] < bucket[b].size()) {
                    const LeafGroup& g = base[bucket[b][cursor[b]++]];
                    const u64 begin = g.k_begin + c * kch;
                    if (begin >= g.k_end) continue;
                    const u64 end = std::min<u64>(begin + kch, g.k_end);
                    groups.push_back(LeafGroup{g.wrap, g.slice, g.i, g.j, static_cast<std::uint16_t>(begin),
                                               static_cast<std::uint16_t>(end)});
                    appended = true;
                    break;
                }
            }
            any_in_chunk = any_in_chunk || appended;
        }
        if (!any_in_chunk) break;
    }
}

}  // namespace

}  // namespace detail

using detail::state;
using detail::u64;

void prepare(u64 q, u64 block) {
    if (!detail::started) throw std::logic_error("agg1: init_pool first");
    if (q - 2 > 64998 || q % 2 != 0 || block == 0 || block > (u64{1} << 31) / q)
        throw std::invalid_argument("agg1: q must be even >= 2");
    const u64 W = static_cast<u64>(detail::pool.workers);
    const u64 ld = ((block + 15) & ~u64{15}) + 16;
    const detail::Tuning tuning = detail::read_tuning(block, q / 2);
    const double estimate = detail::prepare_bytes(q, block, ld, W, tuning);
    double limit = 4e11;
    if (const char* s = std::getenv("AGG_MAX_SCRATCH_GB")) limit = std::strtod(s, nullptr) * 1e9;
    if (!(limit > estimate))
        throw std::invalid_argument("agg1: workspace would exceed AGG_MAX_SCRATCH_GB (default 400 GB)");
    if (state.prepared && state.q == q && state.block == block) return;

    release_workspace();
    state.ld = ld;
    state.m = q / 2;
    state.q = q;
    state.block = block;
    state.block_floats = block * ld;
    state.chunks_per_block = static_cast<std::int32_t>((block + detail::kRowsPerJob - 1) / detail::kRowsPerJob);
    state.kch = tuning.kch;
    state.redirect_mode = tuning.redirect_mode;
    state.plan = tuning.plan;

    try {
        const u64 block_bytes = state.block_floats * 4;
        for (auto& set : state.operand_sums) detail::allocate_set(set, q, block_bytes);
        for (auto& set : state.accumulators) detail::allocate_set(set, q, block_bytes);
        detail::allocate_set(state.workspaces, W, term_workspace_floats(block, &state.plan) * 4);
        for (auto& set : state.redirect_tiles) detail::allocate_set(set, W, block_bytes);
        // The broadcast's row pair per worker is not part of the scratch figure.
        const u64 counted = state.scratch_bytes;
        detail::allocate_set(state.row_buffers, W, 2 * block * 4);
        state.scratch_bytes = counted;

        state.tile_locks = detail::zeroed_locks(q * q);
        state.acc_locks = detail::zeroed_locks(4 * q);
        state.deferred.resize(W);
        detail::build_groups(state.m, static_cast<u64>(state.kch));
        state.claim_flags = detail::zeroed_locks(state.groups.size() + 1);

        // A run allocates nothing: room for the worst case of the redirect
        // mode. Mode 0 may defer every leaf into one list and hand them all
        // over; other modes redirect a worker's ninth deferral at once; mode 2
        // never defers.
        const u64 leaves = detail::main_leaf_count(q);
        const u64 list_room = state.redirect_mode == 0 ? leaves : state.redirect_mode == 2 ? 0 : 8;
        for (auto& list : state.deferred) list.reserve(list_room);
        state.drain_stack.reserve(state.redirect_mode == 2 ? 0 : leaves);
        state.worker_leaves.assign(W, 0);
        state.worker_busy.assign(W, 0.0);
        state.worker_finish.assign(W, 0.0);
        state.worker_cpu.assign(W, -1);
    } catch (...) {
        release_workspace();
        throw;
    }
    state.prepared = true;
}

void release_workspace() noexcept {
    for (auto& set : state.operand_sums) detail::free_set(set);
    for (auto& set : state.accumulators) detail::free_set(set);
    detail::free_set(state.workspaces);
    for (auto& set : state.redirect_tiles) detail::free_set(set);
    detail::free_set(state.row_buffers);
    state.tile_locks.reset();
    state.acc_locks.reset();
    state.claim_flags.reset();
    std::vector<detail::LeafGroup>().swap(state.groups);
    for (auto& list : state.deferred) std::vector<detail::LeafRef>().swap(list);
    std::vector<detail::LeafRef>().swap(state.drain_stack);
    state.q = state.m = state.block = state.ld = state.block_floats = state.scratch_bytes = 0;
    state.prepared = false;
}

u64 prepared_q() { return state.prepared ? state.q : 0; }
u64 scratch_bytes() { return state.scratch_bytes; }
u64 group_count() { return state.groups.size(); }

}  // namespace agg1
