#include "multiply/pan_adapter/pan_engine.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>

#include "common/clock.h"
#include "multiply/blas/leaf_route.h"
#include "multiply/method/matrix_storage.h"
#include "multiply/pan_adapter/leaf_plan.h"
#include "multiply/pan_adapter/pool.h"

namespace pan_adapter {

namespace implementation {

PanState pan_state;

namespace {

constexpr std::uint64_t kIntMax = 2147483647;
// Largest leaf whose padded block stride ceil16(L) + 16 still fits a BLAS int.
constexpr std::uint64_t kLeafMax = 2147483616;
constexpr std::uint64_t kChunkRows = 64;

std::uint64_t checked_add(std::uint64_t a, std::uint64_t b) {
    if (a > std::numeric_limits<std::uint64_t>::max() - b)
        throw std::overflow_error("Pan size addition overflow");
    return a + b;
}

}  // namespace

PanGrid check_pan_size(std::uint64_t s, std::uint64_t L) {
    if (s == 0 || L == 0 || s % L != 0 || s > kIntMax || L > kLeafMax)
        throw std::invalid_argument(
            "Pan side must be positive, fit BLAS int and be divisible by leaf");
    PanGrid grid;
    const std::uint64_t g = s / L;
    const std::uint64_t c = (L + kChunkRows - 1) / kChunkRows;
    const std::uint64_t g2 = checked_mul(g, g);
    const std::uint64_t g3 = checked_mul(g2, g);
    // Task and job counts of a run travel as int.
    const std::uint64_t limit = std::uint64_t{1} << 31;
    if (g3 >= limit || checked_mul(3, g2) >= limit ||
        checked_mul(checked_mul(2, g2), c) > kIntMax || checked_mul(checked_mul(4, g), c) > kIntMax)
        throw std::invalid_argument("Pan schedule exceeds its int task-index range");
    const std::uint64_t block_ld = (L + 15) / 16 * 16 + 16;
    grid.grid = g;
    grid.chunks = c;
    grid.block_floats = checked_mul(L, block_ld);
    checked_mul(grid.block_floats, 4);
    return grid;
}

float* block_of(const PanView& v, std::uint64_t r, std::uint64_t q) {
    const std::uint64_t L = pan_state.leaf;
    return v.data + r * L * v.ld + q * L;
}

void chunk_rows(std::uint64_t chunk, std::uint64_t& first, std::uint64_t& end) {
    first = chunk * pan_state.chunk_rows;
    end = std::min(first + pan_state.chunk_rows, pan_state.leaf);
}

DecodeBlock decode_block(int t) {
    const auto g = static_cast<std::uint64_t>(pan_state.grid);
    const auto c = static_cast<std::uint64_t>(pan_state.chunks_per_block);
    const std::uint64_t b = static_cast<std::uint64_t>(t) / c;
    DecodeBlock d;
    d.second = b >= g * g;
    if (!d.second) {  // C[i][k]: loses U[k]
        d.row = b / g;
        d.col = b % g;
        d.line = d.col;
    } else {  // C2[j][i]: loses T[j]
        const std::uint64_t u = b - g * g;
        d.row = u / g;
        d.col = u % g;
        d.line = d.row;
    }
    chunk_rows(static_cast<std::uint64_t>(t) % c, d.r0, d.r1);
    return d;
}

void run_phases(const PairPhases& phases, PairTimes& times) {
    const std::uint64_t s = pan_state.side;
    const auto g = static_cast<std::uint64_t>(pan_state.grid);
    const auto c = static_cast<std::uint64_t>(pan_state.chunks_per_block);
    auto timed = [](std::uint64_t count, JobFn job) {
        const std::uint64_t t0 = monotonic_ns();
        pool.dispatch(static_cast<int>(count), job);
        return seconds_since(t0);
    };
    if (phases.prologue != nullptr) times.prologue = timed(2 * ((s + 63) / 64), phases.prologue);
    times.forms = timed(4 * g * c, phases.forms);
    const std::uint64_t t0 = monotonic_ns();
    reset_ready_list();
    pool.dispatch(workers(), phases.main);
    times.main = seconds_since(t0);
    times.corrections = timed(3 * g * g, phases.corrections);
    times.reduce = timed(2 * g * c, phases.reduce);
    times.decode = timed(2 * g * g * c, phases.decode);
}

PairTimes run_pair_call(PanRunViews& run, const PanRunViews& views, const PairPhases& phases) {
    PairTimes times;
    const std::uint64_t t0 = monotonic_ns();
    check_pair_views(views.a, views.b, views.a2, views.b2, views.c, views.c2);
    run = views;
    struct Clear {
        PanRunViews& run;
        ~Clear() { run = PanRunViews{}; }
    } clear{run};
    leaf_routing::pan_leaf_counter.store(0);
    run_phases(phases, times);
    times.leaf_products = leaf_routing::pan_leaf_counter.load();
    times.total_seconds = seconds_since(t0);
    return times;
}

}  // namespace implementation

using implementation::pan_state;

std::uint64_t checked_mul(std::uint64_t a, std::uint64_t b) {
    if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a)
        throw std::overflow_error("Pan size multiplication overflow");
    return a * b;
}

namespace {

std::uint64_t round64_bytes(std::uint64_t floats) { return (floats * 4 + 63) / 64 * 64; }

// The sizes of a set of count buffers of floats each, checked as
// pan_alloc_workspace checks them; room for them is reserved in set.
struct SetSize {
    std::uint64_t bytes = 0;    // one buffer, rounded up to 64 bytes
    std::uint64_t total = 0;    // all of them
    std::uint64_t counter = 0;  // the byte counter once they are allocated
};
SetSize checked_set_size(std::vector<float*>& set, std::uint64_t count, std::uint64_t floats) {
    SetSize z;
    if (floats != 0) {
        if (floats >= (std::uint64_t{1} << 62))
            throw std::overflow_error("Pan size multiplication overflow");
        if (floats * 4 > std::numeric_limits<std::uint64_t>::max() - 63)
            throw std::overflow_error("Pan size addition overflow");
        z.bytes = round64_bytes(floats);
    }
    if (count == 0) return z;
    z.total = checked_mul(count, z.bytes);
    z.counter = implementation::checked_add(pan_state.workspace_bytes, z.total);
    if (count > set.max_size() - set.size())
        throw std::overflow_error("Pan size addition overflow");
    set.reserve(set.size() + count);
    return z;
}

// A set of a preparation: count buffers of floats each (rounded up to 64
// bytes) carved from one allocation, recorded in pan_state.arenas. An
// allocation that spans 2 MiB pages is aligned to them and advised to use
// them before the workers first touch it (fill_workspaces_on_pool): a 4 KiB
// fault per page would cost more than the fill, and the kernels stream the
// packed sums and the P blocks through fewer TLB entries. The checks and the
// byte counter are those of pan_alloc_workspace; no zero fill here.
void alloc_arena_set(std::vector<float*>& set, std::uint64_t count, std::uint64_t floats) {
    const auto [bytes, total, counter] = checked_set_size(set, count, floats);
    if (count == 0) return;
    pan_state.arenas.reserve(pan_state.arenas.size() + 1);
    constexpr std::uint64_t huge = std::uint64_t{2} << 20;
    const bool spans_huge = total >= huge;
    void* base = nullptr;
    if (posix_memalign(&base, spans_huge ? huge : 64, total == 0 ? 64 : total) != 0 || base == nullptr)
        throw_bad_alloc();
    pan_state.arenas.push_back(base);
    if (spans_huge) (void)madvise(base, (total + 4095) / 4096 * 4096, MADV_HUGEPAGE);
    auto* first = static_cast<unsigned char*>(base);
    for (std::uint64_t b = 0; b < count; ++b) set.push_back(reinterpret_cast<float*>(first + b * bytes));
    pan_state.workspace_bytes = counter;
}

// Separate zero-filled buffers, one allocation each.
void alloc_workspace_set(std::vector<float*>& set, std::uint64_t count, std::uint64_t floats) {
    const auto [bytes, total, counter] = checked_set_size(set, count, floats);
    if (count == 0) return;
    for (std::uint64_t b = 0; b < count; ++b) {
        void* p = nullptr;
        if (posix_memalign(&p, 64, bytes) != 0 || p == nullptr) throw_bad_alloc();
        set.push_back(static_cast<float*>(p));
        std::memset(p, 0, bytes);
    }
    pan_state.workspace_bytes = counter;
}

// The zero fill of a fresh preparation, run on the pool so that the pages
// are first touched by the workers, many at a time: each worker clears its
// own per-worker buffers (at its first job), the shared blocks go one per job.
struct WorkspaceFill {
    std::uint64_t block_bytes = 0;
    std::uint64_t leaf_bytes = 0;
    std::vector<float*> shared;  // RA, CA2, RB, CB2, U, T and P blocks
    std::unique_ptr<std::atomic<bool>[]> own_done;
};
WorkspaceFill workspace_fill;

void clear_own_buffers(std::uint64_t w) {
    std::memset(pan_state.a_sums[w], 0, workspace_fill.block_bytes);
    std::memset(pan_state.b_sums[w], 0, workspace_fill.block_bytes);
    std::memset(pan_state.leaf_workspaces[w], 0, workspace_fill.leaf_bytes);
}

void workspace_fill_job(int t) {
    const int w = pan_worker_id;
    if (w >= 0 && w < workers() && !workspace_fill.own_done[static_cast<std::size_t>(w)].exchange(true))
        clear_own_buffers(static_cast<std::uint64_t>(w));
    std::memset(workspace_fill.shared[static_cast<std::size_t>(t)], 0, workspace_fill.block_bytes);
}

// Zero-fills every workspace of the preparation in progress; the caller
// holds the adapter mutex.
void fill_workspaces_on_pool(std::uint64_t block_floats, std::uint64_t leaf_floats) {
    const auto W = static_cast<std::size_t>(workers());
    workspace_fill.block_bytes = round64_bytes(block_floats);
    workspace_fill.leaf_bytes = round64_bytes(leaf_floats);
    workspace_fill.shared.clear();
    for (auto* set : {&pan_state.ra, &pan_state.ca2, &pan_state.rb, &pan_state.cb2, &pan_state.u,
                      &pan_state.t, &pan_state.p})
        workspace_fill.shared.insert(workspace_fill.shared.end(), set->begin(), set->end());
    workspace_fill.own_done.reset(new std::atomic<bool>[W]);
    for (std::size_t w = 0; w < W; ++w) workspace_fill.own_done[w].store(false);
    implementation::pool.dispatch(static_cast<int>(workspace_fill.shared.size()), workspace_fill_job);
    // A worker that claimed no job still gets zeroed buffers.
    for (std::size_t w = 0; w < W; ++w)
        if (!workspace_fill.own_done[w].load()) clear_own_buffers(w);
    workspace_fill.shared.clear();
}

}  // namespace

void pan_alloc_workspace(std::vector<float*>& set, std::uint64_t count, std::uint64_t floats) {
    alloc_workspace_set(set, count, floats);
}

void release_workspaces() {
    for (auto* set :
         {&pan_state.a_sums, &pan_state.b_sums, &pan_state.leaf_workspaces, &pan_state.ra,
          &pan_state.ca2, &pan_state.rb, &pan_state.cb2, &pan_state.u, &pan_state.t, &pan_state.p})
        std::vector<float*>().swap(*set);
    for (void* arena : pan_state.arenas) std::free(arena);
    std::vector<void*>().swap(pan_state.arenas);
    implementation::release_schedule();
    pan_state.run = PanRunViews{};
    pan_state.grid = 0;
    pan_state.block_ld = 0;
    pan_state.leaf = 0;
    pan_state.side = 0;
    pan_state.chunk_rows = 0;
    pan_state.chunks_per_block = 0;
    leaf_routing::pan_leaf_counter.store(0);
    leaf_routing::pan_leaf_side = 0;
    pan_state.workspace_bytes = 0;
    pan_state.leaf_workspace_floats = 0;
    pan_state.recorded_side = 0;
    pan_state.recorded_leaf = 0;
    pan_state.prepared = false;
}

void prepare(std::uint64_t s, std::uint64_t L) {
    std::lock_guard<std::mutex> lock(implementation::adapter_mutex);
    if (!implementation::initialized)
        throw std::logic_error("Call pan_adapter::init_pool before prepare");
    const implementation::PanGrid grid = implementation::check_pan_size(s, L);
    if (pan_state.prepared && pan_state.recorded_side == s && pan_state.recorded_leaf == L) return;

    release_workspaces();
    const std::uint64_t g = grid.grid;
    pan_state.grid = static_cast<int>(g);
    pan_state.block_ld = (L + 15) / 16 * 16 + 16;
    pan_state.leaf = L;
    pan_state.side = s;
    pan_state.chunk_rows = implementation::kChunkRows;
    pan_state.chunks_per_block = static_cast<int>(grid.chunks);
    leaf_routing::pan_leaf_side = L;
    try {
        const auto W = static_cast<std::uint64_t>(workers());
        const std::uint64_t leaf_floats = pair_workspace_floats_default(L);
        alloc_arena_set(pan_state.a_sums, W, grid.block_floats);
        alloc_arena_set(pan_state.b_sums, W, grid.block_floats);
        alloc_arena_set(pan_state.leaf_workspaces, W, leaf_floats);
        pan_state.leaf_workspace_floats = leaf_floats;
        for (auto* set : {&pan_state.ra, &pan_state.ca2, &pan_state.rb, &pan_state.cb2,
                          &pan_state.u, &pan_state.t})
            alloc_arena_set(*set, g, grid.block_floats);
        alloc_arena_set(pan_state.p, g * g, grid.block_floats);
        fill_workspaces_on_pool(grid.block_floats, leaf_floats);

        implementation::build_task_order(g);
    } catch (...) {
        release_workspaces();
        throw;
    }
    pan_state.recorded_side = s;
    pan_state.recorded_leaf = L;
    pan_state.prepared = true;
}

PanViewSpan check_view(PanView view) {
    const std::uint64_t s = pan_state.side;
    if (view.data == nullptr || view.ld < s || view.ld > implementation::kIntMax)
        throw std::invalid_argument(
            "Pan view requires a nonnull pointer and side <= ld <= INT_MAX");
    if (s >= (std::uint64_t{1} << 62))
        throw std::overflow_error("Pan size multiplication overflow");
    const std::uint64_t elements = implementation::checked_add(checked_mul(s - 1, view.ld), s);
    const std::uint64_t span = checked_mul(elements, 4);
    const auto begin = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(view.data));
    if (begin % 4 != 0 || span > std::numeric_limits<std::uint64_t>::max() - begin)
        throw std::invalid_argument("Pan view has invalid alignment or address span");
    PanViewSpan out;
    out.begin = begin;
    out.end = begin + span;
    out.row_stride = view.ld * 4;
    out.row_bytes = s * 4;
    return out;
}

namespace {

// True when some row of x shares a byte with some row of y. Rows of each view
// lie at increasing addresses, so one merge-like walk over both suffices.
bool views_overlap(const PanViewSpan& x, const PanViewSpan& y, std::uint64_t rows) {
    if (!(x.begin < y.end && y.begin < x.end)) return false;
    std::uint64_t p = 0, q = 0;
    while (p < rows && q < rows) {
        const std::uint64_t xs = x.begin + p * x.row_stride, xe = xs + x.row_bytes;
        const std::uint64_t ys = y.begin + q * y.row_stride, ye = ys + y.row_bytes;
        if (ye <= xs)
            ++q;
        else if (ys < xe)
            return true;
        else
            ++p;
    }
    return false;
}

}  // namespace

void check_pair_views(PanView A, PanView B, PanView A2, PanView B2, PanView C, PanView C2) {
    const PanViewSpan a = check_view(A), b = check_view(B), a2 = check_view(A2),
                      b2 = check_view(B2), c = check_view(C), c2 = check_view(C2);
    const std::uint64_t s = pan_state.side;
    if (views_overlap(c, c2, s)) throw std::invalid_argument("Pan output views overlap");
    for (const PanViewSpan* out : {&c, &c2})
        for (const PanViewSpan* in : {&a, &b, &a2, &b2})
            if (views_overlap(*out, *in, s))
                throw std::invalid_argument("Pan output view overlaps an input");
}

}  // namespace pan_adapter
