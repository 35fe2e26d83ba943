#include "modp/alloc.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "common/output_file.h"
#include "common/process_exit.h"
#include "modp/pool.h"

namespace torvik {

namespace {
Pool* g_pool_to_stop = nullptr;
constexpr std::uintptr_t kHugePage = std::uintptr_t{1} << 21;
}

void stop_pool_on_alloc_failure(Pool* pool) { g_pool_to_stop = pool; }

void alloc_failed() {
    if (Pool* pool = g_pool_to_stop) {
        g_pool_to_stop = nullptr;
        pool->stop();
    }
    // The process ends here without unwinding: C's new file goes now.
    remove_new_output_files();
    std::fputs("alloc failed\n", stderr);
    end_process(1);
}

double* alloc_aligned(std::size_t count) {
    // A byte count that does not fit in size_t can never be allocated.
    if (count > (SIZE_MAX - 63) / sizeof(double)) alloc_failed();
    std::size_t bytes = (count * sizeof(double) + 63) & ~static_cast<std::size_t>(63);
    if (bytes == 0) bytes = 64;
    void* p = nullptr;
    if (posix_memalign(&p, 64, bytes) != 0 || p == nullptr) alloc_failed();
    // Blocks of the padded matrices are walked with a row stride of tens of
    // kilobytes, a new 4 KiB page per row: ask for huge pages on the whole
    // 2 MiB pages inside large buffers (a refusal only costs speed).
    const std::uintptr_t begin = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t last = (begin + bytes) & ~(kHugePage - 1);
    if (last > first) (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    return static_cast<double*>(p);
}

}  // namespace torvik
