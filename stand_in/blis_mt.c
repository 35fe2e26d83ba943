/* libblis-mt.so.5.3.2: a stand-in for the multithreaded AOCL-BLAS build.
 *
 * It offers the entry points the float32 program binds by name, with the
 * library's ABI (native integers 64-bit, CBLAS integers 32-bit), and runs the
 * products on Debian's OpenMP build of BLIS. GOMP_parallel and the omp_*
 * queries are not defined here: they come from libgomp, one of our
 * dependencies, so a dlsym on our handle finds libgomp's own.
 *
 * Thread model: one process-wide setting plus an optional setting per
 * thread. A thread that has a setting of its own uses it for its products
 * and reads it back through the getters; any other thread uses the
 * process-wide one. Every product builds its own BLIS runtime object from
 * that setting, so BLIS's global thread state is never consulted and
 * one-thread products from many threads stay independent.
 *
 * Test-only variants are built from this file with these definitions:
 *   KV_VERSION_TEXT="..."  version string returned by bli_info_get_version_str
 *   KV_NULL_VERSION        bli_info_get_version_str returns NULL
 *   KV_INT_TYPE_SIZE=n     native integer size reported
 *   KV_OMIT_IR_NT          bli_thread_get_ir_nt is not defined
 *   KV_IGNORE_LOCAL        bli_thread_set_num_threads_local has no effect
 *   KV_SHORT_TEAM          a team asked for more than one thread gets one less
 *   KV_UNPINNED_TEAM       every member of such a team leaves its place and may
 *                          run on any CPU of the team's places (OMP_PLACES)
 *   KV_ONE_CPU_TEAM        every member of such a team runs on the first place
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "stand_in/bridge.h"

#define KV_EXPORT __attribute__((visibility("default")))

#ifndef KV_VERSION_TEXT
#define KV_VERSION_TEXT "5.3.2"
#endif
#ifndef KV_INT_TYPE_SIZE
#define KV_INT_TYPE_SIZE 64
#endif

/* From libgomp. */
extern void GOMP_parallel(void (*fn)(void*), void* data, unsigned num_threads, unsigned flags);

static kv_setting kv_process;
static pthread_mutex_t kv_process_lock = PTHREAD_MUTEX_INITIALIZER;

static __thread kv_setting kv_local;
static __thread int kv_has_local;
/* Set once libgomp has given this thread its place (see kv_place_thread). */
static __thread int kv_placed;

/* fflush of the libc that the loading program uses. Loaded with dlmopen, we
 * have a libc of our own whose streams are not the program's. Found at load
 * time, while memory is still there to find it with. */
typedef int (*kv_fflush_fn)(FILE*);
static kv_fflush_fn kv_program_fflush;

__attribute__((constructor)) static void kv_load(void)
{
    void* base = dlmopen(LM_ID_BASE, "libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
    if (base != NULL)
        kv_program_fflush = (kv_fflush_fn)dlsym(base, "fflush");
    kv_bridge_init(&kv_process);
}

/* BLIS ends the process through bli_abort when it meets an error it cannot
 * hand back, after printing what it was; in practice an allocation that
 * fails in the middle of a product. BLIS calls it through its PLT, so this
 * definition, which comes before BLIS in our search list, replaces the one
 * that dumps core: the program's output is flushed and the process ends the
 * way the program ends on any failure, with a FAILED line and status 2. */
KV_EXPORT void bli_abort(void)
{
    static const char line[] = "FAILED AOCL backend: BLIS stopped on the error above\n";
    if (kv_program_fflush != NULL)
        kv_program_fflush(NULL);
    fflush(NULL);
    ssize_t ignored = write(STDERR_FILENO, line, sizeof line - 1);
    (void)ignored;
    _exit(2);
}

static void kv_die(const char* what)
{
    static const char prefix[] = "libblis-mt stand-in: ";
    ssize_t ignored = write(STDERR_FILENO, prefix, sizeof prefix - 1);
    ignored = write(STDERR_FILENO, what, strlen(what));
    ignored = write(STDERR_FILENO, "\n", 1);
    (void)ignored;
    abort();
}

static void kv_current(kv_setting* out)
{
    if (kv_has_local) {
        *out = kv_local;
        return;
    }
    pthread_mutex_lock(&kv_process_lock);
    *out = kv_process;
    pthread_mutex_unlock(&kv_process_lock);
}

static void kv_make_count(kv_setting* s, int64_t n)
{
    s->threads = n;
    s->has_ways = 0;
    for (int i = 0; i < KV_LOOPS; ++i)
        s->ways[i] = -1;
}

/* With OMP_PLACES and OMP_PROC_BIND in force when libgomp loads, libgomp
 * binds every thread it did not create to the first place the first time
 * that thread starts a parallel region, and BLIS starts one even for a
 * one-thread product. libgomp does this once per thread. So before a thread's
 * first product we let it start an empty one-thread region and then give it
 * its own affinity back: from then on libgomp leaves the thread where its
 * owner put it, and every product (the first one included) runs there. */
static void kv_noop(void* data)
{
    (void)data;
}

static void kv_place_thread(void)
{
    cpu_set_t* saved = NULL;
    size_t size = 0;
    for (int cpus = 1024; cpus <= (1 << 16); cpus *= 2) {
        saved = CPU_ALLOC(cpus);
        if (saved == NULL)
            kv_die("out of memory reading caller affinity");
        size = CPU_ALLOC_SIZE(cpus);
        if (sched_getaffinity(0, size, saved) == 0)
            break;
        int error = errno;
        CPU_FREE(saved);
        saved = NULL;
        if (error != EINVAL)
            break;
    }
    if (saved == NULL)
        kv_die("unable to read caller affinity");
    GOMP_parallel(kv_noop, NULL, 1, 0);
    if (sched_setaffinity(0, size, saved) != 0)
        kv_die("unable to restore caller affinity");
    CPU_FREE(saved);
    kv_placed = 1;
}

static int kv_valid_trans(int t)
{
    return t == KV_NO_TRANS || t == KV_TRANS || t == KV_CONJ_TRANS;
}

static int64_t kv_max1(int64_t v)
{
    return v > 1 ? v : 1;
}

/* Checks the arguments the way the reference CBLAS does; returns the
 * position of the first bad argument, 0 when all are usable. A bad leading
 * dimension would make BLIS read or write outside the caller's arrays. */
static int kv_check_sgemm(int order, int ta, int tb, int m, int n, int k, int lda, int ldb,
                          int ldc)
{
    if (order != KV_ROW_MAJOR && order != KV_COL_MAJOR)
        return 1;
    if (!kv_valid_trans(ta))
        return 2;
    if (!kv_valid_trans(tb))
        return 3;
    if (m < 0)
        return 4;
    if (n < 0)
        return 5;
    if (k < 0)
        return 6;
    int64_t need_a, need_b, need_c;
    if (order == KV_COL_MAJOR) {
        need_a = ta == KV_NO_TRANS ? m : k;
        need_b = tb == KV_NO_TRANS ? k : n;
        need_c = m;
    } else {
        need_a = ta == KV_NO_TRANS ? k : m;
        need_b = tb == KV_NO_TRANS ? n : k;
        need_c = n;
    }
    if (lda < kv_max1(need_a))
        return 9;
    if (ldb < kv_max1(need_b))
        return 11;
    if (ldc < kv_max1(need_c))
        return 14;
    return 0;
}

KV_EXPORT void cblas_sgemm(int order, int transa, int transb, int m, int n, int k, float alpha,
                           const float* a, int lda, const float* b, int ldb, float beta,
                           float* c, int ldc)
{
    int bad = kv_check_sgemm(order, transa, transb, m, n, k, lda, ldb, ldc);
    if (bad != 0) {
        fprintf(stderr, "Parameter %d to routine cblas_sgemm was incorrect\n", bad);
        return;
    }
    if (m == 0 || n == 0)
        return;
    kv_setting setting;
    kv_current(&setting);
    if (!kv_placed)
        kv_place_thread();
    if (order == KV_COL_MAJOR)
        kv_bridge_sgemm_colmajor(transa, transb, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc,
                                 &setting);
    else /* a row-major C is the column-major C^T = op(B)^T op(A)^T */
        kv_bridge_sgemm_colmajor(transb, transa, n, m, k, alpha, b, ldb, a, lda, beta, c, ldc,
                                 &setting);
}

/* Thread settings. Counts and ways below 1 are ignored, as is a set of ways
 * whose product does not fit, so a bad value never replaces a usable one. */

KV_EXPORT void bli_thread_set_num_threads_local(int64_t n)
{
#ifdef KV_IGNORE_LOCAL
    (void)n;
#else
    if (n < 1)
        return;
    kv_make_count(&kv_local, n);
    kv_has_local = 1;
#endif
}

KV_EXPORT void bli_thread_set_num_threads(int64_t n)
{
    if (n < 1)
        return;
    pthread_mutex_lock(&kv_process_lock);
    kv_make_count(&kv_process, n);
    pthread_mutex_unlock(&kv_process_lock);
}

/* Sets the process-wide loop ways and, for a thread that has a setting of
 * its own, that thread's ways too, so the caller reads back what it set. */
KV_EXPORT void bli_thread_set_ways(int64_t jc, int64_t pc, int64_t ic, int64_t jr, int64_t ir)
{
    kv_setting s;
    s.ways[0] = jc;
    s.ways[1] = pc;
    s.ways[2] = ic;
    s.ways[3] = jr;
    s.ways[4] = ir;
    int64_t product = 1;
    for (int i = 0; i < KV_LOOPS; ++i)
        if (s.ways[i] < 1 || __builtin_mul_overflow(product, s.ways[i], &product))
            return;
    s.threads = product;
    s.has_ways = 1;
    pthread_mutex_lock(&kv_process_lock);
    kv_process = s;
    pthread_mutex_unlock(&kv_process_lock);
    if (kv_has_local)
        kv_local = s;
}

KV_EXPORT int64_t bli_thread_get_num_threads(void)
{
    kv_setting s;
    kv_current(&s);
    return s.threads;
}

/* A way that was never set reads -1, as in BLIS. */
static int64_t kv_way(int loop)
{
    kv_setting s;
    kv_current(&s);
    return s.ways[loop];
}

KV_EXPORT int64_t bli_thread_get_jc_nt(void) { return kv_way(0); }
KV_EXPORT int64_t bli_thread_get_pc_nt(void) { return kv_way(1); }
KV_EXPORT int64_t bli_thread_get_ic_nt(void) { return kv_way(2); }
KV_EXPORT int64_t bli_thread_get_jr_nt(void) { return kv_way(3); }
#ifndef KV_OMIT_IR_NT
KV_EXPORT int64_t bli_thread_get_ir_nt(void) { return kv_way(4); }
#endif

#ifdef KV_NULL_VERSION
KV_EXPORT char* bli_info_get_version_str(void) { return NULL; }
#else
static char kv_version[] = KV_VERSION_TEXT;
KV_EXPORT char* bli_info_get_version_str(void) { return kv_version; }
#endif

KV_EXPORT int64_t bli_info_get_int_type_size(void) { return KV_INT_TYPE_SIZE; }
KV_EXPORT int64_t bli_info_get_blas_int_type_size(void) { return 32; }

#if defined(KV_SHORT_TEAM) || defined(KV_UNPINNED_TEAM) || defined(KV_ONE_CPU_TEAM)
/* Test variants with a faulty OpenMP team: our own GOMP_parallel comes first
 * in the namespace (a dlsym on our handle finds it) and passes every region
 * on to libgomp's, short by one member, with its members unpinned, or with
 * all of them on one CPU. */

typedef void (*kv_gomp_parallel_fn)(void (*)(void*), void*, unsigned, unsigned);

#ifndef KV_SHORT_TEAM
struct kv_region {
    void (*fn)(void*);
    void* data;
    cpu_set_t places;
};

static void kv_unpinned_member(void* p)
{
    const struct kv_region* region = p;
    if (sched_setaffinity(0, sizeof region->places, &region->places) != 0)
        kv_die("unable to unpin a team member");
    region->fn(region->data);
}

/* Every CPU named in OMP_PLACES (the places of the whole team), or only the
 * first of them. */
static void kv_places(cpu_set_t* set)
{
    CPU_ZERO(set);
    const char* places = getenv("OMP_PLACES");
    for (const char* p = places != NULL ? places : ""; *p != '\0';) {
        char* end;
        const long cpu = strtol(p, &end, 10);
        if (end == p) {
            ++p;
            continue;
        }
        if (cpu >= 0 && cpu < CPU_SETSIZE)
            CPU_SET((int)cpu, set);
#ifdef KV_ONE_CPU_TEAM
        if (CPU_COUNT(set) > 0)
            return;
#endif
        p = end;
    }
}
#endif

KV_EXPORT void GOMP_parallel(void (*fn)(void*), void* data, unsigned num_threads, unsigned flags)
{
    kv_gomp_parallel_fn gomp = (kv_gomp_parallel_fn)dlsym(RTLD_NEXT, "GOMP_parallel");
    if (gomp == NULL)
        kv_die("libgomp's GOMP_parallel not found");
    if (num_threads <= 1) {
        gomp(fn, data, num_threads, flags);
        return;
    }
#ifdef KV_SHORT_TEAM
    gomp(fn, data, num_threads - 1, flags);
#else
    struct kv_region region = {fn, data, {{0}}};
    kv_places(&region.places);
    gomp(kv_unpinned_member, &region, num_threads, flags);
#endif
}
#endif
