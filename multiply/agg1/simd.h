// AVX2 helpers of the agg1 packers and kernel. Include only from sources
// compiled with the kernel flags (-mavx2 -mfma -ffp-contract=off).
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace agg1 {

// Transposes six rows of 8 consecutive depth values into eight depth groups:
// g[k] = (row 0 .. row 5 at depth k, 0, 0). Pure data movement.
inline void transpose_6x8(const __m256 r[6], __m256 g[8]) {
    const __m256 z = _mm256_setzero_ps();
    // Row pairs interleaved: depths 0,1 | 4,5 (lo) and 2,3 | 6,7 (hi).
    const __m256 lo01 = _mm256_unpacklo_ps(r[0], r[1]), hi01 = _mm256_unpackhi_ps(r[0], r[1]);
    const __m256 lo23 = _mm256_unpacklo_ps(r[2], r[3]), hi23 = _mm256_unpackhi_ps(r[2], r[3]);
    const __m256 lo45 = _mm256_unpacklo_ps(r[4], r[5]), hi45 = _mm256_unpackhi_ps(r[4], r[5]);
    // Rows 0-3 of depths (0|4), (1|5), (2|6), (3|7), then rows 4, 5 and two zeros.
    const __m256 q[8] = {
        _mm256_shuffle_ps(lo01, lo23, 0x44), _mm256_shuffle_ps(lo01, lo23, 0xEE),
        _mm256_shuffle_ps(hi01, hi23, 0x44), _mm256_shuffle_ps(hi01, hi23, 0xEE),
        _mm256_shuffle_ps(lo45, z, 0x44),    _mm256_shuffle_ps(lo45, z, 0xEE),
        _mm256_shuffle_ps(hi45, z, 0x44),    _mm256_shuffle_ps(hi45, z, 0xEE),
    };
    for (int k = 0; k < 4; ++k) {
        g[k] = _mm256_permute2f128_ps(q[k], q[k + 4], 0x20);
        g[k + 4] = _mm256_permute2f128_ps(q[k], q[k + 4], 0x31);
    }
}

// The same transposition into memory: out (64 floats, 32-byte aligned) holds
// group k at out + 8k.
void transpose_8x8(float* out, __m256 r0, __m256 r1, __m256 r2, __m256 r3, __m256 r4, __m256 r5);

}  // namespace agg1
