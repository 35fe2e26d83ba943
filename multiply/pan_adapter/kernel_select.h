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
//
// Adding a variant to a kernel (the pair tiles are the model: pan_kernel_tiles.h,
// pan_kernel_avx512.cpp, pan_kernel_avx512_test.cpp):
//  1. Split the kernel where the register tile starts: a plain argument struct
//     and `using XTilesFn = void (*)(const XTiles&)` in a header without inline
//     functions, declaring x_tiles_avx2, x_tiles_avx512 and x_tiles_avx512_emulated.
//  2. Define `constinit kernel_select::Choice<XTilesFn> x_tiles_choice{...}` beside
//     the AVX2 driver, which calls x_tiles_choice.get() once per call.
//  3. Write x_avx512.cpp: include avx512_build.h first, name the entry
//     KORVANE_AVX512_ENTRY(x_tiles_avx512), everything else in an anonymous
//     namespace; register it with korvane_add_avx512_kernel(<library> x_avx512.cpp)
//     (CMake, multiply/pan_adapter/CMakeLists.txt).
//  4. Test: link x_avx512_emulated, define KORVANE_TESTING, and compare every
//     output bit under ForcedKernel of x_tiles_avx2 with x_tiles_avx512_emulated
//     always and with x_tiles_avx512 when avx512f_usable() (else GTEST_SKIP).
//     Intrinsics not yet covered by kernel_select_test.cpp get a fidelity case there.
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
    Fn avx512() const noexcept { return avx512_; }

private:
    friend class ForcedKernel<Fn>;
    const Fn avx2_;
    const Fn avx512_;
    mutable std::atomic<Fn> forced_{nullptr};
};

}  // namespace kernel_select
