/* Loads the stand-in the way the program does (dlmopen into a new link-map
 * namespace, RTLD_NOW), which loads a second libc and libgomp with their own
 * static TLS, then runs a 64x64 product and a 4-thread OpenMP region through
 * the bound symbols. Usage: dlmopen_smoke <library path> */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>

static void* handle;
static int (*team_size)(void), (*member)(void);
static atomic_int visits[4], strangers;

static void body(void* data)
{
    (void)data;
    unsigned id = (unsigned)member();
    atomic_fetch_add(team_size() == 4 && id < 4 ? &visits[id] : &strangers, 1);
}

static void* bind(const char* name)
{
    void* address = dlsym(handle, name);
    if (address == NULL) {
        fprintf(stderr, "missing symbol %s\n", name);
        exit(1);
    }
    return address;
}

int main(int argc, char** argv)
{
    Lmid_t lmid = LM_ID_BASE;
    handle = argc == 2 ? dlmopen(LM_ID_NEWLM, argv[1], RTLD_NOW) : NULL;
    if (handle == NULL || dlinfo(handle, RTLD_DI_LMID, &lmid) != 0 || lmid == LM_ID_BASE) {
        fprintf(stderr, "usage: dlmopen_smoke <library>; not loaded in a new namespace\n");
        return 1;
    }
    void (*sgemm)(int, int, int, int, int, int, float, const float*, int, const float*, int,
                  float, float*, int) = bind("cblas_sgemm");
    void (*gomp_parallel)(void (*)(void*), void*, unsigned, unsigned) = bind("GOMP_parallel");
    team_size = bind("omp_get_num_threads");
    member = bind("omp_get_thread_num");

    enum { n = 64 };
    static float a[n * n], b[n * n], c[n * n];
    for (int i = 0; i < n * n; ++i) {
        a[i] = (float)((i * 7) % 13 - 6);
        b[i] = (float)((i * 5) % 11 - 5);
    }
    sgemm(101, 111, 111, n, n, n, 1.0f, a, n, b, n, 0.0f, c, n);
    /* small integers: every product and sum is exact in float */
    for (int i = 0; i < n * n; ++i) {
        float want = 0.0f;
        for (int p = 0; p < n; ++p)
            want += a[i / n * n + p] * b[p * n + i % n];
        if (c[i] != want) {
            fprintf(stderr, "C[%d][%d] = %g, expected %g\n", i / n, i % n, c[i], want);
            return 1;
        }
    }

    gomp_parallel(body, NULL, 4, 0);
    for (int i = 0; i < 4; ++i)
        if (visits[i] != 1 || strangers != 0) {
            fprintf(stderr, "team member %d ran %d times; %d calls from outside a team of 4\n",
                    i, (int)visits[i], (int)strangers);
            return 1;
        }
    printf("dlmopen smoke: namespace %ld, 64x64 product exact, team of 4 ran\n", (long)lmid);
    return 0;
}
