#include "multiply/method/matrix_storage.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "multiply/method/problem.h"
#include "multiply/method/square_view.h"
#include "multiply/pan_adapter/pool.h"

#ifndef MADV_COLLAPSE
#define MADV_COLLAPSE 25
#endif

FillParams fill_params;
TouchParams touch_params;

namespace {

// Rows [first, last) of worker w's share of side rows over problem.workers
// jobs; false for a job that owns none (also one outside [0, W), so that a
// dispatch with more jobs than the worker count never writes past the last row).
bool worker_rows(int w, std::uint64_t side, std::uint64_t& first, std::uint64_t& last) {
    const square_view::Range r = square_view::job_range(w, problem.workers, side);
    first = r.first;
    last = r.last;
    return first < last;
}

// One store into every 4 KiB page that [p, p + count) reaches.
void touch_pages(float* p, std::uint64_t count) {
    if (count == 0) return;
    constexpr std::uintptr_t page = 4096;
    const auto begin = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t end = begin + count * sizeof(float);
    p[0] = 0.0f;
    for (std::uintptr_t a = (begin + page) & ~(page - 1); a < end; a += page) *reinterpret_cast<float*>(a) = 0.0f;
}

// The whole pages inside [data, data + bytes): false when there are none.
bool whole_pages(const float* data, std::uint64_t bytes, void*& start, std::size_t& len) {
    if (data == nullptr) return false;
    constexpr std::uintptr_t page = 4096;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    if (begin > std::numeric_limits<std::uintptr_t>::max() - (page - 1)) return false;
    if (bytes > std::numeric_limits<std::uintptr_t>::max() - begin) return false;
    const std::uintptr_t first = (begin + page - 1) & ~(page - 1);
    const std::uintptr_t end = begin + bytes;
    if (end <= first) return false;
    const std::uintptr_t length = (end - first) & ~(page - 1);
    if (length == 0) return false;
    start = reinterpret_cast<void*>(first);
    len = length;
    return true;
}

}  // namespace

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
    const FillParams p = fill_params;
    std::uint64_t first = 0, last = 0;
    if (!worker_rows(w, p.side, first, last)) return;
    // Rows without a gap between them go as one span: one long store stream
    // (a zero fill becomes one memset) instead of one per row.
    const bool whole = p.ld == p.side;
    const std::uint64_t count = whole ? (last - first) * p.side : p.side;
    const std::uint64_t rows = whole ? 1 : last - first;
    for (std::uint64_t r = 0; r < rows; ++r) {
        float* dst = p.data + (first + r) * p.ld;
        if (p.pattern == 0)
            std::memset(dst, 0, count * sizeof(float));
        else
            std::fill_n(dst, count, std::bit_cast<float>(p.pattern));
    }
}

void fill_block(float* data, std::uint64_t side, std::uint64_t ld, std::uint32_t pattern) {
    fill_params.pattern = pattern;
    fill_params.side = side;
    fill_params.data = data;
    fill_params.ld = ld;
    pan_adapter::run_jobs(problem.workers, fill_rows_job);
}

void touch_rows_job(int w) {
    const TouchParams p = touch_params;
    std::uint64_t first = 0, last = 0;
    if (!worker_rows(w, p.side, first, last)) return;
    const std::uint64_t kept = std::min(p.kept, p.side);
    if (p.ld == p.side && kept == p.side) {
        touch_pages(p.data + first * p.ld, (last - first) * p.side);
        return;
    }
    for (std::uint64_t r = first; r < last; ++r) {
        float* row = p.data + r * p.ld;
        const std::uint64_t skip = r < kept ? kept : 0;
        touch_pages(row, skip);
        std::memset(row + skip, 0, (p.side - skip) * sizeof(float));
    }
}

void advise_huge_pages(float* data, std::uint64_t bytes, const std::string& mode) {
    void* start = nullptr;
    std::size_t len = 0;
    if (mode != "collapse" || !whole_pages(data, bytes, start, len)) return;
    // Both results are ignored: advice is best effort, and kernels without
    // collapse support refuse the second call.
    (void)madvise(start, len, MADV_HUGEPAGE);
    (void)madvise(start, len, MADV_COLLAPSE);
}

namespace {
std::string matrices_huge_page_mode;  // empty until request_huge_pages runs
}  // namespace

void request_huge_pages(float* data, std::uint64_t bytes, const std::string& mode) {
    matrices_huge_page_mode = mode;
    void* start = nullptr;
    std::size_t len = 0;
    if (mode != "collapse" || !whole_pages(data, bytes, start, len)) return;
    (void)madvise(start, len, MADV_HUGEPAGE);
}

void request_huge_pages_like_matrices(float* data, std::uint64_t bytes) {
    request_huge_pages(data, bytes, matrices_huge_page_mode);
}
