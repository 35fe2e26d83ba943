// The benchmark driver's pieces in process: generated inputs on any worker
// count, the environment checks and the campaign order.
#include <gtest/gtest.h>

#include <cblas.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "common/test_support.h"
#include "multiply/bench/bench.h"
#include "multiply/method/problem.h"
#include "multiply/pan_adapter/pool.h"

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

bool same_bits(const std::vector<float>& x, const std::vector<float>& y) {
    return x.size() == y.size() && std::memcmp(x.data(), y.data(), x.size() * sizeof(float)) == 0;
}

}  // namespace

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
        {"WORKERS=64 CPU_BASE=1000", "invalid worker/native thread configuration"},
        {"CPU_BASE=-1", "invalid worker/native thread configuration"},
        {"WORKERS=2 NATIVE_THREADS=3", "invalid worker/native thread configuration"},
        {"WORKERS=8 NATIVE_THREADS=4 NATIVE_WAYS=2x2x2", "native ways must multiply to native thread count"},
        {"WORKERS=1 NATIVE_WAYS=1x-1x-1", "native ways must multiply to native thread count"},
        {"NATIVE_WAYS=2x2", "bad native ways"},
        {"DATA=gaussian", "invalid data distribution"},
        {"SEED=99999999999999999999", "stoull"},
        {"LD_PADDING=x", "stoul"},
        {"DENSE_GRID=0x4", "invalid grid"},
        {"LEAF_GRIDS=512=2x2,1024", "bad LEAF_GRIDS"},
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

    set("LD_PADDING=3 SEED=18446744073709551615 FULL_REFERENCE=1 DENSE_GRID=2x2:256 DENSE_KBLOCK=512 "
        "LEAF_GRIDS=4096=1x1,512=2x4:128,512=4x4");
    s = read_settings(4096, true);
    EXPECT_TRUE(s.ld == 4099 && s.seed == 18446744073709551615ull);
    EXPECT_TRUE(s.full_reference);  // FULL_REFERENCE overrides the memory default
    EXPECT_TRUE(s.dense_grid.rows == 2 && s.dense_grid.k_block == 512);  // DENSE_KBLOCK replaces K
    // LEAF_GRIDS reaches leaf_grid (later entries win) but not the dense grid read before it.
    EXPECT_EQ(leaf_grid(512).rows, 4);
    EXPECT_EQ(leaf_grid(512).k_block, 0u);
    EXPECT_EQ(leaf_grid(4096).cols, 1);
    set("FULL_REFERENCE=0");
    EXPECT_FALSE(read_settings(4096, false).full_reference);
}

// ------------------------------------------------------------ campaigns

TEST(BenchCampaign, LeafConfigSides) {
    using V = std::vector<std::uint64_t>;
    EXPECT_EQ(leaf_config_sides(1024), (V{512, 256, 128, 64}));
    EXPECT_EQ(leaf_config_sides(31), V{});
    EXPECT_EQ(leaf_config_sides(3000), (V{1500, 750, 375, 187}));  // 187 <= 3000/16
}

TEST(BenchCampaign, BalancedOrder) {
    EXPECT_EQ(base_order(1), std::vector<int>{0});
    EXPECT_EQ(base_order(4), (std::vector<int>{0, 1, 3, 2}));
    EXPECT_EQ(base_order(5), (std::vector<int>{0, 1, 4, 2, 3}));

    // Every method runs reps times (the order of two methods: bench_cli_test).
    for (int m : {3, 5}) {
        std::vector<int> count(m, 0);
        for (const Slot& s : balanced_schedule(m, 4 * m)) ++count[s.method];
        EXPECT_EQ(count, std::vector<int>(m, 4 * m)) << m;
    }
}
