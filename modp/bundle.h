// Two block matrix products at once by trilinear aggregation, on integers
// held exactly in FP64: C1 (+)= A1*B1 and C2 (+)= A2*B2.
//
// With b x b blocks, A1 is m x k, B1 is k x n, C1 is m x n, A2 is k x n,
// B2 is n x m and C2 is k x m blocks. Every triple (e, d, h) contributes one
// product (A1(e,h) + A2(h,d)) * (B1(h,d) + B2(d,e)) to both C1(e,d) and
// C2(h,e); the unwanted cross terms are removed with k*m + n*m + k*n further
// block products, so m*k*n + k*m + n*m + k*n products replace 2*m*k*n.
#pragma once

#include <cstddef>
#include <mutex>
#include <vector>

#include "modp/phase_times.h"

namespace torvik {

class Pool;

template <typename T>
struct CMat {
    const T* data;
    std::size_t ld;
};

template <typename T>
struct Mat {
    T* data;
    std::size_t ld;
};

template <typename T>
struct BundleWorkspace {
    std::size_t block = 0;
    std::size_t ld = 0;
    std::size_t m = 0, k = 0, n = 0;
    int workers = 0;
    std::vector<T*> left_sum;        // per worker
    std::vector<T*> right_sum;       // per worker
    std::vector<T*> product;         // per worker; holds zeros between uses
    std::vector<T*> a1_row_sums;     // [m]
    std::vector<T*> a2_col_sums;     // [n]
    std::vector<T*> b1_row_sums;     // [k]
    std::vector<T*> b2_col_sums;     // [m]
    std::vector<T*> c1_cross;        // [n]
    std::vector<T*> c2_cross;        // [k]
    std::vector<T*> cross_products;  // [k*n], index h*n + d
    std::vector<std::mutex> c2_locks;  // [k*m], index e + h*m guards C2(h, e)
    std::size_t bytes = 0;

    BundleWorkspace() = default;
    BundleWorkspace(const BundleWorkspace&) = delete;
    BundleWorkspace& operator=(const BundleWorkspace&) = delete;
    ~BundleWorkspace() { release(); }

    // Allocates every buffer (b x b with leading dimension ld) and zeroes it,
    // on the pool's workers when a pool is given (per-worker buffers by their
    // own worker), else right after allocation.
    void allocate(std::size_t m, std::size_t k, std::size_t n, std::size_t block, int workers,
                  Pool* pool);
    void release();
};

// Requires a workspace allocated with the same m, k, n and block and at least
// as many worker buffer sets as the pool has workers. With p > 0 both outputs
// end reduced into [0, p); with p <= 0 they hold the exact integer results.
// The caller keeps 7*(k*b)*(p-1)^2 + p below 2^53 for inputs in [0, p).
// Phase seconds are added to times when given.
template <typename T>
void fmm_bundle(Pool& pool, std::size_t m, std::size_t k, std::size_t n, std::size_t block,
                CMat<T> A1, CMat<T> B1, Mat<T> C1, CMat<T> A2, CMat<T> B2, Mat<T> C2,
                BundleWorkspace<T>& ws, bool accumulate, T p, PhaseTimes* times = nullptr);

extern template struct BundleWorkspace<double>;
extern template void fmm_bundle<double>(Pool&, std::size_t, std::size_t, std::size_t, std::size_t,
                                        CMat<double>, CMat<double>, Mat<double>, CMat<double>,
                                        CMat<double>, Mat<double>, BundleWorkspace<double>&, bool,
                                        double, PhaseTimes*);

}  // namespace torvik
