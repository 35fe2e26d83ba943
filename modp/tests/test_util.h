// Helpers for the modular multiplier's tests: scratch directories, numpy
// fixtures through the configured Python, running the real program, a pool
// shared by a suite, and the CPU a worker is pinned to.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/testing/test_support.h"
#include "modp/pool.h"

namespace modp_test {

using ::read_file;
using ::write_file;

inline bool file_exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

inline std::string program_path() { return std::string(KORVANE_BINARY_DIR) + "/modp/korvane_multiply_modp"; }

// Runs the program in dir with shell-quoted args, after an optional
// environment prefix such as "KORVANE_CPUS=0-3".
inline CommandResult run_program(const std::string& dir, const std::string& args, const std::string& env = "") {
    return run_in(dir, env + " '" + program_path() + "' " + args);
}

// Expects f() to throw std::runtime_error with exactly this message.
template <typename F>
void expect_error(F&& f, const std::string& message) {
    EXPECT_EQ(message_of<std::runtime_error>(f), message);
}

// The CPU each worker of a started pool is pinned to (-1: not exactly one,
// -2: the worker took none of the many small tasks).
inline std::vector<int> worker_cpus(torvik::Pool& pool) {
    std::vector<int> cpu_of(static_cast<size_t>(pool.worker_count()), -2);
    pool.run(2000, [&](int, int w) {
        cpu_of[static_cast<size_t>(w)] = only_cpu();
        usleep(50);
    });
    return cpu_of;
}

// A scratch directory per test, and one four-worker pool per suite.
class ModpTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        pool_ = new torvik::Pool;
        pool_->start(4, 0);
    }
    static void TearDownTestSuite() {
        pool_->stop();
        delete pool_;
    }
    void SetUp() override {
        scratch_ = std::make_unique<ScratchDir>("modp");
        dir_ = scratch_->path;
    }
    void TearDown() override { scratch_.reset(); }
    std::string path(const std::string& name) const { return scratch_->at(name); }
    std::string py(const std::string& code) const { return run_python(dir_, code); }

    static inline torvik::Pool* pool_ = nullptr;
    std::unique_ptr<ScratchDir> scratch_;
    std::string dir_;
};

}  // namespace modp_test
