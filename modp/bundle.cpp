#include "modp/bundle.h"

#include <cblas.h>

#include <cstdlib>
#include <cstring>

#include "common/clock.h"
#include "modp/alloc.h"
#include "modp/block_ops.h"
#include "modp/pool.h"

namespace torvik {

template <typename T>
void BundleWorkspace<T>::release() {
    for (std::vector<T*>* v : {&left_sum, &right_sum, &product, &a1_row_sums, &a2_col_sums,
                               &b1_row_sums, &b2_col_sums, &c1_cross, &c2_cross, &cross_products}) {
        for (T* buf : *v) std::free(buf);
        v->clear();
    }
    bytes = 0;
}

template <typename T>
void BundleWorkspace<T>::allocate(std::size_t m_, std::size_t k_, std::size_t n_,
                                  std::size_t block_, int workers_, Pool* pool) {
    release();
    std::vector<std::mutex>().swap(c2_locks);
    block = block_;
    ld = ((block + 15) / 16) * 16 + 16;
    m = m_;
    k = k_;
    n = n_;
    workers = workers_;
    const std::size_t w = workers > 0 ? static_cast<std::size_t>(workers) : 0;
    left_sum.resize(w);
    right_sum.resize(w);
    product.resize(w);
    a1_row_sums.resize(m);
    a2_col_sums.resize(n);
    b1_row_sums.resize(k);
    b2_col_sums.resize(m);
    c1_cross.resize(n);
    c2_cross.resize(k);
    cross_products.resize(k * n);

    std::size_t elems;
    if (__builtin_mul_overflow(block, ld, &elems)) alloc_failed();
    auto fill = [&](std::vector<T*>& v) {
        for (T*& buf : v) {
            buf = alloc_aligned(elems);
            if (!pool) std::memset(buf, 0, elems * sizeof(T));
            bytes += elems * sizeof(T);
        }
    };
    for (std::vector<T*>* v : {&left_sum, &right_sum, &product, &a1_row_sums, &a2_col_sums,
                               &b1_row_sums, &b2_col_sums, &c1_cross, &c2_cross, &cross_products})
        fill(*v);
    std::vector<std::mutex>(k * m).swap(c2_locks);

    if (!pool) return;
    // zero_worker_buffers: each worker first touches its own buffers.
    pool->run(workers, [this, elems](int t, int) {
        std::memset(left_sum[t], 0, elems * sizeof(T));
        std::memset(right_sum[t], 0, elems * sizeof(T));
        std::memset(product[t], 0, elems * sizeof(T));
    });
    // zero_shared_buffer: one task per shared buffer, in declaration order.
    std::vector<T*> shared;
    for (std::vector<T*>* v : {&a1_row_sums, &a2_col_sums, &b1_row_sums, &b2_col_sums, &c1_cross,
                               &c2_cross, &cross_products})
        shared.insert(shared.end(), v->begin(), v->end());
    pool->run(static_cast<int>(shared.size()),
              [&shared, elems](int t, int) { std::memset(shared[t], 0, elems * sizeof(T)); });
}

namespace {

// P (+/-)= X * Y on b x b blocks: alpha 1 beta 1, alpha -1 beta 1 or alpha 1 beta 0.
inline void gemm(std::size_t b, double alpha, const double* x, std::size_t ldx, const double* y,
                 std::size_t ldy, double beta, double* p, std::size_t ldp) {
    const int nb = static_cast<int>(b);
    cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, nb, nb, nb, alpha, x,
                static_cast<int>(ldx), y, static_cast<int>(ldy), beta, p, static_cast<int>(ldp));
}

}  // namespace

template <typename T>
void fmm_bundle(Pool& pool, std::size_t m, std::size_t k, std::size_t n, std::size_t b,
                CMat<T> A1, CMat<T> B1, Mat<T> C1, CMat<T> A2, CMat<T> B2, Mat<T> C2,
                BundleWorkspace<T>& ws, bool accumulate, T p, PhaseTimes* times) {
    std::uint64_t t0 = monotonic_ns();
    auto lap = [&](const char* name) {
        if (!times) return;
        const std::uint64_t t = monotonic_ns();
        times->add(name, static_cast<double>(t - t0) / 1e9);
        t0 = t;
    };
    // Block (r, c) of a view starts at data + r*b*ld + c*b.
    auto cblk = [b](CMat<T> x, std::size_t r, std::size_t c) { return x.data + (r * b) * x.ld + c * b; };
    auto blk = [b](Mat<T> x, std::size_t r, std::size_t c) { return x.data + (r * b) * x.ld + c * b; };
    const std::size_t wld = ws.ld;
    const int mn = static_cast<int>(m * n);

    // 1. zero_outputs
    if (!accumulate) {
        pool.run(static_cast<int>((n + k) * m), [&](int a, int) {
            if (a < mn)
                block_zero(b, b, blk(C1, a / n, a % n), C1.ld);
            else
                block_zero(b, b, blk(C2, (a - mn) / m, (a - mn) % m), C2.ld);
        });
    }

    lap("zero_outputs");
    // 2. block_sums
    pool.run(static_cast<int>(2 * m + n + k), [&](int ai, int) {
        std::size_t a = static_cast<std::size_t>(ai);
        if (a < m) {
            T* s = ws.a1_row_sums[a];
            block_zero(b, b, s, wld);
            for (std::size_t h = 0; h < k; ++h) block_acc(b, b, cblk(A1, a, h), A1.ld, s, wld);
        } else if (a < m + n) {
            std::size_t d = a - m;
            T* s = ws.a2_col_sums[d];
            block_zero(b, b, s, wld);
            for (std::size_t h = 0; h < k; ++h) block_acc(b, b, cblk(A2, h, d), A2.ld, s, wld);
        } else if (a < m + n + k) {
            std::size_t h = a - m - n;
            T* s = ws.b1_row_sums[h];
            block_zero(b, b, s, wld);
            for (std::size_t d = 0; d < n; ++d) block_acc(b, b, cblk(B1, h, d), B1.ld, s, wld);
        } else {
            std::size_t e = a - m - n - k;
            T* s = ws.b2_col_sums[e];
            block_zero(b, b, s, wld);
            for (std::size_t d = 0; d < n; ++d) block_acc(b, b, cblk(B2, d, e), B2.ld, s, wld);
        }
    });

    lap("block_sums");
    // 3. aggregated_products
    pool.run(mn, [&](int ai, int w) {
        const std::size_t d = static_cast<std::size_t>(ai) / m;
        const std::size_t e = static_cast<std::size_t>(ai) % m;
        T* left = ws.left_sum[w];
        T* right = ws.right_sum[w];
        T* prod = ws.product[w];
        T* c1 = blk(C1, e, d);
        for (std::size_t i = 0; i < k; ++i) {
            const std::size_t h = (d + i) % k;
            block_add(b, b, cblk(A1, e, h), A1.ld, cblk(A2, h, d), A2.ld, left, wld);
            block_add(b, b, cblk(B1, h, d), B1.ld, cblk(B2, d, e), B2.ld, right, wld);
            gemm(b, 1.0, left, wld, right, wld, 0.0, prod, wld);
            // C1(e, d) belongs to this task; C2(h, e) is shared by every d.
            std::lock_guard<std::mutex> lock(ws.c2_locks[e + h * m]);
            block_acc2(b, b, prod, wld, c1, C1.ld, blk(C2, h, e), C2.ld);
        }
    });

    lap("aggregated_products");
    // 4. c2_corrections
    pool.run(static_cast<int>(k * m), [&](int ai, int w) {
        const std::size_t h = static_cast<std::size_t>(ai) / m;
        const std::size_t e = static_cast<std::size_t>(ai) % m;
        T* right = ws.right_sum[w];
        block_add(b, b, ws.b1_row_sums[h], wld, ws.b2_col_sums[e], wld, right, wld);
        gemm(b, -1.0, cblk(A1, e, h), A1.ld, right, wld, 1.0, blk(C2, h, e), C2.ld);
    });

    lap("c2_corrections");
    // 5. c1_corrections
    pool.run(mn, [&](int ai, int w) {
        const std::size_t d = static_cast<std::size_t>(ai) / m;
        const std::size_t e = static_cast<std::size_t>(ai) % m;
        T* left = ws.left_sum[w];
        block_add(b, b, ws.a1_row_sums[e], wld, ws.a2_col_sums[d], wld, left, wld);
        gemm(b, -1.0, left, wld, cblk(B2, d, e), B2.ld, 1.0, blk(C1, e, d), C1.ld);
    });

    lap("c1_corrections");
    // 6. cross_products
    pool.run(static_cast<int>(k * n), [&](int ai, int) {
        const std::size_t h = static_cast<std::size_t>(ai) / n;
        const std::size_t d = static_cast<std::size_t>(ai) % n;
        gemm(b, 1.0, cblk(A2, h, d), A2.ld, cblk(B1, h, d), B1.ld, 0.0, ws.cross_products[h * n + d], wld);
    });

    lap("cross_products");
    // 7. cross_sums
    pool.run(static_cast<int>(n + k), [&](int ai, int) {
        const std::size_t a = static_cast<std::size_t>(ai);
        if (a < n) {
            T* s = ws.c1_cross[a];
            block_zero(b, b, s, wld);
            for (std::size_t h = 0; h < k; ++h) block_acc(b, b, ws.cross_products[h * n + a], wld, s, wld);
        } else {
            const std::size_t h = a - n;
            T* s = ws.c2_cross[h];
            block_zero(b, b, s, wld);
            for (std::size_t d = 0; d < n; ++d) block_acc(b, b, ws.cross_products[h * n + d], wld, s, wld);
        }
    });

    lap("cross_sums");
    // 8. subtract_cross_sums
    pool.run(static_cast<int>((n + k) * m), [&](int ai, int) {
        if (ai < mn) {
            const std::size_t d = static_cast<std::size_t>(ai) / m;
            const std::size_t e = static_cast<std::size_t>(ai) % m;
            block_sub(b, b, ws.c1_cross[d], wld, blk(C1, e, d), C1.ld);
        } else {
            const std::size_t h = static_cast<std::size_t>(ai - mn) / m;
            const std::size_t e = static_cast<std::size_t>(ai - mn) % m;
            block_sub(b, b, ws.c2_cross[h], wld, blk(C2, h, e), C2.ld);
        }
    });

    lap("subtract_cross_sums");
    // 9. reduce_outputs
    if (p > 0) {
        pool.run(static_cast<int>((n + k) * m), [&](int a, int) {
            if (a < mn)
                block_reduce(b, b, blk(C1, a / n, a % n), C1.ld, p);
            else
                block_reduce(b, b, blk(C2, (a - mn) / m, (a - mn) % m), C2.ld, p);
        });
    }
    lap("reduce_outputs");
}


template struct BundleWorkspace<double>;
template void fmm_bundle<double>(Pool&, std::size_t, std::size_t, std::size_t, std::size_t,
                                 CMat<double>, CMat<double>, Mat<double>, CMat<double>, CMat<double>,
                                 Mat<double>, BundleWorkspace<double>&, bool, double,
                                 PhaseTimes*);

}  // namespace torvik
