#include "modp/bundle.h"

#include <cblas.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <latch>

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
    // zero_worker_buffers: each worker first touches its own three buffers.
    // Every task waits until all have started, so no worker can take two of
    // them; buffers of indices that no pool worker holds are zeroed after.
    std::vector<char> touched(w, 0);
    auto zero_own = [this, elems](std::size_t i) {
        std::memset(left_sum[i], 0, elems * sizeof(T));
        std::memset(right_sum[i], 0, elems * sizeof(T));
        std::memset(product[i], 0, elems * sizeof(T));
    };
    const int team = std::min(workers, pool->worker_count());
    if (team > 0) {
        std::latch started(team);
        pool->run(team, [&](int, int worker) {
            started.arrive_and_wait();
            const std::size_t i = static_cast<std::size_t>(worker);
            if (i >= w) return;
            zero_own(i);
            touched[i] = 1;
        });
    }
    pool->run(static_cast<int>(w), [&](int t, int) {
        if (!touched[static_cast<std::size_t>(t)]) zero_own(static_cast<std::size_t>(t));
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

// P = alpha*X*Y + beta*P on b x b blocks, one single-threaded dgemm.
inline void gemm(std::size_t b, double alpha, const double* x, std::size_t ldx, const double* y,
                 std::size_t ldy, double beta, double* p, std::size_t ldp) {
    const int nb = static_cast<int>(b);
    cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, nb, nb, nb, alpha, x,
                static_cast<int>(ldx), y, static_cast<int>(ldy), beta, p, static_cast<int>(ldp));
}

}  // namespace

// The block products are those of the plain nine-phase order (zero the
// outputs, block sums, aggregated products, corrections, cross products,
// cross sums, subtraction of the cross sums, reduction), with the same terms
// regrouped into three pool runs that make fewer passes over memory:
//
//   1. cross products (one dgemm each) and block sums (one pass each);
//   2. corrections, written straight into the outputs by dgemm with alpha -1
//      (beta 1 when accumulating, else beta 0, which replaces the zeroing of
//      the outputs), and cross sums (one pass each);
//   3. aggregated products: each product is added to its C1 and C2 blocks in
//      one pass, which also subtracts the cross sum on the block's first
//      addition and reduces the block on its last.
//
// Why every intermediate value stays inside the caller's bound
// 7*(k*b)*(p-1)^2 + p (k = n as the program calls it; inputs in [0, p)):
// every value an output block takes is its starting value (0, or a residue
// below p when accumulating) plus a partial sum of its contributions. The
// aggregated products are non-negative and add up to at most 4*k*b*(p-1)^2
// per block; the corrections (at most 2*k*b*(p-1)^2) and the cross sum (at
// most k*b*(p-1)^2) are subtracted. Inside a dgemm with beta 1 the partial
// dot products are sums of terms of one sign, so they lie between the block's
// value before and after the call. Hence every intermediate value lies in
// [-3*k*b*(p-1)^2, 4*k*b*(p-1)^2 + p), inside the bound; the block sums,
// cross sums and operand sums are smaller still. The integers are exact, so
// the regrouping changes no bit of the result.
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
    const T beta = accumulate ? 1.0 : 0.0;

    // The blocks each sum adds up, listed once by the calling thread:
    // a1 row e, a2 column d, b1 row h, b2 column e, then the cross products
    // of column d and of row h.
    std::vector<const T*> terms;
    terms.reserve(2 * (m * k + n * k) + 2 * k * n);
    for (std::size_t e = 0; e < m; ++e)
        for (std::size_t h = 0; h < k; ++h) terms.push_back(cblk(A1, e, h));
    for (std::size_t d = 0; d < n; ++d)
        for (std::size_t h = 0; h < k; ++h) terms.push_back(cblk(A2, h, d));
    for (std::size_t h = 0; h < k; ++h)
        for (std::size_t d = 0; d < n; ++d) terms.push_back(cblk(B1, h, d));
    for (std::size_t e = 0; e < m; ++e)
        for (std::size_t d = 0; d < n; ++d) terms.push_back(cblk(B2, d, e));
    const std::size_t cross_terms = terms.size();
    for (std::size_t d = 0; d < n; ++d)
        for (std::size_t h = 0; h < k; ++h) terms.push_back(ws.cross_products[h * n + d]);
    for (std::size_t h = 0; h < k; ++h)
        for (std::size_t d = 0; d < n; ++d) terms.push_back(ws.cross_products[h * n + d]);

    // 1. cross_products (the long tasks first), then block_sums.
    const std::size_t kn = k * n;
    pool.run(static_cast<int>(kn + 2 * m + n + k), [&](int ai, int) {
        const std::size_t a = static_cast<std::size_t>(ai);
        if (a < kn) {
            const std::size_t h = a / n, d = a % n;
            gemm(b, 1.0, cblk(A2, h, d), A2.ld, cblk(B1, h, d), B1.ld, 0.0, ws.cross_products[a], wld);
            return;
        }
        const std::size_t s = a - kn;
        if (s < m)
            block_sum(b, b, &terms[s * k], k, A1.ld, ws.a1_row_sums[s], wld);
        else if (s < m + n)
            block_sum(b, b, &terms[m * k + (s - m) * k], k, A2.ld, ws.a2_col_sums[s - m], wld);
        else if (s < m + n + k)
            block_sum(b, b, &terms[(m + n) * k + (s - m - n) * n], n, B1.ld, ws.b1_row_sums[s - m - n], wld);
        else
            block_sum(b, b, &terms[(m + n) * k + k * n + (s - m - n - k) * n], n, B2.ld,
                      ws.b2_col_sums[s - m - n - k], wld);
    });
    lap("cross_products+block_sums");

    // 2. c1_corrections and c2_corrections into the outputs, then cross_sums.
    const std::size_t mn = m * n, km = k * m;
    pool.run(static_cast<int>(mn + km + n + k), [&](int ai, int w) {
        const std::size_t a = static_cast<std::size_t>(ai);
        if (a < mn) {
            const std::size_t d = a / m, e = a % m;
            T* left = ws.left_sum[w];
            block_add(b, b, ws.a1_row_sums[e], wld, ws.a2_col_sums[d], wld, left, wld);
            gemm(b, -1.0, left, wld, cblk(B2, d, e), B2.ld, beta, blk(C1, e, d), C1.ld);
        } else if (a < mn + km) {
            const std::size_t h = (a - mn) / m, e = (a - mn) % m;
            T* right = ws.right_sum[w];
            block_add(b, b, ws.b1_row_sums[h], wld, ws.b2_col_sums[e], wld, right, wld);
            gemm(b, -1.0, cblk(A1, e, h), A1.ld, right, wld, beta, blk(C2, h, e), C2.ld);
        } else if (a < mn + km + n) {
            const std::size_t d = a - mn - km;
            block_sum(b, b, &terms[cross_terms + d * k], k, wld, ws.c1_cross[d], wld);
        } else {
            const std::size_t h = a - mn - km - n;
            block_sum(b, b, &terms[cross_terms + n * k + h * n], n, wld, ws.c2_cross[h], wld);
        }
    });
    lap("corrections+cross_sums");

    // 3. aggregated_products. The task owns C1(e, d) and meets it first at
    // i = 0 and last at i = k - 1; C2(h, e) receives one product from every
    // d, counted under its lock, so the first and the last addition are known.
    std::vector<std::size_t> c2_added(km, 0);
    pool.run(static_cast<int>(mn), [&](int ai, int w) {
        const std::size_t d = static_cast<std::size_t>(ai) / m;
        const std::size_t e = static_cast<std::size_t>(ai) % m;
        T* left = ws.left_sum[w];
        T* right = ws.right_sum[w];
        T* prod = ws.product[w];
        for (std::size_t i = 0; i < k; ++i) {
            const std::size_t h = (d + i) % k;
            block_add(b, b, cblk(A1, e, h), A1.ld, cblk(A2, h, d), A2.ld, left, wld);
            block_add(b, b, cblk(B1, h, d), B1.ld, cblk(B2, d, e), B2.ld, right, wld);
            // prod holds zeros (from allocate, then from every block_drain), so
            // beta 1 gives the product itself without a clearing pass.
            gemm(b, 1.0, left, wld, right, wld, 1.0, prod, wld);
            BlockTarget c1{blk(C1, e, d), C1.ld};
            if (i == 0) c1.sub = ws.c1_cross[d], c1.ldsub = wld;
            if (i + 1 == k) c1.p = p;
            // C1(e, d) belongs to this task; C2(h, e) is shared by every d.
            std::lock_guard<std::mutex> lock(ws.c2_locks[e + h * m]);
            const std::size_t added = c2_added[e + h * m]++;
            BlockTarget c2{blk(C2, h, e), C2.ld};
            if (added == 0) c2.sub = ws.c2_cross[h], c2.ldsub = wld;
            if (added + 1 == n) c2.p = p;
            block_drain(b, b, prod, wld, c1, c2);
        }
    });
    lap("aggregated_products");
}

template struct BundleWorkspace<double>;
template void fmm_bundle<double>(Pool&, std::size_t, std::size_t, std::size_t, std::size_t,
                                 CMat<double>, CMat<double>, Mat<double>, CMat<double>, CMat<double>,
                                 Mat<double>, BundleWorkspace<double>&, bool, double,
                                 PhaseTimes*);

}  // namespace torvik
