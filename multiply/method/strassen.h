// Strassen outer level: one to four levels of Strassen's seven-product
// recursion around the Pan, agg1 or AOCL tile engines.
//
// The schedule ("direct_outputs_v1") writes the products straight into the
// quadrants of C where it can: P1 goes to C00 and is copied to C11, P2 and P5
// go to C10 and C01, and only P3, P4 (and P6, P7 above the bottom) need
// temporaries, so a level needs 6 buffers of its half side and the bottom
// level 4. All block additions use the coefficients +1 and -1 (or a copy).
#pragma once

#include <cstdint>

// One block operation of an add batch, on side x side blocks:
//   not single:            dst = src1 + src2 (sign 1) or src1 - src2 (otherwise)
//   single, !accumulate:   dst = src1
//   single, accumulate:    dst += src1 (sign 1) or dst -= src1 (otherwise)
struct AddTask {
    float* dst = nullptr;
    std::uint64_t ld_dst = 0;
    const float* src1 = nullptr;
    std::uint64_t ld_src1 = 0;
    const float* src2 = nullptr;  // null when single
    std::uint64_t ld_src2 = 0;    // 0 when single
    std::int32_t sign = 1;
    bool single = false;
    bool accumulate = false;
};

// C = A·B for n x n views (n even) at recursion level `level` (0 = outermost).
// The bottom level is the one with level + 1 == ActiveMethod.strassen_levels.
void strassen_level(const float* A, std::uint64_t lda, const float* B, std::uint64_t ldb, float* C,
                    std::uint64_t ldc, std::uint64_t n, int level);

// C1 = A1·B1 and C2 = A2·B2 (both overwritten), n x n each: two calls of the
// next level when `level` is an inner level, else the bottom products.
void multiply_pair(const float* A1, std::uint64_t lda1, const float* B1, std::uint64_t ldb1,
                   const float* A2, std::uint64_t lda2, const float* B2, std::uint64_t ldb2, float* C1,
                   std::uint64_t ldc1, float* C2, std::uint64_t ldc2, std::uint64_t n, int level);

// Runs `count` tasks on side x side blocks on the Pan pool: each task is split
// into W = Problem workers row bands and all bands of all tasks run at once.
void run_add_tasks(std::uint64_t side, const AddTask* tasks, std::uint64_t count);

// Pool job of a batch: band (index mod W) of task (index / W).
void add_tasks_job(int index);
