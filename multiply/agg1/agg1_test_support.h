// Test support for the agg1 engine tests: a fixture whose suite places the
// agg1 pool on the test workers from CPU 0 and shuts it down afterwards, each
// step and every test under a watchdog, so that a deadlock fails in seconds.
#pragma once

#include <gtest/gtest.h>

#include "common/testing/test_support.h"
#include "common/testing/test_watchdog.h"
#include "multiply/agg1/agg1.h"

class Agg1PooledTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const TestWatchdog watchdog;
        agg1::init_pool(test_workers(), 0);
    }
    static void TearDownTestSuite() {
        const TestWatchdog watchdog;
        agg1::shutdown();
    }
    const TestWatchdog watchdog_;
};
