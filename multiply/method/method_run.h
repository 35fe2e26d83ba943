// Method set-up, execution and release for the current Problem, and the
// product runners between the method level and the engines.
//
// A method runs in three calls on the main thread: setup_method prepares the
// engines for the current problem, execute_method computes C = A·B any number
// of times, release_all frees everything and stops the pools.
#pragma once

#include <cstdint>
#include <vector>

#include "common/clock.h"
#include "multiply/blas/aocl_tiles.h"
#include "multiply/method/matrix_storage.h"
#include "multiply/method/method_spec.h"

// The prepared method; written only by setup_method.
struct ActiveMethod {
    std::int32_t strassen_levels = 0;
    bool pan = false;
    bool agg = false;
    bool accurate = false;
    std::int32_t macro_grid = 1;
    bool aocl_corrections = false;
    std::uint64_t pan_leaf = 0;  // leaf side of the Pan or agg1 engine, 0 otherwise
    std::uint64_t agg_q = 0;     // agg1 blocks per side, 0 unless agg
    std::uint64_t outer_bytes = 0;
    std::uint64_t pan_bytes = 0;
    std::uint64_t center_bytes = 0;
    std::uint64_t equil_bytes = 0;
    std::uint64_t owned_scratch_bytes = 0;
};
extern ActiveMethod active_method;

// Buffers of one Strassen level: 6 of side n/2^l (4 on the last level).
struct StrassenWorkspace {
    std::uint64_t side = 0;
    std::vector<MatrixStorage> buffers;
};
extern std::vector<StrassenWorkspace> strassen_workspaces;

// Phase seconds and counters of one execute_method call. Field names are the
// benchmark's report keys.
struct PhaseTimers {
    double forms = 0;
    double decode = 0;
    double pan = 0;
    double dense = 0;
    double pan_prologue = 0;
    double pan_forms = 0;
    double pan_main = 0;
    double pan_corr = 0;
    double pan_reduce = 0;
    double pan_decode = 0;
    std::uint64_t pan_products = 0;
    std::uint64_t pan_pairs = 0;
    std::uint64_t aocl_singletons = 0;
    std::uint64_t accurate_correction_gemms = 0;
    double agg = 0;
    double agg_main = 0;
    double agg_corr = 0;
    double agg_sums = 0;
    double agg_bcast = 0;
    double agg_zero = 0;
    std::uint64_t agg_runs = 0;
    std::int64_t agg_deferrals = 0;
    std::int64_t agg_drain_leaves = 0;
    double agg_drain_max = 0;
    std::int64_t agg_redirects = 0;
    std::int64_t agg_leaves_min = 0;
    std::int64_t agg_leaves_max = 0;
    double agg_finish_spread = 0;
};
static_assert(sizeof(PhaseTimers) == 28 * 8, "PhaseTimers holds 28 eight-byte fields");
extern PhaseTimers phase_timers;

// Loop ways (first, second, third) of the native route; all 0 = none.
extern std::int32_t native_ways[3];

// Prepares the method for the current problem; returns its seconds.
double setup_method(const MethodSpec& spec);

// OpenBLAS to one thread, the AOCL backend on `workers` CPUs from cpu_base,
// then the Pan and agg1 pools on the same CPUs. `started` is set once the
// backend is up, so that from then on every way out calls release_all.
void start_backends(int workers, int cpu_base, bool& started);

// Frees all method and engine state and stops both pools. Never throws.
void release_all() noexcept;

// Computes C = A·B with the prepared method; returns its seconds.
double execute_method(const MethodSpec& spec);

// One square tile product C (+)= A·B of side n on the given grid.
inline aocl_backend::AoclTile make_tile(const float* A, std::uint64_t lda, const float* B,
                                       std::uint64_t ldb, float* C, std::uint64_t ldc,
                                       std::uint64_t n, const GridSpec& grid, bool accumulate) {
    aocl_backend::AoclTile t;
    t.a = A;
    t.lda = lda;
    t.b = B;
    t.ldb = ldb;
    t.c = C;
    t.ldc = ldc;
    t.extent = n;
    t.row_parts = grid.rows;
    t.col_parts = grid.cols;
    t.k_chunk = grid.k_block;
    t.accumulate = accumulate;
    return t;
}

// Runs every tile of the batch on the Pan pool; returns when all are done.
void run_aocl_tiles(const std::vector<aocl_backend::AoclTile>& tiles);

// C (+)= A·B and C2 (+)= A2·B2 on the prepared Pan engine, split into the
// method's macro grid.
void run_pan_product(const float* A, std::uint64_t ldA, const float* B, std::uint64_t ldB,
                     const float* A2, std::uint64_t ldA2, const float* B2, std::uint64_t ldB2,
                     float* C, std::uint64_t ldC, float* C2, std::uint64_t ldC2, bool accumulate);

// C (+)= A·B on the prepared agg1 engine.
void run_agg_product(const float* A, std::uint64_t lda, const float* B, std::uint64_t ldb,
                     float* C, std::uint64_t ldc, std::uint64_t n, bool accumulate);
