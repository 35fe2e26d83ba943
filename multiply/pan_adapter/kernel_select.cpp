#include "multiply/pan_adapter/kernel_select.h"

#include <cpuid.h>

#include <cstdint>

namespace kernel_select {

namespace {

bool detect_avx512f() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid_max(0, nullptr) < 7) return false;
    __cpuid(1, a, b, c, d);
    const bool fma = (c & bit_FMA) != 0;
    const bool osxsave = (c & bit_OSXSAVE) != 0;
    if (!fma || !osxsave) return false;
    __cpuid_count(7, 0, a, b, c, d);
    const bool avx2 = (b & bit_AVX2) != 0;
    const bool avx512f = (b & bit_AVX512F) != 0;
    if (!avx2 || !avx512f) return false;
    // XCR0: SSE (1), AVX (2), opmask (5), upper halves of ZMM0-15 (6), ZMM16-31 (7).
    std::uint32_t lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    constexpr std::uint32_t kZmmState = (1u << 1) | (1u << 2) | (1u << 5) | (1u << 6) | (1u << 7);
    return (lo & kZmmState) == kZmmState;
}

}  // namespace

bool avx512f_usable() {
    static const bool usable = detect_avx512f();
    return usable;
}

}  // namespace kernel_select
