// Test builds only: forces a kernel Choice to one entry for the lifetime of a
// ForcedKernel object, then restores what was forced before (usually nothing).
// Only targets that define KORVANE_TESTING (tests and benchmarks) may include
// this header. Forcing the AVX-512F entry on a processor without usable
// AVX-512F crashes; check kernel_select::avx512f_usable() first.
#pragma once

#ifndef KORVANE_TESTING
#error "kernel_select_testing.h is for test builds only"
#endif

#include "multiply/pan_adapter/kernel_select.h"

namespace kernel_select {

template <class Fn>
class ForcedKernel {
public:
    ForcedKernel(const Choice<Fn>& choice, Fn fn) noexcept
        : choice_(choice), previous_(choice.forced_.exchange(fn)) {}
    ~ForcedKernel() { choice_.forced_.store(previous_); }
    ForcedKernel(const ForcedKernel&) = delete;
    ForcedKernel& operator=(const ForcedKernel&) = delete;

private:
    const Choice<Fn>& choice_;
    Fn previous_;
};

}  // namespace kernel_select
