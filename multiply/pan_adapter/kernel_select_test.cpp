// The machinery behind the AVX-512F kernel variants: the portable AVX-512
// build that stands in for the hardware in tests must fuse multiply-adds and
// trap on misaligned aligned accesses like it, the processor check must agree
// with the operating system, and the test-only forcing switch must take effect
// and undo itself.
//
// Compiled like the emulated kernels: AVX2/FMA flags, SIMDe's _mm512_* aliases
// (avx512_build.h refuses to build if SIMDe would use the hardware instead).
#include "multiply/pan_adapter/avx512_build.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include "common/testing/test_support.h"
#include "multiply/pan_adapter/kernel_select.h"
#include "multiply/pan_adapter/kernel_select_testing.h"

TEST(Avx512Emulation, FmaddIsFused) {
    // The emulated kernels are compared bit for bit with the AVX2 ones, which
    // catches any other difference from the hardware's rounding; an unfused
    // fmadd must fail here already. (1 + 2^-12)^2 - 1 is 2^-11 + 2^-24
    // exactly, but the rounded square minus 1 is 2^-11.
    const float x = 1.0f + std::ldexp(1.0f, -12);
    volatile float square = x * x;
    ASSERT_NE(std::fma(x, x, -1.0f), square - 1.0f) << "operands do not tell fused from unfused";
    alignas(64) float out[16];
    _mm512_store_ps(out, _mm512_fmadd_ps(_mm512_set1_ps(x), _mm512_set1_ps(x), _mm512_set1_ps(-1.0f)));
    for (float f : out) EXPECT_EQ(bits_of(f), bits_of(std::fma(x, x, -1.0f)));
}

TEST(Avx512EmulationDeathTest, MisalignedAlignedAccessTrapsLikeTheHardware) {
    alignas(64) static float buf[64];
    volatile std::uintptr_t offset = 4;  // bytes: a float-aligned address, not 64-byte aligned
    float* p = reinterpret_cast<float*>(reinterpret_cast<std::uintptr_t>(buf) + offset);
    EXPECT_DEATH(
        {
            alignas(64) float out[16];
            _mm512_storeu_ps(out, _mm512_load_ps(p));
        },
        "");
    EXPECT_DEATH(_mm512_store_ps(p, _mm512_setzero_ps()), "");
    _mm512_store_ps(buf, _mm512_load_ps(buf + 16));  // aligned: fine
}

TEST(KernelSelect, DetectionAgreesWithTheOperatingSystem) {
    // Linux lists avx512f among a CPU's flags only when it also saves the ZMM
    // state, the same condition the detection checks.
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    bool listed = false, found_flags = false;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("flags", 0) != 0) continue;
        found_flags = true;
        std::istringstream words(line);
        std::string w;
        while (words >> w) listed = listed || w == "avx512f";
        break;
    }
    if (!found_flags) GTEST_SKIP() << "/proc/cpuinfo has no flags line to compare with";
    EXPECT_EQ(kernel_select::avx512f_usable(), listed);
}

namespace {
int entry_avx2() { return 2; }
int entry_avx512() { return 512; }
int entry_other() { return 7; }
using EntryFn = int (*)();
constinit kernel_select::Choice<EntryFn> choice{&entry_avx2, &entry_avx512};
}  // namespace

TEST(KernelSelect, ChoiceFollowsTheProcessorUnlessForced) {
    const EntryFn natural = kernel_select::avx512f_usable() ? &entry_avx512 : &entry_avx2;
    EXPECT_EQ(choice.get(), natural);
    {
        kernel_select::ForcedKernel<EntryFn> outer(choice, &entry_avx2);
        EXPECT_EQ(choice.get()(), 2);
        {
            kernel_select::ForcedKernel<EntryFn> inner(choice, &entry_other);
            EXPECT_EQ(choice.get()(), 7);
        }
        EXPECT_EQ(choice.get()(), 2);  // the inner scope restores the outer forcing
    }
    EXPECT_EQ(choice.get(), natural);
}
