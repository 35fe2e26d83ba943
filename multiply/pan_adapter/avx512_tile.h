// The FMA core of the AVX-512 leaf kernels: a register tile of S 6-row A
// strips (1 or 2) by P 16-column B panels (1 or 2), one ZMM accumulator per
// tile row and panel, acc[6s + r][p]. Every accumulator lane is one output
// element and one chain of fused multiply-adds in increasing depth:
//   acc[6s + r][p] = fma(a_s[6k + r], b_p[16k .. 16k + 15], acc[6s + r][p]).
// So a lane goes through exactly the operations of the matching lane of the
// AVX2 6x16 tile (tile_avx2.h). Also the moves of a 6x16 part of the
// accumulators to and from 96 floats, which the kernels share.
//
// Include after avx512_build.h, only from AVX-512 kernel sources. Everything
// here has internal linkage and is always inlined.
#pragma once

#include <cstdint>

namespace {

// One depth step: row r of strip s takes a_s[6k + r] times the B rows of
// both panels (B panel rows 64-byte aligned).
template <int S, int P>
__attribute__((always_inline)) inline void avx512_tile_step(__m512 (&acc)[6 * S][P],
                                                            const float* const* ap,
                                                            const float* const* bp,
                                                            std::uint64_t k) {
    __m512 b[P];
#pragma GCC unroll 2
    for (int p = 0; p < P; ++p) b[p] = _mm512_load_ps(bp[p] + 16 * k);
#pragma GCC unroll 2
    for (int s = 0; s < S; ++s) {
#pragma GCC unroll 6
        for (int r = 0; r < 6; ++r) {
            const __m512 x = _mm512_set1_ps(ap[s][6 * k + r]);
#pragma GCC unroll 2
            for (int p = 0; p < P; ++p)
                acc[6 * s + r][p] = _mm512_fmadd_ps(x, b[p], acc[6 * s + r][p]);
        }
    }
}

// Depth steps [k, end), unrolled by four. (Unrolled by hand, GCC 12 spills
// accumulators of the 12x32 tile; its own unrolling keeps all 24 in registers.)
template <int S, int P>
__attribute__((always_inline)) inline void avx512_tile_steps(__m512 (&acc)[6 * S][P],
                                                             const float* const* ap,
                                                             const float* const* bp,
                                                             std::uint64_t k, std::uint64_t end) {
#pragma GCC unroll 4
    for (; k < end; ++k) avx512_tile_step<S, P>(acc, ap, bp, k);
}

// Depth steps [k, end) like avx512_tile_steps, but from step `from` on, one
// output row segment is prefetched after every four steps: segment `seg`
// (counting on from call to call, across depth chunks) by prefetch(seg),
// until `segs` have gone out. Prefetches change no result; they only bring
// the rows the tile will update into the cache while the FMAs run.
template <int S, int P, class Prefetch>
__attribute__((always_inline)) inline void avx512_tile_steps_prefetching(
    __m512 (&acc)[6 * S][P], const float* const* ap, const float* const* bp, std::uint64_t k,
    std::uint64_t end, std::uint64_t from, std::uint64_t& seg, std::uint64_t segs,
    const Prefetch& prefetch) {
    if (seg < segs && end > from) {
        const std::uint64_t start = from > k ? from : k;
        avx512_tile_steps<S, P>(acc, ap, bp, k, start);
        k = start;
        const std::uint64_t quads = (end - k) / 4 < segs - seg ? (end - k) / 4 : segs - seg;
        for (std::uint64_t q = 0; q < quads; ++q) {
            // Not unrolled: unrolled, GCC 12 shuffles and spills accumulators here.
#pragma GCC unroll 1
            for (int j = 0; j < 4; ++j, ++k) avx512_tile_step<S, P>(acc, ap, bp, k);
            prefetch(seg + q);
        }
        seg += quads;
    }
    avx512_tile_steps<S, P>(acc, ap, bp, k, end);
}

// Prefetches (to all cache levels) the cache lines of `bytes` bytes from p.
template <std::uint64_t Bytes>
__attribute__((always_inline)) inline void prefetch_span(const void* p) {
    const char* const c = static_cast<const char*>(p);
#pragma GCC unroll 8
    for (std::uint64_t off = 0; off < Bytes; off += 64) _mm_prefetch(c + off, _MM_HINT_T0);
    _mm_prefetch(c + Bytes - 4, _MM_HINT_T0);
}

template <int S, int P>
__attribute__((always_inline)) inline void avx512_tile_zero(__m512 (&acc)[6 * S][P]) {
#pragma GCC unroll 12
    for (int i = 0; i < 6 * S; ++i)
#pragma GCC unroll 2
        for (int p = 0; p < P; ++p) acc[i][p] = _mm512_setzero_ps();
}

// Adds (or stores) the accumulators of 6x16 tile (s, p) from (into) 96
// row-major floats: acc + the floats, row by row.
template <int S, int P>
__attribute__((always_inline)) inline void add_from(__m512 (&acc)[6 * S][P], int s, int p,
                                                    const float* src) {
#pragma GCC unroll 6
    for (int r = 0; r < 6; ++r)
        acc[6 * s + r][p] = _mm512_add_ps(acc[6 * s + r][p], _mm512_loadu_ps(src + 16 * r));
}

template <int S, int P>
__attribute__((always_inline)) inline void store_to(const __m512 (&acc)[6 * S][P], int s, int p,
                                                    float* dst) {
#pragma GCC unroll 6
    for (int r = 0; r < 6; ++r) _mm512_storeu_ps(dst + 16 * r, acc[6 * s + r][p]);
}

__attribute__((always_inline)) inline std::uint64_t min_u64(std::uint64_t a, std::uint64_t b) {
    return a < b ? a : b;
}

}  // namespace
