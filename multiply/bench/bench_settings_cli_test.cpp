// korvane_multiply_bench run as a subprocess under unusual settings: agg1
// block sizes that strtoul reads near 2^64, and the records that echo the
// settings in force (the native ways of CASE, the audit scope).
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/testing/test_support.h"

namespace {

struct BenchRun {
    int status = -1;
    std::string out, err;
    // name=value fields of the first record with this tag ("" when absent).
    std::map<std::string, std::string> record(const std::string& tag) const {
        std::istringstream in(out);
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream words(line);
            std::string word;
            if (!(words >> word) || word != tag) continue;
            std::map<std::string, std::string> f;
            while (words >> word)
                if (const auto eq = word.find('='); eq != std::string::npos)
                    f[word.substr(0, eq)] = word.substr(eq + 1);
            return f;
        }
        return {};
    }
    int count(const std::string& text) const {
        int n = 0;
        for (std::size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
        return n;
    }
};

// A run that does not end within this many seconds counts as hung; a run at
// side 1024 takes about a second.
constexpr int kHangSeconds = 60;

// The benchmark on this process's CPUs; `timeout` turns a hang into a failure.
BenchRun bench(const std::string& env, const std::string& args) {
    const auto [base, count] = consecutive_test_cpus();
    const ScratchDir dir("bench_settings_cli");
    const CommandResult c =
        run_in(dir.path, "env WORKERS=" + std::to_string(count) + " CPU_BASE=" + std::to_string(base) + " " + env +
                             " timeout " + std::to_string(kHangSeconds) +
                             " '" KORVANE_BINARY_DIR "/multiply/bench/korvane_multiply_bench' " + args);
    return BenchRun{c.status, c.out, c.err};
}

}  // namespace

// "-4" or "-5" in AGG_MC (2^64 - 4, 2^64 - 5) once rounded up to a zero row
// step and every agg1 worker looped for ever; AGG_NC and AGG_KC likewise.
// Each now means the whole block and the run passes.
TEST(BenchSettingsCli, AggBlockSizesNearTheTopOfTheRangeEndAndPass) {
    for (const char* env : {"AGG_MC=-4", "AGG_MC=-5", "AGG_NC=-5", "AGG_NC=-16", "AGG_KC=-1"}) {
        const BenchRun r = bench(std::string("FULL_REFERENCE=0 ") + env, "1024 64 1 pilot agg1");
        ASSERT_EQ(r.status, 0) << env << (r.status == 124 ? " timed out" : "") << "\n" << r.err;
        EXPECT_EQ(r.count("VALIDATION "), 1) << env;
        EXPECT_EQ(r.record("VALIDATION").at("pass"), "1") << env;
        EXPECT_EQ(r.count("RUN_PASS "), 1) << env;
    }
}

// CASE prints the native ways in force (none when the first way is 0);
// AOCL_CALL_AUDIT names the audit scope.
TEST(BenchSettingsCli, RecordsEchoTheSettingsInForce) {
    BenchRun r = bench("NATIVE_WAYS=0x5x5 AOCL_AUDIT_EVERY_CALL=1", "64 64 1 pilot dense");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.record("CASE").at("native_ways"), "0x0x0");
    EXPECT_EQ(r.record("AOCL_CALL_AUDIT").at("audit_scope"), "every_external_call");

    // Only the exact text "1" audits every call.
    r = bench("NATIVE_THREADS=1 NATIVE_WAYS=1x1x1 AOCL_AUDIT_EVERY_CALL=01", "64 64 1 pilot dense");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.record("CASE").at("native_ways"), "1x1x1");
    EXPECT_EQ(r.record("AOCL_CALL_AUDIT").at("audit_scope"), "first_external_call_per_thread");
}
