// Guarded SGEMM, tile jobs and leaf routing against a backend loaded once for
// CPUs 0..7 and the Pan pool on the same CPUs. Results are compared with
// OpenBLAS on integer-valued inputs, where every summation order is exact.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <tuple>

#include "multiply/blas/aocl_backend.h"
#include "multiply/blas/aocl_tiles.h"
#include "multiply/blas/blas_test_support.h"
#include "multiply/blas/leaf_route.h"
#include "multiply/pan_adapter/pool.h"

namespace {

using namespace blas_test;

constexpr int kWorkers = 8;

void ensure_backend() {
    static bool started = false;
    if (started) return;
    started = true;
    openblas_set_num_threads(1);
    aocl_backend::initialize(kWorkers, 0);
    pan_adapter::init_pool(kWorkers, 0);
}

// Pool workers wait on the pool's condition variables until shut down; stop
// them before static destruction.
class PoolShutdown : public ::testing::Environment {
public:
    void TearDown() override { pan_adapter::shutdown(); }
};
::testing::Environment* const pool_shutdown = ::testing::AddGlobalTestEnvironment(new PoolShutdown);

// Records every library call made through aocl_backend::sgemm.
struct Call {
    int m, n, k;
    float alpha, beta;
    int threads;
    bool operator<(const Call& o) const {
        return std::tie(m, n, k, alpha, beta, threads) < std::tie(o.m, o.n, o.k, o.alpha, o.beta, o.threads);
    }
    bool operator==(const Call& o) const {
        return std::tie(m, n, k, alpha, beta, threads) == std::tie(o.m, o.n, o.k, o.alpha, o.beta, o.threads);
    }
};
std::mutex calls_mutex;
std::vector<Call> calls;

void record(int m, int n, int k, float alpha, float beta, int threads) {
    std::lock_guard<std::mutex> lock(calls_mutex);
    calls.push_back({m, n, k, alpha, beta, threads});
}

class Recording {
public:
    Recording() {
        calls.clear();
        aocl_backend::testing::sgemm_observer = &record;
    }
    ~Recording() { aocl_backend::testing::sgemm_observer = nullptr; }
    std::vector<Call> sorted() const {
        std::vector<Call> v = calls;
        std::sort(v.begin(), v.end());
        return v;
    }
};

class AoclSgemm : public ::testing::Test {
protected:
    void SetUp() override { ensure_backend(); }
};

std::uint64_t audited() { return aocl_backend::external_audited_calls.load(); }

TEST_F(AoclSgemm, ThreadSettingRules) {
    // initialize made the main thread a one-thread caller.
    EXPECT_EQ(aocl_backend::thread_state.threads, 1);
    EXPECT_THROW(
        {
            try {
                aocl_backend::set_threads(0);
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "AOCL backend: invalid thread setting or uninitialized backend");
                throw;
            }
        },
        std::runtime_error);
    EXPECT_THROW(aocl_backend::set_threads(kWorkers + 1), std::runtime_error);
    EXPECT_EQ(aocl_backend::thread_state.threads, 1);

    // A thread that never set its count may not call SGEMM, pinned or not.
    float a[1] = {2}, b[1] = {3}, c[1] = {0};
    EXPECT_EQ(run_on_thread({2}, [&] { aocl_backend::sgemm(101, 111, 111, 1, 1, 1, 1, a, 1, b, 1, 0, c, 1); }),
              "AOCL backend: set_threads in every calling worker before SGEMM");
    EXPECT_EQ(c[0], 0.0f);
}

TEST_F(AoclSgemm, UnpinnedMainThreadIsRefusedWithCountersUnchanged) {
    const std::uint64_t before = audited();
    const cpu_set_t mask = current_mask();
    ASSERT_GT(CPU_COUNT(&mask), 1);
    float a[1] = {2}, b[1] = {3}, c[1] = {0};
    try {
        aocl_backend::sgemm(101, 111, 111, 1, 1, 1, 1, a, 1, b, 1, 0, c, 1);
        ADD_FAILURE() << "unpinned call accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "AOCL backend: external AOCL caller is not pinned to one configured CPU");
    }
    EXPECT_EQ(audited(), before);
    EXPECT_EQ(aocl_backend::affinity_failures.load(), 0u);
    const cpu_set_t after = current_mask();
    EXPECT_TRUE(CPU_EQUAL(&mask, &after));
}

TEST_F(AoclSgemm, OneThreadProductMatchesOpenBlasAndIsAuditedOncePerThread) {
    const int m = 37, n = 53, k = 71, lda = 80, ldb = 64, ldc = 60;
    std::vector<float> a = integer_matrix(m, lda, 11), b = integer_matrix(k, ldb, 12);
    std::vector<float> c(m * ldc, 7.0f), ref(m * ldc, 7.0f);
    openblas_gemm(m, n, k, 1, a.data(), lda, b.data(), ldb, 0, ref.data(), ldc);
    const std::uint64_t before = audited();
    int threads_after = -1;
    const std::string error = run_on_thread({3}, [&] {
        aocl_backend::leaf_sgemm(m, n, k, a.data(), lda, b.data(), ldb, c.data(), ldc);
        threads_after = aocl_backend::thread_state.threads;
        aocl_backend::sgemm_one_thread(m, n, k, a.data(), lda, b.data(), ldb, c.data(), ldc);
    });
    EXPECT_EQ(error, "");
    EXPECT_EQ(threads_after, 1);
    EXPECT_EQ(c, ref);  // padding columns keep their 7s as well
    EXPECT_EQ(audited(), before + 1);
    EXPECT_EQ(aocl_backend::affinity_failures.load(), 0u);

    // Two CPUs in the mask: refused, nothing counted, C untouched.
    std::vector<float> untouched(m * ldc, 5.0f);
    EXPECT_EQ(run_on_thread({3, 4}, [&] {
                  aocl_backend::sgemm_one_thread(m, n, k, a.data(), lda, b.data(), ldb, untouched.data(), ldc);
              }),
              "AOCL backend: external AOCL caller is not pinned to one configured CPU");
    EXPECT_EQ(untouched, std::vector<float>(m * ldc, 5.0f));
    EXPECT_EQ(audited(), before + 1);
}

// Eight pinned pool workers call the library at once, each on its own product.
constexpr int kConcurrentJobs = 64;
constexpr int kSide = 96;
std::vector<float> job_a, job_b, job_c;
void concurrent_job(int i) {
    const std::size_t off = static_cast<std::size_t>(i) * kSide * kSide;
    aocl_backend::sgemm_one_thread(kSide, kSide, kSide, job_a.data() + off, kSide, job_b.data() + off, kSide,
                                   job_c.data() + off, kSide);
}

TEST_F(AoclSgemm, EightPinnedWorkersAtOnce) {
    const std::size_t total = static_cast<std::size_t>(kConcurrentJobs) * kSide * kSide;
    job_a = integer_matrix(total, 1, 21);
    job_b = integer_matrix(total, 1, 22);
    job_c.assign(total, -1.0f);
    const std::uint64_t before = audited();
    pan_adapter::run_jobs(kConcurrentJobs, concurrent_job);
    for (int i = 0; i < kConcurrentJobs; ++i) {
        const std::size_t off = static_cast<std::size_t>(i) * kSide * kSide;
        std::vector<float> ref(kSide * kSide);
        openblas_gemm(kSide, kSide, kSide, 1, job_a.data() + off, kSide, job_b.data() + off, kSide, 0, ref.data(),
                      kSide);
        ASSERT_TRUE(std::equal(ref.begin(), ref.end(), job_c.begin() + off)) << "product " << i;
    }
    // Only each worker's first call is audited.
    EXPECT_LE(audited() - before, static_cast<std::uint64_t>(kWorkers));
    EXPECT_EQ(aocl_backend::affinity_failures.load(), 0u);
}

TEST_F(AoclSgemm, NativeCallPinsTheCallerOnlyForTheCall) {
    const int n = 192;
    std::vector<float> a = integer_matrix(n, n, 31), b = integer_matrix(n, n, 32), c(n * n), ref(n * n);
    openblas_gemm(n, n, n, 1, a.data(), n, b.data(), n, 0, ref.data(), n);
    const cpu_set_t mask = current_mask();
    const std::uint64_t native_before = aocl_backend::native_guarded_calls.load();
    const std::uint64_t audited_before = audited();
    Recording rec;
    aocl_backend::set_threads(4);
    EXPECT_EQ(aocl_backend::thread_state.threads, 4);
    aocl_backend::sgemm(101, 111, 111, n, n, n, 1, a.data(), n, b.data(), n, 0, c.data(), n);
    aocl_backend::set_threads(1);
    EXPECT_EQ(c, ref);
    EXPECT_EQ(aocl_backend::native_guarded_calls.load(), native_before + 1);
    EXPECT_EQ(audited(), audited_before);
    const cpu_set_t after = current_mask();
    EXPECT_TRUE(CPU_EQUAL(&mask, &after));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].threads, 4);

    // After the native route changed the library's loop ways (process-wide),
    // the next change of count puts the global count back to 1 first, even
    // though this thread's count stays 1.
    auto global_count = [] {
        std::int64_t n = -1;
        run_on_thread({0}, [&] { n = aocl_backend::state.get_num_threads(); });  // a thread without its own count
        return n;
    };
    aocl_backend::state.set_ways(1, 1, 2, 2, 1);
    aocl_backend::thread_state.reset_pending = true;
    aocl_backend::thread_state.threads = 4;
    EXPECT_EQ(global_count(), 4);
    aocl_backend::set_threads(1);
    EXPECT_EQ(global_count(), 1);
    EXPECT_FALSE(aocl_backend::thread_state.reset_pending);
    EXPECT_EQ(aocl_backend::thread_state.threads, 1);
    const cpu_set_t after_reset = current_mask();
    EXPECT_TRUE(CPU_EQUAL(&mask, &after_reset));
}

// Tile batches. ----------------------------------------------------------------

struct Operands {
    std::size_t n, ld;
    std::vector<float> a, b, c;
    Operands(std::size_t n_, std::size_t ld_, unsigned seed)
        : n(n_), ld(ld_), a(integer_matrix(n_, ld_, seed)), b(integer_matrix(n_, ld_, seed + 1)),
          c(integer_matrix(n_, ld_, seed + 2)) {}
    aocl_backend::AoclTile tile(int rows, int cols, std::uint64_t k_chunk, bool accumulate) {
        aocl_backend::AoclTile t;
        t.a = a.data();
        t.lda = ld;
        t.b = b.data();
        t.ldb = ld;
        t.c = c.data();
        t.ldc = ld;
        t.extent = n;
        t.row_parts = rows;
        t.col_parts = cols;
        t.k_chunk = k_chunk;
        t.accumulate = accumulate;
        return t;
    }
    // What C should hold after the task (padding columns unchanged).
    std::vector<float> expected(bool accumulate) const {
        std::vector<float> ref = c;
        openblas_gemm(static_cast<int>(n), static_cast<int>(n), static_cast<int>(n), 1, a.data(),
                      static_cast<int>(ld), b.data(), static_cast<int>(ld), accumulate ? 1.0f : 0.0f, ref.data(),
                      static_cast<int>(ld));
        return ref;
    }
};

void run_batch(const std::vector<aocl_backend::AoclTile>& tiles) {
    aocl_backend::tile_tasks = tiles;
    aocl_backend::tile_prefix.assign(tiles.size(), 0);
    std::uint64_t total = 0;
    for (std::size_t t = 0; t < tiles.size(); ++t) {
        aocl_backend::tile_prefix[t] = total;
        total += static_cast<std::uint64_t>(tiles[t].row_parts) * static_cast<std::uint64_t>(tiles[t].col_parts);
    }
    pan_adapter::run_jobs(static_cast<int>(total), aocl_backend::aocl_tile_job);
}

TEST_F(AoclSgemm, TileRowsSplitThreeWays) {
    Operands op(1000, 1008, 41);
    const std::vector<float> ref = op.expected(false);
    Recording rec;
    run_batch({op.tile(3, 1, 0, false)});
    EXPECT_EQ(op.c, ref);
    const std::vector<Call> expected = {
        {333, 1000, 1000, 1, 0, 1}, {333, 1000, 1000, 1, 0, 1}, {334, 1000, 1000, 1, 0, 1}};
    EXPECT_EQ(rec.sorted(), expected);
}

TEST_F(AoclSgemm, DepthChunksStartWithBetaZeroThenAccumulate) {
    Operands op(1000, 1000, 51);
    const std::vector<float> ref = op.expected(false);
    Recording rec;
    run_batch({op.tile(1, 1, 256, false)});
    EXPECT_EQ(op.c, ref);
    const std::vector<Call> expected = {{1000, 1000, 256, 1, 0, 1},
                                        {1000, 1000, 256, 1, 1, 1},
                                        {1000, 1000, 256, 1, 1, 1},
                                        {1000, 1000, 232, 1, 1, 1}};
    EXPECT_EQ(calls, expected);  // one tile: calls in depth order
}

TEST_F(AoclSgemm, AccumulatingTasksAddToC) {
    Operands op(300, 320, 61);
    const std::vector<float> ref = op.expected(true);
    Recording rec;
    run_batch({op.tile(2, 3, 128, true)});
    EXPECT_EQ(op.c, ref);
    ASSERT_EQ(calls.size(), 6u * 3u);  // depth 128, 128, 44 per tile
    for (const Call& c : calls) EXPECT_EQ(c.beta, 1.0f);
}

TEST_F(AoclSgemm, MorePartsThanRowsGiveEmptyTilesWithoutCalls) {
    Operands op(5, 16, 71);
    const std::vector<float> ref = op.expected(false);
    Recording rec;
    run_batch({op.tile(8, 1, 0, false)});
    EXPECT_EQ(op.c, ref);
    ASSERT_EQ(calls.size(), 5u);
    for (const Call& c : calls) EXPECT_EQ(c.m, 1);

    // An empty tile returns before touching the thread's library settings.
    aocl_backend::tile_tasks = {op.tile(8, 1, 0, false)};
    aocl_backend::tile_prefix = {0};
    int threads = -1;
    EXPECT_EQ(run_on_thread({6}, [&] {
                  aocl_backend::aocl_tile_job(0);  // rows [0, 0)
                  threads = aocl_backend::thread_state.threads;
              }),
              "");
    EXPECT_EQ(threads, 0);
}

TEST_F(AoclSgemm, BatchOfSeveralTasksFindsEachTile) {
    Operands first(257, 260, 81), second(130, 130, 91), third(64, 64, 101);
    const std::vector<float> ref1 = first.expected(false), ref2 = second.expected(true), ref3 = third.expected(false);
    run_batch({first.tile(3, 5, 100, false), second.tile(1, 1, 0, true), third.tile(4, 2, 0, false)});
    EXPECT_EQ(aocl_backend::tile_prefix, (std::vector<std::uint64_t>{0, 15, 16}));
    EXPECT_EQ(first.c, ref1);
    EXPECT_EQ(second.c, ref2);
    EXPECT_EQ(third.c, ref3);
}

TEST_F(AoclSgemm, TileBeyondCblasIntRangeThrowsAtCaller) {
    Operands op(4, 4, 111);
    const std::vector<float> before = op.c;
    aocl_backend::AoclTile t = op.tile(1, 1, 0, false);
    t.lda = 1ull << 32;  // would wrap to 0 as a 32-bit stride
    Recording rec;
    try {
        run_batch({t});
        ADD_FAILURE() << "tile accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "AOCL backend: tile task exceeds the 32-bit CBLAS integer range");
    }
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(op.c, before);

    // Negative part counts would place tiles outside C.
    t = op.tile(-1, -2, 0, false);
    try {
        run_batch({t});
        ADD_FAILURE() << "tile accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "AOCL backend: tile task has no row or column parts");
    }
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(op.c, before);
}

// Leaf routing. ----------------------------------------------------------------

constexpr int kLeaf = 48;
constexpr std::size_t kLeafLd = 64;
std::vector<float> leaf_a, leaf_b, leaf_c;
void leaf_job(int i) {
    const std::size_t off = static_cast<std::size_t>(i) * kLeaf * kLeafLd;
    leaf_routing::route_leaf_sgemm(leaf_a.data() + off, kLeafLd, leaf_b.data() + off, kLeafLd, leaf_c.data() + off,
                                   kLeafLd, -1.0f, 1.0f);
}

class LeafRouting : public AoclSgemm {
protected:
    void TearDown() override { leaf_routing::aocl_corrections = false; }
    void fill(int jobs) {
        const std::size_t total = static_cast<std::size_t>(jobs) * kLeaf * kLeafLd;
        leaf_a = integer_matrix(total, 1, 121);
        leaf_b = integer_matrix(total, 1, 122);
        leaf_c = integer_matrix(total, 1, 123);
    }
    std::vector<float> expected(int jobs) const {
        std::vector<float> ref = leaf_c;
        for (int i = 0; i < jobs; ++i) {
            const std::size_t off = static_cast<std::size_t>(i) * kLeaf * kLeafLd;
            openblas_gemm(kLeaf, kLeaf, kLeaf, -1, leaf_a.data() + off, kLeafLd, leaf_b.data() + off, kLeafLd, 1,
                          ref.data() + off, kLeafLd);
        }
        return ref;
    }
};

TEST_F(LeafRouting, OpenBlasRouteNeverTouchesTheBackend) {
    leaf_routing::pan_leaf_side = kLeaf;
    leaf_routing::aocl_corrections = false;
    fill(16);
    const std::vector<float> ref = expected(16);
    const std::uint64_t counter = leaf_routing::pan_leaf_counter.load();
    Recording rec;
    pan_adapter::run_jobs(16, leaf_job);
    EXPECT_EQ(leaf_c, ref);
    EXPECT_EQ(leaf_routing::pan_leaf_counter.load(), counter + 16);
    EXPECT_TRUE(calls.empty());
    // An unpinned thread with no backend state works as well.
    fill(1);
    const std::vector<float> ref1 = expected(1);
    int threads = -1;
    EXPECT_EQ(run_on_thread({0, 1, 2}, [&] {
                  leaf_job(0);
                  threads = aocl_backend::thread_state.threads;
              }),
              "");
    EXPECT_EQ(leaf_c, ref1);
    EXPECT_EQ(threads, 0);
}

TEST_F(LeafRouting, AoclRouteRunsOneThreadLibraryCalls) {
    leaf_routing::pan_leaf_side = kLeaf;
    leaf_routing::aocl_corrections = true;
    fill(24);
    const std::vector<float> ref = expected(24);
    const std::uint64_t counter = leaf_routing::pan_leaf_counter.load();
    Recording rec;
    pan_adapter::run_jobs(24, leaf_job);
    EXPECT_EQ(leaf_c, ref);
    EXPECT_EQ(leaf_routing::pan_leaf_counter.load(), counter + 24);
    ASSERT_EQ(calls.size(), 24u);
    for (const Call& c : calls) EXPECT_EQ(c, (Call{kLeaf, kLeaf, kLeaf, -1, 1, 1}));
    EXPECT_EQ(aocl_backend::affinity_failures.load(), 0u);

    // A thread that never used AOCL becomes a one-thread caller on its first leaf.
    fill(1);
    const std::vector<float> ref1 = expected(1);
    int threads = -1;
    EXPECT_EQ(run_on_thread({5}, [&] {
                  leaf_job(0);
                  threads = aocl_backend::thread_state.threads;
              }),
              "");
    EXPECT_EQ(threads, 1);
    EXPECT_EQ(leaf_c, ref1);
}

}  // namespace
