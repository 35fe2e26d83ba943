// The benchmark driver's pieces in process: generated inputs against an
// independent numpy model, the environment checks and the campaign order.
#include <gtest/gtest.h>

#include <cblas.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/testing/test_support.h"
#include "multiply/bench/bench.h"
#include "multiply/method/problem.h"
#include "multiply/pan_adapter/pool.h"

namespace fs = std::filesystem;
using namespace bench;

namespace {

const char* const kNames[] = {"balanced", "integer", "dyadic",  "cancel",  "positive", "scaled",
                              "inner_scaled", "rational", "colsign", "rowsign", "halfsign"};

class BenchPool : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        openblas_set_num_threads(1);
        const auto [base, count] = consecutive_test_cpus();
        problem.workers = count;
        pan_adapter::init_pool(count, base);
    }
    static void TearDownTestSuite() { pan_adapter::shutdown(); }
};

// The four matrices of a generated problem, laid out as the driver does.
struct Generated {
    std::uint64_t n, ld;
    std::vector<float> a, b, c, r;
    Generated(Distribution d, std::uint64_t seed, std::uint64_t n_, std::uint64_t ld_, int workers)
        : n(n_), ld(ld_), a(n * ld, -7.0f), b(a), c(a), r(a) {
        input_job = {d, seed, n, ld, a.data(), b.data(), c.data(), r.data(), workers};
        pan_adapter::run_jobs(workers, generate_inputs_job);
    }
    std::vector<float> leading(const std::vector<float>& m) const {
        std::vector<float> out;
        for (std::uint64_t i = 0; i < n; ++i) out.insert(out.end(), &m[i * ld], &m[i * ld + n]);
        return out;
    }
};

}  // namespace

// Each distribution's values, bit for bit, from a model written from the
// value rules alone (Python integers and numpy float32).
TEST_F(BenchPool, InputsMatchIndependentModel) {
    const ScratchDir dir("bench");
    run_python(dir.path, R"(M = (1 << 64) - 1
def mix(x):
    z = x & M
    z = ((z ^ (z >> 30)) * 0xbf58476d1ce4e5b9) & M
    z = ((z ^ (z >> 27)) * 0x94d049bb133111eb) & M
    return z ^ (z >> 31)
def unit(h):
    t = h >> 32
    t = t - (1 << 32) if t >= (1 << 31) else t
    return np.float32(t) * np.float32(2.3283064e-10)
def sgn(key):
    return np.float32(-1.0) if mix(key) & 1 else np.float32(1.0)
def p2(e):
    return np.float32(2.0 ** e)
def values(d, seed, n, r, c):
    idx = r * n + c
    ia = mix(0x9e3779b97f4a7c32 - 18 + seed + idx) % 5 - 2
    ib = mix(0x9e3779b97f4a7c32 + seed + idx) % 5 - 2
    k = ((seed + 1) * 0x3c6ef372fe94f82a + idx) & M
    a, b = unit(mix(k)), unit(mix(k + 0x9e3779b97f4a7c15))
    one = np.float32(1.0)
    return {
        'balanced': (a, b),
        'integer': (np.float32(ia), np.float32(ib)),
        'rational': (np.float32(ia), np.float32(ib)),
        'dyadic': (np.float32(ia) * np.float32(0.125), np.float32(ib) * np.float32(0.125)),
        'positive': (a + np.float32(0.5), b + np.float32(0.5)),
        'scaled': (a * p2(2 * (r % 9) - 8), b * p2(8 - 2 * (c % 9))),
        'inner_scaled': (a * p2(2 * (c % 9) - 8), b * p2(8 - 2 * (r % 9))),
        'cancel': (a * p2(-10) + one, b * p2(-10) + (-one if r % 2 else one)),
        'colsign': (a * p2(-6) + sgn(0x9e3779b97f4a7c62 + c), b * p2(-6) + sgn(0x9e3779b97f4a7c70 + r)),
        'rowsign': (a * p2(-6) + sgn(0x9e3779b97f4a7c62 + r), b * p2(-6) + sgn(0x9e3779b97f4a7c70 + c)),
        'halfsign': (a * p2(-6) + (one if r < n // 2 else -one), b * p2(-6) + (one if c < n // 2 else -one)),
    }[d]
for d in ['balanced', 'integer', 'dyadic', 'cancel', 'positive', 'scaled', 'inner_scaled', 'rational',
          'colsign', 'rowsign', 'halfsign']:
    for seed, n in ((0, 21), (7, 21), (3, 1)):
        v = [values(d, seed, n, r, c) for r in range(n) for c in range(n)]
        np.array([x[0] for x in v] + [x[1] for x in v], dtype=np.float32).tofile(f'{d}_{seed}.raw')
)");

    const int workers = problem.workers;
    for (const char* name : kNames) {
        const Distribution d = distribution_from_name(name);
        for (std::uint64_t seed : {0, 7, 3}) {
            const std::uint64_t n = seed == 3 ? 1 : 21;
            const std::string raw = read_file(dir.at(std::string(name) + "_" + std::to_string(seed) + ".raw"));
            std::vector<float> model(2 * n * n);
            ASSERT_EQ(raw.size(), model.size() * 4);
            std::memcpy(model.data(), raw.data(), raw.size());
            const Generated g(d, seed, n, n + 3, workers);
            std::vector<float> ab = g.leading(g.a), gb = g.leading(g.b);
            ab.insert(ab.end(), gb.begin(), gb.end());
            EXPECT_TRUE(same_bits(ab, model)) << name << " seed " << seed << " n " << n;
        }
    }
}

// Any worker count gives the same inputs; canary cells end every row of the
// four matrices, and C and R hold quiet NaN.
TEST_F(BenchPool, InputsLayoutOnAnyWorkerCount) {
    const std::uint64_t n = 37;
    for (const char* name : kNames) {
        SCOPED_TRACE(name);
        const Distribution d = distribution_from_name(name);
        const Generated many(d, 5, n, n + 3, problem.workers);
        const Generated one(d, 5, n, n + 3, 1);
        EXPECT_TRUE(same_bits(many.a, one.a) && same_bits(many.b, one.b));
        for (const auto* m : {&many.a, &many.b, &many.c, &many.r}) EXPECT_TRUE(padding_intact(m->data(), n, n + 3));
        for (const auto* m : {&many.c, &many.r})
            for (float x : many.leading(*m)) ASSERT_EQ(bits_of(x), 0x7fc00000u);
    }
}

// ------------------------------------------------------------ environment

namespace {

const char* const kVariables[] = {"WORKERS",    "CPU_BASE",     "LD_PADDING", "DATA",          "SEED",      "FULL_REFERENCE",
                                  "DENSE_GRID", "DENSE_KBLOCK", "LEAF_GRIDS", "NATIVE_THREADS", "NATIVE_WAYS"};

class BenchSettings : public ::testing::Test {
protected:
    void SetUp() override { clear(); }
    void TearDown() override {
        clear();
        leaf_grids.clear();
    }
    static void clear() {
        for (const char* v : kVariables) unsetenv(v);
    }
    // "NAME=value NAME=value ..." on top of WORKERS/CPU_BASE that fit this machine.
    static void set(const std::string& assignments) {
        clear();
        const auto [base, count] = consecutive_test_cpus();
        setenv("WORKERS", std::to_string(count).c_str(), 1);
        setenv("CPU_BASE", std::to_string(base).c_str(), 1);
        std::istringstream in(assignments);
        std::string a;
        while (in >> a) {
            const auto eq = a.find('=');
            setenv(a.substr(0, eq).c_str(), a.substr(eq + 1).c_str(), 1);
        }
    }
};

}  // namespace

TEST_F(BenchSettings, Refusals) {
    const int online = static_cast<int>(usable_cpus().back()) + 1;
    const std::pair<std::string, std::string> cases[] = {
        {"WORKERS=65", "invalid worker/native thread configuration"},
        {"WORKERS=0", "invalid worker/native thread configuration"},
        {"WORKERS=64 CPU_BASE=1000", "invalid worker/native thread configuration"},
        {"CPU_BASE=-1", "invalid worker/native thread configuration"},
        {"WORKERS=2 NATIVE_THREADS=3", "invalid worker/native thread configuration"},
        {"NATIVE_THREADS=0", "invalid worker/native thread configuration"},
        {"WORKERS=8 NATIVE_THREADS=4 NATIVE_WAYS=2x2x2", "native ways must multiply to native thread count"},
        {"WORKERS=1 NATIVE_WAYS=1x-1x-1", "native ways must multiply to native thread count"},
        {"NATIVE_WAYS=2x2", "bad native ways"},
        {"DATA=gaussian", "invalid data distribution"},
        {"SEED=abc", "stoull"},
        {"SEED=99999999999999999999", "stoull"},
        {"LD_PADDING=x", "stoul"},
        {"DENSE_GRID=0x4", "invalid grid"},
        {"LEAF_GRIDS=512=2x2,1024", "bad LEAF_GRIDS"},
        {"LEAF_GRIDS=512=2x", "invalid grid"},
        // A range beyond the CPUs this process may use fails before any thread starts.
        {"WORKERS=2 CPU_BASE=" + std::to_string(online - 1), "WORKERS from CPU_BASE exceed the usable CPUs"},
        // ld = N + LD_PADDING must neither wrap nor exceed what the routes address.
        {"LD_PADDING=18446744073709551000", "matrix too large"},
        {"LD_PADDING=2147482624", "matrix too large"},
    };
    for (const auto& [env, error] : cases) {
        set(env);
        EXPECT_EQ(message_of([] { read_settings(1024, false); }), error) << env;
    }
}

TEST_F(BenchSettings, DefaultsAndOverrides) {
    set("");
    Settings s = read_settings(4096, false);
    EXPECT_TRUE(s.ld == 4096 && s.seed == 0 && s.full_reference && s.native_threads == s.workers);
    EXPECT_TRUE(s.dense_grid.rows == 4 && s.dense_grid.cols == 8);  // leaf_grid(4096)
    EXPECT_FALSE(read_settings(4096, true).full_reference);          // the memory campaign

    set("LD_PADDING=3 DATA=dyadic SEED=18446744073709551615 FULL_REFERENCE=1 DENSE_GRID=2x2:256 "
        "DENSE_KBLOCK=512 NATIVE_THREADS=1 NATIVE_WAYS=1x1x1 LEAF_GRIDS=4096=1x1,512=2x4:128,512=4x4");
    s = read_settings(4096, true);
    EXPECT_TRUE(s.ld == 4099 && s.distribution == Distribution::dyadic && s.seed == 18446744073709551615ull);
    EXPECT_TRUE(s.full_reference);  // FULL_REFERENCE overrides the memory default
    EXPECT_TRUE(s.dense_grid.rows == 2 && s.dense_grid.k_block == 512);  // DENSE_KBLOCK replaces K
    EXPECT_EQ(s.native_ways[2], 1);
    // LEAF_GRIDS reaches leaf_grid (later entries win) but not the dense grid read before it.
    EXPECT_EQ(leaf_grid(512).rows, 4);
    EXPECT_EQ(leaf_grid(512).k_block, 0u);
    EXPECT_EQ(leaf_grid(4096).cols, 1);
    set("FULL_REFERENCE=0");
    EXPECT_FALSE(read_settings(4096, false).full_reference);
}

// NATIVE_WAYS near the int limits: ways that wrap (in the read or in the
// product) into the thread count are refused, never accepted; a first way of
// 0 leaves no ways in force (that is what the CASE record prints).
TEST_F(BenchSettings, NativeWaysWithoutOverflow) {
    const std::string refused = "native ways must multiply to native thread count";
    for (const char* ways : {
             "1997448962x1119412321x33",  // product 4 * 2^64 + 2
             "2147483647x2147483647x2147483647", "2x2147483647x2147483647", "1x1x2147483647",
             "4294967298x1x1",            // 2 in 32 bits
             "1x99999999999999999999x2", "1x-4294967295x2", "-2147483648x-2147483648x2", "2x1x0"}) {
        set(std::string("WORKERS=2 NATIVE_THREADS=2 NATIVE_WAYS=") + ways);
        EXPECT_EQ(message_of([] { read_settings(1024, false); }), refused) << ways;
    }
    for (const char* ways : {"2x1x1", "1x1x2", "1x+2x1tail"}) {
        set(std::string("WORKERS=2 NATIVE_THREADS=2 NATIVE_WAYS=") + ways);
        const Settings s = read_settings(1024, false);
        EXPECT_EQ(s.native_ways[0] * s.native_ways[1] * s.native_ways[2], 2) << ways;
    }
    for (const char* ways : {"0x5x5", "0x-3x99999999999", "0x0x0"}) {
        set(std::string("NATIVE_WAYS=") + ways);
        const Settings s = read_settings(1024, false);
        EXPECT_TRUE(s.native_ways[0] == 0 && s.native_ways[1] == 0 && s.native_ways[2] == 0) << ways;
    }
    for (const char* ways : {"1x1", "1X1x1", "x1x1", "1x1x", "+x1x1"}) {
        set(std::string("NATIVE_WAYS=") + ways);
        EXPECT_EQ(message_of([] { read_settings(1024, false); }), "bad native ways") << ways;
    }
}

// ------------------------------------------------------------ campaigns

TEST(BenchCampaign, LeafConfigSidesAndMedian) {
    using V = std::vector<std::uint64_t>;
    EXPECT_EQ(leaf_config_sides(1024), (V{512, 256, 128, 64}));
    EXPECT_EQ(leaf_config_sides(31), V{});
    EXPECT_EQ(leaf_config_sides(3000), (V{1500, 750, 375, 187}));  // 187 <= 3000/16
    EXPECT_EQ(median({3, 1, 2, 4}), 2.5);
    EXPECT_EQ(median({5, 1, 3}), 3);
}

TEST(BenchCampaign, BalancedOrder) {
    EXPECT_EQ(base_order(1), std::vector<int>{0});
    EXPECT_EQ(base_order(4), (std::vector<int>{0, 1, 3, 2}));
    EXPECT_EQ(base_order(5), (std::vector<int>{0, 1, 4, 2, 3}));

    // Two methods, four reps: 0 1 | 1 0 | 1 0 | 0 1.
    std::vector<int> order;
    for (const Slot& s : balanced_schedule(2, 4)) order.push_back(s.method);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 1, 0, 1, 0, 0, 1}));

    // Every method runs reps times.
    for (int m : {3, 5}) {
        std::vector<int> count(m, 0);
        for (const Slot& s : balanced_schedule(m, 4 * m)) ++count[s.method];
        EXPECT_EQ(count, std::vector<int>(m, 4 * m)) << m;
    }
}
