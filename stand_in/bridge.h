/* Internal interface between the exported layer (blis_mt.c) and the code
 * that talks to BLIS (blis_bridge.c). Nothing here is exported. */
#ifndef KORVANE_STAND_IN_BRIDGE_H
#define KORVANE_STAND_IN_BRIDGE_H

#include <stdint.h>

#define KV_LOOPS 5 /* jc, pc, ic, jr, ir */

#define KV_ROW_MAJOR 101
#define KV_COL_MAJOR 102
#define KV_NO_TRANS 111
#define KV_TRANS 112
#define KV_CONJ_TRANS 113

/* A thread setting: either a total thread count that BLIS factorises itself
 * (has_ways 0, ways all -1) or explicit loop ways whose product is the
 * count. */
typedef struct kv_setting {
    int64_t threads;
    int64_t ways[KV_LOOPS];
    int has_ways;
} kv_setting;

/* Selects the BLIS sub-configuration, initialises BLIS and returns the
 * process-wide setting the environment asks for. Runs once, at load time. */
void kv_bridge_init(kv_setting* process_default) __attribute__((visibility("hidden")));

/* Column-major C := alpha*op(A)*op(B) + beta*C with the given thread
 * setting; arguments already checked. */
void kv_bridge_sgemm_colmajor(int transa, int transb, int64_t m, int64_t n, int64_t k,
                              float alpha, const float* a, int64_t lda, const float* b,
                              int64_t ldb, float beta, float* c, int64_t ldc,
                              const kv_setting* setting) __attribute__((visibility("hidden")));

#endif
