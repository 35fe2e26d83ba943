// The accurate Pan methods through set-up and execution, their accuracy
// against the dense route, and the native route's way back to one thread.
#include <gtest/gtest.h>

#include <cblas.h>
#include <sched.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/cpus.h"
#include "multiply/blas/aocl_backend.h"
#include "multiply/blas/blas_test_support.h"
#include "multiply/method/method_run.h"
#include "common/testing/test_support.h"
#include "multiply/method/method_test_support.h"
#include "multiply/method/problem.h"
#include "multiply/pan_adapter/pan_accurate.h"
#include "multiply/pan_adapter/pool.h"

namespace {

using u64 = std::uint64_t;

class AccurateRoute : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        start_backends(std::min(8, usable_cpus_from(test_cpu_base())), test_cpu_base());
    }
    static void TearDownTestSuite() { release_all(); }
    void TearDown() override { problem.leaf = 1024; }
};

}  // namespace

TEST_F(AccurateRoute, AccurateMethodsRunThroughSetupAndExecute) {
    // Small integers: every route is exact, so C must equal one float product.
    const u64 n = 1024;
    problem.leaf = 128;
    MethodInputs m(n);
    const std::vector<float> ref = m.integers(5, 4).sgemm_product();
    // accurate2: b = 512, L = 128, g = 4; then macro grid 2 with one 128 x 128
    // tile, a tile taller than the leaf, and L = 64 with one correction piece.
    for (const char* method :
         {"accurate2", "accurate4k128s128t128p0", "center_accurate2s32t256p1", "aocl_accurate2k1000@64"}) {
        SCOPED_TRACE(method);
        const MethodSpec spec = parse_method_spec(method);
        setup_method(spec);
        for (int run = 0; run < 2; ++run) {
            EXPECT_EQ(m.run(spec), ref);  // the run's end check counts the leaf products
            EXPECT_GT(phase_timers.pan_main, 0.0);
        }
    }

    // Options the name grammar cannot produce are still refused by set-up
    // (every refusal of the settings: pan_accurate_test).
    MethodSpec spec = parse_method_spec("accurate2");
    spec.correction_tile = 64;
    EXPECT_EQ(message_of([&] { setup_method(spec); }),
              "accurate correction tile must be 0, 128, or 256");
    // A following plain method releases the accurate buffers.
    setup_method(parse_method_spec("pan2"));
    EXPECT_EQ(pan_adapter::accurate_bytes(), 0u);
}

TEST_F(AccurateRoute, NoLessAccurateThanDenseUnderCancellation) {
    // Side 2048, leaf 1024. Rows of A are positive in their first half and
    // negative in the second, each row scaled by 2^e with e in [-20, 20]; B is
    // positive: every entry of C is a small difference of two large sums.
    const u64 n = 2048;
    MethodInputs m(n);
    std::mt19937 rng(9);
    std::normal_distribution<float> normal;
    std::uniform_int_distribution<int> exponent(-20, 20);
    for (u64 i = 0; i < n; ++i) {
        const int e = exponent(rng);
        for (u64 j = 0; j < n; ++j) {
            const float sign = j < n / 2 ? 1.0f : -1.0f;
            m.a[i * n + j] = sign * std::ldexp(1.0f + std::fabs(normal(rng)), e);
            m.b[i * n + j] = 1.0f + std::fabs(normal(rng));
        }
    }
    const std::vector<double> ref = m.fp64_product();
    const double dense = relative_error(m.run("dense"), ref);
    const double accurate = relative_error(m.run("center_accurate2s32t256p1"), ref);
    const double pan = relative_error(m.run("pan2"), ref);
    EXPECT_LE(accurate, dense) << dense << " " << accurate << " " << pan;
    // The float Pan route on the same inputs is several times worse.
    EXPECT_LT(2 * accurate, pan);
}

namespace {

aocl_backend::SetThreadsFn library_set_local = nullptr;
void ignore_local_setting(std::int64_t) {}

// After the native product: the library will not go back to one thread.
void refuse_one_thread(int, int, int, float, float, int threads) {
    if (threads > 1) aocl_backend::state.set_num_threads_local = ignore_local_setting;
}
// The native product fails, and going back to one thread would fail too.
void fail_product(int, int, int, float, float, int threads) {
    refuse_one_thread(0, 0, 0, 0, 0, threads);
    if (threads > 1) throw std::runtime_error("product refused");
}

}  // namespace

TEST_F(AccurateRoute, NativeRouteReportsARefusedThreadSetting) {
    if (problem.native_threads < 2) GTEST_SKIP() << "the native route needs 2 usable CPUs";
    MethodInputs m(256);
    m.integers(6, 3);
    const MethodSpec spec = parse_method_spec("native");
    setup_method(spec);
    cpu_set_t before;
    CPU_ZERO(&before);
    ASSERT_EQ(sched_getaffinity(0, sizeof(before), &before), 0);
    library_set_local = aocl_backend::state.set_num_threads_local;
    auto put_library_back = [] {
        aocl_backend::testing::sgemm_observer = nullptr;
        aocl_backend::state.set_num_threads_local = library_set_local;
    };

    // The product succeeded but the thread setting was refused: the run fails
    // with that message, and the thread's placement and the ways are back.
    // "auto" clears the ways for the run (and sets no loop ways), so only the
    // put-back can bring the ones set here back.
    native_ways[0] = 2;
    native_ways[1] = native_ways[2] = 1;
    MethodSpec auto_spec = spec;
    auto_spec.config = "auto";
    aocl_backend::testing::sgemm_observer = refuse_one_thread;
    EXPECT_EQ(message_of([&] { execute_method(auto_spec); }),
              "AOCL backend: AOCL local thread setting was not accepted");
    put_library_back();
    cpu_set_t after;
    CPU_ZERO(&after);
    ASSERT_EQ(sched_getaffinity(0, sizeof(after), &after), 0);
    EXPECT_TRUE(CPU_EQUAL(&before, &after));
    EXPECT_EQ(native_ways[0], 2);
    EXPECT_EQ(native_ways[1], 1);
    native_ways[0] = native_ways[1] = native_ways[2] = 0;

    // Both fail: the product's exception is the one reported.
    aocl_backend::testing::sgemm_observer = fail_product;
    EXPECT_EQ(message_of([&] { execute_method(spec); }), "product refused");
    put_library_back();

    // With the library behaving, the route runs and ends on one thread.
    EXPECT_EQ(m.run(spec), m.sgemm_product());
    EXPECT_EQ(aocl_backend::thread_state.threads, 1);
}
