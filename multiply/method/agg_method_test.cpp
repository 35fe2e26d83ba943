// The agg1 methods through setup_method and execute_method, against the dense route.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "common/cpus.h"
#include "multiply/agg1/agg1.h"
#include "common/testing/test_support.h"
#include "multiply/agg1/term_product.h"
#include "multiply/blas/aocl_backend.h"
#include "multiply/method/method_run.h"
#include "multiply/method/method_test_support.h"
#include "multiply/method/problem.h"
#include "multiply/pan_adapter/pool.h"

namespace {

class AggMethod : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const TestWatchdog watchdog;
        start_backends(test_workers(), test_cpu_base());
    }
    static void TearDownTestSuite() {
        const TestWatchdog watchdog;
        release_all();
    }
    const TestWatchdog watchdog_;  // a deadlocked run fails in seconds
};

}  // namespace

TEST_F(AggMethod, AggMethodsMatchTheDenseRoute) {
    const std::uint64_t n = 2048;
    MethodInputs v(n);
    const std::vector<float> dense = v.normal(5).run("dense");
    struct {
        const char* method;
        std::uint64_t q, runs;
    } cases[] = {{"agg1@64", 32, 1}, {"strassen_agg1@64", 16, 7}, {"agg1g@128", 16, 1}, {"strassen_agg2@64", 8, 49}};
    for (const auto& k : cases) {
        const std::vector<float> c = v.run(k.method);
        EXPECT_LT(relative_error(c, dense), 1e-5) << k.method;
        EXPECT_EQ(active_method.agg_q, k.q) << k.method;
        EXPECT_EQ(phase_timers.agg_runs, k.runs) << k.method;
        EXPECT_GT(phase_timers.agg_main, 0.0) << k.method;
    }
}

// The block side halves from the requested leaf until it divides m = n / 2^s
// into an even number of blocks.
TEST_F(AggMethod, SetupChoosesTheBlockSide) {
    MethodInputs v(1536);
    setup_method(parse_method_spec("agg1"));  // 1024, 512 give 1 and 3 blocks; 256 gives 6
    EXPECT_EQ(active_method.pan_leaf, 256u);
    EXPECT_EQ(active_method.agg_q, 6u);
    EXPECT_FALSE(agg1::general_forms_only);
    setup_method(parse_method_spec("agg1g@512"));
    EXPECT_EQ(active_method.pan_leaf, 256u);
    EXPECT_TRUE(agg1::general_forms_only);
    setup_method(parse_method_spec("strassen_agg1@96"));  // m = 768: 96 gives 8 blocks
    EXPECT_EQ(active_method.pan_leaf, 96u);
    EXPECT_EQ(active_method.agg_q, 8u);
    setup_method(parse_method_spec("dense"));
    EXPECT_EQ(agg1::prepared_q(), 0u);  // a method without agg1 releases it
    EXPECT_EQ(active_method.agg_q, 0u);

    for (auto [n, method] : std::vector<std::pair<std::uint64_t, const char*>>{
             {200, "agg1"}, {2048, "agg1@1"}, {1536, "agg1@7"}}) {
        MethodInputs w(n);
        EXPECT_EQ(message_of([&] { setup_method(parse_method_spec(method)); }), "no practical compatible agg leaf")
            << n << " " << method;
    }
    agg1::general_forms_only = false;
}
