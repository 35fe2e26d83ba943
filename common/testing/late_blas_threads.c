/* Test support, loaded with LD_PRELOAD: the threads that OpenBLAS starts
 * itself (when it loads, or later) begin running 5 to 100 ms after they are
 * created, as they may on a busy machine. Threads that anything else creates
 * start as usual.
 *
 * pthread_create is replaced; a call whose caller lies in a shared object
 * whose file name contains "openblas" gets a start routine that sleeps first
 * and then runs the one asked for. The delayed thread itself allocates
 * nothing (a first malloc or free in a thread gives it an arena of its own,
 * address space that OpenBLAS's thread would not take). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdatomic.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define LB_EXPORT __attribute__((visibility("default")))

typedef int (*lb_create_fn)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

struct lb_late_start {
    void* (*routine)(void*);
    void* argument;
    long delay_ns;
};

/* One slot per delayed thread; a process that creates more than this many
 * starts the rest at once. */
#define LB_SLOTS 1024
static struct lb_late_start lb_slots[LB_SLOTS];
static atomic_uint lb_created;

/* 5 to 100 ms, a different value for every thread and every process. */
static long lb_delay_ns(unsigned index)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    unsigned x = (unsigned)getpid() * 2654435761u ^ (unsigned)now.tv_nsec ^ (index + 1u) * 40503u;
    x ^= x >> 15;
    x *= 0x2c1b3c6du;
    x ^= x >> 12;
    x *= 0x297a2d39u;
    x ^= x >> 15;
    return (5 + (long)(x % 96u)) * 1000000L;
}

static void* lb_start_late(void* p)
{
    const struct lb_late_start late = *(const struct lb_late_start*)p;
    struct timespec left = {late.delay_ns / 1000000000L, late.delay_ns % 1000000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    return late.routine(late.argument);
}

static int lb_called_from_openblas(const void* caller)
{
    Dl_info info;
    return dladdr(caller, &info) != 0 && info.dli_fname != NULL && strstr(info.dli_fname, "openblas") != NULL;
}

LB_EXPORT int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*routine)(void*), void* argument)
{
    lb_create_fn next = (lb_create_fn)dlsym(RTLD_NEXT, "pthread_create");
    if (next == NULL) return EAGAIN;
    if (!lb_called_from_openblas(__builtin_return_address(0))) return next(thread, attr, routine, argument);
    const unsigned index = atomic_fetch_add(&lb_created, 1u);
    if (index >= LB_SLOTS) return next(thread, attr, routine, argument);
    struct lb_late_start* late = &lb_slots[index];
    late->routine = routine;
    late->argument = argument;
    late->delay_ns = lb_delay_ns(index);
    return next(thread, attr, lb_start_late, late);
}
