// korvane_multiply_modp under address-space limits: from a limit too small
// to start up to one large enough to finish, every run ends promptly with
// success, with "alloc failed" and status 1, or with one FAILED line. (A
// worker whose first OpenBLAS product met the shortage used to spin for
// ever, and a process that had reported its failure used to hang at exit.)
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "common/testing/test_support.h"

namespace {

// A run that does not end within this many seconds counts as hung. A run
// at side 2048 takes a second or two.
constexpr int kHangSeconds = 60;

// Empty when a run under a limit ended as it should; otherwise what went
// wrong. Below what OpenBLAS needs to start its threads when it loads, it
// ends the process before the program runs, as the README says.
std::string fault_of(const CommandResult& r) {
    if (r.status == 0 || (r.status == 1 && r.err == "alloc failed\n")) return "";
    if (r.status == 128 + 9) return "no end within " + std::to_string(kHangSeconds) + " s";
    // Failures other than an allocation, such as a file that cannot be read.
    if (r.status == 2 && r.err.rfind("FAILED ", 0) == 0 && r.err.find('\n') == r.err.size() - 1) return "";
    if (r.status == 130 && r.err.rfind("OpenBLAS blas_thread_init: pthread_create failed", 0) == 0) return "";
    return "status " + std::to_string(r.status) + ", standard error:\n" + r.err;
}

class ModpMemoryLimit : public ::testing::Test {
protected:
    static inline ScratchDir* dir = nullptr;

    static void SetUpTestSuite() {
        dir = new ScratchDir("modp_memory_limit");
        run_python(dir->path,
                   "rng = np.random.default_rng(5)\n"
                   "for name in ('a', 'b'):\n"
                   "    np.save(name + '.npy', rng.integers(-1000, 1000, (2048, 2048), dtype=np.int32))\n");
    }
    static void TearDownTestSuite() { delete dir; }

    void SetUp() override {
#ifdef KORVANE_SANITIZER_BUILD
        GTEST_SKIP() << "address-space limits cannot be set under the sanitizers' shadow memory";
#endif
        if (std::system("timeout --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "timeout is not installed";
    }

    // Runs the program with `args` (started through `launcher`, a command
    // prefix, when one is given) under address-space limits rising in steps
    // of step_mib: every run must end as fault_of allows, and some limit in
    // "alloc failed" before one succeeds.
    static void sweep(const std::string& args, const std::string& launcher = "", long step_mib = 128) {
        EXPECT_EQ(sweep_address_limits(dir->path,
                                       launcher + "'" KORVANE_BINARY_DIR "/modp/korvane_multiply_modp' " + args,
                                       kHangSeconds, fault_of, [](const CommandResult& r) { return r.status == 1; },
                                       step_mib),
                  "")
            << launcher << args;
    }

    static std::string workers() { return std::to_string(std::min(test_workers(), 4)); }
};

}  // namespace

// Both routes: the bundles' block products and the classical tiles run
// OpenBLAS products on every worker at once.
TEST_F(ModpMemoryLimit, BundleRouteEndsWithItsStatus) {
    sweep("a.npy b.npy c.npy --p 65521 --mode fmm --block 256 --workers " + workers());
}

TEST_F(ModpMemoryLimit, ClassicalRouteEndsWithItsStatus) {
    sweep("a.npy b.npy c.npy --p 65521 --mode classical --check --workers " + workers());
}

// OpenBLAS's own threads may begin running long after they were created (a
// busy machine, here a preloaded library that delays them): the runs end the
// same way. (A thread that began after the pool had reserved OpenBLAS's
// buffers took one of them, and a worker's block product then spun.) Finer
// steps, as the limits where that shows may lie close together.
TEST_F(ModpMemoryLimit, BundleRouteEndsWithItsStatusWhenBlasThreadsStartLate) {
    sweep("a.npy b.npy c.npy --p 65521 --mode fmm --block 256 --workers " + workers(),
          "env LD_PRELOAD='" KORVANE_LATE_BLAS_THREADS "' ", 16);
}
