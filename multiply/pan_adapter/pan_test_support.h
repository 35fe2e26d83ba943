// Helpers shared by the tests of the Pan engines.
#pragma once

#include <gtest/gtest.h>

#include <cblas.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "multiply/pan_adapter/pan_engine.h"

namespace pan_test {

using u64 = std::uint64_t;

constexpr float kCanary = 1234.5f;

// An s x s matrix inside a buffer with leading dimension ld; padding holds the canary.
struct Mat {
    u64 s, ld;
    std::vector<float> buf;
    Mat(u64 s_, u64 ld_) : s(s_), ld(ld_), buf(s_ * ld_, kCanary) {}
    float& at(u64 r, u64 c) { return buf[r * ld + c]; }
    pan_adapter::PanView view() { return {buf.data(), ld}; }
    // Small integers keep every sum and product of the Pan algebra exact in float.
    void fill(std::mt19937& rng, int lo, int hi) {
        std::uniform_int_distribution<int> d(lo, hi);
        for (u64 r = 0; r < s; ++r)
            for (u64 c = 0; c < s; ++c) at(r, c) = static_cast<float>(d(rng));
    }
};

// c == base + times * (a b) exactly, and the canary in c's padding. The
// reference is one float product, exact for the small integers of fill().
inline void expect_exact(Mat& c, Mat& a, Mat& b, const std::vector<float>* base, int times,
                         const char* what) {
    const int s = static_cast<int>(c.s);
    std::vector<float> ref(c.s * c.s);
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, s, s, s, 1.0f, a.buf.data(),
                static_cast<int>(a.ld), b.buf.data(), static_cast<int>(b.ld), 0.0f, ref.data(), s);
    u64 bad = 0;
    for (u64 r = 0; r < c.s; ++r)
        for (u64 col = 0; col < c.ld; ++col) {
            double want = kCanary;
            if (col < c.s)
                want = (base ? (*base)[r * c.ld + col] : 0.0) + times * double{ref[r * c.s + col]};
            if (static_cast<double>(c.at(r, col)) != want && bad++ < 5)
                ADD_FAILURE() << what << " (" << r << "," << col << "): " << c.at(r, col)
                              << " vs " << want;
        }
    EXPECT_EQ(bad, 0u) << what;
}

// The six matrices of a pair product, on small integers, with leading
// dimensions wider than the side; C and C2 start from other integers (a base
// to add to, or leftovers that a run must drop).
struct PairOperands {
    Mat A, B, A2, B2, C, C2;
    std::vector<float> c0, c20;  // C and C2 before any run
    PairOperands(u64 s, unsigned seed)
        : A(s, s + 3), B(s, s), A2(s, s + 16), B2(s, s + 1), C(s, s + 5), C2(s, s + 9) {
        std::mt19937 rng(seed);
        for (Mat* m : {&A, &B, &A2, &B2}) m->fill(rng, -3, 3);
        C.fill(rng, -50, 50);
        C2.fill(rng, -50, 50);
        c0 = C.buf;
        c20 = C2.buf;
    }
    // One call of a pair engine (run_pair or run_accurate) on these views.
    template <class Engine>
    pan_adapter::PairTimes run(Engine engine, bool accumulate) {
        return engine(A.view(), B.view(), accumulate, A2.view(), B2.view(), C.view(), C2.view());
    }
    // C = A B and C2 = A2 B2 after any number of plain runs; after `runs`
    // accumulating runs, each holds its old contents plus `runs` products.
    void expect_products(bool accumulate, int runs) {
        const int times = accumulate ? runs : 1;
        expect_exact(C, A, B, accumulate ? &c0 : nullptr, times, "C");
        expect_exact(C2, A2, B2, accumulate ? &c20 : nullptr, times, "C2");
    }
};

}  // namespace pan_test
