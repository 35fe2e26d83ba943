// Equilibration transform: A and B scaled by powers of two before a product,
// C scaled back afterwards.
//
// One exponent per inner index k (e_k: column k of A times 2^e_k, row k of B
// times 2^-e_k), one per row of A (r_i) and one per column of B (c_j):
//   A_s[i][k] = A[i][k]·2^(r_i + e_k),  B_s[k][j] = B[k][j]·2^(c_j - e_k),
// so (A_s·B_s)[i][j] = 2^(r_i + c_j)·(A·B)[i][j]. e_k halves the gap between
// the binary exponents of the largest entries of column k of A and row k of
// B; r_i and c_j bring the largest magnitude of every non-zero scaled row of
// A and column of B into [1, 2).
//
// Every factor is a power of two, so the scaling only moves exponents. A
// preflight pass proves that every scaled entry is a float and scales back to
// the same bits before anything is changed; without that proof the inputs
// are left as they are and the exponents are all 0. A and B are scaled in
// place and given back bit for bit by recover (or by release).
//
// One process-wide state; every parallel step is a job on the Pan pool.
// Lifecycle: prepare(n) -> transform -> recover -> transform -> ... ;
// release_equil_state returns to unprepared from anywhere, restoring A and B
// first when they still hold scaled values.
#pragma once

#include <atomic>
#include <cstdint>

namespace equil {

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
    bool applied = false;      // some exponent is non-zero and the scaling was done
    bool transformed = false;  // a transform completed; recover is allowed
    bool in_place = false;     // A and B hold scaled values and must be restored
    std::atomic<std::uint64_t> preflight_failures{0};  // entries not scalable exactly
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
    std::uint64_t preflight_failures = 0;
    bool applied = false;
    bool certificate = false;   // the preflight passed
};
extern Statistics published;

// Sizes the state for side n (1..2^31-1, else std::invalid_argument
// "invalid equilibration dimension"). Already prepared for n: nothing
// happens. A failure leaves the state released.
void prepare(std::uint64_t n);

// Scales the Problem's A and B in place when the preflight passes; the
// Problem views keep naming the same storage.
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
void preflight_job(int w);          // rows of A and of B
void transform_in_place_job(int w); // rows of A and of B
void recover_job(int w);            // rows of C
void restore_job(int w);            // rows of A and of B

}  // namespace equil

// x·2^e stored in *out when that value is exactly a float (true); false
// (and *out untouched) otherwise: infinities, NaN, overflow, and results
// that would lose bits in the subnormal range or underflow to zero.
bool scale_by_pow2(int e, float* out, float x);

// Restores A and B when they are still scaled, frees the vectors and clears
// the state. Never throws.
void release_equil_state() noexcept;
