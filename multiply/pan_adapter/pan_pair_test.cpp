#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "multiply/blas/leaf_route.h"
#include "multiply/pan_adapter/pan_engine.h"

using pan_adapter::PanView;
using u64 = std::uint64_t;

namespace {

constexpr float kCanary = 1234.5f;

// An s x s matrix inside a buffer with leading dimension ld; padding holds the canary.
struct Mat {
    u64 s, ld;
    std::vector<float> buf;
    Mat(u64 s_, u64 ld_) : s(s_), ld(ld_), buf(s_ * ld_, kCanary) {}
    float& at(u64 r, u64 c) { return buf[r * ld + c]; }
    PanView view() { return {buf.data(), ld}; }
    // Small integers: every sum and product of the Pan algebra stays exact in float.
    void fill_int(std::mt19937& rng, int lo, int hi) {
        std::uniform_int_distribution<int> d(lo, hi);
        for (u64 r = 0; r < s; ++r)
            for (u64 c = 0; c < s; ++c) at(r, c) = static_cast<float>(d(rng));
    }
    void fill_real(std::mt19937& rng) {
        std::uniform_real_distribution<float> d(-1.0f, 1.0f);
        for (u64 r = 0; r < s; ++r)
            for (u64 c = 0; c < s; ++c) at(r, c) = d(rng);
    }
};

// Exact integer (or FP64) product, the oracle.
std::vector<double> product(Mat& a, Mat& b) {
    const u64 s = a.s;
    std::vector<double> out(s * s, 0.0);
    for (u64 i = 0; i < s; ++i)
        for (u64 k = 0; k < s; ++k) {
            const double x = a.at(i, k);
            for (u64 j = 0; j < s; ++j) out[i * s + j] += x * b.at(k, j);
        }
    return out;
}

void expect_exact(Mat& c, const std::vector<double>& want, const std::vector<double>* base,
                  const std::string& what) {
    u64 bad = 0;
    for (u64 r = 0; r < c.s; ++r)
        for (u64 col = 0; col < c.ld; ++col) {
            const float got = c.at(r, col);
            if (col >= c.s) {
                if (got != kCanary && bad++ < 5) ADD_FAILURE() << what << " padding written";
                continue;
            }
            const double w = want[r * c.s + col] + (base ? (*base)[r * c.s + col] : 0.0);
            if (static_cast<double>(got) != w && bad++ < 5)
                ADD_FAILURE() << what << " (" << r << "," << col << "): " << got << " vs " << w;
        }
    EXPECT_EQ(bad, 0u) << what;
}

class PanPair : public ::testing::Test {
protected:
    void start(int workers) { pan_adapter::init_pool(workers, 0); }
    void TearDown() override { pan_adapter::shutdown(); }
};

// One exact run: integer data, separate matrices, outputs with padding.
void exact_case(u64 s, u64 L, unsigned seed, bool accumulate) {
    SCOPED_TRACE("s=" + std::to_string(s) + " L=" + std::to_string(L));
    pan_adapter::prepare(s, L);
    std::mt19937 rng(seed);
    Mat A(s, s + 3), B(s, s), A2(s, s + 16), B2(s, s + 1), C(s, s + 5), C2(s, s + 9);
    A.fill_int(rng, -3, 3);
    B.fill_int(rng, -3, 3);
    A2.fill_int(rng, -3, 3);
    B2.fill_int(rng, -3, 3);
    std::vector<double> c0(s * s, 0.0), c20(s * s, 0.0);
    if (accumulate) {
        C.fill_int(rng, -50, 50);
        C2.fill_int(rng, -50, 50);
        for (u64 r = 0; r < s; ++r)
            for (u64 c = 0; c < s; ++c) {
                c0[r * s + c] = C.at(r, c);
                c20[r * s + c] = C2.at(r, c);
            }
    } else {
        // Leftovers that the prologue must clear.
        C.fill_real(rng);
        C2.fill_real(rng);
    }
    const auto times = pan_adapter::run_pair(A.view(), B.view(), accumulate, A2.view(), B2.view(),
                                             C.view(), C2.view());
    const u64 g = s / L;
    EXPECT_EQ(times.leaf_products, g * g * g + 3 * g * g);
    EXPECT_GE(times.total_seconds, times.main);
    if (accumulate) {
        EXPECT_EQ(times.prologue, 0.0);
    }
    expect_exact(C, product(A, B), &c0, "C");
    expect_exact(C2, product(A2, B2), &c20, "C2");
    // The run views do not outlive the call.
    EXPECT_EQ(pan_adapter::implementation::pan_state.run_c.data, nullptr);
}

}  // namespace

TEST_F(PanPair, NeedsPreparation) {
    start(2);
    std::vector<float> m(64 * 64);
    PanView v{m.data(), 64};
    try {
        pan_adapter::run_pair(v, v, false, v, v, v, v);
        FAIL();
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "Call pan_adapter::prepare before run_pair");
    }
}

TEST_F(PanPair, ExactOnIntegerData) {
    start(4);
    exact_case(64, 64, 1, false);    // g = 1: one aggregated and three correction products
    exact_case(256, 128, 2, false);  // g = 2: 20 leaf products
    exact_case(300, 100, 3, false);  // g = 3, ragged 64-row chunks and 6x16 tiles
    exact_case(300, 50, 4, true);    // g = 6: 324 leaf products, accumulating
}

TEST_F(PanPair, SingleWorkerAndManyWorkers) {
    // The schedule must finish whatever the worker count.
    start(1);
    exact_case(240, 40, 5, false);
    pan_adapter::shutdown();
    start(8);
    exact_case(240, 40, 6, true);
}

TEST_F(PanPair, RealDataCloseToFp64) {
    start(4);
    const u64 s = 384, L = 96;
    pan_adapter::prepare(s, L);
    std::mt19937 rng(7);
    Mat A(s, s), B(s, s), A2(s, s), B2(s, s), C(s, s), C2(s, s);
    for (Mat* m : {&A, &B, &A2, &B2}) m->fill_real(rng);
    pan_adapter::run_pair(A.view(), B.view(), false, A2.view(), B2.view(), C.view(), C2.view());
    // The same again: workspaces carry nothing over between runs.
    const std::vector<float> first = C.buf;
    pan_adapter::run_pair(A.view(), B.view(), false, A2.view(), B2.view(), C.view(), C2.view());
    EXPECT_EQ(0, std::memcmp(first.data(), C.buf.data(), first.size() * sizeof(float)));
    for (auto [m, x, y] : {std::tuple{&C, &A, &B}, std::tuple{&C2, &A2, &B2}}) {
        const auto ref = product(*x, *y);
        double worst = 0.0;
        for (u64 r = 0; r < s; ++r)
            for (u64 c = 0; c < s; ++c)
                worst = std::max(worst, std::fabs(m->at(r, c) - ref[r * s + c]));
        // Entries are about sqrt(s) ~ 11 in size; aggregation costs a few digits.
        EXPECT_LT(worst, 2e-3);
    }
}

TEST_F(PanPair, OutputsAsHalvesOfOneMatrix) {
    start(3);
    const u64 s = 128, L = 64;
    pan_adapter::prepare(s, L);
    std::mt19937 rng(8);
    Mat A(s, s), B(s, s), A2(s, s), B2(s, s);
    for (Mat* m : {&A, &B, &A2, &B2}) m->fill_int(rng, -2, 2);
    Mat both(s, 2 * s + 4);  // C on the left half, C2 on the right, padding after
    pan_adapter::run_pair(A.view(), B.view(), false, A2.view(), B2.view(),
                          {both.buf.data(), both.ld}, {both.buf.data() + s, both.ld});
    const auto ab = product(A, B), a2b2 = product(A2, B2);
    for (u64 r = 0; r < s; ++r) {
        for (u64 c = 0; c < s; ++c) {
            ASSERT_EQ(both.at(r, c), ab[r * s + c]);
            ASSERT_EQ(both.at(r, s + c), a2b2[r * s + c]);
        }
        for (u64 c = 2 * s; c < both.ld; ++c) ASSERT_EQ(both.at(r, c), kCanary);
    }
}

TEST_F(PanPair, BadViewsWriteNothing) {
    start(2);
    const u64 s = 64;
    pan_adapter::prepare(s, 32);
    std::mt19937 rng(9);
    Mat A(s, s), B(s, s), C2(s, s);
    A.fill_int(rng, -2, 2);
    B.fill_int(rng, -2, 2);
    const std::vector<float> before = A.buf;
    try {
        pan_adapter::run_pair(A.view(), B.view(), false, A.view(), B.view(), A.view(), C2.view());
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Pan output view overlaps an input");
    }
    EXPECT_EQ(before, A.buf);
    for (float v : C2.buf) ASSERT_EQ(v, kCanary);
    try {
        pan_adapter::run_pair(A.view(), B.view(), false, A.view(), B.view(), C2.view(),
                              {C2.buf.data() + s * s - 1, s});
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Pan output views overlap");
    }
    for (float v : C2.buf) ASSERT_EQ(v, kCanary);
}
