// Accuracy check of a float32 product C = A·B against FP64 samples.
//
// Before the product is computed, accuracy::prepare fixes a sample that
// depends only on the side n (up to 64 whole rows of C and up to 1024 single
// entries) and computes FP64 references for it from the float32 inputs: the
// rows by cblas_dgemm on widened inputs, the points by compensated dot
// products. accuracy::analyze later compares any output with them, and also
// compares the whole output with a second float32 view (a trusted product, or
// the output itself when none exists).
//
// All state is process-wide; the heavy work runs as 64 jobs on the Pan pool,
// so the pool must be started (and OpenBLAS set to one thread) before
// prepare or analyze are called. prepare, analyze and release run on the
// calling thread and must not overlap each other.
#pragma once

#include <cstdint>
#include <vector>

// Measures filled by accuracy::analyze; zeroed at the start of every analysis.
struct AccuracyResult {
    bool computed = false;                // set by every successful analysis
    std::uint64_t n = 0;                  // side
    std::uint64_t fp64_rows = 0;          // number of sampled rows
    std::uint64_t points = 0;             // number of sampled points
    std::uint64_t nonfinite = 0;          // non-finite entries of C (full scan)
    std::uint64_t ref_nonfinite = 0;      // non-finite entries of R (full scan)
    std::uint64_t fp64_ref_nonfinite = 0; // non-finite FP64 reference values
    double output_norm = 0;               // Frobenius norm of C
    double reference_norm = 0;            // Frobenius norm of R
    double full_rel = 0;                  // ||C - R|| / ||R||
    double full_maxabs = 0;               // max |C - R|
    double row_p50 = 0;                   // percentiles of the per-row errors (full scan)
    double row_p99 = 0;
    double row_max = 0;
    double fp64_rows_rel = 0;             // sampled rows against FP64, all rows together
    double fp64_row_p50 = 0;              // percentiles of the sampled-row errors
    double fp64_row_p99 = 0;
    double fp64_row_max = 0;
    double points_rel = 0;                // sampled points together
    double points_maxabs = 0;             // largest absolute point error
    double point_scaled_max = 0;          // largest point error / its sum of |products|
};

namespace accuracy {

using ::AccuracyResult;

// Samples rows and points for side n and computes their FP64 references from
// A (lda) and B (ldb), row-major float32. Prints ACCURACY_PREPARED.
// std::invalid_argument for bad pointers or sizes, std::length_error when the
// workspace would exceed the memory limit. A failed prepare leaves the state
// released.
void prepare(const float* a, std::uint64_t lda, const float* b, std::uint64_t ldb, std::uint64_t n);

// Compares `out` (n x n, ld_out) with the full reference view `ref` (ld_ref)
// and with the FP64 samples; fills *result, prints ACCURACY_FULL and
// ACCURACY_FP64 with the label ("unnamed" when null) and returns result.
AccuracyResult* analyze(AccuracyResult* result, const float* out, std::uint64_t ld_out,
                        const float* ref, std::uint64_t ld_ref, const char* label);

// Bytes held by the check's buffers (by capacity, plus the 64 partials).
std::uint64_t workspace_bytes();

// Drops the references and frees every buffer. Never throws.
void release() noexcept;

namespace detail {

struct SamplePoint {
    std::uint64_t row;
    std::uint64_t col;
    double reference;  // compensated FP64 dot product of row `row` of A and column `col` of B
    double abs_sum;    // FP64 sum of the absolute products
};

struct RowPartial {
    double diff2;          // sum of (c - r)^2 where both are finite
    double ref2;           // sum of r^2 over finite r
    double out2;           // sum of c^2 over finite c
    double maxabs;         // max |c - r| where both are finite
    std::uint64_t nonfinite;
    std::uint64_t ref_nonfinite;
};

inline constexpr int kJobs = 64;
inline constexpr std::uint64_t kMaxRows = 64;
inline constexpr std::uint64_t kMaxPoints = 1024;
inline constexpr std::uint64_t kPanelValues = 1048576;  // 64 panels of 256 x 64
inline constexpr std::uint64_t kEstimateLimitBytes = 535822336;   // 511 MiB
inline constexpr std::uint64_t kAllocatedLimitBytes = 536870912;  // 512 MiB

struct State {
    bool prepared = false;
    const float* out = nullptr;
    std::uint64_t ld_out = 0;
    const float* ref = nullptr;
    std::uint64_t ld_ref = 0;
    const float* a = nullptr;
    std::uint64_t lda = 0;
    const float* b = nullptr;
    std::uint64_t ldb = 0;
    std::uint64_t n = 0;
    std::vector<std::uint64_t> row_index;
    std::vector<double> a_rows;
    std::vector<double> ref_rows;
    std::vector<double> panels;
    std::vector<double> row_errors;
    std::vector<double> sorted_row_errors;
    std::vector<SamplePoint> points;
    RowPartial partials[kJobs] = {};
};

extern State state;

// The sampled row numbers for side n (min(n, 64) of them).
std::vector<std::uint64_t> sample_rows(std::uint64_t n);

// The sampled entries for side n (min(n^2, 1024) of them), references unset.
// `out` is cleared and gets exactly min(n^2, 1024) reserved slots.
void sample_points(std::uint64_t n, std::vector<SamplePoint>& out);

// Workspace estimate made before anything is allocated, in bytes, and
// whether it stays within the limit.
long double estimate_bytes(std::uint64_t n);
bool estimate_fits(std::uint64_t n);

// Samples and sizes every buffer of the state for side n without reading any
// input (the allocation half of prepare).
void build_workspace(std::uint64_t n);

// Percentiles of c values sorted ascending: p50, p99, max (+inf for c = 0).
void percentiles(const double* sorted, std::uint64_t c, double& p50, double& p99, double& max);

// rel(d, r) for a sum of squared differences d and of squared references r.
double relative_error(double d, double r);

void reference_rows_job(int j);
void point_dot_job(int j);
void analyze_rows_job(int j);

}  // namespace detail
}  // namespace accuracy
