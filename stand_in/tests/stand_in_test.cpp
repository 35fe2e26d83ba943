// The stand-in AOCL-BLAS library, loaded through
// dlmopen like the program loads them: products against an FP64 reference,
// the thread-setting model, and thread placement of one-thread calls from
// pinned threads.
#include <pthread.h>

#include <algorithm>
#include <barrier>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "korvane_aocl_config.h"
#include "stand_in/tests/stand_in_loader.h"

using namespace stand_in_test;

namespace {

constexpr int kRow = 101, kCol = 102, kN = 111, kT = 112, kC = 113;

const StandIn& lib()
{
    static const StandIn s = load_stand_in(KV_STAND_IN_PATH);
    return s;
}

int thread_count()
{
    std::filesystem::directory_iterator tasks("/proc/self/task");
    return int(std::distance(begin(tasks), end(tasks)));
}

// op(X), rows x cols, stored in the given order as X or X^T with pad unused
// elements after each stored line.
struct Operand {
    int order, trans, ld;
    std::vector<float> v;
    Operand(int order_, int trans_, int rows, int cols, int pad) : order(order_), trans(trans_)
    {
        const bool row = order == kRow, plain = trans == kN;
        ld = std::max(1, row == plain ? cols : rows) + pad;
        v.resize(std::max<size_t>(1, size_t(row == plain ? rows : cols) * ld));
    }
    float& operator()(int i, int j)
    {
        const int r = trans == kN ? i : j, c = trans == kN ? j : i;
        return order == kRow ? v[size_t(r) * ld + c] : v[r + size_t(c) * ld];
    }
};

struct Case {
    int order, ta, tb, m, n, k, pad;
    float alpha, beta;
};

// Runs C := alpha*op(A)*op(B) + beta*C and compares with an FP64 reference:
// exactly when every value is a small integer, else within (k+2) float
// roundings of the sum of magnitudes. A, B, padding and unused storage must
// be left alone. A zero alpha or beta must ignore its operands: they start
// as NaN.
void check_case(const StandIn& s, const Case& t, bool integers)
{
    thread_local std::mt19937 rng(11);
    SCOPED_TRACE(::testing::Message() << "order, trans A, B, m, n, k, pad: " << t.order << " "
                 << t.ta << " " << t.tb << " " << t.m << " " << t.n << " " << t.k << " " << t.pad
                 << ", alpha " << t.alpha << ", beta " << t.beta);
    Operand a(t.order, t.ta, t.m, t.k, t.pad), b(t.order, t.tb, t.k, t.n, t.pad),
        c(t.order, kN, t.m, t.n, t.pad);
    std::uniform_real_distribution<float> real(-1.0f, 1.0f);
    std::uniform_int_distribution<int> small(-4, 4);
    for (Operand* x : {&a, &b, &c})
        for (float& e : x->v)
            e = (x == &c ? t.beta : t.alpha) == 0.0f ? NAN
                                                     : integers ? float(small(rng)) : real(rng);
    const std::vector<float> a0 = a.v, b0 = b.v, c0 = c.v;
    s.sgemm(t.order, t.ta, t.tb, t.m, t.n, t.k, t.alpha, a.v.data(), a.ld, b.v.data(), b.ld,
            t.beta, c.v.data(), c.ld);
    EXPECT_EQ(std::memcmp(a.v.data(), a0.data(), a0.size() * sizeof(float)), 0);
    EXPECT_EQ(std::memcmp(b.v.data(), b0.data(), b0.size() * sizeof(float)), 0);
    // the reference inside C, the untouched values elsewhere
    std::vector<double> want(c0.begin(), c0.end()), bound(c.v.size(), 0.0);
    for (int i = 0; i < t.m; ++i)
        for (int j = 0; j < t.n; ++j) {
            double sum = 0, mag = 0;
            for (int p = 0; t.alpha != 0.0f && p < t.k; ++p) {
                sum += double(a(i, p)) * b(p, j);
                mag += std::fabs(double(a(i, p)) * b(p, j));
            }
            const size_t x = &c(i, j) - c.v.data();
            const double old = t.beta == 0.0f ? 0.0 : c0[x];
            want[x] = double(t.alpha) * sum + double(t.beta) * old;
            if (!integers)
                bound[x] = (t.k + 2) * 1.2e-7 *
                               (std::fabs(t.alpha) * mag + std::fabs(t.beta * old)) + 1e-30;
        }
    int bad = 0;
    for (size_t x = 0; x < c.v.size(); ++x)
        if (!(std::isnan(c.v[x]) && std::isnan(want[x])) &&
            !(std::fabs(c.v[x] - want[x]) <= bound[x]) && ++bad <= 5)
            ADD_FAILURE() << "C storage " << x << " = " << c.v[x] << ", expected " << want[x];
    EXPECT_EQ(bad, 0);
}

}  // namespace

TEST(StandInProduct, MatchesReferenceOnOneThreadAndWithARealTeam)
{
    const StandIn& s = lib();
    s.set_local(1);
    const Case cases[] = {
        {kRow, kN, kN, 1, 1, 1, 0, 1.0f, 0.0f},      {kRow, kN, kN, 1, 37, 19, 3, 1.0f, 0.0f},
        {kRow, kN, kN, 37, 1, 19, 0, 1.0f, 1.0f},    {kRow, kN, kN, 23, 29, 1, 2, 2.0f, 0.0f},
        {kRow, kN, kN, 257, 129, 300, 5, -1.0f, 1.0f}, {kRow, kT, kN, 70, 90, 110, 1, 1.0f, 0.0f},
        {kRow, kN, kT, 90, 70, 50, 0, 1.0f, -1.0f},  {kRow, kC, kT, 33, 65, 97, 7, 0.5f, 2.0f},
        {kCol, kN, kN, 129, 257, 64, 4, 1.0f, 0.0f}, {kCol, kT, kN, 31, 17, 45, 0, 1.0f, 1.0f},
        {kCol, kN, kT, 1, 50, 20, 1, -2.0f, 0.0f},   {kCol, kT, kT, 48, 1, 33, 0, 1.0f, 0.5f},
        // alpha 0 or k 0 only scale C; m or n 0 touch nothing
        {kRow, kN, kN, 8, 9, 10, 2, 0.0f, 1.0f},     {kCol, kT, kN, 12, 9, 0, 1, 1.0f, 2.0f},
        {kRow, kN, kN, 0, 9, 5, 1, 1.0f, 2.0f},      {kCol, kN, kN, 9, 0, 5, 1, 1.0f, 2.0f},
    };
    for (const Case& t : cases)
        for (bool integers : {true, false})
            check_case(s, t, integers);

    const int workers = int(worker_cpus().size());
    if (workers < 2)
        GTEST_SKIP() << "the team needs two CPUs";
    std::thread([&] {
        const int before = thread_count();
        s.set_local(workers);
        ASSERT_EQ(s.get_threads(), workers);
        check_case(s, {kRow, kN, kN, 512, 384, 300, 3, 1.0f, 0.0f}, false);
        check_case(s, {kRow, kT, kN, 300, 200, 256, 0, -1.0f, 1.0f}, true);
        // libgomp keeps its team threads after the region
        EXPECT_GE(thread_count(), before + workers - 1);
        s.set_ways(2, 1, workers / 2, 1, 1);
        ASSERT_EQ(s.get_threads(), 2 * (workers / 2));
        check_case(s, {kCol, kN, kN, 384, 512, 200, 1, 1.0f, 0.0f}, false);
        s.set_global(1);
    }).join();
}

TEST(StandInProduct, BadArgumentsAreRejectedWithoutTouchingMemory)
{
    const StandIn& s = lib();
    s.set_local(1);
    std::vector<float> a(16, 1.0f), b(16, 1.0f), c(16, 7.0f);
    struct Bad {
        int order, ta, tb, m, n, k, lda, ldb, ldc, position;
    };
    const Bad cases[] = {
        {100, kN, kN, 4, 4, 4, 4, 4, 4, 1},  {kRow, 110, kN, 4, 4, 4, 4, 4, 4, 2},
        {kRow, kN, 114, 4, 4, 4, 4, 4, 4, 3}, {kRow, kN, kN, -1, 4, 4, 4, 4, 4, 4},
        {kRow, kN, kN, 4, -1, 4, 4, 4, 4, 5}, {kRow, kN, kN, 4, 4, -1, 4, 4, 4, 6},
        {kRow, kN, kN, 4, 4, 4, 3, 4, 4, 9},  {kRow, kT, kN, 4, 2, 2, 3, 2, 2, 9},
        {kRow, kN, kN, 4, 4, 4, 4, 3, 4, 11}, {kRow, kN, kN, 4, 4, 4, 4, 4, 3, 14},
        {kCol, kN, kN, 4, 2, 2, 3, 2, 4, 9},  {kCol, kN, kT, 2, 4, 2, 2, 3, 2, 11},
        {kCol, kN, kN, 4, 2, 2, 4, 2, 3, 14}, {kRow, kN, kN, 0, 4, 4, 4, 4, 0, 14},
    };
    for (const Bad& x : cases) {
        ::testing::internal::CaptureStderr();
        s.sgemm(x.order, x.ta, x.tb, x.m, x.n, x.k, 1.0f, a.data(), x.lda, b.data(), x.ldb, 0.0f,
                c.data(), x.ldc);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(),
                  "Parameter " + std::to_string(x.position) +
                      " to routine cblas_sgemm was incorrect\n");
        EXPECT_EQ(c, std::vector<float>(16, 7.0f));
    }
}

TEST(StandInThreads, LocalAndProcessWideSettings)
{
    const StandIn& s = lib();
    using Ways = std::vector<int64_t>;
    const Ways unset(5, -1), w21311{2, 1, 3, 1, 1};
    auto expect = [&](int64_t threads, const Ways& ways, int line) {
        Ways w;
        for (GetFn g : s.get_way)
            w.push_back(g());
        EXPECT_EQ(s.get_threads(), threads) << "line " << line;
        EXPECT_EQ(w, ways) << "line " << line;
    };
    auto on_thread = [](auto f) { std::thread(f).join(); };
    s.set_global(1);  // what the loader does at start-up
    s.set_local(1);
    expect(1, unset, __LINE__);
    on_thread([&] { expect(1, unset, __LINE__); });  // BLIS_NUM_THREADS=1 at load
    s.set_global(3);
    expect(1, unset, __LINE__);  // this thread has its own setting
    on_thread([&] { expect(3, unset, __LINE__); });

    std::barrier sync(2);
    std::thread local_two([&] {
        s.set_local(2);
        expect(2, unset, __LINE__);
        sync.arrive_and_wait();
        sync.arrive_and_wait();
        expect(2, unset, __LINE__);  // untouched by other threads' changes
    });
    sync.arrive_and_wait();
    s.set_global(5);
    on_thread([&] {
        s.set_local(4);
        s.set_ways(2, 1, 3, 1, 1);  // the native route's call
        expect(6, w21311, __LINE__);
        s.set_local(0);             // ignored
        s.set_ways(2, 0, 3, 1, 1);  // ignored
        s.set_ways(int64_t(1) << 40, 1, int64_t(1) << 40, 1, 1);  // overflows: ignored
        expect(6, w21311, __LINE__);
        s.set_local(1);
        expect(1, unset, __LINE__);
    });
    sync.arrive_and_wait();
    local_two.join();
    on_thread([&] { expect(6, w21311, __LINE__); });  // the ways were also set process-wide
    s.set_global(1);   // clears the process-wide ways
    s.set_global(0);   // ignored
    s.set_global(-4);  // ignored
    on_thread([&] { expect(1, unset, __LINE__); });
}

TEST(StandInLoading, SymbolsComeFromTheExpectedObjects)
{
    auto file_of = [](const char* name) {
        Dl_info info{};
        return dladdr(lib().need(name), &info) && info.dli_fname ? info.dli_fname : "?";
    };
    EXPECT_STREQ(file_of("cblas_sgemm"), KV_STAND_IN_PATH);
    EXPECT_STREQ(file_of("bli_thread_get_ir_nt"), KV_STAND_IN_PATH);
    for (const char* name : {"GOMP_parallel", "omp_get_num_threads", "omp_get_thread_num"})
        EXPECT_TRUE(std::strstr(file_of(name), "libgomp")) << name;
    // BLIS is the OpenMP build found through RUNPATH, not the alternatives link
    EXPECT_STREQ(file_of("bli_sgemm_ex"), "/usr/lib/x86_64-linux-gnu/blis-openmp/libblis.so.4");
}

// BLIS 0.9 does not know this CPU: the library picks skx, zen3 or generic
// itself without leaking BLIS_ARCH_TYPE, and keeps a value the user set.
TEST(StandInLoading, ChoosesTheSubConfigurationOrKeepsAPresetOne)
{
    auto arch = [](const StandIn& s) {
        return reinterpret_cast<int (*)()>(s.need("bli_arch_query_id"))();
    };
    if (getenv("BLIS_ARCH_TYPE") == nullptr) {
        __builtin_cpu_init();
        const bool skx = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                         __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl");
        const bool zen3 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        EXPECT_EQ(arch(lib()), skx ? 0 : zen3 ? 6 : 24);  // BLIS's ids
        EXPECT_EQ(getenv("BLIS_ARCH_TYPE"), nullptr);
    }
    setenv("BLIS_ARCH_TYPE", "3", 1);  // haswell
    StandIn s = load_stand_in(KV_STAND_IN_PATH);
    EXPECT_EQ(arch(s), 3);
    EXPECT_STREQ(getenv("BLIS_ARCH_TYPE"), "3");
    unsetenv("BLIS_ARCH_TYPE");
    s.set_local(1);
    check_case(s, {kRow, kN, kN, 100, 90, 80, 1, 1.0f, 0.0f}, true);
}

TEST(StandInAffinity, OneThreadCallKeepsTheCallersPlacement)
{
    const StandIn& s = lib();
    const std::vector<int> cpus = worker_cpus();
    if (cpus.size() < 3)
        GTEST_SKIP() << "needs three CPUs";
    const int mine = cpus.back();

    // Without the stand-in's care, libgomp moves a thread's first parallel
    // region to the first place: this shows the hazard is live here.
    std::thread([&] {
        pin_to({mine});
        s.gomp_parallel([](void*) {}, nullptr, 1, 0);
        EXPECT_EQ(current_cpus(), std::vector<int>{cpus.front()})
            << "libgomp no longer rebinds outside threads; the checks below prove less";
    }).join();

    // Threads never in a parallel region before: one allowed CPU or two, a
    // per-thread count or the process-wide one (1), a first call that
    // computes nothing (k 0) or a real one; then later calls.
    struct Thread {
        std::vector<int> where;
        bool own_setting;
        int first_k;
    };
    for (const Thread& t : {Thread{{mine}, true, 96}, Thread{{cpus[1], cpus[2]}, true, 0},
                            Thread{{mine}, false, 70}})
        std::thread([&] {
            pin_to(t.where);
            if (t.own_setting)
                s.set_local(1);
            for (int k : {t.first_k, 96, 96}) {
                check_case(s, {t.own_setting ? kRow : kCol, kN, kN, 64, 80, k, 0, 1.0f, 0.0f},
                           true);
                EXPECT_EQ(current_cpus(), t.where) << "k " << k;
                EXPECT_TRUE(std::count(t.where.begin(), t.where.end(), sched_getcpu()));
            }
        }).join();
}

TEST(StandInConfig, HeaderRecordsTheLibraryAndItsDigest)
{
    const std::string path = KORVANE_AOCL_LIBRARY_PATH, digest = KORVANE_AOCL_LIBRARY_SHA256;
    ASSERT_EQ(digest.size(), 64u);
    EXPECT_EQ(digest.find_first_not_of("0123456789abcdef"), std::string::npos);
    if (path != KV_STAND_IN_PATH)
        GTEST_SKIP() << "the build points at another AOCL-BLAS library";
    FILE* p = popen((std::string(KORVANE_PYTHON) + " -c \"import hashlib,sys; print(hashlib."
                     "sha256(open(sys.argv[1],'rb').read()).hexdigest())\" " + path).c_str(), "r");
    ASSERT_NE(p, nullptr);
    char line[128] = {};
    ASSERT_NE(fgets(line, sizeof line, p), nullptr);
    pclose(p);
    EXPECT_EQ(std::string(line), digest + "\n");
}
