// 64-byte-aligned buffers of doubles. A failed allocation is not an
// exception in this program: it prints "alloc failed" and exits with status 1.
#pragma once

#include <cstddef>

namespace torvik {

class Pool;

// count doubles, 64-byte aligned, byte size rounded up to a multiple of 64;
// contents uninitialised; release with free().
double* alloc_aligned(std::size_t count);

// Prints "alloc failed" and ends the process with status 1, after stopping
// the pool registered with stop_pool_on_alloc_failure (if any) and removing
// the new file of an output file not yet in place.
[[noreturn]] void alloc_failed();

// The pool that an allocation failure must stop and join before the process
// ends (null: none). Only the thread that runs the pool's dispatches may
// allocate while a pool is registered.
void stop_pool_on_alloc_failure(Pool* pool);

}  // namespace torvik
