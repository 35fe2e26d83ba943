#include "multiply/blas/leaf_route.h"

#include <cblas.h>

#include "multiply/blas/aocl_backend.h"

namespace leaf_routing {

std::uint64_t pan_leaf_side = 0;
std::atomic<std::uint64_t> pan_leaf_counter{0};
bool aocl_corrections = false;

void route_leaf_sgemm(const float* a, std::uint64_t lda, const float* b, std::uint64_t ldb, float* c,
                      std::uint64_t ldc, float alpha, float beta) {
    // The Pan preparation has checked that the leaf and every stride fit a BLAS int.
    const int l = static_cast<int>(pan_leaf_side);
    if (!aocl_corrections) {
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, l, l, l, alpha, a, static_cast<int>(lda), b,
                    static_cast<int>(ldb), beta, c, static_cast<int>(ldc));
    } else {
        aocl_backend::ensure_one_thread();
        aocl_backend::sgemm(101, 111, 111, l, l, l, alpha, a, static_cast<int>(lda), b, static_cast<int>(ldb),
                            beta, c, static_cast<int>(ldc));
    }
    pan_leaf_counter.fetch_add(1);
}

}  // namespace leaf_routing
