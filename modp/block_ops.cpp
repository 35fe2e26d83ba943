// Compiled with AVX2/FMA so that the reduction's fused multiply-add is a
// single instruction (its exactness needs one rounding, never a library call).
#include "modp/block_ops.h"

#include <immintrin.h>

#include <array>
#include <cmath>
#include <utility>

namespace torvik {

namespace {

// The reduction rule on four values at once; the same steps as reduce_mod.
inline __m256d reduce4(__m256d v, __m256d vp) {
    const __m256d q = _mm256_floor_pd(_mm256_div_pd(v, vp));
    __m256d t = _mm256_fnmadd_pd(q, vp, v);  // x - q*p, one rounding
    t = _mm256_sub_pd(t, _mm256_and_pd(_mm256_cmp_pd(t, vp, _CMP_GE_OQ), vp));
    return _mm256_add_pd(t, _mm256_and_pd(_mm256_cmp_pd(t, _mm256_setzero_pd(), _CMP_LT_OQ), vp));
}

// One target of block_drain with its options fixed at compile time.
template <bool Sub, bool Reduce>
struct Target {
    double* z;
    const double* s;
    __m256d vp;
    double p;
    void row(const BlockTarget& t, std::size_t i) {
        z = t.z + i * t.ldz;
        if (Sub) s = t.sub + i * t.ldsub;
    }
    inline void add4(std::size_t j, __m256d x) {
        __m256d v = _mm256_add_pd(_mm256_loadu_pd(z + j), x);
        if (Sub) v = _mm256_sub_pd(v, _mm256_loadu_pd(s + j));
        if (Reduce) v = reduce4(v, vp);
        _mm256_storeu_pd(z + j, v);
    }
    inline void add1(std::size_t j, double x) {
        double v = z[j] + x;
        if (Sub) v -= s[j];
        if (Reduce) v = reduce_mod(v, p);
        z[j] = v;
    }
};

template <bool Sub1, bool Reduce1, bool Sub2, bool Reduce2>
void drain_rows(std::size_t rows, std::size_t cols, double* x, std::size_t ldx,
                const BlockTarget& first, const BlockTarget& second) {
    const __m256d zero = _mm256_setzero_pd();
    Target<Sub1, Reduce1> t1{nullptr, nullptr, _mm256_set1_pd(first.p), first.p};
    Target<Sub2, Reduce2> t2{nullptr, nullptr, _mm256_set1_pd(second.p), second.p};
    for (std::size_t i = 0; i < rows; ++i) {
        double* xr = x + i * ldx;
        t1.row(first, i);
        t2.row(second, i);
        std::size_t j = 0;
        for (; j + 4 <= cols; j += 4) {
            const __m256d v = _mm256_loadu_pd(xr + j);
            _mm256_storeu_pd(xr + j, zero);
            t1.add4(j, v);
            t2.add4(j, v);
        }
        for (; j < cols; ++j) {
            const double v = xr[j];
            xr[j] = 0;
            t1.add1(j, v);
            t2.add1(j, v);
        }
    }
}

using DrainFn = void (*)(std::size_t, std::size_t, double*, std::size_t, const BlockTarget&,
                         const BlockTarget&);

// Index bits: 1 subtract into the first target, 2 reduce it, 4 subtract into
// the second target, 8 reduce it.
template <std::size_t... I>
constexpr std::array<DrainFn, sizeof...(I)> drain_table(std::index_sequence<I...>) {
    return {&drain_rows<(I & 1) != 0, (I & 2) != 0, (I & 4) != 0, (I & 8) != 0>...};
}

constexpr auto kDrain = drain_table(std::make_index_sequence<16>());

}  // namespace

double reduce_mod(double x, double p) {
    double t = std::fma(-std::floor(x / p), p, x);
    if (t >= p) t -= p;
    if (t < 0) t += p;
    return t;
}

void block_add(std::size_t rows, std::size_t cols, const double* x, std::size_t ldx,
               const double* y, std::size_t ldy, double* z, std::size_t ldz) {
    for (std::size_t i = 0; i < rows; ++i) {
        const double* xr = x + i * ldx;
        const double* yr = y + i * ldy;
        double* zr = z + i * ldz;
        std::size_t j = 0;
        for (; j + 4 <= cols; j += 4)
            _mm256_storeu_pd(zr + j, _mm256_add_pd(_mm256_loadu_pd(xr + j), _mm256_loadu_pd(yr + j)));
        for (; j < cols; ++j) zr[j] = xr[j] + yr[j];
    }
}

void block_sum(std::size_t rows, std::size_t cols, const double* const* x, std::size_t count,
               std::size_t ldx, double* z, std::size_t ldz) {
    for (std::size_t i = 0; i < rows; ++i) {
        const std::size_t off = i * ldx;
        double* zr = z + i * ldz;
        std::size_t j = 0;
        // Sixteen columns at a time in four registers, every source once.
        for (; j + 16 <= cols; j += 16) {
            __m256d s0 = _mm256_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
            for (std::size_t t = 0; t < count; ++t) {
                const double* xr = x[t] + off + j;
                s0 = _mm256_add_pd(s0, _mm256_loadu_pd(xr));
                s1 = _mm256_add_pd(s1, _mm256_loadu_pd(xr + 4));
                s2 = _mm256_add_pd(s2, _mm256_loadu_pd(xr + 8));
                s3 = _mm256_add_pd(s3, _mm256_loadu_pd(xr + 12));
            }
            _mm256_storeu_pd(zr + j, s0);
            _mm256_storeu_pd(zr + j + 4, s1);
            _mm256_storeu_pd(zr + j + 8, s2);
            _mm256_storeu_pd(zr + j + 12, s3);
        }
        for (; j < cols; ++j) {
            double s = 0;
            for (std::size_t t = 0; t < count; ++t) s += x[t][off + j];
            zr[j] = s;
        }
    }
}

void block_drain(std::size_t rows, std::size_t cols, double* x, std::size_t ldx,
                 const BlockTarget& first, const BlockTarget& second) {
    const std::size_t index = (first.sub ? 1 : 0) | (first.p > 0 ? 2 : 0) | (second.sub ? 4 : 0) |
                              (second.p > 0 ? 8 : 0);
    kDrain[index](rows, cols, x, ldx, first, second);
}

void block_reduce(std::size_t rows, std::size_t cols, double* x, std::size_t ldx, double p) {
    const __m256d vp = _mm256_set1_pd(p);
    for (std::size_t i = 0; i < rows; ++i) {
        double* xr = x + i * ldx;
        std::size_t j = 0;
        for (; j + 4 <= cols; j += 4) _mm256_storeu_pd(xr + j, reduce4(_mm256_loadu_pd(xr + j), vp));
        for (; j < cols; ++j) xr[j] = reduce_mod(xr[j], p);
    }
}

}  // namespace torvik
