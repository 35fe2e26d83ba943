// The benchmark entry in process: a failure in the middle of a campaign
// still releases the method state, the engines and the pools.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "common/testing/test_support.h"
#include "multiply/accuracy/accuracy.h"
#include "multiply/bench/bench.h"
#include "multiply/method/center.h"
#include "multiply/method/problem.h"
#include "multiply/pan_adapter/pan_engine.h"
#include "multiply/pan_adapter/pool.h"

namespace {

bool saw_centred_state = false;

// After the product: note that the run left prepared state behind, then
// overwrite a padding cell of C so that the validation fails.
void damage_padding() {
    saw_centred_state = center::state.side == problem.n && pan_adapter::implementation::pan_state.prepared &&
                        pan_adapter::implementation::initialized && accuracy::detail::state.prepared;
    problem.C[problem.n] = 0.0f;
}

}  // namespace

TEST(BenchTeardown, FailureMidCampaignReleasesEverything) {
    const auto [base, count] = consecutive_test_cpus();
    setenv("WORKERS", std::to_string(std::min(count, 4)).c_str(), 1);
    setenv("CPU_BASE", std::to_string(base).c_str(), 1);
    setenv("LD_PADDING", "1", 1);
    bench::testing::after_execute = damage_padding;

    std::string args[] = {"bench", "512", "128", "1", "pilot", "center_pan2,dense"};
    char* argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data(), args[4].data(), args[5].data()};
    ::testing::internal::CaptureStderr();
    const int status = bench_main(6, argv);
    const std::string err = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(status, 2);
    EXPECT_EQ(err, "FAILED matrix padding overwritten\n");
    ASSERT_TRUE(saw_centred_state);  // the failure came with everything prepared
    EXPECT_EQ(center::state.side, 0u);
    EXPECT_FALSE(pan_adapter::implementation::pan_state.prepared);
    EXPECT_FALSE(pan_adapter::implementation::initialized);
    EXPECT_FALSE(accuracy::detail::state.prepared);
    EXPECT_EQ(problem.C, nullptr);
}
