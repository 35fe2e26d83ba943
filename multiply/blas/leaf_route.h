// Square leaf products of the Pan correction phase, sent to one-thread AOCL
// SGEMM for "aocl_" methods and to OpenBLAS otherwise.
#pragma once

#include <atomic>
#include <cstdint>

namespace leaf_routing {

// Side L of every routed leaf product; set by the Pan preparation.
extern std::uint64_t pan_leaf_side;

// Leaf products of the current Pan run (the router adds 1 per call).
extern std::atomic<std::uint64_t> pan_leaf_counter;

// True when the method name carries the "aocl_" prefix; set by method set-up.
extern bool aocl_corrections;

// C := alpha·A·B + beta·C for row-major L x L operands on the calling thread
// alone, L = pan_leaf_side.
void route_leaf_sgemm(const float* a, std::uint64_t lda, const float* b, std::uint64_t ldb, float* c,
                      std::uint64_t ldc, float alpha, float beta);

}  // namespace leaf_routing
