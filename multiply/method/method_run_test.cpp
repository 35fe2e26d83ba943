// Method set-up and execution on the real pool and AOCL backend, against OpenBLAS.
#include <gtest/gtest.h>

#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "multiply/blas/aocl_backend.h"
#include "common/testing/test_support.h"
#include "multiply/blas/blas_test_support.h"
#include "multiply/method/method_run.h"
#include "multiply/method/method_test_support.h"
#include "multiply/method/problem.h"
#include "multiply/pan_adapter/pool.h"

namespace {

// Small integers: every product below is exact in float, so results compare
// bit for bit with the one from OpenBLAS.
struct Matrices : MethodInputs {
    std::vector<float> ref;
    explicit Matrices(std::uint64_t n) : MethodInputs(n) {
        ref = integers(static_cast<unsigned>(n), 4).sgemm_product();
    }
    void expect_exact(const MethodSpec& spec) { EXPECT_EQ(run(spec), ref) << spec.config; }
};

// One-thread products of the corrections of a direct Pan run: 3 mm^2 on each
// of the g^3 macro blocks of its four pair products.
std::uint64_t pan_direct_corrections(const MethodSpec& spec, std::uint64_t n) {
    const std::uint64_t g = static_cast<std::uint64_t>(spec.macro_grid);
    const std::uint64_t mm = n / 2 / g / active_method.pan_leaf;
    return 4 * g * g * g * 3 * mm * mm;
}

// The backend and the pool on up to eight usable CPUs; every one-thread AOCL
// call is audited, so the audit counter counts the library's products.
class MethodRun : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::vector<int> cpus = blas_test::aocl_test_cpus();
        ScopedEnv audit("AOCL_AUDIT_EVERY_CALL", "1");
        if (cpus.size() >= 2) start_backends(static_cast<int>(cpus.size()), cpus[0]);
    }
    void SetUp() override {
        if (!aocl_backend::state.ready) GTEST_SKIP() << "needs two usable CPUs on distinct physical cores";
    }
    static void TearDownTestSuite() { release_all(); }
};

std::uint64_t aocl_calls() { return aocl_backend::external_audited_calls.load(); }

}  // namespace

TEST_F(MethodRun, SetupRefusesShapesAndLeaves) {
    struct {
        std::uint64_t n, leaf;
        const char *method, *error;
        int levels = 0;  // < 0: replaces the parsed Strassen depth
    } cases[] = {
        {1001, 1024, "dense", "shape/depth incompatible"},
        {4096, 1024, "strassen_aocl5", "shape/depth incompatible"},
        {4096, 1024, "strassen_aocl1", "shape/depth incompatible", -1},
        // Pan leaf: halving from the requested leaf until it divides the pair side.
        {6000, 1024, "pan2", "no practical compatible Pan leaf"},   // b = 3000: 1024 halves down to 8, below 16
        {12288, 1000, "pan2", "no practical compatible Pan leaf"},  // b = 6144: 1000, 500, ..., 3: none divides
        {12288, 1024, "pan2@1", "no practical compatible Pan leaf"},
        {8194, 1024, "pan4", "Pan macro split incompatible"},  // b = 4097 is odd
    };
    for (const auto& c : cases) {
        problem.n = c.n;
        problem.leaf = c.leaf;
        MethodSpec spec = parse_method_spec(c.method);
        if (c.levels < 0) spec.strassen_levels = c.levels;
        EXPECT_EQ(message_of([&] { setup_method(spec); }), c.error) << c.method;
    }
    problem.leaf = 1024;
}

TEST_F(MethodRun, DenseRoutesEqualOpenBlas) {
    Matrices m(1000);
    for (const char* method : {"dense", "dense:2x4:512", "dense:3x1", "dense:16x16"}) {
        MethodSpec spec = parse_method_spec(method);
        setup_method(spec);
        m.expect_exact(spec);
        EXPECT_EQ(phase_timers.pan_products, 0u);
        EXPECT_EQ(phase_timers.forms, 0.0);
    }
}

TEST_F(MethodRun, TileBatchesRunEveryTileAndPassFailuresOn) {
    Matrices m(333);
    std::vector<float> c2(333 * 333, 7.0f);
    // More column parts than columns: some tiles are empty.
    const aocl_backend::AoclTile tile{.a = m.a.data(), .lda = 333, .b = m.b.data(), .ldb = 333, .c = m.c.data(),
                                      .ldc = 333, .extent = 333, .row_parts = 3, .col_parts = 500};
    const aocl_backend::AoclTile second{.a = m.a.data(), .lda = 333, .b = m.b.data(), .ldb = 333, .c = c2.data(),
                                        .ldc = 333, .extent = 333, .row_parts = 1, .col_parts = 2, .k_chunk = 100,
                                        .accumulate = true};
    run_aocl_tiles({tile, second});
    EXPECT_EQ(m.c, m.ref);
    for (std::size_t i = 0; i < c2.size(); ++i) ASSERT_EQ(c2[i], m.ref[i] + 7.0f) << i;
    run_aocl_tiles({});  // an empty batch runs nothing

    // A tile the library cannot take (a stride that would wrap as a 32-bit
    // int, part counts that would place tiles outside C) is refused inside
    // its job before any library call; the error reaches the caller instead
    // of ending the process, and the pool goes on.
    aocl_backend::AoclTile wide = tile, no_parts = tile;
    wide.lda = std::uint64_t{1} << 32;
    no_parts.row_parts = -1;
    no_parts.col_parts = -2;
    const std::uint64_t calls = aocl_calls();
    EXPECT_EQ(message_of([&] { run_aocl_tiles({wide}); }),
              "AOCL backend: tile task exceeds the 32-bit CBLAS integer range");
    EXPECT_EQ(message_of([&] { run_aocl_tiles({no_parts}); }), "AOCL backend: tile task has no row or column parts");
    EXPECT_EQ(aocl_calls(), calls);
    // A part count of zero, or one negative count, gives the tile no job at
    // all: the whole batch is refused before any tile runs.
    std::fill(m.c.begin(), m.c.end(), 3.0f);
    for (const auto& parts : {std::pair{0, 5}, std::pair{4, 0}, std::pair{-1, 3}, std::pair{2, -7}}) {
        no_parts.row_parts = parts.first;
        no_parts.col_parts = parts.second;
        EXPECT_EQ(message_of([&] { run_aocl_tiles({tile, no_parts}); }),
                  "AOCL backend: tile task has no row or column parts")
            << parts.first << " x " << parts.second;
    }
    EXPECT_EQ(aocl_calls(), calls);
    for (float x : m.c) ASSERT_EQ(x, 3.0f);
    EXPECT_EQ(message_of([&] { run_aocl_tiles({tile, wide}); }),
              "AOCL backend: tile task exceeds the 32-bit CBLAS integer range");
    std::fill(m.c.begin(), m.c.end(), 0.0f);
    run_aocl_tiles({tile});
    EXPECT_EQ(m.c, m.ref);
}

// Ways are set as configurations of the parsed "native" method, so that they
// fit any worker count W >= 2: 2 x 1 x W/2 uses at most W threads.
TEST_F(MethodRun, NativeRouteWithAndWithoutLoopWays) {
    const int w = problem.workers;
    Matrices m(512);
    MethodSpec spec = parse_method_spec("native");
    setup_method(spec);
    m.expect_exact(spec);

    native_ways[0] = 2;
    native_ways[1] = 1;
    native_ways[2] = w / 2;
    m.expect_exact(spec);
    // "auto" runs without ways and leaves the setting as it was.
    spec.config = "auto";
    execute_method(spec);
    EXPECT_EQ(native_ways[0], 2);
    native_ways[0] = native_ways[1] = native_ways[2] = 0;

    spec.config = "2x1x" + std::to_string(w);  // each way fits, their product does not
    EXPECT_EQ(message_of([&] { execute_method(spec); }),
              "AOCL backend: AOCL loop ways exceed the configured worker budget");
    spec.config = std::to_string(w + 1) + "x1x1";
    EXPECT_EQ(message_of([&] { execute_method(spec); }), "AOCL backend: invalid AOCL loop ways");
    // The main thread is back on one AOCL thread and the ways are unchanged after a failure.
    EXPECT_EQ(native_ways[0], 0);
    EXPECT_EQ(aocl_backend::thread_state.threads, 1);
    spec.config = "2x1x" + std::to_string(w / 2);
    m.expect_exact(spec);
    EXPECT_EQ(native_ways[0], 0);
}

TEST_F(MethodRun, PanDirectRouteSendsOnlyCorrectionsToAocl) {
    problem.leaf = 256;
    Matrices m(1024);
    for (const char* method : {"pan2", "pan4", "aocl_pan2", "pan_block@128"}) {
        MethodSpec spec = parse_method_spec(method);
        setup_method(spec);
        const std::uint64_t calls = aocl_calls();
        m.expect_exact(spec);
        // The corrections, and only they, go to AOCL-BLAS with the prefix.
        EXPECT_EQ(aocl_calls() - calls, spec.aocl_corrections ? pan_direct_corrections(spec, 1024) : 0) << method;
    }
    problem.leaf = 1024;
}
