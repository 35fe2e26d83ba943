// Centering transform: per-row offsets taken out of A and B before a product
// and put back afterwards, with C corrected in FP64.
//
// A row whose entries all lie within a factor of two of its mean t (t/2 <= x
// <= 2t, or the mirror for negative t) has t subtracted from every entry.
// Inside that range x - t is exact in float and (x - t) + t == x, so the
// inputs are changed in place and given back bit for bit. With A = A' + a·1ᵀ
// and B = B' + b·1ᵀ:
//   C[i][j] = (A'B')[i][j] + rowdot_i + a_i·(colsum_j + sum_b)
// where rowdot = A'·b, colsum_j = Σ_k B'[k][j] and sum_b = Σ_k b_k.
//
// Offsets are decided and taken out over the real extent only (the Problem's
// real_n leading rows and columns), and C is corrected over the same extent:
// the zero padding of a larger internal side stays zero and plays no part, so
// the same data gets the same treatment at every internal side.
//
// One process-wide state; every parallel step is a job on the Pan pool.
// Lifecycle: prepare(n) -> transform -> recover -> transform -> ... ;
// release_center_state returns to unprepared from anywhere, restoring A and B
// first when they still hold centred values.
#pragma once

#include <atomic>
#include <cstdint>

namespace center {

struct CenterState {
    std::uint64_t side = 0;       // n of the prepared state; 0 = not prepared
    std::uint64_t extent = 0;     // real rows and columns of the views (<= side)
    bool in_place = false;        // transforms work on A and B themselves
    bool applied = false;         // A and B hold centred values and must be restored
    bool transformed = false;     // a transform completed; recover is allowed
    std::atomic<bool> non_finite{false};  // a job met a NaN or infinite input entry
    std::int32_t jobs = 0;        // pool job count, min(n, 256)
    double* offsets_a = nullptr;  // per row of A: its offset (a float) or 0
    double* offsets_b = nullptr;  // per row of B
    double* row_dots = nullptr;   // rowdot_i = Σ_k A'[i][k]·b_k
    double* column_sums = nullptr;  // colsum_j = Σ_k B'[k][j]
    double sum_b = 0;             // Σ_k b_k
    std::atomic<std::uint64_t> rows_a{0};  // rows of A with a non-zero offset
    std::atomic<std::uint64_t> rows_b{0};
    float* input_a = nullptr;     // views seen by the last transform
    std::uint64_t input_lda = 0;
    float* input_b = nullptr;
    std::uint64_t input_ldb = 0;
    float* centred_a = nullptr;   // the centred operands (the inputs themselves)
    std::uint64_t centred_lda = 0;
    float* centred_b = nullptr;
    std::uint64_t centred_ldb = 0;
    float* output = nullptr;      // C during recover
    std::uint64_t output_ld = 0;
    std::uint64_t bytes = 0;      // bytes of the four FP64 vectors
};
extern CenterState state;

// Row counts of the latest completed transform (the benchmark's
// center_rows_a and center_rows_b); execute_method zeroes them per call.
extern std::uint64_t published_rows_a;
extern std::uint64_t published_rows_b;

// Sizes the state for side n (1..2^31-1, else std::invalid_argument
// "invalid centering dimension"). Already prepared for n: nothing happens.
// A failure leaves the state released.
void prepare(std::uint64_t n);

// Centres the Problem's A and B in place and computes the correction terms;
// the Problem views then name the centred operands (the same storage). Works
// on the leading real_n rows and columns (all n when real_n is 0; above n:
// std::invalid_argument "invalid centering dimension").
void transform();

// Corrects the Problem's C and restores A and B.
void recover();

// When A and B still hold centred values, adds the offsets back and clears
// the applied and transformed flags. Used on the error path of a run.
void restore_if_applied() noexcept;

// Validates one n x n view (std::invalid_argument on failure).
void check_view(const float* p, std::uint64_t ld);

// 64-byte-aligned FP64 buffer of `count` doubles; its bytes are added to the
// state's byte count.
double* alloc_buffer(std::uint64_t count);

// The offset of one row of state.extent floats: the row's mean when every
// entry lies within a factor of two of it, else 0. A NaN or infinite entry
// sets state.non_finite.
float row_offset(const float* row);

// Pool jobs over min(n, 256) indices; index w takes rows (or columns)
// [w·e/W, (w+1)·e/W) of the real extent e (zero_rows_job: of the side n).
void zero_rows_job(int w);
void offsets_job(int w);
void transform_job(int w);
void row_dot_job(int w);
void column_sums_job(int w);
void correct_job(int w);
void restore_job(int w);

}  // namespace center

// Restores A and B when they are still centred, frees the vectors and clears
// the state. Never throws.
void release_center_state() noexcept;
