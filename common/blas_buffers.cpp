#include "common/blas_buffers.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>

// The buffer table of OpenBLAS. Weak: an OpenBLAS without it (or a process
// without OpenBLAS) leaves both null, and nothing needs reserving.
// blas_thread_shutdown_ ends OpenBLAS's own threads (null in an OpenBLAS
// without it: those threads then keep running).
extern "C" {
void* blas_memory_alloc(int procpos) __attribute__((weak));
void blas_memory_free(void* buffer) __attribute__((weak));
int blas_thread_shutdown_(void) __attribute__((weak));
}

namespace {

// BUFFER_SIZE of OpenBLAS's x86-64 builds (32 << 22 bytes).
constexpr std::size_t kBufferBytes = std::size_t{32} << 22;
// The table holds 2 * MAX_THREADS (128) buffers, and OpenBLAS's own threads,
// where they cannot be ended, keep up to 63 of them: at most 65 are left for
// the program's callers.
constexpr int kMostReserved = 65;

// Whether `buffers` buffers can be mapped now: maps them one at a time, as
// OpenBLAS does, and unmaps them again.
bool room_for(int buffers) {
    void* probes[kMostReserved + 1];
    int mapped = 0;
    while (mapped < buffers) {
        void* p = mmap(nullptr, kBufferBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) break;
        probes[mapped++] = p;
    }
    for (int i = 0; i < mapped; ++i) munmap(probes[i], kBufferBytes);
    return mapped == buffers;
}

}  // namespace

bool reserve_blas_buffers(int callers) {
    if (blas_memory_alloc == nullptr || blas_memory_free == nullptr) return true;
    const int count = std::clamp(callers, 1, kMostReserved);
    // OpenBLAS cannot fail a mapping, so make sure first that the buffers
    // fit, with one to spare for a thread that maps something meanwhile.
    // Checked before OpenBLAS's threads are ended, as one that met the
    // shortage itself would never end, and again afterwards, as the ones
    // that started late may have mapped buffers of their own.
    if (!room_for(count + 1)) return false;
    if (blas_thread_shutdown_ != nullptr) {
        // Ended, they can take no reserved buffer; the ones they held go
        // back to the table.
        blas_thread_shutdown_();
        if (!room_for(count + 1)) return false;
    }
    // Holding all of them at once makes the table map the ones it lacks;
    // handed back, they stay mapped for the callers to come.
    void* held[kMostReserved];
    int taken = 0;
    while (taken < count) {
        void* buffer = blas_memory_alloc(0);
        if (buffer == nullptr) break;  // the table is full
        held[taken++] = buffer;
    }
    for (int i = 0; i < taken; ++i) blas_memory_free(held[i]);
    return true;
}
