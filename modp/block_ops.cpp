// Compiled with AVX2/FMA so that the reduction's fused multiply-add is a
// single instruction (its exactness needs one rounding, never a library call).
#include "modp/block_ops.h"

#include <immintrin.h>

#include <cmath>
#include <cstring>

namespace torvik {

double reduce_mod(double x, double p) {
    double t = std::fma(-std::floor(x / p), p, x);
    if (t >= p) t -= p;
    if (t < 0) t += p;
    return t;
}

void block_zero(std::size_t rows, std::size_t cols, double* x, std::size_t ldx) {
    for (std::size_t i = 0; i < rows; ++i) std::memset(x + i * ldx, 0, cols * sizeof(double));
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

void block_acc(std::size_t rows, std::size_t cols, const double* x, std::size_t ldx, double* z,
               std::size_t ldz) {
    for (std::size_t i = 0; i < rows; ++i) {
        const double* xr = x + i * ldx;
        double* zr = z + i * ldz;
        std::size_t j = 0;
        for (; j + 4 <= cols; j += 4)
            _mm256_storeu_pd(zr + j, _mm256_add_pd(_mm256_loadu_pd(zr + j), _mm256_loadu_pd(xr + j)));
        for (; j < cols; ++j) zr[j] += xr[j];
    }
}

void block_acc2(std::size_t rows, std::size_t cols, const double* x, std::size_t ldx, double* z1,
                std::size_t ldz1, double* z2, std::size_t ldz2) {
    for (std::size_t i = 0; i < rows; ++i) {
        const double* xr = x + i * ldx;
        double* r1 = z1 + i * ldz1;
        double* r2 = z2 + i * ldz2;
        std::size_t j = 0;
        for (; j + 4 <= cols; j += 4) {
            __m256d v = _mm256_loadu_pd(xr + j);
            _mm256_storeu_pd(r1 + j, _mm256_add_pd(_mm256_loadu_pd(r1 + j), v));
            _mm256_storeu_pd(r2 + j, _mm256_add_pd(_mm256_loadu_pd(r2 + j), v));
        }
        for (; j < cols; ++j) {
            r1[j] += xr[j];
            r2[j] += xr[j];
        }
    }
}

void block_sub(std::size_t rows, std::size_t cols, const double* x, std::size_t ldx, double* z,
               std::size_t ldz) {
    for (std::size_t i = 0; i < rows; ++i) {
        const double* xr = x + i * ldx;
        double* zr = z + i * ldz;
        std::size_t j = 0;
        for (; j + 4 <= cols; j += 4)
            _mm256_storeu_pd(zr + j, _mm256_sub_pd(_mm256_loadu_pd(zr + j), _mm256_loadu_pd(xr + j)));
        for (; j < cols; ++j) zr[j] -= xr[j];
    }
}

void block_reduce(std::size_t rows, std::size_t cols, double* x, std::size_t ldx, double p) {
    const __m256d vp = _mm256_set1_pd(p);
    const __m256d zero = _mm256_setzero_pd();
    for (std::size_t i = 0; i < rows; ++i) {
        double* xr = x + i * ldx;
        std::size_t j = 0;
        for (; j + 4 <= cols; j += 4) {
            __m256d v = _mm256_loadu_pd(xr + j);
            __m256d q = _mm256_floor_pd(_mm256_div_pd(v, vp));
            __m256d t = _mm256_fnmadd_pd(q, vp, v);  // x - q*p, one rounding
            t = _mm256_sub_pd(t, _mm256_and_pd(_mm256_cmp_pd(t, vp, _CMP_GE_OQ), vp));
            t = _mm256_add_pd(t, _mm256_and_pd(_mm256_cmp_pd(t, zero, _CMP_LT_OQ), vp));
            _mm256_storeu_pd(xr + j, t);
        }
        for (; j < cols; ++j) xr[j] = reduce_mod(xr[j], p);
    }
}

}  // namespace torvik
