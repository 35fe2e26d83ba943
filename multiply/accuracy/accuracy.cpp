#include "multiply/accuracy/accuracy.h"

#include "multiply/pan_adapter/pool.h"

#include <cblas.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>

namespace accuracy {

namespace detail {

State state;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint64_t kPanelRows = 256;
constexpr std::uint64_t kPanelCols = 64;
constexpr std::uint64_t kPanelSlice = kPanelRows * kPanelCols;  // values per job

const char* const kInvalidPrepare = "accuracy::prepare: invalid input dimensions or pointers";
const char* const kEstimateTooLarge =
    "accuracy::prepare: reference workspace would exceed the accuracy memory limit "
    "(ACCURACY_MEMORY_LIMIT_MIB)";
const char* const kAllocatedTooLarge =
    "accuracy::prepare: allocated workspace exceeds the accuracy memory limit "
    "(ACCURACY_MEMORY_LIMIT_MIB)";
const char* const kInvalidAnalyze =
    "accuracy::analyze: prepare first and supply valid output views";

// Infinite or NaN: NaN fails every comparison, so this catches both.
inline bool nonfinite(double x) { return !(std::fabs(x) <= DBL_MAX); }

inline bool product_overflows(std::uint64_t x, std::uint64_t y) {
    std::uint64_t p;
    return __builtin_mul_overflow(x, y, &p);
}

// SplitMix64 finaliser.
inline std::uint64_t mix(std::uint64_t z) {
    z ^= z >> 30;
    z *= 0xBF58476D1CE4E5B9ull;
    z ^= z >> 27;
    z *= 0x94D049BB133111EBull;
    z ^= z >> 31;
    return z;
}

// The share [begin, end) of `total` items that job j of 64 owns.
inline void job_range(int j, std::uint64_t total, std::uint64_t& begin, std::uint64_t& end) {
    begin = static_cast<std::uint64_t>(j) * total / kJobs;
    end = static_cast<std::uint64_t>(j + 1) * total / kJobs;
}

}  // namespace

std::vector<std::uint64_t> sample_rows(std::uint64_t n) {
    const std::uint64_t rows = std::min<std::uint64_t>(n, kMaxRows);
    std::vector<std::uint64_t> index(rows);
    // The middle row of each of `rows` equal strata ...
    for (std::uint64_t i = 0; i < rows; ++i) {
        std::uint64_t lo = i * n / rows, hi = (i + 1) * n / rows;
        index[i] = lo + (hi - lo) / 2;
    }
    // ... with the edges and the quarter and half boundaries, where blocked
    // schemes change their arithmetic, always among them.
    if (n >= kMaxRows) {
        index[0] = 0;
        index[16] = n / 4;
        index[31] = n / 2 - 1;
        index[32] = n / 2;
        index[48] = 3 * n / 4;
        index[63] = n - 1;
    }
    return index;
}

void sample_points(std::uint64_t n, std::vector<SamplePoint>& out) {
    std::vector<SamplePoint>().swap(out);
    const std::uint64_t cap = (n > kMaxPoints) ? kMaxPoints : std::min(n * n, kMaxPoints);
    out.reserve(cap);

    auto try_append = [&](std::uint64_t r, std::uint64_t c) {
        if (r >= n || c >= n || out.size() >= cap) return;
        for (const SamplePoint& p : out)
            if (p.row == r && p.col == c) return;
        out.push_back(SamplePoint{r, c, 0.0, 0.0});
    };

    // Block and kernel boundaries that a fast scheme may get wrong.
    std::vector<std::uint64_t> special = {0, n - 1, n / 2, n / 4, 3 * n / 4};
    if (n > 1) {
        special.push_back(1);
        special.push_back(n - 2);
        special.push_back(n / 2 - 1);
    }
    for (std::uint64_t v : {511, 512, 1023, 1024, 2047, 2048})
        if (v < n) special.push_back(v);
    for (std::uint64_t r : special)
        for (std::uint64_t c : special) try_append(r, c);

    if (n > 32) {
        // Pseudo-random draws, cycling through the four quadrants so that each
        // half of rows and columns is covered evenly. The seed is fixed: equal
        // sides give equal samples.
        const std::uint64_t gamma = 0x9E3779B97F4A7C15ull;
        std::uint64_t s = 0x81725771C30D6144ull;
        unsigned q = 0;
        const std::uint64_t h = n / 2;
        while (out.size() < kMaxPoints) {
            std::uint64_t c_start = (q % 2 == 0) ? 0 : h;
            std::uint64_t c_width = (q % 2 == 0) ? h : n - h;
            std::uint64_t r_start = (q < 2) ? 0 : h;
            std::uint64_t r_height = (q < 2) ? h : n - h;
            std::uint64_t c = c_start + mix(s + gamma) % c_width;
            std::uint64_t r = r_start + mix(s + 2 * gamma) % r_height;
            s += 2 * gamma;
            try_append(r, c);
            q = (q + 1) % 4;
        }
    } else {
        for (std::uint64_t r = 0; r < n; ++r)
            for (std::uint64_t c = 0; c < n; ++c) try_append(r, c);
    }
}

long double estimate_bytes(std::uint64_t n) {
    const long double rows = static_cast<long double>(std::min<std::uint64_t>(n, kMaxRows));
    const long double side = static_cast<long double>(n);
    return 8.0L * (2.0L * rows * side + 2.0L * side + static_cast<long double>(kPanelValues));
}

bool estimate_fits(std::uint64_t n) {
    return !(estimate_bytes(n) > static_cast<long double>(kEstimateLimitBytes));
}

void build_workspace(std::uint64_t n) {
    State& s = state;
    s.row_index = sample_rows(n);
    const std::uint64_t rows = s.row_index.size();
    s.a_rows.assign(rows * n, 0.0);
    s.ref_rows.assign(rows * n, 0.0);
    s.panels.assign(kPanelValues, 0.0);
    s.row_errors.assign(n, 0.0);
    s.sorted_row_errors.assign(n, 0.0);
    sample_points(n, s.points);
}

void percentiles(const double* sorted, std::uint64_t c, double& p50, double& p99, double& max) {
    if (c == 0) {
        p50 = p99 = max = kInf;
        return;
    }
    if (c % 2 == 1)
        p50 = sorted[c / 2];
    else
        p50 = std::fma(0.5, sorted[c / 2 - 1], 0.5 * sorted[c / 2]);
    p99 = sorted[33 * (3 * c + 3) / 100 - 1];
    max = sorted[c - 1];
}

double relative_error(double d, double r) {
    if (nonfinite(d) || nonfinite(r)) return kInf;
    if (r > 0) return std::sqrt(d / r);
    return d == 0 ? 0.0 : kInf;
}

void reference_rows_job(int j) {
    State& s = state;
    const std::uint64_t n = s.n;
    const std::uint64_t rows = s.row_index.size();
    std::uint64_t begin, end;
    job_range(j, n, begin, end);
    double* panel = s.panels.data() + static_cast<std::uint64_t>(j) * kPanelSlice;
    for (std::uint64_t c0 = begin; c0 < end; c0 += kPanelCols) {
        const std::uint64_t w = std::min(kPanelCols, end - c0);
        for (std::uint64_t k0 = 0; k0 < n; k0 += kPanelRows) {
            const std::uint64_t d = std::min(kPanelRows, n - k0);
            // Widen only a 256 x 64 piece of B at a time.
            for (std::uint64_t kk = 0; kk < d; ++kk) {
                const float* src = s.b + (k0 + kk) * s.ldb + c0;
                double* dst = panel + kk * kPanelCols;
                for (std::uint64_t c = 0; c < w; ++c) dst[c] = static_cast<double>(src[c]);
            }
            cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, static_cast<int>(rows),
                        static_cast<int>(w), static_cast<int>(d), 1.0, s.a_rows.data() + k0,
                        static_cast<int>(n), panel, static_cast<int>(kPanelCols),
                        k0 == 0 ? 0.0 : 1.0, s.ref_rows.data() + c0, static_cast<int>(n));
        }
    }
}

void point_dot_job(int j) {
    State& s = state;
    const std::uint64_t n = s.n;
    std::uint64_t begin, end;
    job_range(j, s.points.size(), begin, end);
    for (std::uint64_t i = begin; i < end; ++i) {
        SamplePoint& pt = s.points[i];
        const float* arow = s.a + pt.row * s.lda;
        const float* bcol = s.b + pt.col;
        // Kahan summation in ascending k; this file is built without
        // contraction, so the compensation is not optimised away or fused.
        double sum = 0.0, comp = 0.0, abs = 0.0;
        for (std::uint64_t k = 0; k < n; ++k) {
            double p = static_cast<double>(arow[k]) * static_cast<double>(bcol[k * s.ldb]);
            abs += std::fabs(p);
            double y = p - comp;
            double t = sum + y;
            comp = (t - sum) - y;
            sum = t;
        }
        pt.reference = sum;
        pt.abs_sum = abs;
    }
}

void analyze_rows_job(int j) {
    State& s = state;
    const std::uint64_t n = s.n;
    std::uint64_t begin, end;
    job_range(j, n, begin, end);
    RowPartial part{};
    for (std::uint64_t r = begin; r < end; ++r) {
        const float* orow = s.out + r * s.ld_out;
        const float* frow = s.ref + r * s.ld_ref;
        double dd = 0.0, rr = 0.0;
        bool marked = false;
        for (std::uint64_t k = 0; k < n; ++k) {
            const double o = orow[k];
            const double f = frow[k];
            if (nonfinite(o)) {
                ++part.nonfinite;
                if (!nonfinite(f)) {
                    part.ref2 = std::fma(f, f, part.ref2);
                    rr = std::fma(f, f, rr);
                } else {
                    ++part.ref_nonfinite;
                }
                marked = true;
            } else {
                part.out2 = std::fma(o, o, part.out2);
                if (!nonfinite(f)) {
                    part.ref2 = std::fma(f, f, part.ref2);
                    rr = std::fma(f, f, rr);
                    const double e = o - f;
                    dd = std::fma(e, e, dd);
                    part.maxabs = std::max(part.maxabs, std::fabs(e));
                } else {
                    ++part.ref_nonfinite;
                    marked = true;
                }
            }
        }
        part.diff2 += dd;
        s.row_errors[r] = marked ? kInf : relative_error(dd, rr);
    }
    s.partials[j] = part;
}

}  // namespace detail

using detail::state;

void release() noexcept {
    detail::State& s = state;
    s.prepared = false;
    s.out = s.ref = s.a = s.b = nullptr;
    s.ld_out = s.ld_ref = s.lda = s.ldb = 0;
    s.n = 0;
    std::vector<std::uint64_t>().swap(s.row_index);
    std::vector<double>().swap(s.a_rows);
    std::vector<double>().swap(s.ref_rows);
    std::vector<double>().swap(s.panels);
    std::vector<double>().swap(s.row_errors);
    std::vector<double>().swap(s.sorted_row_errors);
    std::vector<detail::SamplePoint>().swap(s.points);
    for (detail::RowPartial& p : s.partials) p = detail::RowPartial{};
}

std::uint64_t workspace_bytes() {
    const detail::State& s = state;
    const std::uint64_t words = s.row_index.capacity() + s.a_rows.capacity() + 384 +
                                s.ref_rows.capacity() + s.panels.capacity() +
                                s.row_errors.capacity() + s.sorted_row_errors.capacity() +
                                4 * s.points.capacity();
    return 8 * words;
}

void prepare(const float* a, std::uint64_t lda, const float* b, std::uint64_t ldb, std::uint64_t n) {
    release();
    if (a == nullptr || b == nullptr || n == 0 || n > 2147483647ull || ldb < n || lda < n ||
        detail::product_overflows(lda, n) || detail::product_overflows(ldb, n))
        throw std::invalid_argument(detail::kInvalidPrepare);
    if (!detail::estimate_fits(n)) throw std::length_error(detail::kEstimateTooLarge);

    detail::State& s = state;
    s.a = a;
    s.lda = lda;
    s.b = b;
    s.ldb = ldb;
    s.n = n;
    // Whatever fails from here on (allocation, the memory limit, the pool not
    // running) must not leave stale buffers or a half-computed sample behind.
    try {
        detail::build_workspace(n);
        const std::uint64_t rows = s.row_index.size();
        for (std::uint64_t i = 0; i < rows; ++i) {
            const float* src = a + s.row_index[i] * lda;
            double* dst = s.a_rows.data() + i * n;
            for (std::uint64_t k = 0; k < n; ++k) dst[k] = static_cast<double>(src[k]);
        }
        if (workspace_bytes() > detail::kAllocatedLimitBytes) {
            release();
            throw std::length_error(detail::kAllocatedTooLarge);
        }
        pan_adapter::run_jobs(detail::kJobs, detail::reference_rows_job);
        pan_adapter::run_jobs(detail::kJobs, detail::point_dot_job);
    } catch (...) {
        release();
        throw;
    }
    s.prepared = true;
    std::printf("ACCURACY_PREPARED n=%zu fp64_rows=%zu points=%zu workspace_bytes=%zu original_inputs=1\n",
                static_cast<std::size_t>(n), s.row_index.size(), s.points.size(),
                static_cast<std::size_t>(workspace_bytes()));
}

AccuracyResult* analyze(AccuracyResult* result, const float* out, std::uint64_t ld_out,
                        const float* ref, std::uint64_t ld_ref, const char* label) {
    detail::State& s = state;
    // A null result record is refused like a bad view: it would otherwise be
    // written through after the whole scan.
    if (!s.prepared || result == nullptr || out == nullptr || ref == nullptr ||
        std::min(ld_out, ld_ref) < s.n || detail::product_overflows(ld_out, s.n) ||
        detail::product_overflows(s.n, ld_ref))
        throw std::invalid_argument(detail::kInvalidAnalyze);

    s.out = out;
    s.ld_out = ld_out;
    s.ref = ref;
    s.ld_ref = ld_ref;
    pan_adapter::run_jobs(detail::kJobs, detail::analyze_rows_job);

    const double inf = detail::kInf;
    const std::uint64_t n = s.n;
    AccuracyResult& res = *result;
    res = AccuracyResult{};
    res.computed = true;
    res.n = n;
    res.fp64_rows = s.row_index.size();
    res.points = s.points.size();

    // Full comparison.
    double diff2 = 0, ref2 = 0, out2 = 0, maxabs = 0;
    for (const detail::RowPartial& p : s.partials) {
        diff2 += p.diff2;
        ref2 += p.ref2;
        out2 += p.out2;
        maxabs = std::max(maxabs, p.maxabs);
        res.nonfinite += p.nonfinite;
        res.ref_nonfinite += p.ref_nonfinite;
    }
    res.output_norm = res.nonfinite > 0 ? inf : std::sqrt(out2);
    res.reference_norm = res.ref_nonfinite > 0 ? inf : std::sqrt(ref2);
    if (res.nonfinite > 0 || res.ref_nonfinite > 0) {
        res.full_rel = res.full_maxabs = inf;
    } else {
        res.full_rel = detail::relative_error(diff2, ref2);
        res.full_maxabs = maxabs;
    }
    std::copy(s.row_errors.begin(), s.row_errors.end(), s.sorted_row_errors.begin());
    std::sort(s.sorted_row_errors.begin(), s.sorted_row_errors.end());
    detail::percentiles(s.sorted_row_errors.data(), n, res.row_p50, res.row_p99, res.row_max);

    // Sampled rows against the FP64 rows.
    double row_err[detail::kMaxRows];
    const std::uint64_t rows = s.row_index.size();
    double dsum = 0, rsum = 0;
    bool any_marked = false;
    for (std::uint64_t i = 0; i < rows; ++i) {
        const float* orow = out + s.row_index[i] * ld_out;
        const double* frow = s.ref_rows.data() + i * n;
        double dd = 0, rr = 0;
        bool marked = false;
        for (std::uint64_t k = 0; k < n; ++k) {
            const double f = frow[k];
            const double o = orow[k];
            if (detail::nonfinite(f)) {
                ++res.fp64_ref_nonfinite;
                marked = true;
            } else if (detail::nonfinite(o)) {
                marked = true;
            } else {
                rr = std::fma(f, f, rr);
                const double e = o - f;
                dd = std::fma(e, e, dd);
            }
        }
        row_err[i] = marked ? inf : detail::relative_error(dd, rr);
        any_marked = any_marked || marked;
        dsum += dd;
        rsum += rr;
    }
    res.fp64_rows_rel =
        (any_marked || detail::nonfinite(dsum)) ? inf : detail::relative_error(dsum, rsum);
    std::sort(row_err, row_err + rows);
    detail::percentiles(row_err, rows, res.fp64_row_p50, res.fp64_row_p99, res.fp64_row_max);

    // Sampled points against their compensated FP64 dot products.
    double pd = 0, pr = 0;
    bool points_bad = false;
    for (const detail::SamplePoint& pt : s.points) {
        const double f = pt.reference, sabs = pt.abs_sum;
        if (detail::nonfinite(f) || detail::nonfinite(sabs)) {
            ++res.fp64_ref_nonfinite;
            points_bad = true;
            continue;
        }
        const double o = out[pt.row * ld_out + pt.col];
        if (detail::nonfinite(o)) {
            points_bad = true;
            continue;
        }
        pr = std::fma(f, f, pr);
        const double e = o - f;
        pd = std::fma(e, e, pd);
        const double ae = std::fabs(e);
        res.points_maxabs = std::max(res.points_maxabs, ae);
        const double scaled = sabs > 0 ? ae / sabs : (e == 0 ? 0.0 : inf);
        res.point_scaled_max = std::max(res.point_scaled_max, scaled);
    }
    if (points_bad) {
        res.points_rel = res.points_maxabs = res.point_scaled_max = inf;
    } else if (!s.points.empty()) {
        res.points_rel = detail::relative_error(pd, pr);
    }

    const char* name = label != nullptr ? label : "unnamed";
    std::printf("ACCURACY_FULL label=%s n=%zu nonfinite=%llu ref_nonfinite=%llu rel=%.9g maxabs=%.9g "
                "row_p50=%.9g row_p99=%.9g row_max=%.9g output_norm=%.9g reference_norm=%.9g\n",
                name, static_cast<std::size_t>(n), static_cast<unsigned long long>(res.nonfinite),
                static_cast<unsigned long long>(res.ref_nonfinite), res.full_rel, res.full_maxabs,
                res.row_p50, res.row_p99, res.row_max, res.output_norm, res.reference_norm);
    std::printf("ACCURACY_FP64 label=%s computed=1 rows=%zu points=%zu ref_nonfinite=%llu rows_rel=%.9g "
                "row_p50=%.9g row_p99=%.9g row_max=%.9g points_rel=%.9g points_maxabs=%.9g "
                "point_scaled_max=%.9g\n",
                name, static_cast<std::size_t>(res.fp64_rows), static_cast<std::size_t>(res.points),
                static_cast<unsigned long long>(res.fp64_ref_nonfinite), res.fp64_rows_rel,
                res.fp64_row_p50, res.fp64_row_p99, res.fp64_row_max, res.points_rel,
                res.points_maxabs, res.point_scaled_max);
    return result;
}

}  // namespace accuracy
