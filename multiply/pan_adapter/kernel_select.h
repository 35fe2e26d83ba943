// Run-time choice between a leaf kernel's AVX2/FMA build and its AVX-512F build.
//
// Each leaf kernel with an AVX-512F variant keeps one Choice object: the AVX2
// entry and the AVX-512F entry of the same computation. get() returns the
// AVX-512F entry when avx512f_usable(), otherwise the AVX2 entry; the two
// produce bit-identical results, only their register tiles differ. Test builds
// can force either entry (kernel_select_testing.h); the programs cannot.
//
// Only the dedicated AVX-512 kernel sources are compiled with -mavx512f. They
// include avx512_build.h, never this header, so that no inline function of the
// standard library is ever emitted with AVX-512 instructions.
#pragma once

#include <atomic>

namespace kernel_select {

// True when the processor executes AVX-512F (with AVX2 and FMA) and the
// operating system saves the opmask and ZMM registers (XCR0 bits 1, 2, 5, 6
// and 7). Detected on the first call, then cached.
bool avx512f_usable();

template <class Fn>
class ForcedKernel;  // test builds only

template <class Fn>
class Choice {
public:
    constexpr Choice(Fn avx2, Fn avx512) noexcept : avx2_(avx2), avx512_(avx512) {}
    Choice(const Choice&) = delete;
    Choice& operator=(const Choice&) = delete;

    Fn get() const noexcept {
        if (Fn forced = forced_.load(std::memory_order_relaxed)) return forced;
        return avx512f_usable() ? avx512_ : avx2_;
    }
    Fn avx2() const noexcept { return avx2_; }
    Fn avx512() const noexcept { return avx512_; }

private:
    friend class ForcedKernel<Fn>;
    const Fn avx2_;
    const Fn avx512_;
    mutable std::atomic<Fn> forced_{nullptr};
};

}  // namespace kernel_select
