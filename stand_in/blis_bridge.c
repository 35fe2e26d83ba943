/* The only translation unit of the stand-in that sees BLIS.
 *
 * blis_mt.c exports names that BLIS itself also exports (cblas_sgemm,
 * bli_thread_set_num_threads, ...). Inside our own library those names bind
 * to our definitions, so everything we need from BLIS is reached here through
 * functions we do not re-export: bli_init, bli_sgemm_ex and
 * bli_rntm_init_from_global, plus the inline rntm_t accessors of blis.h. */
#include <stdlib.h>
#include <stdio.h>
#include <string.h>

#include <blis.h>

#include "stand_in/bridge.h"

/* BLIS 0.9 predates this CPU model and would fall back to its reference
 * kernels. Pick the best sub-configuration the processor (and the OS, which
 * must save the wider register state) actually supports. */
static int kv_pick_arch(void)
{
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl"))
        return (int)BLIS_ARCH_SKX;
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        return (int)BLIS_ARCH_ZEN3;
    return (int)BLIS_ARCH_GENERIC;
}

void kv_bridge_init(kv_setting* process_default)
{
    /* BLIS reads BLIS_ARCH_TYPE once, during bli_init. A value the user has
     * set is left alone; ours is removed again afterwards so that it does not
     * leak into the environment of the caller. */
    int ours = 0;
    if (getenv("BLIS_ARCH_TYPE") == NULL) {
        char text[16];
        snprintf(text, sizeof text, "%d", kv_pick_arch());
        ours = setenv("BLIS_ARCH_TYPE", text, 1) == 0;
    }
    bli_init();
    if (ours)
        unsetenv("BLIS_ARCH_TYPE");

    /* Start from what BLIS derived from BLIS_NUM_THREADS, BLIS_*_NT and
     * OMP_NUM_THREADS, so the environment keeps its usual meaning. */
    rntm_t global;
    bli_rntm_init_from_global(&global);
    dim_t ways[KV_LOOPS] = {
        bli_rntm_jc_ways(&global), bli_rntm_pc_ways(&global), bli_rntm_ic_ways(&global),
        bli_rntm_jr_ways(&global), bli_rntm_ir_ways(&global),
    };
    int any_way = 0;
    for (int i = 0; i < KV_LOOPS; ++i)
        if (ways[i] > 0)
            any_way = 1;
    memset(process_default, 0, sizeof *process_default);
    if (any_way) {
        int64_t product = 1;
        for (int i = 0; i < KV_LOOPS; ++i) {
            process_default->ways[i] = ways[i] > 0 ? ways[i] : 1;
            product *= process_default->ways[i];
        }
        process_default->has_ways = 1;
        process_default->threads = product;
    } else {
        dim_t nt = bli_rntm_num_threads(&global);
        process_default->threads = nt > 0 ? nt : 1;
        for (int i = 0; i < KV_LOOPS; ++i)
            process_default->ways[i] = -1;
    }
}

static trans_t kv_trans(int cblas_trans)
{
    return cblas_trans == KV_NO_TRANS ? BLIS_NO_TRANSPOSE : BLIS_TRANSPOSE;
}

void kv_bridge_sgemm_colmajor(int transa, int transb, int64_t m, int64_t n, int64_t k,
                              float alpha, const float* a, int64_t lda, const float* b,
                              int64_t ldb, float beta, float* c, int64_t ldc,
                              const kv_setting* setting)
{
    rntm_t rntm;
    bli_rntm_init(&rntm);
    if (setting->has_ways)
        bli_rntm_set_ways(setting->ways[0], setting->ways[1], setting->ways[2],
                          setting->ways[3], setting->ways[4], &rntm);
    else
        bli_rntm_set_num_threads(setting->threads, &rntm);

    /* Column-major storage: unit row stride, the leading dimension between
     * columns. BLIS never writes A or B; its typed interface simply lacks
     * const. */
    bli_sgemm_ex(kv_trans(transa), kv_trans(transb), m, n, k, &alpha, (float*)a, 1, lda,
                 (float*)b, 1, ldb, &beta, c, 1, ldc, NULL, &rntm);
}
