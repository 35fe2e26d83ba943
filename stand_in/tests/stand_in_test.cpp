// The stand-in AOCL-BLAS library, loaded through dlmopen like the program
// loads it: products against an FP64 reference, on one thread and with a
// real team. Its thread settings and the placement of one-thread calls are
// checked through the backend (multiply/blas/aocl_*_test.cpp).
#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "stand_in/tests/stand_in_loader.h"

using namespace stand_in_test;

namespace {

constexpr int kRow = 101, kCol = 102, kN = 111, kT = 112, kC = 113;

const StandIn& lib()
{
    static const StandIn s = load_stand_in(KV_STAND_IN_PATH);
    return s;
}

int thread_count()
{
    std::filesystem::directory_iterator tasks("/proc/self/task");
    return int(std::distance(begin(tasks), end(tasks)));
}

// op(X), rows x cols, stored in the given order as X or X^T with pad unused
// elements after each stored line.
struct Operand {
    int order, trans, ld;
    std::vector<float> v;
    Operand(int order_, int trans_, int rows, int cols, int pad) : order(order_), trans(trans_)
    {
        const bool row = order == kRow, plain = trans == kN;
        ld = std::max(1, row == plain ? cols : rows) + pad;
        v.resize(std::max<size_t>(1, size_t(row == plain ? rows : cols) * ld));
    }
    float& operator()(int i, int j)
    {
        const int r = trans == kN ? i : j, c = trans == kN ? j : i;
        return order == kRow ? v[size_t(r) * ld + c] : v[r + size_t(c) * ld];
    }
};

struct Case {
    int order, ta, tb, m, n, k, pad;
    float alpha, beta;
};

// Runs C := alpha*op(A)*op(B) + beta*C and compares with an FP64 reference:
// exactly when every value is a small integer, else within (k+2) float
// roundings of the sum of magnitudes. A, B, padding and unused storage must
// be left alone. A zero alpha or beta must ignore its operands: they start
// as NaN.
void check_case(const StandIn& s, const Case& t, bool integers)
{
    thread_local std::mt19937 rng(11);
    SCOPED_TRACE(::testing::Message() << "order, trans A, B, m, n, k, pad: " << t.order << " "
                 << t.ta << " " << t.tb << " " << t.m << " " << t.n << " " << t.k << " " << t.pad
                 << ", alpha " << t.alpha << ", beta " << t.beta);
    Operand a(t.order, t.ta, t.m, t.k, t.pad), b(t.order, t.tb, t.k, t.n, t.pad),
        c(t.order, kN, t.m, t.n, t.pad);
    std::uniform_real_distribution<float> real(-1.0f, 1.0f);
    std::uniform_int_distribution<int> small(-4, 4);
    for (Operand* x : {&a, &b, &c})
        for (float& e : x->v)
            e = (x == &c ? t.beta : t.alpha) == 0.0f ? NAN
                                                     : integers ? float(small(rng)) : real(rng);
    const std::vector<float> a0 = a.v, b0 = b.v, c0 = c.v;
    s.sgemm(t.order, t.ta, t.tb, t.m, t.n, t.k, t.alpha, a.v.data(), a.ld, b.v.data(), b.ld,
            t.beta, c.v.data(), c.ld);
    EXPECT_EQ(std::memcmp(a.v.data(), a0.data(), a0.size() * sizeof(float)), 0);
    EXPECT_EQ(std::memcmp(b.v.data(), b0.data(), b0.size() * sizeof(float)), 0);
    // the reference inside C, the untouched values elsewhere
    std::vector<double> want(c0.begin(), c0.end()), bound(c.v.size(), 0.0);
    for (int i = 0; i < t.m; ++i)
        for (int j = 0; j < t.n; ++j) {
            double sum = 0, mag = 0;
            for (int p = 0; t.alpha != 0.0f && p < t.k; ++p) {
                sum += double(a(i, p)) * b(p, j);
                mag += std::fabs(double(a(i, p)) * b(p, j));
            }
            const size_t x = &c(i, j) - c.v.data();
            const double old = t.beta == 0.0f ? 0.0 : c0[x];
            want[x] = double(t.alpha) * sum + double(t.beta) * old;
            if (!integers)
                bound[x] = (t.k + 2) * 1.2e-7 *
                               (std::fabs(t.alpha) * mag + std::fabs(t.beta * old)) + 1e-30;
        }
    int bad = 0;
    for (size_t x = 0; x < c.v.size(); ++x)
        if (!(std::isnan(c.v[x]) && std::isnan(want[x])) &&
            !(std::fabs(c.v[x] - want[x]) <= bound[x]) && ++bad <= 5)
            ADD_FAILURE() << "C storage " << x << " = " << c.v[x] << ", expected " << want[x];
    EXPECT_EQ(bad, 0);
}

}  // namespace

TEST(StandInProduct, MatchesReferenceOnOneThreadAndWithARealTeam)
{
    const StandIn& s = lib();
    s.set_local(1);
    const Case cases[] = {
        {kRow, kN, kN, 1, 1, 1, 0, 1.0f, 0.0f},      {kRow, kN, kN, 1, 37, 19, 3, 1.0f, 0.0f},
        {kRow, kN, kN, 37, 1, 19, 0, 1.0f, 1.0f},    {kRow, kN, kN, 23, 29, 1, 2, 2.0f, 0.0f},
        {kRow, kN, kN, 257, 129, 300, 5, -1.0f, 1.0f}, {kRow, kT, kN, 70, 90, 110, 1, 1.0f, 0.0f},
        {kRow, kN, kT, 90, 70, 50, 0, 1.0f, -1.0f},  {kRow, kC, kT, 33, 65, 97, 7, 0.5f, 2.0f},
        {kCol, kN, kN, 129, 257, 64, 4, 1.0f, 0.0f}, {kCol, kT, kN, 31, 17, 45, 0, 1.0f, 1.0f},
        {kCol, kN, kT, 1, 50, 20, 1, -2.0f, 0.0f},   {kCol, kT, kT, 48, 1, 33, 0, 1.0f, 0.5f},
        // alpha 0 or k 0 only scale C; m or n 0 touch nothing
        {kRow, kN, kN, 8, 9, 10, 2, 0.0f, 1.0f},     {kCol, kT, kN, 12, 9, 0, 1, 1.0f, 2.0f},
        {kRow, kN, kN, 0, 9, 5, 1, 1.0f, 2.0f},      {kCol, kN, kN, 9, 0, 5, 1, 1.0f, 2.0f},
    };
    for (const Case& t : cases)
        for (bool integers : {true, false})
            check_case(s, t, integers);

    const int workers = int(worker_cpus().size());
    if (workers < 2)
        GTEST_SKIP() << "the team needs two CPUs";
    std::thread([&] {
        const int before = thread_count();
        s.set_local(workers);
        ASSERT_EQ(s.get_threads(), workers);
        check_case(s, {kRow, kN, kN, 512, 384, 300, 3, 1.0f, 0.0f}, false);
        check_case(s, {kRow, kT, kN, 300, 200, 256, 0, -1.0f, 1.0f}, true);
        // libgomp keeps its team threads after the region
        EXPECT_GE(thread_count(), before + workers - 1);
        s.set_ways(2, 1, workers / 2, 1, 1);
        ASSERT_EQ(s.get_threads(), 2 * (workers / 2));
        check_case(s, {kCol, kN, kN, 384, 512, 200, 1, 1.0f, 0.0f}, false);
        s.set_global(1);
    }).join();
}
