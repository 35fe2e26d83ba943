// The 6x16 float register tile of the AVX2 leaf kernels, as macros over
// twelve 8-float accumulators named c<row><half>: c00 and c01 hold columns
// 0-7 and 8-15 of tile row 0, c10 and c11 those of row 1, and so on to c51.
//
// The including kernel declares the twelve accumulators and two cursors
// (ap: the A panel at the current depth, 6 floats per step; bp: the B panel,
// 16 floats per step, 32-byte aligned) and a type u64. Every accumulator is
// one chain of fused multiply-adds in increasing depth:
//   c<r><h> = fma(a[6k + r], b[16k + 8h .. 16k + 8h + 7], c<r><h>).
// Only for sources compiled with the kernel flags (AVX2, FMA, no contraction).
#pragma once

#include <immintrin.h>

// One depth step of the 6x16 register tile: two aligned B loads, six A
// broadcasts, twelve FMAs (each accumulator one chain in increasing depth).
#define PAN_STEP(ap, bp)                                      \
    do {                                                      \
        const __m256 b0 = _mm256_load_ps(bp);                 \
        const __m256 b1 = _mm256_load_ps((bp) + 8);           \
        __m256 t = _mm256_broadcast_ss((ap) + 0);             \
        c00 = _mm256_fmadd_ps(t, b0, c00);                    \
        c01 = _mm256_fmadd_ps(t, b1, c01);                    \
        t = _mm256_broadcast_ss((ap) + 1);                    \
        c10 = _mm256_fmadd_ps(t, b0, c10);                    \
        c11 = _mm256_fmadd_ps(t, b1, c11);                    \
        t = _mm256_broadcast_ss((ap) + 2);                    \
        c20 = _mm256_fmadd_ps(t, b0, c20);                    \
        c21 = _mm256_fmadd_ps(t, b1, c21);                    \
        t = _mm256_broadcast_ss((ap) + 3);                    \
        c30 = _mm256_fmadd_ps(t, b0, c30);                    \
        c31 = _mm256_fmadd_ps(t, b1, c31);                    \
        t = _mm256_broadcast_ss((ap) + 4);                    \
        c40 = _mm256_fmadd_ps(t, b0, c40);                    \
        c41 = _mm256_fmadd_ps(t, b1, c41);                    \
        t = _mm256_broadcast_ss((ap) + 5);                    \
        c50 = _mm256_fmadd_ps(t, b0, c50);                    \
        c51 = _mm256_fmadd_ps(t, b1, c51);                    \
    } while (0)

// Runs `quads` groups of four steps, advancing ap and bp.
#define PAN_QUADS(quads)                        \
    for (u64 q_ = (quads); q_ != 0; --q_) {     \
        PAN_STEP(ap, bp);                       \
        PAN_STEP(ap + 6, bp + 16);              \
        PAN_STEP(ap + 12, bp + 32);             \
        PAN_STEP(ap + 18, bp + 48);             \
        ap += 24;                               \
        bp += 64;                               \
    }

// Applies OP(acc, ptr) to the twelve accumulators with the matching tile offsets.
#define PAN_EACH(OP, base) \
    OP(c00, (base) + 0);   \
    OP(c01, (base) + 8);   \
    OP(c10, (base) + 16);  \
    OP(c11, (base) + 24);  \
    OP(c20, (base) + 32);  \
    OP(c21, (base) + 40);  \
    OP(c30, (base) + 48);  \
    OP(c31, (base) + 56);  \
    OP(c40, (base) + 64);  \
    OP(c41, (base) + 72);  \
    OP(c50, (base) + 80);  \
    OP(c51, (base) + 88)

#define PAN_ADD_FROM(acc, p) acc = _mm256_add_ps(acc, _mm256_loadu_ps(p))
#define PAN_STORE_TO(acc, p) _mm256_storeu_ps(p, acc)
