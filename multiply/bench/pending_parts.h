// The two pieces of the program that the benchmark driver reaches but that
// this build does not have yet: the agg1 engine's pool and the statistics
// that the equilibration transform publishes after each transform. Method
// set-up refuses every agg1 and "scale_" method in this build, so these
// stand-ins are never asked for anything real: the pool start does nothing
// and the statistics stay zero.
//
// Everything here goes away when the engine and the transform join the
// build; the driver then includes their own headers instead.
#pragma once

#include <cstdint>

namespace agg1 {

// Starts the agg1 pool on CPUs from cpu_base (nothing to start here).
inline void init_pool(int /*workers*/, int /*cpu_base*/) {}

}  // namespace agg1

namespace equil {

// What the latest equilibration transform published.
struct PublishedStats {
    const float* a = nullptr;  // the scaled views and their strides
    std::uint64_t lda = 0;
    const float* b = nullptr;
    std::uint64_t ldb = 0;
    std::uint64_t inner = 0;               // non-zero inner exponents
    std::uint64_t rows = 0;                // non-zero row exponents of A
    std::uint64_t columns = 0;             // non-zero column exponents of B
    std::uint64_t preflight_failures = 0;  // entries whose scaling was not exact
    bool applied = false;                  // A and B were scaled
    bool certificate = false;              // the preflight passed
};
inline PublishedStats published;

}  // namespace equil
