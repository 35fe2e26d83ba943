/* Bridge for the test-only variant that must not depend on BLIS: a name it
 * leaves out would otherwise still be found in BLIS, its dependency. Such a
 * variant is only ever loaded to be rejected, so its product refuses to run. */
#include <stdio.h>
#include <stdlib.h>

#include "stand_in/bridge.h"

void kv_bridge_init(kv_setting* process_default)
{
    process_default->threads = 1;
    process_default->has_ways = 0;
    for (int i = 0; i < KV_LOOPS; ++i)
        process_default->ways[i] = -1;
}

void kv_bridge_sgemm_colmajor(int transa, int transb, int64_t m, int64_t n, int64_t k,
                              float alpha, const float* a, int64_t lda, const float* b,
                              int64_t ldb, float beta, float* c, int64_t ldc,
                              const kv_setting* setting)
{
    (void)transa; (void)transb; (void)m; (void)n; (void)k; (void)alpha; (void)a; (void)lda;
    (void)b; (void)ldb; (void)beta; (void)c; (void)ldc; (void)setting;
    fputs("libblis-mt stand-in: this test variant has no SGEMM\n", stderr);
    abort();
}
