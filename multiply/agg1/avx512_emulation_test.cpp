// The portable AVX-512 build must round like the hardware: the subtraction
// that the 512-bit term-product tiles use for outputs with coefficient -1.
//
// Compiled like the emulated kernels: AVX2/FMA flags, SIMDe's _mm512_* aliases.
#include "multiply/pan_adapter/avx512_build.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>

namespace {

std::uint32_t bits(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}
float from_bits(std::uint32_t u) {
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

// Any finite or infinite float, with many zeros of both signs, subnormals and
// values of neighbouring magnitude (whose difference cancels).
float operand(std::mt19937& rng, float other) {
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

TEST(Avx512EmulationSub, RoundsEveryLaneLikeScalarSubtraction) {
    std::mt19937 rng(11);
    alignas(64) float c[16], p[16], got[16];
    for (int round = 0; round < 20000; ++round) {
        for (int i = 0; i < 16; ++i) {
            c[i] = operand(rng, 1.0f);
            p[i] = operand(rng, c[i]);
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
            ASSERT_EQ(bits(got[i]), bits(want)) << c[i] << " - " << p[i] << " lane " << i;
        }
    }
}
