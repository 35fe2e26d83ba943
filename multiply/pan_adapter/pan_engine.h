// Pan pair-product preparation: sizes, workspaces, task schedule and view checks.
//
// A Pan pair product works on operands of side s cut into a g x g grid of
// L x L blocks (g = s / L). prepare(s, L) fixes s and L, allocates every
// buffer a run needs (per-worker sums and leaf-kernel workspaces, block-line
// sums, correction products and their sums) and builds the conflict-free task
// order of the main products, so that a run allocates nothing.
//
// All state lives in module-level objects guarded by the adapter mutex of the
// pool (pool.h). release_workspaces() (declared in pool.h) takes no lock: its
// callers hold the adapter mutex.
#pragma once

#include <cstdint>
#include <vector>

#include "multiply/pan_adapter/pan_schedule.h"
#include "multiply/pan_adapter/pool.h"

namespace pan_adapter {

// One operand or result view: element (r, c) is data[r * ld + c]; it covers
// s rows of s elements for the prepared side s.
struct PanView {
    float* data = nullptr;
    std::uint64_t ld = 0;
};

// Address extent of a validated view (bytes).
struct PanViewSpan {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;  // exclusive
    std::uint64_t row_stride = 0;
    std::uint64_t row_bytes = 0;
};

// Fixes side and leaf and allocates every workspace of a run. Same arguments
// as the preparation in force: nothing happens. Failures leave the engine
// unprepared (std::logic_error before init_pool, std::invalid_argument for bad
// sizes, std::overflow_error, std::bad_alloc).
void prepare(std::uint64_t side, std::uint64_t leaf);

// Validates one view against the prepared side.
PanViewSpan check_view(PanView view);

// Validates six views: each alone, then the outputs C and C2 against each
// other and against every input. Inputs may overlap or coincide.
void check_pair_views(PanView A, PanView B, PanView A2, PanView B2, PanView C, PanView C2);

// The six views of the run in progress; empty between runs.
struct PanRunViews {
    PanView a, b, a2, b2, c, c2;
};

// Seconds of each phase of one pair-product call and its leaf products.
struct PairTimes {
    double total_seconds = 0;         // whole call, view checks included
    double prologue = 0;              // clearing C and C2 (0 when accumulating)
    double forms = 0;                 // block-line sums
    double main = 0;                  // aggregated products (schedule reset included)
    double corrections = 0;           // correction products
    double reduce = 0;                // correction sums
    double decode = 0;                // subtracting the correction sums
    std::uint64_t leaf_products = 0;  // g^3 + 3 g^2 per call
};

// C = A*B and C2 = A2*B2 (C += A*B and C2 += A2*B2 when accumulate) for the
// prepared side s, by trilinear aggregation over the g x g block grid: g^3
// aggregated block products in the pair kernel and 3 g^2 correction products
// through the leaf router. std::logic_error when not prepared; view errors
// are thrown before any output is written.
PairTimes run_pair(PanView A, PanView B, bool accumulate, PanView A2, PanView B2, PanView C,
                   PanView C2);

// Phase jobs of run_pair (one index each; inputs in the module-level run state).
void pan_clear_outputs_job(int t);
void pan_line_sums_job(int t);
void pan_main_products_job(int t);
void pan_correction_products_job(int t);
void pan_correction_sums_job(int t);
void pan_decode_job(int t);

// a * b, or std::overflow_error "Pan size multiplication overflow".
std::uint64_t checked_mul(std::uint64_t a, std::uint64_t b);

// Appends `count` zero-filled 64-byte-aligned buffers of `floats` floats
// (rounded up to 64 bytes) to `set` and adds their bytes to the workspace
// byte counter once all exist. A failed allocation throws std::bad_alloc; the
// buffers made so far stay in the set (release_workspaces frees them).
void pan_alloc_workspace(std::vector<float*>& set, std::uint64_t count, std::uint64_t floats);

namespace implementation {

// Grid figures of a side and leaf, after the checks of prepare (no state).
struct PanGrid {
    std::uint64_t grid = 0;          // g = s / L
    std::uint64_t chunks = 0;        // ceil(L / 64): 64-row jobs per block
    std::uint64_t block_floats = 0;  // L * block ld
};
PanGrid check_pan_size(std::uint64_t side, std::uint64_t leaf);

struct PanState {
    bool prepared = false;
    std::uint64_t side = 0;
    std::uint64_t leaf = 0;
    int grid = 0;
    std::uint64_t block_ld = 0;  // ceil16(L) + 16 floats
    std::uint64_t chunk_rows = 0;
    int chunks_per_block = 0;
    std::uint64_t workspace_bytes = 0;
    std::uint64_t recorded_side = 0;
    std::uint64_t recorded_leaf = 0;

    // Workspace sets, in order of allocation.
    std::vector<float*> a_sums;                  // W blocks: RA[i] + CA2[k] of one correction
    std::vector<float*> b_sums;                  // W blocks: RB[j] + CB2[i] of one correction
    std::vector<float*> leaf_workspaces;         // W pair-kernel workspaces
    std::uint64_t leaf_workspace_floats = 0;     // floats of each of them
    std::vector<float*> ra, ca2, rb, cb2, u, t;  // g blocks each
    std::vector<float*> p;                       // g^2 blocks, P[j][k] at j*g + k
    // The blocks of each set above lie in one allocation of their own (huge
    // pages asked for when it spans them); these are what is freed.
    std::vector<void*> arenas;

    // Operand views of the run in progress.
    PanRunViews run;
};

extern PanState pan_state;

// Block (r, q) of a view for the prepared leaf L: its first element is (r L, q L).
float* block_of(const PanView& v, std::uint64_t r, std::uint64_t q);

// Rows [first, end) of the 64-row chunk `chunk` of a prepared block.
void chunk_rows(std::uint64_t chunk, std::uint64_t& first, std::uint64_t& end);

// What decode job t works on: t / c picks output block C[i][k] (the first g^2
// blocks) or C2[j][i] (the next g^2), t mod c its 64-row chunk.
struct DecodeBlock {
    bool second;              // C2[j][i] rather than C[i][k]
    std::uint64_t row, col;   // the block's place in its output: (i, k) or (j, i)
    std::uint64_t line;       // index of the line sum it loses: k (U) or j (T)
    std::uint64_t r0, r1;     // rows [r0, r1) of the block
};
DecodeBlock decode_block(int t);

// The six phase jobs of a pair-product run, in order.
struct PairPhases {
    JobFn prologue;  // null: no prologue (2 ceil(s / 64) jobs otherwise)
    JobFn forms;     // 4 g c jobs
    JobFn main;      // one job per worker, after a ready-list reset
    JobFn corrections;  // 3 g^2 jobs
    JobFn reduce;    // 2 g c jobs
    JobFn decode;    // 2 g^2 c jobs
};

// Runs the six phases on the pool for the prepared grid (the caller holds the
// adapter mutex) and records each phase's seconds in times; the main phase's
// seconds include the ready-list reset. The preparation bounded every job
// count to the int range.
void run_phases(const PairPhases& phases, PairTimes& times);

// One whole pair-product call after its engine's own checks (the caller
// holds the adapter mutex): checks the six views, records them in `run` for
// the jobs, runs the phases and returns their times with the call's seconds
// (view checks included) and leaf products. `run` is empty again afterwards,
// whatever a phase throws.
PairTimes run_pair_call(PanRunViews& run, const PanRunViews& views, const PairPhases& phases);

}  // namespace implementation

}  // namespace pan_adapter
