// korvane_multiply and its benchmark under address-space limits: from a
// limit too small to start up to one large enough to finish, every run ends
// promptly, either with success or with one FAILED line as its last word.
// (OpenBLAS's buffers, BLIS's allocations and the exit after a failure used
// to turn a shortage into a silent spin, a hang after the failure line or a
// core dump.)
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "common/testing/test_support.h"

namespace {

// A run that does not end within this many seconds counts as hung. A run
// at side 2048 takes a second or two.
constexpr int kHangSeconds = 60;

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool starts_with(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

// Empty when a run under a limit ended as it should; otherwise what went
// wrong. A shortage that only third-party code meets before the program can
// see it ends as the README says: OpenBLAS cannot start its threads when it
// loads, or libgomp cannot start the backend's OpenMP team.
std::string fault_of(const CommandResult& r) {
    if (r.status == 0) return "";
    if (r.status == 128 + 9) return "no end within " + std::to_string(kHangSeconds) + " s";
    const std::vector<std::string> err = lines_of(r.err);
    const long failed = std::count_if(err.begin(), err.end(), [](const std::string& l) { return starts_with(l, "FAILED "); });
    if (r.status == 2 && failed == 1 && starts_with(err.back(), "FAILED ")) return "";
    if (r.status == 1 && r.err.find("libgomp: Thread creation failed") != std::string::npos) return "";
    if (r.status == 130 && starts_with(r.err, "OpenBLAS blas_thread_init: pthread_create failed")) return "";
    return "status " + std::to_string(r.status) + ", standard error:\n" + r.err;
}

class MemoryLimit : public ::testing::Test {
protected:
    static inline ScratchDir* dir = nullptr;

    static void SetUpTestSuite() {
        dir = new ScratchDir("memory_limit");
        run_python(dir->path,
                   "rng = np.random.default_rng(3)\n"
                   "for name in ('a', 'b'):\n"
                   "    np.save(name + '.npy', rng.standard_normal((2048, 2048), dtype=np.float32))\n");
    }
    static void TearDownTestSuite() { delete dir; }

    void SetUp() override {
#ifdef KORVANE_SANITIZER_BUILD
        GTEST_SKIP() << "address-space limits cannot be set under the sanitizers' shadow memory";
#endif
        if (std::system("timeout --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "timeout is not installed";
    }

    // Runs `command` (a program and its arguments) in the scratch directory
    // under address-space limits rising in steps of step_mib: every run must
    // end as fault_of allows, and at least one with `own_failure` (the
    // program's own allocation failure) before one succeeds.
    static void sweep(const std::string& command, const std::string& own_failure, long step_mib = 128) {
        EXPECT_EQ(sweep_address_limits(dir->path, command, kHangSeconds, fault_of,
                                       [&](const CommandResult& r) { return r.err == own_failure; }, step_mib),
                  "")
            << command;
    }

    static int workers() { return std::min(test_workers(), 4); }
};

}  // namespace

// The dense route: tiled products inside the AOCL-BLAS library.
TEST_F(MemoryLimit, DenseRouteEndsWithItsStatus) {
    sweep("'" KORVANE_BINARY_DIR "/multiply/cli/korvane_multiply' a.npy b.npy c.npy --workers " +
              std::to_string(workers()),
          "FAILED std::bad_alloc\n");
}

// With --check the workers also run OpenBLAS's FP64 products at once.
TEST_F(MemoryLimit, CheckedRunEndsWithItsStatus) {
    sweep("'" KORVANE_BINARY_DIR "/multiply/cli/korvane_multiply' a.npy b.npy c.npy --check --workers " +
              std::to_string(workers()),
          "FAILED std::bad_alloc\n");
}

// OpenBLAS's own threads may begin running long after they were created (a
// busy machine, here a preloaded library that delays them): the runs end the
// same way. (A thread that began after the pool had reserved OpenBLAS's
// buffers took one of them, and a worker's FP64 product then spun.) Finer
// steps, as the limits where that shows may lie close together.
TEST_F(MemoryLimit, CheckedRunEndsWithItsStatusWhenBlasThreadsStartLate) {
    sweep("env LD_PRELOAD='" KORVANE_LATE_BLAS_THREADS "' '" KORVANE_BINARY_DIR
          "/multiply/cli/korvane_multiply' a.npy b.npy c.npy --check --workers " +
              std::to_string(workers()),
          "FAILED std::bad_alloc\n", 16);
}

// The benchmark's failure path ends the same way.
TEST_F(MemoryLimit, BenchmarkEndsWithItsStatus) {
    const auto [base, count] = consecutive_test_cpus();
    sweep("env WORKERS=" + std::to_string(std::min(count, 4)) + " CPU_BASE=" + std::to_string(base) +
              " '" KORVANE_BINARY_DIR "/multiply/bench/korvane_multiply_bench' 1024 256 1 pilot dense,center_pan2",
          "FAILED std::bad_alloc\n");
}
