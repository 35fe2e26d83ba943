#include <cblas.h>

#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>

#include "multiply/accuracy/accuracy.h"
#include "multiply/agg1/agg1.h"
#include "multiply/agg1/term_product.h"
#include "multiply/blas/aocl_backend.h"
#include "multiply/blas/leaf_route.h"
#include "multiply/method/center.h"
#include "multiply/method/equil.h"
#include "multiply/method/method_run.h"
#include "multiply/method/problem.h"
#include "multiply/pan_adapter/pan_accurate.h"
#include "multiply/pan_adapter/pan_engine.h"
#include "multiply/pan_adapter/pool.h"

ActiveMethod active_method;
std::vector<StrassenWorkspace> strassen_workspaces;

namespace {

void free_strassen_workspaces() noexcept {
    for (auto& level : strassen_workspaces)
        for (auto& buffer : level.buffers) {
            std::free(buffer.data);
            buffer = MatrixStorage{};
        }
    strassen_workspaces.clear();
}

// Buffers of every Strassen level: level l = 1..s has side n / 2^l, six
// buffers above the bottom and four on it. Each is zero-filled by the pool
// workers so that its pages are first touched where they will be used.
void allocate_strassen_workspaces(std::uint64_t n, std::int32_t s) {
    for (std::int32_t l = 1; l <= s; ++l) {
        const std::uint64_t side = n >> l;
        if (side < 1 || side > 2147483647u) throw std::runtime_error("invalid matrix extent");
        StrassenWorkspace level;
        level.side = side;
        level.buffers.resize(l < s ? 6 : 4);
        // Appended before the allocations, so that a failure part-way leaves
        // every buffer made so far owned by the list.
        strassen_workspaces.push_back(std::move(level));
        for (auto& buffer : strassen_workspaces.back().buffers) {
            allocate_matrix(buffer, side, side);
            request_huge_pages_like_matrices(buffer.data, buffer.bytes);
        }
    }
    for (const auto& level : strassen_workspaces)
        for (const auto& buffer : level.buffers) {
            active_method.outer_bytes += buffer.bytes;
            fill_block(buffer.data, level.side, buffer.ld, 0);
        }
}

// The leaf from L down: halved until `fits` accepts it. Refused (with
// `refusal`) below 2, when halving reaches 1, and below 16.
template <class Fits>
std::uint64_t fit_leaf(std::uint64_t L, const char* refusal, Fits fits) {
    if (L < 2) throw std::runtime_error(refusal);
    while (!fits(L)) {
        L /= 2;
        if (L <= 1) throw std::runtime_error(refusal);
    }
    if (L < 16) throw std::runtime_error(refusal);
    return L;
}

}  // namespace

double setup_method(const MethodSpec& spec) {
    const std::uint64_t t0 = monotonic_ns();
    const std::uint64_t n = problem.n;

    // Release everything the previous method left. Inputs still scaled or
    // centred by an interrupted run are given back here (unscaled first),
    // before anything else is freed.
    free_strassen_workspaces();
    release_equil_state();
    release_center_state();

    active_method.aocl_corrections = spec.aocl_corrections;
    leaf_routing::aocl_corrections = spec.aocl_corrections;
    active_method.strassen_levels = spec.strassen_levels;
    active_method.pan = spec.pan;
    active_method.agg = spec.agg;
    active_method.macro_grid = spec.macro_grid;
    active_method.accurate = spec.accurate;
    agg1::general_forms_only = spec.agg1g;
    agg1::release_workspace();
    active_method.agg_q = 0;
    // The accurate buffers, then the Pan workspaces (accurate mutex first).
    pan_adapter::release_all();

    // Shape: levels 0..4 (compared unsigned) and n divisible by 2^max(s, 1).
    const std::uint32_t s = static_cast<std::uint32_t>(spec.strassen_levels);
    const std::uint64_t p = std::uint64_t{1} << (s > 4 ? 1 : (s < 1 ? 1 : s));
    if (s > 4 || n % p != 0) throw std::runtime_error("shape/depth incompatible");

    active_method.outer_bytes = 0;
    allocate_strassen_workspaces(n, spec.strassen_levels);

    // Pan leaf: halve the requested leaf until it divides the pair side b.
    active_method.pan_leaf = 0;
    if (spec.pan) {
        const std::uint64_t g = static_cast<std::uint64_t>(spec.macro_grid);
        if (g == 0 || n % (p * g) != 0) throw std::runtime_error("Pan macro split incompatible");
        const std::uint64_t b = n / p / g;
        const std::uint64_t L = fit_leaf(spec.leaf != 0 ? spec.leaf : problem.leaf,
                                         "no practical compatible Pan leaf",
                                         [b](std::uint64_t l) { return b % l == 0; });
        active_method.pan_leaf = L;
        pan_adapter::prepare(b, L);
        if (spec.accurate) {
            pan_adapter::configure_accurate(spec.correction_k, spec.main_subk, spec.correction_tile,
                                            spec.packed_corrections);
            pan_adapter::prepare_accurate(b, L);
        }
    }

    // agg1 block: halve the requested leaf until it divides the product side
    // m = n / 2^s into an even number of blocks.
    if (spec.agg) {
        const std::uint64_t m = n >> s;
        const std::uint64_t L = fit_leaf(spec.leaf != 0 ? spec.leaf : problem.leaf,
                                         "no practical compatible agg leaf",
                                         [m](std::uint64_t l) { return m % l == 0 && (m / l) % 2 == 0; });
        active_method.pan_leaf = L;
        active_method.agg_q = m / L;
        agg1::prepare(active_method.agg_q, L);
    }

    {
        std::lock_guard<std::mutex> guard(pan_adapter::implementation::adapter_mutex);
        // agg1's share: its scratch, locks (q*q tiles, 4q accumulators), claim
        // flags (groups + 1) and the 10-byte leaf groups.
        const std::uint64_t q = agg1::prepared_q(), groups = agg1::group_count();
        active_method.pan_bytes = pan_adapter::implementation::pan_state.workspace_bytes + agg1::scratch_bytes() +
                                  q * (q + 4) + 1 + 11 * groups;
    }
    if (spec.accurate) active_method.pan_bytes += pan_adapter::accurate_bytes();
    active_method.center_bytes = 0;
    active_method.equil_bytes = 0;
    if (spec.centered) {
        center::prepare(n);
        active_method.center_bytes = center::state.bytes;
    }
    if (spec.scale) {
        equil::prepare(n);
        active_method.equil_bytes = equil::state.bytes;
    }
    active_method.owned_scratch_bytes = active_method.pan_bytes + active_method.outer_bytes +
                                        active_method.center_bytes + active_method.equil_bytes;
    return seconds_since(t0);
}

void start_backends(int workers, int cpu_base, bool& started) {
    openblas_set_num_threads(1);
    aocl_backend::initialize(workers, cpu_base);
    started = true;
    pan_adapter::init_pool(workers, cpu_base);
    agg1::init_pool(workers, cpu_base);
}

void release_all() noexcept {
    release_equil_state();
    release_center_state();
    pan_adapter::release_all();
    accuracy::release();
    free_strassen_workspaces();
    agg1::shutdown();  // also releases the agg1 workspace
    pan_adapter::shutdown();  // also releases the Pan workspaces
}
