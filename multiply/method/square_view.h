// Helpers of the in-place input transforms (centering, equilibration): the
// rows a pool job owns, the bytes an n x n view covers, view validation,
// aligned vectors, and the restore of the inputs, also when the pool fails.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <stdexcept>

#include "multiply/pan_adapter/pool.h"

namespace square_view {

// Indices [first, last) of job index w out of `jobs` over n: [w·n/W, (w+1)·n/W),
// the upper bound computed as (w·n + n)/W. Empty for an index out of range.
struct Range {
    std::uint64_t first, last;
};
inline Range job_range(int w, std::int32_t jobs, std::uint64_t n) {
    const std::uint64_t W = static_cast<std::uint64_t>(jobs);
    const std::uint64_t uw = static_cast<std::uint64_t>(w);
    if (jobs <= 0 || w < 0 || uw >= W) return {0, 0};
    return {uw * n / W, (uw * n + n) / W};
}

// Byte range [begin, end) of an n x n view with row stride ld (checked before).
struct Span {
    std::uintptr_t begin, end;
};
inline Span span_of(const float* p, std::uint64_t ld, std::uint64_t n) {
    const auto begin = reinterpret_cast<std::uintptr_t>(p);
    return {begin, begin + ((n - 1) * ld + n) * 4};
}
inline bool overlap(Span x, Span y) { return x.begin < y.end && y.begin < x.end; }

// An n x n view needs a pointer, ld in [n, 2^31) with n rows of ld floats
// countable in 64 bits (else `invalid`), and an end address that does not
// wrap around (else `wraps`); both std::invalid_argument.
inline void check(const float* p, std::uint64_t ld, std::uint64_t n, const char* invalid, const char* wraps) {
    if (p == nullptr || ld >= (std::uint64_t{1} << 31) || ld < n ||
        (std::numeric_limits<std::uint64_t>::max() / ld) / 4 < n)
        throw std::invalid_argument(invalid);
    const std::uint64_t bytes = ((n - 1) * ld + n) * 4;
    if (reinterpret_cast<std::uintptr_t>(p) > std::numeric_limits<std::uintptr_t>::max() - bytes)
        throw std::invalid_argument(wraps);
}

// Validates the n x n views A and B (as check) and refuses overlapping ones
// with std::invalid_argument(`overlapping`).
inline void check_inputs(const float* a, std::uint64_t lda, const float* b, std::uint64_t ldb,
                         std::uint64_t n, const char* invalid, const char* wraps, const char* overlapping) {
    check(a, lda, n, invalid, wraps);
    check(b, ldb, n, invalid, wraps);
    if (overlap(span_of(a, lda, n), span_of(b, ldb, n))) throw std::invalid_argument(overlapping);
}

// 64-byte-aligned vector of `count` T, its size (rounded up to 64 bytes)
// added to `bytes`. std::overflow_error(`overflow`) when that size does not
// fit in 64 bits; std::bad_alloc without memory.
template <class T>
T* alloc_vector(std::uint64_t count, std::uint64_t& bytes, const char* overflow) {
    if (count > (std::numeric_limits<std::uint64_t>::max() - 63) / sizeof(T))
        throw std::overflow_error(overflow);
    const std::uint64_t size = (count * sizeof(T) + 63) & ~std::uint64_t{63};
    void* block = nullptr;
    if (posix_memalign(&block, 64, size) != 0 || block == nullptr) throw std::bad_alloc();
    bytes += size;
    return static_cast<T*>(block);
}

// Runs a restore job over every index: on the pool, or on the calling thread
// when there is no pool to run on, since the inputs must come back all the same.
inline void run_restore(std::int32_t jobs, void (*job)(int)) noexcept {
    try {
        pan_adapter::run_jobs(jobs, job);
    } catch (...) {
        for (int w = 0; w < jobs; ++w) job(w);
    }
}

// The inputs back after a recover: when they still hold transformed values
// (`held`), runs `restore` on the pool and clears `held` and `transformed`.
inline void restore_inputs(std::int32_t jobs, void (*restore)(int), bool& held, bool& transformed) {
    if (!held) return;
    pan_adapter::run_jobs(jobs, restore);
    held = transformed = false;
}

// The same on an error path: never throws, and restores even when the pool
// cannot run (run_restore).
inline void restore_inputs_now(std::int32_t jobs, void (*restore)(int), bool& held,
                               bool& transformed) noexcept {
    if (!held) return;
    run_restore(jobs, restore);
    held = transformed = false;
}

}  // namespace square_view
