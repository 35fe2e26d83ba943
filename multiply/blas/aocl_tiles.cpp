#include "multiply/blas/aocl_tiles.h"

#include <algorithm>
#include <climits>

#include "multiply/blas/aocl_backend.h"

namespace aocl_backend {

std::vector<AoclTile> tile_tasks;
std::vector<std::uint64_t> tile_prefix;

void aocl_tile_job(int index) {
    const std::uint64_t job = static_cast<std::uint64_t>(index);
    std::size_t t = 0;
    while (t + 1 < tile_tasks.size() && tile_prefix[t + 1] <= job) ++t;
    const AoclTile& task = tile_tasks[t];

    // The library takes 32-bit sizes and strides: a task beyond that range
    // would be truncated into a wrong (and out-of-bounds) product.
    if (task.row_parts <= 0 || task.col_parts <= 0) fail("tile task has no row or column parts");
    if (task.extent > INT_MAX || task.lda > INT_MAX || task.ldb > INT_MAX || task.ldc > INT_MAX)
        fail("tile task exceeds the 32-bit CBLAS integer range");

    const std::uint64_t local = job - tile_prefix[t];
    const std::uint64_t rows = static_cast<std::uint64_t>(task.row_parts);
    const std::uint64_t cols = static_cast<std::uint64_t>(task.col_parts);
    const std::uint64_t r = local / cols;
    const std::uint64_t q = local % cols;
    const std::uint64_t n = task.extent;
    const std::uint64_t row0 = r * n / rows;
    const std::uint64_t row1 = (r * n + n) / rows;
    const std::uint64_t col0 = q * n / cols;
    const std::uint64_t col1 = (q * n + n) / cols;
    if (row1 <= row0 || col1 <= col0) return;

    set_threads(1);

    const std::uint64_t chunk = task.k_chunk != 0 ? task.k_chunk : n;
    const int m = static_cast<int>(row1 - row0);
    const int cn = static_cast<int>(col1 - col0);
    for (std::uint64_t k0 = 0; k0 < n; k0 += std::min(chunk, n - k0)) {
        const std::uint64_t kc = std::min(chunk, n - k0);
        const float beta = (k0 == 0 && !task.accumulate) ? 0.0f : 1.0f;
        sgemm(101, 111, 111, m, cn, static_cast<int>(kc), 1.0f, task.a + row0 * task.lda + k0,
              static_cast<int>(task.lda), task.b + k0 * task.ldb + col0, static_cast<int>(task.ldb), beta,
              task.c + row0 * task.ldc + col0, static_cast<int>(task.ldc));
    }
}

}  // namespace aocl_backend
