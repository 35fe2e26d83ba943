// Inputs of the method tests: square matrices as the Problem's views,
// filled as a test needs, with FP32 and FP64 reference products.
#pragma once

#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include "common/testing/test_support.h"
#include "common/testing/test_watchdog.h"
#include "multiply/agg1/agg1.h"
#include "multiply/blas/aocl_backend.h"
#include "multiply/method/method_run.h"
#include "multiply/method/problem.h"
#include "multiply/pan_adapter/pool.h"

// The back ends and both pools (start_backends of the method run) on
// `workers` workers from cpu_base, set in the Problem. A suite that runs the
// pools holds a TestWatchdog in its set-up, its tear-down and every test, so
// that a deadlocked engine fails in seconds.
inline void start_backends(int workers, int cpu_base) {
    problem.workers = problem.native_threads = workers;
    problem.cpu_base = cpu_base;
    bool started = false;
    start_backends(workers, cpu_base, started);
}

using Entry = std::function<float(std::uint64_t, std::uint64_t)>;

// A, B and C of side n with row stride ld (padding 9 between rows), A and B
// filled from (row, column) functions and C with zeros, set as the Problem's
// views; a0 and b0 keep the bits the inputs started with.
struct SquareInputs {
    std::uint64_t n, ld;
    std::vector<float> a, b, c, a0, b0;
    SquareInputs(std::uint64_t side, std::uint64_t stride, const Entry& fa, const Entry& fb)
        : n(side), ld(stride), a(side * stride, 9.0f), b(side * stride, 9.0f), c(side * stride, 0.0f) {
        for (std::uint64_t i = 0; i < n; ++i)
            for (std::uint64_t j = 0; j < n; ++j) {
                a[i * ld + j] = fa(i, j);
                b[i * ld + j] = fb(i, j);
            }
        a0 = a;
        b0 = b;
        problem.A = a.data();
        problem.B = b.data();
        problem.C = c.data();
        problem.lda = problem.ldb = problem.ldc = ld;
        problem.n = n;
    }
    bool a_intact() const { return same_bits(a, a0); }
    bool intact() const { return a_intact() && same_bits(b, b0); }
};

// A, B and C of side n (row stride n) as the Problem's views, A and B zero
// until filled.
struct MethodInputs {
    std::uint64_t n;
    std::vector<float> a, b, c;
    explicit MethodInputs(std::uint64_t side) : n(side), a(side * side), b(side * side), c(side * side) {
        problem.A = a.data();
        problem.B = b.data();
        problem.C = c.data();
        problem.lda = problem.ldb = problem.ldc = problem.n = problem.ld = n;
        problem.leaf_grid_n = leaf_grid(n);
    }
    // Integers in [-bound, bound]: small enough that every route is exact.
    MethodInputs& integers(unsigned seed, int bound) {
        std::mt19937 rng(seed);
        std::uniform_int_distribution<int> d(-bound, bound);
        for (auto* v : {&a, &b})
            for (float& x : *v) x = static_cast<float>(d(rng));
        return *this;
    }
    MethodInputs& normal(unsigned seed) {
        std::mt19937 rng(seed);
        std::normal_distribution<float> g(0.0f, 1.0f);
        for (auto* v : {&a, &b})
            for (float& x : *v) x = g(rng);
        return *this;
    }
    // A·B in float from OpenBLAS (exact on small integers), and in FP64.
    std::vector<float> sgemm_product() const {
        const int s = static_cast<int>(n);
        std::vector<float> r(n * n);
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, s, s, s, 1.0f, a.data(), s, b.data(), s, 0.0f,
                    r.data(), s);
        return r;
    }
    std::vector<double> fp64_product() const {
        const int s = static_cast<int>(n);
        std::vector<double> da(a.begin(), a.end()), db(b.begin(), b.end()), r(n * n);
        cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, s, s, s, 1.0, da.data(), s, db.data(), s, 0.0,
                    r.data(), s);
        return r;
    }
    // Runs a set-up method on a zeroed C and returns C.
    const std::vector<float>& run(const MethodSpec& spec) {
        std::fill(c.begin(), c.end(), 0.0f);
        execute_method(spec);
        return c;
    }
    // Sets the method up, then runs it.
    const std::vector<float>& run(const char* method) {
        const MethodSpec spec = parse_method_spec(method);
        setup_method(spec);
        return run(spec);
    }
};

// Frobenius norm of x - y relative to that of y.
template <class T>
double relative_error(const std::vector<float>& x, const std::vector<T>& y) {
    double err = 0, norm = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        err += (x[i] - double(y[i])) * (x[i] - double(y[i]));
        norm += double(y[i]) * y[i];
    }
    return std::sqrt(err / norm);
}
