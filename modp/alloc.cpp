#include "modp/alloc.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "modp/pool.h"

namespace torvik {

namespace {
Pool* g_pool_to_stop = nullptr;
}

void stop_pool_on_alloc_failure(Pool* pool) { g_pool_to_stop = pool; }

void alloc_failed() {
    if (Pool* pool = g_pool_to_stop) {
        g_pool_to_stop = nullptr;
        pool->stop();
    }
    std::fputs("alloc failed\n", stderr);
    std::fflush(stderr);
    std::exit(1);
}

double* alloc_aligned(std::size_t count) {
    // A byte count that does not fit in size_t can never be allocated.
    if (count > (SIZE_MAX - 63) / sizeof(double)) alloc_failed();
    std::size_t bytes = (count * sizeof(double) + 63) & ~static_cast<std::size_t>(63);
    if (bytes == 0) bytes = 64;
    void* p = nullptr;
    if (posix_memalign(&p, 64, bytes) != 0 || p == nullptr) alloc_failed();
    return static_cast<double*>(p);
}

}  // namespace torvik
