/* Loads the stand-in the way the program does (dlmopen into a new link-map
 * namespace, RTLD_NOW), which loads a second libc and libgomp with their own
 * static TLS, then runs a 64x64 product and a 4-thread OpenMP region through
 * the bound symbols. Usage: dlmopen_smoke <library path> */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <link.h>
#include <math.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef void (*sgemm_fn)(int, int, int, int, int, int, float, const float*, int, const float*,
                         int, float, float*, int);
typedef void (*gomp_parallel_fn)(void (*)(void*), void*, unsigned, unsigned);
typedef int (*omp_int_fn)(void);

static omp_int_fn team_size, member;

struct probe {
    atomic_int visits[4];
    atomic_int bad_team;
    atomic_int out_of_range;
};

static void body(void* data)
{
    struct probe* p = data;
    if (team_size() != 4)
        atomic_fetch_add(&p->bad_team, 1);
    int id = member();
    if (id < 0 || id >= 4)
        atomic_fetch_add(&p->out_of_range, 1);
    else
        atomic_fetch_add(&p->visits[id], 1);
}

static void* bind(void* handle, const char* name)
{
    dlerror();
    void* address = dlsym(handle, name);
    const char* error = dlerror();
    if (error != NULL || address == NULL) {
        fprintf(stderr, "missing symbol %s: %s\n", name, error ? error : "null");
        exit(1);
    }
    return address;
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: dlmopen_smoke <library>\n");
        return 2;
    }
    void* handle = dlmopen(LM_ID_NEWLM, argv[1], RTLD_NOW);
    if (handle == NULL) {
        fprintf(stderr, "dlmopen failed: %s\n", dlerror());
        return 1;
    }
    Lmid_t lmid = 0;
    if (dlinfo(handle, RTLD_DI_LMID, &lmid) != 0 || lmid == LM_ID_BASE) {
        fprintf(stderr, "not in a separate namespace\n");
        return 1;
    }
    sgemm_fn sgemm = (sgemm_fn)bind(handle, "cblas_sgemm");
    gomp_parallel_fn gomp_parallel = (gomp_parallel_fn)bind(handle, "GOMP_parallel");
    team_size = (omp_int_fn)bind(handle, "omp_get_num_threads");
    member = (omp_int_fn)bind(handle, "omp_get_thread_num");

    enum { n = 64 };
    static float a[n * n], b[n * n], c[n * n];
    for (int i = 0; i < n * n; ++i) {
        a[i] = (float)((i * 7) % 13 - 6);
        b[i] = (float)((i * 5) % 11 - 5);
    }
    sgemm(101, 111, 111, n, n, n, 1.0f, a, n, b, n, 0.0f, c, n);
    /* small integers: every product and sum is exact in float */
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            float want = 0.0f;
            for (int p = 0; p < n; ++p)
                want += a[i * n + p] * b[p * n + j];
            if (c[i * n + j] != want) {
                fprintf(stderr, "C[%d][%d] = %g, expected %g\n", i, j, c[i * n + j], want);
                return 1;
            }
        }

    struct probe p;
    memset(&p, 0, sizeof p);
    gomp_parallel(body, &p, 4, 0);
    for (int i = 0; i < 4; ++i)
        if (atomic_load(&p.visits[i]) != 1) {
            fprintf(stderr, "team member %d ran %d times\n", i, atomic_load(&p.visits[i]));
            return 1;
        }
    if (atomic_load(&p.bad_team) != 0 || atomic_load(&p.out_of_range) != 0) {
        fprintf(stderr, "team size wrong\n");
        return 1;
    }
    printf("dlmopen smoke: namespace %ld, 64x64 product exact, team of 4 ran\n", (long)lmid);
    return 0;
}
