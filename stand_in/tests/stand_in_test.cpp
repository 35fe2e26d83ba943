// The stand-in AOCL-BLAS library, loaded through dlmopen like the program
// loads it: products against an FP64 reference, the thread-setting model,
// and thread placement of one-thread calls from pinned threads.
#include <dirent.h>
#include <sched.h>

#include <atomic>
#include <barrier>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
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

template <class F>
void on_thread(F f)
{
    std::thread t(f);
    t.join();
}

int thread_count()
{
    int n = 0;
    DIR* d = opendir("/proc/self/task");
    if (d == nullptr)
        return -1;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    closedir(d);
    return n;
}

// One product C := alpha*op(A)*op(B) + beta*C in either storage order, with
// padded leading dimensions.
struct Case {
    int order, ta, tb, m, n, k, pad;
    float alpha, beta;
};

struct Operands {
    std::vector<float> a, b, c;
    int lda, ldb, ldc;
};

int stored_rows(int order, int trans, int rows, int cols)
{
    bool plain = trans == kN;
    int r = plain ? rows : cols, c = plain ? cols : rows;
    return order == kRow ? r : c;  // the count of "lines" of length ld
}
int stored_len(int order, int trans, int rows, int cols)
{
    bool plain = trans == kN;
    int r = plain ? rows : cols, c = plain ? cols : rows;
    return order == kRow ? c : r;
}

float at(const std::vector<float>& x, int order, int trans, int ld, int i, int j)
{
    // element (i, j) of op(X)
    int r = trans == kN ? i : j, c = trans == kN ? j : i;
    return order == kRow ? x[size_t(r) * ld + c] : x[r + size_t(c) * ld];
}
float& at_c(std::vector<float>& x, int order, int ld, int i, int j)
{
    return order == kRow ? x[size_t(i) * ld + j] : x[i + size_t(j) * ld];
}

Operands make_operands(const Case& t, std::mt19937& rng, bool integers)
{
    Operands o;
    o.lda = std::max(1, stored_len(t.order, t.ta, t.m, t.k)) + t.pad;
    o.ldb = std::max(1, stored_len(t.order, t.tb, t.k, t.n)) + t.pad;
    o.ldc = std::max(1, stored_len(t.order, kN, t.m, t.n)) + t.pad;
    std::uniform_real_distribution<float> real(-1.0f, 1.0f);
    std::uniform_int_distribution<int> small(-4, 4);
    auto fill = [&](std::vector<float>& v, size_t count) {
        v.resize(std::max<size_t>(count, 1));
        for (float& x : v)
            x = integers ? float(small(rng)) : real(rng);
    };
    fill(o.a, size_t(stored_rows(t.order, t.ta, t.m, t.k)) * o.lda);
    fill(o.b, size_t(stored_rows(t.order, t.tb, t.k, t.n)) * o.ldb);
    fill(o.c, size_t(stored_rows(t.order, kN, t.m, t.n)) * o.ldc);
    return o;
}

// Runs the case and compares with an FP64 reference: exactly when every
// value is a small integer, else within a bound of (k+2) float roundings of
// the sum of magnitudes. Padding and unused storage must be left alone.
void check_case(const StandIn& s, const Case& t, std::mt19937& rng, bool integers,
                bool nan_c = false)
{
    SCOPED_TRACE(::testing::Message() << "order " << t.order << " ta " << t.ta << " tb " << t.tb
                                      << " m " << t.m << " n " << t.n << " k " << t.k << " pad "
                                      << t.pad << " alpha " << t.alpha << " beta " << t.beta);
    Operands o = make_operands(t, rng, integers);
    if (nan_c)
        std::fill(o.c.begin(), o.c.end(), std::numeric_limits<float>::quiet_NaN());
    std::vector<float> c0 = o.c;
    std::vector<double> want(size_t(t.m) * t.n), bound(size_t(t.m) * t.n);
    const bool beta_zero = t.beta == 0.0f;
    for (int i = 0; i < t.m; ++i)
        for (int j = 0; j < t.n; ++j) {
            double sum = 0, mag = 0;
            for (int p = 0; p < t.k; ++p) {
                double x = at(o.a, t.order, t.ta, o.lda, i, p);
                double y = at(o.b, t.order, t.tb, o.ldb, p, j);
                sum += x * y;
                mag += std::fabs(x * y);
            }
            double old = beta_zero ? 0.0 : at_c(c0, t.order, o.ldc, i, j);
            want[size_t(i) * t.n + j] = double(t.alpha) * sum + double(t.beta) * old;
            bound[size_t(i) * t.n + j] =
                (t.k + 2) * 1.2e-7 * (std::fabs(t.alpha) * mag + std::fabs(t.beta * old)) +
                1e-30;
        }
    const std::vector<float> a0 = o.a, b0 = o.b;
    s.sgemm(t.order, t.ta, t.tb, t.m, t.n, t.k, t.alpha, o.a.data(), o.lda, o.b.data(), o.ldb,
            t.beta, o.c.data(), o.ldc);
    EXPECT_EQ(o.a, a0);
    EXPECT_EQ(o.b, b0);
    std::vector<char> inside(o.c.size(), 0);
    int bad = 0;
    for (int i = 0; i < t.m; ++i)
        for (int j = 0; j < t.n; ++j) {
            float got = at_c(o.c, t.order, o.ldc, i, j);
            inside[&at_c(o.c, t.order, o.ldc, i, j) - o.c.data()] = 1;
            double w = want[size_t(i) * t.n + j];
            bool ok = integers ? double(got) == w
                               : std::fabs(double(got) - w) <= bound[size_t(i) * t.n + j];
            if (!ok && ++bad <= 5)
                ADD_FAILURE() << "C(" << i << "," << j << ") = " << got << ", expected " << w;
        }
    EXPECT_EQ(bad, 0);
    for (size_t x = 0; x < o.c.size(); ++x)
        if (!inside[x] && !(std::isnan(c0[x]) && std::isnan(o.c[x])) && o.c[x] != c0[x]) {
            ADD_FAILURE() << "storage outside C changed at " << x;
            break;
        }
}

const std::vector<Case>& shape_cases()
{
    static const std::vector<Case> cases = {
        {kRow, kN, kN, 64, 64, 64, 0, 1.0f, 0.0f},
        {kRow, kN, kN, 1, 1, 1, 0, 1.0f, 0.0f},
        {kRow, kN, kN, 1, 37, 19, 3, 1.0f, 0.0f},
        {kRow, kN, kN, 37, 1, 19, 0, 1.0f, 1.0f},
        {kRow, kN, kN, 23, 29, 1, 2, 2.0f, 0.0f},
        {kRow, kN, kN, 257, 129, 300, 5, -1.0f, 1.0f},
        {kRow, kT, kN, 70, 90, 110, 1, 1.0f, 0.0f},
        {kRow, kN, kT, 90, 70, 50, 0, 1.0f, -1.0f},
        {kRow, kC, kT, 33, 65, 97, 7, 0.5f, 2.0f},
        {kCol, kN, kN, 129, 257, 64, 4, 1.0f, 0.0f},
        {kCol, kT, kN, 31, 17, 45, 0, 1.0f, 1.0f},
        {kCol, kN, kT, 1, 50, 20, 1, -2.0f, 0.0f},
        {kCol, kT, kT, 48, 1, 33, 0, 1.0f, 0.5f},
    };
    return cases;
}

}  // namespace

TEST(StandInProduct, OneThreadMatchesReference)
{
    const StandIn& s = lib();
    s.set_local(1);
    std::mt19937 rng(11);
    for (const Case& t : shape_cases()) {
        check_case(s, t, rng, /*integers=*/true);
        check_case(s, t, rng, /*integers=*/false);
    }
    // beta 0 overwrites C, NaN included; k 0 only scales C; m or n 0 touch nothing
    check_case(s, {kRow, kN, kN, 40, 40, 40, 3, 1.5f, 0.0f}, rng, false, /*nan_c=*/true);
    check_case(s, {kRow, kN, kN, 12, 9, 0, 1, 1.0f, 2.0f}, rng, true);
    check_case(s, {kRow, kN, kN, 0, 9, 5, 1, 1.0f, 2.0f}, rng, true);
    check_case(s, {kCol, kN, kN, 9, 0, 5, 1, 1.0f, 2.0f}, rng, true);
    // alpha 0 ignores A and B, even when they hold NaN
    Case t{kRow, kN, kN, 8, 8, 8, 0, 0.0f, 1.0f};
    std::vector<float> a(64, std::numeric_limits<float>::quiet_NaN()), b = a, c(64, 3.0f);
    s.sgemm(t.order, t.ta, t.tb, 8, 8, 8, 0.0f, a.data(), 8, b.data(), 8, 1.0f, c.data(), 8);
    EXPECT_EQ(c, std::vector<float>(64, 3.0f));
}

TEST(StandInProduct, MultithreadedMatchesReferenceWithARealTeam)
{
    const StandIn& s = lib();
    int workers = int(worker_cpus().size());
    if (workers < 2)
        GTEST_SKIP() << "needs two CPUs";
    std::mt19937 rng(12);
    on_thread([&] {
        int before = thread_count();
        s.set_local(workers);
        ASSERT_EQ(s.get_threads(), workers);
        check_case(s, {kRow, kN, kN, 512, 384, 300, 3, 1.0f, 0.0f}, rng, false);
        check_case(s, {kRow, kT, kN, 300, 200, 256, 0, -1.0f, 1.0f}, rng, true);
        // libgomp keeps its team threads after the region
        EXPECT_GE(thread_count(), before + workers - 1);
        s.set_ways(2, 1, workers / 2, 1, 1);
        ASSERT_EQ(s.get_threads(), 2 * (workers / 2));
        check_case(s, {kCol, kN, kN, 384, 512, 200, 1, 1.0f, 0.0f}, rng, false);
        s.set_global(1);
        s.set_local(1);
    });
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
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(err, "Parameter " + std::to_string(x.position) +
                           " to routine cblas_sgemm was incorrect\n");
        EXPECT_EQ(c, std::vector<float>(16, 7.0f));
    }
}

TEST(StandInThreads, LocalAndProcessWideSettings)
{
    const StandIn& s = lib();
    auto ways = [&] {
        std::vector<int64_t> w;
        for (GetFn g : s.get_way)
            w.push_back(g());
        return w;
    };
    const std::vector<int64_t> unset(5, -1);

    EXPECT_STREQ(s.version(), "5.3.2");
    EXPECT_EQ(s.int_size(), 64);
    EXPECT_EQ(s.blas_int_size(), 32);

    // what the loader does at start-up
    s.set_global(1);
    s.set_local(1);
    EXPECT_EQ(s.get_threads(), 1);

    on_thread([&] {  // BLIS_NUM_THREADS=1 at load
        EXPECT_EQ(s.get_threads(), 1);
        EXPECT_EQ(ways(), unset);
    });
    s.set_global(3);
    EXPECT_EQ(s.get_threads(), 1);  // this thread has its own setting
    on_thread([&] { EXPECT_EQ(s.get_threads(), 3); });

    std::atomic<int> stage{0};
    std::thread local_two([&] {
        s.set_local(2);
        EXPECT_EQ(s.get_threads(), 2);
        stage = 1;
        while (stage != 2)
            std::this_thread::yield();
        EXPECT_EQ(s.get_threads(), 2);  // untouched by other threads' changes
        EXPECT_EQ(ways(), unset);
    });
    while (stage != 1)
        std::this_thread::yield();
    s.set_global(5);
    on_thread([&] {
        s.set_local(4);
        s.set_ways(2, 1, 3, 1, 1);  // the native route's call
        EXPECT_EQ(s.get_threads(), 6);
        EXPECT_EQ(ways(), (std::vector<int64_t>{2, 1, 3, 1, 1}));
        s.set_local(0);             // ignored
        s.set_ways(2, 0, 3, 1, 1);  // ignored
        s.set_ways(int64_t(1) << 40, 1, int64_t(1) << 40, 1, 1);  // overflows: ignored
        EXPECT_EQ(s.get_threads(), 6);
        s.set_local(1);
        EXPECT_EQ(s.get_threads(), 1);
        EXPECT_EQ(ways(), unset);
    });
    stage = 2;
    local_two.join();
    on_thread([&] {  // the ways were also set process-wide
        EXPECT_EQ(s.get_threads(), 6);
        EXPECT_EQ(ways(), (std::vector<int64_t>{2, 1, 3, 1, 1}));
    });
    s.set_global(1);  // clears the process-wide ways
    s.set_global(0);  // ignored
    s.set_global(-4);  // ignored
    on_thread([&] {
        EXPECT_EQ(s.get_threads(), 1);
        EXPECT_EQ(ways(), unset);
    });
}

TEST(StandInLoading, SymbolsComeFromTheExpectedObjects)
{
    const StandIn& s = lib();
    EXPECT_NE(s.namespace_id, 0);
    auto file_of = [&](const char* name) {
        Dl_info info{};
        void* address = s.need(name);
        if (dladdr(address, &info) == 0 || info.dli_fname == nullptr)
            return std::string("?");
        return std::string(info.dli_fname);
    };
    EXPECT_EQ(file_of("cblas_sgemm"), KV_STAND_IN_PATH);
    EXPECT_EQ(file_of("bli_thread_get_ir_nt"), KV_STAND_IN_PATH);
    for (const char* name : {"GOMP_parallel", "omp_get_num_threads", "omp_get_thread_num"})
        EXPECT_NE(file_of(name).find("libgomp"), std::string::npos) << name;
    // BLIS is the OpenMP build found through RUNPATH, not the alternatives link
    EXPECT_EQ(file_of("bli_sgemm_ex"), "/usr/lib/x86_64-linux-gnu/blis-openmp/libblis.so.4");
    // the team the program audits at start-up
    std::atomic<int> members{0}, wrong{0};
    struct Probe {
        const StandIn* s;
        std::atomic<int>* members;
        std::atomic<int>* wrong;
    } probe{&s, &members, &wrong};
    on_thread([&] {
        s.gomp_parallel(
            [](void* data) {
                auto* p = static_cast<Probe*>(data);
                if (p->s->omp_num_threads() != 4 || p->s->omp_thread_num() >= 4)
                    ++*p->wrong;
                ++*p->members;
            },
            &probe, 4, 0);
    });
    EXPECT_EQ(members, 4);
    EXPECT_EQ(wrong, 0);
}

// The library brings its own libc and libgomp; libgomp's per-thread key must
// not land in a slot of the program's own pthread keys.
TEST(StandInLoading, ProgramThreadKeysSurviveOpenMPRegions)
{
    const StandIn& s = lib();
    static std::atomic<int> destroyed_ours{0}, destroyed_foreign{0};
    static int values[6];
    pthread_key_t keys[6];
    for (pthread_key_t& k : keys)
        ASSERT_EQ(pthread_key_create(&k,
                                     [](void* v) {
                                         if (v >= static_cast<void*>(&values[0]) &&
                                             v <= static_cast<void*>(&values[5]))
                                             ++destroyed_ours;
                                         else
                                             ++destroyed_foreign;
                                     }),
                  0);
    int clobbered = 0;
    on_thread([&] {
        for (int i = 0; i < 6; ++i)
            pthread_setspecific(keys[i], &values[i]);
        s.gomp_parallel([](void*) {}, nullptr, 2, 0);
        s.set_local(1);
        std::vector<float> a(64, 1.0f), c(64);
        s.sgemm(kRow, kN, kN, 8, 8, 8, 1.0f, a.data(), 8, a.data(), 8, 0.0f, c.data(), 8);
        for (int i = 0; i < 6; ++i)
            if (pthread_getspecific(keys[i]) != &values[i])
                ++clobbered;
    });
    EXPECT_EQ(clobbered, 0);
    EXPECT_EQ(destroyed_ours, 6);
    EXPECT_EQ(destroyed_foreign, 0);
    for (pthread_key_t k : keys)
        pthread_key_delete(k);
}

TEST(StandInLoading, SelectsTheFastestSubConfiguration)
{
    if (getenv("BLIS_ARCH_TYPE") != nullptr)
        GTEST_SKIP() << "BLIS_ARCH_TYPE is set in the environment";
    const StandIn& s = lib();
    auto query = reinterpret_cast<int (*)()>(s.need("bli_arch_query_id"));
    __builtin_cpu_init();
    int expected = 24;  // generic
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl"))
        expected = 0;  // skx
    else if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        expected = 6;  // zen3
    EXPECT_EQ(query(), expected);
    EXPECT_EQ(getenv("BLIS_ARCH_TYPE"), nullptr);
}

TEST(StandInLoading, KeepsAPresetArchType)
{
    setenv("BLIS_ARCH_TYPE", "3", 1);  // haswell
    StandIn s = load_stand_in(KV_STAND_IN_PATH);
    auto query = reinterpret_cast<int (*)()>(s.need("bli_arch_query_id"));
    EXPECT_EQ(query(), 3);
    EXPECT_STREQ(getenv("BLIS_ARCH_TYPE"), "3");
    unsetenv("BLIS_ARCH_TYPE");
    std::mt19937 rng(3);
    s.set_local(1);
    check_case(s, {kRow, kN, kN, 100, 90, 80, 1, 1.0f, 0.0f}, rng, true);
}

TEST(StandInAffinity, OneThreadCallKeepsTheCallersPlacement)
{
    const StandIn& s = lib();
    std::vector<int> cpus = worker_cpus();
    if (cpus.size() < 3)
        GTEST_SKIP() << "needs three CPUs";
    const int mine = cpus.back();
    std::mt19937 rng(5);

    // Without the stand-in's care, libgomp moves a thread's first parallel
    // region to the first place: this shows the hazard is live here.
    on_thread([&] {
        pin_to({mine});
        s.gomp_parallel([](void*) {}, nullptr, 1, 0);
        EXPECT_EQ(current_cpus(), std::vector<int>{cpus.front()})
            << "libgomp no longer rebinds outside threads; the check below proves less";
    });

    // A thread that was never in a parallel region, first and later calls.
    on_thread([&] {
        pin_to({mine});
        s.set_local(1);
        for (int call = 0; call < 3; ++call) {
            check_case(s, {kRow, kN, kN, 96, 96, 96, 0, 1.0f, 0.0f}, rng, true);
            EXPECT_EQ(current_cpus(), std::vector<int>{mine}) << "call " << call;
            EXPECT_EQ(sched_getcpu(), mine);
        }
    });
    // A first call that computes nothing, then real ones; two allowed CPUs.
    on_thread([&] {
        std::vector<int> two = {cpus[1], cpus[2]};
        pin_to(two);
        s.set_local(1);
        check_case(s, {kRow, kN, kN, 5, 5, 0, 0, 1.0f, 0.0f}, rng, true);
        EXPECT_EQ(current_cpus(), two);
        check_case(s, {kRow, kN, kN, 64, 80, 96, 0, 1.0f, 0.0f}, rng, true);
        check_case(s, {kRow, kN, kN, 64, 80, 96, 0, 1.0f, 0.0f}, rng, true);
        EXPECT_EQ(current_cpus(), two);
    });
    // A thread that uses the process-wide count (1) without a setting of its own.
    on_thread([&] {
        pin_to({mine});
        check_case(s, {kCol, kN, kN, 50, 60, 70, 0, 1.0f, 0.0f}, rng, true);
        EXPECT_EQ(current_cpus(), std::vector<int>{mine});
    });
}

TEST(StandInAffinity, PinnedWorkersRunOneThreadProductsConcurrently)
{
    const StandIn& s = lib();
    const std::vector<int> cpus = worker_cpus();
    const int workers = int(cpus.size());
    constexpr int n = 256, rounds = 4;
    // Integer data: each product is exact, so the check is an equality.
    std::vector<std::vector<float>> a(workers), b(workers);
    std::vector<std::vector<double>> want(workers);
    for (int w = 0; w < workers; ++w) {
        std::mt19937 rng(100 + w);
        std::uniform_int_distribution<int> small(-3, 3);
        a[w].resize(n * n);
        b[w].resize(n * n);
        for (int i = 0; i < n * n; ++i) {
            a[w][i] = float(small(rng));
            b[w][i] = float(small(rng));
        }
        want[w].assign(n * n, 0.0);
        for (int i = 0; i < n; ++i)
            for (int p = 0; p < n; ++p)
                for (int j = 0; j < n; ++j)
                    want[w][i * n + j] += double(a[w][i * n + p]) * b[w][p * n + j];
    }
    std::vector<int> wrong_values(workers, 0), moved(workers, 0);
    std::barrier start(workers);
    const int threads_before = thread_count();
    std::vector<std::thread> pool;
    for (int w = 0; w < workers; ++w)
        pool.emplace_back([&, w] {
            pin_to({cpus[w]});
            s.set_local(1);
            std::vector<float> c(n * n);
            start.arrive_and_wait();
            for (int r = 0; r < rounds; ++r) {
                std::fill(c.begin(), c.end(), -1.0f);
                s.sgemm(kRow, kN, kN, n, n, n, 1.0f, a[w].data(), n, b[w].data(), n, 0.0f,
                        c.data(), n);
                for (int i = 0; i < n * n; ++i)
                    if (double(c[i]) != want[w][i])
                        ++wrong_values[w];
                if (current_cpus() != std::vector<int>{cpus[w]} || sched_getcpu() != cpus[w])
                    ++moved[w];
            }
        });
    for (std::thread& t : pool)
        t.join();
    for (int w = 0; w < workers; ++w) {
        EXPECT_EQ(wrong_values[w], 0) << "worker " << w;
        EXPECT_EQ(moved[w], 0) << "worker " << w;
    }
    // one-thread products start no OpenMP team threads
    EXPECT_EQ(thread_count(), threads_before);
}

TEST(StandInConfig, HeaderRecordsTheLibraryAndItsDigest)
{
    std::string path = KORVANE_AOCL_LIBRARY_PATH;
    std::string digest = KORVANE_AOCL_LIBRARY_SHA256;
    ASSERT_EQ(digest.size(), 64u);
    EXPECT_EQ(digest.find_first_not_of("0123456789abcdef"), std::string::npos);
    if (path != KV_STAND_IN_PATH)
        GTEST_SKIP() << "the build points at another AOCL-BLAS library";
    std::string command = std::string(KORVANE_PYTHON) +
                          " -c \"import hashlib,sys; print(hashlib.sha256(open(sys.argv[1],'rb')"
                          ".read()).hexdigest())\" " + path;
    FILE* p = popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char line[128] = {};
    ASSERT_NE(fgets(line, sizeof line, p), nullptr);
    pclose(p);
    EXPECT_EQ(std::string(line), digest + "\n");
}
