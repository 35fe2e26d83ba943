// Helpers of the leaf-kernel tests, which compare kernels bit for bit with a
// scalar model or (the AVX-512F register tiles, native and SIMDe builds) with
// the AVX2 tiles: data kinds, canary-fenced blocks and workspaces, the
// comparison, and blocking plans that leave odd strips, panels and depth
// blocks.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "common/testing/test_support.h"
#include "multiply/pan_adapter/kernel_select.h"
#include "multiply/pan_adapter/leaf_plan.h"

namespace kernel_test {

using u64 = std::uint64_t;

// The NaN that x86 arithmetic itself produces (inf - inf, 0 * inf). As the
// only NaN in the data it makes every NaN result this one, so NaN outputs
// compare by their bits too: which of two different NaN operands an
// instruction passes on is the instruction form's choice (and the
// compiler's), not arithmetic.
inline const float kDefaultNaN = from_bits(0xFFC00000u);
inline constexpr float kInf = std::numeric_limits<float>::infinity();

// random: uniform in [-1, 1]. cancellation: magnitudes 2^-20..2^20 of both
// signs (the tests also make a second operand term nearly the negated first),
// so operand sums, FMA chains and chunk sums cancel. subnormal: products (and
// some entries) below the normal range. overflow: products near 2^128, so
// float chunk sums overflow. special: infinities and the default NaN in the
// marked entries; nan_payloads: infinities and two other NaNs there, so
// results may meet NaNs of different bits.
enum class Data { random, cancellation, subnormal, overflow, special, nan_payloads };

inline const char* name(Data d) {
    constexpr const char* names[] = {"random", "cancellation", "subnormal", "overflow", "inf-nan", "nan-payloads"};
    return names[static_cast<int>(d)];
}

// One entry of the kind. Infinities and NaNs only where `edge` (the tests
// mark every fourth row of A and column of B, so most of a product stays
// finite and shows every rounding); with !nan_ok, special data puts 2 where
// the default NaN would go.
inline float value(Data d, std::mt19937& rng, bool edge = false, bool nan_ok = true) {
    const float u = std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng);
    switch (d) {
        case Data::random: return u;
        case Data::cancellation: return std::ldexp(u, static_cast<int>(rng() % 41) - 20);
        case Data::subnormal: return rng() % 8 == 0 ? std::ldexp(u, -130) : std::ldexp(u, -66);
        case Data::overflow: return std::ldexp(u, 54 + static_cast<int>(rng() % 11));
        case Data::special:
        case Data::nan_payloads: break;
    }
    const std::uint32_t r = rng() % 48;
    if (!edge || r > 3) return u;
    if (r < 2) return r == 0 ? kInf : -kInf;
    if (d == Data::special) return nan_ok ? kDefaultNaN : 2.0f;
    return from_bits(r == 2 ? 0x7FC00000u : 0x7FC01234u);
}

// A row-major n x n block of T in a buffer with leading dimension n + pad and
// two spare rows; everything outside the block holds the canary.
template <class T>
struct Fenced {
    u64 n, ld;
    T canary;
    std::vector<T> buf;
    Fenced(u64 n_, u64 pad, T canary_) : n(n_), ld(n_ + pad), canary(canary_), buf(ld * (n_ + 2), canary_) {}
    T& at(u64 i, u64 j) { return buf[i * ld + j]; }
    const T& at(u64 i, u64 j) const { return buf[i * ld + j]; }
    T* p() { return buf.data(); }
};

// Every element of the two buffers bit for bit, the canaries also against
// their fill (a write there is a fault in both). With `any_nan`, a NaN
// matches any NaN.
template <class T>
void expect_identical(const Fenced<T>& got, const Fenced<T>& want, const std::string& what, bool any_nan = false) {
    ASSERT_EQ(got.buf.size(), want.buf.size());
    u64 bad = 0, canaries = 0;
    for (u64 i = 0; i < got.buf.size(); ++i) {
        const T g = got.buf[i], w = want.buf[i];
        const bool same = std::memcmp(&g, &w, sizeof g) == 0 || (any_nan && std::isnan(g) && std::isnan(w));
        if (!same && bad++ < 5)
            ADD_FAILURE() << what << " (" << i / got.ld << "," << i % got.ld << "): " << g << " vs " << w;
        const bool inside = i / got.ld < got.n && i % got.ld < got.n;
        if (!inside && std::memcmp(&g, &got.canary, sizeof g) != 0) ++canaries;
    }
    EXPECT_EQ(bad, 0u) << what;
    EXPECT_EQ(canaries, 0u) << what << ": canaries overwritten";
}

// A kernel workspace of `floats` floats starting one float past a 64-byte
// boundary, fenced by canaries on both sides.
struct Workspace {
    static constexpr float kCanary = 8191.75f;
    u64 floats;
    std::vector<float> storage;
    float* data;
    explicit Workspace(u64 floats_) : floats(floats_), storage(floats_ + 64 + 16, kCanary) {
        data = reinterpret_cast<float*>((reinterpret_cast<std::uintptr_t>(storage.data()) + 63) / 64 * 64 +
                                        sizeof(float));
    }
    void expect_fence_intact() const {
        const std::size_t start = static_cast<std::size_t>(data - storage.data());
        u64 hits = 0;
        for (std::size_t i = 0; i < storage.size(); ++i)
            if ((i < start || i >= start + floats) && std::memcmp(&storage[i], &kCanary, sizeof kCanary) != 0)
                ++hits;
        EXPECT_EQ(hits, 0u) << "workspace written outside its " << floats << " floats";
    }
};

// Plans that block the depth, leave odd strip and panel counts, and keep all
// A panels packed, each with the side it runs on.
struct PlanCase {
    u64 n;
    pan_adapter::LeafPlan plan;
};
inline constexpr PlanCase kPlans[] = {
    {100, {18, 48, 40, 1}},   // 3 strips, 3 panels, depth blocks 40, 40, 20
    {100, {12, 32, 40, 0}},
    {300, {30, 80, 290, 1}},  // 5 strips, 5 panels, a 290-step block: chunks 256 + 34
    {600, {48, 64, 300, 1}},  // two depth blocks of two chunks each
    {67, {0, 0, 33, 0}},      // last depth block of one step
    {65, {6, 16, 64, 1}},     // one strip, one panel per block
    {40, {0, 0, 39, 1}},
};

inline std::string label(u64 n, Data d, const pan_adapter::LeafPlan* plan, int calls) {
    std::string s = "n = " + std::to_string(n) + " " + name(d);
    if (plan)
        s += " mc " + std::to_string(plan->mc) + " nc " + std::to_string(plan->nc) + " kc " +
             std::to_string(plan->kc) + " apf " + std::to_string(plan->apf);
    return calls > 1 ? s + " calls " + std::to_string(calls) : s;
}

// The AVX-512F entries a test can run here: the SIMDe build always, the
// native build where the processor has usable AVX-512F.
template <class Fn>
std::vector<Fn> avx512_entries(Fn emulated, Fn native) {
    std::vector<Fn> v{emulated};
    if (kernel_select::avx512f_usable()) v.push_back(native);
    return v;
}

}  // namespace kernel_test

// Skips a test of the native AVX-512F build where it cannot run.
#define KORVANE_SKIP_WITHOUT_AVX512F()                                                                 \
    if (!kernel_select::avx512f_usable())                                                              \
    GTEST_SKIP() << "this processor has no usable AVX-512F, so the native AVX-512 tiles cannot run " \
                    "here (the emulated build of the same source is compared instead)"
