// The piece of the program that the benchmark driver reaches but that this
// build does not have yet: the agg1 engine's pool. Method set-up refuses
// every agg1 method in this build, so the pool start does nothing.
// This goes away when the engine joins the build; the driver then includes
// its own header instead.
#pragma once

namespace agg1 {

// Starts the agg1 pool on CPUs from cpu_base (nothing to start here).
inline void init_pool(int /*workers*/, int /*cpu_base*/) {}

}  // namespace agg1
