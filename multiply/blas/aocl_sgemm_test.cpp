// Guarded SGEMM and leaf routing against a backend loaded once for
// up to eight usable CPUs and the Pan pool on the same CPUs. Results are
// compared with OpenBLAS on integer-valued inputs, where every summation order
// is exact.
#include <gtest/gtest.h>

#include <algorithm>
#include <barrier>
#include <mutex>
#include <set>

#include "multiply/blas/aocl_backend.h"
#include "multiply/blas/blas_test_support.h"
#include "multiply/blas/leaf_route.h"
#include "multiply/pan_adapter/pool.h"

namespace {

using namespace blas_test;

// Worker i of the backend and of the pool runs on cpus()[i].
const std::vector<int>& cpus() {
    static const std::vector<int> list = aocl_test_cpus();
    return list;
}
int workers() { return static_cast<int>(cpus().size()); }

// Pool jobs are plain functions: this one runs the current test's lambda.
std::function<void(int)> current_job;
void run_jobs(int count, std::function<void(int)> job) {
    current_job = std::move(job);
    pan_adapter::run_jobs(count, [](int i) { current_job(i); });
}

// Every library call made through aocl_backend::sgemm while a Recording lives.
struct Call {
    int m, n, k;
    float alpha, beta;
    int threads;
    auto operator<=>(const Call&) const = default;
};
std::mutex calls_mutex;
std::vector<Call> calls;

struct Recording {
    Recording() {
        calls.clear();
        aocl_backend::testing::sgemm_observer = [](int m, int n, int k, float alpha, float beta, int threads) {
            std::lock_guard<std::mutex> lock(calls_mutex);
            calls.push_back({m, n, k, alpha, beta, threads});
        };
    }
    ~Recording() { aocl_backend::testing::sgemm_observer = nullptr; }
};

class AoclSgemm : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (workers() < 2) return;
        openblas_set_num_threads(1);
        aocl_backend::initialize(workers(), cpus()[0]);
        pan_adapter::init_pool(workers(), cpus()[0]);
    }
    void SetUp() override {
        if (workers() < 2) GTEST_SKIP() << "needs two usable CPUs on distinct physical cores";
    }
    // Pool workers wait on the pool's condition variables until shut down;
    // stop them before static destruction.
    static void TearDownTestSuite() { pan_adapter::shutdown(); }
};

std::uint64_t audited() { return aocl_backend::external_audited_calls.load(); }

// Thread counts are checked before any library call. (Results, strides and
// the audit of one-thread callers: the tests below.)
TEST_F(AoclSgemm, ThreadCountsAreCheckedBeforeAnyCall) {
    // initialize made the main thread a one-thread caller; bad counts leave it so.
    EXPECT_EQ(aocl_backend::thread_state.threads, 1);
    for (int n : {0, workers() + 1})
        EXPECT_EQ(error_of([&] { aocl_backend::set_threads(n); }),
                  "AOCL backend: invalid thread setting or uninitialized backend");
    EXPECT_EQ(aocl_backend::thread_state.threads, 1);

    // A thread that never set its count may not call SGEMM, pinned or not.
    const std::vector<float> a = integer_matrix(16, 11);
    std::vector<float> c(16, 7.0f);
    EXPECT_EQ(run_on_thread({cpus().back()},
                            [&] { aocl_backend::sgemm(101, 111, 111, 4, 4, 4, 1, a.data(), 4, a.data(), 4, 0, c.data(), 4); }),
              "AOCL backend: set_threads in every calling worker before SGEMM");
    EXPECT_EQ(c, std::vector<float>(16, 7.0f));
}

// Every pinned pool worker calls the library at once, each on its own
// products. A fresh pool: each worker's first call is audited, on the CPU of
// its index, and its later calls are not.
TEST_F(AoclSgemm, PinnedWorkersAtOnceAreEachAuditedOnce) {
    pan_adapter::shutdown();
    pan_adapter::init_pool(workers(), cpus()[0]);
    constexpr int jobs = 64, side = 96;
    constexpr std::size_t size = side * side;
    const std::vector<float> a = integer_matrix(jobs * size, 21), b = integer_matrix(jobs * size, 22);
    std::vector<float> c(jobs * size, -1.0f), ref(jobs * size);
    std::vector<int> cpu_of_job(jobs, -1), worker_of_job(jobs, -1);
    // The first jobs wait for each other, so every worker takes one of them.
    std::barrier all_workers(workers());
    const std::uint64_t before = audited();
    run_jobs(jobs, [&](int i) {
        if (i < workers()) all_workers.arrive_and_wait();
        aocl_backend::sgemm_one_thread(side, side, side, &a[i * size], side, &b[i * size], side, &c[i * size], side);
        cpu_of_job[i] = sched_getcpu();
        worker_of_job[i] = pan_adapter::pan_worker_id;
    });
    for (int i = 0; i < jobs; ++i)
        openblas_gemm(side, side, side, 1, &a[i * size], side, &b[i * size], side, 0, &ref[i * size], side);
    EXPECT_EQ(c, ref);
    EXPECT_EQ(audited() - before, static_cast<std::uint64_t>(workers()));
    for (int i = 0; i < jobs; ++i)
        ASSERT_TRUE(worker_of_job[i] >= 0 && worker_of_job[i] < workers() &&
                    cpu_of_job[i] == cpus()[worker_of_job[i]])
            << "job " << i << " worker " << worker_of_job[i] << " cpu " << cpu_of_job[i];
    EXPECT_EQ(std::set<int>(worker_of_job.begin(), worker_of_job.end()).size(), cpus().size());
    EXPECT_EQ(aocl_backend::affinity_failures.load(), 0u);
}

TEST_F(AoclSgemm, NativeCallPinsTheCallerOnlyForTheCall) {
    const int n = 192;
    const std::vector<float> a = integer_matrix(n * n, 31), b = integer_matrix(n * n, 32);
    std::vector<float> c(n * n), ref(n * n);
    openblas_gemm(n, n, n, 1, a.data(), n, b.data(), n, 0, ref.data(), n);
    const cpu_set_t mask = current_mask();
    const std::uint64_t native_before = aocl_backend::native_guarded_calls.load(), audited_before = audited();
    aocl_backend::set_threads(workers());
    aocl_backend::sgemm(101, 111, 111, n, n, n, 1, a.data(), n, b.data(), n, 0, c.data(), n);
    aocl_backend::set_threads(1);
    EXPECT_EQ(c, ref);
    EXPECT_EQ(aocl_backend::native_guarded_calls.load(), native_before + 1);
    EXPECT_EQ(audited(), audited_before);
    cpu_set_t after = current_mask();
    EXPECT_TRUE(CPU_EQUAL(&mask, &after));

    // After the native route changed the library's loop ways (process-wide),
    // the next set_threads puts the global count back to 1, even when this
    // thread's count stays 1.
    auto global_count = [] {  // as seen by a thread without a count of its own
        std::int64_t count = -1;
        run_on_thread({cpus()[0]}, [&] { count = aocl_backend::state.get_num_threads(); });
        return count;
    };
    aocl_backend::state.set_ways(1, 1, 2, 2, 1);
    aocl_backend::thread_state.reset_pending = true;
    EXPECT_EQ(global_count(), 4);
    aocl_backend::set_threads(1);
    EXPECT_EQ(global_count(), 1);
    EXPECT_FALSE(aocl_backend::thread_state.reset_pending);
    after = current_mask();
    EXPECT_TRUE(CPU_EQUAL(&mask, &after));
}

// Leaf products on the pool plus one on a thread that never used the backend:
// the OpenBLAS route never touches the backend (and works unpinned), the AOCL
// route makes one-thread library calls and sets up the new thread.
TEST_F(AoclSgemm, LeafRoutes) {
    constexpr int leaf = 48, jobs = 24;
    constexpr std::size_t ld = 64, size = leaf * ld;
    leaf_routing::pan_leaf_side = leaf;
    for (const bool aocl : {false, true}) {
        SCOPED_TRACE(aocl ? "aocl" : "openblas");
        leaf_routing::aocl_corrections = aocl;
        const std::vector<float> a = integer_matrix(jobs * size, 121), b = integer_matrix(jobs * size, 122);
        std::vector<float> c = integer_matrix(jobs * size, 123), ref = c;
        for (int i = 0; i < jobs; ++i)
            openblas_gemm(leaf, leaf, leaf, -1, &a[i * size], ld, &b[i * size], ld, 1, &ref[i * size], ld);
        auto leaf_job = [&](int i) {
            leaf_routing::route_leaf_sgemm(&a[i * size], ld, &b[i * size], ld, &c[i * size], ld, -1.0f, 1.0f);
        };
        const std::uint64_t counter = leaf_routing::pan_leaf_counter.load();
        Recording rec;
        run_jobs(jobs - 1, leaf_job);
        int threads = -1;
        EXPECT_EQ(run_on_thread(aocl ? std::vector<int>{cpus().back()} : cpus(), [&] {
                      leaf_job(jobs - 1);
                      threads = aocl_backend::thread_state.threads;
                  }),
                  "");
        EXPECT_EQ(threads, aocl ? 1 : 0);
        EXPECT_EQ(c, ref);
        EXPECT_EQ(leaf_routing::pan_leaf_counter.load(), counter + jobs);
        EXPECT_EQ(calls, aocl ? std::vector<Call>(jobs, Call{leaf, leaf, leaf, -1, 1, 1}) : std::vector<Call>{});
    }
    leaf_routing::aocl_corrections = false;
    EXPECT_EQ(aocl_backend::affinity_failures.load(), 0u);
}

}  // namespace
