// Strassen outer level through setup_method / execute_method on the real pool
// and AOCL backend, against an FP64 product.
#include <gtest/gtest.h>

#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <utility>
#include <vector>

#include "multiply/blas/aocl_backend.h"
#include "multiply/blas/blas_test_support.h"
#include "multiply/method/method_run.h"
#include "multiply/method/method_test_support.h"
#include "multiply/method/problem.h"
#include "multiply/method/strassen.h"
#include "multiply/pan_adapter/pool.h"

namespace {

// The Frobenius-norm error, relative to the FP64 product, of a method run on
// A and B of side n: integers small enough that every intermediate of every
// route is exact in float (so the error must be 0), or normal values held to
// float accuracy.
double run_error(const char* method, std::uint64_t n, bool integers, unsigned seed) {
    MethodInputs m(n);
    integers ? m.integers(seed, 2) : m.normal(seed);
    const std::vector<double> ref = m.fp64_product();
    return relative_error(m.run(method), ref);
}

class Strassen : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::vector<int> cpus = blas_test::aocl_test_cpus();
        if (!cpus.empty()) start_backends(static_cast<int>(cpus.size()), cpus[0]);
    }
    void SetUp() override {
        if (!aocl_backend::state.ready) GTEST_SKIP() << "no usable CPU with a readable core topology";
    }
    static void TearDownTestSuite() { release_all(); }
    void TearDown() override { problem.leaf = 1024; }
};

}  // namespace

TEST_F(Strassen, AddBatchesMatchAScalarModel) {
    // Blocks of side 5 inside rows of 9: with 8 workers some row bands are
    // empty, and every operation touches only its side x side block.
    const std::uint64_t side = 5, ld = 9;
    std::vector<float> x(side * ld), y(side * ld);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = 0.75f * i - 9, y[i] = 1.0f / (i + 3);
    std::vector<std::vector<float>> d(5, std::vector<float>(side * ld, 3.0f));
    const AddTask tasks[5] = {
        {d[0].data(), ld, x.data(), ld, y.data(), ld, 1},                // x + y
        {d[1].data(), ld, x.data(), ld, y.data(), ld, 0},                // x - y: any sign but 1 subtracts
        {d[2].data(), ld, x.data(), ld, nullptr, 0, -1, true},           // copy: the sign is ignored
        {d[3].data(), ld, x.data(), ld, nullptr, 0, 1, true, true},      // d += x
        {d[4].data(), ld, x.data(), ld, nullptr, 0, 0, true, true}};     // d -= x
    run_add_tasks(side, tasks, 5);
    for (std::size_t i = 0; i < x.size(); ++i) {
        const bool pad = i % ld >= side;
        const float want[5] = {x[i] + y[i], x[i] - y[i], x[i], 3.0f + x[i], 3.0f - x[i]};
        for (int t = 0; t < 5; ++t) ASSERT_EQ(d[t][i], pad ? 3.0f : want[t]) << t << " " << i;
    }
}

TEST_F(Strassen, WorkspacesPerLevelAndRefusals) {
    // Six buffers of half the side on an upper level, four on the bottom one;
    // an agg1 bottom takes the same workspaces and prepares its engine for the
    // bottom products (side 2048 in blocks of 256).
    problem.n = 4096;
    const struct { const char* method; std::vector<std::uint64_t> sides; std::vector<std::size_t> buffers; } cases[] = {
        {"strassen_aocl2", {2048, 1024}, {6, 4}}, {"strassen_agg1@256", {2048}, {4}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method);
        setup_method(parse_method_spec(c.method));
        ASSERT_EQ(strassen_workspaces.size(), c.sides.size());
        for (std::size_t l = 0; l < c.sides.size(); ++l) {
            EXPECT_EQ(strassen_workspaces[l].side, c.sides[l]);
            EXPECT_EQ(strassen_workspaces[l].buffers.size(), c.buffers[l]);
        }
    }
    EXPECT_TRUE(active_method.agg);
    EXPECT_EQ(active_method.pan_leaf, 256u);
    EXPECT_EQ(active_method.agg_q, 8u);

    // A side that the levels do not halve evenly is refused before any buffer
    // is made, and the earlier method's buffers are gone.
    for (auto [n, method] : {std::pair<std::uint64_t, const char*>{4098, "strassen_aocl2"}, {4097, "strassen_agg1@256"}}) {
        problem.n = n;
        EXPECT_EQ(message_of<std::runtime_error>([&] { setup_method(parse_method_spec(method)); }),
                  "shape/depth incompatible") << method;
        EXPECT_TRUE(strassen_workspaces.empty()) << method;
        EXPECT_EQ(active_method.agg_q, 0u) << method;
    }
}

TEST_F(Strassen, AoclLevelsAgreeWithTheDenseProduct) {
    for (const char* method : {"strassen_aocl1", "strassen_aocl2"}) {
        EXPECT_LT(run_error(method, 1024, false, 17), 2e-6) << method;
        EXPECT_EQ(phase_timers.aocl_singletons, method[13] == '1' ? 7u : 49u) << method;
        EXPECT_EQ(phase_timers.pan_pairs, 0u);
        EXPECT_TRUE(phase_timers.forms > 0 && phase_timers.decode > 0 && phase_timers.dense > 0);

        EXPECT_EQ(run_error(method, 512, true, 5), 0.0) << method;
    }
}

TEST_F(Strassen, PanBottomCountsAndExactProducts) {
    // strassen_pan1, n = 1024, leaf 128: the pair side is 512, g = 4 blocks.
    // Then two levels, leaf 64 in the name: 7 bottom nodes. Each bottom runs P1 alone on AOCL
    // and P2P5, P3P4, P6P7 as three Pan pairs.
    problem.leaf = 128;
    const struct { const char* method; std::uint64_t leaf, singletons, pairs; } cases[] = {
        {"strassen_pan1", 128, 1, 3}, {"strassen_pan2@64", 64, 7, 21}};
    for (const auto& k : cases) {
        EXPECT_EQ(run_error(k.method, 1024, true, 23), 0.0) << k.method;
        EXPECT_EQ(active_method.pan_leaf, k.leaf);
        EXPECT_EQ(phase_timers.aocl_singletons, k.singletons);
        EXPECT_EQ(phase_timers.pan_pairs, k.pairs);
        EXPECT_EQ(phase_timers.pan_products, k.pairs * (64 + 3 * 16));

        EXPECT_LT(run_error(k.method, 1024, false, 31), 2e-6) << k.method;  // normal inputs
    }
}

TEST_F(Strassen, CentredStrassenRestoresTheInputs) {
    // Offsets taken out, Strassen over Pan, offsets put back: A and B bit for bit.
    problem.leaf = 128;
    MethodInputs m(1024);
    m.normal(41);
    for (std::size_t i = 0; i < 512 * 1024; ++i) m.a[i] = 2.0f + 0.5f * std::fabs(m.a[i]) / 4;
    const std::vector<float> a0 = m.a, b0 = m.b;
    const std::vector<double> ref = m.fp64_product();
    EXPECT_LT(relative_error(m.run("center_strassen_pan1"), ref), 2e-6);
    EXPECT_EQ(m.a, a0);
    EXPECT_EQ(m.b, b0);
}
