// Compiled with -mavx2 -mfma -ffp-contract=off: each packed value is one
// float addition.
#include "multiply/pan_adapter/panel_pack.h"

#include <immintrin.h>

#include <algorithm>

namespace pan_adapter {

using u64 = std::uint64_t;

namespace {

// The operands usually come from memory, not from the caches: the packers
// prefetch the rows they will read next, B kBRowsAhead rows ahead, A
// kAColumnsAhead columns ahead (and the next strip's rows near a strip's end).
constexpr u64 kBRowsAhead = 4;
constexpr u64 kAColumnsAhead = 256;

void prefetch_rows(const float* a1, u64 ldA1, const float* a2, u64 ldA2, u64 k) {
    for (u64 i = 0; i < 6; ++i) {
        _mm_prefetch(reinterpret_cast<const char*>(a1 + i * ldA1 + k), _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char*>(a2 + i * ldA2 + k), _MM_HINT_T0);
    }
}

}  // namespace

void pack_b_sum16(u64 rows, u64 cols, const float* B1, u64 ldB1, const float* B2, u64 ldB2,
                  float* panels, u64 panel_floats) {
    const u64 full = cols / 16;
    const u64 rest = cols % 16;
    for (u64 k = 0; k < rows; ++k) {
        const float* b1 = B1 + k * ldB1;
        const float* b2 = B2 + k * ldB2;
        float* dst = panels + 16 * k;
        const u64 ahead = k + kBRowsAhead < rows ? kBRowsAhead : 0;
        for (u64 p = 0; p < full; ++p, b1 += 16, b2 += 16, dst += panel_floats) {
            _mm_prefetch(reinterpret_cast<const char*>(b1 + ahead * ldB1), _MM_HINT_T0);
            _mm_prefetch(reinterpret_cast<const char*>(b2 + ahead * ldB2), _MM_HINT_T0);
            _mm256_store_ps(dst, _mm256_add_ps(_mm256_loadu_ps(b1), _mm256_loadu_ps(b2)));
            _mm256_store_ps(dst + 8,
                            _mm256_add_ps(_mm256_loadu_ps(b1 + 8), _mm256_loadu_ps(b2 + 8)));
        }
        if (rest != 0) {
            u64 c = 0;
            for (; c < rest; ++c) dst[c] = b1[c] + b2[c];
            for (; c < 16; ++c) dst[c] = 0.0f;
        }
    }
}

void pack_a_sum6(u64 rows, u64 depth, const float* A1, u64 ldA1, const float* A2, u64 ldA2,
                 float* panels, u64 panel_floats) {
    for (u64 s = 0; s * 6 < rows; ++s) {
        const u64 height = std::min<u64>(6, rows - 6 * s);
        const float* a1 = A1 + 6 * s * ldA1;
        const float* a2 = A2 + 6 * s * ldA2;
        float* dst = panels + s * panel_floats;
        u64 k = 0;
        if (height == 6) {
            const __m256 zero = _mm256_setzero_ps();
            const bool next_full = rows >= 6 * s + 12;
            for (; k + 8 <= depth; k += 8) {
                if (k % 16 == 0) {
                    if (k + kAColumnsAhead < depth)
                        prefetch_rows(a1, ldA1, a2, ldA2, k + kAColumnsAhead);
                    else if (next_full)
                        prefetch_rows(a1 + 6 * ldA1, ldA1, a2 + 6 * ldA2, ldA2,
                                      k + kAColumnsAhead - depth);
                }
                __m256 r[6];
                for (int i = 0; i < 6; ++i)
                    r[i] = _mm256_add_ps(_mm256_loadu_ps(a1 + i * ldA1 + k),
                                         _mm256_loadu_ps(a2 + i * ldA2 + k));
                const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]);
                const __m256 t1 = _mm256_unpackhi_ps(r[0], r[1]);
                const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]);
                const __m256 t3 = _mm256_unpackhi_ps(r[2], r[3]);
                const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]);
                const __m256 t5 = _mm256_unpackhi_ps(r[4], r[5]);
                const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44);
                const __m256 u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
                const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44);
                const __m256 u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
                const __m256 u4 = _mm256_shuffle_ps(t4, zero, 0x44);
                const __m256 u5 = _mm256_shuffle_ps(t4, zero, 0xEE);
                const __m256 u6 = _mm256_shuffle_ps(t5, zero, 0x44);
                const __m256 u7 = _mm256_shuffle_ps(t5, zero, 0xEE);
                float* d = dst + 6 * k;
                _mm256_storeu_ps(d + 0, _mm256_permute2f128_ps(u0, u4, 0x20));
                _mm256_storeu_ps(d + 6, _mm256_permute2f128_ps(u1, u5, 0x20));
                _mm256_storeu_ps(d + 12, _mm256_permute2f128_ps(u2, u6, 0x20));
                _mm256_storeu_ps(d + 18, _mm256_permute2f128_ps(u3, u7, 0x20));
                _mm256_storeu_ps(d + 24, _mm256_permute2f128_ps(u0, u4, 0x31));
                _mm256_storeu_ps(d + 30, _mm256_permute2f128_ps(u1, u5, 0x31));
                _mm256_storeu_ps(d + 36, _mm256_permute2f128_ps(u2, u6, 0x31));
                _mm256_storeu_ps(d + 42, _mm256_permute2f128_ps(u3, u7, 0x31));
            }
        }
        for (; k < depth; ++k) {
            float* d = dst + 6 * k;
            u64 r = 0;
            for (; r < height; ++r) d[r] = a1[r * ldA1 + k] + a2[r * ldA2 + k];
            for (; r < 6; ++r) d[r] = 0.0f;
        }
    }
}

}  // namespace pan_adapter
