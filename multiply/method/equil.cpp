#include "multiply/method/equil.h"

#include <immintrin.h>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "multiply/method/non_finite.h"
#include "multiply/method/problem.h"
#include "multiply/method/square_view.h"
#include "multiply/pan_adapter/pool.h"

bool scale_by_pow2(int e, float* out, float x) {
    std::uint32_t bits;
    std::memcpy(&bits, &x, 4);
    const std::uint32_t sign = bits & 0x80000000u;
    const std::uint32_t field = (bits >> 23) & 0xffu;
    std::uint32_t sig = bits & 0x7fffffu;
    if ((bits & 0x7fffffffu) == 0) {  // ±0
        *out = x;
        return true;
    }
    if (field == 0xffu) return false;  // infinity or NaN
    const std::int64_t moved = static_cast<std::int64_t>(field) + e;
    if (field != 0 && moved >= 1 && moved <= 254) {
        bits = sign | (static_cast<std::uint32_t>(moved) << 23) | sig;
        std::memcpy(out, &bits, 4);
        return true;
    }
    // value = sig·2^q with a 24-bit significand (bit 23 set).
    std::int64_t q;
    if (field != 0) {
        sig |= 0x800000u;
        q = static_cast<std::int64_t>(field) - 150;
    } else {
        q = -149;
        while ((sig & 0x800000u) == 0) {
            sig <<= 1;
            --q;
        }
    }
    q += e;
    const std::int64_t exponent = q + 23;
    if (exponent > 127) return false;  // overflow
    if (exponent >= -126) {
        bits = sign | (static_cast<std::uint32_t>(exponent + 127) << 23) | (sig & 0x7fffffu);
        std::memcpy(out, &bits, 4);
        return true;
    }
    // Subnormal result m·2^-149 with m = sig·2^(q + 149), q + 149 < 0.
    const std::int64_t shift = -(q + 149);
    if (shift > 31) return false;
    if ((sig & ((std::uint32_t{1} << shift) - 1)) != 0) return false;  // bits would be lost
    const std::uint32_t m = sig >> shift;
    if (m == 0) return false;
    bits = sign | m;
    std::memcpy(out, &bits, 4);
    return true;
}

namespace equil {

EquilState state;
Statistics published;

namespace {

using namespace square_view;
Range share(int w, std::uint64_t n) { return square_view::job_range(w, state.jobs, n); }
Span span_of(const float* p, std::uint64_t ld) { return square_view::span_of(p, ld, state.side); }

void run(void (*job)(int)) { pan_adapter::run_jobs(state.jobs, job); }

// The side N of the data: the Problem's real side where it is set (the rest
// of the internal side is zero padding), else the whole internal side.
std::uint64_t data_side() {
    return problem.real_n == 0 ? state.side : std::min<std::uint64_t>(problem.real_n, state.side);
}

// ---- Power-of-two scaling of whole rows ---------------------------------
//
// Row entry j is scaled by 2^s_j with s_j = base + col[j], negated when
// `negate`. Lanes holding zero keep their bits; lanes whose value is normal
// and stays normal get s_j added to their exponent field; every other lane
// goes to the caller's slow path, which sees (x, s_j, j).

// Per lane: -1 when x·2^s is x with its exponent field moved by s.
inline __m256i exponent_only(__m256i bits, __m256i s) {
    const __m256i field = _mm256_and_si256(_mm256_srli_epi32(bits, 23), _mm256_set1_epi32(0xff));
    const __m256i moved = _mm256_add_epi32(field, s);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i top = _mm256_set1_epi32(255);
    const __m256i normal = _mm256_and_si256(_mm256_cmpgt_epi32(field, zero), _mm256_cmpgt_epi32(top, field));
    const __m256i stays = _mm256_and_si256(_mm256_cmpgt_epi32(moved, zero), _mm256_cmpgt_epi32(top, moved));
    return _mm256_and_si256(normal, stays);
}

inline __m256i zero_lanes(__m256i bits) {
    return _mm256_cmpeq_epi32(_mm256_and_si256(bits, _mm256_set1_epi32(0x7fffffff)), _mm256_setzero_si256());
}

inline __m256i lane_shifts(const std::int32_t* col, __m256i base, bool negate) {
    const __m256i s = _mm256_add_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(col)), base);
    return negate ? _mm256_sub_epi32(_mm256_setzero_si256(), s) : s;
}

// Scalar form of the lane rule: true when x is zero or x·2^s only moves the
// exponent field (then *y holds the result).
inline bool simple_scale(float x, std::int32_t s, float* y) {
    std::uint32_t bits;
    std::memcpy(&bits, &x, 4);
    if ((bits & 0x7fffffffu) == 0) {
        *y = x;
        return true;
    }
    const std::int32_t field = static_cast<std::int32_t>((bits >> 23) & 0xffu);
    const std::int32_t moved = field + s;
    if (field == 0 || field == 255 || moved < 1 || moved > 254) return false;
    bits += static_cast<std::uint32_t>(s) << 23;
    std::memcpy(y, &bits, 4);
    return true;
}

template <class Slow>
void scale_row(float* row, std::uint64_t n, const std::int32_t* col, std::int32_t base, bool negate, Slow slow) {
    const __m256i vbase = _mm256_set1_epi32(base);
    std::uint64_t j = 0;
    for (; j + 8 <= n; j += 8) {
        __m256i* p = reinterpret_cast<__m256i*>(row + j);
        const __m256i bits = _mm256_loadu_si256(p);
        const __m256i s = lane_shifts(col + j, vbase, negate);
        const __m256i fast = exponent_only(bits, s);
        const __m256i moved = _mm256_add_epi32(bits, _mm256_slli_epi32(s, 23));
        _mm256_storeu_si256(p, _mm256_blendv_epi8(bits, moved, fast));
        const int done = _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_or_si256(fast, zero_lanes(bits))));
        if (done != 0xff)
            for (int l = 0; l < 8; ++l)
                if ((done >> l & 1) == 0) {
                    const std::int32_t sl = negate ? -(base + col[j + l]) : base + col[j + l];
                    row[j + l] = slow(row[j + l], sl, j + l);
                }
    }
    for (; j < n; ++j) {
        const std::int32_t s = negate ? -(base + col[j]) : base + col[j];
        float y;
        row[j] = simple_scale(row[j], s, &y) ? y : slow(row[j], s, j);
    }
}

// True when x·2^s is a float that scales back to the bits of x; it is then in *y.
[[gnu::always_inline]] inline bool scales_exactly(float x, std::int32_t s, float* y) {
    float z;
    return scale_by_pow2(s, y, x) && scale_by_pow2(-s, &z, *y) && std::memcmp(&x, &z, 4) == 0;
}
[[gnu::always_inline]] inline bool fails(float x, std::int32_t s) {
    float y;
    return !scales_exactly(x, s, &y);
}

// Entries of the row whose scaling is not exact or does not come back to the same bits.
std::uint64_t row_failures(const float* row, std::uint64_t n, const std::int32_t* col, std::int32_t base) {
    const __m256i vbase = _mm256_set1_epi32(base);
    std::uint64_t count = 0;
    std::uint64_t j = 0;
    for (; j + 8 <= n; j += 8) {
        const __m256i bits = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + j));
        const __m256i s = lane_shifts(col + j, vbase, false);
        const int done = _mm256_movemask_ps(
            _mm256_castsi256_ps(_mm256_or_si256(exponent_only(bits, s), zero_lanes(bits))));
        if (done != 0xff)
            for (int l = 0; l < 8; ++l)
                if ((done >> l & 1) == 0) count += fails(row[j + l], base + col[j + l]);
    }
    for (; j < n; ++j) {
        float y;
        if (!simple_scale(row[j], base + col[j], &y)) count += fails(row[j], base + col[j]);
    }
    return count;
}

// Slow paths: exact scaling that the preflight has proven (anything else
// would corrupt the caller's matrices beyond repair), and ldexpf for C.
float exact_or_abort(float x, std::int32_t s, std::uint64_t) {
    float y;
    if (!scale_by_pow2(s, &y, x)) std::abort();
    return y;
}
float rounded(float x, std::int32_t s, std::uint64_t) { return std::ldexp(x, s); }

// Scales row i of A or B forwards: an entry that the preflight found not
// scalable exactly is scaled with rounding (the result lies below float's
// normal range, at most FLT_MIN after rounding, since every scaled line peaks
// below 2) and its bits are kept.
void scale_row_forwards(float* row, std::uint64_t n, const std::int32_t* col, std::int32_t base,
                        KeptEntries::Matrix m, std::uint64_t i, KeptEntries::Cursor& kept) {
    scale_row(row, n, col, base, false, [&](float x, std::int32_t s, std::uint64_t j) {
        float y;
        if (scales_exactly(x, s, &y)) return y;
        std::uint32_t bits;
        std::memcpy(&bits, &x, 4);
        kept.keep(m, i, static_cast<std::uint32_t>(j), bits);
        y = std::ldexp(x, s);
        if (!(std::fabs(y) <= FLT_MIN)) std::abort();
        return y;
    });
}

// Scales row i of A or B back: the kept entries of the row are cleared
// first (their rounded values need not come back exactly), the row scaled
// back exactly, then the kept bits written back.
void scale_row_back(float* row, std::uint64_t n, const std::int32_t* col, std::int32_t base, KeptEntries::Matrix m,
                    std::uint64_t i, KeptEntries::Cursor& kept) {
    const KeptEntries::Row entries = kept.take(m, i);
    for (const KeptEntries::Entry* e = entries.first; e != entries.last; ++e) row[e->column] = 0.0f;
    scale_row(row, n, col, base, true, exact_or_abort);
    for (const KeptEntries::Entry* e = entries.first; e != entries.last; ++e) std::memcpy(row + e->column, &e->bits, 4);
}

// Scales the state's rows of job w of A and B forwards (transform) or back (restore).
void scale_inputs(int w, bool back) {
    const std::uint64_t n = state.side;
    const Range r = share(w, n);
    KeptEntries::Cursor kept = state.kept.cursor(w);
    auto scale = back ? scale_row_back : scale_row_forwards;
    for (std::uint64_t i = r.first; i < r.last; ++i) {
        scale(state.a + i * state.lda, n, state.inner_exponents, state.row_exponents[i], KeptEntries::Matrix::a, i,
              kept);
        scale(state.b + i * state.ldb, n, state.column_exponents, -state.inner_exponents[i], KeptEntries::Matrix::b, i,
              kept);
    }
    kept.finish();
}

// ---- Maxima --------------------------------------------------------------

// |x| of four floats widened to double.
inline __m256d abs4(const float* p) {
    const __m256d mask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffffLL));
    return _mm256_and_pd(_mm256_cvtps_pd(_mm_loadu_ps(p)), mask);
}

// m[j] := max(m[j], |row[j]|·f) in double for j in [first, last). Returns
// true when an entry was NaN or infinite.
bool max_into(double* m, const float* row, std::uint64_t first, std::uint64_t last, double f) {
    const __m256d big = _mm256_set1_pd(DBL_MAX);
    const __m256d vf = _mm256_set1_pd(f);
    __m256d bad = _mm256_setzero_pd();
    std::uint64_t j = first;
    for (; j + 4 <= last; j += 4) {
        const __m256d x = abs4(row + j);
        bad = _mm256_or_pd(bad, _mm256_cmp_pd(x, big, _CMP_NLE_UQ));
        _mm256_storeu_pd(m + j, _mm256_max_pd(_mm256_loadu_pd(m + j), _mm256_mul_pd(x, vf)));
    }
    bool non_finite = _mm256_movemask_pd(bad) != 0;
    for (; j < last; ++j) {
        const double x = std::fabs(static_cast<double>(row[j]));
        non_finite |= !(x <= DBL_MAX);
        m[j] = std::max(m[j], x * f);
    }
    return non_finite;
}

// Column-strip jobs read a short piece of every row, one page apart: the
// pieces a few rows ahead are requested early so that their misses overlap.
constexpr std::uint64_t kRowsAhead = 8;
void prefetch_piece(const float* row, std::uint64_t first, std::uint64_t last) {
    const char* p = reinterpret_cast<const char*>(row + first);
    const char* end = reinterpret_cast<const char*>(row + last);
    for (; p < end; p += 64) _mm_prefetch(p, _MM_HINT_T0);
    _mm_prefetch(end - 1, _MM_HINT_T0);
}

void flag_non_finite(bool seen) {
    if (seen) state.non_finite.store(true, std::memory_order_relaxed);
}

// Marks a row, column or inner index whose maximum is zero while the
// exponents of its kind are settled; it ends with exponent 0.
constexpr std::int32_t kZeroLine = INT32_MIN;

// -ilogb(x) for x > 0, else kZeroLine: the exponent that brings x into [1, 2).
std::int32_t exponent_to_one(double x) { return x > 0 ? -std::ilogb(x) : kZeroLine; }

// Settles the exponents of one kind (rows of A, columns of B or inner
// indices). When they take at most two neighbouring values, the lines were
// of one scale to begin with: maxima that straddle a power of two, as those
// of equally distributed rows do. Bringing each into [1, 2) would split them
// into two scales a factor of two apart, which costs the aggregation routes
// accuracy instead of saving it; all of them take the smaller exponent
// instead, a common factor that keeps every maximum below 2. Lines whose
// maximum is zero take no part and end with 0. Says whether the lines with a
// maximum were of one scale, and the exponent they then share.
struct Settled {
    bool one_scale;
    std::int32_t common;
};
Settled settle_exponents(std::int32_t* e, std::uint64_t n) {
    std::int32_t lo = INT32_MAX, hi = INT32_MIN;
    for (std::uint64_t k = 0; k < n; ++k)
        if (e[k] != kZeroLine) {
            lo = std::min(lo, e[k]);
            hi = std::max(hi, e[k]);
        }
    const bool one_scale = lo <= hi && static_cast<std::int64_t>(hi) - lo <= 1;
    for (std::uint64_t k = 0; k < n; ++k) e[k] = e[k] == kZeroLine ? 0 : one_scale ? lo : e[k];
    return {one_scale, lo};
}

// Inner index k is one of the zero lines that settle_zero_lines places
// (inner scale 0 until then): its column of A is zero, or its row of B.
bool zero_column_of_a(std::uint64_t k) { return state.inner_scales[k] == 0.0 && state.column_max_a[k] == 0; }
bool zero_row_of_b(std::uint64_t k) { return state.inner_scales[k] == 0.0 && state.column_max_a[k] > 0; }

// max_k |row[k]|·f[k] in double over a row of n floats.
double scaled_row_max(const float* row, std::uint64_t n, const double* f) {
    __m256d mx = _mm256_setzero_pd();
    std::uint64_t k = 0;
    for (; k + 4 <= n; k += 4) mx = _mm256_max_pd(mx, _mm256_mul_pd(abs4(row + k), _mm256_loadu_pd(f + k)));
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, mx);
    double best = *std::max_element(lanes, lanes + 4);
    for (; k < n; ++k) best = std::max(best, std::fabs(static_cast<double>(row[k])) * f[k]);
    return best;
}

// An inner index whose column of A or row of B is zero (but not both) adds
// nothing to C, so its exponent is free; the other operand's line at k must
// not stand above its neighbours, or it would set the maxima of every row
// of A (or column of B) it crosses and the aggregation sums would lose that
// many bits. Such an index has inner scale 0 while the other exponents are
// settled, which leaves it out of the row maxima of A and the column maxima
// of B. Here it takes the exponent that brings its non-zero line to the
// level of the others: row k of B peaks in [1, 2) with its columns scaled,
// or column k of A with its rows scaled. (An index with both lines zero
// keeps 0, as it does not matter.)
//
// When the columns of B share one exponent C and every column of the data
// has a maximum, row k of B peaks at its own maximum times 2^C (held as
// ilogb in its inner exponent since the inner exponents were settled), and
// likewise column k of A with the rows' common exponent: no pass over the
// matrix is needed. Otherwise a pass finds the scaled maxima.
void settle_zero_lines(std::uint64_t zero_columns_of_a, std::uint64_t zero_rows_of_b, Settled rows,
                       Settled columns) {
    if (zero_columns_of_a == 0 && zero_rows_of_b == 0) return;
    const std::uint64_t n = state.side;
    if (zero_columns_of_a != 0) {
        if (columns.one_scale && !state.empty_column_of_b.load()) {
            for (std::uint64_t k = 0; k < n; ++k)
                if (zero_column_of_a(k)) state.inner_exponents[k] += columns.common;
        } else {
            for (std::uint64_t j = 0; j < n; ++j) state.row_max_b[j] = std::ldexp(1.0, state.column_exponents[j]);
            run(zero_column_of_a_job);
        }
    }
    if (zero_rows_of_b != 0) {
        if (rows.one_scale && !state.empty_row_of_a.load()) {
            for (std::uint64_t k = 0; k < n; ++k)
                if (zero_row_of_b(k)) state.inner_exponents[k] = -(std::ilogb(state.column_max_a[k]) + rows.common);
        } else {
            run(zero_row_of_b_job);
        }
    }
    for (std::uint64_t k = 0; k < n; ++k)
        if (state.inner_scales[k] == 0.0) state.inner_scales[k] = std::ldexp(1.0, state.inner_exponents[k]);
}

void free_vectors() noexcept {
    state.kept.release();
    std::free(state.row_exponents);
    std::free(state.column_exponents);
    std::free(state.inner_exponents);
    std::free(state.column_max_a);
    std::free(state.row_max_b);
    std::free(state.inner_scales);
    state.row_exponents = state.column_exponents = state.inner_exponents = nullptr;
    state.column_max_a = state.row_max_b = state.inner_scales = nullptr;
}

// A vector of the state, its bytes added to the state's byte count.
template <class T>
T* alloc_state_vector(std::uint64_t count) {
    return square_view::alloc_vector<T>(count, state.bytes, "equilibration allocation overflow");
}

std::uint64_t count_non_zero(const std::int32_t* v, std::uint64_t n) {
    return static_cast<std::uint64_t>(n - static_cast<std::uint64_t>(std::count(v, v + n, 0)));
}

// Makes room for the entries the preflight found, or refuses more than
// kept_limit allows.
void make_kept_slots(std::uint64_t entries) {
    const std::uint64_t limit = kept_limit(data_side());
    if (entries > limit)
        throw UnscalableInput(std::to_string(entries) + " entries of A and B are too small to scale exactly (at most " +
                              std::to_string(limit) + ")");
    state.kept.make_room(state.jobs);
}

}  // namespace

void check_view(const float* p, std::uint64_t ld) {
    square_view::check(p, ld, state.side, "invalid equilibration view", "equilibration address overflow");
}

void prepare(std::uint64_t n) {
    if (n < 1 || n > 2147483647u) throw std::invalid_argument("invalid equilibration dimension");
    if (state.side == n && state.row_exponents && state.column_exponents && state.inner_exponents &&
        state.column_max_a && state.row_max_b && state.inner_scales)
        return;
    release_equil_state();
    try {
        state.side = n;
        state.jobs = static_cast<std::int32_t>(std::min<std::uint64_t>(n, kMaxJobs));
        state.row_exponents = alloc_state_vector<std::int32_t>(n);
        state.column_exponents = alloc_state_vector<std::int32_t>(n);
        state.inner_exponents = alloc_state_vector<std::int32_t>(n);
        state.column_max_a = alloc_state_vector<double>(n);
        state.row_max_b = alloc_state_vector<double>(n);
        state.inner_scales = alloc_state_vector<double>(n);
        run(init_job);
    } catch (...) {
        release_equil_state();
        throw;
    }
}

void transform() {
    if (state.side == 0 || state.row_exponents == nullptr)
        throw std::logic_error("equil::prepare must precede transform");
    if (state.in_place) throw std::logic_error("restore equilibration inputs before another transform");
    square_view::check_inputs(problem.A, problem.lda, problem.B, problem.ldb, state.side,
                              "invalid equilibration view", "equilibration address overflow",
                              "equilibration requires nonoverlapping A and B");

    state.a = problem.A;
    state.lda = problem.lda;
    state.b = problem.B;
    state.ldb = problem.ldb;
    state.transformed = false;
    state.applied = false;
    state.non_finite.store(false);
    state.preflight_failures.store(0);
    state.kept.clear_counts();

    run(column_max_job);
    run(row_max_job);
    if (state.non_finite.load()) throw NonFiniteInput("equilibration requires finite inputs");

    const std::uint64_t n = state.side;
    std::uint64_t zero_columns_of_a = 0, zero_rows_of_b = 0;  // beside a non-zero line of the other
    for (std::uint64_t k = 0; k < n; ++k) {
        const double col_a = state.column_max_a[k], row_b = state.row_max_b[k];
        std::int32_t e = kZeroLine;
        if (col_a > 0 && row_b > 0) {
            const std::int32_t d = std::ilogb(row_b) - std::ilogb(col_a);
            e = d >= 0 ? d / 2 : -((1 - d) / 2);  // rounded towards minus infinity
        }
        zero_columns_of_a += col_a == 0 && row_b > 0;
        zero_rows_of_b += row_b == 0 && col_a > 0;
        state.inner_exponents[k] = e;
    }
    settle_exponents(state.inner_exponents, n);
    for (std::uint64_t k = 0; k < n; ++k) {
        const double col_a = state.column_max_a[k], row_b = state.row_max_b[k];
        if ((col_a == 0) == (row_b == 0)) {
            state.inner_scales[k] = std::ldexp(1.0, state.inner_exponents[k]);
        } else {  // one line zero: left out until settle_zero_lines
            state.inner_scales[k] = 0.0;
            if (col_a == 0) state.inner_exponents[k] = std::ilogb(row_b);
        }
    }
    state.empty_row_of_a.store(false);
    state.empty_column_of_b.store(false);
    run(row_exponents_job);
    const Settled rows = settle_exponents(state.row_exponents, n);
    run(column_max_scaled_job);
    const Settled columns = settle_exponents(state.column_exponents, n);
    settle_zero_lines(zero_columns_of_a, zero_rows_of_b, rows, columns);
    run(preflight_job);

    Statistics st;
    st.a = state.a;
    st.lda = state.lda;
    st.b = state.b;
    st.ldb = state.ldb;
    st.preflight_failures = state.preflight_failures.load();
    if (st.preflight_failures != 0) make_kept_slots(st.preflight_failures);
    st.kept_bytes = state.kept.bytes();
    st.certificate = true;
    st.inner = count_non_zero(state.inner_exponents, n);
    st.rows = count_non_zero(state.row_exponents, n);
    st.columns = count_non_zero(state.column_exponents, n);
    state.applied = st.inner + st.rows + st.columns != 0;
    if (state.applied) {
        run(transform_in_place_job);
        state.in_place = true;
    }
    st.applied = state.applied;
    state.transformed = true;
    published = st;
}

void recover() {
    if (!state.transformed) throw std::logic_error("equil::transform must precede recover");
    check_view(problem.C, problem.ldc);
    const Span c = span_of(problem.C, problem.ldc);
    if (overlap(c, span_of(state.a, state.lda)) || overlap(c, span_of(state.b, state.ldb)))
        throw std::invalid_argument("equilibration output overlaps input");
    state.c = problem.C;
    state.ldc = problem.ldc;
    if (state.applied) run(recover_job);
    state.c = nullptr;
    state.ldc = 0;
    square_view::restore_inputs(state.jobs, restore_job, state.in_place, state.transformed);
}

void restore_if_in_place() noexcept {
    square_view::restore_inputs_now(state.jobs, restore_job, state.in_place, state.transformed);
}

void init_job(int w) {
    const Range r = share(w, state.side);
    for (std::uint64_t k = r.first; k < r.last; ++k) {
        state.row_exponents[k] = state.column_exponents[k] = state.inner_exponents[k] = 0;
        state.column_max_a[k] = state.row_max_b[k] = 0.0;
        state.inner_scales[k] = 1.0;
    }
}

void column_max_job(int w) {
    const std::uint64_t n = state.side;
    const Range r = share(w, n);
    if (r.first == r.last) return;
    double* m = state.column_max_a;
    std::fill(m + r.first, m + r.last, 0.0);
    bool bad = false;
    for (std::uint64_t i = 0; i < n; ++i) {
        if (i + kRowsAhead < n) prefetch_piece(state.a + (i + kRowsAhead) * state.lda, r.first, r.last);
        bad |= max_into(m, state.a + i * state.lda, r.first, r.last, 1.0);
    }
    flag_non_finite(bad);
}

void row_max_job(int w) {
    const std::uint64_t n = state.side;
    const Range r = share(w, n);
    const __m256 big = _mm256_set1_ps(FLT_MAX);
    const __m256 abs_mask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
    bool bad = false;
    for (std::uint64_t k = r.first; k < r.last; ++k) {
        const float* row = state.b + k * state.ldb;
        __m256 mx = _mm256_setzero_ps(), nf = _mm256_setzero_ps();
        std::uint64_t j = 0;
        for (; j + 8 <= n; j += 8) {
            const __m256 x = _mm256_and_ps(_mm256_loadu_ps(row + j), abs_mask);
            nf = _mm256_or_ps(nf, _mm256_cmp_ps(x, big, _CMP_NLE_UQ));
            mx = _mm256_max_ps(mx, x);
        }
        alignas(32) float lanes[8];
        _mm256_store_ps(lanes, mx);
        float best = *std::max_element(lanes, lanes + 8);
        bad |= _mm256_movemask_ps(nf) != 0;
        for (; j < n; ++j) {
            const float x = std::fabs(row[j]);
            bad |= !(x <= FLT_MAX);
            best = std::max(best, x);
        }
        state.row_max_b[k] = best;
    }
    flag_non_finite(bad);
}

void row_exponents_job(int w) {
    const std::uint64_t n = state.side, data = data_side();
    const Range r = share(w, n);
    bool empty = false;
    for (std::uint64_t i = r.first; i < r.last; ++i) {
        const double peak = scaled_row_max(state.a + i * state.lda, n, state.inner_scales);
        empty |= peak == 0 && i < data;
        state.row_exponents[i] = exponent_to_one(peak);
    }
    if (empty) state.empty_row_of_a.store(true, std::memory_order_relaxed);
}

void zero_column_of_a_job(int w) {
    const std::uint64_t n = state.side;
    const Range r = share(w, n);
    const double* column_scales = state.row_max_b;  // 2^c_j, see settle_zero_lines
    for (std::uint64_t k = r.first; k < r.last; ++k)
        if (zero_column_of_a(k)) {
            const double peak = scaled_row_max(state.b + k * state.ldb, n, column_scales);
            state.inner_exponents[k] = peak > 0 ? std::ilogb(peak) : 0;
        }
}

void zero_row_of_b_job(int w) {
    const std::uint64_t n = state.side;
    const Range r = share(w, n);
    // The columns of the strip whose row of B is zero lie in [first, last).
    std::uint64_t first = r.first, last = r.last;
    while (first < last && !zero_row_of_b(first)) ++first;
    while (last > first && !zero_row_of_b(last - 1)) --last;
    if (first == last) return;
    double* m = state.row_max_b;  // free again: scaled column maxima of A
    std::fill(m + first, m + last, 0.0);
    for (std::uint64_t i = 0; i < n; ++i) {
        if (i + kRowsAhead < n) prefetch_piece(state.a + (i + kRowsAhead) * state.lda, first, last);
        max_into(m, state.a + i * state.lda, first, last, std::ldexp(1.0, state.row_exponents[i]));
    }
    for (std::uint64_t k = first; k < last; ++k)
        if (zero_row_of_b(k)) state.inner_exponents[k] = -std::ilogb(m[k]);
}

void column_max_scaled_job(int w) {
    const std::uint64_t n = state.side;
    const Range r = share(w, n);
    if (r.first == r.last) return;
    double* m = state.row_max_b;  // reused: scaled column maxima of B
    std::fill(m + r.first, m + r.last, 0.0);
    // Row k of B counts with the factor 2^-e_k (exact: e_k is far inside the
    // double range); the row of a zero line does not count.
    for (std::uint64_t k = 0; k < n; ++k) {
        if (k + kRowsAhead < n) prefetch_piece(state.b + (k + kRowsAhead) * state.ldb, r.first, r.last);
        if (state.inner_scales[k] != 0.0)
            max_into(m, state.b + k * state.ldb, r.first, r.last, 1.0 / state.inner_scales[k]);
    }
    const std::uint64_t data = data_side();
    bool empty = false;
    for (std::uint64_t j = r.first; j < r.last; ++j) {
        empty |= m[j] == 0 && j < data;
        state.column_exponents[j] = exponent_to_one(m[j]);
    }
    if (empty) state.empty_column_of_b.store(true, std::memory_order_relaxed);
}

void preflight_job(int w) {
    const std::uint64_t n = state.side;
    const Range r = share(w, n);
    std::uint64_t failures = 0, slots = 0;
    for (std::uint64_t i = r.first; i < r.last; ++i) {
        // A row with failures takes a slot for its mark and one per failure.
        for (std::uint64_t f : {row_failures(state.a + i * state.lda, n, state.inner_exponents, state.row_exponents[i]),
                                row_failures(state.b + i * state.ldb, n, state.column_exponents,
                                             -state.inner_exponents[i])}) {
            failures += f;
            slots += kept_slots_of_row(f);
        }
    }
    state.kept.set_job_slots(w, slots);
    if (failures != 0) state.preflight_failures.fetch_add(failures);
}

void transform_in_place_job(int w) { scale_inputs(w, false); }

void restore_job(int w) { scale_inputs(w, true); }

void recover_job(int w) {
    const std::uint64_t n = state.side;
    const Range r = share(w, n);
    for (std::uint64_t i = r.first; i < r.last; ++i)
        scale_row(state.c + i * state.ldc, n, state.column_exponents, state.row_exponents[i], true, rounded);
}

}  // namespace equil

void release_equil_state() noexcept {
    using equil::state;
    equil::restore_if_in_place();
    equil::free_vectors();
    state.side = 0;
    state.jobs = 0;
    state.non_finite.store(false);
    state.applied = false;
    state.transformed = false;
    state.in_place = false;
    state.preflight_failures.store(0);
    state.a = state.b = state.c = nullptr;
    state.lda = state.ldb = state.ldc = 0;
    state.bytes = 0;
}
