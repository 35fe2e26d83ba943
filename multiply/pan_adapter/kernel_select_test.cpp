// The machinery behind the AVX-512F kernel variants: the portable AVX-512
// build that stands in for the hardware in tests must round exactly like it
// (also the subtraction the term-product tiles use for coefficient -1),
// the processor check must agree with the operating system, and the test-only
// forcing switch must take effect and undo itself.
//
// Compiled like the emulated kernels: AVX2/FMA flags, SIMDe's _mm512_* aliases
// (avx512_build.h refuses to build if SIMDe would use the hardware instead).
#include "multiply/pan_adapter/avx512_build.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "common/test_support.h"
#include "multiply/pan_adapter/kernel_select.h"
#include "multiply/pan_adapter/kernel_select_testing.h"

namespace {

// Random floats over the whole exponent range, subnormals, zeros of both
// signs and infinities included (no NaN: which of two NaN operands an
// instruction returns is not part of the arithmetic).
float wild(std::mt19937& rng) {
    const std::uint32_t u = rng();
    switch (u % 8) {
        case 0:
            return from_bits(rng() & 0x807FFFFFu);  // subnormal or zero
        case 1:
            return std::ldexp(std::uniform_real_distribution<float>(-1, 1)(rng),
                              static_cast<int>(rng() % 40) - 140);  // near the subnormal range
        case 2:
            return (u & 16) ? std::numeric_limits<float>::infinity()
                            : -std::numeric_limits<float>::infinity();
        default: {
            const float f = from_bits(rng());
            return std::isnan(f) ? 1.0f : f;
        }
    }
}

using Lanes = std::vector<float>;

Lanes lanes(__m512 v) {
    Lanes out(16);
    _mm512_storeu_ps(out.data(), v);
    return out;
}

void expect_same_bits_of(const Lanes& got, const Lanes& want, const char* what) {
    for (int i = 0; i < 16; ++i)
        if (!(std::isnan(got[i]) && std::isnan(want[i]))) {
            EXPECT_EQ(bits_of(got[i]), bits_of(want[i])) << what << " lane " << i << ": " << got[i]
                                                   << " vs " << want[i];
        }
}

// Any finite or infinite float, with many zeros of both signs, subnormals and
// values of neighbouring magnitude (whose difference cancels).
float sub_operand(std::mt19937& rng, float other) {
    switch (rng() % 6) {
        case 0: return from_bits(rng() & 0x807FFFFFu);  // subnormal or zero
        case 1: return (rng() & 1) ? 0.0f : -0.0f;
        case 2: return (rng() & 1) ? std::numeric_limits<float>::infinity()
                                   : -std::numeric_limits<float>::infinity();
        case 3: return std::nextafter(other, (rng() & 1) ? 1e30f : -1e30f);
        default: {
            const float f = from_bits(rng());
            return std::isnan(f) ? 2.5f : f;
        }
    }
}

}  // namespace

TEST(Avx512Emulation, FmaddIsFusedAndAddLoadStoreBroadcastAreExact) {
    // Operands whose fused and unfused results differ: (1 + 2^-12)^2 - 1 is
    // 2^-11 + 2^-24 exactly, but the rounded square minus 1 is 2^-11.
    const float x = 1.0f + std::ldexp(1.0f, -12);
    volatile float square = x * x;
    ASSERT_NE(std::fma(x, x, -1.0f), square - 1.0f) << "operands do not tell fused from unfused";
    const Lanes fused =
        lanes(_mm512_fmadd_ps(_mm512_set1_ps(x), _mm512_set1_ps(x), _mm512_set1_ps(-1.0f)));
    for (float f : fused) EXPECT_EQ(bits_of(f), bits_of(std::fma(x, x, -1.0f)));

    // Random lanes against the scalar definitions: fmadd is one rounding of
    // a*b + c (gradual underflow kept), add one rounding of a + b.
    std::mt19937 rng(7);
    alignas(64) float a[16], b[16], c[16];
    for (int round = 0; round < 20000; ++round) {
        for (int i = 0; i < 16; ++i) {
            a[i] = wild(rng);
            b[i] = wild(rng);
            c[i] = wild(rng);
        }
        // Products landing among the subnormals, and exact cancellations.
        if (round % 3 == 0)
            for (int i = 0; i < 8; ++i) c[i] = -a[i] * b[i];
        const __m512 va = _mm512_load_ps(a), vb = _mm512_load_ps(b), vc = _mm512_load_ps(c);
        Lanes want_fma(16), want_add(16);
        for (int i = 0; i < 16; ++i) {
            want_fma[i] = std::fma(a[i], b[i], c[i]);
            want_add[i] = a[i] + c[i];
        }
        expect_same_bits_of(lanes(_mm512_fmadd_ps(va, vb, vc)), want_fma, "fmadd");
        expect_same_bits_of(lanes(_mm512_add_ps(va, vc)), want_add, "add");
        if (HasFailure()) return;
    }

    // Broadcasts, loads and stores move bits untouched: NaN payloads, -0,
    // subnormals. Unaligned stores write exactly 16 floats.
    const float specials[] = {from_bits(0x7FC12345u), from_bits(0xFFC00000u), -0.0f,
                              from_bits(0x00000001u), from_bits(0x807FFFFFu),
                              std::numeric_limits<float>::infinity()};
    for (float v : specials) {
        const Lanes got = lanes(_mm512_set1_ps(v));
        for (float f : got) EXPECT_EQ(bits_of(f), bits_of(v));
    }
    alignas(64) float src[48], dst[48];
    for (int i = 0; i < 48; ++i) src[i] = specials[i % 6];
    for (int offset : {0, 1, 7}) {
        for (float& f : dst) f = 3.5f;
        _mm512_storeu_ps(dst + offset, _mm512_loadu_ps(src + offset + 16));
        _mm512_store_ps(dst + 32, _mm512_load_ps(src + 16));
        for (int i = 0; i < 32; ++i) {
            const bool written = i >= offset && i < offset + 16;
            EXPECT_EQ(bits_of(dst[i]), bits_of(written ? src[i + 16] : 3.5f)) << offset << " " << i;
        }
        for (int i = 32; i < 48; ++i) EXPECT_EQ(bits_of(dst[i]), bits_of(src[i - 16]));
    }
    for (float f : lanes(_mm512_setzero_ps())) EXPECT_EQ(bits_of(f), 0u);
}

TEST(Avx512Emulation, WideningHalvesAndDoubleAddsAreExact) {
    // The FP64 side of the accurate tiles: the low and high eight floats of a
    // vector widened to doubles (exact, lanes in order), the double adds (one
    // rounding each, gradual underflow kept) and the unaligned double loads
    // and stores (exactly eight doubles, bits untouched).
    std::mt19937 rng(11);
    alignas(64) float f[16];
    double x[8], y[8];
    for (int round = 0; round < 20000; ++round) {
        for (float& v : f) v = wild(rng);
        if (round % 5 == 0) f[round % 16] = from_bits(0xFFC00000u);  // the hardware's NaN
        const __m512 v = _mm512_load_ps(f);
        alignas(64) double lo[8], hi[8];
        _mm512_storeu_pd(lo, _mm512_cvtps_pd(_mm512_castps512_ps256(v)));
        _mm512_storeu_pd(
            hi, _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(v), 1))));
        for (int i = 0; i < 8; ++i) {
            const double want_lo = f[i], want_hi = f[8 + i];
            EXPECT_EQ(std::memcmp(&lo[i], &want_lo, 8), 0) << f[i] << " lane " << i;
            EXPECT_EQ(std::memcmp(&hi[i], &want_hi, 8), 0) << f[8 + i] << " lane " << 8 + i;
        }

        // Doubles from widened floats and their sums and differences, so
        // that additions cancel, overflow and land among the subnormals.
        for (int i = 0; i < 8; ++i) {
            const int e = static_cast<int>(rng() % 2000) - 1000;
            x[i] = std::ldexp(static_cast<double>(wild(rng)), e);
            y[i] = i % 3 == 0 ? -x[i] * (1.0 + 0x1p-40) : static_cast<double>(wild(rng));
            if (std::isnan(x[i]) || std::isnan(y[i])) x[i] = y[i] = 0.5;
        }
        if (round % 7 == 0) {
            x[0] = 0x1p-1074;  // the smallest subnormal double
            y[1] = -0x1p-1022 * 1.5;
            x[1] = 0x1p-1022;
            x[2] = std::numeric_limits<double>::max();
            y[2] = std::numeric_limits<double>::max();
        }
        double sum[8];
        _mm512_storeu_pd(sum, _mm512_add_pd(_mm512_loadu_pd(x), _mm512_loadu_pd(y)));
        for (int i = 0; i < 8; ++i) {
            const double want = x[i] + y[i];
            if (!(std::isnan(sum[i]) && std::isnan(want))) {
                EXPECT_EQ(std::memcmp(&sum[i], &want, 8), 0)
                    << x[i] << " + " << y[i] << ": " << sum[i] << " vs " << want;
            }
        }
        if (HasFailure()) return;
    }

    double src[24], dst[24];
    for (int i = 0; i < 24; ++i) src[i] = i % 3 == 0 ? -0.0 : 0x1p-1070 * (i + 1);
    for (int offset : {0, 1, 5}) {
        for (double& d : dst) d = 2.5;
        _mm512_storeu_pd(dst + offset, _mm512_loadu_pd(src + offset + 3));
        for (int i = 0; i < 24; ++i) {
            const double want = i >= offset && i < offset + 8 ? src[i + 3] : 2.5;
            EXPECT_EQ(std::memcmp(&dst[i], &want, 8), 0) << offset << " " << i;
        }
    }
}

TEST(Avx512EmulationSub, RoundsEveryLaneLikeScalarSubtraction) {
    std::mt19937 rng(11);
    alignas(64) float c[16], p[16], got[16];
    for (int round = 0; round < 20000; ++round) {
        for (int i = 0; i < 16; ++i) {
            c[i] = sub_operand(rng, 1.0f);
            p[i] = sub_operand(rng, c[i]);
        }
        if (round == 0) {  // the signed-zero rules: x - x is +0, -0 - +0 is -0
            c[0] = 0.0f, p[0] = 0.0f;
            c[1] = -0.0f, p[1] = 0.0f;
            c[2] = 0.0f, p[2] = -0.0f;
            c[3] = 3.0f, p[3] = 3.0f;
        }
        _mm512_store_ps(got, _mm512_sub_ps(_mm512_load_ps(c), _mm512_load_ps(p)));
        for (int i = 0; i < 16; ++i) {
            // inf - inf gives the processor's default NaN in both.
            const float want = c[i] - p[i];
            ASSERT_EQ(bits_of(got[i]), bits_of(want)) << c[i] << " - " << p[i] << " lane " << i;
        }
    }
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
