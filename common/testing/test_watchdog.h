// Test support: a watchdog for tests whose failure mode is a deadlock. While
// a TestWatchdog exists, a thread of its own waits for it to be destroyed;
// should that not happen within the limit, the thread names the test on
// standard error and ends the process with status 1, so that a hang fails in
// seconds instead of at ctest's per-test timeout.
//
// Hold one for the test body (a fixture member covers SetUp, the body and
// TearDown) and one in each suite-wide set-up and tear-down that starts or
// stops a pool. Not for the body of a death test: its child is forked, and a
// forked child of a multi-threaded process may not start threads under
// ThreadSanitizer.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define KORVANE_TEST_WATCHDOG_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define KORVANE_TEST_WATCHDOG_SANITIZED 1
#endif
#endif

// The limit: far above the slowest legitimate case (about 2 s for an
// optimised engine test, about 30 s for one under ThreadSanitizer on an idle
// machine), with room for a machine busy with other tests.
inline int test_watchdog_seconds() {
#if defined(KORVANE_SANITIZER_BUILD) || defined(KORVANE_TEST_WATCHDOG_SANITIZED)
    return 180;
#elif !defined(__OPTIMIZE__)
    return 120;
#else
    return 30;
#endif
}

class TestWatchdog {
public:
    explicit TestWatchdog(int seconds = test_watchdog_seconds())
        : what_(running()), seconds_(seconds), thread_([this] { watch(); }) {}
    ~TestWatchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        finished_.notify_one();
        thread_.join();
    }
    TestWatchdog(const TestWatchdog&) = delete;
    TestWatchdog& operator=(const TestWatchdog&) = delete;

private:
    // The running test, or the suite whose set-up or tear-down is running.
    static std::string running() {
        const ::testing::UnitTest& unit = *::testing::UnitTest::GetInstance();
        if (const ::testing::TestInfo* test = unit.current_test_info())
            return std::string(test->test_suite_name()) + "." + test->name();
        if (const ::testing::TestSuite* suite = unit.current_test_suite())
            return std::string(suite->name()) + " (suite set-up or tear-down)";
        return "(outside any test)";
    }

    void watch() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (finished_.wait_for(lock, std::chrono::seconds(seconds_), [this] { return done_; })) return;
        std::fprintf(stderr, "watchdog: %s did not finish within %d s (a deadlock?)\n", what_.c_str(), seconds_);
        std::fflush(stderr);
        _exit(1);
    }

    const std::string what_;
    const int seconds_;
    std::mutex mutex_;
    std::condition_variable finished_;
    bool done_ = false;
    std::thread thread_;  // last: starts once everything it reads exists
};
