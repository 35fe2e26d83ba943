#include "multiply/method/strassen.h"

#include <immintrin.h>

#include <vector>

#include "multiply/method/method_run.h"
#include "multiply/method/problem.h"
#include "multiply/pan_adapter/pool.h"

namespace {

// The current add batch, written by run_add_tasks before its dispatch.
std::vector<AddTask> batch_tasks;
std::uint64_t batch_side = 0;

void add_rows(float* d, const float* a, const float* b, std::uint64_t n) {
    std::uint64_t j = 0;
    for (; j + 8 <= n; j += 8)
        _mm256_storeu_ps(d + j, _mm256_add_ps(_mm256_loadu_ps(a + j), _mm256_loadu_ps(b + j)));
    for (; j < n; ++j) d[j] = a[j] + b[j];
}

void sub_rows(float* d, const float* a, const float* b, std::uint64_t n) {
    std::uint64_t j = 0;
    for (; j + 8 <= n; j += 8)
        _mm256_storeu_ps(d + j, _mm256_sub_ps(_mm256_loadu_ps(a + j), _mm256_loadu_ps(b + j)));
    for (; j < n; ++j) d[j] = a[j] - b[j];
}

void copy_row(float* d, const float* a, std::uint64_t n) {
    std::uint64_t j = 0;
    for (; j + 8 <= n; j += 8) _mm256_storeu_ps(d + j, _mm256_loadu_ps(a + j));
    for (; j < n; ++j) d[j] = a[j];
}

AddTask sum(float* dst, std::uint64_t ld_dst, const float* x, std::uint64_t ldx, const float* y,
            std::uint64_t ldy, std::int32_t sign) {
    AddTask t;
    t.dst = dst;
    t.ld_dst = ld_dst;
    t.src1 = x;
    t.ld_src1 = ldx;
    t.src2 = y;
    t.ld_src2 = ldy;
    t.sign = sign;
    return t;
}

AddTask single(float* dst, std::uint64_t ld_dst, const float* x, std::uint64_t ldx, bool accumulate,
               std::int32_t sign) {
    AddTask t;
    t.dst = dst;
    t.ld_dst = ld_dst;
    t.src1 = x;
    t.ld_src1 = ldx;
    t.single = true;
    t.accumulate = accumulate;
    t.sign = sign;
    return t;
}

void forms_batch(std::uint64_t side, std::initializer_list<AddTask> tasks) {
    const std::uint64_t t0 = monotonic_ns();
    run_add_tasks(side, tasks.begin(), tasks.size());
    phase_timers.forms += seconds_since(t0);
}

void result_batch(std::uint64_t side, std::initializer_list<AddTask> tasks) {
    const std::uint64_t t0 = monotonic_ns();
    run_add_tasks(side, tasks.begin(), tasks.size());
    phase_timers.decode += seconds_since(t0);
}

// Tile products of the Strassen level: counted as AOCL single products and timed into `dense`.
void tile_products(const std::vector<aocl_backend::AoclTile>& tiles, std::uint64_t t0) {
    run_aocl_tiles(tiles);
    phase_timers.aocl_singletons += tiles.size();
    phase_timers.dense += seconds_since(t0);
}

}  // namespace

void add_tasks_job(int index) {
    const int W = problem.workers;
    if (W <= 0 || index < 0) return;
    const std::uint64_t t = static_cast<std::uint64_t>(index / W);
    const std::uint64_t w = static_cast<std::uint64_t>(index % W);
    if (t >= batch_tasks.size()) return;
    const AddTask& task = batch_tasks[t];
    const std::uint64_t side = batch_side;
    const std::uint64_t first = w * side / static_cast<std::uint64_t>(W);
    const std::uint64_t last = (w + 1) * side / static_cast<std::uint64_t>(W);
    for (std::uint64_t r = first; r < last; ++r) {
        float* d = task.dst + r * task.ld_dst;
        const float* a = task.src1 + r * task.ld_src1;
        if (!task.single) {
            const float* b = task.src2 + r * task.ld_src2;
            if (task.sign == 1)
                add_rows(d, a, b, side);
            else
                sub_rows(d, a, b, side);
        } else if (!task.accumulate) {
            copy_row(d, a, side);
        } else if (task.sign == 1) {
            add_rows(d, d, a, side);
        } else {
            sub_rows(d, d, a, side);
        }
    }
}

void run_add_tasks(std::uint64_t side, const AddTask* tasks, std::uint64_t count) {
    batch_tasks.assign(tasks, tasks + count);
    batch_side = side;
    const std::int32_t jobs = static_cast<std::int32_t>(count) * problem.workers;
    pan_adapter::run_jobs(jobs, add_tasks_job);
}

void multiply_pair(const float* A1, std::uint64_t lda1, const float* B1, std::uint64_t ldb1,
                   const float* A2, std::uint64_t lda2, const float* B2, std::uint64_t ldb2, float* C1,
                   std::uint64_t ldc1, float* C2, std::uint64_t ldc2, std::uint64_t n, int level) {
    if (level != active_method.strassen_levels) {
        strassen_level(A1, lda1, B1, ldb1, C1, ldc1, n, level);
        strassen_level(A2, lda2, B2, ldb2, C2, ldc2, n, level);
    } else if (active_method.agg) {
        run_agg_product(A1, lda1, B1, ldb1, C1, ldc1, n, false);
        run_agg_product(A2, lda2, B2, ldb2, C2, ldc2, n, false);
    } else if (active_method.pan) {
        run_pan_product(A1, lda1, B1, ldb1, A2, lda2, B2, ldb2, C1, ldc1, C2, ldc2, false);
    } else {
        const std::uint64_t t0 = monotonic_ns();
        const GridSpec grid = leaf_grid(n);
        tile_products({make_tile(A1, lda1, B1, ldb1, C1, ldc1, n, grid, false),
                       make_tile(A2, lda2, B2, ldb2, C2, ldc2, n, grid, false)},
                      t0);
    }
}

void strassen_level(const float* A, std::uint64_t lda, const float* B, std::uint64_t ldb, float* C,
                    std::uint64_t ldc, std::uint64_t n, int level) {
    const std::uint64_t h = n / 2;
    const bool bottom = level + 1 == active_method.strassen_levels;
    const float* A00 = A;
    const float* A01 = A + h;
    const float* A10 = A + h * lda;
    const float* A11 = A10 + h;
    const float* B00 = B;
    const float* B01 = B + h;
    const float* B10 = B + h * ldb;
    const float* B11 = B10 + h;
    float* C00 = C;
    float* C01 = C + h;
    float* C10 = C + h * ldc;
    float* C11 = C10 + h;

    auto& buffers = strassen_workspaces.at(static_cast<std::size_t>(level)).buffers;
    float* T[6];
    std::uint64_t ld[6];
    for (int i = 0; i < 6; ++i) {
        // On the bottom level T4 and T5 are T2 and T3.
        const MatrixStorage& m = buffers.at(static_cast<std::size_t>(bottom && i >= 4 ? i - 2 : i));
        T[i] = m.data;
        ld[i] = m.ld;
    }

    // P1 = (A00 + A11)(B00 + B11) into C00, copied to C11.
    forms_batch(h, {sum(T[0], ld[0], A00, lda, A11, lda, 1), sum(T[1], ld[1], B00, ldb, B11, ldb, 1)});
    if (!bottom) {
        strassen_level(T[0], ld[0], T[1], ld[1], C00, ldc, h, level + 1);
    } else if (active_method.agg) {
        run_agg_product(T[0], ld[0], T[1], ld[1], C00, ldc, h, false);
    } else {
        const std::uint64_t t0 = monotonic_ns();
        tile_products({make_tile(T[0], ld[0], T[1], ld[1], C00, ldc, h, leaf_grid(h), false)}, t0);
    }
    result_batch(h, {single(C11, ldc, C00, ldc, false, 1)});

    // P2 = (A10 + A11)·B00 into C10, P5 = (A00 + A01)·B11 into C01.
    forms_batch(h, {sum(T[0], ld[0], A10, lda, A11, lda, 1), sum(T[1], ld[1], A00, lda, A01, lda, 1)});
    multiply_pair(T[0], ld[0], B00, ldb, T[1], ld[1], B11, ldb, C10, ldc, C01, ldc, h, level + 1);
    result_batch(h, {single(C11, ldc, C10, ldc, true, -1), single(C00, ldc, C01, ldc, true, -1)});

    // P3 = A00·(B01 - B11) into T4, P4 = A11·(B10 - B00) into T5.
    forms_batch(h, {sum(T[0], ld[0], B01, ldb, B11, ldb, -1), sum(T[1], ld[1], B10, ldb, B00, ldb, -1)});
    multiply_pair(A00, lda, T[0], ld[0], A11, lda, T[1], ld[1], T[4], ld[4], T[5], ld[5], h, level + 1);
    result_batch(h, {single(C01, ldc, T[4], ld[4], true, 1), single(C11, ldc, T[4], ld[4], true, 1),
                     single(C00, ldc, T[5], ld[5], true, 1), single(C10, ldc, T[5], ld[5], true, 1)});

    // P6 = (A10 - A00)(B00 + B01) onto C11, P7 = (A01 - A11)(B10 + B11) onto C00.
    forms_batch(h, {sum(T[0], ld[0], A10, lda, A00, lda, -1), sum(T[1], ld[1], B00, ldb, B01, ldb, 1),
                    sum(T[2], ld[2], A01, lda, A11, lda, -1), sum(T[3], ld[3], B10, ldb, B11, ldb, 1)});
    if (!bottom) {
        multiply_pair(T[0], ld[0], T[1], ld[1], T[2], ld[2], T[3], ld[3], T[4], ld[4], T[5], ld[5], h,
                      level + 1);
        result_batch(h, {single(C11, ldc, T[4], ld[4], true, 1), single(C00, ldc, T[5], ld[5], true, 1)});
    } else if (active_method.agg) {
        // The bottom has no room for P6 and P7 (T4, T5 hold operands): they accumulate into C.
        run_agg_product(T[0], ld[0], T[1], ld[1], C11, ldc, h, true);
        run_agg_product(T[2], ld[2], T[3], ld[3], C00, ldc, h, true);
    } else if (active_method.pan) {
        run_pan_product(T[0], ld[0], T[1], ld[1], T[2], ld[2], T[3], ld[3], C11, ldc, C00, ldc, true);
    } else {
        const std::uint64_t t0 = monotonic_ns();
        const GridSpec grid = leaf_grid(h);
        tile_products({make_tile(T[0], ld[0], T[1], ld[1], C11, ldc, h, grid, true),
                       make_tile(T[2], ld[2], T[3], ld[3], C00, ldc, h, grid, true)},
                      t0);
    }
}
