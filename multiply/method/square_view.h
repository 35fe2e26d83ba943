// Helpers of the in-place input transforms (centering, equilibration): the
// rows a pool job owns, the bytes an n x n view covers, view validation, and
// a restore dispatch that works even when the pool does not.
#pragma once

#include <cstdint>
#include <limits>
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

// Runs a restore job over every index: on the pool, or on the calling thread
// when there is no pool to run on, since the inputs must come back all the same.
inline void run_restore(std::int32_t jobs, void (*job)(int)) noexcept {
    try {
        pan_adapter::run_jobs(jobs, job);
    } catch (...) {
        for (int w = 0; w < jobs; ++w) job(w);
    }
}

}  // namespace square_view
