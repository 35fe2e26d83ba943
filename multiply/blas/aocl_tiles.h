// Tiled SGEMM tasks run one tile per pool job with one-thread AOCL SGEMM.
#pragma once

#include <cstdint>
#include <vector>

namespace aocl_backend {

// One square product C (+)= A·B of side `extent`, split into
// row_parts x col_parts output tiles; each tile is one job.
struct AoclTile {
    const float* a = nullptr;
    std::uint64_t lda = 0;
    const float* b = nullptr;
    std::uint64_t ldb = 0;
    float* c = nullptr;
    std::uint64_t ldc = 0;
    std::uint64_t extent = 0;   // rows of C, columns of C and the depth
    std::int32_t row_parts = 1;  // > 0
    std::int32_t col_parts = 1;  // > 0
    std::uint64_t k_chunk = 0;   // depth of one call; 0 = whole extent
    bool accumulate = false;     // C += A·B instead of C := A·B
};

// The current batch. The batch runner fills both tables before it dispatches
// `aocl_tile_job` and leaves them alone until the dispatch returns.
// tile_prefix[t] = sum of row_parts * col_parts over the tasks before t.
extern std::vector<AoclTile> tile_tasks;
extern std::vector<std::uint64_t> tile_prefix;

// Pool job: runs tile `index` of the current batch on the calling worker.
void aocl_tile_job(int index);

}  // namespace aocl_backend
