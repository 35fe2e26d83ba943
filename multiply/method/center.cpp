#include "multiply/method/center.h"

#include <immintrin.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "multiply/method/non_finite.h"
#include "multiply/method/problem.h"
#include "multiply/method/square_view.h"
#include "multiply/pan_adapter/pool.h"

namespace center {

CenterState state;
std::uint64_t published_rows_a = 0;
std::uint64_t published_rows_b = 0;

namespace {

using namespace square_view;
Range share(int w, std::uint64_t n) { return square_view::job_range(w, state.jobs, n); }
Span span_of(const float* p, std::uint64_t ld) { return square_view::span_of(p, ld, state.side); }

// Sum (in order, in double), minimum and maximum of R rows read together,
// so that the R dependent sums overlap instead of waiting on each other.
template <int R>
void row_stats(const float* const* rows, std::uint64_t n, double* sum, double* lo, double* hi) {
    double s[R], mn[R], mx[R];
    for (int r = 0; r < R; ++r) {
        s[r] = 0.0;
        mn[r] = std::numeric_limits<double>::infinity();
        mx[r] = -std::numeric_limits<double>::infinity();
    }
    for (std::uint64_t j = 0; j < n; ++j) {
        for (int r = 0; r < R; ++r) {
            const double x = rows[r][j];
            s[r] += x;
            mn[r] = x < mn[r] ? x : mn[r];
            mx[r] = x > mx[r] ? x : mx[r];
        }
    }
    for (int r = 0; r < R; ++r) {
        sum[r] = s[r];
        lo[r] = mn[r];
        hi[r] = mx[r];
    }
}

// The offset rule on the statistics of one row of n entries.
float offset_of(double sum, double lo, double hi, std::uint64_t n) {
    // A NaN or infinite entry makes the double sum non-finite: a sum of at
    // most 2^31 finite floats cannot overflow a double.
    if (!(std::fabs(sum) <= DBL_MAX)) state.non_finite.store(true, std::memory_order_relaxed);
    const float mean = static_cast<float>(sum / static_cast<double>(n));
    const double m = mean;
    if (mean > 0) return (lo >= m * 0.5 && 2 * m >= hi) ? mean : 0.0f;
    if (mean < 0) return (m * 0.5 >= hi && lo >= 2 * m) ? mean : 0.0f;
    return 0.0f;  // zero mean, or NaN
}

void add_to_row(float* row, std::uint64_t n, float t) {
    const __m256 v = _mm256_set1_ps(t);
    std::uint64_t j = 0;
    for (; j + 8 <= n; j += 8) _mm256_storeu_ps(row + j, _mm256_add_ps(_mm256_loadu_ps(row + j), v));
    for (; j < n; ++j) row[j] += t;
}

void subtract_from_row(float* row, std::uint64_t n, float t) {
    const __m256 v = _mm256_set1_ps(t);
    std::uint64_t j = 0;
    for (; j + 8 <= n; j += 8) _mm256_storeu_ps(row + j, _mm256_sub_ps(_mm256_loadu_ps(row + j), v));
    for (; j < n; ++j) row[j] -= t;
}

void free_vectors() noexcept {
    std::free(state.offsets_a);
    std::free(state.offsets_b);
    std::free(state.row_dots);
    std::free(state.column_sums);
    state.offsets_a = state.offsets_b = state.row_dots = state.column_sums = nullptr;
}

// Runs a job over the state's job count on the pool.
void run(void (*job)(int)) { pan_adapter::run_jobs(state.jobs, job); }

}  // namespace

double* alloc_buffer(std::uint64_t count) {
    return square_view::alloc_vector<double>(count, state.bytes, "centering allocation overflow");
}

void check_view(const float* p, std::uint64_t ld) {
    square_view::check(p, ld, state.side, "invalid centering matrix view", "centering view address overflow");
}

float row_offset(const float* row) {
    const std::uint64_t n = state.extent;
    double sum, lo, hi;
    row_stats<1>(&row, n, &sum, &lo, &hi);
    return offset_of(sum, lo, hi, n);
}

void prepare(std::uint64_t n) {
    if (n < 1 || n > 2147483647u) throw std::invalid_argument("invalid centering dimension");
    if (state.side == n && state.in_place && state.offsets_a && state.offsets_b && state.row_dots &&
        state.column_sums) {
        if (!state.applied) state.extent = n;
        return;
    }
    release_center_state();
    try {
        state.side = n;
        state.extent = n;
        state.in_place = true;
        state.jobs = static_cast<std::int32_t>(std::min<std::uint64_t>(n, 256));
        state.centred_lda = n;
        state.centred_ldb = n;
        state.offsets_a = alloc_buffer(n);
        state.offsets_b = alloc_buffer(n);
        state.row_dots = alloc_buffer(n);
        state.column_sums = alloc_buffer(n);
        run(zero_rows_job);
    } catch (...) {
        release_center_state();
        throw;
    }
}

void transform() {
    if (state.side == 0 || state.offsets_a == nullptr || state.offsets_b == nullptr)
        throw std::logic_error("center::prepare must precede transform");
    if (state.applied) throw std::logic_error("restore in-place inputs before the next transform");
    // The real data: the leading real_n rows and columns; the rest is padding.
    const std::uint64_t extent = problem.real_n == 0 ? state.side : problem.real_n;
    if (extent > state.side) throw std::invalid_argument("invalid centering dimension");
    square_view::check_inputs(problem.A, problem.lda, problem.B, problem.ldb, state.side,
                              "invalid centering matrix view", "centering view address overflow",
                              "in-place centering requires nonoverlapping A and B");

    state.input_a = problem.A;
    state.input_lda = problem.lda;
    state.input_b = problem.B;
    state.input_ldb = problem.ldb;
    state.centred_a = state.input_a;
    state.centred_lda = state.input_lda;
    state.centred_b = state.input_b;
    state.centred_ldb = state.input_ldb;
    state.extent = extent;
    state.transformed = false;
    state.non_finite.store(false);
    state.rows_a.store(0);
    state.rows_b.store(0);

    run(offsets_job);
    if (state.non_finite.load())
        throw NonFiniteInput("centering requires finite original inputs");

    run(transform_job);
    state.applied = true;

    double sum_b = 0.0;
    for (std::uint64_t k = 0; k < extent; ++k) sum_b += state.offsets_b[k];
    state.sum_b = sum_b;

    if (state.rows_b.load() != 0)
        run(row_dot_job);
    else
        std::memset(state.row_dots, 0, extent * sizeof(double));
    if (state.rows_a.load() != 0)
        run(column_sums_job);
    else
        std::memset(state.column_sums, 0, extent * sizeof(double));

    state.transformed = true;
    published_rows_a = state.rows_a.load();
    published_rows_b = state.rows_b.load();
    problem.A = state.centred_a;
    problem.lda = state.centred_lda;
    problem.B = state.centred_b;
    problem.ldb = state.centred_ldb;
}

void recover() {
    if (!state.transformed) throw std::logic_error("center::transform must precede recover");
    check_view(problem.C, problem.ldc);
    const Span c = span_of(problem.C, problem.ldc);
    if (overlap(c, span_of(state.centred_a, state.centred_lda)) ||
        overlap(c, span_of(state.centred_b, state.centred_ldb)) ||
        overlap(c, span_of(state.input_a, state.input_lda)) ||
        overlap(c, span_of(state.input_b, state.input_ldb)))
        throw std::invalid_argument("centering output must not alias an input");

    state.output = problem.C;
    state.output_ld = problem.ldc;
    if (state.rows_a.load() != 0 || state.rows_b.load() != 0) run(correct_job);
    state.output = nullptr;
    state.output_ld = 0;
    square_view::restore_inputs(state.jobs, restore_job, state.applied, state.transformed);
}

void restore_if_applied() noexcept {
    square_view::restore_inputs_now(state.jobs, restore_job, state.applied, state.transformed);
}

void zero_rows_job(int w) {
    const Range r = share(w, state.side);
    const std::uint64_t count = r.last - r.first;
    if (count == 0) return;
    for (double* v : {state.offsets_a, state.offsets_b, state.row_dots, state.column_sums})
        std::memset(v + r.first, 0, count * sizeof(double));
}

void offsets_job(int w) {
    const std::uint64_t n = state.extent;
    const Range r = share(w, n);
    std::uint64_t count_a = 0, count_b = 0;
    for (std::uint64_t i = r.first; i < r.last; ++i) {
        // Row i of A and of B side by side: two independent in-order sums.
        const float* rows[2] = {state.input_a + i * state.input_lda, state.input_b + i * state.input_ldb};
        double sum[2], lo[2], hi[2];
        row_stats<2>(rows, n, sum, lo, hi);
        const float a = offset_of(sum[0], lo[0], hi[0], n);
        const float b = offset_of(sum[1], lo[1], hi[1], n);
        state.offsets_a[i] = a;
        state.offsets_b[i] = b;
        count_a += a != 0.0f;
        count_b += b != 0.0f;
    }
    state.rows_a.fetch_add(count_a);
    state.rows_b.fetch_add(count_b);
}

namespace {

// Applies `op` with each row's offset to the rows of A and B with a non-zero offset.
void shift_rows(int w, void (*op)(float*, std::uint64_t, float)) {
    const std::uint64_t n = state.extent;
    const Range r = share(w, n);
    for (std::uint64_t i = r.first; i < r.last; ++i) {
        const float a = static_cast<float>(state.offsets_a[i]);
        const float b = static_cast<float>(state.offsets_b[i]);
        if (a != 0.0f) op(state.input_a + i * state.input_lda, n, a);
        if (b != 0.0f) op(state.input_b + i * state.input_ldb, n, b);
    }
}

}  // namespace

void transform_job(int w) { shift_rows(w, subtract_from_row); }

void restore_job(int w) { shift_rows(w, add_to_row); }

void row_dot_job(int w) {
    const std::uint64_t n = state.extent;
    const Range r = share(w, n);
    const double* b = state.offsets_b;
    const float* A = state.centred_a;
    const std::uint64_t lda = state.centred_lda;
    std::uint64_t i = r.first;
    // Four rows at a time: four in-order sums that do not wait on each other.
    for (; i + 4 <= r.last; i += 4) {
        const float* a0 = A + i * lda;
        const float* a1 = a0 + lda;
        const float* a2 = a1 + lda;
        const float* a3 = a2 + lda;
        double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
        for (std::uint64_t k = 0; k < n; ++k) {
            const double bk = b[k];
            s0 += static_cast<double>(a0[k]) * bk;
            s1 += static_cast<double>(a1[k]) * bk;
            s2 += static_cast<double>(a2[k]) * bk;
            s3 += static_cast<double>(a3[k]) * bk;
        }
        state.row_dots[i] = s0;
        state.row_dots[i + 1] = s1;
        state.row_dots[i + 2] = s2;
        state.row_dots[i + 3] = s3;
    }
    for (; i < r.last; ++i) {
        const float* a = A + i * lda;
        double s = 0;
        for (std::uint64_t k = 0; k < n; ++k) s += static_cast<double>(a[k]) * b[k];
        state.row_dots[i] = s;
    }
}

void column_sums_job(int w) {
    const std::uint64_t n = state.extent;
    const Range r = share(w, n);
    double* sums = state.column_sums;
    for (std::uint64_t j = r.first; j < r.last; ++j) sums[j] = 0.0;
    for (std::uint64_t k = 0; k < n; ++k) {
        const float* row = state.centred_b + k * state.centred_ldb;
        std::uint64_t j = r.first;
        for (; j + 4 <= r.last; j += 4)
            _mm256_storeu_pd(sums + j, _mm256_add_pd(_mm256_loadu_pd(sums + j),
                                                     _mm256_cvtps_pd(_mm_loadu_ps(row + j))));
        for (; j < r.last; ++j) sums[j] += static_cast<double>(row[j]);
    }
}

void correct_job(int w) {
    const std::uint64_t n = state.extent;
    const Range r = share(w, n);
    const double sum_b = state.sum_b;
    const double* cs = state.column_sums;
    const __m256d vsum_b = _mm256_set1_pd(sum_b);
    for (std::uint64_t i = r.first; i < r.last; ++i) {
        float* c = state.output + i * state.output_ld;
        const double a = state.offsets_a[i];
        const double dot = state.row_dots[i];
        const __m256d va = _mm256_set1_pd(a);
        const __m256d vdot = _mm256_set1_pd(dot);
        std::uint64_t j = 0;
        // C[i][j] := float(fma(colsum_j + sum_b, a_i, C[i][j] + rowdot_i)): one rounding to float.
        for (; j + 4 <= n; j += 4) {
            const __m256d x = _mm256_add_pd(_mm256_loadu_pd(cs + j), vsum_b);
            const __m256d y = _mm256_add_pd(_mm256_cvtps_pd(_mm_loadu_ps(c + j)), vdot);
            _mm_storeu_ps(c + j, _mm256_cvtpd_ps(_mm256_fmadd_pd(x, va, y)));
        }
        for (; j < n; ++j)
            c[j] = static_cast<float>(std::fma(cs[j] + sum_b, a, static_cast<double>(c[j]) + dot));
    }
}

}  // namespace center

void release_center_state() noexcept {
    using center::state;
    center::restore_if_applied();
    center::free_vectors();
    state.side = 0;
    state.extent = 0;
    state.in_place = false;
    state.applied = false;
    state.transformed = false;
    state.non_finite.store(false);
    state.jobs = 0;
    state.sum_b = 0;
    state.rows_a.store(0);
    state.rows_b.store(0);
    state.input_a = state.input_b = state.centred_a = state.centred_b = state.output = nullptr;
    state.input_lda = state.input_ldb = state.centred_lda = state.centred_ldb = state.output_ld = 0;
    state.bytes = 0;
}
