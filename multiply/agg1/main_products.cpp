// agg1 main products: workers claim leaf groups, guard each leaf's three
// output tiles with byte locks and, on a busy tile, defer the leaf, redirect
// its busy outputs into private tiles, or hand it to the final drain.
#include <sched.h>

#include <algorithm>

#include "common/clock.h"
#include "multiply/agg1/engine.h"

namespace agg1 {
namespace detail {

void (*leaf_hook)(const LeafRef& leaf) = nullptr;

namespace {

constexpr u64 kClaimWindow = 96;  // groups looked at per claim attempt
constexpr std::size_t kDeferLimit = 8;  // deferred leaves a worker holds before redirecting

// The block indices I, J, K of a leaf on the whole grid.
struct LeafBlocks {
    u64 I, J, K;
};
LeafBlocks leaf_blocks(const LeafRef& l) {
    const u64 m = state.m;
    return LeafBlocks{l.i + l.slice * m, l.j + l.slice * m, l.k + l.slice * m};
}

// Tile ids of a leaf's three outputs (pairwise different).
void leaf_tiles(std::uint8_t wrap, const LeafBlocks& x, u64 tile[3]) {
    const u64 m = state.m, q = state.q;
    const u64 I = x.I, J = x.J, K = x.K;
    if (wrap == 0) {
        tile[0] = I * q + K;
        tile[1] = J * q + I;
        tile[2] = K * q + J;
    } else {
        tile[0] = I * q + partner(K, m);
        tile[1] = partner(J, m) * q + I;
        tile[2] = K * q + J;
    }
}

// Releases the tile locks it holds when it goes out of scope, also on an
// exception from the product.
struct HeldTiles {
    u64 tile[3];
    bool held[3] = {false, false, false};
    ~HeldTiles() {
        for (int s = 0; s < 3; ++s)
            if (held[s]) unlock(state.tile_locks[tile[s]]);
    }
};

// The leaf's product with the calling worker's workspace; its seconds go to
// the worker's busy time.
void leaf_product(const LeafRef& leaf, const LeafTerms& t, int id) {
    if (leaf_hook != nullptr) leaf_hook(leaf);
    const u64 t0 = monotonic_ns();
    term_product(state.block, 3, t.a, 3, t.b, 3, t.c, state.workspaces[static_cast<std::size_t>(id)],
                 &state.plan);
    state.worker_busy[static_cast<std::size_t>(id)] += seconds_since(t0);
}

void count_leaf(int id) {
    state.kernel_calls.fetch_add(1);
    state.main_leaves.fetch_add(1);
    state.worker_leaves[static_cast<std::size_t>(id)] += 1;
}

// Puts the leaves in order on top of the drain stack (capacity reserved by prepare).
void hand_over(std::vector<LeafRef>& list) {
    std::lock_guard<std::mutex> lock(state.drain_mutex);
    state.drain_stack.insert(state.drain_stack.end(), list.begin(), list.end());
    list.clear();
}

// Moves the cursor past claimed groups.
void advance_cursor() {
    const u64 n = state.groups.size();
    u64 cur = state.group_cursor.load();
    while (cur < n && state.claim_flags[cur].load() != 0)
        if (state.group_cursor.compare_exchange_weak(cur, cur + 1)) ++cur;
}

bool first_leaf_tiles_free(const LeafGroup& g) {
    u64 tile[3];
    leaf_tiles(g.wrap, leaf_blocks(LeafRef{g.wrap, g.slice, g.i, g.j, g.k_begin}), tile);
    for (u64 t : tile)
        if (state.tile_locks[t].load(std::memory_order_relaxed) != 0) return false;
    return true;
}

}  // namespace

LeafTerms leaf_terms(const LeafRef& l) {
    const u64 m = state.m;
    const LeafBlocks x = leaf_blocks(l);
    const u64 I = x.I, J = x.J, K = x.K;
    auto A = [](u64 r, u64 c, float coef) { return TermView{block_at(state.A, state.lda, r, c), state.lda, coef}; };
    auto B = [](u64 r, u64 c) { return TermView{block_at(state.B, state.ldb, r, c), state.ldb, 1.0f}; };
    auto C = [](u64 r, u64 c, float coef) { return TermView{block_at(state.C, state.ldc, r, c), state.ldc, coef}; };
    LeafTerms t;
    if (l.wrap == 0) {
        t.a[0] = A(I, J, 1.0f), t.a[1] = A(J, K, 1.0f), t.a[2] = A(K, I, 1.0f);
        t.b[0] = B(J, K), t.b[1] = B(K, I), t.b[2] = B(I, J);
        t.c[0] = C(I, K, 1.0f), t.c[1] = C(J, I, 1.0f), t.c[2] = C(K, J, 1.0f);
    } else {
        const u64 pI = partner(I, m), pJ = partner(J, m), pK = partner(K, m);
        t.a[0] = A(I, J, -1.0f), t.a[1] = A(pJ, K, 1.0f), t.a[2] = A(K, pI, 1.0f);
        t.b[0] = B(J, pK), t.b[1] = B(K, I), t.b[2] = B(pI, J);
        t.c[0] = C(I, pK, -1.0f), t.c[1] = C(pJ, I, 1.0f), t.c[2] = C(K, J, 1.0f);
    }
    leaf_tiles(l.wrap, x, t.tile);
    return t;
}

bool try_leaf(const LeafRef& leaf) {
    const int id = agg1_worker_id;
    const LeafTerms t = leaf_terms(leaf);
    HeldTiles held;
    std::copy(t.tile, t.tile + 3, held.tile);
    std::sort(held.tile, held.tile + 3);
    for (int s = 0; s < 3; ++s) {
        if (!try_lock(state.tile_locks[held.tile[s]])) return false;  // the guard frees those taken
        held.held[s] = true;
    }
    leaf_product(leaf, t, id);
    for (int s = 0; s < 3; ++s) {
        unlock(state.tile_locks[held.tile[s]]);
        held.held[s] = false;
    }
    count_leaf(id);
    return true;
}

void redirect_leaf(const LeafRef& leaf) {
    const int id = agg1_worker_id;
    LeafTerms t = leaf_terms(leaf);
    HeldTiles held;
    std::copy(t.tile, t.tile + 3, held.tile);
    TermView out[3];
    std::copy(t.c, t.c + 3, out);
    bool busy[3] = {false, false, false};
    std::int64_t busy_count = 0;
    for (int s = 0; s < 3; ++s) {
        if (try_lock(state.tile_locks[t.tile[s]])) {
            held.held[s] = true;
            continue;
        }
        float* const tile = state.redirect_tiles[s][static_cast<std::size_t>(id)];
        zero_block(tile, state.ld, state.block);
        t.c[s].data = tile;
        t.c[s].ld = state.ld;
        busy[s] = true;
        ++busy_count;
    }
    leaf_product(leaf, t, id);
    for (int s = 0; s < 3; ++s)
        if (held.held[s]) {
            unlock(state.tile_locks[t.tile[s]]);
            held.held[s] = false;
        }
    // Each busy tile alone: wait for it, add the private tile, free it.
    for (int s = 0; s < 3; ++s) {
        if (!busy[s]) continue;
        LockByte& lock = state.tile_locks[t.tile[s]];
        lock_yielding(lock);
        add_block(out[s].data, out[s].ld, t.c[s].data, state.ld, state.block);
        unlock(lock);
    }
    count_leaf(id);
    if (busy_count != 0) state.redirects.fetch_add(busy_count);
}

std::int64_t claim_group() {
    const u64 n = state.groups.size();
    for (u64 c = state.group_cursor.load(); c < n; c = state.group_cursor.load()) {
        const u64 end = std::min(c + kClaimWindow, n);
        // First a group whose first leaf finds its tiles free, then any.
        for (int pass = 0; pass < 2; ++pass)
            for (u64 g = c; g < end; ++g) {
                LockByte& flag = state.claim_flags[g];
                if (flag.load() != 0) continue;
                if (pass == 0 && !first_leaf_tiles_free(state.groups[g])) continue;
                if (!try_lock(flag)) continue;
                if (g == c) advance_cursor();
                return static_cast<std::int64_t>(g);
            }
        advance_cursor();
    }
    return -1;
}

void run_groups(int) {
    const int id = agg1_worker_id;
    const int W = pool.workers;
    std::vector<LeafRef>& list = state.deferred[static_cast<std::size_t>(id)];
    state.active_workers.fetch_add(1);
    // Leaves the count of active workers also when a leaf throws.
    struct Active {
        ~Active() { state.active_workers.fetch_sub(1); }
    } active;

    for (std::int64_t g; (g = claim_group()) >= 0;) {
        const LeafGroup group = state.groups[static_cast<std::size_t>(g)];
        for (u64 k = group.k_begin; k < group.k_end; ++k) {
            const LeafRef leaf{group.wrap, group.slice, group.i, group.j, static_cast<std::uint16_t>(k)};
            if (state.redirect_mode == 2) {
                redirect_leaf(leaf);
                continue;
            }
            if (!try_leaf(leaf)) {
                state.deferrals.fetch_add(1);
                if (state.redirect_mode != 0 && list.size() >= kDeferLimit)
                    redirect_leaf(leaf);
                else
                    list.push_back(leaf);
            }
            // One pass over the deferred leaves; once some worker is outside
            // this loop they go to the drain instead.
            for (std::size_t e = 0; e < list.size();) {
                if (state.active_workers.load() < W) {
                    hand_over(list);
                    break;
                }
                if (try_leaf(list[e])) {
                    list[e] = list.back();
                    list.pop_back();
                } else {
                    ++e;
                }
            }
        }
    }
    if (!list.empty()) hand_over(list);
    state.worker_finish[static_cast<std::size_t>(id)] = seconds_since(state.phase_start);
    state.worker_cpu[static_cast<std::size_t>(id)] = sched_getcpu();
}

void drain() {
    std::int64_t count = 0;
    const u64 t0 = monotonic_ns();
    for (;;) {
        // A failed run ends the drains at once; the caller sees the failure.
        if (pool.failed.load(std::memory_order_relaxed)) return;
        std::unique_lock<std::mutex> lock(state.drain_mutex);
        if (!state.drain_stack.empty()) {
            const LeafRef leaf = state.drain_stack.back();
            state.drain_stack.pop_back();
            lock.unlock();
            if (state.redirect_mode != 0) {
                redirect_leaf(leaf);
                ++count;
            } else if (try_leaf(leaf)) {
                ++count;
            } else {
                lock.lock();
                state.drain_stack.insert(state.drain_stack.begin(), leaf);
                lock.unlock();
                sched_yield();
            }
            continue;
        }
        lock.unlock();
        if (state.active_workers.load() == 0) {
            state.drained.fetch_add(count);
            const std::int64_t ns = static_cast<std::int64_t>(monotonic_ns() - t0);
            std::int64_t seen = state.drain_tail_ns.load();
            while (ns > seen && !state.drain_tail_ns.compare_exchange_weak(seen, ns)) {
            }
            return;
        }
        sched_yield();
    }
}

}  // namespace detail
}  // namespace agg1
