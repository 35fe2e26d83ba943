// Strassen outer level through setup_method / execute_method on the real pool
// and AOCL backend, against OpenBLAS and FP64 references.
#include <gtest/gtest.h>

#include <cblas.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "multiply/blas/aocl_backend.h"
#include "multiply/method/method_run.h"
#include "multiply/method/problem.h"
#include "multiply/method/strassen.h"
#include "multiply/pan_adapter/pool.h"

namespace {

// A, B, C of side n in the Problem. Integer inputs are small enough that every
// intermediate of every route is exact in float; normal inputs are compared
// with an FP64 product.
struct Matrices {
    std::uint64_t n;
    std::vector<float> a, b, c;
    Matrices(std::uint64_t side, bool integers, unsigned seed) : n(side), a(side * side), b(side * side), c(side * side, -1.0f) {
        std::mt19937 rng(seed);
        std::uniform_int_distribution<int> d(-2, 2);
        std::normal_distribution<float> g(0.0f, 1.0f);
        for (auto& x : a) x = integers ? static_cast<float>(d(rng)) : g(rng);
        for (auto& x : b) x = integers ? static_cast<float>(d(rng)) : g(rng);
        problem.A = a.data();
        problem.lda = side;
        problem.B = b.data();
        problem.ldb = side;
        problem.C = c.data();
        problem.ldc = side;
        problem.n = side;
        problem.ld = side;
        problem.leaf_grid_n = leaf_grid(side);
    }
    std::vector<float> product32() const {
        std::vector<float> r(n * n);
        const int s = static_cast<int>(n);
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, s, s, s, 1.0f, a.data(), s, b.data(), s, 0.0f,
                    r.data(), s);
        return r;
    }
    // Frobenius-norm error of C relative to the FP64 product.
    double relative_error() const {
        std::vector<double> da(a.begin(), a.end()), db(b.begin(), b.end()), r(n * n);
        const int s = static_cast<int>(n);
        cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, s, s, s, 1.0, da.data(), s, db.data(), s, 0.0,
                    r.data(), s);
        double err = 0, norm = 0;
        for (std::size_t i = 0; i < r.size(); ++i) {
            err += (c[i] - r[i]) * (c[i] - r[i]);
            norm += r[i] * r[i];
        }
        return std::sqrt(err / norm);
    }
};

class Strassen : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        openblas_set_num_threads(1);
        long p = sysconf(_SC_NPROCESSORS_ONLN);
        problem.workers = static_cast<int>(std::min<long>(8, p > 0 ? p : 1));
        problem.native_threads = problem.workers;
        problem.cpu_base = 0;
        aocl_backend::initialize(problem.workers, 0);
        pan_adapter::init_pool(problem.workers, 0);
    }
    static void TearDownTestSuite() { release_all(); }
    void TearDown() override { problem.leaf = 1024; }
};

double run(const std::string& method) {
    const MethodSpec spec = parse_method_spec(method);
    setup_method(spec);
    return execute_method(spec);
}

}  // namespace

TEST_F(Strassen, AddBatchesMatchAScalarModel) {
    // Blocks of side 5 inside wider rows: with 8 workers some row bands are
    // empty, and every operation touches only its side x side block.
    const std::uint64_t side = 5, ld = 9;
    std::vector<float> x(side * ld), y(side * ld);
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-1, 1);
    for (auto& v : x) v = u(rng);
    for (auto& v : y) v = u(rng);
    std::vector<std::vector<float>> dst(5, std::vector<float>(side * ld, 3.0f));
    AddTask tasks[5];
    for (int t = 0; t < 5; ++t) {
        tasks[t].dst = dst[t].data();
        tasks[t].ld_dst = ld;
        tasks[t].src1 = x.data();
        tasks[t].ld_src1 = ld;
    }
    tasks[0].src2 = y.data();  // x + y
    tasks[0].ld_src2 = ld;
    tasks[1] = tasks[0];       // x - y: any sign other than 1 subtracts
    tasks[1].dst = dst[1].data();
    tasks[1].sign = 0;
    tasks[2].single = true;    // copy; the sign is ignored
    tasks[2].sign = -1;
    tasks[3].single = true;    // dst += x
    tasks[3].accumulate = true;
    tasks[4].single = true;    // dst -= x
    tasks[4].accumulate = true;
    tasks[4].sign = 0;
    run_add_tasks(side, tasks, 5);
    for (std::uint64_t r = 0; r < side; ++r)
        for (std::uint64_t c = 0; c < ld; ++c) {
            const std::uint64_t i = r * ld + c;
            if (c >= side) {
                for (int t = 0; t < 5; ++t) ASSERT_EQ(dst[t][i], 3.0f);
                continue;
            }
            EXPECT_EQ(dst[0][i], x[i] + y[i]);
            EXPECT_EQ(dst[1][i], x[i] - y[i]);
            EXPECT_EQ(dst[2][i], x[i]);
            EXPECT_EQ(dst[3][i], 3.0f + x[i]);
            EXPECT_EQ(dst[4][i], 3.0f - x[i]);
        }
}

TEST_F(Strassen, WorkspacesPerLevel) {
    problem.n = 4096;
    setup_method(parse_method_spec("strassen_aocl2"));
    ASSERT_EQ(strassen_workspaces.size(), 2u);
    EXPECT_EQ(strassen_workspaces[0].side, 2048u);
    EXPECT_EQ(strassen_workspaces[0].buffers.size(), 6u);
    EXPECT_EQ(strassen_workspaces[1].side, 1024u);
    EXPECT_EQ(strassen_workspaces[1].buffers.size(), 4u);
    EXPECT_EQ(active_method.outer_bytes, 6u * 2048 * 2048 * 4 + 4u * 1024 * 1024 * 4);
    for (const auto& level : strassen_workspaces)
        for (const auto& buffer : level.buffers) {
            EXPECT_EQ(buffer.ld, level.side);
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer.data) % 64, 0u);
            EXPECT_EQ(buffer.data[level.side * level.side - 1], 0.0f);
        }
    problem.n = 6144;
    setup_method(parse_method_spec("strassen_aocl3"));  // 6144 / 8 = 768
    EXPECT_EQ(strassen_workspaces.size(), 3u);
    setup_method(parse_method_spec("dense"));
    EXPECT_TRUE(strassen_workspaces.empty());
    EXPECT_EQ(active_method.outer_bytes, 0u);
    problem.n = 4098;  // 4098 / 4 is not whole
    EXPECT_THROW(setup_method(parse_method_spec("strassen_aocl2")), std::runtime_error);
    EXPECT_TRUE(strassen_workspaces.empty());
}

TEST_F(Strassen, AoclLevelsAgreeWithTheDenseProduct) {
    for (const char* method : {"strassen_aocl1", "strassen_aocl2"}) {
        Matrices m(1024, false, 17);
        run(method);
        EXPECT_LT(m.relative_error(), 2e-6) << method;
        const std::uint64_t s = method[13] - '0';
        EXPECT_EQ(phase_timers.aocl_singletons, s == 1 ? 7u : 49u) << method;
        EXPECT_EQ(phase_timers.pan_pairs, 0u);
        EXPECT_GT(phase_timers.forms, 0.0);
        EXPECT_GT(phase_timers.decode, 0.0);
        EXPECT_GT(phase_timers.dense, 0.0);

        Matrices exact(512, true, 5);
        run(method);
        EXPECT_EQ(exact.c, exact.product32()) << method;
    }
}

TEST_F(Strassen, PanBottomCountsAndExactProducts) {
    // strassen_pan1, n = 1024, leaf 128: the pair side is 512, g = 4 blocks.
    problem.leaf = 128;
    Matrices m(1024, true, 23);
    run("strassen_pan1");
    EXPECT_EQ(m.c, m.product32());
    EXPECT_EQ(active_method.pan_leaf, 128u);
    EXPECT_EQ(phase_timers.aocl_singletons, 1u);  // P1
    EXPECT_EQ(phase_timers.pan_pairs, 3u);        // P2P5, P3P4, P6P7
    EXPECT_EQ(phase_timers.pan_products, 3u * (64 + 3 * 16));

    // Two levels, leaf 64 in the name: 7 bottom nodes, each one AOCL and three Pan pairs.
    Matrices m2(1024, true, 29);
    run("strassen_pan2@64");
    EXPECT_EQ(m2.c, m2.product32());
    EXPECT_EQ(phase_timers.aocl_singletons, 7u);
    EXPECT_EQ(phase_timers.pan_pairs, 21u);
    EXPECT_EQ(phase_timers.pan_products, 21u * (64 + 3 * 16));

    // Normal inputs: float accuracy against FP64, on the AOCL-corrections variant too.
    for (const char* method : {"strassen_pan1", "strassen_pan2@64"}) {
        Matrices g(1024, false, 31);
        run(method);
        EXPECT_LT(g.relative_error(), 2e-6) << method;
    }
}

TEST_F(Strassen, CentredStrassenAndRefusedBottoms) {
    // Offsets taken out, Strassen over Pan, offsets put back: A and B bit for bit.
    problem.leaf = 128;
    Matrices m(1024, false, 41);
    for (std::size_t i = 0; i < 512 * 1024; ++i) m.a[i] = 2.0f + 0.5f * std::fabs(m.a[i]) / 4;
    const std::vector<float> a0 = m.a, b0 = m.b;
    run("center_strassen_pan1");
    EXPECT_EQ(m.a, a0);
    EXPECT_EQ(m.b, b0);
    EXPECT_LT(m.relative_error(), 2e-6);

    // An agg1 bottom is not part of this build: refused at set-up.
    EXPECT_THROW(setup_method(parse_method_spec("strassen_agg1")), std::runtime_error);
}
