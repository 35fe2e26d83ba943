#include "multiply/method/matrix_storage.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <stdexcept>

#include "multiply/method/problem.h"

#ifndef MADV_COLLAPSE
#define MADV_COLLAPSE 25
#endif

FillParams fill_params;

void allocate_matrix(MatrixStorage& storage, std::uint64_t rows, std::uint64_t cols) {
    constexpr std::uint64_t max_u64 = std::numeric_limits<std::uint64_t>::max();
    if (rows == 0 || cols == 0 || cols > 2147483647u || rows > (max_u64 / cols) / 4)
        throw std::runtime_error("invalid matrix extent");
    const std::uint64_t raw = rows * cols * 4;
    // Rounding up to 64 bytes must not wrap: a wrapped size would hand out a
    // tiny block for a huge matrix.
    if (raw > max_u64 - 63) throw std::runtime_error("invalid matrix extent");
    const std::uint64_t bytes = (raw + 63) & ~std::uint64_t{63};

    std::free(storage.data);
    storage.data = nullptr;
    storage.ld = cols;
    storage.bytes = bytes;
    void* block = nullptr;
    if (posix_memalign(&block, 64, bytes) != 0 || block == nullptr) {
        // Leave an empty record rather than a size without a block.
        storage.bytes = 0;
        storage.ld = 0;
        throw_bad_alloc();
    }
    storage.data = static_cast<float*>(block);
}

void fill_rows_job(int w) {
    const int W = problem.workers;
    // Jobs outside [0, W) own no rows: a dispatch with more jobs than the
    // worker count must not write past the last row.
    if (W <= 0 || w < 0 || w >= W) return;
    const FillParams p = fill_params;
    using u128 = unsigned __int128;
    const auto first = static_cast<std::uint64_t>(u128(unsigned(w)) * p.side / unsigned(W));
    const auto last = static_cast<std::uint64_t>(u128(unsigned(w) + 1) * p.side / unsigned(W));
    const float value = std::bit_cast<float>(p.pattern);
    for (std::uint64_t r = first; r < last; ++r) std::fill_n(p.data + r * p.ld, p.side, value);
}

void advise_huge_pages(float* data, std::uint64_t bytes, const std::string& mode) {
    if (mode != "collapse" || data == nullptr) return;
    constexpr std::uintptr_t page = 4096;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    if (begin > std::numeric_limits<std::uintptr_t>::max() - (page - 1)) return;
    if (bytes > std::numeric_limits<std::uintptr_t>::max() - begin) return;
    const std::uintptr_t start = (begin + page - 1) & ~(page - 1);
    const std::uintptr_t end = begin + bytes;
    if (end <= start) return;
    const std::uintptr_t len = (end - start) & ~(page - 1);
    if (len == 0) return;
    // Both results are ignored: advice is best effort, and kernels without
    // collapse support refuse the second call.
    (void)madvise(reinterpret_cast<void*>(start), len, MADV_HUGEPAGE);
    (void)madvise(reinterpret_cast<void*>(start), len, MADV_COLLAPSE);
}
