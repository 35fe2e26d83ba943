// Method set-up and execution on the real pool and AOCL backend, against OpenBLAS.
#include <gtest/gtest.h>

#include <cblas.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "multiply/blas/aocl_backend.h"
#include "multiply/method/method_run.h"
#include "multiply/method/problem.h"
#include "multiply/pan_adapter/pool.h"

namespace {

int test_workers() {
    long p = sysconf(_SC_NPROCESSORS_ONLN);
    return static_cast<int>(std::min<long>(8, p > 0 ? p : 1));
}

template <class F>
std::string message_of(F f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no exception)";
}

// A, B, C of side n in the Problem, with a reference product from OpenBLAS.
struct Matrices {
    std::uint64_t n;
    std::vector<float> a, b, c, ref;
    explicit Matrices(std::uint64_t side) : n(side), a(side * side), b(side * side), c(side * side), ref(side * side) {
        std::mt19937 rng(static_cast<unsigned>(side));
        // Small integers: every product below is exact in float, so results compare bit for bit.
        std::uniform_int_distribution<int> d(-4, 4);
        for (auto& x : a) x = static_cast<float>(d(rng));
        for (auto& x : b) x = static_cast<float>(d(rng));
        const int s = static_cast<int>(side);
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, s, s, s, 1.0f, a.data(), s, b.data(), s,
                    0.0f, ref.data(), s);
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
};

class MethodRun : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        openblas_set_num_threads(1);
        problem.workers = test_workers();
        problem.native_threads = problem.workers;
        problem.cpu_base = 0;
        aocl_backend::initialize(problem.workers, 0);
        pan_adapter::init_pool(problem.workers, 0);
    }
    static void TearDownTestSuite() { release_all(); }
};

}  // namespace

TEST_F(MethodRun, SetupRefusesShapesAndLeaves) {
    problem.leaf = 1024;
    problem.n = 1001;
    EXPECT_EQ(message_of([] { setup_method(parse_method_spec("dense")); }), "shape/depth incompatible");
    problem.n = 4096;
    MethodSpec five = parse_method_spec("strassen_aocl5");
    EXPECT_EQ(message_of([&] { setup_method(five); }), "shape/depth incompatible");
    MethodSpec negative = parse_method_spec("strassen_aocl1");
    negative.strassen_levels = -1;
    EXPECT_EQ(message_of([&] { setup_method(negative); }), "shape/depth incompatible");

    // Pan leaf: halving from the requested leaf until it divides the pair side.
    problem.n = 6000;  // b = 3000: 1024 halves down to 8, below 16
    EXPECT_EQ(message_of([] { setup_method(parse_method_spec("pan2")); }), "no practical compatible Pan leaf");
    problem.n = 12288;  // b = 6144
    problem.leaf = 1000;  // 1000, 500, 250, 125, 62, 31, 15, 7, 3: none divides
    EXPECT_EQ(message_of([] { setup_method(parse_method_spec("pan2")); }), "no practical compatible Pan leaf");
    problem.leaf = 1024;
    EXPECT_EQ(message_of([] { setup_method(parse_method_spec("pan2@1")); }), "no practical compatible Pan leaf");
    problem.n = 4097 * 2;  // b = 4097 is odd: not divisible by the macro split of pan4
    EXPECT_EQ(message_of([] { setup_method(parse_method_spec("pan4")); }), "Pan macro split incompatible");

    // A method that is neither Pan nor agg1.
    problem.n = 512;
    setup_method(parse_method_spec("dense"));
    EXPECT_EQ(active_method.pan_leaf, 0u);
    EXPECT_EQ(active_method.agg_q, 0u);
    EXPECT_EQ(active_method.pan_bytes, 1u);
}

TEST_F(MethodRun, DenseRoutesEqualOpenBlas) {
    for (const char* method : {"dense", "dense:2x4:512", "dense:3x1", "dense:16x16"}) {
        Matrices m(1000);
        MethodSpec spec = parse_method_spec(method);
        setup_method(spec);
        execute_method(spec);
        EXPECT_EQ(m.c, m.ref) << method;
        EXPECT_EQ(phase_timers.pan_products, 0u);
        EXPECT_EQ(phase_timers.forms, 0.0);
    }
}

TEST_F(MethodRun, TileBatchesRunEveryTileAndPassFailuresOn) {
    Matrices m(333);
    std::vector<float> c2(333 * 333, 7.0f);
    aocl_backend::AoclTile tile;
    tile.a = m.a.data();
    tile.lda = 333;
    tile.b = m.b.data();
    tile.ldb = 333;
    tile.c = m.c.data();
    tile.ldc = 333;
    tile.extent = 333;
    tile.row_parts = 3;
    tile.col_parts = 500;  // more column parts than columns: some tiles are empty
    aocl_backend::AoclTile second = tile;
    second.c = c2.data();
    second.row_parts = 1;
    second.col_parts = 2;
    second.k_chunk = 100;
    second.accumulate = true;
    run_aocl_tiles({tile, second});
    EXPECT_EQ(m.c, m.ref);
    for (std::size_t i = 0; i < c2.size(); ++i) ASSERT_EQ(c2[i], m.ref[i] + 7.0f) << i;
    run_aocl_tiles({});  // an empty batch runs nothing

    // A tile the library cannot take is refused inside its job; the error
    // reaches the caller instead of ending the process, and the pool goes on.
    aocl_backend::AoclTile bad = tile;
    bad.lda = std::uint64_t{1} << 32;
    EXPECT_EQ(message_of([&] { run_aocl_tiles({tile, bad}); }),
              "AOCL backend: tile task exceeds the 32-bit CBLAS integer range");
    std::fill(m.c.begin(), m.c.end(), 0.0f);
    run_aocl_tiles({tile});
    EXPECT_EQ(m.c, m.ref);
}

TEST_F(MethodRun, NativeRouteWithAndWithoutLoopWays) {
    Matrices m(512);
    MethodSpec spec = parse_method_spec("native");
    setup_method(spec);
    execute_method(spec);
    EXPECT_EQ(m.c, m.ref);

    const int w = problem.workers;
    if (w == 8) {
        native_ways[0] = 2;
        native_ways[1] = 2;
        native_ways[2] = 2;
        std::fill(m.c.begin(), m.c.end(), 0.0f);
        execute_method(parse_method_spec("native"));
        EXPECT_EQ(m.c, m.ref);
        // "auto" runs without ways and leaves the setting as it was.
        execute_method(parse_method_spec("native:auto"));
        EXPECT_EQ(native_ways[0], 2);
        native_ways[0] = native_ways[1] = native_ways[2] = 0;

        MethodSpec over = parse_method_spec("native:2x2x2");
        over.config = "2x2x4";
        EXPECT_EQ(message_of([&] { execute_method(over); }),
                  "AOCL backend: AOCL loop ways exceed the configured worker budget");
        over.config = "9x1x1";
        EXPECT_EQ(message_of([&] { execute_method(over); }), "AOCL backend: invalid AOCL loop ways");
        // The main thread is back on one AOCL thread and the ways are unchanged after a failure.
        EXPECT_EQ(native_ways[0], 0);
        EXPECT_EQ(aocl_backend::thread_state.threads, 1);
        std::fill(m.c.begin(), m.c.end(), 0.0f);
        execute_method(parse_method_spec("native:2x2x2"));
        EXPECT_EQ(m.c, m.ref);
    }
}

TEST_F(MethodRun, PanDirectRouteCountsItsLeafProducts) {
    problem.leaf = 256;
    for (const char* method : {"pan2", "pan4", "aocl_pan2", "pan_block@128"}) {
        Matrices m(1024);
        MethodSpec spec = parse_method_spec(method);
        setup_method(spec);
        execute_method(spec);
        EXPECT_EQ(m.c, m.ref) << method;
        const std::uint64_t g = static_cast<std::uint64_t>(spec.macro_grid);
        const std::uint64_t mm = 512 / g / active_method.pan_leaf;
        EXPECT_EQ(phase_timers.pan_pairs, 4 * g * g * g) << method;
        EXPECT_EQ(phase_timers.pan_products, 4 * g * g * g * (mm * mm * mm + 3 * mm * mm)) << method;
    }
    problem.leaf = 1024;
}

TEST_F(MethodRun, CentredPanRouteGivesTheInputsBack) {
    problem.leaf = 256;
    const std::uint64_t n = 1024;
    Matrices m(n);
    // Rows of A near +3, rows of B near -5 (every other one), the rest as they are.
    std::mt19937 rng(2);
    std::uniform_real_distribution<float> u(0, 1);
    for (std::uint64_t i = 0; i < n; ++i)
        for (std::uint64_t j = 0; j < n; ++j) {
            m.a[i * n + j] = 3.0f + u(rng);
            if (i % 2 == 0) m.b[i * n + j] = -5.0f - u(rng);
        }
    const std::vector<float> a0 = m.a, b0 = m.b;
    std::vector<double> da(m.a.begin(), m.a.end()), db(m.b.begin(), m.b.end()), ref(n * n);
    cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, 1024, 1024, 1024, 1.0, da.data(), 1024, db.data(),
                1024, 0.0, ref.data(), 1024);

    MethodSpec spec = parse_method_spec("center_pan2");
    setup_method(spec);
    EXPECT_EQ(active_method.center_bytes, 4u * 8192u);
    EXPECT_EQ(active_method.owned_scratch_bytes,
              active_method.pan_bytes + active_method.outer_bytes + active_method.center_bytes);
    execute_method(spec);
    EXPECT_EQ(m.a, a0);
    EXPECT_EQ(m.b, b0);
    EXPECT_EQ(problem.A, m.a.data());
    EXPECT_GT(phase_timers.forms, 0.0);
    EXPECT_GT(phase_timers.decode, 0.0);
    double err = 0, norm = 0;
    for (std::size_t i = 0; i < ref.size(); ++i) {
        err += (m.c[i] - ref[i]) * (m.c[i] - ref[i]);
        norm += ref[i] * ref[i];
    }
    EXPECT_LT(std::sqrt(err / norm), 1e-6);

    // A product that fails after the inputs were centred (C on top of A is
    // refused by the engine) leaves A and B as they were, and the views too.
    problem.C = m.a.data();
    EXPECT_THROW(execute_method(spec), std::exception);
    EXPECT_EQ(m.a, a0);
    EXPECT_EQ(m.b, b0);
    EXPECT_EQ(problem.A, m.a.data());
    EXPECT_EQ(problem.B, m.b.data());
    problem.C = m.c.data();

    // A NaN input is refused before anything changes.
    m.b[5 * n + 7] = std::nanf("");
    std::vector<float> b_nan = m.b;
    EXPECT_EQ(message_of([&] { execute_method(spec); }), "centering requires finite original inputs");
    EXPECT_EQ(m.a, a0);
    EXPECT_EQ(std::memcmp(m.b.data(), b_nan.data(), n * n * 4), 0);
    problem.leaf = 1024;
}
