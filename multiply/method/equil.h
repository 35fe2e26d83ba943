// Equilibration transform: A and B scaled by powers of two before a product,
// C scaled back afterwards.
//
// One exponent per inner index k (e_k: column k of A times 2^e_k, row k of B
// times 2^-e_k), one per row of A (r_i) and one per column of B (c_j):
//   A_s[i][k] = A[i][k]·2^(r_i + e_k),  B_s[k][j] = B[k][j]·2^(c_j - e_k),
// so (A_s·B_s)[i][j] = 2^(r_i + c_j)·(A·B)[i][j]. e_k halves the gap between
// the binary exponents of the largest entries of column k of A and row k of
// B; r_i and c_j bring the largest magnitude of every non-zero scaled row of
// A and column of B into [1, 2). An inner index whose column of A or row of
// B is zero adds nothing to C, so its exponent is free: its other line is
// left out of the row and column maxima and then brought to the level of
// its neighbours (peak in [1, 2)), so that it cannot set the scale of every
// row of A or column of B it crosses.
//
// Every factor is a power of two, so the scaling only moves exponents. A
// preflight pass finds, before anything is changed, the entries whose scaled
// value is not a float that scales back to the same bits. Those are entries
// that the scaling brings below float's normal range with low bits set (a
// subnormal input in a line scaled down, or an entry more than 2^125 below
// the largest of its line): they are scaled with rounding, which moves them
// by less than 2^-149 where their line peaks in [0.5, 2), and their original
// bits are kept aside, in row order, so that the restore writes them back.
// The kept entries are bounded by kept_limit(N) for the side N of the data
// (the Problem's real side); beyond it the transform is
// refused with UnscalableInput before anything changes, since without
// scaling the aggregation routes' result would be wrong. A and B are scaled
// in place and given back bit for bit by recover (or by release).
//
// One process-wide state; every parallel step is a job on the Pan pool.
// Lifecycle: prepare(n) -> transform -> recover -> transform -> ... ;
// release_equil_state returns to unprepared from anywhere, restoring A and B
// first when they still hold scaled values.
#pragma once

#include <atomic>
#include <cstdint>
#include <stdexcept>

#include "multiply/method/kept_entries.h"

namespace equil {

// The refusal of a transform whose inputs hold more entries that scaling
// rounds than kept_limit allows (nothing has been changed). Its own type
// lets the program say which mode takes such inputs instead.
struct UnscalableInput : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The most entries of A and B together whose bits a transform keeps aside:
// one in eight, N·N/4 for the side N of the data (the Problem's real side,
// or its internal side when that is all data).
inline std::uint64_t kept_limit(std::uint64_t n) { return n * n / 4; }

struct EquilState {
    std::uint64_t side = 0;          // n of the prepared state; 0 = not prepared
    std::int32_t jobs = 0;           // pool job count, min(n, 256)
    std::int32_t* row_exponents = nullptr;     // r_i, per row of A
    std::int32_t* column_exponents = nullptr;  // c_j, per column of B
    std::int32_t* inner_exponents = nullptr;   // e_k
    double* column_max_a = nullptr;  // max_i |A[i][k]|
    double* row_max_b = nullptr;     // max_j |B[k][j]|; later the scaled column maxima of B
    double* inner_scales = nullptr;  // 2^e_k
    std::atomic<bool> non_finite{false};  // a job met a NaN or infinite entry
    // A row of A (column of B) of the data whose maximum, with the inner
    // indices of zero lines left out, is zero.
    std::atomic<bool> empty_row_of_a{false};
    std::atomic<bool> empty_column_of_b{false};
    bool applied = false;      // some exponent is non-zero and the scaling was done
    bool transformed = false;  // a transform completed; recover is allowed
    bool in_place = false;     // A and B hold scaled values and must be restored
    std::atomic<std::uint64_t> preflight_failures{0};  // entries not scalable exactly
    // The entries scaled with rounding, with their bits; allocated by the
    // transform that needs them and reused by later ones.
    KeptEntries kept;
    float* a = nullptr;        // the matrices scaled in place
    std::uint64_t lda = 0;
    float* b = nullptr;
    std::uint64_t ldb = 0;
    float* c = nullptr;        // C during recover
    std::uint64_t ldc = 0;
    std::uint64_t bytes = 0;   // bytes of the six vectors
};
extern EquilState state;

// What the latest transform did (the benchmark's equilibration record);
// execute_method zeroes it on every call.
struct Statistics {
    const float* a = nullptr;
    std::uint64_t lda = 0;
    const float* b = nullptr;
    std::uint64_t ldb = 0;
    std::uint64_t inner = 0;    // non-zero inner exponents
    std::uint64_t rows = 0;     // non-zero row exponents of A
    std::uint64_t columns = 0;  // non-zero column exponents of B
    std::uint64_t preflight_failures = 0;  // entries scaled with rounding, their bits kept aside
    std::uint64_t kept_bytes = 0;          // bytes holding those bits (beside the state's bytes)
    bool applied = false;
    bool certificate = false;   // the preflight proved that A and B come back bit for bit
};
extern Statistics published;

// Sizes the state for side n (1..2^31-1, else std::invalid_argument
// "invalid equilibration dimension"). Already prepared for n: nothing
// happens. A failure leaves the state released.
void prepare(std::uint64_t n);

// Scales the Problem's A and B in place (the Problem views keep naming the
// same storage). NonFiniteInput on a NaN or infinite entry, UnscalableInput
// beyond kept_limit, both before anything changes.
void transform();

// Scales the Problem's C back and restores A and B.
void recover();

// When A and B still hold scaled values, scales them back and clears the
// in-place and transformed flags. Used on the error path of a run.
void restore_if_in_place() noexcept;

// Validates one n x n view (std::invalid_argument on failure).
void check_view(const float* p, std::uint64_t ld);

// Pool jobs over min(n, 256) indices; index w takes [w·n/W, (w+1)·n/W) of
// the rows or columns named with each.
void init_job(int w);               // vector entries
void column_max_job(int w);         // columns of A
void row_max_job(int w);            // rows of B
void row_exponents_job(int w);      // rows of A
void column_max_scaled_job(int w);  // columns of B
void zero_column_of_a_job(int w);   // rows of B: inner indices whose column of A is zero
void zero_row_of_b_job(int w);      // columns of A: inner indices whose row of B is zero
void preflight_job(int w);          // rows of A and of B; counts the kept slots
void transform_in_place_job(int w); // rows of A and of B
void recover_job(int w);            // rows of C
void restore_job(int w);            // rows of A and of B

}  // namespace equil

// x·2^e stored in *out when that value is exactly a float (true); false
// (and *out untouched) otherwise: infinities, NaN, overflow, and results
// that would lose bits in the subnormal range or underflow to zero.
bool scale_by_pow2(int e, float* out, float x);

// Restores A and B when they are still scaled, frees the vectors and the
// kept entries and clears the state. Never throws.
void release_equil_state() noexcept;
